#include "core/query/query_ops.h"

#include <algorithm>
#include <array>
#include <iterator>
#include <map>
#include <optional>
#include <span>
#include <unordered_map>
#include <unordered_set>

#include "core/query/compare.h"
#include "core/query/direct_match.h"
#include "core/query/query.h"
#include "native/structures/string_interner/string_interner.h"
#include "values/attribute_names.h"

namespace vantorel {

namespace {

bool merges_into(QueryOp parent, const QueryExpr& child) {
  return child.op == parent && (parent == QueryOp::And || parent == QueryOp::Or);
}

}  // namespace

QueryExpr::QueryExpr(QueryOp op, SmallString attr, std::vector<PyValue> values,
                     std::vector<QueryExprPtr> children)
    : op(op), attr(std::move(attr)), values(std::move(values)), children(std::move(children)) {
  for (const QueryExprPtr& child : this->children) {
    depth = std::max(depth, child->depth + (merges_into(op, *child) ? 0 : 1));
  }
}

QueryExpr::~QueryExpr() {
  std::vector<QueryExprPtr> pending = std::move(children);
  while (!pending.empty()) {
    QueryExprPtr node = std::move(pending.back());
    pending.pop_back();
    // The last owner empties the node before it dies, so its destructor
    // has nothing to recurse into. Nodes are created non-const (only the
    // pointers are const), so taking their children is allowed.
    if (node.use_count() == 1) {
      auto& grandchildren = const_cast<QueryExpr&>(*node).children;
      for (QueryExprPtr& child : grandchildren) pending.push_back(std::move(child));
      grandchildren.clear();
    }
  }
}

QueryExpr QueryExpr::leaf(QueryOp op, std::string_view attr, std::vector<PyValue> values) {
  return QueryExpr(op, SmallString(attr), std::move(values), {});
}

QueryExpr QueryExpr::combine(QueryOp op, std::vector<QueryExprPtr> children) {
  return QueryExpr(op, SmallString(), {}, std::move(children));
}

namespace {

// The operators in the order a conjunction evaluates them: cheap, selective
// ones first.
constexpr QueryOp kEvaluationOrder[] = {
    QueryOp::Eq,     QueryOp::Ne,       QueryOp::Not, QueryOp::In, QueryOp::StartsWi,
    QueryOp::EndsWi, QueryOp::Contains, QueryOp::And, QueryOp::Or, QueryOp::Lt,
    QueryOp::Le,     QueryOp::Gt,       QueryOp::Ge,  QueryOp::Bt,
};
static_assert(std::size(kEvaluationOrder) == kQueryOpCount);

// The position of each operator in kEvaluationOrder, indexed by the
// operator; -1 marks one missing there.
constexpr std::array<int, kQueryOpCount> evaluation_ranks() {
  std::array<int, kQueryOpCount> ranks{};
  ranks.fill(-1);
  for (size_t rank = 0; rank < kQueryOpCount; ++rank) {
    ranks[static_cast<size_t>(kEvaluationOrder[rank])] = static_cast<int>(rank);
  }
  return ranks;
}

constexpr std::array<int, kQueryOpCount> kRanks = evaluation_ranks();
static_assert(std::find(kRanks.begin(), kRanks.end(), -1) == kRanks.end(),
              "every operator has an evaluation rank");

int evaluation_rank(const QueryExpr& expr) {
  return kRanks[static_cast<size_t>(expr.op)];
}

struct OpName {
  QueryOp op;
  const char* name;
};

// Indexed by the operator: entry i names the operator at position i.
constexpr OpName kOpNames[] = {
    {QueryOp::Eq, "Eq"},         {QueryOp::Ne, "Ne"},
    {QueryOp::Not, "Not"},       {QueryOp::In, "In"},
    {QueryOp::And, "And"},       {QueryOp::Or, "Or"},
    {QueryOp::Gt, "Gt"},         {QueryOp::Ge, "Ge"},
    {QueryOp::Lt, "Lt"},         {QueryOp::Le, "Le"},
    {QueryOp::Bt, "Bt"},         {QueryOp::StartsWi, "StartsWi"},
    {QueryOp::EndsWi, "EndsWi"}, {QueryOp::Contains, "Contains"},
};
static_assert(std::size(kOpNames) == kQueryOpCount);

constexpr bool names_in_operator_order() {
  for (size_t i = 0; i < kQueryOpCount; ++i) {
    if (static_cast<size_t>(kOpNames[i].op) != i) return false;
  }
  return true;
}
static_assert(names_in_operator_order(), "kOpNames lists the operators in their declared order");

const char* op_name(QueryOp op) {
  return kOpNames[static_cast<size_t>(op)].name;
}

constexpr size_t kMaxDebugBytes = size_t{1} << 20;

// The text of one node up to its first child, and what follows each child.
void open_node(const QueryExpr& expr, std::string& out) {
  out += op_name(expr.op);
  out += "(";
  switch (expr.op) {
    case QueryOp::Not:
      break;
    case QueryOp::And:
    case QueryOp::Or:
      out += "[";
      break;
    case QueryOp::In:
      out += quoted_debug(expr.attr.view()) + ", [";
      for (size_t i = 0; i < expr.values.size() && out.size() <= kMaxDebugBytes; ++i) {
        if (i > 0) out += ", ";
        out += expr.values[i].debug();
      }
      out += "]";
      break;
    default:
      out += quoted_debug(expr.attr.view());
      for (const PyValue& value : expr.values) out += ", " + value.debug();
      break;
  }
}

void close_node(const QueryExpr& expr, std::string& out) {
  if (expr.op == QueryOp::And || expr.op == QueryOp::Or) out += "]";
  out += ")";
}

}  // namespace

// Depth-first with an explicit stack: a left fold of many terms nests as
// deep as it is long.
std::string QueryExpr::debug() const {
  struct Frame {
    const QueryExpr* node;
    size_t next_child;
  };
  std::string out;
  std::vector<Frame> stack{{this, 0}};
  open_node(*this, out);
  while (!stack.empty() && out.size() <= kMaxDebugBytes) {
    Frame& frame = stack.back();
    const QueryExpr& node = *frame.node;
    if (frame.next_child == node.children.size()) {
      close_node(node, out);
      stack.pop_back();
      continue;
    }
    if (frame.next_child > 0) out += ", ";
    const QueryExpr& child = *node.children[frame.next_child++];
    open_node(child, out);
    stack.push_back({&child, 0});
  }
  if (out.size() > kMaxDebugBytes) {
    out.resize(kMaxDebugBytes);
    out += "...";
  }
  return out;
}

const QueryExpr* QueryExpr::invalid_between() const {
  std::vector<const QueryExpr*> stack{this};
  std::unordered_set<const QueryExpr*> seen{this};
  while (!stack.empty()) {
    const QueryExpr& expr = *stack.back();
    stack.pop_back();
    if (expr.op == QueryOp::Bt && !(expr.values[0].is_number() && expr.values[1].is_number())) {
      return &expr;
    }
    for (const QueryExprPtr& child : expr.children) {
      if (seen.insert(child.get()).second) stack.push_back(child.get());
    }
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

using Items = PoisonRwLock<IndexAPI::ItemTable>;

Bitmap evaluate_leaf(const IndexAPI::MapArray& maps, const Bitmap& allowed, const QueryExpr& expr,
                     std::string_view attr, QueryOp op, const Items* items,
                     const ReadSnapshot* snapshot);

bool is_range(QueryOp op) {
  return op == QueryOp::Gt || op == QueryOp::Ge || op == QueryOp::Lt || op == QueryOp::Le ||
         op == QueryOp::Bt;
}

// A range over a handful of candidates (what a selective equality leaves in
// a conjunction such as `c == 7 and b >= 0.5`) compares each candidate's
// stored value, which costs less than walking the distinct values or the
// bit slices.
constexpr uint64_t kFewCandidates = 16;

// The ids of `candidates` (live ids of the core of `items`) whose plain
// attribute `attr` satisfies the range; nullopt when the item table is busy.
// The stored values are read in their current state, so a query under a
// snapshot does not ask (its evaluation has no `items`).
std::optional<Bitmap> match_candidates(const Items& items, const Bitmap& candidates,
                                       std::string_view attr, QueryOp op, const QueryExpr& expr) {
  std::optional<uint32_t> attribute = global_interner().get(attr);
  if (!attribute) return Bitmap();
  auto table = items.try_read();
  if (!table) return std::nullopt;
  const Comparison comparison(op, expr.values);
  Bitmap result;
  (*table)->for_each_at(candidates, std::nullopt, [&](const StoredItem& item) {
    if (attribute_matches(*item.record, *attribute, comparison)) result.add(item.record->id);
  });
  return result;
}

bool compares_candidates(const Items* items, const Bitmap& allowed, std::string_view attr,
                         QueryOp op) {
  return items != nullptr && is_range(op) && is_indexed_name(attr) &&
         allowed.cardinality() <= kFewCandidates;
}

// Evaluates the leaf `expr`, as operator `op` on the attribute `attr` (the
// rest of a dotted name), in the nested core of `map`, and maps the matching
// held objects to their holders. Links kept aside as cycles are followed by
// reading the held objects' attributes, under cyclic_links alone; their
// holders are unmapped once it is let go.
Bitmap evaluate_nested(const QueryMap& map, const QueryExpr& expr, std::string_view attr,
                       QueryOp op, const Bitmap& allowed, const ReadSnapshot* snapshot) {
  Bitmap holders;
  if (std::shared_ptr<IndexAPI> core = map.nested()) {
    Bitmap children = core->read_live(
        [&](const IndexAPI::MapArray& nested_maps, const Bitmap& nested_allowed) {
          return evaluate_leaf(nested_maps, nested_allowed, expr, attr, op, nullptr, snapshot);
        },
        snapshot);
    holders = map.holders_of(*core, children, snapshot);
  }
  if (map.has_cyclic_links()) {
    const Comparison comparison(op, expr.values);
    Bitmap cyclic;
    map.for_each_cyclic_link([&](uint32_t holder, const IndexableRecord& held) {
      if (object_matches(held, attr, comparison)) cyclic.add(holder);
    });
    map.unmask_ids(cyclic, snapshot);
    holders |= cyclic;
  }
  holders &= allowed;
  return holders;
}

// The leaf `expr` evaluated as operator `op` on attribute `attr`, which may
// differ from the expression's own (the rest of a dotted name, or Eq for Ne).
Bitmap evaluate_leaf(const IndexAPI::MapArray& maps, const Bitmap& allowed, const QueryExpr& expr,
                     std::string_view attr, QueryOp op, const Items* items,
                     const ReadSnapshot* snapshot) {
  AttrParts parts = attr_parts(attr);
  const QueryMap* map = map_named(maps, parts.head);
  if (map == nullptr) return Bitmap();
  if (parts.rest) return evaluate_nested(*map, expr, *parts.rest, op, allowed, snapshot);
  if (compares_candidates(items, allowed, parts.head, op)) {
    if (std::optional<Bitmap> matched = match_candidates(*items, allowed, parts.head, op, expr)) {
      return std::move(*matched);
    }
  }
  Bitmap result;
  switch (op) {
    case QueryOp::Eq:
      result = map->eq(expr.values[0], snapshot);
      break;
    case QueryOp::In:
      for (const PyValue& value : expr.values) result |= map->eq(value, snapshot);
      break;
    case QueryOp::Gt:
    case QueryOp::Ge:
    case QueryOp::Lt:
    case QueryOp::Le:
    case QueryOp::Bt:
      return map->range(KeyRange::of(op, expr.values), allowed, snapshot) & allowed;
    case QueryOp::StartsWi:
      result = map->starts_with(expr.values[0], snapshot);
      break;
    case QueryOp::EndsWi:
      result = map->ends_with(expr.values[0], snapshot);
      break;
    case QueryOp::Contains:
      result = map->contains(expr.values[0], snapshot);
      break;
    default:
      break;
  }
  result &= allowed;
  return result;
}

// One evaluation of a tree against one core. Every set a node is evaluated
// against is a subset of the root's allowed set, and every operator filters
// each id on its own, so the result of a node under a subset is its result
// under the root set intersected with that subset. A combination that the
// tree reaches along several paths is therefore computed once, against the
// root set, and then intersected.
class Evaluation {
 public:
  // A node to evaluate, and whether the tree reaches it along several paths
  // (then its result is computed once and kept).
  struct Operand {
    const QueryExpr* node;
    bool shared;
  };

  // Under a `snapshot`, the operators read the locks it holds through it.
  Evaluation(const IndexAPI::MapArray& maps, const Bitmap& root, const Items* items,
             const ReadSnapshot* snapshot)
      : maps_(maps), root_(root), items_(items), snapshot_(snapshot) {}

  Bitmap run(const QueryExpr& expr, const Bitmap& allowed) {
    switch (expr.op) {
      case QueryOp::Ne:
        return allowed - leaf(expr, allowed, QueryOp::Eq);
      case QueryOp::Not:
        return allowed - evaluate(operand_of(expr.children.front()), allowed);
      case QueryOp::And: {
        std::vector<Operand> operands = operands_of(expr);
        return all_of(operands, allowed);
      }
      case QueryOp::Or: {
        Bitmap result;
        for (const Operand& operand : operands_of(expr)) result |= evaluate(operand, allowed);
        return result;
      }
      default:
        return leaf(expr, allowed, expr.op);
    }
  }

  // The conjunction, cheap and selective conditions first, each evaluated
  // against what the previous ones left.
  Bitmap all_of(std::vector<Operand>& operands, const Bitmap& allowed) {
    if (operands.empty()) return allowed;
    if (operands.size() == 1) return evaluate(operands.front(), allowed);
    std::stable_sort(operands.begin(), operands.end(), [](const Operand& a, const Operand& b) {
      return evaluation_rank(*a.node) < evaluation_rank(*b.node);
    });
    // The first operand narrows `allowed` itself: copying it first would
    // clone every container of the live ids.
    Bitmap result = evaluate(operands.front(), allowed);
    for (size_t i = 1; i < operands.size() && !result.empty(); ++i) {
      result = evaluate(operands[i], result);  // an empty conjunction stays empty
    }
    return result;
  }

 private:
  Bitmap leaf(const QueryExpr& expr, const Bitmap& allowed, QueryOp op) const {
    return evaluate_leaf(maps_, allowed, expr, expr.attr.view(), op, items_, snapshot_);
  }

  static Operand operand_of(const QueryExprPtr& child) {
    return {child.get(), child.use_count() > 1 && !child->children.empty()};
  }

  // The operands of an And (Or), looking through the Ands (Ors) nested in
  // it; an operand reached twice counts once, since x & x = x and x | x = x.
  static std::vector<Operand> operands_of(const QueryExpr& expr) {
    std::vector<Operand> operands;
    std::vector<const QueryExpr*> stack{&expr};
    std::unordered_set<const QueryExpr*> seen;
    while (!stack.empty()) {
      const QueryExpr& node = *stack.back();
      stack.pop_back();
      for (const QueryExprPtr& c : node.children) {
        if (c.use_count() > 1 && !seen.insert(c.get()).second) continue;
        if (merges_into(expr.op, *c)) {
          stack.push_back(c.get());
        } else {
          operands.push_back(operand_of(c));
        }
      }
    }
    return operands;
  }

  Bitmap evaluate(const Operand& operand, const Bitmap& allowed) {
    if (!operand.shared) return run(*operand.node, allowed);
    auto found = memo_.find(operand.node);
    if (found == memo_.end()) found = memo_.emplace(operand.node, run(*operand.node, root_)).first;
    return found->second & allowed;
  }

  const IndexAPI::MapArray& maps_;
  const Bitmap& root_;
  const Items* items_;
  const ReadSnapshot* snapshot_;
  std::unordered_map<const QueryExpr*, Bitmap> memo_;
};

// Whether evaluating `roots` reads some value index more than once: a
// membership test over several values, or two leaves under one attribute.
// Every operator reads its own structures together in one state, so a query
// that reads each attribute once needs nothing more. Stops at the first
// repeat, so a tree that shares its subtrees is walked only up to that point.
bool reads_an_attribute_twice(std::span<const QueryExpr> roots) {
  if (roots.size() == 1 && roots.front().children.empty()) {  // the common case
    return roots.front().op == QueryOp::In && roots.front().values.size() > 1;
  }
  std::vector<std::string_view> heads;
  std::vector<const QueryExpr*> stack;
  for (const QueryExpr& root : roots) stack.push_back(&root);
  while (!stack.empty()) {
    const QueryExpr& node = *stack.back();
    stack.pop_back();
    if (!node.children.empty()) {
      for (const QueryExprPtr& child : node.children) stack.push_back(child.get());
      continue;
    }
    if (node.op == QueryOp::In && node.values.size() > 1) return true;
    const std::string_view head = attr_parts(node.attr.view()).head;
    if (std::find(heads.begin(), heads.end(), head) != heads.end()) return true;
    heads.push_back(head);
  }
  return false;
}

// A leaf as one core reads it: the rest of its name there, and its operator.
struct LeafRead {
  std::string_view attr;
  QueryOp op;
};

// The leaves of `roots`, each node once.
std::vector<LeafRead> leaves_of(std::span<const QueryExpr> roots) {
  std::vector<LeafRead> leaves;
  std::vector<const QueryExpr*> stack;
  std::unordered_set<const QueryExpr*> seen;
  for (const QueryExpr& root : roots) stack.push_back(&root);
  while (!stack.empty()) {
    const QueryExpr& node = *stack.back();
    stack.pop_back();
    if (node.children.empty()) leaves.push_back({node.attr.view(), node.op});
    for (const QueryExprPtr& child : node.children) {
      if (seen.insert(child.get()).second) stack.push_back(child.get());
    }
  }
  return leaves;
}

// Ranges answer from the bit slices once they are built and their queued
// moves applied, suffixes and substrings from the string positions once
// built, numbers from their sets once the moves queued there are applied;
// all take the write lock, so the maps that `leaves` read in this core get
// them ready before a snapshot holds anything. (The nested cores'
// are not: under the snapshot, their ranges walk the distinct values and
// their patterns scan the distinct strings.)
void prepare_maps(const IndexAPI::MapArray& maps, const std::vector<LeafRead>& leaves) {
  for (const LeafRead& leaf : leaves) {
    const AttrParts parts = attr_parts(leaf.attr);
    QueryMap* map = parts.rest ? nullptr : map_named(maps, parts.head);
    if (map == nullptr) continue;
    if (is_range(leaf.op)) {
      map->settle_queued_moves();
    } else {
      map->apply_number_moves();
    }
    if (leaf.op == QueryOp::EndsWi || leaf.op == QueryOp::Contains) map->prepare_positions();
  }
}

// What a query reads in a nested core.
struct NestedReads {
  std::shared_ptr<IndexAPI> core;
  std::vector<LeafRead> leaves;
};

// Holds in `snapshot` the sub-indexes of the maps that `leaves` read in one
// core (of value indexes `maps`), in ascending attribute order, and queues in
// `nested` what they read in the maps' nested cores.
void hold_maps(const IndexAPI::MapArray& maps, const std::vector<LeafRead>& leaves,
               ReadSnapshot& snapshot, std::vector<NestedReads>& nested) {
  std::map<uint32_t, std::vector<LeafRead>> read;  // attribute -> the rests of its dotted names
  for (const LeafRead& leaf : leaves) {
    const AttrParts parts = attr_parts(leaf.attr);
    std::optional<uint32_t> id = global_interner().get(parts.head);
    if (!id || *id >= maps.size() || !maps[*id]) continue;
    std::vector<LeafRead>& rests = read[*id];
    if (parts.rest) rests.push_back({*parts.rest, leaf.op});
  }
  for (auto& [attribute, rests] : read) {
    const QueryMap& map = *maps[attribute];
    map.hold_sub_indexes(snapshot);
    if (rests.empty()) continue;
    if (std::shared_ptr<IndexAPI> core = map.nested()) nested.push_back({core, std::move(rests)});
  }
}

// Takes in `snapshot` every lock that evaluating `roots` against a core (of
// value indexes `maps`, which the caller holds with its live ids) reads: the
// sub-indexes of the maps read there, then, one nested core after the other
// in the order they were made (each after the core that owns it, as the
// lock order has it), a nested core's `index` and live ids, the sub-indexes
// read there and its parent/child map. Exact-value maps and cyclic links
// are read as the evaluation meets them.
void take_snapshot(const IndexAPI::MapArray& maps, std::span<const QueryExpr> roots,
                   ReadSnapshot& snapshot) {
  const std::vector<LeafRead> leaves = leaves_of(roots);
  prepare_maps(maps, leaves);
  std::vector<NestedReads> pending;
  hold_maps(maps, leaves, snapshot, pending);
  while (!pending.empty()) {
    auto first = std::min_element(pending.begin(), pending.end(), [](const auto& a, const auto& b) {
      return a.core->serial() < b.core->serial();
    });
    NestedReads next = std::move(*first);
    pending.erase(first);
    next.core->hold_live(snapshot);
    next.core->read_maps(
        [&](const IndexAPI::MapArray& nested_maps) {
          hold_maps(nested_maps, next.leaves, snapshot, pending);
        },
        &snapshot);
    next.core->hold_paths(snapshot);
  }
}

// Runs evaluate(snapshot) for `roots`: with a snapshot (else null) when they
// read some attribute more than once, so that each attribute is seen in one
// state, before or after any concurrent assignment, never in between.
template <class Evaluate>
Bitmap evaluate_in_one_state(const IndexAPI::MapArray& maps, std::span<const QueryExpr> roots,
                             Evaluate&& evaluate) {
  if (!reads_an_attribute_twice(roots)) return evaluate(nullptr);
  ReadSnapshot snapshot;
  take_snapshot(maps, roots, snapshot);
  return evaluate(&snapshot);
}

}  // namespace

QueryMap* map_named(const IndexAPI::MapArray& maps, std::string_view name) {
  std::optional<uint32_t> id = global_interner().get(name);
  if (!id || *id >= maps.size()) return nullptr;
  return maps[*id].get();
}

Bitmap evaluate_query(const IndexAPI::MapArray& maps, const Bitmap& allowed, const QueryExpr& expr,
                      const Items* items) {
  return evaluate_in_one_state(
      maps, std::span<const QueryExpr>(&expr, 1), [&](const ReadSnapshot* snapshot) {
        // The stored values that a few candidates are compared with are in
        // their current state, not in the snapshot's.
        return Evaluation(maps, allowed, snapshot == nullptr ? items : nullptr, snapshot)
            .run(expr, allowed);
      });
}

Bitmap evaluate_and_queries_vec(const IndexAPI::MapArray& maps, const Bitmap& allowed,
                                const std::vector<QueryExpr>& exprs) {
  return evaluate_in_one_state(maps, exprs, [&](const ReadSnapshot* snapshot) {
    Evaluation evaluation(maps, allowed, nullptr, snapshot);
    if (exprs.size() == 1) return evaluation.run(exprs.front(), allowed);
    std::vector<Evaluation::Operand> operands;
    operands.reserve(exprs.size());
    for (const QueryExpr& expr : exprs) operands.push_back({&expr, false});
    return evaluation.all_of(operands, allowed);
  });
}

}  // namespace vantorel
