#include "quorl_engine/handoff.hpp"

#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <optional>
#include <thread>
#include <vector>

namespace quorl_engine {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

Item body(std::uint64_t seq) {
  FrameRecord record;
  record.type = quorl_protocol::MSG_BODY_ISB_ANGLES;
  record.seq = seq;
  record.count = 21;
  return record;
}

bool readable(int fd) {
  pollfd watch{fd, POLLIN, 0};
  return poll(&watch, 1, 0) == 1;
}

TEST(handoff, a_full_lossless_queue_holds_the_producer_until_half_is_free) {
  Handoff handoff(Mode::lossless, 4);
  std::atomic<std::uint64_t> handed{0};
  std::thread producer([&] {
    for (std::uint64_t seq = 0; seq < 12; ++seq) {
      if (!handoff.put(body(seq))) return;
      handed = seq + 1;
    }
  });
  while (handed < 4) std::this_thread::sleep_for(1ms);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(handed, 4u);  // the fifth waits for room
  Item out;
  for (std::uint64_t seq = 0; seq < 12; ++seq) {
    const auto deadline = Clock::now() + 5s;
    while (!handoff.pop(out) && Clock::now() < deadline) handoff.wait(Clock::now() + 10ms, true);
    ASSERT_EQ(std::get<FrameRecord>(out).seq, seq);
  }
  producer.join();
  EXPECT_EQ(handoff.received(), 12u);
}

TEST(handoff, close_releases_a_producer_waiting_for_room_and_a_waiting_consumer) {
  Handoff handoff(Mode::lossless, 1);
  ASSERT_TRUE(handoff.put(body(0)));
  std::atomic<bool> producer_done{false};
  std::thread producer([&] {
    EXPECT_FALSE(handoff.put(body(1)));
    producer_done = true;
  });
  Handoff idle(Mode::latest, 1);
  std::thread consumer([&] { idle.wait(Clock::now() + 10s, true); });
  std::this_thread::sleep_for(50ms);
  const auto started = Clock::now();
  handoff.close();
  idle.close();
  producer.join();
  consumer.join();
  EXPECT_TRUE(producer_done);
  EXPECT_LT(Clock::now() - started, 2s);
  Item out;
  EXPECT_FALSE(handoff.pop(out));  // waiting items are discarded
}

TEST(handoff, an_armed_descriptor_turns_readable_once_the_producer_flushes) {
  Handoff handoff(Mode::latest, 1);
  handoff.set_connected(5432);
  ASSERT_TRUE(handoff.arm(true));
  ASSERT_TRUE(handoff.put(body(0)));
  EXPECT_FALSE(readable(handoff.wake_fd()));  // the batch is not announced yet
  handoff.flush();
  EXPECT_TRUE(readable(handoff.wake_fd()));
  handoff.disarm();
  EXPECT_FALSE(readable(handoff.wake_fd()));
  // With an item waiting, arming says so instead of waiting.
  EXPECT_FALSE(handoff.arm(true));
}

TEST(handoff, a_waiting_consumer_wakes_on_the_flush_not_on_its_timeout) {
  Handoff handoff(Mode::lossless, 8);
  handoff.set_connected(5432);
  std::thread producer([&] {
    std::this_thread::sleep_for(50ms);
    handoff.put(body(0));
    handoff.flush();
  });
  const auto started = Clock::now();
  handoff.wait(started + 10s, true);
  producer.join();
  EXPECT_LT(Clock::now() - started, 5s);
  Item out;
  EXPECT_TRUE(handoff.pop(out));
}

Item hand(std::uint8_t side, std::uint64_t seq) {
  FrameRecord record;
  record.type = quorl_protocol::MSG_HAND_LANDMARKS;
  record.side = side;
  record.seq = seq;
  record.count = 84;
  return record;
}

// The seq of the newest frame of each stream that has one, by stream.
std::map<std::size_t, std::uint64_t> newest_seqs(const Handoff& handoff) {
  std::array<std::optional<FrameRecord>, STREAM_COUNT> newest;
  handoff.newest(newest);
  std::map<std::size_t, std::uint64_t> seqs;
  for (std::size_t stream = 0; stream < STREAM_COUNT; ++stream) {
    if (newest[stream]) seqs[stream] = newest[stream]->seq;
  }
  return seqs;
}

class each_mode : public testing::TestWithParam<Mode> {};

TEST_P(each_mode, newest_frames_are_the_newest_of_each_stream_whether_waiting_or_taken) {
  Handoff handoff(GetParam(), 16);
  const std::size_t body_stream = *stream_index(quorl_protocol::MSG_BODY_ISB_ANGLES, NO_SIDE);
  const std::size_t left = *stream_index(quorl_protocol::MSG_HAND_LANDMARKS, 0);
  EXPECT_TRUE(newest_seqs(handoff).empty());
  ASSERT_TRUE(handoff.put(body(0)));
  ASSERT_TRUE(handoff.put(hand(0, 1)));
  ASSERT_TRUE(handoff.put(body(2)));
  using Seqs = std::map<std::size_t, std::uint64_t>;
  EXPECT_EQ(newest_seqs(handoff), (Seqs{{body_stream, 2}, {left, 1}}));
  Item out;
  while (handoff.pop(out)) {
  }
  EXPECT_EQ(newest_seqs(handoff), (Seqs{{body_stream, 2}, {left, 1}}));  // taken, still newest
  ASSERT_TRUE(handoff.put(hand(0, 3)));
  EXPECT_EQ(newest_seqs(handoff), (Seqs{{body_stream, 2}, {left, 3}}));
}

// Consumers on three threads take at once while the producer hands over:
// each item goes to one of them, and one that took a frame and sees more
// waiting is shown a newer one as the newest, never the one it took.
TEST_P(each_mode, consumers_taking_at_once_get_each_item_once_and_newer_newest_frames) {
  constexpr std::uint64_t COUNT = 200'000;
  Handoff handoff(GetParam(), 64);
  std::atomic<bool> done{false};
  std::thread producer([&] {
    for (std::uint64_t seq = 0; seq < COUNT; ++seq) handoff.put(body(seq));
    handoff.flush();
    done.store(true);
  });
  const std::size_t stream = *stream_index(quorl_protocol::MSG_BODY_ISB_ANGLES, NO_SIDE);
  std::vector<std::vector<std::uint64_t>> taken(3);
  std::vector<std::thread> consumers;
  for (auto& mine : taken) {
    consumers.emplace_back([&] {
      Item out;
      while (!done.load() || handoff.size() > 0) {
        if (handoff.pop(out)) {
          mine.push_back(std::get<FrameRecord>(out).seq);
          if (handoff.size() > 0) {
            EXPECT_GT(newest_seqs(handoff).at(stream), mine.back());
          }
        }
        handoff.take_each([&](Item& item) {
          mine.push_back(std::get<FrameRecord>(item).seq);
          return mine.size() % 8 == 0 ? Take::item_and_stop : Take::item;
        });
      }
    });
  }
  producer.join();
  for (auto& consumer : consumers) consumer.join();
  std::vector<std::uint64_t> all;
  for (const auto& mine : taken) all.insert(all.end(), mine.begin(), mine.end());
  std::sort(all.begin(), all.end());
  EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
  EXPECT_EQ(all.size() + handoff.dropped(), COUNT);
}

INSTANTIATE_TEST_SUITE_P(handoff, each_mode, testing::Values(Mode::lossless, Mode::latest),
                         [](const auto& mode) {
                           return mode.param == Mode::lossless ? "lossless" : "latest";
                         });

}  // namespace
}  // namespace quorl_engine
