#include "quorl_engine/handoff.hpp"

#include <utility>

namespace quorl_engine {

Handoff::Handoff(Mode mode, std::size_t max_queue)
    : mode_(mode), ring_(mode == Mode::lossless ? max_queue : 1) {}

PushOutcome Handoff::try_push(Item&& item) {
  return mode_ == Mode::lossless ? ring_.try_push(std::move(item))
                                 : slots_.try_push(std::move(item));
}

bool Handoff::put(Item&& item) {
  if (closed_.load()) return false;
  if (const auto* frame = std::get_if<FrameRecord>(&item)) {
    received_.fetch_add(1, std::memory_order_relaxed);
    if (const auto stream = stream_index(frame->type, frame->side)) {
      std::lock_guard lock(newest_mutex_);
      newest_[*stream] = *frame;
    }
  }
  PushOutcome outcome = try_push(std::move(item));
  while (outcome == PushOutcome::full) {
    // The consumer lags: let it see what waits, then stop reading until it
    // has made room, so that TCP pushes back on the server.
    flush();
    {
      std::unique_lock lock(mutex_);
      producer_waiting_.store(true);
      room_.wait(lock, [&] { return closed_.load() || ring_.size() < ring_.capacity(); });
      producer_waiting_.store(false);
    }
    if (closed_.load()) return false;
    outcome = try_push(std::move(item));
  }
  if (outcome == PushOutcome::replaced && std::holds_alternative<FrameRecord>(item)) {
    dropped_.fetch_add(1, std::memory_order_relaxed);
  }
  if (++unannounced_ >= BATCH) flush();
  return true;
}

void Handoff::set_connected(std::uint16_t port) {
  port_.store(port);
  connected_.store(true);
  wake();
}

void Handoff::set_connect_failed(quorl_sdk::QuorlError error) {
  {
    std::lock_guard lock(mutex_);
    connect_error_.emplace(std::move(error));
  }
  ended_.store(true);
  connected_.store(true);
  wake();
}

void Handoff::set_ended() {
  ended_.store(true);
  wake();
}

void Handoff::flush() {
  if (unannounced_ == 0) return;
  unannounced_ = 0;
  wake();
}

void Handoff::wake() {
  // seq_cst loads pair with the consumers' seq_cst stores of these flags
  // before they look at the store: either they see the item, or we see them.
  if (consumers_waiting_.load() > 0) {
    { std::lock_guard lock(mutex_); }
    ready_.notify_all();
  }
  if (armed_.exchange(false)) wake_.signal();
}

bool Handoff::pop(Item& out) {
  const bool popped = mode_ == Mode::lossless ? ring_.pop(out) : slots_.pop(out);
  if (popped) wake_producer_if_room();
  return popped;
}

void Handoff::wake_producer_if_room() {
  // Wake the producer when half the queue is free, not for every slot, so
  // that it reads in runs instead of one frame per wake-up.
  if (!producer_waiting_.load() || ring_.size() > ring_.capacity() / 2) return;
  { std::lock_guard lock(mutex_); }
  room_.notify_one();
}

void Handoff::newest(std::array<std::optional<FrameRecord>, STREAM_COUNT>& out) const {
  std::lock_guard lock(newest_mutex_);
  out = newest_;
}

bool Handoff::ready(bool connected_seen) const {
  return closed_.load() || ended_.load() || connected_.load() != connected_seen || size() > 0;
}

std::size_t Handoff::size() const {
  return mode_ == Mode::lossless ? ring_.size() : slots_.size();
}

void Handoff::wait(std::chrono::steady_clock::time_point until, bool connected_seen) {
  std::unique_lock lock(mutex_);
  consumers_waiting_.fetch_add(1);
  ready_.wait_until(lock, until, [&] { return ready(connected_seen); });
  consumers_waiting_.fetch_sub(1);
}

bool Handoff::arm(bool connected_seen) {
  armed_.store(true);
  if (!ready(connected_seen)) return true;
  armed_.store(false);
  return false;
}

std::optional<quorl_sdk::QuorlError> Handoff::take_connect_error() {
  std::lock_guard lock(mutex_);
  return std::exchange(connect_error_, std::nullopt);
}

void Handoff::close() {
  if (closed_.exchange(true)) return;
  if (mode_ == Mode::lossless) {
    ring_.clear();
  } else {
    slots_.clear();
  }
  { std::lock_guard lock(mutex_); }
  ready_.notify_all();
  room_.notify_all();
  armed_.store(false);
  wake_.signal();
}

}  // namespace quorl_engine
