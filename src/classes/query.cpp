// PyQueryExpr: Python-built query trees.
#include <algorithm>
#include <iterator>
#include <string>
#include <utility>

#include "classes/classes.h"
#include "classes/query_text.h"
#include "classes/query_tree.h"
#include "native/common/no_destructor.h"
#include "py/args.h"
#include "py/entry.h"
#include "py/errors.h"
#include "py/gil.h"

namespace vantorel {

namespace {

// The tree is immutable once built and shared with every expression that
// combines it.
struct QueryExprObject {
  PyObject_HEAD QueryExprPtr expr;
  Py_hash_t hash;  // the tree's hash once asked for, else -1
};

QueryExprObject* as_query(PyObject* object) {
  return reinterpret_cast<QueryExprObject*>(object);
}

PyObject* wrap_shared(QueryExprPtr shared) {
  PyTypeObject* type = query_expr_type();
  if (type == nullptr) return nullptr;
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&as_query(self)->expr) QueryExprPtr(std::move(shared));
  as_query(self)->hash = -1;
  return self;
}

PyObject* wrap(QueryExpr expr) {
  // Created non-const: the destructor may empty a node it is the last owner of.
  return wrap_shared(std::make_shared<QueryExpr>(std::move(expr)));
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
  return as_query(object)->expr;
}

void query_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  as_query(self)->expr.~QueryExprPtr();
  type->tp_free(self);
  Py_DECREF(type);
}

// The cycle collector sees the values of the nodes that only this
// expression holds. A node shared with another expression (combining shares
// children) is reported by none: a reference must be reported by every path
// that keeps it alive, or by none.
int query_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  const QueryExprPtr& root = as_query(self)->expr;
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
    released = std::exchange(as_query(self)->expr, empty_expr());
  } catch (const std::bad_alloc&) {
    return 0;
  }
  return 0;  // the tree is released here
}

// The names of the one-value builders, as their argument errors print them,
// in QueryOp's order (null for the other operators).
constexpr const char* kSingleNames[] = {"PyQueryExpr.eq()",
                                        "PyQueryExpr.ne()",
                                        nullptr,
                                        nullptr,
                                        nullptr,
                                        nullptr,
                                        "PyQueryExpr.gt()",
                                        "PyQueryExpr.ge()",
                                        "PyQueryExpr.lt()",
                                        "PyQueryExpr.le()",
                                        nullptr,
                                        "PyQueryExpr.starts_with()",
                                        "PyQueryExpr.ends_with()",
                                        "PyQueryExpr.contains()"};
static_assert(std::size(kSingleNames) == kQueryOpCount);

// Builders of one attribute and one value.
template <QueryOp kOp>
PyObject* build_single(PyObject*, const py::ParsedArgs& args) {
  std::string_view attr = attr_argument(args.values[0]);
  std::vector<PyValue> values;
  values.push_back(PyValue::from_python(args.values[1]));
  return wrap(QueryExpr::leaf(kOp, attr, std::move(values)));
}

PyObject* build_between(PyObject*, const py::ParsedArgs& args) {
  std::string_view attr = attr_argument(args.values[0]);
  std::vector<PyValue> values;
  values.push_back(PyValue::from_python(args.values[1]));
  values.push_back(PyValue::from_python(args.values[2]));
  return wrap(QueryExpr::leaf(QueryOp::Bt, attr, std::move(values)));
}

constexpr char kInStrRefusal[] =
    "in_() takes a collection of values, not a str (a str would be read as its characters); "
    "wrap a single value in a list: in_(attr, [value])";

// The elements of any iterable but a str, converted in order.
std::vector<PyValue> iterable_values(PyObject* iterable, const char* parameter) {
  std::vector<PyValue> values;
  values.reserve(reserve_hint(iterable));
  const bool ok = for_each_in_iterable(iterable, parameter, kInStrRefusal, [&](PyObject* item) {
    values.push_back(PyValue::from_python(item));
    return true;
  });
  if (!ok) throw py::PythonError();
  return values;
}

PyObject* build_in(PyObject*, const py::ParsedArgs& args) {
  std::string_view attr = attr_argument(args.values[0]);
  return wrap(QueryExpr::leaf(QueryOp::In, attr, iterable_values(args.values[1], "values")));
}

template <QueryOp kOp>
PyObject* build_combined(PyObject*, const py::ParsedArgs& args) {
  std::vector<QueryExprPtr> children;
  PyObject* rest = args.var_positional.get();
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(rest); ++i) {
    QueryExprPtr child = shared_expr_of(PyTuple_GET_ITEM(rest, i), "exprs");
    if (child == nullptr) return nullptr;
    children.push_back(std::move(child));
  }
  return wrap_combined(QueryExpr::combine(kOp, std::move(children)));
}

