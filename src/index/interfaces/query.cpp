// PyQueryExpr: Python-built query trees.
#include <string>
#include <utility>

#include "common/no_destructor.h"
#include "index/interfaces/classes.h"
#include "py/args.h"
#include "py/errors.h"
#include "py/gil.h"

namespace vantorel {

namespace {

// The tree is immutable once built and shared with every expression that
// combines it.
struct QueryExprObject {
  PyObject_HEAD QueryExprPtr expr;
};

PyObject* wrap(QueryExpr expr) {
  PyTypeObject* type = query_expr_type();
  if (type == nullptr) return nullptr;
  // Created non-const: the destructor may empty a node it is the last owner of.
  QueryExprPtr shared = std::make_shared<QueryExpr>(std::move(expr));
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&reinterpret_cast<QueryExprObject*>(self)->expr) QueryExprPtr(std::move(shared));
  return self;
}

// Wraps a combination, refusing one nested deeper than evaluation supports.
PyObject* wrap_combined(QueryExpr expr) {
  if (expr.depth > QueryExpr::kMaxDepth) {
    PyErr_SetString(PyExc_RecursionError, "query expression nested too deeply");
    return nullptr;
  }
  return wrap(std::move(expr));
}

// The shared tree of a PyQueryExpr argument, or null with TypeError set.
QueryExprPtr shared_expr_of(PyObject* object, const char* parameter) {
  if (query_expr_of(object, parameter) == nullptr) return nullptr;
  return reinterpret_cast<QueryExprObject*>(object)->expr;
}

void query_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  reinterpret_cast<QueryExprObject*>(self)->expr.~QueryExprPtr();
  type->tp_free(self);
  Py_DECREF(type);
}

// The cycle collector sees the values of the nodes that only this
// expression holds. A node shared with another expression (combining shares
// children) is reported by none: a reference must be reported by every path
// that keeps it alive, or by none.
int query_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  const QueryExprPtr& root = reinterpret_cast<QueryExprObject*>(self)->expr;
  if (root.use_count() != 1) return 0;
  try {
    std::vector<const QueryExpr*> pending{root.get()};
    while (!pending.empty()) {
      const QueryExpr* node = pending.back();
      pending.pop_back();
      for (const PyValue& value : node->values) {
        if (int result = value.traverse(visit, arg)) return result;
      }
      for (const QueryExprPtr& child : node->children) {
        if (child.use_count() == 1) pending.push_back(child.get());
      }
    }
  } catch (const std::bad_alloc&) {
    return 0;
  }
  return 0;
}

// The tree that cleared expressions hold: an empty conjunction.
const QueryExprPtr& empty_expr() {
  static NoDestructor<QueryExprPtr> empty(
      std::make_shared<QueryExpr>(QueryExpr::combine(QueryOp::And, {})));
  return *empty;
}

// Breaks a cycle through an unreachable expression by letting its tree go.
int query_clear(PyObject* self) {
  QueryExprPtr released;
  try {
    released = std::exchange(reinterpret_cast<QueryExprObject*>(self)->expr, empty_expr());
  } catch (const std::bad_alloc&) {
    return 0;
  }
  return 0;  // the tree is released here
}

std::string_view attr_of(PyObject* attr) {
  if (!PyUnicode_Check(attr)) {
    py::set_cannot_convert(attr, "PyString");
    py::wrap_argument_error("attr");
    throw py::PythonError();
  }
  Py_ssize_t length = 0;
  const char* text = py::check(PyUnicode_AsUTF8AndSize(attr, &length));
  return std::string_view(text, static_cast<size_t>(length));
}

// The name of a one-value builder, as its argument errors print it.
constexpr const char* single_builder_name(QueryOp op) {
  switch (op) {
    case QueryOp::Eq:
      return "PyQueryExpr.eq()";
    case QueryOp::Ne:
      return "PyQueryExpr.ne()";
    case QueryOp::Gt:
      return "PyQueryExpr.gt()";
    case QueryOp::Ge:
      return "PyQueryExpr.ge()";
    case QueryOp::Lt:
      return "PyQueryExpr.lt()";
    case QueryOp::Le:
      return "PyQueryExpr.le()";
    case QueryOp::StartsWi:
      return "PyQueryExpr.starts_with()";
    case QueryOp::EndsWi:
      return "PyQueryExpr.ends_with()";
    case QueryOp::Contains:
      return "PyQueryExpr.contains()";
    default:
      return "PyQueryExpr()";
  }
}

// Builders of one attribute and one value.
template <QueryOp kOp>
PyObject* build_single(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  py::EntryScope entry;
  return py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const py::Signature signature{single_builder_name(kOp), {"attr", "value"}, 2};
    py::ParsedArgs parsed;
    if (!py::parse_fastcall(signature, args, nargs, kwnames, &parsed)) return nullptr;
    std::string_view attr = attr_of(parsed.values[0]);
    std::vector<PyValue> values;
    values.push_back(PyValue::from_python(parsed.values[1]));
    return wrap(QueryExpr::leaf(kOp, attr, std::move(values)));
  });
}

