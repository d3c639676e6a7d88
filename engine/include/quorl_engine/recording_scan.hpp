#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "quorl_engine/streams.hpp"

// Reading a whole recording at once: a first pass checks every record and
// counts the frames of each stream, a second copies their times and values
// into arrays of the sizes the first one found. Neither pass makes a value
// per frame, and neither reads past the end of the file.
namespace quorl_engine {

// A read of the file failed with this errno value.
struct ReadFailure {
  int error = 0;
};

// The bytes of a recording, read at any offset: a file or a buffer.
class RecordingBytes {
 public:
  virtual ~RecordingBytes() = default;
  virtual std::uint64_t size() const noexcept = 0;
  // Fills `out` with the bytes at `offset`; the caller keeps the range within size().
  virtual std::expected<void, ReadFailure> read(std::uint64_t offset,
                                                std::span<std::uint8_t> out) const = 0;
};

// A file open for reading, taken as `size` bytes long; the descriptor stays the caller's.
class FileBytes final : public RecordingBytes {
 public:
  FileBytes(int descriptor, std::uint64_t size) noexcept : descriptor_(descriptor), size_(size) {}
  std::uint64_t size() const noexcept override { return size_; }
  std::expected<void, ReadFailure> read(std::uint64_t offset,
                                        std::span<std::uint8_t> out) const override;

 private:
  int descriptor_;
  std::uint64_t size_;
};

// Bytes in memory, which must outlive this view.
class BufferBytes final : public RecordingBytes {
 public:
  explicit BufferBytes(std::span<const std::uint8_t> bytes) noexcept : bytes_(bytes) {}
  std::uint64_t size() const noexcept override { return bytes_.size(); }
  std::expected<void, ReadFailure> read(std::uint64_t offset,
                                        std::span<std::uint8_t> out) const override;

 private:
  std::span<const std::uint8_t> bytes_;
};

// Where a recording stops being readable, and why (without the file's name).
struct RecordingFault {
  std::uint64_t offset = 0;
  std::string reason;
};

// What the first pass found.
struct RecordingSurvey {
  std::array<std::uint64_t, STREAM_COUNT> frames{};  // per stream
  std::vector<std::size_t> order;                    // streams by their first frame
  std::uint64_t end = 0;                             // just past the last whole record
  // The file ends inside a record: what is before it reads, with a warning.
  std::optional<RecordingFault> cut;
};

// A recording that cannot be read: damage or an invalid frame with readable
// records after it (an error, not a cut-off end), or a failed read.
using ScanFailure = std::variant<RecordingFault, ReadFailure>;

// Checks every record from `first_record` (just past the header) on.
std::expected<RecordingSurvey, ScanFailure> survey_recording(const RecordingBytes& bytes,
                                                             std::uint64_t first_record);

// Where the frames of one stream go: a time in seconds per frame, and the
// frame's values row after row; sized by the survey's count of the stream.
struct StreamColumns {
  double* times = nullptr;
  double* values = nullptr;
};

// Copies the time and values of every frame the survey counted into
// `columns`; a fault when the file no longer holds what the survey found.
std::expected<void, ScanFailure> fill_columns(
    const RecordingBytes& bytes, std::uint64_t first_record, const RecordingSurvey& survey,
    const std::array<StreamColumns, STREAM_COUNT>& columns);

}  // namespace quorl_engine
