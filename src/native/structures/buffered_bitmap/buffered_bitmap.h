// BufferedBitmap<N>: a Bitmap with a buffer of up to N pending ids in front.
//
// Bulk insertion adds ids one at a time to many bitmaps at once; appending to
// a buffer and adding N ids with one add_many is much cheaper than N single
// adds. The set represented is the bitmap plus the pending ids, which may
// repeat or already be in the bitmap.
//
// The buffer is flushed when it holds N ids and another one arrives, or by
// flush(). Single-item inserts, removals and every query work on bitmap()
// directly and ignore pending ids, so the owner flushes at the end of a bulk
// insertion, before releasing its write lock.
//
// The buffer is allocated on the first push and freed by flush(), so an idle
// BufferedBitmap costs its Bitmap, one pointer and a count. No lock of its
// own.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

#include "native/structures/roaring/bitmap.h"

namespace vantorel {

template <size_t N>
class BufferedBitmap {
  static_assert(N > 0);

 public:
  BufferedBitmap() = default;
  BufferedBitmap(const BufferedBitmap& other);
  BufferedBitmap& operator=(const BufferedBitmap& other);
  // A moved-from BufferedBitmap may only be destroyed or assigned to.
  BufferedBitmap(BufferedBitmap&& other) noexcept
      : buffer_(std::move(other.buffer_)),
        bitmap_(std::move(other.bitmap_)),
        len_(std::exchange(other.len_, 0)) {}
  BufferedBitmap& operator=(BufferedBitmap&& other) noexcept;

  Bitmap& bitmap() { return bitmap_; }
  const Bitmap& bitmap() const { return bitmap_; }

  // Records `id`. When N ids are already pending they are first added to the
  // bitmap, so a buffer holding exactly N ids stays pending until the next
  // push or flush.
  void push(uint32_t id);

  // Adds the pending ids to the bitmap and frees the buffer.
  void flush();

  size_t pending() const { return len_; }

  // Heap bytes held: the bitmap's, and the buffer's while one is allocated.
  size_t memory_bytes() const {
    return bitmap_.memory_bytes() + (buffer_ ? sizeof(*buffer_) : size_t{0});
  }

 private:
  std::unique_ptr<std::array<uint32_t, N>> buffer_;
  Bitmap bitmap_;
  uint32_t len_ = 0;
};

template <size_t N>
BufferedBitmap<N>::BufferedBitmap(const BufferedBitmap& other)
    : buffer_(other.buffer_ ? std::make_unique<std::array<uint32_t, N>>(*other.buffer_) : nullptr),
      bitmap_(other.bitmap_),
      len_(other.len_) {}

template <size_t N>
BufferedBitmap<N>& BufferedBitmap<N>::operator=(const BufferedBitmap& other) {
  if (this != &other) *this = BufferedBitmap(other);
  return *this;
}

template <size_t N>
BufferedBitmap<N>& BufferedBitmap<N>::operator=(BufferedBitmap&& other) noexcept {
  buffer_ = std::move(other.buffer_);
  bitmap_ = std::move(other.bitmap_);
  len_ = std::exchange(other.len_, 0);
  return *this;
}

template <size_t N>
void BufferedBitmap<N>::push(uint32_t id) {
  if (!buffer_) buffer_ = std::make_unique<std::array<uint32_t, N>>();
  if (len_ == N) {
    bitmap_.add_many(buffer_->data(), N);
    len_ = 0;
  }
  (*buffer_)[len_++] = id;
}

template <size_t N>
void BufferedBitmap<N>::flush() {
  if (len_ != 0) bitmap_.add_many(buffer_->data(), len_);
  len_ = 0;
  buffer_.reset();
}

}  // namespace vantorel
