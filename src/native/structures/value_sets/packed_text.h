// PackedText: an owned string in sixteen bytes.
//
// A text of up to kInline bytes is held inline; a longer one in an
// allocation of its own that starts with its length, whose address the
// inline bytes then hold. The first byte tells which: the length of an
// inline text, or kHeap. A text can also be vacant (holding nothing, not
// even the empty text), which a table of texts uses to mark a free entry.
// Alignment is one byte, so that a text next to a 64-bit word pays no
// padding. Move-only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vantorel {

class PackedText {
 public:
  static constexpr size_t kInline = 15;

  // The empty text.
  PackedText() = default;
  explicit PackedText(std::string_view text);
  PackedText(PackedText&& other) noexcept : tag_(other.tag_), bytes_(other.bytes_) {
    other.tag_ = 0;
  }
  PackedText& operator=(PackedText&& other) noexcept;
  PackedText(const PackedText&) = delete;
  PackedText& operator=(const PackedText&) = delete;
  ~PackedText() { release(); }

  static PackedText vacant() {
    PackedText text;
    text.tag_ = kVacant;
    return text;
  }
  bool is_vacant() const { return tag_ == kVacant; }

  // The text; empty when vacant.
  std::string_view view() const {
    if (tag_ <= kInline) return {bytes_.data(), tag_};
    if (tag_ == kVacant) return {};
    return heap_view();
  }
  // Bytes of the allocation of a long text; zero for an inline one.
  size_t heap_bytes() const;

 private:
  static constexpr uint8_t kHeap = 0xFF;
  static constexpr uint8_t kVacant = 0xFE;
  // Where in bytes_ the address of a long text's allocation is kept: at an
  // offset of 8 within the object, so that a 64-bit address is aligned.
  static constexpr size_t kAddressAt = 7;

  char* heap() const;
  std::string_view heap_view() const;
  void release();

  uint8_t tag_ = 0;  // a length up to kInline, kHeap or kVacant
  std::array<char, kInline> bytes_{};
};

static_assert(sizeof(PackedText) == 16 && alignof(PackedText) == 1);

}  // namespace vantorel
