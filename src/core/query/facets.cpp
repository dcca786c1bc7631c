#include "core/query/facets.h"

#include <algorithm>
#include <memory>
#include <unordered_map>

#include "core/query/compare.h"
#include "core/query/direct_match.h"
#include "core/query/query.h"

namespace vantorel {

namespace {

// A value with the ids that hold it, before counting.
struct Holders {
  PyValue value;
  Bitmap ids;
};

// Reports `value` held by `ids` (all in the set being counted): as a count,
// or as ids for a caller that maps them further.
void report(PyValue value, Bitmap ids, std::vector<Facet>* counts, std::vector<Holders>* out_ids) {
  if (ids.empty()) return;
  if (counts != nullptr) {
    counts->push_back(Facet{std::move(value), ids.cardinality(), *ids.minimum()});
  } else {
    out_ids->push_back(Holders{std::move(value), std::move(ids)});
  }
}

PyValue number_value(OrderKey key) {
  const KeyNumber number = number_of(key);
  return number.is_integer ? PyValue::of_int(number.integer) : PyValue::of_float(number.real);
}

// Collects the values of one QueryMap over `allowed`, either as counts
// (`out_counts`) or, for a caller that maps them further, as id sets
// (`out_ids`). Every sub-index is read with the element table, in the
// writers' lock order.
class MapFacets {
 public:
  MapFacets(const QueryMap& map, const Bitmap& allowed) : map_(map), allowed_(allowed) {}

  void collect(std::vector<Facet>* out_counts, std::vector<Holders>* out_ids) {
    counts_ = out_counts;
    ids_ = out_ids;
    numbers();
    strings();
    booleans();
    others();
  }

 private:
  // Enters `value` held by `held` (ids of this map, element ids included).
  void enter(PyValue value, const HybridSet& held, const ElementTable* table, bool need_first) {
    const bool has_elements = table != nullptr && !table->masked_ids.empty();
    if (counts_ != nullptr && !has_elements && !need_first) {
      const uint64_t count = held.count_in(allowed_);
      if (count > 0) counts_->push_back(Facet{std::move(value), count, 0});
      return;
    }
    Bitmap ids;
    if (has_elements) {
      held.add_to(ids);
      QueryMap::unmask_in(table, ids);
      ids &= allowed_;
    } else {
      held.add_in(allowed_, ids);
    }
    report(std::move(value), std::move(ids), counts_, ids_);
  }

  void numbers() {
    map_.read_numbers([&](const NumberIndex* numbers) {
      if (numbers == nullptr) return;
      map_.read_elements([&](const ElementTable* table) {
        numbers->values.walk_keys(false, [&](OrderKey key, const HybridSet& held) {
          // NaN equals nothing, so no equality query reports it.
          if (!is_nan_key(key)) enter(number_value(key), held, table, false);
          return true;
        });
      });
    });
  }

  void strings() {
    map_.read_strings([&](const StringIndex* strings) {
      if (strings == nullptr) return;
      map_.read_elements([&](const ElementTable* table) {
        strings->values.walk_keys(false, [&](std::string_view text, const HybridSet& held) {
          enter(PyValue::of_str(text), held, table, false);
          return true;
        });
      });
    });
  }

  void booleans() {
    map_.read_booleans([&](const BoolMap* booleans) {
      if (booleans == nullptr) return;
      map_.read_elements([&](const ElementTable* table) {
        for (bool flag : {false, true}) {
          Bitmap ids = (*booleans)[bool_slot(flag)].bitmap();
          QueryMap::unmask_in(table, ids);
          ids &= allowed_;
          report(PyValue::of_bool(flag), std::move(ids), counts_, ids_);
        }
      });
    });
  }

  void others() {
    map_.read_elements([&](const ElementTable* table) {
      map_.read_exact([&](const ExactMap* exact) {
        if (exact == nullptr) return;
        for (const auto& [value, held] : *exact) enter(value, held, table, true);
      });
    });
  }

  const QueryMap& map_;
  const Bitmap& allowed_;
  std::vector<Facet>* counts_ = nullptr;
  std::vector<Holders>* ids_ = nullptr;
};

// Values with the ids that hold them, one entry per value as an equality
// query tells values apart (numbers by numeric value, booleans apart from
// numbers, objects by identity).
class HolderTable {
 public:
  void add(PyValue value, const Bitmap& ids) {
    if (!ids.empty()) table_[std::move(value)] |= ids;
  }
  void add(PyValue value, uint32_t id) { table_[std::move(value)].add(id); }
  // Calls each(value, ids) for every entry; each may change the ids.
  template <class Each>
  void for_each(Each&& each) {
    for (auto& [value, ids] : table_) each(value, ids);
  }

