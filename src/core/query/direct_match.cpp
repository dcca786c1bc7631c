#include "core/query/direct_match.h"

#include <optional>
#include <set>
#include <type_traits>
#include <utility>

#include "native/common/fx_hash.h"
#include "values/attribute_names.h"
#include "core/query/number_key.h"
#include "native/structures/string_interner/string_interner.h"

namespace vantorel {

namespace {

// Equality as the indexes decide it: numbers by order key (1 == 1.0, NaN
// never), strings by bytes, booleans only with booleans, everything else by
// the values' own equality (identity for objects).
bool equal_to(const PyValue& stored, const PyValue& wanted) {
  if (wanted.is_number())
    return stored.is_number() && !is_nan(wanted) && key_of(stored) == key_of(wanted);
  switch (wanted.kind()) {
    case ValueKind::Str:
      return stored.kind() == ValueKind::Str && stored.as_str() == wanted.as_str();
    case ValueKind::Bool:
      return stored.kind() == ValueKind::Bool && stored.as_bool() == wanted.as_bool();
    default:
      return stored == wanted;
  }
}

// NaN lies in no range: its key sorts past the infinities, so it is refused
// before the keys are compared.
bool in_range(const PyValue& stored, QueryOp op, const QueryExpr& expr) {
  if (!stored.is_number() || is_nan(stored)) return false;
  for (const PyValue& bound : expr.values) {
    if (!bound.is_number() || is_nan(bound)) return false;
  }
  const OrderKey key = key_of(stored);
  const OrderKey bound = key_of(expr.values[0]);
  switch (op) {
    case QueryOp::Gt:
      return key > bound;
    case QueryOp::Ge:
      return key >= bound;
    case QueryOp::Lt:
      return key < bound;
    case QueryOp::Le:
      return key <= bound;
    case QueryOp::Bt:
      return bound <= key && key <= key_of(expr.values[1]);
    default:
      return false;
  }
}

bool text_matches(const PyValue& stored, QueryOp op, const PyValue& pattern) {
  if (stored.kind() != ValueKind::Str || pattern.kind() != ValueKind::Str) return false;
  const std::string_view text = stored.as_str();
  const std::string_view needle = pattern.as_str();
  switch (op) {
    case QueryOp::StartsWi:
      return text.starts_with(needle);
    case QueryOp::EndsWi:
      return text.ends_with(needle);
    case QueryOp::Contains:
      return text.find(needle) != std::string_view::npos;
    default:
      return false;
  }
}

// Calls visit(leaf) for `value`, or for each element of a list, tuple or set
// (at any depth) in its place, until visit returns true; returns whether it
// did. Elements count for their container's holder, as the indexes count them.
template <class Visit>
bool any_leaf(const PyValue& value, Visit& visit) {
  if (value.kind() != ValueKind::Iterable) return visit(value);
  for (const PyValue& element : *value.as_iterable().elements) {
    if (any_leaf(element, visit)) return true;
  }
  return false;
}

// The leaf comparison on one value that is not a container.
bool leaf_matches(const PyValue& stored, QueryOp op, const QueryExpr& expr) {
  switch (op) {
    case QueryOp::Eq:
      return equal_to(stored, expr.values[0]);
    case QueryOp::In:
      for (const PyValue& wanted : expr.values) {
        if (equal_to(stored, wanted)) return true;
      }
      return false;
    case QueryOp::StartsWi:
    case QueryOp::EndsWi:
    case QueryOp::Contains:
      return text_matches(stored, op, expr.values[0]);
    default:
      return in_range(stored, op, expr);
  }
}

// The comparison on one stored value; a container matches when an element does.
bool value_matches(const PyValue& stored, QueryOp op, const QueryExpr& expr) {
  auto matches = [&](const PyValue& leaf) { return leaf_matches(leaf, op, expr); };
  return any_leaf(stored, matches);
}

// The walk from one object along a dotted path through the objects' stores:
// visit(leaf) sees every leaf value (elements of containers one by one) that
// the object holds at the path, until it returns true. Indexable values, in
// containers too, lead to the next name; names beginning with "_" lead
// nowhere, as nested cores do not index them.
template <class Visit>
class PathWalk {
 public:
  explicit PathWalk(Visit& visit) : visit_(visit) {}

  // Whether visit returned true.
  bool object(const IndexableRecord& record, std::string_view path) {
    // An object reached again with the same rest of the path has had its
    // values visited already (and none ended the walk).
    if (!visited_.emplace(record.id, path.size()).second) return false;
    const size_t dot = path.find('.');
    const std::string_view head = path.substr(0, dot);
    if (head.empty() || !is_indexed_name(head)) return false;
    std::optional<uint32_t> attribute = global_interner().get(head);
    if (!attribute) return false;
    std::optional<PyValue> value;
    {
      auto store = std::as_const(*record.attributes).lock();
      if (const PyValue* stored = store->get(*attribute)) value = *stored;
    }
    if (!value) return false;
    if (dot == std::string_view::npos) return any_leaf(*value, visit_);
    const std::string_view rest = path.substr(dot + 1);
    auto follow = [&](const PyValue& leaf) {
      return leaf.kind() == ValueKind::Ind && object(*leaf.as_indexable().owned_handle, rest);
    };
    return any_leaf(*value, follow);
  }

 private:
  Visit& visit_;
  std::set<std::pair<uint32_t, size_t>> visited_;
};

template <class Visit>
bool walk_path(const IndexableRecord& record, std::string_view path, Visit&& visit) {
  return PathWalk<std::remove_reference_t<Visit>>(visit).object(record, path);
}

}  // namespace

bool object_matches(const IndexableRecord& record, std::string_view path, QueryOp op,
                    const QueryExpr& expr) {
  return walk_path(record, path, [&](const PyValue& leaf) { return leaf_matches(leaf, op, expr); });
}

void collect_path_values(const IndexableRecord& record, std::string_view path,
                         std::vector<PyValue>& out) {
  walk_path(record, path, [&](const PyValue& leaf) {
    if (!is_nan(leaf)) out.push_back(leaf);
    return false;
  });
}

bool same_query_value(const PyValue& a, const PyValue& b) {
  return equal_to(a, b);
}

uint64_t QueryValueHash::operator()(const PyValue& value) const {
  switch (value.kind()) {
    case ValueKind::Int:
    case ValueKind::Float: {
      const OrderKey key = key_of(value);
      FxHasher hasher;
      hasher.fold(key.head);
      hasher.fold(key.tail);
      return hasher.finish();
    }
    case ValueKind::Str:
      return hash_str(value.as_str());
    case ValueKind::Bool:
      return hash_bool(value.as_bool());
    default:
      return value.hash();
  }
}

bool attribute_matches(const IndexableRecord& record, uint32_t attribute, QueryOp op,
                       const QueryExpr& expr) {
  auto store = std::as_const(*record.attributes).lock();
  const PyValue* value = store->get(attribute);
  return value != nullptr && value_matches(*value, op, expr);
}

}  // namespace vantorel
