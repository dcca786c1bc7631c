// QueryExpr: the query tree, and its evaluation against an index core.
//
// Every operator's result is confined to the `allowed` set it is evaluated
// against, so a result never holds an id that is not live in the core or
// view that was asked. Attribute names may be dotted: "owner.name" evaluates
// "name" in the nested core of the attribute "owner" and maps the matches
// back to their holders. Names are looked up without being interned: a name
// that no object has ever stored gives an empty result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/index.h"
#include "native/structures/roaring/bitmap.h"
#include "values/types.h"
#include "values/value.h"

namespace vantorel {

enum class QueryOp {
  Eq,
  Ne,
  Not,
  In,
  And,
  Or,
  Gt,
  Ge,
  Lt,
  Le,
  Bt,
  StartsWi,
  EndsWi,
  Contains,
};

// How many operators QueryOp has: the size of every table indexed by an
// operator's position.
inline constexpr size_t kQueryOpCount = static_cast<size_t>(QueryOp::Contains) + 1;

struct QueryExpr;
using QueryExprPtr = std::shared_ptr<const QueryExpr>;

struct QueryExpr {
  // Deepest nesting that evaluation supports, counted as `depth` counts.
  static constexpr uint32_t kMaxDepth = 1000;

  QueryExpr(QueryOp op, SmallString attr, std::vector<PyValue> values,
            std::vector<QueryExprPtr> children);
  QueryExpr(const QueryExpr&) = default;
  QueryExpr(QueryExpr&&) = default;
  QueryExpr& operator=(const QueryExpr&) = default;
  QueryExpr& operator=(QueryExpr&&) = default;
  // Releases a long chain of children one node at a time, not recursively.
  ~QueryExpr();

  static QueryExpr leaf(QueryOp op, std::string_view attr, std::vector<PyValue> values);
  static QueryExpr combine(QueryOp op, std::vector<QueryExprPtr> children);

  QueryOp op;
  SmallString attr;             // leaf operators
  std::vector<PyValue> values;  // Eq..Contains: 1 value; Bt: lower, upper; In: the list
  // Not: 1; And, Or: any number. Children are shared, never copied, so an
  // expression combined with itself over and over stays linear in size, and
  // evaluation visits a shared node once.
  std::vector<QueryExprPtr> children;
  // How deep evaluation recurses: an And (Or) inside an And (Or) is merged
  // into it and adds nothing, every other combination adds one level. So a
  // fold of any length over one operator stays shallow.
  uint32_t depth = 0;

  // "Eq(\"age\", PyValue { ... })". Requires the interpreter lock (values
  // print their Python objects). A text that would pass 1 MiB is cut short
  // and ends in "...": a tree of shared children can spell out far more.
  std::string debug() const;
  // The first Bt node whose bounds are not both numbers, or null.
  const QueryExpr* invalid_between() const;
};

// The value index of the plain attribute `name` in `maps`, or null when
// there is none (the name was never indexed there).
QueryMap* map_named(const IndexAPI::MapArray& maps, std::string_view name);

// Evaluates `expr` against the value indexes `maps` of one core; the result
// is a subset of `allowed`. The caller holds `maps` for reading. With the
// core's item table `items` (and `allowed` its live ids), a range over a
// handful of candidates compares their stored values directly.
Bitmap evaluate_query(const IndexAPI::MapArray& maps, const Bitmap& allowed, const QueryExpr& expr,
                      const PoisonRwLock<IndexAPI::ItemTable>* items = nullptr);

// The conjunction of `exprs` (a copy of `allowed` when empty).
Bitmap evaluate_and_queries_vec(const IndexAPI::MapArray& maps, const Bitmap& allowed,
                                const std::vector<QueryExpr>& exprs);

}  // namespace vantorel
