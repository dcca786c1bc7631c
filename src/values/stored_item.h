// The records that tie objects and index cores together.
//
// IndexableRecord: the native record of one Indexable object. The record
// inside the Python object owns the item id and frees it when it dies; native
// copies (held by values and item tables) share the membership list and the
// attribute store and never free the id.
//
// StoredItem: how an item table holds an object: a strong reference to the
// Python object and a native copy of its record. A vacant slot holds neither.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "native/structures/array_map/array_map.h"
#include "values/value.h"
#include "py/ref.h"
#include "native/sync/poison_lock.h"

namespace vantorel {

class IndexAPI;

// One membership: a weak reference to an index core, so that an object never
// keeps an index alive.
using IndexMeta = std::weak_ptr<IndexAPI>;
using MembershipList = std::vector<IndexMeta>;
using AttributeStore = ArrayMap<uint32_t, PyValue>;

// An object's attribute store behind its mutex, whose poison message says
// that the object cannot be read.
inline constexpr char kUnreadableIndexable[] = "cannot read from indexable";
using AttributeLock = PoisonMutex<AttributeStore, kUnreadableIndexable>;

struct IndexableRecord {
  std::shared_ptr<PoisonMutex<MembershipList>> indexes;
  std::shared_ptr<AttributeLock> attributes;
  uint32_t id = 0;
  bool owns_id = false;

  // A fresh record with a new item id that it owns.
  static IndexableRecord make_owned(AttributeStore attributes);
  IndexableRecord() = default;
  IndexableRecord(IndexableRecord&& other) noexcept;
  IndexableRecord& operator=(IndexableRecord&&) = delete;
  IndexableRecord(const IndexableRecord&) = delete;
  ~IndexableRecord();

  // A copy that shares the list and the store and does not own the id.
  std::shared_ptr<const IndexableRecord> native_copy() const;

  // Asks the processor to load the membership list and the attribute store
  // into its cache, for a loop over many records that reaches this one
  // shortly: without it, each record costs a few cache misses in turn.
  void prefetch() const;
};

struct StoredItem {
  py::SharedRef python;
  std::shared_ptr<const IndexableRecord> record;
  bool vacant() const { return python == nullptr; }
};

// Empties `items`, releasing them front to back. Each item's handles, record
// state and Python object lie far apart and are usually no longer cached:
// they are asked for a few items ahead, so that their misses overlap.
// Releases the objects at once with the interpreter lock held, else queues
// them (see py::OwnedRef).
void release_items(std::vector<StoredItem>& items);

// Registers `core` in the membership list (under its mutex): drops entries
// whose index is gone, adds `core` unless it is already listed, and keeps the
// list sorted by core address. Returns true when the entry was added.
bool register_membership(MembershipList& list, const std::shared_ptr<IndexAPI>& core);

// Removes `core` (and dead entries) from the list.
void unregister_membership(MembershipList& list, const IndexAPI* core);

// Whether `core` is in the list.
bool is_registered(const MembershipList& list, const IndexAPI* core);

}  // namespace vantorel
