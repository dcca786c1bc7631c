#include "native/structures/m2m/m2m.h"

namespace vantorel {

void M2MU32::register_pair(uint32_t parent, uint32_t child) {
  if (has_pair(parent, child)) return;
  children_[parent].add(child);
  parents_[child].add(parent);
  ++pair_count_;
}

void M2MU32::unregister_pair(uint32_t parent, uint32_t child) {
  if (!has_pair(parent, child)) return;
  erase_partner(children_, parent, child);
  erase_partner(parents_, child, parent);
  --pair_count_;
}

void M2MU32::erase_partner(Adjacency& adjacency, uint32_t id, uint32_t partner) {
  auto entry = adjacency.find(id);
  entry->second.remove(partner);
  if (entry->second.empty()) adjacency.erase(entry);
}

M2MU32::Side M2MU32::nibble_side(const Adjacency& adjacency) {
  Side side;
  for (const auto& [id, partners] : adjacency) {
    const Bitmap held = partners.to_bitmap();
    for (int i = 0; i < kPositions; ++i) side[i][nibble(id, i)] |= held;
  }
  return side;
}

// For each input id, the intersection of the 8 bitmaps picked by its nibbles.
// It starts from the first of them rather than from the union of the whole
// side: each of the 8 is a subset of that union, so the result is the same.
Bitmap M2MU32::nibble_lookup(const Side& side, const Bitmap& ids) {
  Bitmap result;
  ids.for_each([&](uint32_t id) {
    Bitmap matches = side[0][nibble(id, 0)];
    for (int i = 1; i < kPositions && !matches.empty(); ++i) {
      matches &= side[i][nibble(id, i)];
    }
    result |= matches;
  });
  return result;
}

Bitmap M2MU32::parents_of(const Bitmap& children) const {
  if (pair_count_ == 0 || children.empty()) return Bitmap();
  return nibble_lookup(nibble_side(parents_), children);
}

Bitmap M2MU32::children_of(const Bitmap& parents) const {
  if (pair_count_ == 0 || parents.empty()) return Bitmap();
  return nibble_lookup(nibble_side(children_), parents);
}

bool M2MU32::is_child(uint32_t id) const {
  return parents_.contains(id);
}

// Walks whichever is smaller: the input ids or the adjacency entries.
Bitmap M2MU32::exact_lookup(const Adjacency& adjacency, const Bitmap& ids) {
  Bitmap result;
  if (adjacency.size() < ids.cardinality()) {
    for (const auto& [id, partners] : adjacency) {
      if (ids.contains(id)) partners.add_to(result);
    }
    return result;
  }
  ids.for_each([&](uint32_t id) {
    auto entry = adjacency.find(id);
    if (entry != adjacency.end()) entry->second.add_to(result);
  });
  return result;
}

Bitmap M2MU32::exact_parents_of(const Bitmap& children) const {
  return exact_lookup(parents_, children);
}

const HybridSet* M2MU32::parents_set(uint32_t child) const {
  auto entry = parents_.find(child);
  return entry == parents_.end() ? nullptr : &entry->second;
}

bool M2MU32::has_pair(uint32_t parent, uint32_t child) const {
  auto entry = children_.find(parent);
  return entry != children_.end() && entry->second.contains(child);
}

void M2MU32::clear() {
  children_.clear();
  parents_.clear();
  pair_count_ = 0;
}

std::vector<std::pair<uint32_t, uint32_t>> M2MU32::pairs() const {
  std::vector<std::pair<uint32_t, uint32_t>> result;
  result.reserve(pair_count_);
  for (const auto& [parent, children] : children_) {
    children.for_each([&](uint32_t child) { result.emplace_back(parent, child); });
  }
  return result;
}

}  // namespace vantorel
