#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "quorl_engine/record.hpp"

namespace quorl_engine {

// What try_push() did with an item.
enum class PushOutcome {
  stored,    // the item waits in a place of its own
  replaced,  // the item took the place of an older one of its stream
  full,      // no room: the item was not taken
};

// The largest bound a lossless queue takes: beyond it the table of the
// queue's segments alone would weigh more than the frames of a normal one.
inline constexpr std::size_t MAX_QUEUE = 10'000'000;

// What a consumer's visitor does with an item it is offered.
enum class Take {
  item,           // takes it and wants the next
  item_and_stop,  // takes it and wants no more
  stop,           // leaves it waiting
};

// Lossless mode's store: a bounded single-producer, single-consumer ring.
// Items leave in the order they came; when it is full the producer waits.
// One thread pushes; one thread at a time pops. Its memory comes in segments
// as items first reach them, so a large bound costs nothing until frames wait.
class FrameRing {
 public:
  // Throws std::invalid_argument for a capacity of 0 or above MAX_QUEUE.
  explicit FrameRing(std::size_t capacity);

  // Producer: stores `item` at the back, or reports full (leaving it alone).
  PushOutcome try_push(Item&& item);

  // Producer: lets `fill(Item&)` write the item at the back in place, or
  // reports full (without calling it).
  template <class Fill>
  PushOutcome try_emplace(Fill&& fill) {
    const std::size_t tail = tail_.load(std::memory_order_relaxed);
    if (tail - head_.load(std::memory_order_acquire) == capacity_) return PushOutcome::full;
    fill(slot_to_fill(tail % capacity_));
    publish(tail + 1);
    return PushOutcome::stored;
  }

  // Consumer: returns the item pushed as the `position`th (counting from 0)
  // while it waits, null once it has been popped or before it is pushed.
  const Item* waiting_at(std::size_t position) const noexcept;

  // Returns how many items have been pushed: the position of the next.
  std::size_t pushed() const noexcept { return tail_.load(std::memory_order_acquire); }

  // Consumer: offers the waiting items, oldest first, to `visit(Item&)`, which
  // may move from an item it takes, until it stops or none is left. Returns
  // how many it took; they stay in their slots until drop() is told so.
  template <class Visit>
  std::size_t offer(Visit&& visit) {
    const std::size_t head = head_.load(std::memory_order_relaxed);
    const std::size_t tail = tail_.load(std::memory_order_seq_cst);
    std::size_t taken = 0;
    while (head + taken != tail) {
      const Take answer = visit(slot((head + taken) % capacity_));
      if (answer == Take::stop) break;
      ++taken;
      if (answer == Take::item_and_stop) break;
    }
    return taken;
  }

  // Consumer: frees the `count` front slots, which offer() took.
  void drop(std::size_t count) noexcept;

  // Consumer: moves the front item into `out`; false when empty.
  bool pop(Item& out);

  // Consumer: drops every waiting item.
  void clear();

  // Returns how many items wait; exact for the consumer, a lower bound
  // for the producer.
  std::size_t size() const noexcept {
    return tail_.load(std::memory_order_acquire) - head_.load(std::memory_order_acquire);
  }

  std::size_t capacity() const noexcept { return capacity_; }

  // Returns how many items the segments made so far hold.
  std::size_t allocated() const noexcept { return allocated_.load(std::memory_order_relaxed); }

 private:
  static constexpr std::size_t SEGMENT = 256;

  void publish(std::size_t tail) noexcept;
  Item& slot(std::size_t index) const noexcept;
  Item& slot_to_fill(std::size_t index);

  std::size_t capacity_;
  // Written by the producer before it publishes an item of the segment, and
  // read by the consumer only after it has seen that item published.
  std::vector<std::unique_ptr<Item[]>> segments_;
  std::atomic<std::size_t> allocated_{0};
  // Counts of items pushed and popped; the slot is the count modulo capacity.
  alignas(64) std::atomic<std::size_t> head_{0};
  alignas(64) std::atomic<std::size_t> tail_{0};
};

// Latest mode's store: one place per stream and one for the newest error.
// Places are served in the order they were filled; an item that replaces an
// older one of its stream keeps that one's turn, so each waiting stream is
// served within STREAM_COUNT + 1 pops. Never full.
class LatestSlots {
 public:
  // Any thread: stores `item`, replacing the waiting item of its stream. An
  // error replaces the waiting error and adds it (and what it replaced) to
  // its `replaced` count.
  PushOutcome try_push(Item&& item);

  // Moves the item whose turn it is into `out`; false when none waits.
  bool pop(Item& out);

  // Offers the waiting items in their turns to `visit(Item&)` (as
  // FrameRing::take_each) until it stops or none is left, taking those it takes. Returns how many
  // it took.
  template <class Visit>
  std::size_t take_each(Visit&& visit) {
    std::lock_guard lock(mutex_);
    std::size_t taken = 0;
    while (waiting_ > 0) {
      auto& place = places_[turns_[first_turn_]];
      const Take answer = visit(*place);
      if (answer == Take::stop) break;
      place.reset();
      first_turn_ = (first_turn_ + 1) % PLACES;
      --waiting_;
      ++taken;
      if (answer == Take::item_and_stop) break;
    }
    return taken;
  }

  // Drops every waiting item.
  void clear();

  // Copies the waiting frame of stream `stream` into `out`; false when none
  // waits.
  bool peek(std::size_t stream, FrameRecord& out) const;

  std::size_t size() const;

 private:
  static constexpr std::size_t ERROR_PLACE = STREAM_COUNT;
  static constexpr std::size_t PLACES = STREAM_COUNT + 1;

  mutable std::mutex mutex_;
  std::array<std::optional<Item>, PLACES> places_;
  // Indices of the filled places in their turn order, a ring of PLACES.
  std::array<std::uint8_t, PLACES> turns_{};
  std::size_t first_turn_ = 0;
  std::size_t waiting_ = 0;
};

}  // namespace quorl_engine
