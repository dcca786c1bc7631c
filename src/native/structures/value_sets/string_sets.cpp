#include "native/structures/value_sets/string_sets.h"

#include <algorithm>
#include <array>

#include <string.h>  // memmem: a linear-time search, also on long periodic needles

#include <utility>

namespace vantorel {

void StringSets::add(std::string_view key, uint32_t id) {
  const uint32_t index = add_to_sets(key, id);
  if (index == StringTable::kNone) return;
  const OrderedText text(key);
  auto position = sorted_.partition_point(
      [&](uint64_t head, uint32_t other) { return comes_before(head, other, text); });
  sorted_.insert(position, text.head, index);
}

void StringSets::add_deferred(std::string_view key, uint32_t id) {
  const uint32_t index = add_to_sets(key, id);
  if (index != StringTable::kNone) unsorted_.push_back(index);
}

uint32_t StringSets::add_to_sets(std::string_view key, uint32_t id) {
  auto [index, inserted] = sets_.emplace(key, HybridSet::single(id));
  if (inserted) return index;
  HybridSet& ids = sets_[index].ids;
  if (ids.empty()) --empty_keys_;  // an emptied key, still in the byte order
  ids.add(id);
  return StringTable::kNone;
}

void StringSets::settle() {
  if (unsorted_.empty()) return;
  std::vector<std::pair<uint64_t, uint32_t>> entries;
  entries.reserve(unsorted_.size());
  for (uint32_t index : unsorted_) {
    entries.emplace_back(OrderedText::head_of(sets_[index].key.view()), index);
  }
  unsorted_ = {};
  auto less = [&](uint64_t head, uint32_t index, uint64_t other_head, uint32_t other) {
    return head != other_head ? head < other_head : key_of(head, index) < key_of(other_head, other);
  };
  std::sort(entries.begin(), entries.end(), [&](const auto& a, const auto& b) {
    return less(a.first, a.second, b.first, b.second);
  });
  sorted_.insert_sorted(std::move(entries), less);
}

void StringSets::remove(std::string_view key, uint32_t id) {
  const uint32_t index = sets_.find(key);
  if (index == StringTable::kNone) return;
  HybridSet& ids = sets_[index].ids;
  if (ids.empty()) return;
  ids.remove(id);
  if (ids.empty()) emptied();
}

void StringSets::remove_sorted(std::span<const std::pair<OrderedText, uint32_t>> entries) {
  using Run = std::span<const std::pair<OrderedText, uint32_t>>;
  // Runs go in groups. The home slots of a group's keys are all asked for,
  // then (once they have come in) the entries they point to, and only then
  // is each key looked up: the cache misses of the group overlap, where a
  // lookup after each change would take them one after another.
  constexpr size_t kGroup = 16;
  std::array<std::pair<Run, uint64_t>, kGroup> group;
  std::array<std::pair<HybridSet*, Run>, kGroup> runs;
  size_t grouped = 0;
  std::vector<uint32_t> scratch;
  auto flush = [&] {
    for (size_t i = 0; i < grouped; ++i) sets_.prefetch_slot(group[i].second);
    for (size_t i = 0; i < grouped; ++i) sets_.prefetch_entry(group[i].second);
    for (size_t i = 0; i < grouped; ++i) {
      const auto& [run, hash] = group[i];
      const uint32_t index = sets_.find(run.front().first.text, hash);
      runs[i] = {index != StringTable::kNone ? &sets_[index].ids : nullptr, run};
    }
    empty_keys_ +=
        remove_runs(std::span<const std::pair<HybridSet*, Run>>(runs.data(), grouped), scratch);
    grouped = 0;
  };
  for_each_key_run(entries, [&](Run run) {
    group[grouped++] = {run, StringTable::hash_of(run.front().first.text)};
    if (grouped == kGroup) flush();
  });
  flush();
  if (sweep_due()) sweep();
}

void StringSets::emptied() {
  ++empty_keys_;
  if (sweep_due()) sweep();
}

void StringSets::sweep() {
  std::vector<uint32_t> empty;
  empty.reserve(empty_keys_);
  auto held = [&](uint32_t index) {
    if (!sets_[index].ids.empty()) return true;
    empty.push_back(index);
    return false;
  };
  sorted_.retain_if([&](uint64_t, uint32_t index) { return held(index); });
  // Keys still waiting for the byte order are in the hash table only.
  std::erase_if(unsorted_, [&](uint32_t index) { return !held(index); });
  for (uint32_t index : empty) sets_.erase(index);
  empty_keys_ = 0;
}

const HybridSet* StringSets::find(std::string_view key) const {
  const uint32_t index = sets_.find(key);
  if (index == StringTable::kNone) return nullptr;
  const HybridSet& ids = sets_[index].ids;
  return ids.empty() ? nullptr : &ids;
}

void StringSets::add_matching(std::string_view key, Bitmap& out) const {
  if (const HybridSet* ids = find(key)) ids->add_to(out);
}

bool StringSets::add_with_prefix(std::string_view prefix, Bitmap& out, size_t max_keys) const {
  const OrderedText text(prefix);
  size_t visited = 0;
  SetUnion ids(out);
  auto it = sorted_.partition_point(
      [&](uint64_t head, uint32_t index) { return comes_before(head, index, text); });
  // Each entry is asked for kWalkAhead keys before it is read, as in
  // walk_keys().
  auto ahead = it;
  for (size_t k = 0; k < kWalkAhead && ahead != sorted_.end(); ++k, ++ahead) {
    sets_.prefetch(ahead.value());
  }
  for (; it != sorted_.end(); ++it) {
    if (ahead != sorted_.end()) {
      sets_.prefetch(ahead.value());
      ++ahead;
    }
    const StringTable::Entry& entry = sets_[it.value()];
    if (!entry.key.view().starts_with(prefix)) break;
    if (entry.ids.empty()) continue;
    if (++visited > max_keys) {
      ids.finish();
      return false;
    }
    ids.add(entry.ids);
  }
  ids.finish();
  return true;
}

void StringSets::add_containing(std::string_view needle, Bitmap& out) const {
  SetUnion union_of(out);
  sets_.for_each([&](const StringTable::Entry& entry) {
    const std::string_view key = entry.key.view();
    if (key.size() < needle.size() || entry.ids.empty()) return;
    if (needle.empty() || memmem(key.data(), key.size(), needle.data(), needle.size()) != nullptr) {
      union_of.add(entry.ids);
    }
  });
  union_of.finish();
}

void StringSets::add_ending_with(std::string_view suffix, Bitmap& out) const {
  SetUnion union_of(out);
  sets_.for_each([&](const StringTable::Entry& entry) {
    if (!entry.ids.empty() && entry.key.view().ends_with(suffix)) union_of.add(entry.ids);
  });
  union_of.finish();
}

void StringSets::remove_all(const Bitmap& drop) {
  sets_.for_each([&](StringTable::Entry& entry) {
    if (entry.ids.empty()) return;
    entry.ids.remove_in(drop);
    if (entry.ids.empty()) ++empty_keys_;
  });
  if (empty_keys_ > 0) sweep();
}

size_t StringSets::memory_bytes() const {
  size_t total =
      sets_.memory_bytes() + sorted_.memory_bytes() + unsorted_.capacity() * sizeof(uint32_t);
  sets_.for_each([&](const StringTable::Entry& entry) { total += entry.ids.memory_bytes(); });
  return total;
}

}  // namespace vantorel
