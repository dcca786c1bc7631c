#include "values/value.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstdio>
#include <initializer_list>

#include "native/common/fx_hash.h"
#include "py/errors.h"
#include "values/indexable_object.h"
#include "values/stored_item.h"

namespace vantorel {

namespace {

constexpr uint64_t kTagInt = 1;
constexpr uint64_t kTagFloat = 2;
constexpr uint64_t kTagStr = 3;
constexpr uint64_t kTagBool = 4;
constexpr uint64_t kTagIterable = 5;
constexpr uint64_t kTagInd = 6;

uint64_t fold_tagged(uint64_t word, uint64_t tag) {
  FxHasher hasher;
  hasher.fold(word);
  hasher.fold(tag);
  return hasher.finish();
}

// The numpy scalar types that classify like the built-in ones: every integer
// type of 8 to 64 bits, signed or not, and the floating types that a double
// holds exactly. numpy is never imported here: its scalars can only exist
// once the program has imported it, so the types are looked up in
// sys.modules when an unlisted type is met, and fixed from then on.
struct NumpyTypes {
  // Distinct type objects only; a platform's aliases (intc, longlong, ...)
  // are listed by their own names so that each C type is covered.
  static constexpr size_t kMaxIntegers = 16;
  static constexpr size_t kMaxFloats = 3;

  bool resolved = false;
  std::array<PyTypeObject*, kMaxIntegers> integers{};
  std::array<PyTypeObject*, kMaxFloats> floats{};
  PyTypeObject* str_ = nullptr;
  PyTypeObject* bool_ = nullptr;

  bool is_integer(PyTypeObject* type) const { return listed(integers, type); }
  bool is_float(PyTypeObject* type) const { return listed(floats, type); }

 private:
  template <size_t N>
  static bool listed(const std::array<PyTypeObject*, N>& types, PyTypeObject* type) {
    for (PyTypeObject* candidate : types) {
      if (candidate == nullptr) return false;
      if (candidate == type) return true;
    }
    return false;
  }
};

NumpyTypes numpy_types;

// The type that numpy's namespace binds to `name`, or null. Read from the
// module's dictionary: an attribute lookup would reach numpy's module
// __getattr__, which warns about names that some releases retired.
PyTypeObject* numpy_type(PyObject* module, const char* name) {
  PyObject* attribute = PyDict_GetItemString(PyModule_GetDict(module), name);  // borrowed
  if (attribute == nullptr || !PyType_Check(attribute)) return nullptr;
  Py_INCREF(attribute);  // kept for the process
  return reinterpret_cast<PyTypeObject*>(attribute);
}

// Fills `types` with the distinct numpy types among `names`.
template <size_t N>
void collect_numpy_types(PyObject* module, std::initializer_list<const char*> names,
                         std::array<PyTypeObject*, N>& types) {
  size_t count = 0;
  for (const char* name : names) {
    PyTypeObject* type = numpy_type(module, name);
    if (type == nullptr) continue;
    if (count == N ||
        std::find(types.begin(), types.begin() + count, type) != types.begin() + count) {
      Py_DECREF(type);
      continue;
    }
    types[count++] = type;
  }
}

const NumpyTypes& resolve_numpy() {
  if (numpy_types.resolved) return numpy_types;
  static PyObject* const name = PyUnicode_InternFromString("numpy");  // kept for the process
  if (name == nullptr) {
    PyErr_Clear();
    return numpy_types;
  }
  PyObject* module = PyImport_GetModule(name);
  if (module == nullptr) {
    PyErr_Clear();
    return numpy_types;
  }
  collect_numpy_types(module,
                      {"int8",   "int16", "int32", "int64",     "uint8", "uint16",   "uint32",
                       "uint64", "byte",  "short", "intc",      "long",  "longlong", "ubyte",
                       "ushort", "uintc", "ulong", "ulonglong", "int_",  "uint"},
                      numpy_types.integers);
  collect_numpy_types(module, {"float16", "float32", "float64"}, numpy_types.floats);
  numpy_types.str_ = numpy_type(module, "str_");
  // "bool_" names the boolean scalar type in every numpy; "bool" only in 2.x.
  numpy_types.bool_ = numpy_type(module, "bool_");
  numpy_types.resolved = true;
  Py_DECREF(module);
  return numpy_types;
}

int64_t read_int(PyObject* object) {
  long long value = PyLong_AsLongLong(object);  // accepts __index__ objects
  if (value == -1 && PyErr_Occurred()) throw py::PythonError();
  return value;
}

}  // namespace

uint64_t hash_bool(bool value) {
  return fold_tagged(value ? 1 : 0, kTagBool);
}
uint64_t hash_str(std::string_view value) {
  FxHasher hasher;
  hasher.fold(hash_bytes(value));
  hasher.fold(0xff);
  hasher.fold(kTagStr);
  return hasher.finish();
}

uint32_t StoredIndexable::id() const {
  return owned_handle->id;
}

PyValue PyValue::of_int(int64_t value) {
  return PyValue(nullptr, value, fold_tagged(static_cast<uint64_t>(value), kTagInt));
}
PyValue PyValue::of_float(double value) {
  return PyValue(nullptr, value, fold_tagged(std::bit_cast<uint64_t>(value), kTagFloat));
}
PyValue PyValue::of_bool(bool value) {
  return PyValue(nullptr, value, hash_bool(value));
}
PyValue PyValue::of_str(std::string_view value) {
  return PyValue(nullptr, SmallString(value), hash_str(value));
}

PyValue PyValue::from_python(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  // Exact built-in types first: they are by far the most common.
  if (type == &PyLong_Type) return of_int(read_int(object));
  if (type == &PyFloat_Type) return of_float(PyFloat_AS_DOUBLE(object));
  if (type == &PyUnicode_Type) return of_str(py::utf8_of(object));
  if (type == &PyBool_Type) return of_bool(object == Py_True);

  const NumpyTypes& numpy = resolve_numpy();
  if (numpy.is_integer(type)) {
    py::OwnedRef index = py::OwnedRef::steal(py::check(PyNumber_Index(object)));
    return of_int(read_int(index.get()));
  }
  if (numpy.is_float(type)) {
    double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) throw py::PythonError();
    return of_float(value);
  }
  if (type == numpy.str_ && type != nullptr) return of_str(py::utf8_of(object));
  if (type == numpy.bool_ && type != nullptr) {
    int truth = PyObject_IsTrue(object);
    if (truth < 0) throw py::PythonError();
    return of_bool(truth == 1);
  }

