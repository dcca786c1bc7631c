// The rules by which a stored value answers a query value: one home for every
// path that compares them (the bitmap operators of QueryMap, the point path,
// the direct matcher, facet counts and the stored-value sort).
//
// - Numbers compare by their 76-bit order key: integers and floats on one
//   scale (1 == 1.0, -0.0 == 0), NaN equal to nothing and in no range.
// - Strings compare by their UTF-8 bytes; only strings take the string
//   operators.
// - Booleans equal only booleans (True is not 1) and lie in no range.
// - Indexable objects and every other kind compare by identity.
// - A list, tuple or set is never a value of its own: each element counts,
//   at any depth, as if its holder held it; a dict holds nothing. So a
//   container as a query value matches nothing.
// - Ranges take numbers only; a bound that is no number or NaN admits
//   nothing.
// - A dotted name reaches the attributes that nested cores index: names
//   beginning with "_" are not indexed there (is_indexed_name).
//
// Each operator first turns its query value into a QueryKey (what it can
// match) or a KeyRange, then compares stored values with that. Everything
// here is inline and allocates nothing: the evaluator's leaves and the point
// path run through it.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "core/query/query_ops.h"
#include "native/common/fx_hash.h"
#include "native/structures/ordered_bitmap/order_key.h"
#include "native/structures/value_sets/value_sets.h"
#include "values/value.h"

namespace vantorel {

// The order key of a number value. `number` must be an Int or a Float.
inline OrderKey key_of(const PyValue& number) {
  return number.kind() == ValueKind::Int ? order_key(number.as_int())
                                         : order_key(number.as_float());
}

inline bool is_nan(const PyValue& value) {
  return value.kind() == ValueKind::Float && value.as_float() != value.as_float();
}

// What a query value can match.
struct QueryKey {
  // In the order in which value_counts reports equally frequent values.
  enum class Kind : uint8_t { Nothing, Number, Text, Boolean, Identity };

  Kind kind = Kind::Nothing;
  OrderKey key{};                  // Number
  std::string_view text{};         // Text: views the query value's bytes
  bool flag = false;               // Boolean
  const PyValue* value = nullptr;  // Identity: the query value itself

  static QueryKey number(int64_t value) { return {.kind = Kind::Number, .key = order_key(value)}; }
  static QueryKey number(double value) {  // NaN: nothing
    return value != value ? QueryKey() : QueryKey{.kind = Kind::Number, .key = order_key(value)};
  }
  static QueryKey string(std::string_view bytes) { return {.kind = Kind::Text, .text = bytes}; }

  bool matches_nothing() const { return kind == Kind::Nothing; }
};

// The key of a value as a number: an Int or a Float that is not NaN; else
// nothing. Range bounds and the stored values a range admits.
inline QueryKey number_key(const PyValue& value) {
  if (value.kind() == ValueKind::Int) return QueryKey::number(value.as_int());
  if (value.kind() == ValueKind::Float) return QueryKey::number(value.as_float());
  return QueryKey();
}

// The key of an equality operand (Eq, Ne, each value of In).
inline QueryKey equality_key(const PyValue& value) {
  switch (value.kind()) {
    case ValueKind::Int:
    case ValueKind::Float:
      return number_key(value);
    case ValueKind::Str:
      return QueryKey::string(value.as_str());
    case ValueKind::Bool:
      return {.kind = QueryKey::Kind::Boolean, .flag = value.as_bool()};
    case ValueKind::Ind:
    case ValueKind::Unknown:
      return {.kind = QueryKey::Kind::Identity, .value = &value};
    case ValueKind::Iterable:
      break;
  }
  return QueryKey();
}

// The key of a string operator's pattern (StartsWi, EndsWi, Contains).
inline QueryKey pattern_key(const PyValue& value) {
  return value.kind() == ValueKind::Str ? QueryKey::string(value.as_str()) : QueryKey();
}

// Whether the stored value `stored` (not a container) equals `wanted`.
inline bool equals(const PyValue& stored, const QueryKey& wanted) {
  switch (wanted.kind) {
    case QueryKey::Kind::Nothing:
      return false;
    case QueryKey::Kind::Number:
      return stored.is_number() && key_of(stored) == wanted.key;
    case QueryKey::Kind::Text:
      return stored.kind() == ValueKind::Str && stored.as_str() == wanted.text;
    case QueryKey::Kind::Boolean:
      return stored.kind() == ValueKind::Bool && stored.as_bool() == wanted.flag;
    case QueryKey::Kind::Identity:
      return stored == *wanted.value;
  }
  return false;
}

// The order keys that a range operator admits: one bound (Gt, Ge, Lt, Le)
// or two (Bt, both inclusive). Empty when a bound is no number or NaN, or
// when the bounds cross.
class KeyRange {
 public:
  // The range of the operator `op` (Gt, Ge, Lt, Le or Bt) over its operands.
  static KeyRange of(QueryOp op, std::span<const PyValue> operands) {
    KeyRange range;
    const bool lower = op == QueryOp::Gt || op == QueryOp::Ge || op == QueryOp::Bt;
    const bool upper = op == QueryOp::Lt || op == QueryOp::Le || op == QueryOp::Bt;
    if (lower && !bound(operands[0], op != QueryOp::Gt, range.lower_, range.has_lower_)) {
      return range;
    }
    if (upper && !bound(operands[op == QueryOp::Bt ? 1 : 0], op != QueryOp::Lt, range.upper_,
                        range.has_upper_)) {
      return range;
    }
    range.empty_ = !(lower || upper) || (lower && upper && range.upper_.key < range.lower_.key);
    return range;
  }

