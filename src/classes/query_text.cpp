#include "classes/query_text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "py/errors.h"
#include "py/ref.h"

namespace vantorel {

namespace {

// The spelling of each operator, in QueryOp's order (empty where it has
// none): comparisons go between spaces, the methods (the last three) between
// "." and "(".
constexpr std::string_view kSpellings[] = {
    "==", "!=", "", "", "", "", ">", ">=", "<", "<=", "", "startswith", "endswith", "contains"};
static_assert(std::size(kSpellings) == kQueryOpCount);

// The operator spelled `text`, if any.
std::optional<QueryOp> spelled(std::string_view text) {
  const auto* found = std::find(std::begin(kSpellings), std::end(kSpellings), text);
  if (text.empty() || found == std::end(kSpellings)) return std::nullopt;
  return static_cast<QueryOp>(found - std::begin(kSpellings));
}

bool is_method(QueryOp op) {
  return op >= QueryOp::StartsWi;
}

bool one_of(std::string_view set, char c) {
  return set.find(c) != std::string_view::npos;
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// Letters, digits, "_" and the bytes of non-ASCII characters.
bool is_word_byte(char c) {
  return is_digit(c) || c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         static_cast<unsigned char>(c) >= 0x80;
}

// Whether `name` (UTF-8) is a name of the language.
bool is_name(std::string_view name) {
  for (std::string_view reserved : {"and", "or", "not", "in", "True", "False", "None"}) {
    if (name == reserved) return false;
  }
  for (size_t start = 0, end = 0; end != std::string_view::npos; start = end + 1) {
    end = name.find('.', start);
    const std::string_view word = name.substr(start, end - start);
    if (word.empty() || is_digit(word[0]) || !std::all_of(word.begin(), word.end(), is_word_byte)) {
      return false;
    }
  }
  return true;
}

void append_utf8(std::string& out, uint32_t c) {
  const int extra = c < 0x80 ? 0 : c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
  constexpr uint32_t kLead[] = {0, 0xC0, 0xE0, 0xF0};
  out += static_cast<char>(kLead[extra] | (c >> (6 * extra)));
  for (int k = extra - 1; k >= 0; --k) out += static_cast<char>(0x80 | ((c >> (6 * k)) & 0x3F));
}

// Created non-const: the destructor may empty a node it is the last owner of.
QueryExprPtr combined(QueryOp op, std::vector<QueryExprPtr> children) {
  return std::make_shared<QueryExpr>(QueryExpr::combine(op, std::move(children)));
}

QueryExprPtr leaf(QueryOp op, std::string_view attr, std::vector<PyValue> values) {
  return std::make_shared<QueryExpr>(QueryExpr::leaf(op, attr, std::move(values)));
}

// Takes `operands` as one expression: the only one, or their combination.
QueryExprPtr collapse(QueryOp op, std::vector<QueryExprPtr>& operands) {
  std::vector<QueryExprPtr> taken = std::exchange(operands, {});
  return taken.size() == 1 ? std::move(taken[0]) : combined(op, std::move(taken));
}

// ---- reading ---------------------------------------------------------------

// One side of a comparison: a name or a literal.
struct Operand {
  std::string name;
  std::optional<PyValue> value;
};

// An open group, with the finished operands of its "or" and those of its
// current "and".
struct Frame {
  char kind;      // 't' (the whole text), '(', 'a' (all) or 'o' (any)
  uint32_t nots;  // the "not"s in front of it
  std::vector<QueryExprPtr> ors, ands;
};

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  QueryExprPtr parse() {
    if (text_.starts_with("<QueryExpr: ")) {
      fail(0, "this is the repr of an expression, which str() gives when it has no text form");
    }
    frames_.push_back(Frame{'t', 0, {}, {}});
    next();
    for (;;) {
      uint32_t nots = 0;
      for (; word("not"); next()) ++nots;
      const bool call = (word("all") || word("any")) && at(after_spaces(pos_)) == '(';
      if (kind_ == '(' || call) {
        frames_.push_back(Frame{call ? (word("all") ? 'a' : 'o') : '(', nots, {}, {}});
        if (call) next();
        next();
        continue;
      }
      push(comparison(), nots);
      for (;;) {  // what follows an operand
        Frame& frame = frames_.back();
        if (word("and") || word("or")) {
          if (word("or")) frame.ors.push_back(collapse(QueryOp::And, frame.ands));
          next();
          break;
        }
        if (kind_ == 'e' && frame.kind == 't') return checked(end_expression(frame));
        if (kind_ != ')' || frame.kind == 't') {
          fail_expected(frame.kind == 't' ? "'and', 'or' or the end of the text"
                                          : "'and', 'or' or ')'");
        }
        Frame closed = std::move(frame);
        frames_.pop_back();
        QueryExprPtr expr = end_expression(closed);
        if (closed.kind != '(') {
          expr = combined(closed.kind == 'a' ? QueryOp::And : QueryOp::Or, {std::move(expr)});
        }
        next();
        push(std::move(expr), closed.nots);
      }
    }
  }

 private:
  // A depth check of the root covers the whole tree: no node is deeper.
  static QueryExprPtr checked(QueryExprPtr root) {
    if (root->depth <= QueryExpr::kMaxDepth) return root;
    PyErr_SetString(PyExc_RecursionError, "query expression nested too deeply");
    throw py::PythonError();
  }
  char at(size_t i) const { return i < text_.size() ? text_[i] : '\0'; }
  size_t after_spaces(size_t i) const {
    while (i < text_.size() && one_of(" \t\n\r\f\v", text_[i])) ++i;
    return i;
  }
  std::string_view token() const { return text_.substr(start_, pos_ - start_); }
  bool word(std::string_view w) const { return kind_ == 'n' && token() == w; }

  // Moves to the next token. kind_ is 'e' (the end), 'n' (a name or word),
  // '0' (a number), 's' (a string), 'c' (a comparison) or the character of
  // ( ) [ ] ,.
  void next() {
    start_ = pos_ = after_spaces(pos_);
    const char c = at(pos_);
    const size_t sign = one_of("+-", c) ? 1 : 0;
    const char first = at(pos_ + sign);
    if (pos_ == text_.size()) {
      kind_ = 'e';
    } else if (is_digit(first) || (first == '.' && is_digit(at(pos_ + sign + 1)))) {
      kind_ = '0';  // checked when read
      for (pos_ += sign; is_word_byte(at(pos_)) || at(pos_) == '.' ||
                         (one_of("+-", at(pos_)) && one_of("eE", at(pos_ - 1)));) {
        ++pos_;
      }
    } else if (c == '\'' || c == '"') {
      kind_ = 's';
      for (++pos_; at(pos_) != c; pos_ += at(pos_) == '\\' ? 2 : 1) {
        if (pos_ >= text_.size() || one_of("\n\r", at(pos_))) {
          fail(start_, "unterminated string literal");
        }
      }
      ++pos_;
    } else if (is_word_byte(c)) {
      kind_ = 'n';
      while (is_word_byte(at(pos_)) || at(pos_) == '.') ++pos_;
    } else if (one_of("<>=!", c) && (at(pos_ + 1) == '=' || one_of("<>", c))) {
      kind_ = 'c';
      pos_ += at(pos_ + 1) == '=' ? 2 : 1;
    } else if (one_of("()[],", c)) {
      kind_ = c;
      ++pos_;
    } else {
      fail(start_, c == '=' ? "expected '==' (a single '=' assigns; comparing is '==')"
                            : std::string("unexpected character '") + c + "'");
    }
  }

  void expect(char kind, const char* what) {
    if (kind_ != kind) fail_expected(what);
    next();
  }

  // The literal at the current token, which it moves past; nullopt, moving
  // nowhere, when the token is not a literal.
  std::optional<PyValue> literal() {
    std::optional<PyValue> value;
    if (word("True") || word("False")) value = PyValue::of_bool(word("True"));
    if (kind_ == '0') value = number();
    if (kind_ == 's') value = PyValue::of_str(unquote());
    if (value) next();
    return value;
  }

  PyValue expect_literal() {
    std::optional<PyValue> value = literal();
    if (!value) fail_expected("a literal (a number, a string, True or False)");
    return std::move(*value);
  }

  PyValue number() const {
    const std::string digits(token());
    const char* end = digits.data() + digits.size();
    if (digits.find_first_of(".eE") == std::string::npos) {
      int64_t value = 0;
      const auto [stop, error] = std::from_chars(digits.data() + (digits[0] == '+'), end, value);
      if (error == std::errc::result_out_of_range) {
        fail(start_, "the index cannot hold this literal (an int beyond signed 64 bits)");
      }
      if (error != std::errc() || stop != end) fail(start_, "invalid number literal");
      return PyValue::of_int(value);
    }
    // Overflow gives an infinity, as Python's 1e999 does.
    char* stop = nullptr;
    const double value = PyOS_string_to_double(digits.c_str(), &stop, nullptr);
    if (value == -1.0 && PyErr_Occurred()) throw py::PythonError();
    if (stop != end) fail(start_, "invalid number literal");
    return PyValue::of_float(value);
  }

  // The text of the string literal at the current token, escapes decoded.
  std::string unquote() const {
    constexpr std::string_view kEscapes = "\\'\"nrt";
    constexpr std::string_view kMeanings = "\\'\"\n\r\t";
    std::string out;
    const size_t close = pos_ - 1;
    for (size_t i = start_ + 1; i < close; ++i) {
      if (text_[i] != '\\') {
        out += text_[i];
        continue;
      }
      const char letter = text_[++i];
      const size_t digits = letter == 'x' ? 2 : letter == 'u' ? 4 : letter == 'U' ? 8 : 0;
      uint32_t code = 0;
      const char* from = text_.data() + i + 1;
      if (const size_t k = kEscapes.find(letter); k != std::string_view::npos) {
        code = static_cast<uint32_t>(kMeanings[k]);
      } else if (digits == 0) {
        fail(i - 1, std::string("invalid escape sequence '\\") + letter + "'");
      } else if (std::from_chars(from, from + std::min(digits, close - i - 1), code, 16).ptr !=
                 from + digits) {
        fail(i - 1, std::string("truncated escape: \\") + letter + " takes " +
                        std::to_string(digits) + " hex digits");
      } else if (code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)) {
        fail(i - 1, "the index cannot hold this escape (a surrogate, or past \\U0010ffff)");
      }
      append_utf8(out, code);
      i += digits;
    }
    return out;
  }

