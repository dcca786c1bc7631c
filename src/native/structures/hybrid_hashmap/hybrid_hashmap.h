// HybridHashmap<K, V>: the per-object attribute store, a map from an integer
// key (an attribute-name id) to a value.
//
// Most objects have a handful of attributes, so the map starts small: up to
// eight entries live inline in the map itself, in first-insertion order, and a
// lookup is a linear scan over at most eight integer keys with no hashing and
// no allocation. Inserting a ninth distinct key converts the map, once and for
// good, into an open-addressing hash table of 32 slots (room for 28 entries)
// keyed by the Fx hash of the key widened to 64 bits; the table doubles
// whenever an insertion would take it past seven eighths full.
//
// There is no removal: a key, once inserted, keeps a value for the life of the
// map. Replacing the value of an existing key keeps its position.
//
// Iteration visits the small form in first-insertion order and the table form
// in slot order, which follows the hashes.
//
// Not thread-safe: callers serialise access (the attribute store is always
// used under its owner's mutex). V must be movable; moving it should not
// throw, because a conversion or a growth that fails half-way loses entries.
// The map is copyable when V is. A moved-from map is empty and usable.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "native/common/fx_hash.h"

namespace vantorel {

template <class K, class V>
class HybridHashmap {
  static_assert(std::is_integral_v<K>, "keys are hashed as one integer word");
  static_assert(std::movable<V>, "values must be move-constructible and move-assignable");

 public:
  static constexpr size_t kSmallCapacity = 8;
  static constexpr size_t kFirstTableSlots = 32;
  static constexpr bool kNothrowMove = std::is_nothrow_move_constructible_v<V>;

  HybridHashmap() = default;
  HybridHashmap(const HybridHashmap&) = default;
  HybridHashmap& operator=(const HybridHashmap&) = default;
  HybridHashmap(HybridHashmap&& other) noexcept(kNothrowMove) : repr_(std::move(other.repr_)) {
    other.reset();
  }
  HybridHashmap& operator=(HybridHashmap&& other) noexcept(kNothrowMove) {
    if (this != &other) {
      repr_ = std::move(other.repr_);
      other.reset();
    }
    return *this;
  }

  // The value stored under `key`, or nullptr. The pointer is valid until the
  // next insert().
  const V* get(const K& key) const;
  V* get(const K& key) { return const_cast<V*>(std::as_const(*this).get(key)); }

  // Stores `value` under `key`; returns the value it replaces, if any.
  std::optional<V> insert(const K& key, V value);

  size_t size() const;
  bool is_small() const { return std::holds_alternative<SmallMap>(repr_); }

  // Calls fn(const K&, const V&) for every entry, in iteration order.
  template <class Fn>
  void for_each(Fn fn) const;

 private:
  class SmallMap;
  class Table;

  void convert_and_insert(const K& key, V value);
  void reset() { repr_.template emplace<SmallMap>(); }

  std::variant<SmallMap, Table> repr_;
};

// Up to kSmallCapacity entries held inline. Only slots [0, len_) hold
// constructed values; the rest are raw storage, never read or destroyed.
template <class K, class V>
class HybridHashmap<K, V>::SmallMap {
 public:
  SmallMap() = default;
  SmallMap(const SmallMap& other) requires std::copy_constructible<V> { copy_from(other); }
  SmallMap(SmallMap&& other) noexcept(std::is_nothrow_move_constructible_v<V>) { take_from(other); }
  SmallMap& operator=(const SmallMap& other) requires std::copy_constructible<V> {
    if (this != &other) {
      clear();
      copy_from(other);
    }
    return *this;
  }
  SmallMap& operator=(SmallMap&& other) noexcept(std::is_nothrow_move_constructible_v<V>) {
    if (this != &other) {
      clear();
      take_from(other);
    }
    return *this;
  }
  ~SmallMap() { clear(); }

  size_t size() const { return len_; }
  bool full() const { return len_ == kSmallCapacity; }
  const K& key_at(size_t i) const { return keys_[i]; }
  V& value_at(size_t i) { return slots_[i].value; }
  const V& value_at(size_t i) const { return slots_[i].value; }

  const V* find(const K& key) const {
    for (size_t i = 0; i < len_; ++i) {
      if (keys_[i] == key) return &slots_[i].value;
    }
    return nullptr;
  }
  V* find(const K& key) { return const_cast<V*>(std::as_const(*this).find(key)); }

  // Appends an entry. Requires !full() and `key` absent.
  void push(const K& key, V&& value) {
    std::construct_at(&slots_[len_].value, std::move(value));
    keys_[len_] = key;
    ++len_;
  }

  // Destroys the live values, last first; the map is empty afterwards.
  void clear() {
    while (len_ > 0) {
      --len_;
      std::destroy_at(&slots_[len_].value);
    }
  }

