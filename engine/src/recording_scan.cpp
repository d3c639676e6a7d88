#include "quorl_engine/recording_scan.hpp"

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>

#include "quorl_engine/recording_format.hpp"

namespace quorl_engine {
namespace {

namespace format = recording_format;
using quorl_protocol::check_frame;
using quorl_protocol::FrameShape;

// Bytes read at a time: large enough that a read costs little per record,
// small enough to stay in the cache while the records in it are copied.
constexpr std::size_t WINDOW_SIZE = std::size_t{1} << 20;

// The longest stretch any single view asks for: a record header, or the
// values of the largest frame.
constexpr std::size_t LONGEST_VIEW = MAX_VALUES * sizeof(double);
static_assert(LONGEST_VIEW >= format::RECORD_HEADER_SIZE && LONGEST_VIEW <= WINDOW_SIZE);

// Longest mark payload taken as a mark when looking for records after damage.
constexpr std::uint32_t LONGEST_MARK = 16;

// Records that must read in a row, unless the file ends sooner, before a run
// of bytes counts as whole records rather than chance.
constexpr int WHOLE_RUN = 3;

// A window onto the file that moves forward as records are read.
class Window {
 public:
  // A file smaller than a window gets a buffer of its own size.
  explicit Window(const RecordingBytes& bytes)
      : bytes_(bytes), buffer_(std::min<std::uint64_t>(WINDOW_SIZE, bytes.size())) {}

  // Returns `length` (at most LONGEST_VIEW) bytes at `offset`; the caller
  // keeps them within the file.
  std::expected<std::span<const std::uint8_t>, ReadFailure> view(std::uint64_t offset,
                                                                 std::size_t length) {
    if (offset < start_ || offset + length > start_ + filled_) {
      const auto available = std::min<std::uint64_t>(buffer_.size(), bytes_.size() - offset);
      filled_ = 0;
      if (auto read = bytes_.read(offset, std::span(buffer_).first(available)); !read) {
        return std::unexpected(read.error());
      }
      start_ = offset;
      filled_ = available;
    }
    return std::span<const std::uint8_t>(buffer_).subspan(offset - start_, length);
  }

