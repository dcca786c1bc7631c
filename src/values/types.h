// Small value types shared by the value and query layers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace vantorel {

// Immutable UTF-8 bytes in 24 bytes: up to kInlineCapacity bytes are held
// inline (no allocation), their length in the last byte; longer strings live
// in one shared heap buffer that copies share, its handle built in the same
// storage.
class SmallString {
 public:
  static constexpr size_t kInlineCapacity = 23;

  SmallString() { set_length(0); }
  explicit SmallString(std::string_view text) {
    if (text.size() <= kInlineCapacity) {
      if (!text.empty()) std::memcpy(storage_, text.data(), text.size());
      set_length(static_cast<uint8_t>(text.size()));
    } else {
      std::construct_at(reinterpret_cast<Heap*>(storage_),
                        std::make_shared<const std::string>(text));
      set_length(kHeap);
    }
  }
  SmallString(const SmallString& other) noexcept {
    if (other.on_heap()) {
      std::construct_at(reinterpret_cast<Heap*>(storage_), *other.heap());
      set_length(kHeap);
    } else {
      std::memcpy(storage_, other.storage_, sizeof storage_);
    }
  }
  SmallString(SmallString&& other) noexcept { take(other); }
  SmallString& operator=(const SmallString& other) noexcept { return *this = SmallString(other); }
  SmallString& operator=(SmallString&& other) noexcept {
    if (this != &other) {
      reset();
      take(other);
    }
    return *this;
  }
  ~SmallString() { reset(); }

  std::string_view view() const {
    if (on_heap()) return **heap();
    return std::string_view(reinterpret_cast<const char*>(storage_), length());
  }

  friend bool operator==(const SmallString& a, const SmallString& b) {
    return a.view() == b.view();
  }

 private:
  using Heap = std::shared_ptr<const std::string>;
  static constexpr uint8_t kHeap = 0xFF;

  uint8_t length() const { return std::to_integer<uint8_t>(storage_[kInlineCapacity]); }
  void set_length(uint8_t length) { storage_[kInlineCapacity] = std::byte{length}; }
  bool on_heap() const { return length() == kHeap; }
  Heap* heap() { return std::launder(reinterpret_cast<Heap*>(storage_)); }
  const Heap* heap() const { return std::launder(reinterpret_cast<const Heap*>(storage_)); }

  // Takes over `other`'s text (this string holds none), leaving it empty.
  void take(SmallString& other) noexcept {
    if (other.on_heap()) {
      std::construct_at(reinterpret_cast<Heap*>(storage_), std::move(*other.heap()));
      set_length(kHeap);
      other.reset();
    } else {
      std::memcpy(storage_, other.storage_, sizeof storage_);
      other.set_length(0);
    }
  }

  // Leaves the empty string.
  void reset() noexcept {
    if (on_heap()) std::destroy_at(heap());
    set_length(0);
  }

  static_assert(sizeof(Heap) <= kInlineCapacity, "the heap handle leaves the length byte alone");
  alignas(Heap) std::byte storage_[kInlineCapacity + 1];
};

}  // namespace vantorel
