#include "core/query/element_owners.h"

#include <utility>

#include "native/common/prefetch.h"

namespace vantorel {

std::vector<ElementEntry> OwnedElements::entries() const {
  std::vector<ElementEntry> result;
  result.reserve(masked_ids.size());
  for (size_t i = 0; i < masked_ids.size(); ++i) result.push_back({masked_ids[i], (*values)[i]});
  return result;
}

const OwnedElements* ElementOwners::find(uint32_t owner) const {
  std::optional<uint32_t> slot = slot_of_.find(owner);
  return slot ? &entries_[*slot] : nullptr;
}

void ElementOwners::put(uint32_t owner, OwnedElements owned) {
  if (std::optional<uint32_t> slot = slot_of_.find(owner)) {
    entries_[*slot] = std::move(owned);
    return;
  }
  uint32_t slot;
  if (free_slots_.empty()) {
    slot = static_cast<uint32_t>(entries_.size());
    entries_.push_back(std::move(owned));
  } else {
    slot = free_slots_.back();
    free_slots_.pop_back();
    entries_[slot] = std::move(owned);
  }
  slot_of_.set(owner, slot);
}

std::optional<OwnedElements> ElementOwners::take(uint32_t owner) {
  std::optional<uint32_t> slot = slot_of_.find(owner);
  if (!slot) return std::nullopt;
  slot_of_.erase(owner);
  OwnedElements owned = std::move(entries_[*slot]);
  entries_[*slot] = OwnedElements{};
  free_slots_.push_back(*slot);
  if (free_slots_.size() >= kMinCompacted && free_slots_.size() * 4 > entries_.size() * 3) {
    compact();
  }
  return owned;
}

void ElementOwners::compact() {
  std::vector<std::pair<uint32_t, uint32_t>> owners;  // (owner, slot)
  owners.reserve(slot_of_.size());
  slot_of_.for_each([&](uint32_t owner, uint32_t slot) { owners.emplace_back(owner, slot); });
  std::deque<OwnedElements> kept;
  for (const auto& [owner, slot] : owners) {
    slot_of_.set(owner, static_cast<uint32_t>(kept.size()));
    kept.push_back(std::move(entries_[slot]));
  }
  entries_ = std::move(kept);
  free_slots_ = {};
}

void ElementOwners::prefetch(uint32_t owner, Stage stage) const {
  if (stage == Stage::kSlot) {
    slot_of_.prefetch(owner);
    return;
  }
  std::optional<uint32_t> slot = slot_of_.find(owner);
  if (!slot) return;
  const OwnedElements& owned = entries_[*slot];
  if (stage == Stage::kEntry) {
    prefetch_line(&owned);
    return;
  }
  prefetch_line(owned.masked_ids.data());
  if (owned.values) prefetch_line(owned.values->data());
}

}  // namespace vantorel
