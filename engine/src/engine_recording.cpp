// The engine's side of recording: the engine thread writes each frame it
// takes to the recorder, under a lock that only start and stop contend for.
#include "quorl_engine/engine.hpp"

namespace quorl_engine {

bool Engine::start_recording(std::shared_ptr<Recorder> recorder) {
  std::lock_guard lock(recorder_mutex_);
  if (recorder_) return false;
  recorder_ = std::move(recorder);
  recording_.store(true);
  return true;
}

std::expected<void, RecordFailure> Engine::stop_recording(Recorder& recorder) {
  std::lock_guard lock(recorder_mutex_);
  if (recorder_.get() == &recorder) {
    recorder_.reset();
    recording_.store(false);
  }
  return recorder.finish();
}

std::optional<RecordFailure> Engine::take_recording_failure() {
  if (!recording_failure_waits_.load(std::memory_order_relaxed)) return std::nullopt;
  std::lock_guard lock(recorder_mutex_);
  recording_failure_waits_.store(false);
  return std::exchange(recording_failure_, std::nullopt);
}

void Engine::record_frame(std::span<const std::uint8_t> frame,
                          std::chrono::steady_clock::time_point at) {
  if (!recording_.load(std::memory_order_relaxed)) return;
  // A full lossless queue makes this thread wait for the consumer; what
  // came before goes to the file first.
  const bool waits = options_.mode == Mode::lossless && handoff_.size() >= options_.max_queue;
  std::lock_guard lock(recorder_mutex_);
  if (!recorder_) return;
  if (!recorder_->write_frame(frame, at) || (waits && !recorder_->flush())) recording_failed();
}

void Engine::record_reconnection() {
  if (!recording_.load()) return;
  std::lock_guard lock(recorder_mutex_);
  if (recorder_ && !recorder_->write_reconnection(std::chrono::steady_clock::now())) {
    recording_failed();
  }
}

void Engine::flush_recording() {
  if (!recording_.load(std::memory_order_relaxed)) return;
  std::lock_guard lock(recorder_mutex_);
  if (recorder_ && !recorder_->flush()) recording_failed();
}

// Called with recorder_mutex_ held: the recording stops, and its failure
// waits for the consumer's next read.
void Engine::recording_failed() {
  (void)recorder_->finish();
  recording_failure_ = recorder_->failure();
  recorder_.reset();
  recording_.store(false);
  recording_failure_waits_.store(true);
}

void Engine::end_recording() noexcept {
  std::lock_guard lock(recorder_mutex_);
  if (!recorder_) return;
  (void)recorder_->finish();
  recorder_.reset();
  recording_.store(false);
}

void Engine::note_close_status() {
  if (!client_) return;
  std::lock_guard lock(close_mutex_);
  close_status_ =
      client_->close_status().value_or(quorl_sdk::CloseStatus{quorl_sdk::CLOSE_ABNORMAL, {}});
}

std::optional<quorl_sdk::CloseStatus> Engine::close_status() const {
  std::lock_guard lock(close_mutex_);
  return close_status_;
}

}  // namespace quorl_engine
