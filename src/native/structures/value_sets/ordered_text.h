// OrderedText: a view of a string that carries the string's first eight
// bytes as one big-endian integer.
//
// Sorted arrays of views (the byte order of the distinct strings of an
// attribute) point into strings that live elsewhere, so every comparison of
// a binary search over them would read a far cache line. With the head
// inline, most comparisons in byte order are one integer comparison: the
// text is read only when two heads are equal and a string is longer than
// eight bytes. Costs eight bytes per view.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vantorel {

struct OrderedText {
  std::string_view text;
  uint64_t head;

  // Implicit, so that a string_view looks an OrderedText up.
  OrderedText(std::string_view view) : text(view), head(head_of(view)) {}  // NOLINT
  // A view whose head is known already.
  OrderedText(std::string_view view, uint64_t view_head) : text(view), head(view_head) {}

  // The first eight bytes of `view` as a big-endian integer, zero-padded:
  // heads compare as the texts' first eight bytes do.
  static uint64_t head_of(std::string_view view) {
    uint64_t head = 0;
    for (size_t i = 0; i < 8; ++i) {
      head = (head << 8) | (i < view.size() ? static_cast<unsigned char>(view[i]) : 0u);
    }
    return head;
  }

  // Byte order, as std::string_view compares. Equal heads of texts of at
  // most eight bytes mean that the shorter is a prefix of the longer.
  friend bool operator<(const OrderedText& a, const OrderedText& b) {
    if (a.head != b.head) return a.head < b.head;
    if (a.text.size() <= 8 && b.text.size() <= 8) return a.text.size() < b.text.size();
    return a.text < b.text;
  }
  friend bool operator==(const OrderedText& a, const OrderedText& b) {
    return a.head == b.head && a.text == b.text;
  }
};

}  // namespace vantorel
