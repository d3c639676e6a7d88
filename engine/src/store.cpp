#include "quorl_engine/store.hpp"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace quorl_engine {

namespace {

std::size_t checked_capacity(std::size_t capacity) {
  if (capacity == 0) throw std::invalid_argument("a ring needs room for one item");
  if (capacity > MAX_QUEUE) throw std::invalid_argument("a ring larger than MAX_QUEUE");
  return capacity;
}

}  // namespace

FrameRing::FrameRing(std::size_t capacity)
    : capacity_(checked_capacity(capacity)), segments_((capacity + SEGMENT - 1) / SEGMENT) {}

PushOutcome FrameRing::try_push(Item&& item) {
  return try_emplace([&](Item& slot) { slot = std::move(item); });
}

Item& FrameRing::slot(std::size_t index) const noexcept {
  return segments_[index / SEGMENT][index % SEGMENT];
}

Item& FrameRing::slot_to_fill(std::size_t index) {
  auto& segment = segments_[index / SEGMENT];
  if (!segment) {
    // The last segment holds only what the bound leaves for it.
    const std::size_t size = std::min(SEGMENT, capacity_ - index / SEGMENT * SEGMENT);
    segment = std::make_unique<Item[]>(size);
    allocated_.fetch_add(size, std::memory_order_relaxed);
  }
  return segment[index % SEGMENT];
}

void FrameRing::publish(std::size_t tail) noexcept {
  // seq_cst: the producer reads the consumer's waiting flag right after this
  // store, and the consumer sets that flag before it reads the tail.
  tail_.store(tail, std::memory_order_seq_cst);
}

const Item* FrameRing::waiting_at(std::size_t position) const noexcept {
  // The consumer alone moves the head, so a waiting slot stays as it is.
  if (position < head_.load(std::memory_order_relaxed) ||
      position >= tail_.load(std::memory_order_acquire)) {
    return nullptr;
  }
  return &slot(position % capacity_);
}

void FrameRing::drop(std::size_t count) noexcept {
  if (count == 0) return;
  head_.store(head_.load(std::memory_order_relaxed) + count, std::memory_order_seq_cst);
}

bool FrameRing::pop(Item& out) {
  const std::size_t taken = offer([&](Item& item) {
    out = std::move(item);
    return Take::item_and_stop;
  });
  drop(taken);
  return taken == 1;
}

void FrameRing::clear() {
  drop(offer([](const Item&) { return Take::item; }));
}

namespace {

// Returns the place of an item: its stream, or the error place.
std::size_t place_of(const Item& item, std::size_t error_place) {
  const auto* frame = std::get_if<FrameRecord>(&item);
  if (frame == nullptr) return error_place;
  if (auto index = stream_index(frame->type, frame->side)) return *index;
  throw std::invalid_argument("a frame record of no stream");
}

}  // namespace

PushOutcome LatestSlots::try_push(Item&& item) {
  const std::size_t place = place_of(item, ERROR_PLACE);
  std::lock_guard lock(mutex_);
  auto& slot = places_[place];
  if (!slot) {
    slot = std::move(item);
    turns_[(first_turn_ + waiting_++) % PLACES] = static_cast<std::uint8_t>(place);
    return PushOutcome::stored;
  }
  if (auto* error = std::get_if<ErrorRecord>(&item)) {
    error->replaced += std::get<ErrorRecord>(*slot).replaced + 1;
  }
  *slot = std::move(item);
  return PushOutcome::replaced;
}

bool LatestSlots::pop(Item& out) {
  return take_each([&](Item& item) {
           out = std::move(item);
           return Take::item_and_stop;
         }) == 1;
}

void LatestSlots::clear() {
  std::lock_guard lock(mutex_);
  for (auto& slot : places_) slot.reset();
  waiting_ = 0;
}

bool LatestSlots::peek(std::size_t stream, FrameRecord& out) const {
  std::lock_guard lock(mutex_);
  const auto& slot = places_.at(stream);
  if (!slot) return false;
  out = std::get<FrameRecord>(*slot);
  return true;
}

std::size_t LatestSlots::size() const {
  std::lock_guard lock(mutex_);
  return waiting_;
}

}  // namespace quorl_engine
