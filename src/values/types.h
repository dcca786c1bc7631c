// Small value types shared by the value and query layers.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace vantorel {

// Immutable UTF-8 bytes: up to kInlineCapacity bytes are held inline (no
// allocation); longer strings live in one shared heap buffer that copies
// share. Fifteen bytes hold most names, words and codes, and keep the
// string as wide as the value's other kinds (32 bytes).
class SmallString {
 public:
  static constexpr size_t kInlineCapacity = 15;

  SmallString() : length_(0) {}
  explicit SmallString(std::string_view text) {
    if (text.size() <= kInlineCapacity) {
      length_ = static_cast<uint8_t>(text.size());
      if (!text.empty()) std::memcpy(inline_.data(), text.data(), text.size());
    } else {
      length_ = kHeap;
      heap_ = std::make_shared<const std::string>(text);
    }
  }

  std::string_view view() const {
    if (length_ == kHeap) return *heap_;
    return std::string_view(inline_.data(), length_);
  }
  size_t size() const { return view().size(); }

  friend bool operator==(const SmallString& a, const SmallString& b) {
    return a.view() == b.view();
  }

 private:
  static constexpr uint8_t kHeap = 0xFF;
  std::array<char, kInlineCapacity> inline_;
  uint8_t length_;
  std::shared_ptr<const std::string> heap_;
};

}  // namespace vantorel
