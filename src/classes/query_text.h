// Query trees as text, in a small language shaped like Python's expressions:
//
//   expression := disjunct ("or" disjunct)*
//   disjunct   := negation ("and" negation)*
//   negation   := "not"* (comparison | "(" expression ")" | "True" | "False"
//                         | ("all" | "any") "(" "[" [expression ("," expression)* [","]] "]" ")")
//   comparison := operand (("==" | "!=" | "<" | "<=" | ">" | ">=") operand)+
//               | name ["not"] "in" "[" [literal ("," literal)* [","]] "]"
//               | name "." ("startswith" | "endswith" | "contains") "(" literal ")"
//   operand    := name | literal          name := identifier ("." identifier)*
//   literal    := ("-" | "+")* number | string | "True" | "False"
//
// Numbers and strings are Python's literals (ints in any base, floats, quotes
// of either kind with Python's escapes; 1e999 reads as infinity). Each
// comparison has a name on one side and a literal on the other, either way
// round (65 > age is age < 65); a chain is the conjunction of its links, and
// lo <= x <= hi (or hi >= x >= lo) with numbers for bounds is one between.
// A bare True is the empty conjunction, False the empty disjunction;
// all([...]) and any([...]) are a conjunction and a disjunction of exactly
// the listed expressions.
//
// The text keeps the tree's shape, so that reading it back gives an equal
// tree (query_tree.h): and_(and_(a, b), c) is "(a and b) and c", a single
// child is all([a]), ne is "!=" and not_(eq) is "not x == v", not_(in_) is
// "x not in [...]". Nothing is evaluated: reading builds the tree with an
// explicit stack, so text of any nesting reads without deep recursion, and
// a tree deeper than QueryExpr::kMaxDepth is refused as the builders refuse
// it. Requires the interpreter lock.
#pragma once

#include "core/query/query_ops.h"
#include "py/python.h"

namespace vantorel {

// The tree that `text` (a str) spells. Throws py::PythonError with
// ValueError set (what was expected, at which position, and the line with a
// caret under it) for text outside the language or a literal the index
// cannot hold, and RecursionError for a tree nested too deeply.
QueryExprPtr parse_query_text(PyObject* text);

// The text of `root`, a new str. Throws py::PythonError with ValueError set
// when the tree holds what the language cannot spell: a value that is not a
// number, string or boolean (an Indexable, None, a container, a date), NaN,
// an attribute name that is not a dotted identifier, a between whose bounds
// are not numbers, or text that would pass 64 MiB (a tree of shared
// sub-expressions can spell out far more than it holds). str() of such an
// expression is its repr, which parse_query_text refuses, saying why.
PyObject* query_text(const QueryExpr& root);

}  // namespace vantorel
