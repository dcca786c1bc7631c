#include "classes/query_tree.h"

#include <cstdint>
#include <iterator>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "native/common/fx_hash.h"
#include "py/errors.h"
#include "py/ref.h"

namespace vantorel {

namespace {

// How the flat form writes a node of each operator: the builder's name, and
// what follows it.
enum class Shape { Value, Between, Values, Children, Child };

struct OpForm {
  QueryOp op;
  const char* name;
  Shape shape;
};

constexpr OpForm kOpForms[] = {
    {QueryOp::Eq, "eq", Shape::Value},
    {QueryOp::Ne, "ne", Shape::Value},
    {QueryOp::Gt, "gt", Shape::Value},
    {QueryOp::Ge, "ge", Shape::Value},
    {QueryOp::Lt, "lt", Shape::Value},
    {QueryOp::Le, "le", Shape::Value},
    {QueryOp::Bt, "bt", Shape::Between},
    {QueryOp::In, "in_", Shape::Values},
    {QueryOp::StartsWi, "starts_with", Shape::Value},
    {QueryOp::EndsWi, "ends_with", Shape::Value},
    {QueryOp::Contains, "contains", Shape::Value},
    {QueryOp::And, "and_", Shape::Children},
    {QueryOp::Or, "or_", Shape::Children},
    {QueryOp::Not, "not_", Shape::Child},
};
static_assert(std::size(kOpForms) == kQueryOpCount);

const OpForm& form_of(QueryOp op) {
  for (const OpForm& form : kOpForms) {
    if (form.op == op) return form;
  }
  throw InternalError("query operator without a flat form");
}

const OpForm* form_named(std::string_view name) {
  for (const OpForm& form : kOpForms) {
    if (name == form.name) return &form;
  }
  return nullptr;
}

// ---- equality and hashing --------------------------------------------------

bool values_equal(const PyValue& a, const PyValue& b) {
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case ValueKind::Int:
    case ValueKind::Float:
    case ValueKind::Str:
    case ValueKind::Bool:
      return a.same_scalar(b);
    case ValueKind::Ind:
      return a.object() == b.object();
    case ValueKind::Iterable:
    case ValueKind::Unknown:
      break;
  }
  const int equal = PyObject_RichCompareBool(a.object(), b.object(), Py_EQ);
  if (equal < 0) throw py::PythonError();
  return equal == 1;
}

// Equal values hash alike: the scalars' and Indexable objects' hashes are
// functions of what equality compares, an unknown object's is its Python
// hash, and containers (which may change) hash by their kind alone.
uint64_t value_hash(const PyValue& value) {
  if (value.kind() == ValueKind::Iterable) {
    return fx_hash_u64(0x100 + static_cast<uint64_t>(value.as_iterable().kind));
  }
  return value.hash();
}

struct NodePairHash {
  size_t operator()(const std::pair<const QueryExpr*, const QueryExpr*>& pair) const {
    FxHasher hasher;
    hasher.fold(reinterpret_cast<uintptr_t>(pair.first));
    hasher.fold(reinterpret_cast<uintptr_t>(pair.second));
    return static_cast<size_t>(hasher.finish());
  }
};

// Calls make(node, made) for every distinct node under `root`, children
// before their parents, and keeps what it returns in `made`, by node, which
// it returns. A node shared by several parents is made once.
template <class T, class Make>
std::unordered_map<const QueryExpr*, T> make_post_order(const QueryExpr& root, Make&& make) {
  std::unordered_map<const QueryExpr*, T> made;
  std::vector<std::pair<const QueryExpr*, bool>> pending{{&root, false}};
  while (!pending.empty()) {
    const auto [node, expanded] = pending.back();
    if (made.contains(node)) {
      pending.pop_back();
    } else if (!expanded && !node->children.empty()) {
      pending.back().second = true;
      for (auto child = node->children.rbegin(); child != node->children.rend(); ++child) {
        if (!made.contains(child->get())) pending.emplace_back(child->get(), false);
      }
    } else {
      pending.pop_back();
      T result = make(*node, made);
      made.emplace(node, std::move(result));
    }
  }
  return made;
}

// ---- the flat form ---------------------------------------------------------

PyObject* str_of(std::string_view text) {
  return py::check(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

// The tuple of one node; `positions` holds its children's.
PyObject* node_tuple(const QueryExpr& node,
                     const std::unordered_map<const QueryExpr*, Py_ssize_t>& positions) {
  const OpForm& form = form_of(node.op);
  std::vector<py::OwnedRef> items;
  items.push_back(py::OwnedRef::steal(str_of(form.name)));
  if (form.shape == Shape::Children || form.shape == Shape::Child) {
    for (const QueryExprPtr& child : node.children) {
      items.push_back(
          py::OwnedRef::steal(py::check(PyLong_FromSsize_t(positions.at(child.get())))));
    }
  } else {
    items.push_back(py::OwnedRef::steal(str_of(node.attr.view())));
    std::vector<py::OwnedRef> values;
    for (const PyValue& value : node.values) {
      values.push_back(py::OwnedRef::steal(py::check(value.to_python())));
    }
    if (form.shape == Shape::Values) {
      py::OwnedRef tuple =
          py::OwnedRef::steal(py::check(PyTuple_New(static_cast<Py_ssize_t>(values.size()))));
      for (size_t i = 0; i < values.size(); ++i) {
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), values[i].release());
      }
      items.push_back(std::move(tuple));
    } else {
      for (py::OwnedRef& value : values) items.push_back(std::move(value));
    }
  }
  PyObject* tuple = py::check(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
  for (size_t i = 0; i < items.size(); ++i) {
    PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), items[i].release());
  }
  return tuple;
}

