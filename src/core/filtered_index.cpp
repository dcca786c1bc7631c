#include "core/filtered_index.h"

#include <utility>

#include "core/query/query_ops.h"
#include "core/query/value_order.h"
#include "native/structures/string_interner/string_interner.h"
#include "values/attribute_names.h"

namespace vantorel {

FilteredIndex FilteredIndex::reduced(const std::vector<QueryExpr>& exprs) const {
  if (!ids_) {
    uint64_t epoch = 0;
    Bitmap matched = core_->match(exprs, &epoch);
    return FilteredIndex(core_, std::move(matched), epoch);
  }
  Bitmap matched = core_->read_maps(
      [&](const IndexAPI::MapArray& maps) { return evaluate_and_queries_vec(maps, *ids_, exprs); });
  return FilteredIndex(core_, std::move(matched), epoch_);
}

FilteredIndex FilteredIndex::reduced_query(const QueryExpr& expr) const {
  if (!ids_) {
    uint64_t epoch = 0;
    Bitmap matched = core_->reduced_query(expr, &epoch);
    return FilteredIndex(core_, std::move(matched), epoch);
  }
  return reduced(std::vector<QueryExpr>{expr});
}

std::vector<uint32_t> FilteredIndex::sorted_by_stored_value(std::string_view attr,
                                                            const Bitmap& reported, bool descending,
                                                            std::optional<size_t> limit) const {
  StoredValueOrder order;
  std::optional<uint32_t> attribute = global_interner().get(attr);
  if (!attribute) return {};
  read_items().for_each_at(reported, [&](const StoredItem& item) {
    auto store = std::as_const(item.record->attributes()).lock();
    if (const PyValue* value = store->get(*attribute)) order.add(item.record->id, *value);
  });
  return order.take(descending, limit);
}

uint64_t FilteredIndex::count() const {
  return ids_ ? core_->count_present(*ids_, epoch_) : core_->count();
}

bool FilteredIndex::reports(uint32_t id, const PyObject* object) const {
  if (!ids_) return core_->is_live(id);
  if (!ids_->contains(id)) return false;
  bool held = false;
  const uint32_t at[] = {id};
  read_items().for_each_at(at,
                           [&](const StoredItem& item) { held = item.python->get() == object; });
  return held;
}

std::vector<StoredItem> FilteredIndex::items() const {
  return ids_ ? core_->items_at(*ids_, epoch_) : core_->live_items();
}

std::vector<Facet> FilteredIndex::value_counts(std::string_view attr,
                                               std::optional<size_t> limit) const {
  return read_reported([&](const IndexAPI::MapArray& maps, const Bitmap& reported, const Bitmap&) {
    return vantorel::value_counts(maps, reported, attr, limit);
  });
}

std::vector<py::SharedRef> FilteredIndex::sorted_by(std::string_view attr, bool descending,
                                                    std::optional<size_t> limit) const {
  return read_reported(
      [&](const IndexAPI::MapArray& maps, const Bitmap& reported, const Bitmap& live) {
        std::vector<uint32_t> order =
            ordered_ids(maps, reported, live.cardinality(), attr, descending, limit);
        std::vector<py::SharedRef> objects;
        objects.reserve(order.size());
        read_items().for_each_at(order,
                                 [&](const StoredItem& item) { objects.push_back(item.python); });
        return objects;
      });
}

std::vector<uint32_t> FilteredIndex::ordered_ids(const IndexAPI::MapArray& maps,
                                                 const Bitmap& reported, uint64_t live,
                                                 std::string_view attr, bool descending,
                                                 std::optional<size_t> limit) const {
  const QueryMap* map = map_named(maps, attr);
  if (map == nullptr) return {};
  // Names beginning with "_" are indexed for some objects only (those of bulk
  // adds), so only the value index answers for them.
  if (!is_indexed_name(attr)) return *sorted_by_value(*map, reported, descending, limit);
  std::optional<size_t> allowance =
      walk_allowance(ordered_value_count(*map), live, reported.cardinality(), limit);
  if (allowance) {
    if (auto order = sorted_by_value(*map, reported, descending, limit, *allowance)) {
      return std::move(*order);
    }
  }
  return sorted_by_stored_value(attr, reported, descending, limit);
}

}  // namespace vantorel
