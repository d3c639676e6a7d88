#include "quorl_engine/handoff.hpp"

#include <thread>
#include <utility>

namespace quorl_engine {

Handoff::Handoff(Mode mode, std::size_t max_queue)
    : mode_(mode), ring_(mode == Mode::lossless ? max_queue : 1) {}

PushOutcome Handoff::try_push(Item&& item) {
  if (mode_ == Mode::latest) return slots_.try_push(std::move(item));
  return emplace_in_ring([&](Item& slot) { slot = std::move(item); });
}

bool Handoff::put(Item&& item) {
  if (closed_.load()) return false;
  const bool frame = std::holds_alternative<FrameRecord>(item);
  if (frame) received_.fetch_add(1, std::memory_order_relaxed);
  return push_waiting([&] { return try_push(std::move(item)); }, frame);
}

bool Handoff::put_frame(const quorl_protocol::Message& message, double time, std::uint64_t seq) {
  if (mode_ == Mode::latest) {
    // A slot keeps its own copy under a lock: the record is built beside it.
    Item item(std::in_place_type<FrameRecord>);
    fill_record(message, time, seq, std::get<FrameRecord>(item));
    return put(std::move(item));
  }
  if (closed_.load()) return false;
  received_.fetch_add(1, std::memory_order_relaxed);
  return push_waiting(
      [&] {
        return emplace_in_ring([&](Item& slot) {
          // A slot that held a frame is overwritten as it is, not cleared first.
          auto* record = std::get_if<FrameRecord>(&slot);
          if (record == nullptr) record = &slot.emplace<FrameRecord>();
          fill_record(message, time, seq, *record);
        });
      },
      true);
}

template <class Fill>
PushOutcome Handoff::emplace_in_ring(Fill&& fill) {
  const std::size_t position = ring_.pushed();
  return ring_.try_emplace([&](Item& slot) {
    fill(slot);
    const auto* record = std::get_if<FrameRecord>(&slot);
    if (record == nullptr) return;
    if (const auto stream = stream_index(record->type, record->side)) {
      // Named before it is published, and nothing can fail in between:
      // see newest_waiting().
      newest_position_[*stream].store(position + 1, std::memory_order_release);
    }
  });
}

template <class TryPush>
bool Handoff::push_waiting(TryPush&& try_push, bool frame) {
  PushOutcome outcome = try_push();
  while (outcome == PushOutcome::full) {
    // The consumer lags: let it see what waits, then stop reading until it
    // has made room, so that TCP pushes back on the server.
    flush();
    {
      std::unique_lock lock(mutex_);
      producer_waiting_.store(true);
      room_.wait(lock, [&] { return closed_.load() || ring_.size() < ring_.capacity(); });
      producer_waiting_.store(false);
    }
    if (closed_.load()) return false;
    outcome = try_push();
  }
  if (outcome == PushOutcome::replaced && frame) {
    dropped_.fetch_add(1, std::memory_order_relaxed);
  }
  if (++unannounced_ >= BATCH) flush();
  return true;
}

void Handoff::set_connected(std::uint16_t port) {
  port_.store(port);
  connected_.store(true);
  wake();
}

void Handoff::set_connect_failed(quorl_sdk::QuorlError error) {
  {
    std::lock_guard lock(mutex_);
    connect_error_.emplace(std::move(error));
  }
  ended_.store(true);
  connected_.store(true);
  wake();
}

void Handoff::set_ended() {
  ended_.store(true);
  wake();
}

void Handoff::flush() {
  if (unannounced_ == 0) return;
  unannounced_ = 0;
  wake();
}

void Handoff::wake() {
  // seq_cst loads pair with the consumers' seq_cst stores of these flags
  // before they look at the store: either they see the item, or we see them.
  if (consumers_waiting_.load() > 0) {
    { std::lock_guard lock(mutex_); }
    ready_.notify_all();
  }
  if (armed_.exchange(false)) wake_.signal();
}

bool Handoff::pop(Item& out) {
  return take_each([&](Item& item) {
           out = std::move(item);
           return Take::item_and_stop;
         }) == 1;
}

void Handoff::wake_producer_if_room() {
  // Wake the producer when half the queue is free, not for every slot, so
  // that it reads in runs instead of one frame per wake-up.
  if (!producer_waiting_.load() || ring_.size() > ring_.capacity() / 2) return;
  { std::lock_guard lock(mutex_); }
  room_.notify_one();
}

void Handoff::newest(std::array<std::optional<FrameRecord>, STREAM_COUNT>& out) const {
  std::lock_guard lock(taking_);
  for (std::size_t stream = 0; stream < STREAM_COUNT; ++stream) {
    out[stream] = newest_waiting(stream);
    if (!out[stream]) out[stream] = taken_[stream];
  }
}

std::optional<FrameRecord> Handoff::newest_waiting(std::size_t stream) const {
  if (mode_ == Mode::latest) {
    FrameRecord record;
    if (slots_.peek(stream, record)) return record;
    return std::nullopt;
  }
  const std::size_t position = newest_position_[stream].load(std::memory_order_acquire);
  if (position == 0) return std::nullopt;
  // Named a moment before it is published: wait that moment out, or the
  // frame taken before it would stand in for it.
  while (ring_.pushed() < position) std::this_thread::yield();
  const Item* item = ring_.waiting_at(position - 1);
  if (item == nullptr) return std::nullopt;
  return std::get<FrameRecord>(*item);
}

bool Handoff::ready(bool connected_seen) const {
  return closed_.load() || ended_.load() || connected_.load() != connected_seen || size() > 0;
}

std::size_t Handoff::size() const {
  return mode_ == Mode::lossless ? ring_.size() : slots_.size();
}

void Handoff::wait(std::chrono::steady_clock::time_point until, bool connected_seen) {
  std::unique_lock lock(mutex_);
  consumers_waiting_.fetch_add(1);
  ready_.wait_until(lock, until, [&] { return ready(connected_seen); });
  consumers_waiting_.fetch_sub(1);
}

bool Handoff::arm(bool connected_seen) {
  armed_.store(true);
  if (!ready(connected_seen)) return true;
  armed_.store(false);
  return false;
}

std::optional<quorl_sdk::QuorlError> Handoff::take_connect_error() {
  std::lock_guard lock(mutex_);
  return std::exchange(connect_error_, std::nullopt);
}

void Handoff::close() {
  if (closed_.exchange(true)) return;
  {
    std::lock_guard lock(taking_);
    if (mode_ == Mode::lossless) {
      ring_.clear();
    } else {
      slots_.clear();
    }
  }
  { std::lock_guard lock(mutex_); }
  ready_.notify_all();
  room_.notify_all();
  armed_.store(false);
  wake_.signal();
}

}  // namespace quorl_engine