PyObject* build_between(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  py::EntryScope entry;
  return py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const py::Signature signature{"PyQueryExpr.bt()", {"attr", "lower", "upper"}, 3};
    py::ParsedArgs parsed;
    if (!py::parse_fastcall(signature, args, nargs, kwnames, &parsed)) return nullptr;
    std::string_view attr = attr_of(parsed.values[0]);
    std::vector<PyValue> values;
    values.push_back(PyValue::from_python(parsed.values[1]));
    values.push_back(PyValue::from_python(parsed.values[2]));
    return wrap(QueryExpr::leaf(QueryOp::Bt, attr, std::move(values)));
  });
}

// A Python sequence converted element by element (a str is refused).
std::vector<PyValue> sequence_values(PyObject* sequence, const char* parameter) {
  std::vector<PyValue> values;
  values.reserve(length_hint(sequence));
  const bool ok = for_each_in_sequence(sequence, parameter, [&](PyObject* item) {
    values.push_back(PyValue::from_python(item));
    return true;
  });
  if (!ok) throw py::PythonError();
  return values;
}

PyObject* build_in(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  py::EntryScope entry;
  return py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const py::Signature signature{"PyQueryExpr.in_()", {"attr", "values"}, 2};
    py::ParsedArgs parsed;
    if (!py::parse_fastcall(signature, args, nargs, kwnames, &parsed)) return nullptr;
    std::string_view attr = attr_of(parsed.values[0]);
    return wrap(QueryExpr::leaf(QueryOp::In, attr, sequence_values(parsed.values[1], "values")));
  });
}

template <QueryOp kOp>
PyObject* build_combined(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  py::EntryScope entry;
  return py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const py::Signature signature{
        kOp == QueryOp::And ? "PyQueryExpr.and_()" : "PyQueryExpr.or_()", {}, 0, true, false};
    py::ParsedArgs parsed;
    if (!py::parse_fastcall(signature, args, nargs, kwnames, &parsed)) return nullptr;
    std::vector<QueryExprPtr> children;
    PyObject* rest = parsed.var_positional.get();
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(rest); ++i) {
      QueryExprPtr child = shared_expr_of(PyTuple_GET_ITEM(rest, i), "exprs");
      if (child == nullptr) return nullptr;
      children.push_back(std::move(child));
    }
    return wrap_combined(QueryExpr::combine(kOp, std::move(children)));
  });
}

PyObject* build_not(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  py::EntryScope entry;
  return py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const py::Signature signature{"PyQueryExpr.not_()", {"exprs"}, 1};
    py::ParsedArgs parsed;
    if (!py::parse_fastcall(signature, args, nargs, kwnames, &parsed)) return nullptr;
    QueryExprPtr child = shared_expr_of(parsed.values[0], "exprs");
    if (child == nullptr) return nullptr;
    return wrap_combined(QueryExpr::combine(QueryOp::Not, {std::move(child)}));
  });
}

// `a & b`, `a | b` and `~a`: the trees that and_(a, b), or_(a, b) and not_(a)
// build. An operand that is not a PyQueryExpr gets NotImplemented, so the
// interpreter tries the other operand and then raises its usual TypeError.
template <QueryOp kOp>
PyObject* combine_operands(PyObject* left, PyObject* right) {
  py::EntryScope entry;
  return py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyTypeObject* type = query_expr_type();
    if (type == nullptr) return nullptr;
    if (!PyObject_TypeCheck(left, type) || !PyObject_TypeCheck(right, type)) {
      Py_RETURN_NOTIMPLEMENTED;
    }
    std::vector<QueryExprPtr> children{reinterpret_cast<QueryExprObject*>(left)->expr,
                                       reinterpret_cast<QueryExprObject*>(right)->expr};
    return wrap_combined(QueryExpr::combine(kOp, std::move(children)));
  });
}

PyObject* invert_operand(PyObject* operand) {
  py::EntryScope entry;
  return py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    QueryExprPtr child = reinterpret_cast<QueryExprObject*>(operand)->expr;
    return wrap_combined(QueryExpr::combine(QueryOp::Not, {std::move(child)}));
  });
}

PyObject* query_repr(PyObject* self) {
  py::EntryScope entry;
  return py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    std::string text =
        "<QueryExpr: " + reinterpret_cast<QueryExprObject*>(self)->expr->debug() + ">";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

PyObject* query_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined for PyQueryExpr");
  return nullptr;
}

constexpr int kStaticFast = METH_STATIC | METH_FASTCALL | METH_KEYWORDS;

#define VANTOREL_BUILDER(name, function, doc)                                                     \
  {                                                                                               \
    name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(function)), kStaticFast, \
        doc                                                                                       \
  }

