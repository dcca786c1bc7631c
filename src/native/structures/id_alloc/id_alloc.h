// Item id allocation: one allocator for the whole process.
//
// Every indexed thing (an Indexable object, an element of an iterable value)
// holds an unsigned 32-bit item id that is unique among all live holders in
// all indexes. Fresh ids come from a counter that starts at 1, so 0 is never
// handed out; freed ids go onto a free list and come back last-in first-out
// (the most recently freed id is the next one allocated).
//
// Thread-safe. Both operations take the free-list mutex; if a thread ever
// failed while holding it, every later call throws InternalError
// (kPoisonedLock). The counter is not checked for wrap-around, and free_id()
// does not detect double frees or ids that were never allocated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vantorel {

// Returns the most recently freed id if there is one, else a fresh id.
uint32_t allocate_id();

// Gives `id` back for reuse.
void free_id(uint32_t id);

// Gives every id of `ids` back, highest first, under one hold of the mutex:
// the allocator hands them out again lowest first.
void free_ids(std::vector<uint32_t> ids);

// Number of ids waiting on the free list (for leak checks).
size_t free_id_count();

// Number of fresh ids handed out from the counter so far (for leak checks):
// ids_issued() - free_id_count() ids are live.
uint32_t ids_issued();

}  // namespace vantorel
