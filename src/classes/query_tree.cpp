#include "classes/query_tree.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <set>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "classes/classes.h"
#include "native/common/fx_hash.h"
#include "py/errors.h"
#include "py/ref.h"

namespace vantorel {

namespace {

// The builder of each operator, in QueryOp's order: the flat form writes its
// name.
constexpr const char* kBuilders[] = {"eq",  "ne",          "not_",      "in_",     "and_",
                                     "or_", "gt",          "ge",        "lt",      "le",
                                     "bt",  "starts_with", "ends_with", "contains"};
static_assert(std::size(kBuilders) == kQueryOpCount);

bool combines(QueryOp op) {
  return op == QueryOp::And || op == QueryOp::Or || op == QueryOp::Not;
}

bool values_equal(const PyValue& a, const PyValue& b) {
  if (a.kind() != b.kind()) return false;
  if (a.kind() <= ValueKind::Bool) return a.same_scalar(b);
  if (a.kind() == ValueKind::Ind) return a.object() == b.object();
  const int equal = PyObject_RichCompareBool(a.object(), b.object(), Py_EQ);
  if (equal < 0) throw py::PythonError();
  return equal == 1;
}

// Equal values hash alike: the scalars' and Indexable objects' hashes are
// functions of what equality compares, an unknown object's is its Python
// hash, and containers (which may change) hash by their kind alone.
uint64_t value_hash(const PyValue& value) {
  if (value.kind() != ValueKind::Iterable) return value.hash();
  return fx_hash_u64(0x100 + static_cast<uint64_t>(value.as_iterable().kind));
}

// Calls make(node, made) for every distinct node under `root`, children
// before their parents, and keeps what it returns in `made`, by node, which
// it returns. A node shared by several parents is made once.
template <class T, class Make>
std::unordered_map<const QueryExpr*, T> make_post_order(const QueryExpr& root, Make&& make) {
  std::unordered_map<const QueryExpr*, T> made;
  std::vector<std::pair<const QueryExpr*, bool>> pending{{&root, false}};  // node, expanded
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

[[noreturn]] void refuse_node(Py_ssize_t position, PyObject* node, const char* problem) {
  PyErr_Format(PyExc_ValueError, "query node %zd %R: %s", position, node, problem);
  throw py::PythonError();
}

}  // namespace

bool trees_equal(const QueryExpr& a, const QueryExpr& b) {
  std::vector<std::pair<const QueryExpr*, const QueryExpr*>> pending{{&a, &b}};
  // Pairs already queued: shared nodes are compared once, not once per path.
  std::set<std::pair<uintptr_t, uintptr_t>> queued;
  while (!pending.empty()) {
    const auto [x, y] = pending.back();
    pending.pop_back();
    if (x->op != y->op || !(x->attr == y->attr) || x->values.size() != y->values.size() ||
        x->children.size() != y->children.size()) {
      return false;
    }
    for (size_t i = 0; i < x->values.size(); ++i) {
      if (!values_equal(x->values[i], y->values[i])) return false;
    }
    for (size_t i = 0; i < x->children.size(); ++i) {
      const QueryExpr* left = x->children[i].get();
      const QueryExpr* right = y->children[i].get();
      if (left != right &&
          queued.emplace(reinterpret_cast<uintptr_t>(left), reinterpret_cast<uintptr_t>(right))
              .second) {
        pending.emplace_back(left, right);
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
    const char* name = kBuilders[static_cast<size_t>(node.op)];
    const bool parent = combines(node.op);
    const size_t count = parent ? node.children.size() : node.values.size();
    py::OwnedRef items =
        py::OwnedRef::steal(py::check(PyTuple_New(static_cast<Py_ssize_t>(count))));
    for (size_t i = 0; i < count; ++i) {
      PyObject* item = parent ? PyLong_FromSsize_t(positions.at(node.children[i].get()))
                              : node.values[i].to_python();
      PyTuple_SET_ITEM(items.get(), static_cast<Py_ssize_t>(i), py::check(item));
    }
    if (node.op == QueryOp::In)
      items = py::OwnedRef::steal(py::check(Py_BuildValue("(O)", items.get())));
    const std::string_view attr = node.attr.view();
    py::OwnedRef head = py::OwnedRef::steal(py::check(
        parent ? Py_BuildValue("(s)", name)
               : Py_BuildValue("(ss#)", name, attr.data(), static_cast<Py_ssize_t>(attr.size()))));
    py::OwnedRef tuple = py::OwnedRef::steal(py::check(PySequence_Concat(head.get(), items.get())));
    py::check(PyList_Append(nodes.get(), tuple.get()) == 0);
    return PyList_GET_SIZE(nodes.get()) - 1;
  });
  return py::check(PyList_AsTuple(nodes.get()));
}

PyObject* expr_from_flat_form(PyObject* nodes) {
  if (!PyTuple_Check(nodes) || PyTuple_GET_SIZE(nodes) == 0) {
    PyErr_Format(PyExc_TypeError, "a query's flat form is a non-empty tuple of nodes, not %R",
                 nodes);
    throw py::PythonError();
  }
  PyObject* type = reinterpret_cast<PyObject*>(py::check(query_expr_type()));
  std::vector<py::OwnedRef> built;
  for (Py_ssize_t position = 0; position < PyTuple_GET_SIZE(nodes); ++position) {
    PyObject* node = PyTuple_GET_ITEM(nodes, position);
    const Py_ssize_t size = PyTuple_Check(node) ? PyTuple_GET_SIZE(node) : 0;
    const char* name = size > 0 && PyUnicode_Check(PyTuple_GET_ITEM(node, 0))
                           ? py::check(PyUnicode_AsUTF8(PyTuple_GET_ITEM(node, 0)))
                           : "";
    const size_t op = static_cast<size_t>(
        std::find(std::begin(kBuilders), std::end(kBuilders), std::string_view(name)) -
        std::begin(kBuilders));
    if (op == kQueryOpCount) {
      refuse_node(position, node, "not a tuple that starts with the name of a builder");
    }
    py::OwnedRef args = py::OwnedRef::steal(py::check(PyTuple_GetSlice(node, 1, size)));
    for (Py_ssize_t i = 0; combines(static_cast<QueryOp>(op)) && i < size - 1; ++i) {
      PyObject* item = PyTuple_GET_ITEM(args.get(), i);
      const Py_ssize_t child = PyLong_Check(item) ? PyLong_AsSsize_t(item) : -1;
      if (child == -1 && PyErr_Occurred()) PyErr_Clear();
      if (child < 0 || child >= position) {
        refuse_node(position, node, "a child is not the position of an earlier node");
      }
      PyTuple_SetItem(args.get(), i, built[static_cast<size_t>(child)].new_reference());
    }
    py::OwnedRef make = py::OwnedRef::steal(py::check(PyObject_GetAttrString(type, kBuilders[op])));
    built.push_back(py::OwnedRef::steal(py::check(PyObject_Call(make.get(), args.get(), nullptr))));
  }
  return built.back().release();
}

}  // namespace vantorel
