#include "classes/query_text.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "py/errors.h"
#include "py/ref.h"

namespace vantorel {

namespace {

// Python's keywords: none of them is an attribute name in the language.
constexpr std::string_view kKeywords[] = {
    "False", "None",     "True",  "and",    "as",   "assert", "async",  "await",    "break",
    "class", "continue", "def",   "del",    "elif", "else",   "except", "finally",  "for",
    "from",  "global",   "if",    "import", "in",   "is",     "lambda", "nonlocal", "not",
    "or",    "pass",     "raise", "return", "try",  "while",  "with",   "yield"};

bool is_keyword(std::string_view word) {
  for (std::string_view keyword : kKeywords) {
    if (word == keyword) return true;
  }
  return false;
}

bool is_digit(Py_UCS4 c) {
  return c >= '0' && c <= '9';
}

// Characters that may continue a name (the identifier check comes after).
bool is_name_char(Py_UCS4 c) {
  return c == '_' || is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c >= 0x80 && c <= 0x10FFFF && !Py_UNICODE_ISSPACE(c));
}

void append_utf8(std::string& out, Py_UCS4 c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

QueryExprPtr combined(QueryOp op, std::vector<QueryExprPtr> children) {
  QueryExpr expr = QueryExpr::combine(op, std::move(children));
  if (expr.depth > QueryExpr::kMaxDepth) {
    PyErr_SetString(PyExc_RecursionError, "query expression nested too deeply");
    throw py::PythonError();
  }
  // Created non-const: the destructor may empty a node it is the last owner of.
  return std::make_shared<QueryExpr>(std::move(expr));
}

QueryExprPtr leaf(QueryOp op, std::string_view attr, std::vector<PyValue> values) {
  return std::make_shared<QueryExpr>(QueryExpr::leaf(op, attr, std::move(values)));
}

// ---- reading ---------------------------------------------------------------

enum class Tok : uint8_t {
  End,
  Name,
  Number,
  String,
  LParen,
  RParen,
  LBracket,
  RBracket,
  Comma,
  Dot,
  Sign,
  Compare
};

struct Token {
  Tok kind = Tok::End;
  size_t start = 0;
  size_t end = 0;
};

// The token of a one-character mark; End for any other character.
Tok punctuation(Py_UCS4 c) {
  constexpr std::pair<char, Tok> kMarks[] = {
      {'(', Tok::LParen}, {')', Tok::RParen}, {'[', Tok::LBracket}, {']', Tok::RBracket},
      {',', Tok::Comma},  {'.', Tok::Dot},    {'-', Tok::Sign},     {'+', Tok::Sign},
  };
  for (const auto& [mark, kind] : kMarks) {
    if (c == static_cast<Py_UCS4>(mark)) return kind;
  }
  return Tok::End;
}

struct CompareOp {
  std::string_view text;
  QueryOp op;       // with the name on the left
  QueryOp flipped;  // with the name on the right
};

constexpr CompareOp kCompareOps[] = {
    {"==", QueryOp::Eq, QueryOp::Eq}, {"!=", QueryOp::Ne, QueryOp::Ne},
    {"<", QueryOp::Lt, QueryOp::Gt},  {"<=", QueryOp::Le, QueryOp::Ge},
    {">", QueryOp::Gt, QueryOp::Lt},  {">=", QueryOp::Ge, QueryOp::Le},
};

// Where an expression is being read: the whole text, a parenthesised group,
// or the list of all([...]) or any([...]).
enum class Group : uint8_t { Text, Paren, All, Any };

// An open group. Its operands lie on the parser's operand stack, in three
// runs from the positions below: the finished list items, the finished
// operands of "or", and the operands of the current "and".
struct Frame {
  Group group;
  size_t open;    // where the group opened
  uint32_t nots;  // the "not"s in front of it
  size_t items;
  size_t disjuncts;
  size_t conjuncts;
};

// One side of a comparison: a dotted name or a literal.
struct Operand {
  size_t start;
  std::string name;
  std::optional<PyValue> value;
};

class Parser {
 public:
  explicit Parser(PyObject* text)
      : kind_(static_cast<int>(PyUnicode_KIND(text))),
        data_(PyUnicode_DATA(text)),
        length_(static_cast<size_t>(PyUnicode_GET_LENGTH(text))) {}

  QueryExprPtr parse();

 private:
  static constexpr Py_UCS4 kEnd = 0xFFFFFFFF;
  Py_UCS4 at(size_t i) const { return i < length_ ? PyUnicode_READ(kind_, data_, i) : kEnd; }
  std::string utf8(size_t start, size_t end) const;
  bool is_word(std::string_view word) const;
  std::optional<CompareOp> compare_op() const;

  void advance() { token_ = lex(); }
  Token lex();
  size_t scan_number(size_t start) const;
  size_t scan_string(size_t start) const;

  PyValue value_at(size_t start, PyObject* object) const;
  py::OwnedRef number_object() const;
  py::OwnedRef string_object() const;
  Py_UCS4 escape(size_t& i) const;
  Py_UCS4 hex_escape(size_t& i, int digits) const;
  std::optional<PyValue> literal();
  PyValue expect_literal();
  std::vector<PyValue> literal_list();

  std::string name_part();
  Operand operand();
  QueryExprPtr comparison();
  QueryExprPtr chain(Operand first);
  QueryExprPtr method_call(const Operand& target);

  bool open_list(uint32_t nots);
  void open_group(Group group, size_t open, uint32_t nots);
  void collapse(size_t from, QueryOp op);
  void end_conjunction();
  void end_expression();
  void close_paren();
  void close_list();
  void push_negated(QueryExprPtr expr, uint32_t nots);

  [[noreturn]] void fail(size_t position, const std::string& what) const;
  [[noreturn]] void fail_expected(const std::string& expected) const;
  [[noreturn]] void fail_with_error(size_t position, const std::string& what) const;

  int kind_;
  const void* data_;
  size_t length_;
  size_t pos_ = 0;
  Token token_;
  std::vector<Frame> frames_;
  std::vector<QueryExprPtr> operands_;
};

std::string Parser::utf8(size_t start, size_t end) const {
  std::string out;
  for (size_t i = start; i < end && i < length_; ++i) append_utf8(out, at(i));
  return out;
}

bool Parser::is_word(std::string_view word) const {
  if (token_.kind != Tok::Name || token_.end - token_.start != word.size()) return false;
  for (size_t i = 0; i < word.size(); ++i) {
    if (at(token_.start + i) != static_cast<Py_UCS4>(word[i])) return false;
  }
  return true;
}

std::optional<CompareOp> Parser::compare_op() const {
  if (token_.kind != Tok::Compare) return std::nullopt;
  const std::string text = utf8(token_.start, token_.end);
  for (const CompareOp& op : kCompareOps) {
    if (op.text == text) return op;
  }
  return std::nullopt;
}

Token Parser::lex() {
  while (pos_ < length_ && Py_UNICODE_ISSPACE(at(pos_))) ++pos_;
  const size_t start = pos_;
  const Py_UCS4 c = at(start);
  const Py_UCS4 next = at(start + 1);
  Tok kind = Tok::End;
  size_t end = start;
  if (c == kEnd) {
    kind = Tok::End;
  } else if (is_digit(c) || (c == '.' && is_digit(next))) {
    kind = Tok::Number;
    end = scan_number(start);
  } else if (c == '\'' || c == '"') {
    kind = Tok::String;
    end = scan_string(start);
  } else if (is_name_char(c)) {
    kind = Tok::Name;
    for (end = start + 1; is_name_char(at(end));) ++end;
  } else if ((c == '=' || c == '!' || c == '<' || c == '>') && next == '=') {
    kind = Tok::Compare;
    end = start + 2;
  } else if (c == '<' || c == '>') {
    kind = Tok::Compare;
    end = start + 1;
  } else if (c == '=') {
    fail(start, "expected '==' (a single '=' assigns; comparing is '==')");
  } else {
    end = start + 1;
    kind = punctuation(c);
    if (kind == Tok::End) fail(start, "unexpected character '" + utf8(start, end) + "'");
  }
  pos_ = end;
  return Token{kind, start, end};
}

size_t Parser::scan_number(size_t start) const {
  size_t i = start;
  auto digits = [&] {
    while (is_digit(at(i)) || at(i) == '_') ++i;
  };
  const Py_UCS4 base = at(start + 1);
  if (at(start) == '0' &&
      (base == 'x' || base == 'X' || base == 'o' || base == 'O' || base == 'b' || base == 'B')) {
    for (i = start + 2; is_name_char(at(i));) ++i;  // the digits are checked when read
    return i;
  }
  digits();
  if (at(i) == '.') {
    ++i;
    digits();
  }
  const Py_UCS4 sign = at(i + 1);
  if ((at(i) == 'e' || at(i) == 'E') &&
      (is_digit(sign) || ((sign == '+' || sign == '-') && is_digit(at(i + 2))))) {
    i += is_digit(sign) ? 1 : 2;
    digits();
  }
  if (is_name_char(at(i))) fail(start, "invalid number literal '" + utf8(start, i + 1) + "'");
  return i;
}

size_t Parser::scan_string(size_t start) const {
  const Py_UCS4 quote = at(start);
  for (size_t i = start + 1;;) {
    const Py_UCS4 c = at(i);
    if (c == kEnd || c == '\n' || c == '\r') fail(start, "unterminated string literal");
    if (c == quote) return i + 1;
    if (c == '\\' && at(i + 1) == '\r' && at(i + 2) == '\n') {
      i += 3;
    } else {
      i += c == '\\' && at(i + 1) != kEnd ? 2 : 1;
    }
  }
}

// The value of a literal that starts at `start`; what the index cannot hold
// (an int outside 64 bits, a lone surrogate) is refused at its position.
PyValue Parser::value_at(size_t start, PyObject* object) const {
  try {
    return PyValue::from_python(object);
  } catch (const py::PythonError&) {
    fail_with_error(start, "the index cannot hold this literal");
  }
}

py::OwnedRef Parser::number_object() const {
  const std::string digits = utf8(token_.start, token_.end);
  const bool prefixed = digits.size() > 1 && digits[0] == '0' &&
                        std::string_view("xXoObB").find(digits[1]) != std::string_view::npos;
  constexpr size_t kShown = 24;
  const std::string invalid = "invalid number literal '" + digits.substr(0, kShown) +
                              (digits.size() > kShown ? "...'" : "'");
  if (prefixed || digits.find_first_of(".eE") == std::string::npos) {
    char* end = nullptr;
    py::OwnedRef number = py::OwnedRef::steal(PyLong_FromString(digits.c_str(), &end, 0));
    if (!number) PyErr_Clear();
    if (!number || *end != '\0') fail(token_.start, invalid);
    return number;
  }
  // Python's rule for floats: an underscore stands between two digits.
  std::string plain;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (digits[i] != '_') {
      plain += digits[i];
    } else if (i == 0 || i + 1 == digits.size() || !is_digit(digits[i - 1]) ||
               !is_digit(digits[i + 1])) {
      fail(token_.start, invalid);
    }
  }
  // Overflow gives an infinity, as Python's 1e999 does.
  const double value = PyOS_string_to_double(plain.c_str(), nullptr, nullptr);
  if (value == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    fail(token_.start, invalid);
  }
  return py::OwnedRef::steal(py::check(PyFloat_FromDouble(value)));
}

Py_UCS4 Parser::hex_escape(size_t& i, int digits) const {
  Py_UCS4 value = 0;
  for (int k = 0; k < digits; ++k, ++i) {
    const Py_UCS4 c = at(i);
    const int digit = is_digit(c)              ? static_cast<int>(c - '0')
                      : (c >= 'a' && c <= 'f') ? static_cast<int>(c - 'a' + 10)
                      : (c >= 'A' && c <= 'F') ? static_cast<int>(c - 'A' + 10)
                                               : -1;
    if (digit < 0) fail(i, "truncated escape: expected " + std::to_string(digits) + " hex digits");
    value = value * 16 + static_cast<Py_UCS4>(digit);
  }
  if (value > 0x10FFFF) fail(i, "escape beyond the last Unicode character (\\U0010ffff)");
  return value;
}

// The character that the escape at `i` (just past the backslash) stands
// for; `i` moves past the escape. kEnd for a line continuation.
Py_UCS4 Parser::escape(size_t& i) const {
  constexpr std::pair<char, char> kSimple[] = {
      {'\\', '\\'}, {'\'', '\''}, {'"', '"'},  {'a', '\a'}, {'b', '\b'},
      {'f', '\f'},  {'n', '\n'},  {'r', '\r'}, {'t', '\t'}, {'v', '\v'},
  };
  const Py_UCS4 c = at(i++);
  for (const auto& [letter, meaning] : kSimple) {
    if (c == static_cast<Py_UCS4>(letter)) return static_cast<Py_UCS4>(meaning);
  }
  if (c == '\n' || c == '\r') {
    if (c == '\r' && at(i) == '\n') ++i;
    return kEnd;
  }
  if (c == 'x' || c == 'u' || c == 'U') return hex_escape(i, c == 'x' ? 2 : c == 'u' ? 4 : 8);
  if (c >= '0' && c <= '7') {
    Py_UCS4 value = c - '0';
    for (int k = 0; k < 2 && at(i) >= '0' && at(i) <= '7'; ++k) value = value * 8 + (at(i++) - '0');
    return value;
  }
  if (c != 'N') fail(i - 2, "invalid escape sequence '\\" + utf8(i - 1, i) + "'");
  // \N{name}: the name is looked up by Python's own decoder of this one escape.
  size_t close = i;
  while (close + 1 < token_.end && at(close) != '}' && at(close) < 0x80) ++close;
  if (at(i) != '{' || at(close) != '}') fail(i - 2, "malformed \\N{name} escape");
  const std::string escape = "\\N" + utf8(i, close + 1);
  py::OwnedRef found = py::OwnedRef::steal(PyUnicode_DecodeUnicodeEscape(
      escape.data(), static_cast<Py_ssize_t>(escape.size()), "strict"));
  if (!found || PyUnicode_GET_LENGTH(found.get()) != 1) {
    PyErr_Clear();
    fail(i - 2, "unknown Unicode character name in " + escape);
  }
  i = close + 1;
  return PyUnicode_READ_CHAR(found.get(), 0);
}

py::OwnedRef Parser::string_object() const {
  std::vector<Py_UCS4> chars;
  for (size_t i = token_.start + 1; i + 1 < token_.end;) {
    const Py_UCS4 c = at(i++);
    if (c != '\\') {
      chars.push_back(c);
    } else if (const Py_UCS4 escaped = escape(i); escaped != kEnd) {
      chars.push_back(escaped);
    }
  }
  return py::OwnedRef::steal(py::check(PyUnicode_FromKindAndData(
      PyUnicode_4BYTE_KIND, chars.data(), static_cast<Py_ssize_t>(chars.size()))));
}

std::optional<PyValue> Parser::literal() {
  const size_t start = token_.start;
  if (is_word("True") || is_word("False")) {
    PyValue value = PyValue::from_python(is_word("True") ? Py_True : Py_False);
    advance();
    return value;
  }
  if (token_.kind == Tok::String) {
    PyValue value = value_at(start, string_object().get());
    advance();
    return value;
  }
  bool negative = false;
  bool signed_number = false;
  for (; token_.kind == Tok::Sign; advance()) {
    negative = negative != (at(token_.start) == '-');
    signed_number = true;
  }
  if (token_.kind != Tok::Number) {
    if (signed_number) fail_expected("a number after the sign");
    return std::nullopt;
  }
  py::OwnedRef number = number_object();
  if (negative) number = py::OwnedRef::steal(py::check(PyNumber_Negative(number.get())));
  PyValue value = value_at(start, number.get());
  advance();
  return value;
}

PyValue Parser::expect_literal() {
  std::optional<PyValue> value = literal();
  if (!value) fail_expected("a literal (a number, a string, True or False)");
  return std::move(*value);
}

std::vector<PyValue> Parser::literal_list() {
  if (token_.kind != Tok::LBracket) fail_expected("'[' (the values of 'in' are a list)");
  advance();
  std::vector<PyValue> values;
  while (token_.kind != Tok::RBracket) {
    values.push_back(expect_literal());
    if (token_.kind == Tok::Comma) {
      advance();
    } else if (token_.kind != Tok::RBracket) {
      fail_expected("',' or ']'");
    }
  }
  advance();
  return values;
}

std::string Parser::name_part() {
  if (token_.kind != Tok::Name) fail_expected("an attribute name");
  std::string part = utf8(token_.start, token_.end);
  if (part == "None") {
    fail(token_.start,
         "None is not a literal of the query language (its literals are numbers, "
         "strings, True and False)");
  }
  if (is_keyword(part)) fail(token_.start, "'" + part + "' is a keyword, not an attribute name");
  py::OwnedRef text = py::OwnedRef::steal(py::check(
      PyUnicode_DecodeUTF8(part.data(), static_cast<Py_ssize_t>(part.size()), "replace")));
  if (PyUnicode_IsIdentifier(text.get()) != 1) {
    fail(token_.start, "'" + part + "' is not an attribute name");
  }
  advance();
  return part;
}

Operand Parser::operand() {
  const size_t start = token_.start;
  if (token_.kind == Tok::Name && !is_word("True") && !is_word("False")) {
    std::string name = name_part();
    while (token_.kind == Tok::Dot) {
      advance();
      name += '.';
      name += name_part();
    }
    return Operand{start, std::move(name), std::nullopt};
  }
  std::optional<PyValue> value = literal();
  if (!value) fail_expected("a comparison, 'not' or '('");
  return Operand{start, {}, std::move(value)};
}

QueryExprPtr Parser::comparison() {
  Operand first = operand();
  if (!first.value && token_.kind == Tok::LParen) return method_call(first);
  const bool negated = is_word("not");
  if (negated || is_word("in")) {
    if (first.value) {
      fail(token_.start,
           "the attribute goes left of 'in' (for a substring, write "
           "name.contains(...))");
    }
    advance();
    if (negated) {
      if (!is_word("in")) fail_expected("'in' after 'not'");
      advance();
    }
    QueryExprPtr in = leaf(QueryOp::In, first.name, literal_list());
    return negated ? combined(QueryOp::Not, {std::move(in)}) : in;
  }
  if (token_.kind != Tok::Compare) {
    // True and False alone match everything and nothing.
    if (first.value && first.value->kind() == ValueKind::Bool) {
      return combined(first.value->as_bool() ? QueryOp::And : QueryOp::Or, {});
    }
    fail_expected(first.value ? "a comparison operator after the literal"
                              : "'==', '!=', '<', '<=', '>', '>=', 'in', 'not in' or a method "
                                "call after the attribute name");
  }
  return chain(std::move(first));
}

// a < b <= c ...: the conjunction of its links; lo <= x <= hi (hi >= x >= lo)
// with numbers for bounds is one between.
QueryExprPtr Parser::chain(Operand first) {
  std::vector<Operand> operands;
  std::vector<std::pair<CompareOp, size_t>> ops;
  operands.push_back(std::move(first));
  while (std::optional<CompareOp> op = compare_op()) {
    ops.emplace_back(*op, token_.start);
    advance();
    operands.push_back(operand());
  }
  auto number = [](const Operand& side) { return side.value && side.value->is_number(); };
  if (ops.size() == 2 && ops[0].first.text == ops[1].first.text &&
      (ops[0].first.text == "<=" || ops[0].first.text == ">=") && number(operands[0]) &&
      !operands[1].value && number(operands[2])) {
    const bool ascending = ops[0].first.text == "<=";
    return leaf(QueryOp::Bt, operands[1].name,
                {*operands[ascending ? 0 : 2].value, *operands[ascending ? 2 : 0].value});
  }
  std::vector<QueryExprPtr> links;
  for (size_t i = 0; i < ops.size(); ++i) {
    const Operand& left = operands[i];
    const Operand& right = operands[i + 1];
    if (left.value.has_value() == right.value.has_value()) {
      fail(ops[i].second, "a comparison needs an attribute on one side and a literal on the other");
    }
    links.push_back(left.value ? leaf(ops[i].first.flipped, right.name, {*left.value})
                               : leaf(ops[i].first.op, left.name, {*right.value}));
  }
  return links.size() == 1 ? links[0] : combined(QueryOp::And, std::move(links));
}

QueryExprPtr Parser::method_call(const Operand& target) {
  const size_t dot = target.name.rfind('.');
  const std::string_view method =
      std::string_view(target.name).substr(dot == std::string::npos ? 0 : dot + 1);
  if (dot == std::string::npos) {
    fail(target.start, "'" + target.name + "(' calls nothing: the methods are " +
                           "name.startswith(...), name.endswith(...) and name.contains(...)");
  }
  const QueryOp op = method == "startswith" ? QueryOp::StartsWi
                     : method == "endswith" ? QueryOp::EndsWi
                     : method == "contains" ? QueryOp::Contains
                                            : QueryOp::Eq;
  if (op == QueryOp::Eq) {
    fail(target.start,
         "unknown method '" + std::string(method) + "': expected startswith, endswith or contains");
  }
  advance();
  PyValue value = expect_literal();
  if (token_.kind != Tok::RParen) fail_expected("')' (the methods take one literal)");
  advance();
  return leaf(op, std::string_view(target.name).substr(0, dot), {std::move(value)});
}

void Parser::open_group(Group group, size_t open, uint32_t nots) {
  const size_t top = operands_.size();
  frames_.push_back(Frame{group, open, nots, top, top, top});
}

// all([ or any([: opens the list and returns true; otherwise reads nothing.
bool Parser::open_list(uint32_t nots) {
  if (!is_word("all") && !is_word("any")) return false;
  const Token name = token_;
  const size_t resume = pos_;
  const Group group = is_word("all") ? Group::All : Group::Any;
  advance();
  if (token_.kind != Tok::LParen) {
    token_ = name;
    pos_ = resume;
    return false;
  }
  advance();
  if (token_.kind != Tok::LBracket) fail_expected("'[': all() and any() take a list, all([...])");
  advance();
  open_group(group, name.start, nots);
  return true;
}

// Replaces the operands from `from` on by their combination under `op`
// (one operand stands for itself).
void Parser::collapse(size_t from, QueryOp op) {
  if (operands_.size() - from == 1) return;
  std::vector<QueryExprPtr> children(std::make_move_iterator(operands_.begin() + from),
                                     std::make_move_iterator(operands_.end()));
  operands_.resize(from);
  operands_.push_back(combined(op, std::move(children)));
}

void Parser::end_conjunction() {
  Frame& frame = frames_.back();
  collapse(frame.conjuncts, QueryOp::And);
  frame.conjuncts = operands_.size();
}

// Leaves the current expression of the innermost group as one operand.
void Parser::end_expression() {
  end_conjunction();
  Frame& frame = frames_.back();
  collapse(frame.disjuncts, QueryOp::Or);
  frame.disjuncts = frame.conjuncts = operands_.size();
}

void Parser::push_negated(QueryExprPtr expr, uint32_t nots) {
  for (uint32_t i = 0; i < nots; ++i) expr = combined(QueryOp::Not, {std::move(expr)});
  operands_.push_back(std::move(expr));
}

void Parser::close_paren() {
  end_expression();
  QueryExprPtr expr = std::move(operands_.back());
  operands_.pop_back();
  const uint32_t nots = frames_.back().nots;
  frames_.pop_back();
  push_negated(std::move(expr), nots);
}

// At the "]" of all([...]) or any([...]): reads "])" and combines the items,
// however many there are.
void Parser::close_list() {
  advance();
  if (token_.kind != Tok::RParen) fail_expected("')' after the list");
  advance();
  const Frame frame = frames_.back();
  frames_.pop_back();
  std::vector<QueryExprPtr> items(std::make_move_iterator(operands_.begin() + frame.items),
                                  std::make_move_iterator(operands_.end()));
  operands_.resize(frame.items);
  push_negated(combined(frame.group == Group::All ? QueryOp::And : QueryOp::Or, std::move(items)),
               frame.nots);
}

QueryExprPtr Parser::parse() {
  constexpr std::string_view kRepr = "<QueryExpr: ";
  if (utf8(0, kRepr.size()) == kRepr) {
    fail(0,
         "this is the repr of an expression, which str() gives when the expression has no "
         "text form (it holds a value other than a number, string or boolean, NaN, a name "
         "that is not a dotted identifier, or a between of bounds that are not numbers)");
  }
  open_group(Group::Text, 0, 0);
  advance();
  bool want_operand = true;
  for (;;) {
    if (want_operand) {
      uint32_t nots = 0;
      for (; is_word("not"); advance()) ++nots;
      if (token_.kind == Tok::LParen) {
        open_group(Group::Paren, token_.start, nots);
        advance();
        continue;
      }
      if (open_list(nots)) {
        if (token_.kind != Tok::RBracket) continue;
        close_list();
      } else {
        push_negated(comparison(), nots);
      }
      want_operand = false;
      continue;
    }
    const Group group = frames_.back().group;
    const bool listing = group == Group::All || group == Group::Any;
    if (is_word("and")) {
      advance();
      want_operand = true;
    } else if (is_word("or")) {
      end_conjunction();
      advance();
      want_operand = true;
    } else if (token_.kind == Tok::RParen && group == Group::Paren) {
      advance();
      close_paren();
    } else if (token_.kind == Tok::Comma && listing) {
      end_expression();
      advance();
      if (token_.kind == Tok::RBracket) {
        close_list();
      } else {
        want_operand = true;
      }
    } else if (token_.kind == Tok::RBracket && listing) {
      end_expression();
      close_list();
    } else if (token_.kind == Tok::End && group == Group::Text) {
      end_expression();
      return operands_.back();
    } else {
      fail_expected(group == Group::Text    ? "'and', 'or' or the end of the text"
                    : group == Group::Paren ? "'and', 'or' or ')'"
                                            : "'and', 'or', ',' or ']'");
    }
  }
}

// "{what} at position {n}:", then the line of the text around it (at most
// kShown characters) with a caret under the position.
void Parser::fail(size_t position, const std::string& what) const {
  constexpr size_t kShown = 72;
  size_t line_start = position;
  while (line_start > 0 && at(line_start - 1) != '\n') --line_start;
  size_t line_end = position;
  while (line_end < length_ && at(line_end) != '\n') ++line_end;
  size_t from = line_start;
  size_t to = line_end;
  if (to - from > kShown) {
    from = std::max(line_start, position > kShown / 2 ? position - kShown / 2 : 0);
    to = std::min(line_end, from + kShown);
  }
  std::string shown = from > line_start ? "..." : "";
  const size_t caret = shown.size() + (position - from);
  for (size_t i = from; i < to; ++i) {
    const Py_UCS4 c = at(i);
    append_utf8(shown, c < 0x20 || c == 0x7F ? ' ' : c);
  }
  if (to < line_end) shown += "...";
  PyErr_Format(PyExc_ValueError, "%s at position %zu:\n    %s\n    %s^", what.c_str(), position,
               shown.c_str(), std::string(caret, ' ').c_str());
  throw py::PythonError();
}

void Parser::fail_expected(const std::string& expected) const {
  std::string found = "the end of the text";
  if (token_.kind != Tok::End) {
    constexpr size_t kLongest = 24;
    const bool cut = token_.end - token_.start > kLongest;
    found = "'" + utf8(token_.start, token_.start + (cut ? kLongest : token_.end - token_.start)) +
            (cut ? "...'" : "'");
  }
  fail(token_.start, "expected " + expected + ", found " + found);
}

// fail() with the message of the pending Python error appended.
void Parser::fail_with_error(size_t position, const std::string& what) const {
  py::OwnedRef error = py::take_raised_exception();
  std::string reason;
  if (error) {
    py::OwnedRef text = py::OwnedRef::steal(PyObject_Str(error.get()));
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (utf8 != nullptr) reason = std::string(" (") + utf8 + ")";
    PyErr_Clear();
  }
  fail(position, what + reason);
}

// ---- writing ---------------------------------------------------------------

constexpr size_t kMaxTextBytes = size_t{64} << 20;

[[noreturn]] void refuse_value(const PyValue& value, const char* why) {
  py::OwnedRef object = py::OwnedRef::steal(value.to_python());
  if (!object) throw py::PythonError();
  PyErr_Format(PyExc_ValueError, "%R has no text form: %s", object.get(), why);
  throw py::PythonError();
}

class Writer {
 public:
  PyObject* write(const QueryExpr& root);

