#include "quorl_engine/recorder.hpp"

#include <algorithm>
#include <cerrno>
#include <utility>

#include "quorl_engine/recording_format.hpp"

namespace quorl_engine {
namespace {

namespace format = recording_format;

template <class T>
void put_little_endian(std::vector<std::uint8_t>& out, T value) {
  const auto bits = static_cast<std::make_unsigned_t<T>>(value);
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    out.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
  }
}

std::int64_t nanoseconds(auto since_epoch) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count();
}

std::vector<std::uint8_t> header(Recorder::Clock::time_point start) {
  std::vector<std::uint8_t> out(format::MAGIC.begin(), format::MAGIC.end());
  put_little_endian(out, format::VERSION);
  put_little_endian(out, std::uint16_t{0});
  put_little_endian(out, nanoseconds(std::chrono::system_clock::now().time_since_epoch()));
  put_little_endian(out, nanoseconds(start.time_since_epoch()));
  return out;
}

// errno where the C library sets it, else a plain I/O error.
int last_error() noexcept {
  return errno != 0 ? errno : EIO;
}

}  // namespace

std::expected<std::unique_ptr<Recorder>, RecordFailure> Recorder::create(const std::string& path) {
  errno = 0;
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return std::unexpected(RecordFailure{last_error(), path});
  // Records are gathered here; the C library's own buffer would cut them.
  std::setvbuf(file, nullptr, _IONBF, 0);
  std::unique_ptr<Recorder> recorder(new Recorder(file, path, Clock::now()));
  // The header waits with the first records: a file that takes no bytes
  // fails as it would later, on the engine thread.
  recorder->buffer_ = header(recorder->start_);
  return recorder;
}

Recorder::Recorder(std::FILE* file, std::string path, Clock::time_point start)
    : file_(file), path_(std::move(path)), start_(start), last_frame_(start) {
  buffer_.reserve(FLUSH_BYTES + format::RECORD_HEADER_SIZE + 1024);
}

Recorder::~Recorder() {
  (void)finish();
}

bool Recorder::write_frame(std::span<const std::uint8_t> frame, Clock::time_point received) {
  if (failed()) return false;
  mark_reconnected(received);
  last_frame_ = std::max(received, start_);
  append(since_start(received), frame);
  frames_.fetch_add(1, std::memory_order_relaxed);
  // Body frames have no side byte; their stream does not depend on it.
  const auto side = frame.size() > 1 ? frame[1] : NO_SIDE;
  if (const auto stream = frame.empty() ? std::nullopt : stream_index(frame[0], side)) {
    stream_frames_[*stream].fetch_add(1, std::memory_order_relaxed);
  }
  const bool due = buffer_.size() >= FLUSH_BYTES || received - oldest_waiting_ >= FLUSH_AGE;
  return due ? flush() : true;
}

bool Recorder::write_reconnection(Clock::time_point now) {
  // A frame of the new connection may have come with its handshake, stamped
  // before this moment: the mark waits for it, or for the next flush.
  mark_reconnected(now);
  if (!append_mark(format::MARK_LOST, last_frame_)) return false;
  reconnected_ = now;
  return true;
}

void Recorder::mark_reconnected(Clock::time_point first_frame) {
  if (!reconnected_) return;
  const auto at = std::max(std::min(*reconnected_, first_frame), last_frame_);
  reconnected_.reset();
  append_mark(format::MARK_RECONNECTED, at);
}

bool Recorder::append_mark(std::uint8_t kind, Clock::time_point at) {
  if (failed()) return false;
  const std::array<std::uint8_t, 2> mark{format::MARK, kind};
  append(since_start(at), mark);
  return true;
}

void Recorder::append(std::uint64_t time_ns, std::span<const std::uint8_t> payload) {
  if (buffer_.empty()) oldest_waiting_ = Clock::now();
  put_little_endian(buffer_, time_ns);
  put_little_endian(buffer_, static_cast<std::uint32_t>(payload.size()));
  buffer_.insert(buffer_.end(), payload.begin(), payload.end());
}

std::uint64_t Recorder::since_start(Clock::time_point at) const noexcept {
  return at <= start_ ? 0 : static_cast<std::uint64_t>(nanoseconds(at - start_));
}

bool Recorder::flush() {
  if (failed() || file_ == nullptr) return false;
  // The engine flushes when it is about to wait: every frame read is in.
  if (reconnected_) mark_reconnected(*reconnected_);
  if (buffer_.empty()) return true;
  const bool written = write_all(buffer_);
  buffer_.clear();
  return written;
}

bool Recorder::write_all(std::span<const std::uint8_t> bytes) {
  errno = 0;
  if (std::fwrite(bytes.data(), 1, bytes.size(), file_) == bytes.size()) return true;
  fail(last_error());
  return false;
}

void Recorder::fail(int error) noexcept {
  int none = 0;
  failure_.compare_exchange_strong(none, error);
}

std::expected<void, RecordFailure> Recorder::finish() {
  if (file_ != nullptr) {
    flush();
    errno = 0;
    if (std::fclose(std::exchange(file_, nullptr)) != 0) fail(last_error());
  }
  if (failed()) return std::unexpected(failure());
  return {};
}

std::array<std::uint64_t, STREAM_COUNT> Recorder::stream_frames() const noexcept {
  std::array<std::uint64_t, STREAM_COUNT> out{};
  for (std::size_t i = 0; i < STREAM_COUNT; ++i) out[i] = stream_frames_[i].load();
  return out;
}

}  // namespace quorl_engine
