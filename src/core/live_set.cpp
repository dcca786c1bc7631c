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

// One match of an object against a tree. A node that the tree reaches along
// several paths is matched once.
class ExpressionMatch {
 public:
  explicit ExpressionMatch(const IndexableRecord& record) : record_(record) {}

  bool node(const QueryExpr& expr) {
    switch (expr.op) {
      case QueryOp::Ne:
        return !leaf(expr, QueryOp::Eq);
      case QueryOp::Not:
        return !child(expr.children.front());
      case QueryOp::And:
        return std::all_of(expr.children.begin(), expr.children.end(),
                           [&](const QueryExprPtr& c) { return child(c); });
      case QueryOp::Or:
        return std::any_of(expr.children.begin(), expr.children.end(),
                           [&](const QueryExprPtr& c) { return child(c); });
      default:
        return leaf(expr, expr.op);
    }
  }

 private:
  bool child(const QueryExprPtr& expr) {
    if (expr.use_count() <= 1 || expr->children.empty()) return node(*expr);
    auto found = shared_.find(expr.get());
    if (found != shared_.end()) return found->second;
    const bool matched = node(*expr);
    shared_.emplace(expr.get(), matched);
    return matched;
  }

  bool leaf(const QueryExpr& expr, QueryOp op) {
    return object_matches(record_, expr.attr.view(), Comparison(op, expr.values));
  }

  const IndexableRecord& record_;
  std::unordered_map<const QueryExpr*, bool> shared_;
};

// What one thread has noted and not yet delivered.
struct LiveChange {
  std::shared_ptr<IndexAPI> core;
  StoredItem item;
  std::optional<uint32_t> attribute;
};

struct LiveQueue {
  std::vector<LiveChange> changes;
  std::deque<LiveNotification> notifications;
};

thread_local LiveQueue live_queue;

}  // namespace

bool expression_matches(const IndexableRecord& record, const QueryExpr& expr) {
  return ExpressionMatch(record).node(expr);
}

LiveSet::LiveSet(std::shared_ptr<IndexAPI> core, QueryExprPtr expr)
    : core_(core), expr_(std::move(expr)), members_(LockRank{LockLevel::kLiveMembers}) {
  reads_nested_ = collect_names(*expr_, heads_, names_);
  for (uint32_t name : names_) {
    live_detail::watch_counts[name % live_detail::kWatchSlots].fetch_add(1);
  }
}

LiveSet::~LiveSet() {
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
    auto memberships = std::as_const(*item.record->indexes).lock();
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
  const bool member = in_core && expression_matches(*item.record, *expr_);
  const uint32_t id = item.record->id;
  {
    auto members = members_.lock();
    if (members->closed) return;
    if (!members->started) {
      members->early.push_back(item);
      return;
    }
    if (members->ids.contains(id) == member) return;
    if (member) {
      members->ids.add(id);
    } else {
      members->ids.remove(id);
    }
  }
  // Queued after the members changed, before the object's membership mutex
  // is let go: the notifications of one object follow its changes.
  if (notify) queue_live_notification({shared_from_this(), item, member});
}

void note_live_change(std::shared_ptr<IndexAPI> core, StoredItem item,
                      std::optional<uint32_t> attribute) {
  live_queue.changes.push_back({std::move(core), std::move(item), attribute});
}

bool live_work_pending() {
  return !live_queue.changes.empty() || !live_queue.notifications.empty();
}

void settle_live_changes() {
  std::vector<LiveChange> changes;
  changes.swap(live_queue.changes);
  for (const LiveChange& change : changes) {
    const IndexAPI& core = *change.core;
    const IndexableRecord& record = *change.item.record;
    auto memberships = std::as_const(*record.indexes).lock();
    const bool in_core = is_registered(*memberships, &core) && change.core->is_live(record.id);
    for (const std::shared_ptr<LiveSet>& set : change.core->live_sets()) {
      if (change.attribute && !set->reads(*change.attribute)) continue;
      set->settle(change.item, in_core);
    }
  }
}

std::optional<LiveNotification> next_live_notification() {
  if (live_queue.notifications.empty()) return std::nullopt;
  LiveNotification next = std::move(live_queue.notifications.front());
  live_queue.notifications.pop_front();
  return next;
}

void queue_live_notification(LiveNotification notification) {
  live_queue.notifications.push_back(std::move(notification));
}

}  // namespace vantorel