  if (is_indexable(object)) {
    const uint64_t hash = fold_tagged(reinterpret_cast<uintptr_t>(object), kTagInd);
    return PyValue(py::share(object),
                   StoredIndexable{vantorel::as_indexable(object)->record.native_copy()}, hash);
  }
  if (type == &PyList_Type) return from_container(object, IterableKind::List);
  if (type == &PyDict_Type) return from_container(object, IterableKind::Dict);
  if (type == &PyTuple_Type) return from_container(object, IterableKind::Tuple);
  if (type == &PySet_Type) return from_container(object, IterableKind::Set);

  Py_hash_t python_hash = PyObject_Hash(object);
  if (python_hash == -1 && PyErr_Occurred()) throw py::PythonError();
  return PyValue(py::share(object), UnknownValue{}, static_cast<uint64_t>(python_hash));
}

namespace {

// An identifying word per iterable value: such a value equals only itself,
// so any word unique to it will do.
std::atomic<uint64_t> iterable_serial{1};

}  // namespace

PyValue PyValue::from_container(PyObject* object, IterableKind kind) {
  auto elements = std::make_shared<std::vector<PyValue>>();
  if (kind != IterableKind::Dict) {
    // Convert from a tuple snapshot: element conversion may run Python code
    // (hashes), which must not see us walking a container it can mutate.
    py::OwnedRef snapshot = kind == IterableKind::Tuple
                                ? py::OwnedRef::borrow(object)
                                : py::OwnedRef::steal(py::check(PySequence_Tuple(object)));
    const Py_ssize_t count = PyTuple_GET_SIZE(snapshot.get());
    elements->reserve(static_cast<size_t>(count));
    if (Py_EnterRecursiveCall(" while converting a container value")) throw py::PythonError();
    try {
      for (Py_ssize_t i = 0; i < count; ++i) {
        elements->push_back(PyValue::from_python(PyTuple_GET_ITEM(snapshot.get(), i)));
      }
    } catch (...) {
      Py_LeaveRecursiveCall();
      throw;
    }
    Py_LeaveRecursiveCall();
  }
  const bool holds_indexable = std::ranges::any_of(*elements, [](const PyValue& element) {
    return element.kind() == ValueKind::Ind ||
           (element.kind() == ValueKind::Iterable && element.as_iterable().holds_indexable);
  });
  const uint64_t hash = fold_tagged(iterable_serial.fetch_add(1), kTagIterable);
  return PyValue(py::share(object), PyIterable{std::move(elements), kind, holds_indexable}, hash);
}

