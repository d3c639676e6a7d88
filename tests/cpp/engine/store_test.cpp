#include "quorl_engine/store.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <thread>
#include <type_traits>

#include "quorl_protocol/decode.hpp"

namespace quorl_engine {
namespace {

using quorl_protocol::MSG_BODY_ISB_ANGLES;
using quorl_protocol::MSG_BODY_LANDMARKS;
using quorl_protocol::MSG_BODY_QUATERNIONS;
using quorl_protocol::MSG_HAND_ISB_ANGLES;
using quorl_protocol::MSG_HAND_LANDMARKS;
using quorl_protocol::MSG_HAND_QUATERNIONS;
using quorl_protocol::ProtocolError;
using quorl_sdk::QuorlError;

Item frame(std::uint8_t type, std::uint8_t side, std::uint64_t seq) {
  FrameRecord record;
  record.type = type;
  record.side = side;
  record.seq = seq;
  record.count = 1;
  record.values[0] = static_cast<double>(seq);
  return record;
}

Item body(std::uint64_t seq) {
  return frame(MSG_BODY_ISB_ANGLES, NO_SIDE, seq);
}

Item error(std::uint8_t type_byte) {
  return ErrorRecord{QuorlError::Decode{ProtocolError::UnknownType{type_byte}}};
}

std::uint64_t seq_of(const Item& item) {
  return std::get<FrameRecord>(item).seq;
}

// One frame of each of the nine streams, in stream order.
std::vector<Item> one_of_each_stream(std::uint64_t seq) {
  std::vector<Item> items;
  for (auto type : {MSG_BODY_QUATERNIONS, MSG_BODY_LANDMARKS, MSG_BODY_ISB_ANGLES}) {
    items.push_back(frame(type, NO_SIDE, seq));
  }
  for (auto type : {MSG_HAND_QUATERNIONS, MSG_HAND_LANDMARKS, MSG_HAND_ISB_ANGLES}) {
    for (std::uint8_t side : {0, 1}) items.push_back(frame(type, side, seq));
  }
  return items;
}

template <class Store>
Store make_store() {
  if constexpr (std::is_same_v<Store, FrameRing>) {
    return FrameRing(16);
  } else {
    return Store();
  }
}

// What both stores promise: what goes in comes out once, distinct streams in
// the order they came, errors in their place, and nothing after a clear.
template <class Store>
class store : public testing::Test {};
using Stores = testing::Types<FrameRing, LatestSlots>;
TYPED_TEST_SUITE(store, Stores);

TYPED_TEST(store, hands_out_distinct_streams_once_in_arrival_order) {
  auto store = make_store<TypeParam>();
  auto items = one_of_each_stream(7);
  items.insert(items.begin() + 4, error(0x09));
  for (auto item : items) EXPECT_EQ(store.try_push(std::move(item)), PushOutcome::stored);
  EXPECT_EQ(store.size(), items.size());
  Item out;
  for (const auto& expected : items) {
    ASSERT_TRUE(store.pop(out));
    EXPECT_EQ(out.index(), expected.index());
    if (const auto* record = std::get_if<FrameRecord>(&out)) {
      EXPECT_EQ(record->type, std::get<FrameRecord>(expected).type);
      EXPECT_EQ(record->side, std::get<FrameRecord>(expected).side);
    }
  }
  EXPECT_FALSE(store.pop(out));
}

TYPED_TEST(store, clear_drops_everything_waiting) {
  auto store = make_store<TypeParam>();
  for (auto item : one_of_each_stream(1)) store.try_push(std::move(item));
  store.clear();
  Item out;
  EXPECT_FALSE(store.pop(out));
  EXPECT_EQ(store.size(), 0u);
  EXPECT_EQ(store.try_push(body(2)), PushOutcome::stored);
  ASSERT_TRUE(store.pop(out));
  EXPECT_EQ(seq_of(out), 2u);
}

TEST(frame_ring, refuses_an_item_when_full_and_takes_it_after_a_pop) {
  FrameRing ring(3);
  for (std::uint64_t seq = 0; seq < 3; ++seq)
    ASSERT_EQ(ring.try_push(body(seq)), PushOutcome::stored);
  EXPECT_EQ(ring.try_push(body(3)), PushOutcome::full);
  Item out;
  ASSERT_TRUE(ring.pop(out));
  EXPECT_EQ(seq_of(out), 0u);
  EXPECT_EQ(ring.try_push(body(3)), PushOutcome::stored);
  for (std::uint64_t seq = 1; seq <= 3; ++seq) {
    ASSERT_TRUE(ring.pop(out));
    EXPECT_EQ(seq_of(out), seq);
  }
}

TEST(frame_ring, grows_as_items_wait_up_to_its_bound_and_refuses_an_impossible_one) {
  FrameRing ring(1000);
  EXPECT_EQ(ring.allocated(), 0u);
  std::uint64_t seq = 0;
  while (ring.try_push(body(seq)) == PushOutcome::stored) {
    ++seq;
    if (seq == 300) {
      EXPECT_EQ(ring.allocated(), 512u);  // two segments of 256
    }
  }
  EXPECT_EQ(seq, 1000u);
  EXPECT_EQ(ring.allocated(), 1000u);
  EXPECT_THROW(FrameRing{MAX_QUEUE + 1}, std::invalid_argument);
}

TEST(frame_ring, keeps_order_across_threads_and_many_wraps) {
  constexpr std::uint64_t COUNT = 200'000;
  FrameRing ring(7);
  std::thread producer([&] {
    for (std::uint64_t seq = 0; seq < COUNT; ++seq) {
      while (ring.try_push(body(seq)) == PushOutcome::full) std::this_thread::yield();
    }
  });
  Item out;
  std::uint64_t expected = 0;
  while (expected < COUNT) {
    if (!ring.pop(out)) {
      std::this_thread::yield();
      continue;
    }
    const auto& record = std::get<FrameRecord>(out);
    ASSERT_EQ(record.seq, expected);
    ASSERT_EQ(record.values[0], static_cast<double>(expected));
    ++expected;
  }
  producer.join();
}

TEST(latest_slots, an_overwrite_keeps_its_turn_so_every_stream_is_served_within_nine_pops) {
  LatestSlots slots;
  for (auto item : one_of_each_stream(0)) slots.try_push(std::move(item));
  // The first stream is overwritten again and again; it must not push the
  // others back, nor be served more than once per round.
  for (std::uint64_t seq = 1; seq <= 100; ++seq) {
    EXPECT_EQ(slots.try_push(frame(MSG_BODY_QUATERNIONS, NO_SIDE, seq)), PushOutcome::replaced);
  }
  EXPECT_EQ(slots.size(), STREAM_COUNT);
  const auto expected = one_of_each_stream(0);
  Item out;
  for (std::size_t i = 0; i < STREAM_COUNT; ++i) {
    ASSERT_TRUE(slots.pop(out));
    const auto& record = std::get<FrameRecord>(out);
    EXPECT_EQ(record.type, std::get<FrameRecord>(expected[i]).type);
    EXPECT_EQ(record.side, std::get<FrameRecord>(expected[i]).side);
    EXPECT_EQ(record.seq, i == 0 ? 100u : 0u);
  }
  EXPECT_FALSE(slots.pop(out));
}

TEST(latest_slots, errors_take_one_place_and_count_what_they_replaced) {
  LatestSlots slots;
  slots.try_push(body(0));
  for (std::uint8_t type = 0x10; type < 0x10 + 20; ++type) slots.try_push(error(type));
  slots.try_push(error(0x09));
  EXPECT_EQ(slots.size(), 2u);
  Item out;
  ASSERT_TRUE(slots.pop(out));
  EXPECT_EQ(seq_of(out), 0u);
  ASSERT_TRUE(slots.pop(out));
  const auto& newest = std::get<ErrorRecord>(out);
  EXPECT_EQ(newest.error, std::get<ErrorRecord>(error(0x09)).error);
  EXPECT_EQ(newest.replaced, 20u);
  EXPECT_FALSE(slots.pop(out));
  // The next error starts a count of its own.
  slots.try_push(error(0x0a));
  ASSERT_TRUE(slots.pop(out));
  EXPECT_EQ(std::get<ErrorRecord>(out).replaced, 0u);
}

}  // namespace
}  // namespace quorl_engine