 private:
  std::unordered_map<PyValue, Bitmap, QueryValueHash, SameQueryValue> table_;
};

// A value as facets report it: numbers in the form the number index gives
// them back (integral numbers as integers).
PyValue facet_value(const PyValue& value) {
  return value.is_number() ? number_value(key_of(value)) : value;
}

// Adds to `out` the values at `rest` reached through the links of `map` kept
// aside as cycles, held by the objects (of the map's core) that hold those
// links.
void add_cyclic_values(const QueryMap& map, std::string_view rest, HolderTable& out) {
  HolderTable masked;  // holders as the links keep them: maybe masked element ids
  std::vector<PyValue> values;
  map.for_each_cyclic_link([&](uint32_t holder, const IndexableRecord& held) {
    values.clear();
    collect_path_values(held, rest, values);
    for (const PyValue& value : values) masked.add(facet_value(value), holder);
  });
  map.read_elements([&](const ElementTable* table) {
    masked.for_each([&](const PyValue& value, Bitmap& holders) {
      QueryMap::unmask_in(table, holders);
      out.add(value, holders);
    });
  });
}

// The values of `attr` with the ids of `allowed` that hold them, following
// dotted names as queries do: into the nested cores, and through the links
// kept aside as cycles by reading the held objects' stores.
void collect_holders(const IndexAPI::MapArray& maps, const Bitmap& allowed, std::string_view attr,
                     std::vector<Facet>* out_counts, std::vector<Holders>* out_ids) {
  const size_t dot = attr.find('.');
  const QueryMap* map = map_named(maps, attr.substr(0, dot));
  if (map == nullptr) return;
  if (dot == std::string_view::npos) {
    MapFacets(*map, allowed).collect(out_counts, out_ids);
    return;
  }
  auto emit = [&](const PyValue& value, Bitmap& holders) {
    holders &= allowed;
    report(value, std::move(holders), out_counts, out_ids);
  };
  const std::string_view rest = attr.substr(dot + 1);
  // Each value comes once from the nested core; the links kept aside as
  // cycles can bring it again, so with them the values are merged first.
  const bool cyclic = map->has_cyclic_links();
  HolderTable found;
  if (std::shared_ptr<IndexAPI> nested = map->nested()) {
    std::vector<Holders> held;
    nested->read_live([&](const IndexAPI::MapArray& nested_maps, const Bitmap& nested_allowed) {
      collect_holders(nested_maps, nested_allowed, rest, nullptr, &held);
    });
    for (Holders& entry : held) {
      Bitmap holders = map->holders_of(*nested, entry.ids);
      if (cyclic) {
        found.add(std::move(entry.value), holders);
      } else {
        emit(entry.value, holders);
      }
    }
  }
  if (!cyclic) return;
  add_cyclic_values(*map, rest, found);
  found.for_each(emit);
}

// Numbers, strings, booleans, then every other kind (the order of the
// kinds of QueryKey); each by its own order, the others by first holder.
bool reported_before(const Facet& a, const Facet& b) {
  if (a.count != b.count) return a.count > b.count;
  const QueryKey x = equality_key(a.value);
  const QueryKey y = equality_key(b.value);
  if (x.kind != y.kind) return x.kind < y.kind;
  switch (x.kind) {
    case QueryKey::Kind::Number:
      return x.key < y.key;
    case QueryKey::Kind::Text:
      return x.text < y.text;
    case QueryKey::Kind::Boolean:
      return !x.flag && y.flag;
    default:
      return a.first_id < b.first_id;
  }
}

}  // namespace

std::vector<Facet> value_counts(const IndexAPI::MapArray& maps, const Bitmap& allowed,
                                std::string_view attr, std::optional<size_t> limit) {
  std::vector<Facet> facets;
  if (allowed.empty()) return facets;
  collect_holders(maps, allowed, attr, &facets, nullptr);
  const size_t kept = std::min(facets.size(), limit.value_or(facets.size()));
  std::partial_sort(facets.begin(), facets.begin() + static_cast<std::ptrdiff_t>(kept),
                    facets.end(), reported_before);
  facets.erase(facets.begin() + static_cast<std::ptrdiff_t>(kept), facets.end());
  return facets;
}

}  // namespace vantorel
