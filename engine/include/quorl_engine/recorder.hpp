#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "quorl_engine/record.hpp"

namespace quorl_engine {

// Why a recording stopped writing: the errno of the call that failed, and
// the file.
struct RecordFailure {
  int error = 0;
  std::string path;
};

// A recording file being written by the engine thread: every frame with its
// arrival time, and the marks of reconnections, in the recording format.
// Records gather in memory and go to the file whole, when the engine is
// about to wait for the socket, once FLUSH_BYTES are waiting, and when the
// oldest waiting record is FLUSH_AGE old: a process killed at any moment
// leaves a file cut at most inside its last record. The first failed write
// ends the recording; every later write is refused.
// Writes come from one thread at a time (the engine guards them); the counts
// may be read from any thread.
class Recorder {
 public:
  using Clock = std::chrono::steady_clock;

  // Waiting bytes that make a flush.
  static constexpr std::size_t FLUSH_BYTES = 64 * 1024;
  // Age of the oldest waiting record that makes a flush.
  static constexpr auto FLUSH_AGE = std::chrono::milliseconds(100);

  // Creates (or replaces) the file at `path`, starting the recording now;
  // the header goes to the file with the first flush.
  static std::expected<std::unique_ptr<Recorder>, RecordFailure> create(const std::string& path);

  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;
  ~Recorder();

  // Appends a frame that arrived at `received`; false once the recording failed.
  bool write_frame(std::span<const std::uint8_t> frame, Clock::time_point received);

  // Marks a lost connection (at the last frame's arrival) and the new one,
  // seen `now` or, when one of its frames was read before, at that frame.
  bool write_reconnection(Clock::time_point now);

  // Hands every waiting record to the file; false once the recording failed.
  bool flush();

  // Flushes and closes the file; returns the failure that ended the
  // recording, if any. Later calls return the same.
  std::expected<void, RecordFailure> finish();

  bool failed() const noexcept { return failure_.load() != 0; }

  // The failure that ended the recording; its error is 0 while none has.
  RecordFailure failure() const { return {failure_.load(), path_}; }

  const std::string& path() const noexcept { return path_; }

  // Frames appended so far.
  std::uint64_t frames() const noexcept { return frames_.load(std::memory_order_relaxed); }

  // Frames appended so far of each stream (see stream_index()).
  std::array<std::uint64_t, STREAM_COUNT> stream_frames() const noexcept;

 private:
  Recorder(std::FILE* file, std::string path, Clock::time_point start);

  void append(std::uint64_t time_ns, std::span<const std::uint8_t> payload);
  bool append_mark(std::uint8_t kind, Clock::time_point at);
  void mark_reconnected(Clock::time_point first_frame);
  std::uint64_t since_start(Clock::time_point at) const noexcept;
  bool write_all(std::span<const std::uint8_t> bytes);
  void fail(int error) noexcept;

  std::FILE* file_;
  const std::string path_;
  const Clock::time_point start_;
  Clock::time_point last_frame_;
  Clock::time_point oldest_waiting_{};
  // The moment a new connection was seen, until its mark is written.
  std::optional<Clock::time_point> reconnected_;
  std::vector<std::uint8_t> buffer_;
  std::atomic<int> failure_{0};
  std::atomic<std::uint64_t> frames_{0};
  std::array<std::atomic<std::uint64_t>, STREAM_COUNT> stream_frames_{};
};

}  // namespace quorl_engine
