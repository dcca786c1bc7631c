// The records that tie objects and index cores together.
//
// IndexableRecord: the native record of one Indexable object. The record
// inside the Python object owns the item id and frees it when it dies; native
// copies (held by values and item tables) share its state (the membership
// list and the attribute store) and never free the id.
//
// StoredItem: how an item table holds an object: a strong reference to the
// Python object and a native copy of its record. A vacant slot holds neither.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <vector>

#include "native/structures/array_map/array_map.h"
#include "native/sync/poison_lock.h"
#include "py/ref.h"
#include "values/value.h"

namespace vantorel {

class IndexAPI;

// One membership: a weak reference to an index core, so that an object never
// keeps an index alive.
using IndexMeta = std::weak_ptr<IndexAPI>;
using MembershipList = std::vector<IndexMeta>;
using AttributeStore = ArrayMap<uint32_t, PyValue>;

// An object's attribute store behind its mutex, whose poison message says
// that the object cannot be read.
//
// Every change to the store holds the mutex, and all but one hold the
// interpreter lock as well: an assignment that updates indexes writes the
// store last, and may have given the interpreter lock up by then. Such a
// write is made inside a NativeWrite, which makes the version odd while it
// runs, and frees nothing: the value it replaces and the block a growth
// leaves are released by the writer once it holds the interpreter lock
// again. So a thread that holds the interpreter lock may read without the
// mutex (peek()): what it copies is whole when the version did not move,
// and what the copy points to lives as long as it keeps the interpreter lock.
inline constexpr char kUnreadableIndexable[] = "cannot read from indexable";

class AttributeLock : public PoisonMutex<AttributeStore, kUnreadableIndexable> {
 public:
  using PoisonMutex::PoisonMutex;

  // The bytes of a value as peek() copied them: read through value(), never
  // destroyed.
  struct PeekedValue {
    alignas(PyValue) std::byte bytes[sizeof(PyValue)];
    const PyValue& value() const { return *std::launder(reinterpret_cast<const PyValue*>(bytes)); }
  };
  enum class Peek { kAbsent, kStored, kBusy };

  // Copies the value of `attribute` into `*out` without the mutex. Requires
  // the interpreter lock. kBusy when a write without the interpreter lock
  // ran meanwhile, or the store is poisoned: the caller takes the mutex.
  Peek peek(uint32_t attribute, PeekedValue* out) const;

  // Brackets a write to the store made under its mutex by a thread that may
  // not hold the interpreter lock.
  class NativeWrite {
   public:
    explicit NativeWrite(AttributeLock& lock);
    ~NativeWrite();
    NativeWrite(const NativeWrite&) = delete;
    NativeWrite& operator=(const NativeWrite&) = delete;

   private:
    AttributeLock& lock_;
  };

  // Set (for good) when an index first registers the object, before it
  // reads the store: a writer that holds the mutex and finds it unset may
  // store without index work.
  std::atomic<bool> ever_indexed{false};

 private:
  mutable std::atomic<uint32_t> version_{0};
};

// The membership list and the attribute store of one object, allocated
// together: an assignment locks both, and one block keeps them on
// neighbouring cache lines.
struct RecordState {
  explicit RecordState(AttributeStore store);
  PoisonMutex<MembershipList> indexes;
  AttributeLock attributes;
};

struct IndexableRecord {
  std::shared_ptr<RecordState> state;
  uint32_t id = 0;
  bool owns_id = false;

  PoisonMutex<MembershipList>& indexes() const { return state->indexes; }
  AttributeLock& attributes() const { return state->attributes; }

  // A fresh record with a new item id that it owns.
  static IndexableRecord make_owned(AttributeStore attributes);
  IndexableRecord() = default;
  IndexableRecord(IndexableRecord&& other) noexcept;
  IndexableRecord& operator=(IndexableRecord&&) = delete;
  IndexableRecord(const IndexableRecord&) = delete;
  ~IndexableRecord();

  // A copy that shares the state and does not own the id.
  std::shared_ptr<const IndexableRecord> native_copy() const;

  // A copy of the stored value of `attribute`, taken under the store's mutex.
  std::optional<PyValue> stored_value(uint32_t attribute) const;

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
