#include "index/core/filtered_index.h"

#include "index/core/query/query_ops.h"
#include "index/core/query/value_order.h"

namespace vantorel {

FilteredIndex FilteredIndex::reduced(const std::vector<QueryExpr>& exprs) const {
  if (!ids_) {
    const uint64_t epoch = core_->departures();
    return FilteredIndex(core_, core_->match(exprs), epoch);
  }
  Bitmap matched = core_->read_maps(
      [&](const IndexAPI::MapArray& maps) { return evaluate_and_queries_vec(maps, *ids_, exprs); });
  return FilteredIndex(core_, std::move(matched), epoch_);
}

FilteredIndex FilteredIndex::reduced_query(const QueryExpr& expr) const {
  if (!ids_) {
    const uint64_t epoch = core_->departures();
    return FilteredIndex(core_, core_->reduced_query(expr), epoch);
  }
  return reduced(std::vector<QueryExpr>{expr});
}

Bitmap FilteredIndex::ids() const {
  return ids_ ? core_->present(*ids_, epoch_) : core_->live_ids();
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
  Bitmap reported = ids();
  return core_->read_maps([&](const IndexAPI::MapArray& maps) {
    return vantorel::value_counts(maps, reported, attr, limit);
  });
}

std::vector<py::SharedRef> FilteredIndex::sorted_by(std::string_view attr, bool descending,
                                                    std::optional<size_t> limit) const {
  Bitmap reported = ids();
  std::vector<uint32_t> order = core_->read_maps([&](const IndexAPI::MapArray& maps) {
    const QueryMap* map = map_named(maps, attr);
    return map != nullptr ? sorted_by_value(*map, reported, descending, limit)
                          : std::vector<uint32_t>();
  });
  std::vector<py::SharedRef> objects;
  objects.reserve(order.size());
  // An object that left since the ids were read is skipped.
  read_items().for_each_at(order, [&](const StoredItem& item) { objects.push_back(item.python); });
  return objects;
}

}  // namespace vantorel
