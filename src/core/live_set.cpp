#include "core/live_set.h"

#include <algorithm>
#include <deque>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "core/index.h"
#include "core/query/compare.h"
#include "core/query/direct_match.h"
#include "native/structures/string_interner/string_interner.h"
#include "py/entry.h"
#include "values/attribute_names.h"

namespace vantorel {

namespace live_detail {
std::array<std::atomic<uint32_t>, kWatchSlots> watch_counts{};
}  // namespace live_detail

namespace {

// The names of every path of `expr`, interned (a name stored later keeps the
// id it gets now): the first names into `heads`, all into `names`. Returns
// whether a path is dotted.
bool collect_names(const QueryExpr& expr, std::vector<uint32_t>& heads,
                   std::vector<uint32_t>& names) {
  bool dotted = false;
  std::vector<const QueryExpr*> stack{&expr};
  while (!stack.empty()) {
    const QueryExpr& node = *stack.back();
    stack.pop_back();
    for (const QueryExprPtr& child : node.children) stack.push_back(child.get());
    if (!node.children.empty() || node.op == QueryOp::Not) continue;
    std::string_view path = node.attr.view();
    bool head = true;
    while (true) {
      const size_t dot = path.find('.');
      const uint32_t id = global_interner().intern(path.substr(0, dot));
      if (head) heads.push_back(id);
      names.push_back(id);
      head = false;
      if (dot == std::string_view::npos) break;
      dotted = true;
      path = path.substr(dot + 1);
    }
  }
  for (std::vector<uint32_t>* ids : {&heads, &names}) {
    std::sort(ids->begin(), ids->end());
    ids->erase(std::unique(ids->begin(), ids->end()), ids->end());
  }
  return dotted;
}

}  // namespace

// The expression compiled for matching one object at a time: each leaf's
// comparison is made once and a plain name's id found once; an And (Or)
// inside an And (Or) is merged into it, so matching recurses no deeper than
// evaluation does. Nodes that the tree reaches along several paths are
// compiled once, and matched once per object.
class CompiledExpr {
 public:
  explicit CompiledExpr(const QueryExpr& expr) { compile(expr); }

  // Whether an object that holds `value` at the one plain name that every
  // leaf reads matches.
  bool matches_value(const PyValue& value) const { return root(nullptr, &value); }
  bool matches(const IndexableRecord& record) const { return root(&record, nullptr); }

 private:
  struct Node {
    QueryOp op = QueryOp::And;  // And, Or, Not, or a leaf's operator (Eq for Ne)
    bool negate = false;        // Ne: the negation of Eq
    bool shared = false;        // reached along several paths
    std::string_view path;
    std::optional<uint32_t> attribute;  // a plain name's id
    std::optional<Comparison> comparison;
    std::vector<uint32_t> children;
  };

  uint32_t compile(const QueryExpr& expr) {
    auto known = compiled_.find(&expr);
    if (known != compiled_.end()) {
      nodes_[known->second].shared = true;
      has_shared_ = true;
      return known->second;
    }
    const auto at = static_cast<uint32_t>(nodes_.size());
    compiled_.emplace(&expr, at);
    Node& added = nodes_.emplace_back();
    added.op = expr.op == QueryOp::Ne ? QueryOp::Eq : expr.op;
    added.negate = expr.op == QueryOp::Ne;
    if (expr.op == QueryOp::And || expr.op == QueryOp::Or || expr.op == QueryOp::Not) {
      std::vector<uint32_t> children;
      for (const QueryExpr* operand : operands(expr)) children.push_back(compile(*operand));
      nodes_[at].children = std::move(children);
      return at;
    }
    Node& leaf = nodes_[at];
    leaf.path = expr.attr.view();
    leaf.comparison.emplace(leaf.op, expr.values);
    const std::string_view head = leaf.path.substr(0, leaf.path.find('.'));
    if (head.size() == leaf.path.size() && is_indexed_name(head)) {
      leaf.attribute = global_interner().intern(head);
    }
    return at;
  }

  // The children of a Not, or the operands of an And (Or) looking through
  // the Ands (Ors) nested in it.
  static std::vector<const QueryExpr*> operands(const QueryExpr& expr) {
    std::vector<const QueryExpr*> found;
    std::vector<const QueryExpr*> stack{&expr};
    while (!stack.empty()) {
      const QueryExpr& node = *stack.back();
      stack.pop_back();
      for (auto child = node.children.rbegin(); child != node.children.rend(); ++child) {
        if (expr.op != QueryOp::Not && (*child)->op == expr.op) {
          stack.push_back(child->get());
        } else {
          found.push_back(child->get());
        }
      }
    }
    return found;
  }

  // The whole expression, as node() matches it (an empty memo allocates nothing).
  bool root(const IndexableRecord* record, const PyValue* value) const {
    std::vector<int8_t> memo;
    if (has_shared_) memo.assign(nodes_.size(), -1);
    return node(record, value, 0, has_shared_ ? &memo : nullptr);
  }

