#include "index/core/query/query_ops.h"

#include <algorithm>
#include <optional>

#include "index/core/query/query.h"
#include "index/core/structures/string_interner/string_interner.h"

namespace vantorel {

QueryExpr QueryExpr::leaf(QueryOp op, std::string_view attr, std::vector<PyValue> values) {
  return QueryExpr{op, SmallString(attr), std::move(values), {}};
}

QueryExpr QueryExpr::combine(QueryOp op, std::vector<QueryExpr> children) {
  return QueryExpr{op, SmallString(), {}, std::move(children)};
}

int QueryExpr::rank() const {
  switch (op) {
    case QueryOp::Eq:
      return 0;
    case QueryOp::Ne:
      return 1;
    case QueryOp::Not:
      return 2;
    case QueryOp::In:
      return 3;
    case QueryOp::StartsWi:
      return 4;
    case QueryOp::EndsWi:
      return 5;
    case QueryOp::Contains:
      return 6;
    case QueryOp::And:
      return 7;
    case QueryOp::Or:
      return 8;
    case QueryOp::Lt:
      return 9;
    case QueryOp::Le:
      return 10;
    case QueryOp::Gt:
      return 11;
    case QueryOp::Ge:
      return 12;
    case QueryOp::Bt:
      return 13;
  }
  return 13;
}

namespace {

const char* op_name(QueryOp op) {
  static constexpr const char* kNames[] = {"Eq", "Ne",       "Not",    "In",      "And",
                                           "Or", "Gt",       "Ge",     "Lt",      "Le",
                                           "Bt", "StartsWi", "EndsWi", "Contains"};
  return kNames[static_cast<int>(op)];
}

}  // namespace

std::string QueryExpr::debug() const {
  std::string out = op_name(op);
  out += "(";
  switch (op) {
    case QueryOp::Not:
      out += children.front().debug();
      break;
    case QueryOp::And:
    case QueryOp::Or:
      out += "[";
      for (size_t i = 0; i < children.size(); ++i) {
        if (i > 0) out += ", ";
        out += children[i].debug();
      }
      out += "]";
      break;
    case QueryOp::In:
      out += quoted_debug(attr.view()) + ", [";
      for (size_t i = 0; i < values.size(); ++i) {
        if (i > 0) out += ", ";
        out += values[i].debug();
      }
      out += "]";
      break;
    default:
      out += quoted_debug(attr.view());
      for (const PyValue& value : values) out += ", " + value.debug();
      break;
  }
  return out + ")";
}

const QueryExpr* QueryExpr::invalid_between() const {
  if (op == QueryOp::Bt && !(values[0].is_number() && values[1].is_number())) return this;
  for (const QueryExpr& child : children) {
    if (const QueryExpr* found = child.invalid_between()) return found;
  }
  return nullptr;
}

namespace {

struct AttrParts {
  std::string_view head;
  std::optional<std::string_view> rest;
};

AttrParts attr_parts(std::string_view attr) {
  const size_t dot = attr.find('.');
  if (dot == std::string_view::npos) return {attr, std::nullopt};
  return {attr.substr(0, dot), attr.substr(dot + 1)};
}

const QueryMap* lookup_map(const IndexAPI::MapArray& maps, std::string_view name) {
  std::optional<uint32_t> id = global_interner().get(name);
  if (!id || *id >= maps.size()) return nullptr;
  return maps[*id].get();
}

// Evaluates `expr` (already rewritten to the rest of a dotted name) in the
// nested core of `map`, and maps the matching held objects to their holders.
Bitmap evaluate_nested(const QueryMap& map, const QueryExpr& expr, const Bitmap& allowed) {
  std::shared_ptr<IndexAPI> core = map.nested();
  if (!core) return Bitmap();
  Bitmap children = core->reduced_query(expr);
  Bitmap holders = core->get_parent_from_ids(children);
  map.unmask_ids(holders);
  holders &= allowed;
  return holders;
}

QueryExpr with_attr(const QueryExpr& expr, std::string_view attr) {
  return QueryExpr{expr.op, SmallString(attr), expr.values, expr.children};
}

Bitmap evaluate_leaf(const IndexAPI::MapArray& maps, const Bitmap& allowed, const QueryExpr& expr) {
  AttrParts parts = attr_parts(expr.attr.view());
  const QueryMap* map = lookup_map(maps, parts.head);
  if (map == nullptr) return Bitmap();
  if (parts.rest) return evaluate_nested(*map, with_attr(expr, *parts.rest), allowed);
  Bitmap result;
  switch (expr.op) {
    case QueryOp::Eq:
      result = map->eq(expr.values[0]);
      break;
    case QueryOp::In:
      for (const PyValue& value : expr.values) result |= map->eq(value);
      break;
    case QueryOp::Gt:
      return map->range(RangeOp::Gt, expr.values[0], allowed) & allowed;
    case QueryOp::Ge:
      return map->range(RangeOp::Ge, expr.values[0], allowed) & allowed;
    case QueryOp::Lt:
      return map->range(RangeOp::Lt, expr.values[0], allowed) & allowed;
    case QueryOp::Le:
      return map->range(RangeOp::Le, expr.values[0], allowed) & allowed;
    case QueryOp::Bt:
      return map->between(expr.values[0], expr.values[1], allowed) & allowed;
    case QueryOp::StartsWi:
      result = map->starts_with(expr.values[0]);
      break;
    case QueryOp::EndsWi:
      result = map->ends_with(expr.values[0]);
      break;
    case QueryOp::Contains:
      result = map->contains(expr.values[0]);
      break;
    default:
      break;
  }
  result &= allowed;
  return result;
}

}  // namespace

Bitmap evaluate_query(const IndexAPI::MapArray& maps, const Bitmap& allowed,
                      const QueryExpr& expr) {
  switch (expr.op) {
    case QueryOp::Ne: {
      QueryExpr equal = with_attr(expr, expr.attr.view());
      equal.op = QueryOp::Eq;
      return allowed - evaluate_leaf(maps, allowed, equal);
    }
    case QueryOp::Not:
      return allowed - evaluate_query(maps, allowed, expr.children.front());
    case QueryOp::And:
      return evaluate_and_queries_vec(maps, allowed, expr.children);
    case QueryOp::Or: {
      Bitmap result;
      for (const QueryExpr& child : expr.children) result |= evaluate_query(maps, allowed, child);
      return result;
    }
    default:
      return evaluate_leaf(maps, allowed, expr);
  }
}

Bitmap evaluate_and_queries_vec(const IndexAPI::MapArray& maps, const Bitmap& allowed,
                                const std::vector<QueryExpr>& exprs) {
  // One condition needs no running copy of the allowed set.
  if (exprs.size() == 1) return evaluate_query(maps, allowed, exprs.front());
  std::vector<const QueryExpr*> ordered;
  ordered.reserve(exprs.size());
  for (const QueryExpr& expr : exprs) ordered.push_back(&expr);
  std::stable_sort(ordered.begin(), ordered.end(),
                   [](const QueryExpr* a, const QueryExpr* b) { return a->rank() < b->rank(); });
  Bitmap result = allowed;
  for (const QueryExpr* expr : ordered) {
    if (result.empty()) break;  // an empty conjunction stays empty
    result = evaluate_query(maps, result, *expr);
  }
  return result;
}

}  // namespace vantorel
