#include "native/structures/value_sets/packed_text.h"

#include <cstring>
#include <memory>
#include <utility>

namespace vantorel {

PackedText::PackedText(std::string_view text) {
  if (text.size() <= kInline) {
    tag_ = static_cast<uint8_t>(text.size());
    if (!text.empty()) std::memcpy(bytes_.data(), text.data(), text.size());
    return;
  }
  const size_t length = text.size();
  auto owned = std::make_unique_for_overwrite<char[]>(sizeof(length) + length);
  std::memcpy(owned.get(), &length, sizeof(length));
  std::memcpy(owned.get() + sizeof(length), text.data(), length);
  char* address = owned.release();
  std::memcpy(bytes_.data() + kAddressAt, &address, sizeof(address));
  tag_ = kHeap;
}

PackedText& PackedText::operator=(PackedText&& other) noexcept {
  if (this != &other) {
    release();
    tag_ = std::exchange(other.tag_, 0);
    bytes_ = other.bytes_;
  }
  return *this;
}

char* PackedText::heap() const {
  char* address;
  std::memcpy(&address, bytes_.data() + kAddressAt, sizeof(address));
  return address;
}

std::string_view PackedText::heap_view() const {
  const char* block = heap();
  size_t length;
  std::memcpy(&length, block, sizeof(length));
  return {block + sizeof(length), length};
}

size_t PackedText::heap_bytes() const {
  return tag_ == kHeap ? sizeof(size_t) + heap_view().size() : 0;
}

void PackedText::release() {
  if (tag_ == kHeap) std::unique_ptr<char[]> owned(heap());
  tag_ = 0;
}

}  // namespace vantorel
