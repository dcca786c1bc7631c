#include "core/query/compare.h"

#include "native/common/fx_hash.h"

namespace vantorel {

bool KeyRange::set_bound(const PyValue& bound, bool inclusive, KeyBound<OrderKey>& out, bool& has) {
  if (!bound.is_number() || is_nan(bound)) return false;
  out = KeyBound<OrderKey>{key_of(bound), inclusive};
  has = true;
  return true;
}

KeyRange KeyRange::of(QueryOp op, std::span<const PyValue> operands) {
  KeyRange range;
  const bool inclusive = op == QueryOp::Ge || op == QueryOp::Le;
  bool admits = false;
  switch (op) {
    case QueryOp::Gt:
    case QueryOp::Ge:
      admits = set_bound(operands[0], inclusive, range.lower_, range.has_lower_);
      break;
    case QueryOp::Lt:
    case QueryOp::Le:
      admits = set_bound(operands[0], inclusive, range.upper_, range.has_upper_);
      break;
    case QueryOp::Bt:
      admits = set_bound(operands[0], true, range.lower_, range.has_lower_) &&
               set_bound(operands[1], true, range.upper_, range.has_upper_) &&
               !(range.upper_.key < range.lower_.key);
      break;
    default:
      break;
  }
  range.empty_ = !admits;
  return range;
}

bool KeyRange::contains(const PyValue& stored) const {
  // A NaN's key sorts past the infinities, so it is refused before the keys
  // are compared.
  if (empty_ || !stored.is_number() || is_nan(stored)) return false;
  const OrderKey key = key_of(stored);
  if (has_lower_ && (lower_.inclusive ? key < lower_.key : key <= lower_.key)) return false;
  if (has_upper_ && (upper_.inclusive ? key > upper_.key : key >= upper_.key)) return false;
  return true;
}

Comparison::Comparison(QueryOp op, std::span<const PyValue> operands)
    : op_(op), operands_(operands) {
  switch (op) {
    case QueryOp::Eq:
      key_ = equality_key(operands[0]);
      break;
    case QueryOp::StartsWi:
    case QueryOp::EndsWi:
    case QueryOp::Contains:
      key_ = pattern_key(operands[0]);
      break;
    case QueryOp::In:
      break;  // each operand's key is taken as it is compared
    default:
      range_ = KeyRange::of(op, operands);
      break;
  }
}

bool Comparison::matches_leaf(const PyValue& stored) const {
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
    case QueryOp::Contains: {
      if (key_.matches_nothing() || stored.kind() != ValueKind::Str) return false;
      const std::string_view text = stored.as_str();
      if (op_ == QueryOp::StartsWi) return text.starts_with(key_.text);
      if (op_ == QueryOp::EndsWi) return text.ends_with(key_.text);
      return text.find(key_.text) != std::string_view::npos;
    }
    default:
      return range_.contains(stored);
  }
}

uint64_t QueryValueHash::operator()(const PyValue& value) const {
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

}  // namespace vantorel