PyObject* build_not(PyObject*, const py::ParsedArgs& args) {
  QueryExprPtr child = shared_expr_of(args.values[0], "exprs");
  if (child == nullptr) return nullptr;
  return wrap_combined(QueryExpr::combine(QueryOp::Not, {std::move(child)}));
}

// `a & b`, `a | b` and `~a`: the trees that and_(a, b), or_(a, b) and not_(a)
// build. An operand that is not a PyQueryExpr gets NotImplemented, so the
// interpreter tries the other operand and then raises its usual TypeError.
template <QueryOp kOp>
PyObject* combine_operands(PyObject* left, PyObject* right) {
  const char* name = kOp == QueryOp::And ? "PyQueryExpr.__and__()" : "PyQueryExpr.__or__()";
  return py::enter<PyObject*>(name, nullptr, [&]() -> PyObject* {
    PyTypeObject* type = query_expr_type();
    if (type == nullptr) return nullptr;
    if (!PyObject_TypeCheck(left, type) || !PyObject_TypeCheck(right, type)) {
      Py_RETURN_NOTIMPLEMENTED;
    }
    std::vector<QueryExprPtr> children{as_query(left)->expr, as_query(right)->expr};
    return wrap_combined(QueryExpr::combine(kOp, std::move(children)));
  });
}

PyObject* invert_operand(PyObject* operand) {
  return py::enter<PyObject*>("PyQueryExpr.__invert__()", nullptr, [&]() -> PyObject* {
    QueryExprPtr child = as_query(operand)->expr;
    return wrap_combined(QueryExpr::combine(QueryOp::Not, {std::move(child)}));
  });
}

// A query has no truth value: `a and b` would quietly mean `b`.
int query_bool(PyObject*) {
  return py::enter<int>("PyQueryExpr.__bool__()", -1, []() -> int {
    PyErr_SetString(PyExc_TypeError,
                    "the truth value of a PyQueryExpr is ambiguous: combine expressions with "
                    "&, |, ~ (or PyQueryExpr.and_, or_, not_), not with and, or, not");
    return -1;
  });
}

// == and != compare trees (see query_tree.h); other comparisons, and other
// operands, are not implemented.
PyObject* query_richcompare(PyObject* left, PyObject* right, int op) {
  return py::enter<PyObject*>("PyQueryExpr.__eq__()", nullptr, [&]() -> PyObject* {
    PyTypeObject* type = query_expr_type();
    if (type == nullptr) return nullptr;
    if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(left, type) ||
        !PyObject_TypeCheck(right, type)) {
      Py_RETURN_NOTIMPLEMENTED;
    }
    const bool equal = trees_equal(*as_query(left)->expr, *as_query(right)->expr);
    return PyBool_FromLong(equal == (op == Py_EQ) ? 1 : 0);
  });
}

Py_hash_t query_hash(PyObject* self) {
  return py::enter<Py_hash_t>("PyQueryExpr.__hash__()", -1, [&]() -> Py_hash_t {
    QueryExprObject* object = as_query(self);
    if (object->hash == -1) object->hash = tree_hash(*object->expr);
    return object->hash;
  });
}

bool check_receiver(PyObject* self) {
  return query_expr_of(self, "self") != nullptr;
}

// (_restore_query, (flat form,)): pickles name the module function.
PyObject* query_reduce(PyObject* self, const py::ParsedArgs&) {
  static PyObject* restore = nullptr;  // one reference, kept for the life of the process
  if (restore == nullptr) {
    py::OwnedRef module = py::OwnedRef::steal(py::check(PyImport_ImportModule("Vantorel")));
    restore = py::check(PyObject_GetAttrString(module.get(), "_restore_query"));
  }
  py::OwnedRef nodes = py::OwnedRef::steal(flat_form(*as_query(self)->expr));
  return Py_BuildValue("(O(O))", restore, nodes.get());
}

// An expression never changes, so its copies, deep ones too, are itself: a
// deep copy keeps the very Indexable objects it names.
PyObject* query_copy(PyObject* self, const py::ParsedArgs&) {
  return Py_NewRef(self);
}

PyObject* restore_query(PyObject* /*module*/, const py::ParsedArgs& args) {
  return expr_from_flat_form(args.values[0]);
}

PyObject* parse(PyObject*, const py::ParsedArgs& args) {
  return wrap_shared(parse_text_argument(args.values[0]));
}

std::string repr_text(PyObject* self) {
  return "<QueryExpr: " + as_query(self)->expr->debug() + ">";
}