 private:
  union Slot {
    Slot() {}
    ~Slot() {}
    V value;
  };

  // `len_` counts each value as soon as it is constructed, so a copy that
  // throws half-way leaves a consistent (shorter) map.
  void copy_from(const SmallMap& other) {
    for (size_t i = 0; i < other.len_; ++i) {
      std::construct_at(&slots_[i].value, other.slots_[i].value);
      keys_[i] = other.keys_[i];
      ++len_;
    }
  }
  void take_from(SmallMap& other) {
    for (size_t i = 0; i < other.len_; ++i) push(other.keys_[i], std::move(other.slots_[i].value));
    other.clear();
  }

  K keys_[kSmallCapacity];
  Slot slots_[kSmallCapacity];
  size_t len_ = 0;
};

// Open addressing with linear probing over a power-of-two number of slots.
template <class K, class V>
class HybridHashmap<K, V>::Table {
 public:
  explicit Table(size_t slot_count) : slots_(slot_count) {}

  size_t size() const { return size_; }

  const V* find(const K& key) const {
    const auto& slot = slots_[probe(key)];
    return slot ? &slot->value : nullptr;
  }
  V* find(const K& key) { return const_cast<V*>(std::as_const(*this).find(key)); }

  std::optional<V> insert(const K& key, V&& value) {
    size_t i = probe(key);
    if (slots_[i]) return std::exchange(slots_[i]->value, std::move(value));
    if (size_ + 1 > slots_.size() / 8 * 7) {
      grow();
      i = probe(key);
    }
    slots_[i].emplace(key, std::move(value));
    ++size_;
    return std::nullopt;
  }

  template <class Fn>
  void for_each(Fn& fn) const {
    for (const auto& slot : slots_) {
      if (slot) fn(std::as_const(slot->key), std::as_const(slot->value));
    }
  }

 private:
  struct Entry {
    Entry(const K& k, V&& v) : key(k), value(std::move(v)) {}
    K key;
    V value;
  };

  // The slot holding `key`, or the empty slot where it would go. The table
  // is never full, so the scan ends.
  size_t probe(const K& key) const {
    const size_t mask = slots_.size() - 1;
    size_t i = fx_hash_u64(static_cast<uint64_t>(key)) & mask;
    while (slots_[i] && slots_[i]->key != key) i = (i + 1) & mask;
    return i;
  }

  void grow() {
    std::vector<std::optional<Entry>> old(slots_.size() * 2);
    old.swap(slots_);
    for (auto& slot : old) {
      if (slot) slots_[probe(slot->key)].emplace(slot->key, std::move(slot->value));
    }
  }

  std::vector<std::optional<Entry>> slots_;
  size_t size_ = 0;
};

template <class K, class V>
const V* HybridHashmap<K, V>::get(const K& key) const {
  if (const auto* table = std::get_if<Table>(&repr_)) return table->find(key);
  return std::get_if<SmallMap>(&repr_)->find(key);
}

template <class K, class V>
std::optional<V> HybridHashmap<K, V>::insert(const K& key, V value) {
  if (auto* table = std::get_if<Table>(&repr_)) return table->insert(key, std::move(value));
  SmallMap& small = *std::get_if<SmallMap>(&repr_);
  if (V* existing = small.find(key)) return std::exchange(*existing, std::move(value));
  if (!small.full()) {
    small.push(key, std::move(value));
    return std::nullopt;
  }
  convert_and_insert(key, std::move(value));
  return std::nullopt;
}

// The table is allocated before anything moves; the eight entries then move
// into it in position order and the new entry goes in last. The keys are
// distinct, so none of these insertions replaces anything.
template <class K, class V>
void HybridHashmap<K, V>::convert_and_insert(const K& key, V value) {
  SmallMap& small = *std::get_if<SmallMap>(&repr_);
  Table table(kFirstTableSlots);
  for (size_t i = 0; i < small.size(); ++i) {
    table.insert(small.key_at(i), std::move(small.value_at(i)));
  }
  small.clear();
  table.insert(key, std::move(value));
  repr_.template emplace<Table>(std::move(table));
}

template <class K, class V>
size_t HybridHashmap<K, V>::size() const {
  if (const auto* table = std::get_if<Table>(&repr_)) return table->size();
  return std::get_if<SmallMap>(&repr_)->size();
}

template <class K, class V>
template <class Fn>
void HybridHashmap<K, V>::for_each(Fn fn) const {
  if (const auto* table = std::get_if<Table>(&repr_)) {
    table->for_each(fn);
    return;
  }
  const SmallMap& small = *std::get_if<SmallMap>(&repr_);
  for (size_t i = 0; i < small.size(); ++i) fn(small.key_at(i), small.value_at(i));
}

}  // namespace vantorel
