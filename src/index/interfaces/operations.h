// The whole-set operations that Index and FilteredIndex share: count,
// value_counts and sorted_by.
//
// Both classes describe their objects as an ObjectSet: the shared value
// indexes and item table of a core, and either the core's live ids (an
// Index) or a view's fixed ids with the departure count from before it was
// evaluated (see ItemTable). Each operation reads the set's current ids
// once, with the interpreter lock released, and answers from them.
#pragma once

#include <cstdint>
#include <memory>

#include "index/core/index.h"
#include "py/args.h"
#include "py/python.h"

namespace vantorel {

struct ObjectSet {
  std::shared_ptr<PoisonRwLock<IndexAPI::MapArray>> maps;
  std::shared_ptr<PoisonRwLock<IndexAPI::ItemTable>> items;
  IndexAPI* core = nullptr;          // an Index: its live ids
  const Bitmap* view_ids = nullptr;  // a FilteredIndex: its ids, as of `epoch`
  uint64_t epoch = 0;

  // The ids of the objects the set reports now. Call without the
  // interpreter lock.
  Bitmap ids() const;
  // Whether the set reports the object in slot `id` of `table` (its item
  // table, held by the caller).
  bool reports(const IndexAPI::ItemTable& table, uint32_t id) const;
};

// The methods' bodies. Their parameters, in order: count(); value_counts(attr,
// limit=None) with 1 required; sorted_by(attr, descending=False, limit=None)
// with 1 required. `display_name` ("Index.sorted_by()") starts the messages.
PyObject* count_of(const ObjectSet& set);
PyObject* value_counts_of(const ObjectSet& set, const py::ParsedArgs& args);
PyObject* sorted_by_of(const ObjectSet& set, const py::ParsedArgs& args, const char* display_name);

// Docstrings (with their text signatures) for the method tables.
extern const char kCountDoc[];
extern const char kValueCountsDoc[];
extern const char kSortedByDoc[];

}  // namespace vantorel
