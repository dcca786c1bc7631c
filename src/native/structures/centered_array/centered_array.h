// CenteredArray: a sorted set of at most four unsigned 32-bit ids stored
// inline, with no allocation.
//
// The live ids occupy the window data[start, start + len), kept strictly
// ascending. The window is kept near the middle of the storage so that an
// insertion or removal shifts whichever side of the window is shorter instead
// of always shifting the tail. Slots outside the window have no meaning. A
// zero-filled value (start 0, len 0) is the valid empty array.
//
// It is the payload of the two array forms of HybridSet. Misuse (inserting
// into a full array, merging arrays whose lengths add up to more than four)
// throws InternalError.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace vantorel {

class CenteredArray {
 public:
  static constexpr size_t kCapacity = 4;

  // The empty array, window at slot 0.
  CenteredArray() = default;

  // An array holding `ids` (ascending, no duplicates, at most kCapacity) in a
  // window that starts at slot 0. No recentring happens.
  static CenteredArray packed(std::span<const uint32_t> ids);

  // Adds `value`, keeping order; a present value leaves the contents as they
  // are. Before searching, a window that touches either end of the storage is
  // moved to the middle, even when `value` turns out to be present.
  // Throws InternalError("CenteredArray full") when the array holds 4 ids,
  // whether or not `value` is among them.
  void insert(uint32_t value);

  // Deletes `value` if present. Never recentres.
  void remove(uint32_t value);

  // Replaces the contents with the sorted, duplicate-free merge of both
  // arrays, then centres the window. The caller guarantees that the two sizes
  // add up to at most kCapacity; a fifth merged id throws InternalError.
  void union_with(const CenteredArray& other);

  // The live window, ascending.
  std::span<const uint32_t> as_slice() const;

  bool contains(uint32_t value) const;
  size_t start() const { return start_; }
  size_t size() const { return len_; }
  bool empty() const { return len_ == 0; }

 private:
  // Result of a binary search over the window: whether `value` was found and,
  // relative to start_, its position or else its insertion point.
  struct Probe {
    bool found;
    size_t pos;
  };
  Probe search(uint32_t value) const;

  // Moves the window so that it begins at slot `new_start`.
  void move_window(size_t new_start);

  std::array<uint32_t, kCapacity> data_{};
  // Narrow fields: the array lives inline in every small HybridSet.
  uint32_t start_ = 0;
  uint32_t len_ = 0;
};

}  // namespace vantorel