// The text of the expression (query_text.h). One that has no text form
// gives its repr, as str() did before expressions had text, so that
// printing never fails; parse() refuses that repr, saying so.
PyObject* query_str(PyObject* self) {
  return py::enter<PyObject*>("PyQueryExpr.__str__()", nullptr, [&]() -> PyObject* {
    PyObject* text = query_text(*as_query(self)->expr);
    return text != nullptr ? text : py::str_of(repr_text(self));
  });
}

PyObject* query_repr(PyObject* self) {
  return py::enter<PyObject*>("PyQueryExpr.__repr__()", nullptr,
                              [&] { return py::str_of(repr_text(self)); });
}

PyObject* query_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined for PyQueryExpr");
  return nullptr;
}

template <QueryOp kOp>
const py::Method kSingle{{kSingleNames[static_cast<size_t>(kOp)], {"attr", "value"}, 2},
                         build_single<kOp>};
const py::Method kBetween{{"PyQueryExpr.bt()", {"attr", "lower", "upper"}, 3}, build_between};
const py::Method kIn{{"PyQueryExpr.in_()", {"attr", "values"}, 2}, build_in};
template <QueryOp kOp>
const py::Method kCombined{
    {kOp == QueryOp::And ? "PyQueryExpr.and_()" : "PyQueryExpr.or_()", {}, 0, true, false},
    build_combined<kOp>};
const py::Method kNot{{"PyQueryExpr.not_()", {"exprs"}, 1}, build_not};
const py::Method kReduce{{"PyQueryExpr.__reduce__()", {}, 0}, query_reduce, check_receiver};
const py::Method kCopy{{"PyQueryExpr.__copy__()", {}, 0}, query_copy, check_receiver};
const py::Method kDeepCopy{{"PyQueryExpr.__deepcopy__()", {"memo"}, 1}, query_copy, check_receiver};
const py::Method kParse{{"PyQueryExpr.parse()", {"text"}, 1}, parse};
const py::Method kRestoreQueryMethod{{"_restore_query()", {"nodes"}, 1}, restore_query};

PyMethodDef kRestoreQuery = py::method_def<kRestoreQueryMethod>(
    "_restore_query",
    "_restore_query(nodes)\n--\n\n"
    "The PyQueryExpr that a flat form describes: the reconstructor of pickles.");

// The builders are static methods.
template <const py::Method& kMethod>
PyMethodDef builder_def(const char* name, const char* doc) {
  return py::method_def<kMethod>(name, doc, METH_STATIC);
}