PyMethodDef kQueryMethods[] = {
    VANTOREL_BUILDER("eq", build_single<QueryOp::Eq>, "eq(attr, value)\n--\n\nattr == value"),
    VANTOREL_BUILDER("ne", build_single<QueryOp::Ne>, "ne(attr, value)\n--\n\nattr != value"),
    VANTOREL_BUILDER("gt", build_single<QueryOp::Gt>, "gt(attr, value)\n--\n\nattr > value"),
    VANTOREL_BUILDER("ge", build_single<QueryOp::Ge>, "ge(attr, value)\n--\n\nattr >= value"),
    VANTOREL_BUILDER("lt", build_single<QueryOp::Lt>, "lt(attr, value)\n--\n\nattr < value"),
    VANTOREL_BUILDER("le", build_single<QueryOp::Le>, "le(attr, value)\n--\n\nattr <= value"),
    VANTOREL_BUILDER("bt", build_between, "bt(attr, lower, upper)\n--\n\nlower <= attr <= upper"),
    VANTOREL_BUILDER("in_", build_in, "in_(attr, values)\n--\n\nattr equals one of values"),
    VANTOREL_BUILDER("starts_with", build_single<QueryOp::StartsWi>,
                     "starts_with(attr, value)\n--\n\nattr begins with value"),
    VANTOREL_BUILDER("ends_with", build_single<QueryOp::EndsWi>,
                     "ends_with(attr, value)\n--\n\nattr ends with value"),
    VANTOREL_BUILDER("contains", build_single<QueryOp::Contains>,
                     "contains(attr, value)\n--\n\nattr holds value at any position"),
    VANTOREL_BUILDER("and_", build_combined<QueryOp::And>,
                     "and_(*exprs)\n--\n\nAll of the expressions"),
    VANTOREL_BUILDER("or_", build_combined<QueryOp::Or>,
                     "or_(*exprs)\n--\n\nAny of the expressions"),
    VANTOREL_BUILDER("not_", build_not, "not_(exprs)\n--\n\nThe complement of the expression"),
    {nullptr, nullptr, 0, nullptr},
};

#undef VANTOREL_BUILDER

PyType_Slot kQuerySlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(query_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(query_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(query_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(query_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(query_repr)},
    {Py_tp_methods, kQueryMethods},
    {Py_nb_and, reinterpret_cast<void*>(combine_operands<QueryOp::And>)},
    {Py_nb_or, reinterpret_cast<void*>(combine_operands<QueryOp::Or>)},
    {Py_nb_invert, reinterpret_cast<void*>(invert_operand)},
    {Py_tp_doc, const_cast<char*>("A query expression, built with the static methods.")},
    {0, nullptr},
};

PyType_Spec kQuerySpec{"builtins.PyQueryExpr", static_cast<int>(sizeof(QueryExprObject)), 0,
                       Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, kQuerySlots};

}  // namespace

PyTypeObject* query_expr_type() {
  static PyTypeObject* type = nullptr;
  if (type == nullptr) type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&kQuerySpec));
  return type;
}

const QueryExpr* query_expr_of(PyObject* object, const char* parameter) {
  PyTypeObject* type = query_expr_type();
  if (type == nullptr) return nullptr;
  if (!PyObject_TypeCheck(object, type)) {
    py::set_cannot_convert(object, "PyQueryExpr");
    py::wrap_argument_error(parameter);
    return nullptr;
  }
  return reinterpret_cast<QueryExprObject*>(object)->expr.get();
}

std::vector<QueryExpr> kwargs_to_query(const std::vector<std::pair<PyObject*, PyObject*>>& kwargs) {
  std::vector<QueryExpr> exprs;
  exprs.reserve(kwargs.size());
  for (const auto& [key, value] : kwargs) {
    Py_ssize_t length = 0;
    const char* text = py::check(PyUnicode_AsUTF8AndSize(key, &length));
    std::vector<PyValue> values;
    values.push_back(PyValue::from_python(value));
    exprs.push_back(
        QueryExpr::leaf(QueryOp::Eq, std::string_view(text, length), std::move(values)));
  }
  return exprs;
}

bool check_sequence_argument(PyObject* sequence, const char* parameter) {
  if (PyUnicode_Check(sequence)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
  } else if (!PySequence_Check(sequence)) {
    py::set_cannot_convert(sequence, "Sequence");
  } else {
    return true;
  }
  py::wrap_argument_error(parameter);
  return false;
}

size_t length_hint(PyObject* sequence) {
  Py_ssize_t length = PySequence_Size(sequence);
  if (length >= 0) return static_cast<size_t>(length);
  PyErr_Clear();
  return 0;
}

bool check_query(const QueryExpr& expr) {
  if (expr.invalid_between() == nullptr) return true;
  PyErr_SetString(PyExc_TypeError,
                  "not yet implemented: bt() bounds must be numbers (int or float)");
  return false;
}

}  // namespace vantorel
