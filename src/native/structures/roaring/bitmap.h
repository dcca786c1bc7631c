// Bitmap: the one owner of every roaring_bitmap_t in the project.
//
// A Bitmap is a set of unsigned 32-bit ids. It owns a heap-allocated CRoaring
// bitmap, copies deeply and moves cheaply. Every CRoaring call of the project
// goes through this class, which also hides the API differences between
// CRoaring releases (the 0.2.x iterator functions versus the renamed ones of
// 2.x and later). Pure C++, no Python.
//
// A moved-from Bitmap may only be destroyed or assigned to.
// Allocation failures throw InternalError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <vector>

#include <roaring/roaring.h>

namespace vantorel {

class Bitmap {
 public:
  Bitmap();
  Bitmap(std::initializer_list<uint32_t> ids);
  static Bitmap of(const uint32_t* ids, size_t count);
  Bitmap(const Bitmap& other);
  Bitmap& operator=(const Bitmap& other);
  Bitmap(Bitmap&& other) noexcept : raw_(other.raw_) { other.raw_ = nullptr; }
  Bitmap& operator=(Bitmap&& other) noexcept;
  ~Bitmap();

  void add(uint32_t id) { roaring_bitmap_add(raw_, id); }
  void add_many(const uint32_t* ids, size_t count);
  void add_range(uint64_t min, uint64_t max_exclusive);
  void remove(uint32_t id) { roaring_bitmap_remove(raw_, id); }
  bool contains(uint32_t id) const { return roaring_bitmap_contains(raw_, id); }
  void clear() { roaring_bitmap_clear(raw_); }

  uint64_t cardinality() const { return roaring_bitmap_get_cardinality(raw_); }
  bool empty() const { return roaring_bitmap_is_empty(raw_); }
  std::optional<uint32_t> minimum() const;
  // Bytes of heap memory held, approximately.
  size_t memory_bytes() const;

  // In-place set algebra.
  Bitmap& operator|=(const Bitmap& other);
  Bitmap& operator&=(const Bitmap& other);
  Bitmap& operator-=(const Bitmap& other);  // and-not
  // Replaces the contents with a copy of `other`'s.
  void overwrite(const Bitmap& other);

  friend Bitmap operator&(const Bitmap& a, const Bitmap& b);
  friend Bitmap operator-(const Bitmap& a, const Bitmap& b);
  friend bool operator==(const Bitmap& a, const Bitmap& b);

  bool intersects(const Bitmap& other) const;
  uint64_t and_cardinality(const Bitmap& other) const;

  // Calls fn(id) for every id in ascending order. fn may not change this
  // bitmap.
  template <class Fn>
  void for_each(Fn&& fn) const;

  // Calls fn(id) in ascending order for as long as fn returns true. Returns
  // false when fn stopped the walk, true when every id was visited.
  template <class Fn>
  bool for_each_while(Fn&& fn) const;

  std::vector<uint32_t> to_vector() const;

  static constexpr size_t kBatch = 256;

 private:
  explicit Bitmap(roaring_bitmap_t* raw);

  // Ascending iteration in batches, over whichever iterator API this CRoaring
  // provides. Returns the number of ids written to `out` (0 at the end).
  class Reader {
   public:
    explicit Reader(const roaring_bitmap_t* raw);
    uint32_t read(uint32_t* out, uint32_t capacity);

   private:
    roaring_uint32_iterator_t it_;
  };

  roaring_bitmap_t* raw_;
};

template <class Fn>
void Bitmap::for_each(Fn&& fn) const {
  for_each_while([&fn](uint32_t id) {
    fn(id);
    return true;
  });
}

template <class Fn>
bool Bitmap::for_each_while(Fn&& fn) const {
  uint32_t buffer[kBatch];
  Reader reader(raw_);
  for (uint32_t n = reader.read(buffer, kBatch); n > 0; n = reader.read(buffer, kBatch)) {
    for (uint32_t i = 0; i < n; ++i) {
      if (!fn(buffer[i])) return false;
    }
  }
  return true;
}

}  // namespace vantorel
