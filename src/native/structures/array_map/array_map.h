// ArrayMap<K, V>: the per-object attribute store, a map from an integer key
// (an attribute-name id) to a value, kept as one array in first-insertion
// order.
//
// Objects rarely hold more than a dozen attributes, so the map is one heap
// block: a count, a capacity, the keys side by side (a lookup scans them, a
// cache line holds sixteen) and then the values. An empty map allocates
// nothing and is one pointer wide. The capacity doubles from one (1, 2, 4,
// 8...), and reserve() sizes it exactly when the count is known in advance.
//
// There is no removal of one key: a key, once inserted, keeps a value until
// the map is cleared. Replacing the value of a key keeps its position.
//
// Not thread-safe: callers serialise access. V must be nothrow movable, so
// that a growth never leaves half its entries behind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>

namespace vantorel {

template <class K, class V>
class ArrayMap {
  static_assert(std::is_integral_v<K>, "keys are compared as integers");
  static_assert(std::is_nothrow_move_constructible_v<V>, "a growth moves every value");
  static_assert(alignof(V) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__, "the block is a byte array");

 public:
  ArrayMap() = default;
  ArrayMap(ArrayMap&&) noexcept = default;
  ArrayMap& operator=(ArrayMap&& other) noexcept {
    ArrayMap released(std::move(other));
    std::swap(block_, released.block_);
    return *this;
  }
  ArrayMap(const ArrayMap&) = delete;
  ArrayMap& operator=(const ArrayMap&) = delete;
  ~ArrayMap() { clear(); }

  size_t size() const { return block_ ? header().size : 0; }
  size_t capacity() const { return block_ ? header().capacity : 0; }

  // The value stored under `key`, or nullptr. The pointer is valid until the
  // next insert(), reserve() or clear().
  const V* get(K key) const {
    const View entries = view();
    for (size_t i = 0; i < entries.size; ++i) {
      if (entries.keys[i] == key) return entries.values + i;
    }
    return nullptr;
  }
  V* get(K key) { return const_cast<V*>(std::as_const(*this).get(key)); }

  // The block of entries, which a growth replaces.
  using Block = std::unique_ptr<std::byte[]>;

  // Stores `value` under `key`; returns the value it replaces, if any. A
  // growth that it needs hands the old block to `*retired` when given
  // (its values moved out), instead of freeing it.
  std::optional<V> insert(K key, V value, Block* retired = nullptr) {
    if (V* existing = get(key)) return std::exchange(*existing, std::move(value));
    if (size() == capacity()) reserve(capacity() == 0 ? 1 : capacity() * 2, retired);
    Header& head = header();
    std::construct_at(values_of(block_.get(), head.capacity) + head.size, std::move(value));
    keys_of(block_.get())[head.size] = key;
    ++head.size;
    return std::nullopt;
  }

  // Makes room for `count` entries in all, moving the entries into a block
  // of exactly that capacity when the current one is smaller. The old block
  // goes to `*retired` when given.
  void reserve(size_t count, Block* retired = nullptr) {
    if (count <= capacity()) return;
    const uint32_t capacity = static_cast<uint32_t>(count);
    auto grown = std::make_unique<std::byte[]>(block_bytes(capacity));
    const size_t moved = size();
    std::construct_at(reinterpret_cast<Header*>(grown.get()),
                      Header{static_cast<uint32_t>(moved), capacity});
    if (moved > 0) {
      V* from = values_of(block_.get(), header().capacity);
      V* to = values_of(grown.get(), capacity);
      const K* keys = keys_of(block_.get());
      for (size_t i = 0; i < moved; ++i) {
        std::construct_at(to + i, std::move(from[i]));
        keys_of(grown.get())[i] = keys[i];
      }
      destroy_values();
    }
    Block old = std::exchange(block_, std::move(grown));
    if (retired != nullptr) *retired = std::move(old);
  }

  // The entries as they are: `size` keys and their values side by side.
  struct View {
    const K* keys = nullptr;
    const V* values = nullptr;
    size_t size = 0;
  };
  View view() const {
    if (!block_) return View{};
    const Header& head = header();
    return View{keys_of(block_.get()), values_of(block_.get(), head.capacity), head.size};
  }

  // Destroys every value, last first, and frees the block.
  void clear() {
    if (!block_) return;
    destroy_values();
    block_.reset();
  }

  // Calls fn(K, const V&) for every entry, in first-insertion order.
  template <class Fn>
  void for_each(Fn fn) const {
    const View entries = view();
    for (size_t i = 0; i < entries.size; ++i) fn(entries.keys[i], entries.values[i]);
  }

 private:
  struct Header {
    uint32_t size;
    uint32_t capacity;
  };

  static constexpr size_t values_offset(size_t capacity) {
    const size_t end_of_keys = sizeof(Header) + capacity * sizeof(K);
    return (end_of_keys + alignof(V) - 1) / alignof(V) * alignof(V);
  }
  static constexpr size_t block_bytes(size_t capacity) {
    return values_offset(capacity) + capacity * sizeof(V);
  }
  static K* keys_of(std::byte* block) { return reinterpret_cast<K*>(block + sizeof(Header)); }
  static V* values_of(std::byte* block, size_t capacity) {
    return std::launder(reinterpret_cast<V*>(block + values_offset(capacity)));
  }
  void destroy_values() {
    V* values = values_of(block_.get(), header().capacity);
    for (size_t i = header().size; i > 0; --i) std::destroy_at(values + i - 1);
  }
  Header& header() const { return *std::launder(reinterpret_cast<Header*>(block_.get())); }

  std::unique_ptr<std::byte[]> block_;
};

}  // namespace vantorel
