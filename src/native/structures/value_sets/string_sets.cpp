#include "native/structures/value_sets/string_sets.h"

#include <algorithm>
#include <array>

#include <string.h>  // memmem: a linear-time search, also on long periodic needles

#include <utility>

namespace vantorel {

void StringSets::add(std::string_view key, uint32_t id) {
  if (StringTable::Entry* entry = add_to_sets(key, id)) {
    sorted_.emplace(std::string_view(entry->key), &entry->ids);
  }
}

void StringSets::add_deferred(std::string_view key, uint32_t id) {
  if (StringTable::Entry* entry = add_to_sets(key, id)) {
    unsorted_.emplace_back(std::string_view(entry->key), &entry->ids);
  }
}

StringTable::Entry* StringSets::add_to_sets(std::string_view key, uint32_t id) {
  auto [entry, inserted] = sets_.emplace(key, HybridSet::single(id));
  if (!inserted) {
    if (entry->ids.empty()) --empty_keys_;  // an emptied key, still in the byte order
    entry->ids.add(id);
    return nullptr;
  }
  key_bytes_ += key.size();
  return entry;
}

void StringSets::settle() {
  if (unsorted_.empty()) return;
  std::sort(unsorted_.begin(), unsorted_.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  sorted_.insert_sorted(std::move(unsorted_));
  unsorted_ = {};
}

void StringSets::remove(std::string_view key, uint32_t id) {
  StringTable::Entry* found = sets_.find(key);
  if (found == nullptr || found->ids.empty()) return;
  found->ids.remove(id);
  if (found->ids.empty()) emptied();
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
  RunRemovalScratch scratch;
  auto flush = [&] {
    for (size_t i = 0; i < grouped; ++i) sets_.prefetch_slot(group[i].second);
    for (size_t i = 0; i < grouped; ++i) sets_.prefetch_entry(group[i].second);
    for (size_t i = 0; i < grouped; ++i) {
      const auto& [run, hash] = group[i];
      StringTable::Entry* found = sets_.find(run.front().first.text, hash);
      runs[i] = {found != nullptr ? &found->ids : nullptr, run};
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
  // Keys still waiting for the byte order are in the hash map only.
  std::erase_if(unsorted_, [](const auto& entry) { return entry.second->empty(); });
  std::vector<std::string_view> empty;
  empty.reserve(empty_keys_);
  sorted_.retain_if([&](const OrderedText& key, const HybridSet* ids) {
    if (!ids->empty()) return true;
    empty.push_back(key.text);
    return false;
  });
  // The views in `empty` point into the keys erased here; each is read
  // before its own entry goes.
  for (std::string_view key : empty) {
    key_bytes_ -= key.size();
    sets_.erase(key);
  }
  empty_keys_ = 0;
}

const HybridSet* StringSets::find(std::string_view key) const {
  const StringTable::Entry* found = sets_.find(key);
  return found == nullptr || found->ids.empty() ? nullptr : &found->ids;
}

void StringSets::add_matching(std::string_view key, Bitmap& out) const {
  if (const StringTable::Entry* found = sets_.find(key)) found->ids.add_to(out);
}

bool StringSets::add_with_prefix(std::string_view prefix, Bitmap& out, size_t max_keys) const {
  size_t visited = 0;
  SetUnion ids(out);
  for (auto it = sorted_.lower_bound(prefix); it != sorted_.end(); ++it) {
    if (!it.key().text.starts_with(prefix)) break;
    if (it.value()->empty()) continue;
    if (++visited > max_keys) {
      ids.finish();
      return false;
    }
    ids.add(*it.value());
  }
  ids.finish();
  return true;
}

void StringSets::add_containing(std::string_view needle, Bitmap& out) const {
  SetUnion union_of(out);
  sets_.for_each([&](const StringTable::Entry& entry) {
    const std::string& key = entry.key;
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
    if (!entry.ids.empty() && entry.key.ends_with(suffix)) union_of.add(entry.ids);
  });
  union_of.finish();
}

void StringSets::remove_all(const Bitmap& drop) {
  sets_.for_each([&](StringTable::Entry& entry) {
    HybridSet& ids = entry.ids;
    if (ids.empty()) return;
    Bitmap held = ids.to_bitmap();
    if (!held.intersects(drop)) return;
    ids.retain_in(held - drop);
    if (ids.empty()) ++empty_keys_;
  });
  if (empty_keys_ > 0) sweep();
}

size_t StringSets::memory_bytes() const {
  constexpr size_t kSortedBytes = sizeof(OrderedText) + sizeof(void*);
  size_t total = sets_.memory_bytes() + sets_.size() * kSortedBytes + key_bytes_;
  sets_.for_each([&](const StringTable::Entry& entry) {
    if (entry.ids.kind() == HybridSet::Kind::Large) total += entry.ids.size() / 4;
  });
  return total;
}

}  // namespace vantorel
