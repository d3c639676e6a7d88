// Fuzzes the bulk reader of recordings: the input is the records that follow
// a header. Beyond not crashing or reading past the input, every outcome must
// agree with a plain walk over the records that decodes each frame with the
// frame decoder: where the whole records end, where a cut or a fault lies,
// and, for a readable input, every stream's times and values bit for bit.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "quorl_engine/recording_format.hpp"
#include "quorl_engine/recording_scan.hpp"

namespace {

using namespace quorl_engine;
namespace format = quorl_engine::recording_format;

// What the plain walk found.
struct Walk {
  std::array<std::vector<double>, STREAM_COUNT> times;
  std::array<std::vector<std::uint64_t>, STREAM_COUNT> values;  // bit patterns
  std::vector<std::size_t> order;
  std::uint64_t end = 0;
  bool overrun = false;                       // the last record runs past the input
  std::optional<std::string> invalid_reason;  // a frame the decoder refuses
  std::uint64_t fault_offset = 0;
};

std::uint64_t little(std::span<const std::uint8_t> bytes, std::size_t count) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < count; ++i) value |= std::uint64_t{bytes[i]} << (8 * i);
  return value;
}

void add_frame(const quorl_protocol::Message& message, std::uint64_t time_ns, Walk& walk) {
  quorl_protocol::FrameTypes::visit(message, [&]<class Row>(Row, const auto& m) {
    std::uint8_t side = NO_SIDE;
    if constexpr (Row::has_side) side = m.side;
    const std::size_t stream = *stream_index(Row::type, side);
    if (walk.times[stream].empty()) walk.order.push_back(stream);
    walk.times[stream].push_back(static_cast<double>(time_ns) / 1e9);
    std::array<std::uint64_t, Row::value_count> bits;
    std::memcpy(bits.data(), &(m.*Row::values), sizeof bits);
    walk.values[stream].insert(walk.values[stream].end(), bits.begin(), bits.end());
  });
}

Walk walk_records(std::span<const std::uint8_t> input) {
  Walk walk;
  std::uint64_t offset = 0;
  for (std::uint64_t number = 0; offset < input.size(); ++number) {
    const auto rest = input.subspan(offset);
    if (rest.size() < format::RECORD_HEADER_SIZE) break;
    const std::uint64_t time_ns = little(rest, 8);
    const std::uint64_t length = little(rest.subspan(8), 4);
    if (length > rest.size() - format::RECORD_HEADER_SIZE) {
      walk.overrun = true;
      break;
    }
    const auto payload = rest.subspan(format::RECORD_HEADER_SIZE, length);
    if (payload.empty() || payload[0] != format::MARK) {
      const auto decoded = quorl_protocol::decode(payload);
      if (!decoded) {
        walk.invalid_reason =
            "record " + std::to_string(number) + ": invalid frame: " + decoded.error().message();
        walk.fault_offset = offset + format::RECORD_HEADER_SIZE;
        return walk;
      }
      add_frame(*decoded, time_ns, walk);
    }
    offset += format::RECORD_HEADER_SIZE + length;
  }
  walk.end = offset;
  return walk;
}

void check_filled(const BufferBytes& bytes, const RecordingSurvey& survey, const Walk& walk) {
  std::array<std::vector<double>, STREAM_COUNT> times;
  std::array<std::vector<double>, STREAM_COUNT> values;
  std::array<StreamColumns, STREAM_COUNT> columns{};
  for (std::size_t stream = 0; stream < STREAM_COUNT; ++stream) {
    if (survey.frames[stream] != walk.times[stream].size()) std::abort();
    times[stream].resize(walk.times[stream].size());
    values[stream].resize(walk.values[stream].size());
    columns[stream] = {times[stream].data(), values[stream].data()};
  }
  if (!fill_columns(bytes, 0, survey, columns)) std::abort();
  for (std::size_t stream = 0; stream < STREAM_COUNT; ++stream) {
    if (times[stream] != walk.times[stream]) std::abort();
    const auto& want = walk.values[stream];
    if (!want.empty() && std::memcmp(values[stream].data(), want.data(), want.size() * 8) != 0) {
      std::abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  const BufferBytes bytes(input);
  const auto survey = survey_recording(bytes, 0);
  const Walk walk = walk_records(input);
  if (walk.invalid_reason) {
    if (survey) std::abort();
    const auto& fault = std::get<RecordingFault>(survey.error());
    if (fault.offset != walk.fault_offset || fault.reason != *walk.invalid_reason) std::abort();
    return 0;
  }
  if (!survey) {
    // Only a record past the end with whole records after it is damage.
    const auto& fault = std::get<RecordingFault>(survey.error());
    if (!walk.overrun || fault.offset != walk.end || !fault.reason.starts_with("damaged record")) {
      std::abort();
    }
    return 0;
  }
  if (survey->end != walk.end || survey->order != walk.order) std::abort();
  if (survey->cut.has_value() != (walk.end != size)) std::abort();
  if (survey->cut && survey->cut->offset != walk.end) std::abort();
  check_filled(bytes, *survey, walk);
  return 0;
}
