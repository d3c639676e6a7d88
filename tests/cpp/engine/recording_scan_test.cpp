#include "quorl_engine/recording_scan.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "quorl_engine/recording_format.hpp"

namespace quorl_engine {
namespace {

using quorl_protocol::MSG_BODY_ISB_ANGLES;
using quorl_protocol::MSG_HAND_LANDMARKS;
using Bytes = std::vector<std::uint8_t>;

template <class T>
void append_little(Bytes& out, T value) {
  for (std::size_t i = 0; i < sizeof value; ++i) out.push_back((value >> (8 * i)) & 0xff);
}

// A frame of `type` whose value i has the bits `seed + i`.
Bytes frame(std::uint8_t type, std::uint8_t side, std::uint64_t seed) {
  const auto rows = quorl_protocol::FrameTypes::rows;
  const auto row = *std::ranges::find(rows, type, &quorl_protocol::FrameRow::type);
  Bytes out{type};
  if (row.has_side) out.push_back(side);
  for (std::size_t i = 0; i < row.value_count; ++i) append_little(out, seed + i);
  return out;
}

void append_record(Bytes& file, std::uint64_t time_ns, const Bytes& payload, std::uint32_t length) {
  append_little(file, time_ns);
  append_little(file, length);
  file.insert(file.end(), payload.begin(), payload.end());
}

void append_record(Bytes& file, std::uint64_t time_ns, const Bytes& payload) {
  append_record(file, time_ns, payload, static_cast<std::uint32_t>(payload.size()));
}

const Bytes ANGLES = frame(MSG_BODY_ISB_ANGLES, NO_SIDE, 0x7ff8000000000001);
const Bytes LEFT_HAND = frame(MSG_HAND_LANDMARKS, 0, 0x8000000000000000);
const Bytes RIGHT_HAND = frame(MSG_HAND_LANDMARKS, 1, 1);
const Bytes LOST{recording_format::MARK, recording_format::MARK_LOST};

// Hand, angles, a mark, angles, hand of the other side.
Bytes mixed_records() {
  Bytes file;
  append_record(file, 1'000, LEFT_HAND);
  append_record(file, 2'000, ANGLES);
  append_record(file, 2'500, LOST);
  append_record(file, 3'000, ANGLES);
  append_record(file, 4'000, RIGHT_HAND);
  return file;
}

TEST(recording_scan, counts_each_stream_and_copies_its_times_and_values_bit_for_bit) {
  const Bytes file = mixed_records();
  const BufferBytes bytes(file);
  const auto survey = survey_recording(bytes, 0);
  ASSERT_TRUE(survey.has_value());
  EXPECT_EQ(survey->end, file.size());
  EXPECT_FALSE(survey->cut);
  const std::size_t angles = *stream_index(MSG_BODY_ISB_ANGLES, NO_SIDE);
  const std::size_t left = *stream_index(MSG_HAND_LANDMARKS, 0);
  const std::size_t right = *stream_index(MSG_HAND_LANDMARKS, 1);
  EXPECT_EQ(survey->order, (std::vector<std::size_t>{left, angles, right}));
  EXPECT_EQ(survey->frames[angles], 2u);

  std::vector<double> times(4);
  std::vector<double> values(2 * 21 + 2 * 84);
  std::array<StreamColumns, STREAM_COUNT> columns{};
  columns[angles] = {times.data(), values.data()};
  columns[left] = {times.data() + 2, values.data() + 42};
  columns[right] = {times.data() + 3, values.data() + 126};
  ASSERT_TRUE(fill_columns(bytes, 0, *survey, columns).has_value());
  EXPECT_EQ(times, (std::vector<double>{2e-6, 3e-6, 1e-6, 4e-6}));
  EXPECT_EQ(std::bit_cast<std::uint64_t>(values[0]), 0x7ff8000000000001u);
  EXPECT_EQ(std::bit_cast<std::uint64_t>(values[21 + 20]), 0x7ff8000000000001u + 20);
  EXPECT_EQ(std::bit_cast<std::uint64_t>(values[42]), 0x8000000000000000u);
  EXPECT_EQ(std::bit_cast<std::uint64_t>(values[126 + 83]), 84u);
}

struct FaultCase {
  std::string name;
  Bytes file;
  bool damage;  // an error rather than a cut-off end
  std::uint64_t offset;
  std::string reason;
};

std::vector<FaultCase> fault_cases() {
  const Bytes whole = mixed_records();
  const std::uint64_t second = 12 + LEFT_HAND.size();
  const auto with = [&](auto change) {
    Bytes file = whole;
    change(file);
    return file;
  };
  Bytes huge_then_records;
  append_record(huge_then_records, 0, ANGLES, 0xfffffff0);
  const std::uint64_t unreadable = huge_then_records.size();
  append_record(huge_then_records, 1, ANGLES);
  append_record(huge_then_records, 2, LOST);
  Bytes short_mid;
  append_record(short_mid, 0, ANGLES);
  append_record(short_mid, 1, {MSG_BODY_ISB_ANGLES});
  append_record(short_mid, 2, ANGLES);
  return {
      {"CutInHeader", Bytes(whole.begin(), whole.begin() + second + 5), false, second,
       "the file ends 5 bytes into a 12-byte record header"},
      {"CutInFrame", Bytes(whole.begin(), whole.end() - 1), false, whole.size() - 12 - 674,
       "it announces 674 bytes, the file has 673 left"},
      {"HugeLengthAtTheEnd", with([](Bytes& f) {
         append_record(f, 9, {0, 0, 0}, 0xffffffff);
       }),
       false, whole.size(), "it announces 4294967295 bytes, the file has 3 left"},
      {"HugeLengthBeforeWholeRecords", huge_then_records, true, 0,
       "damaged record: it announces 4294967280 bytes, the file has " +
           std::to_string(huge_then_records.size() - 12) +
           " left, yet whole records follow at byte offset " + std::to_string(unreadable) + ": " +
           std::to_string(unreadable) + " bytes are unreadable"},
      {"LengthCutInMidFile", with([&](Bytes& f) { f[second + 11] = 0x10; }), true, second,
       "damaged record"},
      {"TooShortFrameInMidFile", short_mid, true, 12 + ANGLES.size() + 12,
       "record 1: invalid frame: "},
      {"InvalidSide", with([&](Bytes& f) { f[12 + 1] = 2; }), true, 12,
       "record 0: invalid frame: "},
  };
}

class recording_faults : public testing::TestWithParam<FaultCase> {};

TEST_P(recording_faults, name_the_offset_and_tell_a_cut_from_damage) {
  const FaultCase& c = GetParam();
  const auto survey = survey_recording(BufferBytes(c.file), 0);
  if (c.damage) {
    ASSERT_FALSE(survey.has_value());
    const auto& fault = std::get<RecordingFault>(survey.error());
    EXPECT_EQ(fault.offset, c.offset);
    EXPECT_TRUE(fault.reason.starts_with(c.reason)) << fault.reason;
  } else {
    ASSERT_TRUE(survey.has_value());
    ASSERT_TRUE(survey->cut);
    EXPECT_EQ(survey->cut->offset, c.offset);
    EXPECT_EQ(survey->end, c.offset);
    EXPECT_EQ(survey->cut->reason, c.reason);
  }
}

INSTANTIATE_TEST_SUITE_P(Files, recording_faults, testing::ValuesIn(fault_cases()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace quorl_engine
