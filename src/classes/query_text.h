// Query trees as text, in a small language shaped like Python's expressions:
//
//   expression := conjunct ("or" conjunct)*       conjunct := negation ("and" negation)*
//   negation   := "not"* (["all" | "any"] "(" expression ")" | comparison | "True" | "False")
//   comparison := operand (("==" | "!=" | "<" | "<=" | ">" | ">=") operand)+
//               | name ["not"] "in" "[" [literal ("," literal)* [","]] "]"
//               | name "." ("startswith" | "endswith" | "contains") "(" literal ")"
//   operand    := name | literal          name := word ("." word)*
//   literal    := int | float | string | "True" | "False"
//
// A word is letters, digits, "_" and non-ASCII characters, not starting with
// a digit; a name is not one of and, or, not, in, True, False, None. An int
// is decimal with an optional sign; a float has a fraction, an exponent or
// both (1e999 is infinity); a string is in single or double quotes, with the
// escapes \\ \' \" \n \r \t \xhh \uhhhh \Uhhhhhhhh. Each comparison has a
// name on one side and a literal on the other, either way round (65 > age
// is age < 65); a chain is the conjunction of its links, and lo <= x <= hi
// (or hi >= x >= lo) with numbers for bounds is one between. True is the
// empty conjunction, False the empty disjunction; all(e) and any(e) are the
// conjunction and the disjunction of the one expression e.
//
// The text keeps the tree's shape, so that reading it back gives an equal
// tree (query_tree.h): and_(and_(a, b), c) is "(a and b) and c", a single
// child is all(a), ne is "!=" and not_(eq) is "not x == v", not_(in_) is
// "x not in [...]". Reading builds the tree with explicit stacks, so text of
// any nesting reads without deep recursion, and a tree deeper than
// QueryExpr::kMaxDepth is refused as the builders refuse it. Requires the
// interpreter lock.
#pragma once

#include "core/query/query_ops.h"
#include "py/python.h"

namespace vantorel {

// The tree that `text` (a str) spells. Throws py::PythonError with
// ValueError set (what was expected, and at which position) for text
// outside the language or a literal the index cannot hold, and
// RecursionError for a tree nested too deeply.
QueryExprPtr parse_query_text(PyObject* text);

// The text of `root`, a new str; null, with no error set, when the tree
// holds what the language cannot spell (a value other than a number, string
// or boolean, NaN, a name outside the language, a between of bounds that are
// not numbers) or its text would pass 64 MiB (shared sub-expressions can
// spell out far more than they hold). Throws py::PythonError.
PyObject* query_text(const QueryExpr& root);

}  // namespace vantorel
