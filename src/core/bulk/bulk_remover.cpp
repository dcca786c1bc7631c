#include "core/bulk/bulk_remover.h"

#include <algorithm>
#include <array>
#include <memory>

#include "core/query/compare.h"
#include "native/common/prefetch.h"
#include "native/structures/id_alloc/id_alloc.h"

namespace vantorel {

namespace {

// Sorts (key, id) pairs by key alone: the ids under one key go in any order.
template <class Pair>
void sort_by_key(std::vector<Pair>& entries) {
  std::sort(entries.begin(), entries.end(),
            [](const Pair& a, const Pair& b) { return a.first < b.first; });
}

}  // namespace

// The removals of one batch, by the sub-index they leave.
struct BulkQueryMapRemover::Removals {
  std::vector<std::pair<OrderKey, uint32_t>> numbers;
  std::vector<std::pair<OrderedText, uint32_t>> strings;  // view the batch's values
  std::array<std::vector<uint32_t>, 2> booleans;          // by bool_slot
  std::vector<std::pair<const PyValue*, uint32_t>> exact;
  // The masked ids of the unmapped elements, freed once nothing refers to
  // them, and the element snapshots that the filed elements point into.
  std::vector<uint32_t> freed;
  std::vector<std::shared_ptr<const std::vector<PyValue>>> snapshots;
};

void BulkQueryMapRemover::file(const PyValue& value, uint32_t id, Removals& removals) {
  switch (value.kind()) {
    case ValueKind::Int:
    case ValueKind::Float:
      removals.numbers.emplace_back(key_of(value), id);
      return;
    case ValueKind::Str:
      removals.strings.emplace_back(value.as_str(), id);
      return;
    case ValueKind::Bool:
      removals.booleans[bool_slot(value.as_bool())].push_back(id);
      return;
    case ValueKind::Iterable:
      take_elements(id, removals);
      return;
    case ValueKind::Ind:
    case ValueKind::Unknown:
      removals.exact.emplace_back(&value, id);
      return;
  }
}

void BulkQueryMapRemover::take_elements(uint32_t owner, Removals& removals) {
  if (!*elements_) return;
  ElementTable& table = **elements_;
  std::optional<OwnedElements> owned = table.by_owner.take(owner);
  if (!owned) return;
  for (size_t i = 0; i < owned->masked_ids.size(); ++i) {
    const uint32_t masked = owned->masked_ids[i];
    removals.freed.push_back(masked);
    file((*owned->values)[i], masked, removals);
  }
  removals.snapshots.push_back(std::move(owned->values));
}

void BulkQueryMapRemover::apply(std::vector<std::pair<uint32_t, PyValue>>& batch) {
  Removals removals;
  // The entries of the lists lie far apart: each is asked for in stages
  // ahead of its turn, so that its cache misses overlap other work.
  using Stage = ElementOwners::Stage;
  constexpr std::pair<size_t, Stage> kAhead[] = {
      {12, Stage::kSlot}, {6, Stage::kEntry}, {3, Stage::kData}};
  const ElementOwners* owners = *elements_ ? &(*elements_)->by_owner : nullptr;
  // An iterable's elements are the snapshot its value holds, which the entry
  // shares: the snapshot's header is asked for from the value, before the
  // entry's stages need it.
  constexpr size_t kSnapshotAhead = 8;
  for (size_t i = 0; i < batch.size(); ++i) {
    if (owners != nullptr && i + kSnapshotAhead < batch.size()) {
      const PyValue& value = batch[i + kSnapshotAhead].second;
      if (value.kind() == ValueKind::Iterable) prefetch_line(value.as_iterable().elements.get());
    }
    for (const auto& [distance, stage] : kAhead) {
      if (owners == nullptr || i + distance >= batch.size()) continue;
      const auto& [owner, value] = batch[i + distance];
      if (value.kind() == ValueKind::Iterable) owners->prefetch(owner, stage);
    }
    file(batch[i].second, batch[i].first, removals);
  }
  remove_numbers(removals.numbers);
  remove_strings(removals.strings);
  remove_booleans(removals.booleans);
  for (const auto& [value, id] : removals.exact) map_.remove_exact(*value, id);
  free_elements(std::move(removals.freed));
}

void BulkQueryMapRemover::remove_numbers(std::vector<std::pair<OrderKey, uint32_t>>& entries) {
  if (entries.empty() || !*numbers_) return;
  sort_by_key(entries);
  NumberIndex& numbers = **numbers_;
  if (NumericalBitmap* slices = numbers.slices.written()) {
    for (const auto& [key, id] : entries) slices->defer_remove(key, id);
  }
  numbers.values.remove_sorted(entries);
}

void BulkQueryMapRemover::remove_strings(std::vector<std::pair<OrderedText, uint32_t>>& entries) {
  if (entries.empty() || !*strings_) return;
  sort_by_key(entries);
  StringIndex& strings = **strings_;
  if (PositionalBitmap* positions = strings.positions.written()) {
    for (const auto& [text, id] : entries) positions->remove(text.text, id);
  }
  strings.values.remove_sorted(entries);
}

void BulkQueryMapRemover::remove_booleans(std::array<std::vector<uint32_t>, 2>& slots) {
  if (!*booleans_) return;
  for (int slot = 0; slot < 2; ++slot) {
    std::vector<uint32_t>& ids = slots[slot];
    if (ids.empty()) continue;
    std::sort(ids.begin(), ids.end());
    (**booleans_)[slot].bitmap() -= Bitmap::of(ids.data(), ids.size());
  }
}

void BulkQueryMapRemover::free_elements(std::vector<uint32_t> masked_ids) {
  if (masked_ids.empty()) return;
  std::sort(masked_ids.begin(), masked_ids.end());
  ElementTable& table = **elements_;
  // Their slots lie far apart in a large table: each is asked for ahead.
  constexpr size_t kAhead = 8;
  for (size_t i = 0; i < masked_ids.size(); ++i) {
    if (i + kAhead < masked_ids.size()) table.mapped_ids.prefetch(masked_ids[i + kAhead]);
    table.mapped_ids.erase(masked_ids[i]);
  }
  const Bitmap freed = Bitmap::of(masked_ids.data(), masked_ids.size());
  table.masked_ids -= freed;
  if (!table.nested_ids.empty()) table.nested_ids -= freed;
  free_ids(std::move(masked_ids));
}

}  // namespace vantorel