  Operand operand(const char* expected) {
    Operand side{{}, literal()};
    if (side.value) return side;
    if (kind_ != 'n') fail_expected(expected);
    side.name = token();
    if (side.name == "None") fail(start_, "None is not a literal of the query language");
    if (!is_name(side.name)) fail(start_, "'" + side.name + "' is not an attribute name");
    next();
    return side;
  }

  QueryExprPtr comparison() {
    const size_t start = start_;
    Operand first = operand("a comparison, 'not' or '('");
    if (!first.value && kind_ == '(') {
      const size_t dot = first.name.rfind('.');
      const std::optional<QueryOp> op =
          dot == std::string::npos ? std::nullopt : spelled(first.name.substr(dot + 1));
      if (!op || !is_method(*op)) {
        fail(start, "'" + first.name + "(' calls no method: the methods are " +
                        "name.startswith(...), name.endswith(...) and name.contains(...)");
      }
      next();
      PyValue value = expect_literal();
      expect(')', "')' (the methods take one literal)");
      return leaf(*op, std::string_view(first.name).substr(0, dot), {std::move(value)});
    }
    const bool negated = word("not");
    if (!first.value && (negated || word("in"))) {
      next();
      if (negated && !word("in")) fail_expected("'in' after 'not'");
      if (negated) next();
      expect('[', "'[' (the values of 'in' are a list)");
      std::vector<PyValue> values;
      while (kind_ != ']') {
        values.push_back(expect_literal());
        if (kind_ != ']') expect(',', "',' or ']'");
      }
      next();
      QueryExprPtr in = leaf(QueryOp::In, first.name, std::move(values));
      return negated ? combined(QueryOp::Not, {std::move(in)}) : in;
    }
    if (kind_ != 'c') {
      if (first.value && first.value->kind() == ValueKind::Bool) {  // True, False
        return combined(first.value->as_bool() ? QueryOp::And : QueryOp::Or, {});
      }
      fail_expected(first.value ? "a comparison operator after the literal"
                                : "'==', '!=', '<', '<=', '>', '>=', 'in', 'not in' or a method");
    }
    // A chain a < b <= c ...: the conjunction of its links; lo <= x <= hi
    // (hi >= x >= lo) with numbers for bounds is one between.
    std::vector<Operand> sides;
    std::vector<std::pair<size_t, std::string_view>> ops;  // position, spelling
    sides.push_back(std::move(first));
    while (kind_ == 'c') {
      ops.emplace_back(start_, token());
      next();
      sides.push_back(operand("a name or a literal after the comparison operator"));
    }
    auto number = [](const Operand& side) { return side.value && side.value->is_number(); };
    if (ops.size() == 2 && ops[0].second == ops[1].second &&
        (ops[0].second == "<=" || ops[0].second == ">=") && number(sides[0]) && !sides[1].value &&
        number(sides[2])) {
      const bool ascending = ops[0].second == "<=";
      return leaf(QueryOp::Bt, sides[1].name,
                  {*sides[ascending ? 0 : 2].value, *sides[ascending ? 2 : 0].value});
    }
    std::vector<QueryExprPtr> links;
    for (size_t i = 0; i < ops.size(); ++i) {
      const Operand& left = sides[i];
      const Operand& right = sides[i + 1];
      if (left.value.has_value() == right.value.has_value()) {
        fail(ops[i].first,
             "a comparison needs an attribute on one side and a literal on the other");
      }
      std::string spelling(ops[i].second);
      for (char& mark : spelling) {  // 65 > age is age < 65
        if (left.value) mark = mark == '<' ? '>' : mark == '>' ? '<' : mark;
      }
      links.push_back(leaf(*spelled(spelling), (left.value ? right : left).name,
                           {*(left.value ? left : right).value}));
    }
    return links.size() == 1 ? links[0] : combined(QueryOp::And, std::move(links));
  }

