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

#include "native/structures/roaring/bitmap.h"

namespace vantorel {

template <size_t N>
class BufferedBitmap {
  static_assert(N > 0);

 public:
  Bitmap& bitmap() { return bitmap_; }
  const Bitmap& bitmap() const { return bitmap_; }

  // Records `id`. When N ids are already pending they are first added to the
  // bitmap, so a buffer holding exactly N ids stays pending until the next
  // push or flush.
  void push(uint32_t id);

  // Adds the pending ids to the bitmap and frees the buffer.
  void flush();

 private:
  std::unique_ptr<std::array<uint32_t, N>> buffer_;
  Bitmap bitmap_;
  uint32_t len_ = 0;
};

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