PyMethodDef kQueryMethods[] = {
    builder_def<kSingle<QueryOp::Eq>>("eq", "eq(attr, value)\n--\n\nattr == value"),
    builder_def<kSingle<QueryOp::Ne>>("ne", "ne(attr, value)\n--\n\nattr != value"),
    builder_def<kSingle<QueryOp::Gt>>("gt", "gt(attr, value)\n--\n\nattr > value"),
    builder_def<kSingle<QueryOp::Ge>>("ge", "ge(attr, value)\n--\n\nattr >= value"),
    builder_def<kSingle<QueryOp::Lt>>("lt", "lt(attr, value)\n--\n\nattr < value"),
    builder_def<kSingle<QueryOp::Le>>("le", "le(attr, value)\n--\n\nattr <= value"),
    builder_def<kBetween>("bt", "bt(attr, lower, upper)\n--\n\nlower <= attr <= upper"),
    builder_def<kIn>("in_", "in_(attr, values)\n--\n\nattr equals one of values"),
    builder_def<kSingle<QueryOp::StartsWi>>(
        "starts_with", "starts_with(attr, value)\n--\n\nattr begins with value"),
    builder_def<kSingle<QueryOp::EndsWi>>("ends_with",
                                          "ends_with(attr, value)\n--\n\nattr ends with value"),
    builder_def<kSingle<QueryOp::Contains>>(
        "contains", "contains(attr, value)\n--\n\nattr holds value at any position"),
    builder_def<kCombined<QueryOp::And>>("and_", "and_(*exprs)\n--\n\nAll of the expressions"),
    builder_def<kCombined<QueryOp::Or>>("or_", "or_(*exprs)\n--\n\nAny of the expressions"),
    builder_def<kNot>("not_", "not_(exprs)\n--\n\nThe complement of the expression"),
    builder_def<kParse>(
        "parse",
        "parse(text)\n--\n\nThe expression that `text` spells, in a small Python-like language: "
        "dotted attribute names, literals (int, float, str, True, False), == != < <= > >= "
        "(chained too: 18 <= age < 65), in [...] and not in [...], and / or / not, "
        "parentheses, name.startswith(s), name.endswith(s), name.contains(s). Nothing is "
        "evaluated. str() of an expression is this text, parse(str(e)) == e (for an "
        "expression holding a value with no literal, str() is the repr, which parse refuses). "
        "Raises ValueError, showing the position, for anything else."),
    py::method_def<kReduce>("__reduce__", "__reduce__($self)\n--\n\nThe pickled form."),
    py::method_def<kCopy>("__copy__", "__copy__($self)\n--\n\nThe expression itself."),
    py::method_def<kDeepCopy>(
        "__deepcopy__",
        "__deepcopy__($self, memo)\n--\n\nThe expression itself: it never changes."),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kQuerySlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(query_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(query_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(query_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(query_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(query_repr)},
    {Py_tp_str, reinterpret_cast<void*>(query_str)},
    {Py_tp_methods, kQueryMethods},
    {Py_nb_and, reinterpret_cast<void*>(combine_operands<QueryOp::And>)},
    {Py_nb_or, reinterpret_cast<void*>(combine_operands<QueryOp::Or>)},
    {Py_nb_invert, reinterpret_cast<void*>(invert_operand)},
    {Py_nb_bool, reinterpret_cast<void*>(query_bool)},
    {Py_tp_richcompare, reinterpret_cast<void*>(query_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(query_hash)},
    {Py_tp_doc, const_cast<char*>("A query expression, built with the static methods or read "
                                  "from text with parse(); str() gives that text.")},
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

PyMethodDef* restore_query_method() {
  return &kRestoreQuery;
}

bool is_instance(PyObject* object, PyTypeObject* type, const char* name, const char* parameter) {
  if (type == nullptr) return false;
  if (PyObject_TypeCheck(object, type)) return true;
  py::set_cannot_convert(object, name, parameter);
  return false;
}

const QueryExpr* query_expr_of(PyObject* object, const char* parameter) {
  if (!is_instance(object, query_expr_type(), "PyQueryExpr", parameter)) return nullptr;
  return as_query(object)->expr.get();
}

std::vector<QueryExpr> kwargs_to_query(const std::vector<std::pair<PyObject*, PyObject*>>& kwargs) {
  std::vector<QueryExpr> exprs;
  exprs.reserve(kwargs.size());
  for (const auto& [key, value] : kwargs) {
    std::vector<PyValue> values;
    values.push_back(PyValue::from_python(value));
    exprs.push_back(QueryExpr::leaf(QueryOp::Eq, py::utf8_of(key), std::move(values)));
  }
  return exprs;
}

py::OwnedRef iterator_of_argument(PyObject* iterable, const char* parameter,
                                  const char* str_refusal) {
  if (PyUnicode_Check(iterable)) {
    PyErr_SetString(PyExc_TypeError, str_refusal);
    py::wrap_argument_error(parameter);
    return py::OwnedRef();
  }
  py::OwnedRef iterator = py::OwnedRef::steal(PyObject_GetIter(iterable));
  if (!iterator) py::wrap_argument_error(parameter);
  return iterator;
}

size_t reserve_hint(PyObject* iterable) {
  constexpr Py_ssize_t kMaxHint = 4096;
  if (PyList_Check(iterable)) return static_cast<size_t>(PyList_GET_SIZE(iterable));
  if (PyTuple_Check(iterable)) return static_cast<size_t>(PyTuple_GET_SIZE(iterable));
  if (PyAnySet_Check(iterable)) return static_cast<size_t>(PySet_GET_SIZE(iterable));
  if (PyDict_Check(iterable)) return static_cast<size_t>(PyDict_GET_SIZE(iterable));
  const Py_ssize_t hint = PyObject_LengthHint(iterable, 0);
  if (hint < 0) {
    PyErr_Clear();
    return 0;
  }
  return static_cast<size_t>(std::min(hint, kMaxHint));
}

std::string_view attr_argument(PyObject* attr) {
  if (!PyUnicode_Check(attr)) {
    py::set_cannot_convert(attr, "PyString", "attr");
    throw py::PythonError();
  }
  return py::utf8_of(attr);
}

QueryExprPtr parse_text_argument(PyObject* text) {
  if (!PyUnicode_Check(text)) {
    py::set_cannot_convert(text, "PyString", "text");
    throw py::PythonError();
  }
  return parse_query_text(text);
}

bool check_query(const QueryExpr& expr) {
  if (expr.invalid_between() == nullptr) return true;
  PyErr_SetString(PyExc_TypeError,
                  "not yet implemented: bt() bounds must be numbers (int or float)");
  return false;
}

}  // namespace vantorel