  static QueryExprPtr end_expression(Frame& frame) {
    frame.ors.push_back(collapse(QueryOp::And, frame.ands));
    return collapse(QueryOp::Or, frame.ors);
  }

  void push(QueryExprPtr expr, uint32_t nots) {
    for (uint32_t i = 0; i < nots; ++i) expr = combined(QueryOp::Not, {std::move(expr)});
    frames_.back().ands.push_back(std::move(expr));
  }

  // "{what} at position {n}" (counted in characters), and under a short text
  // of one line, a caret at the position.
  [[noreturn]] void fail(size_t at, const std::string& what) const {
    const auto is_lead = [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; };
    const auto position = static_cast<size_t>(
        std::count_if(text_.begin(), text_.begin() + static_cast<ptrdiff_t>(at), is_lead));
    std::string shown;
    if (text_.size() <= 80 && text_.find('\n') == std::string_view::npos) {
      shown = ":\n    " + std::string(text_) + "\n    " + std::string(position, ' ') + "^";
    }
    PyErr_Format(PyExc_ValueError, "%s at position %zu%s", what.c_str(), position, shown.c_str());
    throw py::PythonError();
  }

  [[noreturn]] void fail_expected(const std::string& expected) const {
    const std::string found = "'" + std::string(token().substr(0, 24)) + "'";
    fail(start_,
         "expected " + expected + ", found " + (kind_ == 'e' ? "the end of the text" : found));
  }

