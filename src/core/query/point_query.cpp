#include "core/query/point_query.h"

#include <algorithm>
#include <string_view>

#include "core/query/query.h"

namespace vantorel {

void SmallIds::sort_unique() {
  std::sort(ids_.begin(), ids_.begin() + size_);
  size_ = static_cast<size_t>(std::unique(ids_.begin(), ids_.begin() + size_) - ids_.begin());
}

namespace {

// Appends every id of `set`; false when they do not fit.
bool append(const HybridSet& set, SmallIds& out) {
  if (out.size() + set.size() > SmallIds::kCapacity) return false;
  set.for_each([&](uint32_t id) { out.push(id); });
  return true;
}

// Replaces element ids by the objects that hold them (as unmask_in does),
// then sorts.
void unmask(const ElementTable* table, SmallIds& ids) {
  if (table != nullptr && !table->masked_ids.empty()) {
    SmallIds owners;
    for (uint32_t id : ids) {
      owners.push(table->masked_ids.contains(id) ? table->root_of(id) : id);
    }
    ids = owners;
  }
  ids.sort_unique();
}

// The ids of `set` (a per-value set of `map`, whose lock the caller holds)
// with element ids mapped to their holders. The element table is read under
// the sub-index lock, as QueryMap::eq does.
bool from_value_set(const QueryMap& map, const HybridSet* set, SmallIds& out) {
  if (set == nullptr) return true;
  return map.try_read_elements([&](const ElementTable* table) {
    if (!append(*set, out)) return false;
    unmask(table, out);
    return true;
  });
}

// The ids of the core of `map` (holders of elements mapped back) whose value
// equals the term's; false to decline.
bool equal_ids(const QueryMap& map, const PointTerm& term, SmallIds& out) {
  const QueryKey& wanted = term.value;
  switch (wanted.kind) {
    case QueryKey::Kind::Nothing:
      return true;
    case QueryKey::Kind::Number:
      return map.try_read_numbers([&](const NumberIndex* numbers) {
        return numbers == nullptr || from_value_set(map, numbers->values.find(wanted.key), out);
      });
    case QueryKey::Kind::Text:
      return map.try_read_strings([&](const StringIndex* strings) {
        return strings == nullptr || from_value_set(map, strings->values.find(wanted.text), out);
      });
    default:
      return false;  // no per-value sets
  }
}

bool term_ids(const IndexAPI::MapArray& maps, const Bitmap& allowed, std::string_view attr,
              const PointTerm& term, SmallIds& out);

// The holders, among the objects of the core of `map`, of the objects of its
// nested core that match; as the evaluator's nested step does.
bool held_ids(const QueryMap& map, std::string_view rest, const PointTerm& term, SmallIds& out) {
  if (map.has_cyclic_links()) return false;
  std::shared_ptr<IndexAPI> core = map.nested();
  if (!core) return true;
  SmallIds children;
  const bool evaluated =
      core->try_read_live([&](const IndexAPI::MapArray& nested_maps, const Bitmap& nested_allowed) {
        return term_ids(nested_maps, nested_allowed, rest, term, children);
      });
  if (!evaluated) return false;
  if (children.empty()) return true;
  return map.try_read_elements([&](const ElementTable* table) {
    const bool linked = core->try_read_paths([&](const M2MU32& links) {
      for (uint32_t child : children) {
        const HybridSet* parents = links.parents_set(child);
        if (parents != nullptr && !append(*parents, out)) return false;
      }
      return true;
    });
    if (!linked) return false;
    unmask(table, out);
    return true;
  });
}

// The live ids of a core (its value indexes `maps`, its live ids `allowed`)
// whose attribute `attr` (the term's, or the rest of its dotted name) equals
// the term's value, ascending.
bool term_ids(const IndexAPI::MapArray& maps, const Bitmap& allowed, std::string_view attr,
              const PointTerm& term, SmallIds& out) {
  const size_t dot = attr.find('.');
  const QueryMap* map = map_named(maps, attr.substr(0, dot));
  if (map == nullptr) return true;
  const bool found = dot == std::string_view::npos
                         ? equal_ids(*map, term, out)
                         : held_ids(*map, attr.substr(dot + 1), term, out);
  if (!found) return false;
  out.retain_if([&](uint32_t id) { return allowed.contains(id); });
  return true;
}

std::string_view head_of(std::string_view attr) {
  return attr.substr(0, attr.find('.'));
}

// Whether no two terms read the same attribute (a query that reads one twice
// is evaluated under a snapshot by the evaluator, so that it sees one state).
bool reads_each_attribute_once(std::span<const PointTerm> terms) {
  for (size_t i = 1; i < terms.size(); ++i) {
    for (size_t j = 0; j < i; ++j) {
      if (head_of(terms[j].attr) == head_of(terms[i].attr)) return false;
    }
  }
  return true;
}

}  // namespace

std::optional<SmallIds> point_query(IndexAPI& core, std::span<const PointTerm> terms) {
  if (terms.empty() || !reads_each_attribute_once(terms)) return std::nullopt;
  SmallIds result;
  const bool answered =
      core.try_read_live([&](const IndexAPI::MapArray& maps, const Bitmap& allowed) {
        for (size_t i = 0; i < terms.size(); ++i) {
          SmallIds ids;
          if (!term_ids(maps, allowed, terms[i].attr, terms[i], ids)) return false;
          if (i == 0) {
            result = ids;
          } else {
            result.retain_if(
                [&](uint32_t id) { return std::binary_search(ids.begin(), ids.end(), id); });
          }
          if (result.empty()) break;
        }
        return true;
      });
  if (!answered) return std::nullopt;
  return result;
}

}  // namespace vantorel
