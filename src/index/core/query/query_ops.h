// QueryExpr: the query tree, and its evaluation against an index core.
//
// Every operator's result is confined to the `allowed` set it is evaluated
// against, so a result never holds an id that is not live in the core or
// view that was asked. Attribute names may be dotted: "owner.name" evaluates
// "name" in the nested core of the attribute "owner" and maps the matches
// back to their holders. Names are looked up without being interned: a name
// that no object has ever stored gives an empty result.
#pragma once

#include <string>
#include <vector>

#include "index/core/index.h"
#include "index/core/structures/roaring/bitmap.h"
#include "index/types.h"
#include "index/value.h"

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

struct QueryExpr {
  QueryOp op;
  SmallString attr;                 // leaf operators
  std::vector<PyValue> values;      // Eq..Contains: 1 value; Bt: lower, upper; In: the list
  std::vector<QueryExpr> children;  // Not: 1; And, Or: any number

  static QueryExpr leaf(QueryOp op, std::string_view attr, std::vector<PyValue> values);
  static QueryExpr combine(QueryOp op, std::vector<QueryExpr> children);

  // Evaluation rank inside a conjunction: cheap, selective operators first.
  int rank() const;
  // "Eq(\"age\", PyValue { ... })". Requires the interpreter lock (values
  // print their Python objects).
  std::string debug() const;
  // The first Bt node whose bounds are not both numbers, or null.
  const QueryExpr* invalid_between() const;
};

// Evaluates `expr` against the value indexes `maps` of one core; the result
// is a subset of `allowed`. The caller holds `maps` for reading.
Bitmap evaluate_query(const IndexAPI::MapArray& maps, const Bitmap& allowed, const QueryExpr& expr);

// The conjunction of `exprs` (a copy of `allowed` when empty).
Bitmap evaluate_and_queries_vec(const IndexAPI::MapArray& maps, const Bitmap& allowed,
                                const std::vector<QueryExpr>& exprs);

}  // namespace vantorel