[[noreturn]] void refuse_node(Py_ssize_t position, PyObject* node, const char* problem) {
  PyErr_Format(PyExc_ValueError, "query node %zd %R: %s", position, node, problem);
  throw py::PythonError();
}

std::string_view utf8_of(PyObject* text) {
  Py_ssize_t length = 0;
  const char* data = py::check(PyUnicode_AsUTF8AndSize(text, &length));
  return std::string_view(data, static_cast<size_t>(length));
}

// The leaf that `node` (a tuple) describes.
QueryExpr leaf_from(const OpForm& form, Py_ssize_t position, PyObject* node) {
  const Py_ssize_t size = PyTuple_GET_SIZE(node);
  const Py_ssize_t expected = form.shape == Shape::Between ? 4 : 3;
  if (size != expected) refuse_node(position, node, "wrong number of arguments");
  PyObject* attr = PyTuple_GET_ITEM(node, 1);
  if (!PyUnicode_Check(attr)) refuse_node(position, node, "the attribute is not a str");
  std::vector<PyValue> values;
  if (form.shape == Shape::Values) {
    PyObject* listed = PyTuple_GET_ITEM(node, 2);
    if (!PyTuple_Check(listed)) refuse_node(position, node, "the values are not a tuple");
    values.reserve(static_cast<size_t>(PyTuple_GET_SIZE(listed)));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(listed); ++i) {
      values.push_back(PyValue::from_python(PyTuple_GET_ITEM(listed, i)));
    }
  } else {
    for (Py_ssize_t i = 2; i < size; ++i) {
      values.push_back(PyValue::from_python(PyTuple_GET_ITEM(node, i)));
    }
  }
  return QueryExpr::leaf(form.op, utf8_of(attr), std::move(values));
}

// The combination that `node` describes, of nodes `built` before it.
QueryExpr combination_from(const OpForm& form, Py_ssize_t position, PyObject* node,
                           const std::vector<QueryExprPtr>& built) {
  const Py_ssize_t size = PyTuple_GET_SIZE(node);
  if (form.shape == Shape::Child && size != 2) refuse_node(position, node, "not_ takes one node");
  std::vector<QueryExprPtr> children;
  children.reserve(static_cast<size_t>(size - 1));
  for (Py_ssize_t i = 1; i < size; ++i) {
    PyObject* item = PyTuple_GET_ITEM(node, i);
    const Py_ssize_t child = PyLong_Check(item) ? PyLong_AsSsize_t(item) : -1;
    if (child == -1 && PyErr_Occurred()) PyErr_Clear();
    if (child < 0 || child >= position) {
      refuse_node(position, node, "a child is not the position of an earlier node");
    }
    children.push_back(built[static_cast<size_t>(child)]);
  }
  QueryExpr combined = QueryExpr::combine(form.op, std::move(children));
  if (combined.depth > QueryExpr::kMaxDepth) {
    PyErr_SetString(PyExc_RecursionError, "query expression nested too deeply");
    throw py::PythonError();
  }
  return combined;
}

}  // namespace