  std::string_view text_;
  size_t start_ = 0;  // the current token is text_[start_, pos_)
  size_t pos_ = 0;
  char kind_ = 'e';
  std::vector<Frame> frames_;
};

// ---- writing ---------------------------------------------------------------

// Thrown for what the language cannot spell.
struct NoText {};

void write_value(std::string& out, const PyValue& value) {
  const bool is_float = value.kind() == ValueKind::Float;
  if (value.kind() > ValueKind::Bool || (is_float && std::isnan(value.as_float()))) throw NoText();
  if (value.kind() == ValueKind::Int) {
    out += std::to_string(value.as_int());
  } else if (is_float && std::isinf(value.as_float())) {
    out += value.as_float() < 0 ? "-1e999" : "1e999";
  } else {  // Python's repr, whose escapes are those the reader knows
    py::OwnedRef object = py::OwnedRef::steal(py::check(value.to_python()));
    py::OwnedRef repr = py::OwnedRef::steal(py::check(PyObject_Repr(object.get())));
    out += py::check(PyUnicode_AsUTF8(repr.get()));
  }
}

void write_leaf(std::string& out, const QueryExpr& node, bool negated) {
  const std::string_view attr = node.attr.view();
  const bool method = is_method(node.op);
  if (!is_name(attr)) throw NoText();
  if (node.op == QueryOp::In) {
    out.append(attr).append(negated ? " not in [" : " in [");
    for (size_t i = 0; i < node.values.size(); ++i) {
      if (i > 0) out += ", ";
      write_value(out, node.values[i]);
    }
    out += ']';
    return;
  }
  if (node.op == QueryOp::Bt) {
    if (!node.values[0].is_number() || !node.values[1].is_number()) throw NoText();
    write_value(out, node.values[0]);
    out.append(" <= ").append(attr).append(" <= ");
  } else {
    out.append(attr)
        .append(method ? "." : " ")
        .append(kSpellings[static_cast<size_t>(node.op)])
        .append(method ? "(" : " ");
  }
  write_value(out, node.values.back());
  if (method) out += ')';
}

// How loosely a node binds: "or", "and", "not", a comparison.
int looseness(const QueryExpr& node) {
  const bool several = node.children.size() >= 2;
  if (node.op == QueryOp::Or && several) return 3;
  if (node.op == QueryOp::And && several) return 2;
  return node.op == QueryOp::Not && node.children[0]->op != QueryOp::In ? 1 : 0;
}

std::string write(const QueryExpr& root) {
  constexpr size_t kMaxTextBytes = size_t{64} << 20;
  std::string out;
  // Nodes to write, or (node null) pieces of text, the next one last.
  std::vector<std::pair<const QueryExpr*, const char*>> steps{{&root, nullptr}};
  // Schedules `node`, in parentheses when it binds more loosely than `loosest`.
  auto child = [&](const QueryExpr& node, int loosest) {
    const bool parens = looseness(node) > loosest;
    if (parens) steps.emplace_back(nullptr, ")");
    steps.emplace_back(&node, nullptr);
    if (parens) steps.emplace_back(nullptr, "(");
  };
  while (!steps.empty() && out.size() <= kMaxTextBytes) {
    const auto [node, text] = steps.back();
    steps.pop_back();
    const size_t count = node == nullptr ? 0 : node->children.size();
    const bool all = node != nullptr && node->op == QueryOp::And;
    if (node == nullptr) {
      out += text;
    } else if (node->op == QueryOp::Not && node->children[0]->op == QueryOp::In) {
      write_leaf(out, *node->children[0], true);
    } else if (node->op == QueryOp::Not) {
      out += "not ";
      child(*node->children[0], 1);
    } else if (!all && node->op != QueryOp::Or) {
      write_leaf(out, *node, false);
    } else if (count <= 1) {
      out += count == 0 ? (all ? "True" : "False") : (all ? "all(" : "any(");
      if (count == 1) steps.emplace_back(nullptr, ")");
      if (count == 1) child(*node->children[0], 3);
    } else {
      for (size_t i = count; i-- > 0;) {
        child(*node->children[i], all ? 1 : 2);
        if (i > 0) steps.emplace_back(nullptr, all ? " and " : " or ");
      }
    }
  }
  if (out.size() > kMaxTextBytes) throw NoText();
  return out;
}

}  // namespace

QueryExprPtr parse_query_text(PyObject* text) {
  return Parser(py::utf8_of(text)).parse();
}

PyObject* query_text(const QueryExpr& root) {
  std::string text;
  try {
    text = write(root);
  } catch (const NoText&) {
    return nullptr;
  }
  return py::check(py::str_of(text));
}

}  // namespace vantorel
