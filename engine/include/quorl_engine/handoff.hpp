#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>

#include "quorl_engine/platform.hpp"
#include "quorl_engine/record.hpp"
#include "quorl_engine/store.hpp"
#include "quorl_sdk/error.hpp"

namespace quorl_engine {

// How frames wait for a consumer slower than the stream.
enum class Mode {
  lossless,  // every item in order; the producer waits while max_queue items wait
  latest,    // the newest item of each stream; the producer never waits
};

// Where the engine thread (the producer) meets its consumers. Consumers may
// call from any thread at once: taking is serialized here, in short sections
// that call nothing of the caller's but a take_each() visitor. A consumer that finds nothing
// waits on a condition variable, or arms the wake descriptor for an event
// loop; the producer wakes either only when it is about to block, after a
// batch, or when the connection's state changes, and only when someone
// waits.
class Handoff {
 public:
  Handoff(Mode mode, std::size_t max_queue);
  Handoff(const Handoff&) = delete;
  Handoff& operator=(const Handoff&) = delete;

  // --- producer ---

  // Hands over an item. In lossless mode waits while the queue is full.
  // Returns false once closed: the producer stops.
  bool put(Item&& item);

  // Hands over the record of a decoded data frame, as put() does, built in
  // its place in the queue.
  bool put_frame(const quorl_protocol::Message& message, double time, std::uint64_t seq);

  // Records the outcome of the first connection and wakes the consumers.
  void set_connected(std::uint16_t port);
  void set_connect_failed(quorl_sdk::QuorlError error);

  // Marks the end of the stream for good and wakes the consumers.
  void set_ended();

  // Wakes waiting consumers when items came since the last wake-up.
  void flush();

  // --- consumers ---

  // Moves the next item into `out`; false when none waits.
  bool pop(Item& out);

  // Offers the waiting items in order to `visit(Item&)`, taking those it
  // takes (see Take), with no other consumer in between. The visitor must
  // not call back into this object. Returns how many it took.
  template <class Visit>
  std::size_t take_each(Visit&& visit);

  // Copies the newest frame of each stream into `out`, whether it waits or
  // was taken; consumes nothing.
  void newest(std::array<std::optional<FrameRecord>, STREAM_COUNT>& out) const;

  // Waits until an item waits, the stream ends, the client closes, the
  // connection's state differs from `connected_seen`, or `until` passes.
  // Touches nothing but this object: call it without the interpreter lock.
  void wait(std::chrono::steady_clock::time_point until, bool connected_seen);

  // Arms the wake descriptor for the same events as wait(): true when the
  // caller should wait for it to become readable, false when one of them
  // has happened already.
  bool arm(bool connected_seen);

  // Returns the descriptor that becomes readable when an armed wait ends.
  int wake_fd() const noexcept { return wake_.fd(); }

  // Makes the wake descriptor unreadable again.
  void disarm() noexcept { wake_.drain(); }

  // Discards every waiting item, stops the producer's wait for room and
  // releases every waiting consumer. Never blocks for long.
  void close();

  // --- state, readable from any thread ---

  bool closed() const noexcept { return closed_.load(); }
  bool connected() const noexcept { return connected_.load(); }
  bool ended() const noexcept { return ended_.load(); }
  std::uint16_t port() const noexcept { return port_.load(); }
  std::uint64_t received() const noexcept { return received_.load(std::memory_order_relaxed); }
  std::uint64_t dropped() const noexcept { return dropped_.load(std::memory_order_relaxed); }
  Mode mode() const noexcept { return mode_; }

  // Takes the connection failure, once; call after connected() turns true.
  std::optional<quorl_sdk::QuorlError> take_connect_error();

  // Returns how many items wait.
  std::size_t size() const;

 private:
  // Items handed over without a wake-up after which the producer wakes anyway.
  static constexpr std::size_t BATCH = 256;

  PushOutcome try_push(Item&& item);
  template <class TryPush>
  bool push_waiting(TryPush&& try_push, bool frame);
  template <class Fill>
  PushOutcome emplace_in_ring(Fill&& fill);
  template <class Visit>
  std::size_t take_from_ring(Visit& visit);
  template <class Visit>
  std::size_t take_from_slots(Visit& visit);
  bool ready(bool connected_seen) const;
  std::optional<FrameRecord> newest_waiting(std::size_t stream) const;
  void wake();
  void wake_producer_if_room();

  const Mode mode_;
  FrameRing ring_;
  LatestSlots slots_;

  // Lossless mode: per stream, 1 + the queue position of its newest frame
  // (0: none yet). The frame is read from the queue while it waits there...
  std::array<std::atomic<std::size_t>, STREAM_COUNT> newest_position_{};
  // ...and from here once taken; under taking_.
  std::array<std::optional<FrameRecord>, STREAM_COUNT> taken_;
  // Held by whoever takes items or reads taken_.
  mutable std::mutex taking_;

  std::mutex mutex_;
  std::condition_variable ready_;
  std::condition_variable room_;
  std::atomic<int> consumers_waiting_{0};
  std::atomic<bool> producer_waiting_{false};
  std::atomic<bool> armed_{false};
  platform::WakeDescriptor wake_;
  std::size_t unannounced_ = 0;  // producer only

  std::atomic<bool> closed_{false};
  std::atomic<bool> connected_{false};
  std::atomic<bool> ended_{false};
  std::atomic<std::uint16_t> port_{0};
  std::optional<quorl_sdk::QuorlError> connect_error_;  // written before connected_
  std::atomic<std::uint64_t> received_{0};
  std::atomic<std::uint64_t> dropped_{0};
};

template <class Visit>
std::size_t Handoff::take_each(Visit&& visit) {
  std::size_t taken = 0;
  {
    std::lock_guard lock(taking_);
    taken = mode_ == Mode::lossless ? take_from_ring(visit) : take_from_slots(visit);
  }
  if (taken > 0) wake_producer_if_room();
  return taken;
}

template <class Visit>
std::size_t Handoff::take_from_ring(Visit& visit) {
  // Only the last frame of each stream is kept as taken: the others are
  // behind it, and copying each would double the cost of a large take.
  std::array<const FrameRecord*, STREAM_COUNT> last{};
  const std::size_t taken = ring_.offer([&](Item& item) {
    const Take answer = visit(item);
    const auto* frame = std::get_if<FrameRecord>(&item);
    if (answer != Take::stop && frame != nullptr) {
      if (const auto stream = stream_index(frame->type, frame->side)) last[*stream] = frame;
    }
    return answer;
  });
  for (std::size_t stream = 0; stream < STREAM_COUNT; ++stream) {
    if (last[stream] != nullptr) taken_[stream] = *last[stream];
  }
  ring_.drop(taken);
  return taken;
}

template <class Visit>
std::size_t Handoff::take_from_slots(Visit& visit) {
  return slots_.take_each([&](Item& item) {
    const Take answer = visit(item);
    const auto* frame = std::get_if<FrameRecord>(&item);
    if (answer != Take::stop && frame != nullptr) {
      if (const auto stream = stream_index(frame->type, frame->side)) taken_[*stream] = *frame;
    }
    return answer;
  });
}

}  // namespace quorl_engine
