#include "index/core/structures/m2m/m2m.h"

namespace vantorel {

namespace {

constexpr uint32_t kAllPositions = (1u << M2MU32::kPositions) - 1;

}  // namespace

bool NibbleIndexU32::any_contains(uint32_t id) const {
  for (const Bitmap& bitmap : bitmaps_) {
    if (bitmap.contains(id)) return true;
  }
  return false;
}

M2MU32::M2MU32(const M2MU32& other)
    : tables_(other.tables_ ? std::make_unique<NibbleTables>(*other.tables_) : nullptr),
      children_(other.children_),
      parents_(other.parents_),
      pair_count_(other.pair_count_) {}

M2MU32& M2MU32::operator=(const M2MU32& other) {
  if (this != &other) *this = M2MU32(other);
  return *this;
}

void M2MU32::register_pair(uint32_t parent, uint32_t child) {
  if (has_pair(parent, child)) return;
  if (!tables_) tables_ = std::make_unique<NibbleTables>();
  children_[parent].add(child);
  parents_[child].add(parent);
  ++pair_count_;
  for (int i = 0; i < kPositions; ++i) {
    tables_->by_parent[i][nibble(parent, i)].add(child);
    tables_->by_child[i][nibble(child, i)].add(parent);
  }
}

void M2MU32::unregister_pair(uint32_t parent, uint32_t child) {
  if (!has_pair(parent, child)) return;
  erase_partner(children_, parent, child);
  erase_partner(parents_, child, parent);
  if (--pair_count_ == 0) {
    tables_.reset();
    return;
  }
  // A bit stays while another pair sets it: `child` stays in
  // by_parent[i][nibble i of parent] while another parent of `child` has that
  // nibble, and symmetrically for by_child.
  uint32_t keep_in_by_parent = positions_shared(parents_, child, parent);
  uint32_t keep_in_by_child = positions_shared(children_, parent, child);
  for (int i = 0; i < kPositions; ++i) {
    if ((keep_in_by_parent & (1u << i)) == 0)
      tables_->by_parent[i][nibble(parent, i)].remove(child);
    if ((keep_in_by_child & (1u << i)) == 0) tables_->by_child[i][nibble(child, i)].remove(parent);
  }
}

void M2MU32::erase_partner(Adjacency& adjacency, uint32_t id, uint32_t partner) {
  auto entry = adjacency.find(id);
  entry->second.remove(partner);
  if (entry->second.empty()) adjacency.erase(entry);
}

uint32_t M2MU32::positions_shared(const Adjacency& adjacency, uint32_t id, uint32_t other) {
  auto entry = adjacency.find(id);
  if (entry == adjacency.end()) return 0;
  uint32_t shared = 0;
  // Stops as soon as every position has a witness.
  entry->second.for_each_while([&](uint32_t partner) {
    for (int i = 0; i < kPositions; ++i) {
      if (nibble(partner, i) == nibble(other, i)) shared |= 1u << i;
    }
    return shared != kAllPositions;
  });
  return shared;
}

// For each input id, the intersection of the 8 bitmaps picked by its nibbles.
// (Intersecting with the union of the whole side first, as a literal reading
// would, changes nothing: each of the 8 is a subset of that union.)
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
  if (!tables_) return Bitmap();
  return nibble_lookup(tables_->by_child, children);
}

Bitmap M2MU32::children_of(const Bitmap& parents) const {
  if (!tables_) return Bitmap();
  return nibble_lookup(tables_->by_parent, parents);
}

bool M2MU32::is_child(uint32_t id) const {
  // Every child sits in by_parent[0][d] for the nibble d of each of its parents.
  return tables_ && tables_->by_parent[0].any_contains(id);
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

Bitmap M2MU32::exact_children_of(const Bitmap& parents) const {
  return exact_lookup(children_, parents);
}

Bitmap M2MU32::parents_of_id(uint32_t child) const {
  auto entry = parents_.find(child);
  return entry == parents_.end() ? Bitmap() : entry->second.to_bitmap();
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
  tables_.reset();
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
