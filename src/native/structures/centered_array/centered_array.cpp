#include "native/structures/centered_array/centered_array.h"

#include <algorithm>
#include <string>

#include "native/common/internal_error.h"

namespace vantorel {

namespace {

[[noreturn]] void throw_index_out_of_bounds(size_t index) {
  throw InternalError("index out of bounds: the len is " +
                      std::to_string(CenteredArray::kCapacity) + " but the index is " +
                      std::to_string(index));
}

}  // namespace

CenteredArray CenteredArray::packed(std::span<const uint32_t> ids) {
  if (ids.size() > kCapacity) throw_index_out_of_bounds(kCapacity);
  CenteredArray result;
  std::copy(ids.begin(), ids.end(), result.data_.begin());
  result.len_ = static_cast<uint32_t>(ids.size());
  return result;
}

std::span<const uint32_t> CenteredArray::as_slice() const {
  return std::span<const uint32_t>(data_.data() + start_, len_);
}

bool CenteredArray::contains(uint32_t value) const {
  return search(value).found;
}

// Branch-light binary search: narrows [pos, pos + size) to a single element,
// the last one that is <= value, then checks it.
CenteredArray::Probe CenteredArray::search(uint32_t value) const {
  if (len_ == 0) return {false, 0};
  const uint32_t* window = data_.data() + start_;
  size_t pos = 0;
  size_t size = len_;
  while (size > 1) {
    size_t half = size / 2;
    size_t mid = pos + half;
    if (window[mid] <= value) pos = mid;
    size -= half;
  }
  if (window[pos] == value) return {true, pos};
  return {false, window[pos] < value ? pos + 1 : pos};
}

void CenteredArray::move_window(size_t new_start) {
  // std::copy handles a move toward the front, copy_backward one toward the back.
  uint32_t* first = data_.data() + start_;
  if (new_start < start_) {
    std::copy(first, first + len_, data_.data() + new_start);
  } else {
    std::copy_backward(first, first + len_, data_.data() + new_start + len_);
  }
  start_ = static_cast<uint32_t>(new_start);
}

void CenteredArray::insert(uint32_t value) {
  if (len_ >= kCapacity) throw InternalError("CenteredArray full");
  if (start_ == 0 || start_ + len_ > kCapacity - 1) {
    size_t centre = (kCapacity - len_) / 2;
    if (start_ != centre) move_window(centre);
  }
  Probe probe = search(value);
  if (probe.found) return;
  size_t n = probe.pos;
  uint32_t* window = data_.data() + start_;
  if (start_ > 0 && n < len_ / 2) {
    // Shift the shorter head one slot toward the front.
    std::copy(window, window + n, window - 1);
    --start_;
  } else {
    // Shift the tail one slot toward the back. After the recentring above the
    // window never touches the last slot here, so there is room.
    std::copy_backward(window + n, window + len_, window + len_ + 1);
  }
  data_[start_ + n] = value;
  ++len_;
}

void CenteredArray::remove(uint32_t value) {
  if (len_ == 0) return;
  Probe probe = search(value);
  if (!probe.found) return;
  size_t n = probe.pos;
  uint32_t* window = data_.data() + start_;
  if (start_ + n < len_ / 2) {
    // Close the gap from the front: the n ids before it move one slot back.
    std::copy_backward(window, window + n, window + n + 1);
    ++start_;
  } else {
    // Close the gap from the back: the ids after it move one slot forward.
    std::copy(window + n + 1, window + len_, window + n);
  }
  --len_;
}

void CenteredArray::union_with(const CenteredArray& other) {
  std::array<uint32_t, kCapacity> merged{};
  size_t count = 0;
  auto emit = [&](uint32_t id) {
    if (count >= kCapacity) throw_index_out_of_bounds(count);
    merged[count++] = id;
  };
  std::span<const uint32_t> a = as_slice();
  std::span<const uint32_t> b = other.as_slice();
  size_t i = 0;
  size_t j = 0;
  while (i < a.size() && j < b.size()) {
    uint32_t x = a[i];
    uint32_t y = b[j];
    emit(std::min(x, y));
    if (x <= y) ++i;
    if (y <= x) ++j;
  }
  for (; i < a.size(); ++i) emit(a[i]);
  for (; j < b.size(); ++j) emit(b[j]);

  data_ = merged;
  start_ = 0;
  len_ = static_cast<uint32_t>(count);
  size_t gap = (kCapacity - count) / 2;
  if (gap > 0) move_window(gap);
}

}  // namespace vantorel