namespace {

bool casts_equal(const NativeCastValue& a, const NativeCastValue& b, const PyValue& left,
                 const PyValue& right) {
  switch (static_cast<ValueKind>(a.index())) {
    case ValueKind::Int: {
      const int64_t x = std::get<int64_t>(a);
      if (auto* y = std::get_if<int64_t>(&b)) return x == *y;
      if (auto* y = std::get_if<double>(&b)) return static_cast<double>(x) == *y;
      if (auto* y = std::get_if<bool>(&b)) return x == (*y ? 1 : 0);
      return false;
    }
    case ValueKind::Float: {
      const double x = std::get<double>(a);
      if (auto* y = std::get_if<double>(&b)) return x == *y;
      if (auto* y = std::get_if<int64_t>(&b)) return x == static_cast<double>(*y);
      return false;
    }
    case ValueKind::Str:
      if (auto* y = std::get_if<SmallString>(&b)) return std::get<SmallString>(a) == *y;
      return false;
    case ValueKind::Bool: {
      const bool x = std::get<bool>(a);
      if (auto* y = std::get_if<bool>(&b)) return x == *y;
      if (auto* y = std::get_if<int64_t>(&b)) return (x ? 1 : 0) == *y;
      return false;
    }
    case ValueKind::Iterable:
      if (auto* y = std::get_if<PyIterable>(&b)) {
        return std::get<PyIterable>(a).elements == y->elements;
      }
      return false;
    case ValueKind::Ind:
    case ValueKind::Unknown:
      return a.index() == b.index() && left.object() == right.object();
  }
  return false;
}

}  // namespace

bool operator==(const PyValue& a, const PyValue& b) {
  return a.hash_ == b.hash_ && casts_equal(a.cast_, b.cast_, a, b);
}

bool PyValue::same_scalar(const PyValue& other) const {
  if (cast_.index() != other.cast_.index() || hash_ != other.hash_) return false;
  switch (kind()) {
    case ValueKind::Int:
      return as_int() == other.as_int();
    case ValueKind::Float:
      return std::bit_cast<uint64_t>(as_float()) == std::bit_cast<uint64_t>(other.as_float());
    case ValueKind::Str:
      return as_str() == other.as_str();
    case ValueKind::Bool:
      return as_bool() == other.as_bool();
    default:
      return false;
  }
}

int PyValue::traverse(visitproc visit, void* arg) const {
  if (PyObject* held = object()) {
    if (int result = visit(held, arg)) return result;
  }
  if (kind() == ValueKind::Iterable) {
    for (const PyValue& element : *as_iterable().elements) {
      if (int result = element.traverse(visit, arg)) return result;
    }
  }
  return 0;
}

PyObject* PyValue::to_python() const {
  switch (kind()) {
    case ValueKind::Int:
      return PyLong_FromLongLong(as_int());
    case ValueKind::Float:
      return PyFloat_FromDouble(as_float());
    case ValueKind::Str:
      return py::str_of(as_str());
    case ValueKind::Bool:
      return PyBool_FromLong(as_bool() ? 1 : 0);
    default:
      return obj_->new_reference();
  }
}

std::string quoted_debug(std::string_view text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20 || c == 0x7f) {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\u{%x}", c);
      out += buffer;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

namespace {

std::string python_repr(PyObject* object) {
  if (object == nullptr) return "None";
  PyObject* repr = PyObject_Repr(object);
  if (repr == nullptr) {
    PyErr_Clear();
    return "<unrepresentable>";
  }
  const char* text = PyUnicode_AsUTF8(repr);
  std::string out = text != nullptr ? text : "<unrepresentable>";
  if (text == nullptr) PyErr_Clear();
  Py_DECREF(repr);
  return "Py(" + out + ")";
}

const char* iterable_name(IterableKind kind) {
  switch (kind) {
    case IterableKind::List:
      return "List";
    case IterableKind::Dict:
      return "Dict";
    case IterableKind::Tuple:
      return "Tuple";
    case IterableKind::Set:
      return "Set";
  }
  return "List";
}

}  // namespace

std::string PyValue::debug_cast() const {
  switch (kind()) {
    case ValueKind::Int:
      return "Int(" + std::to_string(as_int()) + ")";
    case ValueKind::Float: {
      char buffer[40];
      std::snprintf(buffer, sizeof buffer, "%.17g", as_float());
      return std::string("Float(") + buffer + ")";
    }
    case ValueKind::Str:
      return "Str(" + quoted_debug(as_str()) + ")";
    case ValueKind::Bool:
      return as_bool() ? "Bool(true)" : "Bool(false)";
    case ValueKind::Iterable:
      return std::string("Iterable(") + iterable_name(as_iterable().kind) + "(" +
             python_repr(object()) + "))";
    case ValueKind::Ind: {
      const StoredIndexable& stored = as_indexable();
      return "Ind(StoredIndexable { python_handle: " + python_repr(object()) +
             ", owned_handle: IndexAPI { id: " + std::to_string(stored.id()) + " } })";
    }
    case ValueKind::Unknown:
      return "Unknown";
  }
  return "Unknown";
}

std::string PyValue::debug() const {
  return "PyValue { obj: " + python_repr(object()) + ", primitave: " + debug_cast() +
         ", hash: " + std::to_string(hash_) + " }";
}

}  // namespace vantorel