  // The node `at` for the object of `record`, or (with `value`) for an
  // object holding `value` at the name every leaf reads.
  bool node(const IndexableRecord* record, const PyValue* value, uint32_t at,
            std::vector<int8_t>* memo) const {
    const Node& n = nodes_[at];
    if (n.shared && (*memo)[at] >= 0) return (*memo)[at] != 0;
    bool matched = false;
    switch (n.op) {
      case QueryOp::And:
        matched = std::all_of(n.children.begin(), n.children.end(),
                              [&](uint32_t child) { return node(record, value, child, memo); });
        break;
      case QueryOp::Or:
        matched = std::any_of(n.children.begin(), n.children.end(),
                              [&](uint32_t child) { return node(record, value, child, memo); });
        break;
      case QueryOp::Not:
        matched = !node(record, value, n.children.front(), memo);
        break;
      default:
        if (value != nullptr) {
          matched = n.attribute && n.comparison->matches(*value);
        } else {
          matched = n.attribute ? attribute_matches(*record, *n.attribute, *n.comparison)
                                : object_matches(*record, n.path, *n.comparison);
        }
        matched = matched != n.negate;
    }
    if (n.shared) (*memo)[at] = matched ? 1 : 0;
    return matched;
  }

  std::vector<Node> nodes_;
  std::unordered_map<const QueryExpr*, uint32_t> compiled_;
  bool has_shared_ = false;
};

namespace {

// What one thread has noted and not yet delivered. A vacant item: an
// assignment to `attribute` of an object held in a nested core whose
// outermost core is `core`.
struct LiveChange {
  std::shared_ptr<IndexAPI> core;
  StoredItem item;
  std::optional<uint32_t> attribute;
};

struct LiveQueue {
  std::vector<LiveChange> changes;
  std::deque<LiveNotification> notifications;
  // Kept between settlings for their capacity.
  std::vector<LiveChange> settling;
  std::vector<std::shared_ptr<LiveSet>> sets;
};

thread_local LiveQueue live_queue;

}  // namespace

LiveSet::LiveSet(std::shared_ptr<IndexAPI> core, QueryExprPtr expr)
    : core_(core),
      expr_(std::move(expr)),
      compiled_(std::make_unique<CompiledExpr>(*expr_)),
      members_(LockRank{LockLevel::kLiveMembers}) {
  reads_nested_ = collect_names(*expr_, heads_, names_);
  for (uint32_t name : names_) {
    live_detail::watch_counts[name % live_detail::kWatchSlots].fetch_add(1);
  }
}

LiveSet::~LiveSet() {
  // The core matches its listed sets under the list's lock, without owning
  // them: this set leaves the list before any of it is gone.
  if (std::shared_ptr<IndexAPI> core = core_.lock()) core->remove_live_set(this);
  for (uint32_t name : names_) {
    live_detail::watch_counts[name % live_detail::kWatchSlots].fetch_sub(1);
  }
}

void LiveSet::start() {
  std::shared_ptr<IndexAPI> core = core_.lock();
  if (!core) return;
  core->add_live_set(shared_from_this());
  Bitmap first = core->reduced_query(*expr_);
  std::vector<StoredItem> early;
  {
    auto members = members_.lock();
    if (members->closed) return;
    members->ids = std::move(first);
    members->started = true;
    early.swap(members->early);
  }
  for (const StoredItem& item : early) {
    auto memberships = std::as_const(item.record->indexes()).lock();
    const bool in_core = is_registered(*memberships, core.get()) && core->is_live(item.record->id);
    settle(item, in_core, /*notify=*/false);
  }
}

void LiveSet::close() {
  {
    auto members = members_.lock();
    if (members->closed) return;
    members->closed = true;
    members->ids = Bitmap();
    members->early.clear();
  }
  if (std::shared_ptr<IndexAPI> core = core_.lock()) core->remove_live_set(this);
}

bool LiveSet::closed() const {
  return members_.lock()->closed;
}

bool LiveSet::reads(uint32_t attribute) const {
  return std::binary_search(heads_.begin(), heads_.end(), attribute);
}

bool LiveSet::reads_anywhere(uint32_t attribute) const {
  return std::binary_search(names_.begin(), names_.end(), attribute);
}

Bitmap LiveSet::members() const {
  return members_.lock()->ids;
}

uint64_t LiveSet::count() const {
  return members_.lock()->ids.cardinality();
}

bool LiveSet::contains(uint32_t id) const {
  return members_.lock()->ids.contains(id);
}

void LiveSet::settle(const StoredItem& item, bool in_core, bool notify) {
  const uint32_t id = item.record->id;
  uint64_t taken = 0;
  {
    auto members = members_.lock();
    if (members->closed) return;
    if (!members->started) {
      members->early.push_back(item);
      return;
    }
    taken = members->requeries_taken;
  }
  while (true) {
    const bool member = in_core && compiled_->matches(*item.record);
    {
      auto members = members_.lock();
      if (members->closed) return;
      // A requery taken meanwhile may have read a newer state than this match.
      if (members->requeries_taken != taken) {
        taken = members->requeries_taken;
        continue;
      }
      if (!members->settle(id, member)) return;
    }
    // Queued after the members changed, before the object's membership mutex
    // is let go: the notifications of one object follow its changes.
    if (notify) queue_live_notification({shared_from_this(), item, member});
    return;
  }
}

LiveSet::Assigned LiveSet::settle_assigned(uint32_t id, const PyValue& value,
                                           const PyValue* old_value, const StoredItem* item) {
  const bool member = compiled_->matches_value(value);
  // Settles of one object are serialised by its membership mutex, and the
  // last one read the old value: when it matched alike, nothing changes.
  if (old_value != nullptr && compiled_->matches_value(*old_value) == member) {
    return Assigned::kUnchanged;
  }
  auto members = members_.lock();
  if (members->closed) return Assigned::kUnchanged;
  if (!members->started) {
    if (item != nullptr) members->early.push_back(*item);
    return Assigned::kNotStarted;
  }
  if (!members->settle(id, member)) return Assigned::kUnchanged;
  return member ? Assigned::kEntered : Assigned::kLeft;
}

void LiveSet::requery() {
  std::shared_ptr<IndexAPI> core = core_.lock();
  if (!core) return;
  uint64_t number = 0;
  uint64_t settles_before = 0;
  Bitmap before;
  {
    auto members = members_.lock();
    if (members->closed || !members->started) return;
    number = ++members->requeries_begun;
    ++members->requeries_running;
    settles_before = members->settles;
    before = members->ids;
  }
  Bitmap fresh;
  std::vector<StoredItem> changed;
  try {
    fresh = core->reduced_query(*expr_);
    // The objects of the ids that differ; an id whose slot is vacant has
    // left the core, and the removal settles it with its object.
    Bitmap differ = fresh - before;
    differ |= before - fresh;
    changed = core->items_at(differ);
  } catch (...) {
    --members_.lock()->requeries_running;
    throw;
  }
  std::vector<LiveNotification> notifications;
  {
    auto members = members_.lock();
    --members->requeries_running;
    if (!members->closed && number > members->newest_taken) {
      members->newest_taken = number;
      ++members->requeries_taken;
      for (const StoredItem& item : changed) {
        const uint32_t id = item.record->id;
        auto settled = members->settled_at.find(id);
        if (settled != members->settled_at.end() && settled->second > settles_before) continue;
        const bool member = fresh.contains(id);
        if (!members->set(id, member)) continue;
        notifications.push_back({shared_from_this(), item, member});
      }
    }
    if (members->requeries_running == 0) members->settled_at.clear();
  }
  for (LiveNotification& notification : notifications) {
    queue_live_notification(std::move(notification));
  }
}

void note_live_change(std::shared_ptr<IndexAPI> core, StoredItem item,
                      std::optional<uint32_t> attribute) {
  live_queue.changes.push_back({std::move(core), std::move(item), attribute});
  py::delivery_due = true;
}

void settle_live_changes() {
  std::vector<LiveChange> changes = std::move(live_queue.settling);
  std::vector<std::shared_ptr<LiveSet>> sets = std::move(live_queue.sets);
  changes.clear();
  changes.swap(live_queue.changes);
  std::vector<std::shared_ptr<LiveSet>> requeries;
  for (const LiveChange& change : changes) {
    change.core->live_sets(sets);
    // An assigned name that a dotted path reads may change what other
    // objects reach (links kept aside as cycles lead back up).
    for (const std::shared_ptr<LiveSet>& set : sets) {
      if (change.attribute && set->reads_nested() && set->reads_anywhere(*change.attribute)) {
        if (std::find(requeries.begin(), requeries.end(), set) == requeries.end()) {
          requeries.push_back(set);
        }
      }
    }
    if (change.item.vacant()) continue;
    const IndexableRecord& record = *change.item.record;
    auto memberships = std::as_const(record.indexes()).lock();
    const bool in_core =
        is_registered(*memberships, change.core.get()) && change.core->is_live(record.id);
    for (const std::shared_ptr<LiveSet>& set : sets) {
      if (change.attribute && !set->reads(*change.attribute)) continue;
      set->settle(change.item, in_core);
    }
  }
  for (const std::shared_ptr<LiveSet>& set : requeries) set->requery();
  changes.clear();
  sets.clear();
  live_queue.settling = std::move(changes);
  live_queue.sets = std::move(sets);
}

std::optional<LiveNotification> next_live_notification() {
  if (live_queue.notifications.empty()) return std::nullopt;
  LiveNotification next = std::move(live_queue.notifications.front());
  live_queue.notifications.pop_front();
  return next;
}

void queue_live_notification(LiveNotification notification) {
  live_queue.notifications.push_back(std::move(notification));
  py::delivery_due = true;
}

}  // namespace vantorel
