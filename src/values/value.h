// PyValue: the native form of every attribute value and query operand.
//
// A PyValue is made once from a Python object while the interpreter lock is
// held, and is immutable afterwards. It carries a native cast that the index
// compares, orders and hashes without calling into Python, and a 64-bit hash
// computed at creation. Copies share everything they hold, so a PyValue can
// be copied and released on threads that do not hold the interpreter lock.
//
// Kinds: Int (signed 64-bit), Float (double), Str (UTF-8 bytes), Bool,
// Iterable (exact list, dict, tuple or set; with a snapshot of its elements
// converted at creation, so index work never walks the live container), Ind
// (an Indexable object), Unknown (anything else, compared by identity).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "py/ref.h"
#include "values/types.h"

namespace vantorel {

class PyValue;
struct IndexableRecord;

enum class ValueKind : uint8_t { Int, Float, Str, Bool, Iterable, Ind, Unknown };
enum class IterableKind : uint8_t { List = 0, Dict = 1, Tuple = 2, Set = 3 };

struct PyIterable {
  // The container's elements converted when the value was made (empty for a
  // dict, whose contents are never indexed).
  std::shared_ptr<const std::vector<PyValue>> elements;
  IterableKind kind;
  // Whether an element is an Indexable or holds one, at any depth: known
  // when the value is made, so that the paths that route such values apart
  // need not read the elements again.
  bool holds_indexable = false;
};

// An Indexable value: a native copy of its record (sharing its attribute
// store and memberships; the copy never frees the item id). The value's
// object() is the Python object.
struct StoredIndexable {
  std::shared_ptr<const IndexableRecord> owned_handle;
  uint32_t id() const;
};

struct UnknownValue {};

using NativeCastValue =
    std::variant<int64_t, double, SmallString, bool, PyIterable, StoredIndexable, UnknownValue>;

class PyValue {
 public:
  // Converts a borrowed Python object. Requires the interpreter lock. Throws
  // py::PythonError (with OverflowError, UnicodeEncodeError, TypeError or
  // RecursionError set) for what it cannot convert: an int outside signed 64
  // bits, a str that is not encodable as UTF-8, an unlisted object whose
  // hash raises, a container nested beyond the recursion limit.
  static PyValue from_python(PyObject* object);

  // Native constructors (no Python object behind them).
  static PyValue of_int(int64_t value);
  static PyValue of_float(double value);
  static PyValue of_str(std::string_view value);
  static PyValue of_bool(bool value);

  ValueKind kind() const { return static_cast<ValueKind>(cast_.index()); }
  uint64_t hash() const { return hash_; }
  bool is_number() const { return kind() == ValueKind::Int || kind() == ValueKind::Float; }

  int64_t as_int() const { return std::get<int64_t>(cast_); }
  double as_float() const { return std::get<double>(cast_); }
  std::string_view as_str() const { return std::get<SmallString>(cast_).view(); }
  bool as_bool() const { return std::get<bool>(cast_); }
  const PyIterable& as_iterable() const { return std::get<PyIterable>(cast_); }
  const StoredIndexable& as_indexable() const { return std::get<StoredIndexable>(cast_); }
  // The Python object behind an Iterable, Ind or Unknown value (null for the
  // others, which convert back natively).
  PyObject* object() const { return obj_ ? obj_->get() : nullptr; }
  // The shared handle of that object.
  const py::SharedRef& shared_object() const { return obj_; }

  // A new reference to the Python form of the value. Requires the
  // interpreter lock.
  PyObject* to_python() const;

  // "PyValue { obj: …, primitave: …, hash: … }". Requires the interpreter lock.
  std::string debug() const;
  std::string debug_cast() const;

  friend bool operator==(const PyValue& a, const PyValue& b);

  // True when both are numbers, strings or booleans of the same kind with the
  // same bits (so 0.0 and -0.0 differ, as do 1 and 1.0). Every index entry of
  // such a value is a function of its kind and bits alone, so assigning one
  // over an identical one changes no index.
  bool same_scalar(const PyValue& other) const;

  // Visits the Python objects this value holds strong references to (for the
  // cycle collector). Requires the interpreter lock.
  int traverse(visitproc visit, void* arg) const;

 private:
  // An Iterable value with a snapshot of its converted elements.
  static PyValue from_container(PyObject* object, IterableKind kind);

  PyValue(py::SharedRef obj, NativeCastValue cast, uint64_t hash)
      : obj_(std::move(obj)), cast_(std::move(cast)), hash_(hash) {}

  py::SharedRef obj_;
  NativeCastValue cast_;
  uint64_t hash_;
};

// Every object holds one per attribute (and one per element of a
// container): a value's width is most of an object's memory.
static_assert(sizeof(PyValue) <= 56);

// Hashes a value for a hash table: its cached hash with the high bits mixed
// into the low ones (a Python hash may differ only in its high bits).
struct PyValueHash {
  size_t operator()(const PyValue& value) const {
    uint64_t hash = value.hash();
    hash ^= hash >> 33;
    hash *= 0xff51afd7ed558ccdull;
    return static_cast<size_t>(hash ^ (hash >> 33));
  }
};

// `text` in double quotes with quotes, backslashes and control characters
// escaped: the debug form of strings.
std::string quoted_debug(std::string_view text);

// Hashes of the native kinds (the Fx scheme with a kind tag).
uint64_t hash_str(std::string_view value);
uint64_t hash_bool(bool value);

}  // namespace vantorel