bool trees_equal(const QueryExpr& a, const QueryExpr& b) {
  using Pair = std::pair<const QueryExpr*, const QueryExpr*>;
  std::vector<Pair> pending{{&a, &b}};
  // Pairs already queued: shared nodes are compared once, not once per path.
  std::unordered_set<Pair, NodePairHash> queued;
  while (!pending.empty()) {
    const auto [x, y] = pending.back();
    pending.pop_back();
    if (x == y) continue;
    if (x->op != y->op || !(x->attr == y->attr) || x->values.size() != y->values.size() ||
        x->children.size() != y->children.size()) {
      return false;
    }
    for (size_t i = 0; i < x->values.size(); ++i) {
      if (!values_equal(x->values[i], y->values[i])) return false;
    }
    for (size_t i = 0; i < x->children.size(); ++i) {
      Pair children{x->children[i].get(), y->children[i].get()};
      if (children.first != children.second && queued.insert(children).second) {
        pending.push_back(children);
      }
    }
  }
  return true;
}

Py_hash_t tree_hash(const QueryExpr& root) {
  auto hashes = make_post_order<uint64_t>(root, [](const QueryExpr& node, const auto& made) {
    FxHasher hasher;
    hasher.fold(static_cast<uint64_t>(node.op));
    hasher.fold(hash_bytes(node.attr.view()));
    hasher.fold(node.values.size());
    for (const PyValue& value : node.values) hasher.fold(value_hash(value));
    hasher.fold(node.children.size());
    for (const QueryExprPtr& child : node.children) hasher.fold(made.at(child.get()));
    return hasher.finish();
  });
  const auto hash = static_cast<Py_hash_t>(hashes.at(&root));
  return hash == -1 ? -2 : hash;
}

PyObject* flat_form(const QueryExpr& root) {
  py::OwnedRef nodes = py::OwnedRef::steal(py::check(PyList_New(0)));
  make_post_order<Py_ssize_t>(root, [&](const QueryExpr& node, const auto& positions) {
    py::OwnedRef tuple = py::OwnedRef::steal(node_tuple(node, positions));
    py::check(PyList_Append(nodes.get(), tuple.get()) == 0);
    return PyList_GET_SIZE(nodes.get()) - 1;
  });
  return py::check(PyList_AsTuple(nodes.get()));
}

QueryExprPtr tree_from_flat_form(PyObject* nodes) {
  if (!PyTuple_Check(nodes) || PyTuple_GET_SIZE(nodes) == 0) {
    PyErr_Format(PyExc_TypeError, "a query's flat form is a non-empty tuple of nodes, not %R",
                 nodes);
    throw py::PythonError();
  }
  std::vector<QueryExprPtr> built;
  built.reserve(static_cast<size_t>(PyTuple_GET_SIZE(nodes)));
  for (Py_ssize_t position = 0; position < PyTuple_GET_SIZE(nodes); ++position) {
    PyObject* node = PyTuple_GET_ITEM(nodes, position);
    if (!PyTuple_Check(node) || PyTuple_GET_SIZE(node) == 0 ||
        !PyUnicode_Check(PyTuple_GET_ITEM(node, 0))) {
      refuse_node(position, node, "not a tuple that starts with an operator name");
    }
    const OpForm* form = form_named(utf8_of(PyTuple_GET_ITEM(node, 0)));
    if (form == nullptr) refuse_node(position, node, "unknown operator");
    const bool combines = form->shape == Shape::Children || form->shape == Shape::Child;
    // Created non-const: the destructor may empty a node it is the last owner of.
    built.push_back(std::make_shared<QueryExpr>(combines
                                                    ? combination_from(*form, position, node, built)
                                                    : leaf_from(*form, position, node)));
  }
  return built.back();
}

}  // namespace vantorel
