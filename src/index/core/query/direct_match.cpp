#include "index/core/query/direct_match.h"

#include <optional>
#include <set>
#include <utility>

#include "index/attribute_names.h"
#include "index/core/query/number_key.h"
#include "index/core/structures/string_interner/string_interner.h"

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

// The leaf comparison on one value; a container matches when an element does.
bool value_matches(const PyValue& stored, QueryOp op, const QueryExpr& expr) {
  if (stored.kind() == ValueKind::Iterable) {
    for (const PyValue& element : *stored.as_iterable().elements) {
      if (value_matches(element, op, expr)) return true;
    }
    return false;
  }
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

class PathMatcher {
 public:
  PathMatcher(QueryOp op, const QueryExpr& expr) : op_(op), expr_(expr) {}

  bool object(const IndexableRecord& record, std::string_view path) {
    // An object reached again with the same rest of the path was already
    // found not to match (a match ends the search).
    if (!visited_.emplace(record.id, path.size()).second) return false;
    const size_t dot = path.find('.');
    const std::string_view head = path.substr(0, dot);
    if (head.empty() || !is_indexed_name(head)) return false;
    std::optional<uint32_t> attribute = global_interner().get(head);
    if (!attribute) return false;
    std::optional<PyValue> value;
    {
      auto store = record.attributes->lock_to_read("cannot read from indexable");
      if (const PyValue* stored = store->get(*attribute)) value = *stored;
    }
    if (!value) return false;
    if (dot == std::string_view::npos) return value_matches(*value, op_, expr_);
    return held(*value, path.substr(dot + 1));
  }

 private:
  // Follows the Indexable objects held by `value` (in containers too).
  bool held(const PyValue& value, std::string_view rest) {
    if (value.kind() == ValueKind::Ind) return object(*value.as_indexable().owned_handle, rest);
    if (value.kind() != ValueKind::Iterable) return false;
    for (const PyValue& element : *value.as_iterable().elements) {
      if (held(element, rest)) return true;
    }
    return false;
  }

  QueryOp op_;
  const QueryExpr& expr_;
  std::set<std::pair<uint32_t, size_t>> visited_;
};

}  // namespace

bool object_matches(const IndexableRecord& record, std::string_view path, QueryOp op,
                    const QueryExpr& expr) {
  return PathMatcher(op, expr).object(record, path);
}

bool attribute_matches(const IndexableRecord& record, uint32_t attribute, QueryOp op,
                       const QueryExpr& expr) {
  auto store = record.attributes->lock_to_read("cannot read from indexable");
  const PyValue* value = store->get(attribute);
  return value != nullptr && value_matches(*value, op, expr);
}

}  // namespace vantorel