 private:
  // A node to write (in parentheses or not), or a piece of text.
  struct Step {
    const QueryExpr* node;
    const char* text;
    bool parens;
  };

  // How loosely a node binds: a child that binds no tighter than its parent
  // allows goes in parentheses.
  static int looseness(const QueryExpr& expr);
  void expand(const QueryExpr& expr);
  void push_child(const QueryExpr& child, int loosest_bare);
  void write_leaf(const QueryExpr& expr, bool negated_in);
  void write_name(std::string_view attr);
  void write_value(const PyValue& value);
  void write_values(const std::vector<PyValue>& values);

  std::string out_;
  std::vector<Step> steps_;
};

PyObject* Writer::write(const QueryExpr& root) {
  steps_.push_back(Step{&root, nullptr, false});
  while (!steps_.empty()) {
    const Step step = steps_.back();
    steps_.pop_back();
    if (step.node == nullptr) {
      out_ += step.text;
    } else if (step.parens) {
      out_ += '(';
      steps_.push_back(Step{nullptr, ")", false});
      steps_.push_back(Step{step.node, nullptr, false});
    } else {
      expand(*step.node);
    }
    if (out_.size() > kMaxTextBytes) {
      PyErr_SetString(PyExc_ValueError,
                      "the expression has no text form under 64 MiB (it repeats shared "
                      "sub-expressions)");
      throw py::PythonError();
    }
  }
  return py::check(
      PyUnicode_DecodeUTF8(out_.data(), static_cast<Py_ssize_t>(out_.size()), nullptr));
}

int Writer::looseness(const QueryExpr& expr) {
  const bool several = expr.children.size() >= 2;
  if (expr.op == QueryOp::Or && several) return 3;
  if (expr.op == QueryOp::And && several) return 2;
  if (expr.op == QueryOp::Not && expr.children[0]->op != QueryOp::In) return 1;
  return 0;
}

void Writer::push_child(const QueryExpr& child, int loosest_bare) {
  steps_.push_back(Step{&child, nullptr, looseness(child) > loosest_bare});
}

void Writer::expand(const QueryExpr& expr) {
  const size_t count = expr.children.size();
  switch (expr.op) {
    case QueryOp::Not:
      if (expr.children[0]->op == QueryOp::In) {
        write_leaf(*expr.children[0], true);
      } else {
        out_ += "not ";
        push_child(*expr.children[0], 1);
      }
      return;
    case QueryOp::And:
    case QueryOp::Or: {
      const bool all = expr.op == QueryOp::And;
      if (count == 0) {
        out_ += all ? "True" : "False";
      } else if (count == 1) {
        out_ += all ? "all([" : "any([";
        steps_.push_back(Step{nullptr, "])", false});
        push_child(*expr.children[0], 3);
      } else {
        for (size_t i = count; i-- > 0;) {
          push_child(*expr.children[i], all ? 1 : 2);
          if (i > 0) steps_.push_back(Step{nullptr, all ? " and " : " or ", false});
        }
      }
      return;
    }
    default:
      write_leaf(expr, false);
  }
}

void Writer::write_leaf(const QueryExpr& expr, bool negated_in) {
  if (expr.op == QueryOp::Bt) {
    if (!expr.values[0].is_number() || !expr.values[1].is_number()) {
      refuse_value(expr.values[expr.values[0].is_number() ? 1 : 0],
                   "a between is written lower <= name <= upper, with numbers for bounds");
    }
    write_value(expr.values[0]);
    out_ += " <= ";
    write_name(expr.attr.view());
    out_ += " <= ";
    write_value(expr.values[1]);
    return;
  }
  write_name(expr.attr.view());
  switch (expr.op) {
    case QueryOp::In:
      out_ += negated_in ? " not in " : " in ";
      write_values(expr.values);
      return;
    case QueryOp::StartsWi:
    case QueryOp::EndsWi:
    case QueryOp::Contains:
      out_ += expr.op == QueryOp::StartsWi ? ".startswith("
              : expr.op == QueryOp::EndsWi ? ".endswith("
                                           : ".contains(";
      write_value(expr.values[0]);
      out_ += ')';
      return;
    default:
      for (const CompareOp& op : kCompareOps) {
        if (op.op == expr.op) {
          out_ += ' ';
          out_ += op.text;
          out_ += ' ';
        }
      }
      write_value(expr.values[0]);
  }
}

void Writer::write_name(std::string_view attr) {
  for (size_t start = 0;;) {
    const size_t dot = attr.find('.', start);
    const std::string_view part = attr.substr(start, dot - start);
    py::OwnedRef text = py::OwnedRef::steal(
        PyUnicode_DecodeUTF8(part.data(), static_cast<Py_ssize_t>(part.size()), nullptr));
    if (!text) throw py::PythonError();
    if (is_keyword(part) || PyUnicode_IsIdentifier(text.get()) != 1) {
      PyErr_Format(
          PyExc_ValueError,
          "the attribute name %R has no text form: names are identifiers (not "
          "keywords) joined by dots",
          py::OwnedRef::steal(py::check(PyUnicode_DecodeUTF8(
                                  attr.data(), static_cast<Py_ssize_t>(attr.size()), nullptr)))
              .get());
      throw py::PythonError();
    }
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  out_ += attr;
}

void Writer::write_value(const PyValue& value) {
  switch (value.kind()) {
    case ValueKind::Int:
      out_ += std::to_string(value.as_int());
      return;
    case ValueKind::Bool:
      out_ += value.as_bool() ? "True" : "False";
      return;
    case ValueKind::Float: {
      const double number = value.as_float();
      if (std::isnan(number)) refuse_value(value, "no literal of the query language is NaN");
      if (std::isinf(number)) {
        out_ += number < 0 ? "-1e999" : "1e999";  // as in Python, 1e999 reads as infinity
        return;
      }
      char* text = py::check(PyOS_double_to_string(number, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr));
      out_ += text;
      PyMem_Free(text);
      return;
    }
    case ValueKind::Str: {
      const std::string_view text = value.as_str();
      py::OwnedRef str = py::OwnedRef::steal(py::check(
          PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr)));
      py::OwnedRef quoted = py::OwnedRef::steal(py::check(PyObject_Repr(str.get())));
      Py_ssize_t size = 0;
      const char* utf8 = py::check(PyUnicode_AsUTF8AndSize(quoted.get(), &size));
      out_.append(utf8, static_cast<size_t>(size));
      return;
    }
    default:
      refuse_value(value, "the query language writes numbers, strings, True and False");
  }
}

void Writer::write_values(const std::vector<PyValue>& values) {
  out_ += '[';
  for (size_t i = 0; i < values.size(); ++i) {
    if (i > 0) out_ += ", ";
    write_value(values[i]);
  }
  out_ += ']';
}

}  // namespace

QueryExprPtr parse_query_text(PyObject* text) {
  return Parser(text).parse();
}

PyObject* query_text(const QueryExpr& root) {
  return Writer().write(root);
}

}  // namespace vantorel
