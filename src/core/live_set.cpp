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

// What one thread has noted and not yet delivered. A vacant item: an
// assignment to `attribute` of an object held in a nested core whose
// outermost core is `core`.
struct LiveChange {
  std::shared_ptr<IndexAPI> core;
  StoredItem item;
  std::optional<uint32_t> attribute;
};

// Adds `set` to `sets` unless it is there.
void add_once(std::vector<std::shared_ptr<LiveSet>>& sets, const std::shared_ptr<LiveSet>& set) {
  if (std::find(sets.begin(), sets.end(), set) == sets.end()) sets.push_back(set);
}

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
    const bool member = in_core && expression_matches(*item.record, *expr_);
    {
      auto members = members_.lock();
      if (members->closed) return;
      // A requery taken meanwhile may have read a newer state than this match.
      if (members->requeries_taken != taken) {
        taken = members->requeries_taken;
        continue;
      }
      ++members->settles;
      if (members->requeries_running > 0) members->settled_at[id] = members->settles;
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
    return;
  }
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
    changed = core->items_at((fresh - before) | (before - fresh));
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
        if (members->ids.contains(id) == member) continue;
        if (member) {
          members->ids.add(id);
        } else {
          members->ids.remove(id);
        }
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
}

bool live_work_pending() {
  return !live_queue.changes.empty() || !live_queue.notifications.empty();
}

void settle_live_changes() {
  std::vector<LiveChange> changes;
  changes.swap(live_queue.changes);
  std::vector<std::shared_ptr<LiveSet>> requeries;
  for (const LiveChange& change : changes) {
    const std::vector<std::shared_ptr<LiveSet>> sets = change.core->live_sets();
    // An assigned name that a dotted path reads may change what other
    // objects reach (links kept aside as cycles lead back up).
    for (const std::shared_ptr<LiveSet>& set : sets) {
      if (change.attribute && set->reads_nested() && set->reads_anywhere(*change.attribute)) {
        add_once(requeries, set);
      }
    }
    if (change.item.vacant()) continue;
    const IndexableRecord& record = *change.item.record;
    auto memberships = std::as_const(*record.indexes).lock();
    const bool in_core =
        is_registered(*memberships, change.core.get()) && change.core->is_live(record.id);
    for (const std::shared_ptr<LiveSet>& set : sets) {
      if (change.attribute && !set->reads(*change.attribute)) continue;
      set->settle(change.item, in_core);
    }
  }
  for (const std::shared_ptr<LiveSet>& set : requeries) set->requery();
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
