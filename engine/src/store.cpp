#include "quorl_engine/store.hpp"

#include <stdexcept>
#include <utility>

namespace quorl_engine {

FrameRing::FrameRing(std::size_t capacity) : slots_(capacity) {
  if (capacity == 0) throw std::invalid_argument("a ring needs room for one item");
}

PushOutcome FrameRing::try_push(Item&& item) {
  const std::size_t tail = tail_.load(std::memory_order_relaxed);
  if (tail - head_.load(std::memory_order_acquire) == slots_.size()) return PushOutcome::full;
  slots_[tail % slots_.size()] = std::move(item);
  publish(tail + 1);
  return PushOutcome::stored;
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
  return &slots_[position % slots_.size()];
}

bool FrameRing::pop(Item& out) {
  const std::size_t head = head_.load(std::memory_order_relaxed);
  if (head == tail_.load(std::memory_order_seq_cst)) return false;
  out = std::move(slots_[head % slots_.size()]);
  head_.store(head + 1, std::memory_order_seq_cst);
  return true;
}

void FrameRing::clear() {
  Item discarded;
  while (pop(discarded)) {
  }
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
  std::lock_guard lock(mutex_);
  if (waiting_ == 0) return false;
  auto& slot = places_[turns_[first_turn_]];
  out = std::move(*slot);
  slot.reset();
  first_turn_ = (first_turn_ + 1) % PLACES;
  --waiting_;
  return true;
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