 private:
  const RecordingBytes& bytes_;
  std::vector<std::uint8_t> buffer_;
  std::uint64_t start_ = 0;
  std::uint64_t filled_ = 0;
};

template <class T>
T read_little(std::span<const std::uint8_t> bytes) noexcept {
  T value;
  std::memcpy(&value, bytes.data(), sizeof value);
  if constexpr (std::endian::native == std::endian::big) value = std::byteswap(value);
  return value;
}

struct RecordHeader {
  std::uint64_t time_ns;
  std::uint32_t length;
};

RecordHeader parse_header(std::span<const std::uint8_t> bytes) noexcept {
  return {read_little<std::uint64_t>(bytes), read_little<std::uint32_t>(bytes.subspan(8))};
}

// A record's payload as its first bytes tell: a mark, or a frame (checked).
struct Payload {
  bool mark = false;
  std::expected<FrameShape, quorl_protocol::ProtocolError> frame =
      std::unexpected(quorl_protocol::ProtocolError::Empty{});
};

std::expected<Payload, ReadFailure> read_payload(Window& window, std::uint64_t offset,
                                                 std::uint32_t length) {
  const auto head = window.view(offset, std::min<std::uint32_t>(length, 2));
  if (!head) return std::unexpected(head.error());
  Payload payload;
  payload.mark = length > 0 && (*head)[0] == format::MARK;
  if (!payload.mark) payload.frame = check_frame(*head, length);
  return payload;
}

// Tells whether whole records start at `offset`: WHOLE_RUN of them in a row,
// or fewer that end exactly at the end of the file.
std::expected<bool, ReadFailure> whole_records_at(Window& window, std::uint64_t size,
                                                  std::uint64_t offset) {
  for (int run = 0; run < WHOLE_RUN; ++run) {
    if (offset == size) return run > 0;
    if (size - offset < format::RECORD_HEADER_SIZE) return false;
    const auto head = window.view(offset, format::RECORD_HEADER_SIZE);
    if (!head) return std::unexpected(head.error());
    const auto [time_ns, length] = parse_header(*head);
    if (length == 0 || length > size - offset - format::RECORD_HEADER_SIZE) return false;
    const auto payload = read_payload(window, offset + format::RECORD_HEADER_SIZE, length);
    if (!payload) return std::unexpected(payload.error());
    const bool readable =
        payload->mark ? length >= 2 && length <= LONGEST_MARK : payload->frame.has_value();
    if (!readable) return false;
    offset += format::RECORD_HEADER_SIZE + length;
  }
  return true;
}

// Returns the offset of the first whole records after `offset`, if any.
std::expected<std::optional<std::uint64_t>, ReadFailure> next_whole_records(Window& window,
                                                                            std::uint64_t size,
                                                                            std::uint64_t offset) {
  for (std::uint64_t at = offset + 1; at + format::RECORD_HEADER_SIZE <= size; ++at) {
    const auto whole = whole_records_at(window, size, at);
    if (!whole) return std::unexpected(whole.error());
    if (*whole) return at;
  }
  return std::nullopt;
}

std::string announced(std::uint32_t length, std::uint64_t left) {
  return "it announces " + std::to_string(length) + " bytes, the file has " + std::to_string(left) +
         " left";
}

// A record that runs past the end of the file: the file was cut short there,
// or, when whole records follow, the record is damaged.
std::expected<RecordingFault, ScanFailure> overrun(Window& window, std::uint64_t size,
                                                   std::uint64_t offset, std::uint32_t length) {
  const std::uint64_t left = size - offset - format::RECORD_HEADER_SIZE;
  const auto next = next_whole_records(window, size, offset);
  if (!next) return std::unexpected(next.error());
  if (!*next) return RecordingFault{offset, announced(length, left)};
  return std::unexpected<ScanFailure>(RecordingFault{
      offset, "damaged record: " + announced(length, left) + ", yet whole records follow at " +
                  "byte offset " + std::to_string(**next) + ": " + std::to_string(**next - offset) +
                  " bytes are unreadable"});
}

RecordingFault invalid_frame(std::uint64_t offset, std::uint64_t number,
                             const quorl_protocol::ProtocolError& error) {
  return {offset, "record " + std::to_string(number) + ": invalid frame: " + error.message()};
}

void count_frame(const FrameShape& shape, RecordingSurvey& survey) {
  const std::size_t stream = *stream_index(shape.type, shape.side);
  if (survey.frames[stream]++ == 0) survey.order.push_back(stream);
}

// A record that no longer reads as the survey read it: another program
// rewrote the file in between.
std::unexpected<ScanFailure> changed(std::uint64_t offset) {
  return std::unexpected(ScanFailure(RecordingFault{offset, "the file changed while it was read"}));
}

// Calls `on_frame(time_ns, values_offset, shape)` for each frame of the
// whole records in [first_record, end); marks are skipped. The survey has
// checked every record.
template <class OnFrame>
std::expected<void, ScanFailure> each_frame(Window& window, std::uint64_t first_record,
                                            std::uint64_t end, OnFrame&& on_frame) {
  for (std::uint64_t offset = first_record; offset < end;) {
    const auto head = window.view(offset, format::RECORD_HEADER_SIZE);
    if (!head) return std::unexpected(head.error());
    const auto [time_ns, length] = parse_header(*head);
    const std::uint64_t payload_offset = offset + format::RECORD_HEADER_SIZE;
    const auto payload = read_payload(window, payload_offset, length);
    if (!payload) return std::unexpected(payload.error());
    if (!payload->mark) {
      if (!payload->frame || payload_offset + length > end) return changed(offset);
      const auto values = on_frame(time_ns, payload_offset, *payload->frame);
      if (!values) return values;
    }
    offset = payload_offset + length;
  }
  return {};
}

}  // namespace

std::expected<void, ReadFailure> FileBytes::read(std::uint64_t offset,
                                                 std::span<std::uint8_t> out) const {
  while (!out.empty()) {
    const ssize_t got = ::pread(descriptor_, out.data(), out.size(), static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return std::unexpected(ReadFailure{errno});
    // The file shrank under us: what was there is gone.
    if (got == 0) return std::unexpected(ReadFailure{ENODATA});
    out = out.subspan(static_cast<std::size_t>(got));
    offset += static_cast<std::uint64_t>(got);
  }
  return {};
}

std::expected<void, ReadFailure> BufferBytes::read(std::uint64_t offset,
                                                   std::span<std::uint8_t> out) const {
  std::ranges::copy(bytes_.subspan(offset, out.size()), out.begin());
  return {};
}

std::expected<RecordingSurvey, ScanFailure> survey_recording(const RecordingBytes& bytes,
                                                             std::uint64_t first_record) {
  Window window(bytes);
  RecordingSurvey survey;
  const std::uint64_t size = bytes.size();
  std::uint64_t number = 0;
  std::uint64_t offset = first_record;
  for (; offset < size; ++number) {
    const std::uint64_t left = size - offset;
    if (left < format::RECORD_HEADER_SIZE) {
      survey.cut = RecordingFault{
          offset, "the file ends " + std::to_string(left) + " bytes into a " +
                      std::to_string(format::RECORD_HEADER_SIZE) + "-byte record header"};
      break;
    }
    const auto head = window.view(offset, format::RECORD_HEADER_SIZE);
    if (!head) return std::unexpected(head.error());
    const auto [time_ns, length] = parse_header(*head);
    if (length > left - format::RECORD_HEADER_SIZE) {
      auto cut = overrun(window, size, offset, length);
      if (!cut) return std::unexpected(cut.error());
      survey.cut = std::move(*cut);
      break;
    }
    const std::uint64_t payload_offset = offset + format::RECORD_HEADER_SIZE;
    const auto payload = read_payload(window, payload_offset, length);
    if (!payload) return std::unexpected(payload.error());
    if (!payload->mark) {
      if (!payload->frame) {
        return std::unexpected(invalid_frame(payload_offset, number, payload->frame.error()));
      }
      count_frame(*payload->frame, survey);
    }
    offset = payload_offset + length;
  }
  survey.end = offset;
  return survey;
}

std::expected<void, ScanFailure> fill_columns(
    const RecordingBytes& bytes, std::uint64_t first_record, const RecordingSurvey& survey,
    const std::array<StreamColumns, STREAM_COUNT>& columns) {
  Window window(bytes);
  std::array<std::uint64_t, STREAM_COUNT> filled{};
  return each_frame(
      window, first_record, survey.end,
      [&](std::uint64_t time_ns, std::uint64_t payload_offset,
          const FrameShape& shape) -> std::expected<void, ScanFailure> {
        const std::size_t stream = *stream_index(shape.type, shape.side);
        if (filled[stream] == survey.frames[stream]) return changed(payload_offset);
        const std::uint64_t row = filled[stream]++;
        columns[stream].times[row] = static_cast<double>(time_ns) / 1e9;
        const auto values =
            window.view(payload_offset + shape.values_offset, shape.value_count * sizeof(double));
        if (!values) return std::unexpected(values.error());
        double* out = columns[stream].values + row * shape.value_count;
        for (std::size_t i = 0; i < shape.value_count; ++i) {
          out[i] = std::bit_cast<double>(read_little<std::uint64_t>(values->subspan(8 * i)));
        }
        return {};
      });
}

}  // namespace quorl_engine
