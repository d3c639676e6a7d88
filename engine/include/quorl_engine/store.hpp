#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
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

// Lossless mode's store: a bounded single-producer, single-consumer ring.
// Items leave in the order they came; when it is full the producer waits.
// One thread pushes; one thread at a time pops.
class FrameRing {
 public:
  explicit FrameRing(std::size_t capacity);

  // Producer: stores `item` at the back, or reports full (leaving it alone).
  PushOutcome try_push(Item&& item);

  // Producer: lets `fill(Item&)` write the item at the back in place, or
  // reports full (without calling it).
  template <class Fill>
  PushOutcome try_emplace(Fill&& fill) {
    const std::size_t tail = tail_.load(std::memory_order_relaxed);
    if (tail - head_.load(std::memory_order_acquire) == slots_.size()) return PushOutcome::full;
    fill(slots_[tail % slots_.size()]);
    publish(tail + 1);
    return PushOutcome::stored;
  }

  // Consumer: returns the item pushed as the `position`th (counting from 0)
  // while it waits, null once it has been popped or before it is pushed.
  const Item* waiting_at(std::size_t position) const noexcept;

  // Returns how many items have been pushed: the position of the next.
  std::size_t pushed() const noexcept { return tail_.load(std::memory_order_acquire); }

  // Consumer: moves the front item into `out`; false when empty.
  bool pop(Item& out);

  // Consumer: drops every waiting item.
  void clear();

  // Returns how many items wait; exact for the consumer, a lower bound
  // for the producer.
  std::size_t size() const noexcept {
    return tail_.load(std::memory_order_acquire) - head_.load(std::memory_order_acquire);
  }

  std::size_t capacity() const noexcept { return slots_.size(); }

 private:
  void publish(std::size_t tail) noexcept;

  std::vector<Item> slots_;
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