  bool empty() const { return empty_; }
  // The bounds, null when open.
  const KeyBound<OrderKey>* lower() const { return has_lower_ ? &lower_ : nullptr; }
  const KeyBound<OrderKey>* upper() const { return has_upper_ ? &upper_ : nullptr; }
  // Whether the stored value `stored` (not a container) lies in the range:
  // a number that is not NaN (whose key sorts past the infinities), between
  // the bounds.
  bool contains(const PyValue& stored) const {
    if (empty_) return false;
    const QueryKey number = number_key(stored);
    if (number.matches_nothing()) return false;
    const OrderKey& key = number.key;
    if (has_lower_ && (lower_.inclusive ? key < lower_.key : key <= lower_.key)) return false;
    if (has_upper_ && (upper_.inclusive ? upper_.key < key : upper_.key <= key)) return false;
    return true;
  }

 private:
  // Sets a bound from the operand `value`; false when it admits nothing.
  static bool bound(const PyValue& value, bool inclusive, KeyBound<OrderKey>& out, bool& has) {
    const QueryKey number = number_key(value);
    if (number.matches_nothing()) return false;
    out = KeyBound<OrderKey>{number.key, inclusive};
    has = true;
    return true;
  }

  bool empty_ = true;
  bool has_lower_ = false;
  bool has_upper_ = false;
  KeyBound<OrderKey> lower_{};
  KeyBound<OrderKey> upper_{};
};

// Calls visit(leaf) for `value`, or for each element of a list, tuple or set
// (at any depth) in its place, until visit returns true; returns whether it
// did. A dict visits nothing.
template <class Visit>
bool any_leaf(const PyValue& value, Visit& visit) {
  if (value.kind() != ValueKind::Iterable) return visit(value);
  for (const PyValue& element : *value.as_iterable().elements) {
    if (any_leaf(element, visit)) return true;
  }
  return false;
}

// One leaf operator (Eq, In, a range or a string operator; not Ne) with its
// operands, as a test of stored values. Views `operands`, which must outlive
// it.
class Comparison {
 public:
  Comparison(QueryOp op, std::span<const PyValue> operands)
      : op_(op),
        operands_(operands),
        key_(key_of_operand(op, operands)),
        range_(is_text(op) || op == QueryOp::Eq || op == QueryOp::In ? KeyRange()
                                                                     : KeyRange::of(op, operands)) {
  }

  // Whether the stored `value` passes: the value itself or, for a container,
  // one of its elements at any depth.
  bool matches(const PyValue& value) const {
    auto leaf = [this](const PyValue& stored) { return matches_leaf(stored); };
    return any_leaf(value, leaf);
  }

  // The same for a value that is not a container.
  bool matches_leaf(const PyValue& stored) const {
    switch (op_) {
      case QueryOp::Eq:
        return equals(stored, key_);
      case QueryOp::In:
        for (const PyValue& wanted : operands_) {
          if (equals(stored, equality_key(wanted))) return true;
        }
        return false;
      case QueryOp::StartsWi:
      case QueryOp::EndsWi:
      case QueryOp::Contains:
        return !key_.matches_nothing() && stored.kind() == ValueKind::Str &&
               text_matches(stored.as_str());
      default:
        return range_.contains(stored);
    }
  }

 private:
  static bool is_text(QueryOp op) {
    return op == QueryOp::StartsWi || op == QueryOp::EndsWi || op == QueryOp::Contains;
  }
  static QueryKey key_of_operand(QueryOp op, std::span<const PyValue> operands) {
    if (op == QueryOp::Eq) return equality_key(operands[0]);
    return is_text(op) ? pattern_key(operands[0]) : QueryKey();
  }
  bool text_matches(std::string_view text) const {
    if (op_ == QueryOp::StartsWi) return text.starts_with(key_.text);
    if (op_ == QueryOp::EndsWi) return text.ends_with(key_.text);
    return text.find(key_.text) != std::string_view::npos;
  }

  QueryOp op_;
  std::span<const PyValue> operands_;
  QueryKey key_;    // Eq and the string operators
  KeyRange range_;  // the ranges
};

// Stored values as an equality query tells them apart: equal when an
// equality query for one matches the other (numbers by order key, strings by
// bytes, booleans apart from numbers, every other kind by identity), hashed
// alike when equal. Neither may be a container.
struct QueryValueHash {
  uint64_t operator()(const PyValue& value) const {
    const QueryKey key = equality_key(value);
    switch (key.kind) {
      case QueryKey::Kind::Number: {
        FxHasher hasher;
        hasher.fold(key.key.head);
        hasher.fold(key.key.tail);
        return hasher.finish();
      }
      case QueryKey::Kind::Text:
        return hash_str(key.text);
      case QueryKey::Kind::Boolean:
        return hash_bool(key.flag);
      default:
        return value.hash();
    }
  }
};
struct SameQueryValue {
  bool operator()(const PyValue& a, const PyValue& b) const { return equals(a, equality_key(b)); }
};

}  // namespace vantorel
