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

// Walks whichever is smaller: the input ids or the adjacency entries.
Bitmap M2MU32::exact_parents_of(const Bitmap& children) const {
  Bitmap result;
  if (parents_.size() < children.cardinality()) {
    for (const auto& [child, parents] : parents_) {
      if (children.contains(child)) parents.add_to(result);
    }
    return result;
  }
  children.for_each([&](uint32_t child) {
    auto entry = parents_.find(child);
    if (entry != parents_.end()) entry->second.add_to(result);
  });
  return result;
}

const HybridSet* M2MU32::parents_set(uint32_t child) const {
  auto entry = parents_.find(child);
  return entry == parents_.end() ? nullptr : &entry->second;
}

bool M2MU32::has_pair(uint32_t parent, uint32_t child) const {
  auto entry = children_.find(parent);
  return entry != children_.end() && entry->second.contains(child);
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
