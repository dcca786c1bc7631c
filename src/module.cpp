// The module entry: PyInit_Vantorel and the registration of its contents.
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <string>

#include "classes/classes.h"
#include "classes/indexable.h"
#include "classes/indexable_copy.h"
#include "native/common/thread_limit.h"
#include "native/structures/id_alloc/id_alloc.h"
#include "native/structures/string_interner/string_interner.h"
#include "py/args.h"
#include "py/entry.h"
#include "py/errors.h"
#include "py/gil.h"

namespace vantorel {

namespace {

// Converts an argument of sum_as_string to an unsigned 64-bit integer.
bool to_u64(PyObject* object, const char* parameter, unsigned long long* out) {
  py::OwnedRef number = PyLong_Check(object) ? py::OwnedRef::borrow(object)
                                             : py::OwnedRef::steal(PyNumber_Index(object));
  if (!number) {
    py::wrap_argument_error(parameter);
    return false;
  }
  *out = PyLong_AsUnsignedLongLong(number.get());
  if (*out == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    py::wrap_argument_error(parameter);
    return false;
  }
  return true;
}

PyObject* sum_as_string(PyObject* /*module*/, const py::ParsedArgs& args) {
  unsigned long long a = 0;
  unsigned long long b = 0;
  if (!to_u64(args.values[0], "a", &a) || !to_u64(args.values[1], "b", &b)) return nullptr;
  return py::str_of(std::to_string(static_cast<uint64_t>(a + b)));  // wraps mod 2^64
}

const py::Method kSumAsStringMethod{{"sum_as_string()", {"a", "b"}, 2}, sum_as_string};

PyMethodDef kSumAsString = py::method_def<kSumAsStringMethod>(
    "sum_as_string", "sum_as_string(a, b)\n--\n\nFormats the sum of two numbers as string.");

// Diagnostics for leak tests: (ids handed out by the counter, ids on the free
// list). Ids in use are the difference.
PyObject* allocator_state(PyObject* /*module*/, PyObject* /*unused*/) {
  return py::enter<PyObject*>("_allocator_state()", nullptr, [] {
    return Py_BuildValue("(kn)", static_cast<unsigned long>(ids_issued()),
                         static_cast<Py_ssize_t>(free_id_count()));
  });
}

PyMethodDef kAllocatorState = {
    "_allocator_state",
    allocator_state,
    METH_NOARGS,
    "_allocator_state()\n--\n\n(ids issued, ids free): ids in use are the difference.",
};

// Diagnostics for tests: how many attribute names the process has interned.
PyObject* interned_name_count(PyObject* /*module*/, PyObject* /*unused*/) {
  return py::enter<PyObject*>("_interned_name_count()", nullptr, [] {
    return PyLong_FromSize_t(global_interner().snapshot()->size());
  });
}

PyMethodDef kInternedNameCount = {
    "_interned_name_count",
    interned_name_count,
    METH_NOARGS,
    "_interned_name_count()\n--\n\nThe number of attribute names interned so far.",
};

// set_threads(n): the most threads a bulk add or removal may use, the
// calling thread included (1: the calling thread alone).
PyObject* set_threads(PyObject* /*module*/, const py::ParsedArgs& args) {
  PyObject* n = args.values[0];
  if (!PyLong_Check(n) || PyBool_Check(n)) {
    PyErr_Format(PyExc_TypeError, "set_threads() argument 'n' must be int, not %.200s",
                 Py_TYPE(n)->tp_name);
    return nullptr;
  }
  int overflow = 0;
  const long long threads = PyLong_AsLongLongAndOverflow(n, &overflow);
  if (threads == -1 && PyErr_Occurred()) return nullptr;
  if (overflow > 0) {
    PyErr_SetString(PyExc_OverflowError, "set_threads() argument 'n' is too large");
    return nullptr;
  }
  if (overflow < 0 || threads < 1) {
    PyErr_SetString(PyExc_ValueError, "set_threads() argument 'n' must be at least 1");
    return nullptr;
  }
  set_thread_limit(static_cast<size_t>(threads));
  Py_RETURN_NONE;
}

const py::Method kSetThreadsMethod{{"set_threads()", {"n"}, 1}, set_threads};

PyMethodDef kSetThreads = py::method_def<kSetThreadsMethod>(
    "set_threads",
    "set_threads(n)\n--\n\nLets a bulk add or removal use up to n threads, the calling thread "
    "included (at most one per hardware thread). 1, the default, keeps all work on the calling "
    "thread; with more, a large batch starts helper threads and joins them before it returns.");

PyObject* get_threads(PyObject* /*module*/, PyObject* /*unused*/) {
  return py::enter<PyObject*>("get_threads()", nullptr,
                              [] { return PyLong_FromSize_t(thread_limit()); });
}

PyMethodDef kGetThreads = {
    "get_threads",
    get_threads,
    METH_NOARGS,
    "get_threads()\n--\n\nThe most threads a bulk add or removal may use (see set_threads).",
};

// Applies VANTOREL_THREADS, read once at import: a whole number of threads,
// at least 1, as set_threads() takes. Any other value is ignored with a
// RuntimeWarning; false when the warning was turned into an error.
bool apply_thread_variable() {
  const char* text = std::getenv("VANTOREL_THREADS");
  if (text == nullptr) return true;
  char* end = nullptr;
  errno = 0;
  const long long threads = std::strtoll(text, &end, 10);
  if (end != text && *end == '\0' && errno == 0 && threads >= 1) {
    set_thread_limit(static_cast<size_t>(threads));
    return true;
  }
  const std::string message = std::string("VANTOREL_THREADS=") + text +
                              " is not a whole number of threads of at least 1; ignored";
  return PyErr_WarnEx(PyExc_RuntimeWarning, message.c_str(), 1) == 0;
}

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "Vantorel",
    "Indexes ordinary Python objects by their attributes and answers attribute queries "
    "with compressed bitmaps.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Sets `name` on the module and appends it to `__all__`.
bool add_public(PyObject* module, const char* name, PyObject* value) {
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyList_New(0);
    if (all == nullptr || PyObject_SetAttrString(module, "__all__", all) < 0) {
      Py_XDECREF(all);
      return false;
    }
  }
  py::OwnedRef names = py::OwnedRef::steal(all);
  if (!PyList_Check(all)) {
    py::set_cannot_convert(all, "PyList");
    return false;
  }
  py::OwnedRef text = py::OwnedRef::steal(PyUnicode_FromString(name));
  if (!text || PyList_Append(all, text.get()) < 0) return false;
  return PyObject_SetAttrString(module, name, value) == 0;
}

struct ClassEntry {
  const char* name;
  PyTypeObject* (*type)();
};

// The classes, in registration order. Adding a class is one line here.
constexpr ClassEntry kClasses[] = {
    {"Index", index_type},
    {"Indexable", indexable_type},
    {"FilteredIndex", filtered_index_type},
    {"PyQueryExpr", query_expr_type},
    {"LiveResult", live_result_type},
};

bool register_contents(PyObject* module) {
  py::OwnedRef module_name = py::OwnedRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return false;
  py::OwnedRef function =
      py::OwnedRef::steal(PyCMethod_New(&kSumAsString, module, module_name.get(), nullptr));
  if (!function) return false;
  if (!add_public(module, kSumAsString.ml_name, function.get())) return false;
  for (const ClassEntry& entry : kClasses) {
    PyTypeObject* type = entry.type();
    if (type == nullptr) {
      PyErr_Print();
      Py_FatalError((std::string("failed to create type object for ") + entry.name).c_str());
    }
    if (!add_public(module, entry.name, reinterpret_cast<PyObject*>(type))) return false;
  }
  // Set on the module but not listed in __all__: the thread setting,
  // diagnostics for tests, and the reconstructors that pickles of Indexable
  // objects, of expressions and of indexes name.
  for (PyMethodDef* unlisted :
       {&kSetThreads, &kGetThreads, &kAllocatorState, &kInternedNameCount,
        restore_indexable_method(), restore_query_method(), restore_index_method()}) {
    py::OwnedRef function =
        py::OwnedRef::steal(PyCMethod_New(unlisted, module, module_name.get(), nullptr));
    if (!function || PyObject_SetAttrString(module, unlisted->ml_name, function.get()) < 0) {
      return false;
    }
  }
  if (PyModule_AddStringConstant(module, "__version__", VANTOREL_VERSION) < 0) return false;
  PyObject* internal = py::internal_error_type();
  return internal != nullptr && PyObject_SetAttrString(module, "InternalError", internal) == 0;
}

std::atomic<int64_t> owning_interpreter{-1};
PyObject* the_module = nullptr;  // created once, kept for the life of the process

PyObject* init_module() {
  py::release_queued_references();
  const int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter == -1) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    return nullptr;
  }
  int64_t expected = -1;
  if (!owning_interpreter.compare_exchange_strong(expected, interpreter) &&
      expected != interpreter) {
    PyErr_SetString(PyExc_ImportError,
                    "Vantorel does not support subinterpreters: it can be imported by one "
                    "interpreter per process");
    return nullptr;
  }
  if (the_module != nullptr) return Py_NewRef(the_module);
  if (!apply_thread_variable()) return nullptr;
  PyObject* module = PyModule_Create(&kModuleDef);
  if (module == nullptr) return nullptr;
  if (!register_contents(module)) {
    Py_DECREF(module);
    return nullptr;
  }
  the_module = module;
  return Py_NewRef(module);
}

}  // namespace

}  // namespace vantorel

extern "C" PyMODINIT_FUNC PyInit_Vantorel(void) {
  return vantorel::init_module();
}
