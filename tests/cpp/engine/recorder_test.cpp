#include "quorl_engine/recorder.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "quorl_engine/recording_format.hpp"

namespace quorl_engine {
namespace {

namespace format = recording_format;
using Bytes = std::vector<std::uint8_t>;
using Clock = Recorder::Clock;

std::uint64_t little_endian(const Bytes& bytes, std::size_t at, std::size_t size) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < size; ++i) value |= std::uint64_t{bytes.at(at + i)} << (8 * i);
  return value;
}

Bytes read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

struct Record {
  std::uint64_t time_ns;
  Bytes payload;
};

// Splits the records after the header; fails on a cut record.
std::vector<Record> records_of(const Bytes& file) {
  std::vector<Record> out;
  for (std::size_t at = format::HEADER_SIZE; at < file.size();) {
    const auto size = little_endian(file, at + 8, 4);
    const auto begin = file.begin() + static_cast<std::ptrdiff_t>(at + format::RECORD_HEADER_SIZE);
    EXPECT_LE(at + format::RECORD_HEADER_SIZE + size, file.size());
    out.push_back(
        {little_endian(file, at, 8), Bytes(begin, begin + static_cast<std::ptrdiff_t>(size))});
    at += format::RECORD_HEADER_SIZE + size;
  }
  return out;
}

class recorder : public ::testing::Test {
 protected:
  std::filesystem::path path = std::filesystem::temp_directory_path() /
                               ("recorder_test_" + std::to_string(::getpid()) + ".qrec");
  void TearDown() override { std::filesystem::remove(path); }
};

TEST_F(recorder, writes_the_header_frames_and_marks_of_the_format) {
  const auto before = Clock::now();
  auto recorder = Recorder::create(path.string());
  ASSERT_TRUE(recorder);
  const Bytes body{3, 1, 2, 3};
  const Bytes hand{4, 1, 9};
  const auto now = Clock::now();
  ASSERT_TRUE((*recorder)->write_frame(body, now + std::chrono::milliseconds(5)));
  ASSERT_TRUE((*recorder)->write_frame(hand, now + std::chrono::milliseconds(7)));
  ASSERT_TRUE((*recorder)->write_reconnection(now + std::chrono::milliseconds(20)));
  ASSERT_TRUE((*recorder)->flush());
  // A frame read with the next handshake, stamped before the connection was seen.
  ASSERT_TRUE((*recorder)->write_reconnection(now + std::chrono::milliseconds(40)));
  ASSERT_TRUE((*recorder)->write_frame(body, now + std::chrono::milliseconds(30)));
  // Before the recording began: time 0, never a wrapped unsigned time.
  ASSERT_TRUE((*recorder)->write_frame(body, before - std::chrono::seconds(1)));
  EXPECT_EQ((*recorder)->frames(), 4u);
  const auto streams = (*recorder)->stream_frames();
  EXPECT_EQ(streams[*stream_index(3, NO_SIDE)], 3u);
  EXPECT_EQ(streams[*stream_index(4, 1)], 1u);
  ASSERT_TRUE((*recorder)->finish());

  const Bytes file = read_file(path);
  ASSERT_GE(file.size(), format::HEADER_SIZE);
  EXPECT_TRUE(std::equal(format::MAGIC.begin(), format::MAGIC.end(), file.begin()));
  EXPECT_EQ(little_endian(file, 8, 2), format::VERSION);
  const auto monotonic_start = static_cast<std::int64_t>(little_endian(file, 20, 8));
  EXPECT_GE(monotonic_start, std::chrono::nanoseconds(before.time_since_epoch()).count());
  EXPECT_LE(monotonic_start, std::chrono::nanoseconds(now.time_since_epoch()).count());

  const auto records = records_of(file);
  ASSERT_EQ(records.size(), 8u);
  const auto ms = [&](std::size_t i) {
    return (records[i].time_ns - records[0].time_ns) / 1'000'000;
  };
  const Bytes lost{format::MARK, format::MARK_LOST};
  const Bytes back{format::MARK, format::MARK_RECONNECTED};
  EXPECT_EQ(records[0].payload, body);
  EXPECT_EQ(records[1].payload, hand);
  EXPECT_EQ(records[1].time_ns - records[0].time_ns, 2'000'000u);
  // A loss stands at the last frame's arrival, the new connection at the moment
  // it was seen or at its first frame, whichever came first.
  const std::vector<std::pair<Bytes, std::uint64_t>> marks{
      {lost, 2}, {back, 15}, {lost, 2}, {back, 25}};
  for (std::size_t i = 0; i < marks.size(); ++i) {
    EXPECT_EQ(records[2 + i].payload, marks[i].first) << i;
    EXPECT_EQ(ms(2 + i), marks[i].second) << i;
  }
  EXPECT_EQ(ms(6), 25u);
  EXPECT_EQ(records[7].time_ns, 0u);
}

TEST_F(recorder, a_failed_write_ends_the_recording_with_its_error) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "needs /dev/full";
  auto recorder = Recorder::create("/dev/full");
  ASSERT_TRUE(recorder);
  EXPECT_FALSE((*recorder)->flush());
  EXPECT_FALSE((*recorder)->write_frame(Bytes{3, 0}, Clock::now()));
  EXPECT_EQ((*recorder)->frames(), 0u);
  for (int call = 0; call < 2; ++call) {
    const auto finished = (*recorder)->finish();
    ASSERT_FALSE(finished);
    EXPECT_EQ(finished.error().error, ENOSPC);
    EXPECT_EQ(finished.error().path, "/dev/full");
  }
}

TEST_F(recorder, a_file_that_cannot_be_created_is_refused_at_once) {
  const auto created = Recorder::create((path / "missing" / "x.qrec").string());
  ASSERT_FALSE(created);
  EXPECT_EQ(created.error().error, ENOENT);
}

}  // namespace
}  // namespace quorl_engine
