#include "index/core/filtered_index.h"

#include "index/core/query/query_ops.h"
#include "index/core/query/value_order.h"

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

Bitmap FilteredIndex::ids() const {
  return ids_ ? core_->present(*ids_, epoch_) : core_->live_ids();
}

uint64_t FilteredIndex::count() const {
  return ids_ ? core_->count_present(*ids_, epoch_) : core_->count();
}

std::vector<StoredItem> FilteredIndex::items() const {
  return ids_ ? core_->items_at(*ids_, epoch_) : core_->live_items();
}

std::vector<Facet> FilteredIndex::value_counts(std::string_view attr,
                                               std::optional<size_t> limit) const {
  return read_reported([&](const IndexAPI::MapArray& maps, const Bitmap& reported) {
    return vantorel::value_counts(maps, reported, attr, limit);
  });
}

std::vector<py::SharedRef> FilteredIndex::sorted_by(std::string_view attr, bool descending,
                                                    std::optional<size_t> limit) const {
  return read_reported([&](const IndexAPI::MapArray& maps, const Bitmap& reported) {
    std::vector<py::SharedRef> objects;
    const QueryMap* map = map_named(maps, attr);
    if (map == nullptr) return objects;
    std::vector<uint32_t> order = sorted_by_value(*map, reported, descending, limit);
    objects.reserve(order.size());
    read_items().for_each_at(order,
                             [&](const StoredItem& item) { objects.push_back(item.python); });
    return objects;
  });
}

}  // namespace vantorel
