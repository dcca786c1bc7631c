#include "classes/indexable_copy.h"

#include <utility>
#include <vector>

#include "classes/indexable.h"
#include "native/structures/string_interner/string_interner.h"
#include "py/args.h"
#include "py/entry.h"
#include "py/errors.h"
#include "py/gil.h"
#include "values/attribute_names.h"
#include "values/value.h"

namespace vantorel {

namespace {

// The module function that pickles name as the reconstructor. Indexable's
// own module is "builtins", where pickle could not find the class, so a
// pickle cannot name the class itself; it names this function instead.
PyObject* restore_function() {
  static PyObject* function = nullptr;  // one reference, kept for the life of the process
  if (function == nullptr) {
    py::OwnedRef module = py::OwnedRef::steal(py::check(PyImport_ImportModule("Vantorel")));
    py::OwnedRef found =
        py::OwnedRef::steal(py::check(PyObject_GetAttrString(module.get(), "_restore_indexable")));
    if (function == nullptr) function = found.release();
  }
  return function;
}

// Whether the class of `self` overrides the Indexable method `name`. Looked
// up on the class: a stored attribute of that name does not count.
bool overrides(PyObject* self, const char* name) {
  py::OwnedRef own = py::OwnedRef::steal(
      py::check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(indexable_type()), name)));
  py::OwnedRef found = py::OwnedRef::steal(
      py::check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), name)));
  return found.get() != own.get();
}

// Calls the class's `name` method on `self`.
PyObject* call_class_method(PyObject* self, const char* name) {
  py::OwnedRef method = py::OwnedRef::steal(
      py::check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), name)));
  return PyObject_CallOneArg(method.get(), self);
}

// {name: value} of every stored attribute.
PyObject* state_of(PyObject* self) {
  std::vector<std::pair<uint32_t, PyValue>> attributes = stored_attributes(self);
  std::shared_ptr<const InternerSnapshot> names = global_interner().snapshot();
  py::OwnedRef state = py::OwnedRef::steal(py::check(PyDict_New()));
  for (const auto& [attribute, value] : attributes) {
    py::OwnedRef key = py::OwnedRef::steal(py::check(py::str_of(names->name(attribute))));
    py::OwnedRef item = py::OwnedRef::steal(py::check(value.to_python()));
    py::check(PyDict_SetItem(state.get(), key.get(), item.get()) == 0);
  }
  return state.release();
}

// (_restore_indexable, (cls,), state); the class is left out for Indexable
// itself, which pickle cannot name.
PyObject* reduce_value(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  py::OwnedRef args = py::OwnedRef::steal(
      py::check(type == indexable_type() ? PyTuple_New(0)
                                         : PyTuple_Pack(1, reinterpret_cast<PyObject*>(type))));
  py::OwnedRef state = py::OwnedRef::steal(py::check(
      overrides(self, "__getstate__") ? call_class_method(self, "__getstate__") : state_of(self)));
  return PyTuple_Pack(3, restore_function(), args.get(), state.get());
}

PyObject* indexable_reduce_ex(PyObject* self, const py::ParsedArgs& args) {
  if (PyLong_AsLong(args.values[0]) == -1 && PyErr_Occurred()) {
    py::wrap_argument_error("protocol");
    return nullptr;
  }
  // As object.__reduce_ex__ does: a class that overrides __reduce__ is
  // reduced by it.
  if (overrides(self, "__reduce__")) return call_class_method(self, "__reduce__");
  return reduce_value(self);
}

PyObject* indexable_reduce(PyObject* self, const py::ParsedArgs&) {
  return reduce_value(self);
}

PyObject* indexable_getstate(PyObject* self, const py::ParsedArgs&) {
  return state_of(self);
}

// Assigns every attribute of a state dict. Every name and value is checked
// and converted before the first assignment, so a state that cannot be
// restored changes nothing.
PyObject* indexable_setstate(PyObject* self, const py::ParsedArgs& args) {
  PyObject* state = args.values[0];
  if (!PyDict_Check(state)) {
    py::set_cannot_convert(state, "PyDict", "state");
    return nullptr;
  }
  // A snapshot of the pairs, which also keeps the names alive: converting
  // a value can run Python code, and an assignment can wait for index
  // locks without the interpreter lock, while another thread changes the dict.
  std::vector<std::pair<PyObject*, PyValue>> assignments;
  py::OwnedRef items = py::OwnedRef::steal(py::check(PyDict_Items(state)));
  assignments.reserve(static_cast<size_t>(PyList_GET_SIZE(items.get())));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
    PyObject* name = PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), i), 0);
    PyObject* value = PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), i), 1);
    if (!PyUnicode_Check(name)) {
      py::set_cannot_convert(name, "PyString", "state");
      return nullptr;
    }
    check_attribute_name(name);
    assignments.emplace_back(name, PyValue::from_python(value));
  }
  for (const auto& [attribute, converted] : assignments) {
    store_attribute(self, intern_attribute_name(attribute), converted);
  }
  Py_RETURN_NONE;
}

PyObject* restore_indexable(PyObject* /*module*/, const py::ParsedArgs& args) {
  PyTypeObject* base = py::check(indexable_type());
  PyObject* cls = args.values[0];
  if (cls == nullptr || cls == Py_None) cls = reinterpret_cast<PyObject*>(base);
  if (!PyType_Check(cls) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(cls), base)) {
    PyErr_Format(PyExc_TypeError, "argument 'cls': %R is not a subclass of Indexable", cls);
    return nullptr;
  }
  return PyObject_CallMethod(cls, "__new__", "O", cls);
}

const py::Method kRestoreIndexableMethod{{"_restore_indexable()", {"cls"}, 0}, restore_indexable};

PyMethodDef kRestoreIndexable = py::method_def<kRestoreIndexableMethod>(
    "_restore_indexable",
    "_restore_indexable(cls=None)\n--\n\n"
    "A new, empty instance of cls (an Indexable class): the reconstructor of copies and pickles.");

}  // namespace

const py::Method kReduceExMethod{{"Indexable.__reduce_ex__()", {"protocol"}, 1},
                                 indexable_reduce_ex};
const py::Method kReduceMethod{{"Indexable.__reduce__()", {}, 0}, indexable_reduce};
const py::Method kGetStateMethod{{"Indexable.__getstate__()", {}, 0}, indexable_getstate};
const py::Method kSetStateMethod{{"Indexable.__setstate__()", {"state"}, 1}, indexable_setstate};

PyMethodDef* restore_indexable_method() {
  return &kRestoreIndexable;
}

}  // namespace vantorel
