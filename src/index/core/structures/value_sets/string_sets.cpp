#include "index/core/structures/value_sets/string_sets.h"

#include <algorithm>

#include <string.h>  // memmem: a linear-time search, also on long periodic needles

#include <utility>

namespace vantorel {

void StringSets::add(std::string_view key, uint32_t id) {
  if (Sets::value_type* entry = add_to_sets(key, id)) {
    sorted_.emplace(std::string_view(entry->first), &entry->second);
  }
}

void StringSets::add_deferred(std::string_view key, uint32_t id) {
  if (Sets::value_type* entry = add_to_sets(key, id)) {
    unsorted_.emplace_back(std::string_view(entry->first), &entry->second);
  }
}

StringSets::Sets::value_type* StringSets::add_to_sets(std::string_view key, uint32_t id) {
  auto found = sets_.find(key);
  if (found != sets_.end()) {
    if (found->second.empty()) --empty_keys_;  // an emptied key, still in the byte order
    found->second.add(id);
    return nullptr;
  }
  auto [entry, inserted] = sets_.emplace(std::string(key), HybridSet::single(id));
  key_bytes_ += key.size();
  return &*entry;
}

void StringSets::settle() {
  if (unsorted_.empty()) return;
  std::sort(unsorted_.begin(), unsorted_.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  sorted_.insert_sorted(std::move(unsorted_));
  unsorted_ = {};
}

void StringSets::remove(std::string_view key, uint32_t id) {
  auto found = sets_.find(key);
  if (found == sets_.end() || found->second.empty()) return;
  found->second.remove(id);
  if (found->second.empty()) emptied();
}

void StringSets::remove_sorted(std::span<const std::pair<OrderedText, uint32_t>> entries) {
  using Run = std::span<const std::pair<OrderedText, uint32_t>>;
  // Runs go in groups: the keys of a group are all looked up before any is
  // changed, so that the processor overlaps their cache misses, which a
  // lookup after each change would take one after another.
  constexpr size_t kGroup = 16;
  std::vector<std::pair<Run, Sets::iterator>> group;
  std::vector<uint32_t> scratch;
  auto flush = [&] {
    for (auto& [run, found] : group) {
      if (found != sets_.end() && remove_run(found->second, run, scratch)) ++empty_keys_;
    }
    group.clear();
  };
  for_each_key_run(entries, [&](Run run) {
    group.emplace_back(run, sets_.find(run.front().first.text));
    if (group.size() == kGroup) flush();
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
  std::vector<std::pair<OrderedText, const HybridSet*>> kept;
  std::vector<std::string_view> empty;
  kept.reserve(sorted_.size());
  empty.reserve(empty_keys_);
  for (const auto& entry : sorted_) {
    if (entry.second->empty()) {
      empty.push_back(entry.first.text);
    } else {
      kept.push_back(entry);
    }
  }
  sorted_ = ChunkedMap<OrderedText, const HybridSet*>();
  sorted_.insert_sorted(std::move(kept));
  // The views in `empty` point into the keys erased here; each is read
  // before its own entry goes.
  for (std::string_view key : empty) {
    auto found = sets_.find(key);
    key_bytes_ -= found->first.size();
    sets_.erase(found);
  }
  empty_keys_ = 0;
}

const HybridSet* StringSets::find(std::string_view key) const {
  auto found = sets_.find(key);
  return found == sets_.end() || found->second.empty() ? nullptr : &found->second;
}

void StringSets::add_matching(std::string_view key, Bitmap& out) const {
  auto found = sets_.find(key);
  if (found != sets_.end()) found->second.add_to(out);
}

bool StringSets::add_with_prefix(std::string_view prefix, Bitmap& out, size_t max_keys) const {
  size_t visited = 0;
  SetUnion ids(out);
  for (auto it = sorted_.lower_bound(prefix); it != sorted_.end(); ++it) {
    if (!it->first.text.starts_with(prefix)) break;
    if (it->second->empty()) continue;
    if (++visited > max_keys) {
      ids.finish();
      return false;
    }
    ids.add(*it->second);
  }
  ids.finish();
  return true;
}

void StringSets::add_containing(std::string_view needle, Bitmap& out) const {
  SetUnion union_of(out);
  for (const auto& [key, ids] : sets_) {
    if (key.size() < needle.size() || ids.empty()) continue;
    if (needle.empty() || memmem(key.data(), key.size(), needle.data(), needle.size()) != nullptr) {
      union_of.add(ids);
    }
  }
  union_of.finish();
}

void StringSets::add_ending_with(std::string_view suffix, Bitmap& out) const {
  SetUnion union_of(out);
  for (const auto& [key, ids] : sets_) {
    if (!ids.empty() && key.ends_with(suffix)) union_of.add(ids);
  }
  union_of.finish();
}

void StringSets::remove_all(const Bitmap& drop) {
  for (auto& [key, ids] : sets_) {
    if (ids.empty()) continue;
    Bitmap held = ids.to_bitmap();
    if (!held.intersects(drop)) continue;
    ids.retain_in(held - drop);
    if (ids.empty()) ++empty_keys_;
  }
  if (empty_keys_ > 0) sweep();
}

size_t StringSets::memory_bytes() const {
  constexpr size_t kNodeBytes = sizeof(Sets::value_type) + 2 * sizeof(void*);
  constexpr size_t kSortedBytes = sizeof(OrderedText) + sizeof(void*);
  size_t total = sets_.size() * (kNodeBytes + kSortedBytes) + key_bytes_;
  for (const auto& entry : sets_) {
    if (entry.second.kind() == HybridSet::Kind::Large) total += entry.second.size() / 4;
  }
  return total;
}

}  // namespace vantorel
