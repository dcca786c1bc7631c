#include "values/attribute_names.h"

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

#include "native/structures/string_interner/string_interner.h"
#include "py/errors.h"

namespace vantorel {

namespace {

struct CachedName {
  PyObject* name = nullptr;  // strong reference, or null
  AttributeName attribute{};
};

constexpr size_t kCacheSize = 512;
std::array<CachedName, kCacheSize> cache;

CachedName& slot_of(PyObject* name) {
  const auto address = reinterpret_cast<uintptr_t>(name);
  return cache[((address >> 4) ^ (address >> 13)) % kCacheSize];
}

AttributeName remember(PyObject* name, uint32_t id, std::string_view text) {
  const AttributeName attribute{id, is_indexed_name(text)};
  CachedName& slot = slot_of(name);
  PyObject* evicted = slot.name;
  Py_INCREF(name);
  slot = CachedName{name, attribute};
  Py_XDECREF(evicted);  // a str: releasing it runs no Python code
  return attribute;
}

}  // namespace

void check_attribute_name(PyObject* name) {
  if (slot_of(name).name != name) py::utf8_of(name);
}

AttributeName intern_attribute_name(PyObject* name) {
  const CachedName& slot = slot_of(name);
  if (slot.name == name) return slot.attribute;
  const std::string_view text = py::utf8_of(name);
  return remember(name, global_interner().intern(text), text);
}

bool find_attribute_name(PyObject* name, AttributeName* found) {
  const CachedName& slot = slot_of(name);
  if (slot.name == name) {
    *found = slot.attribute;
    return true;
  }
  const std::string_view text = py::utf8_of(name);
  std::optional<uint32_t> id = global_interner().get(text);
  if (!id) return false;
  *found = remember(name, *id, text);
  return true;
}

}  // namespace vantorel
