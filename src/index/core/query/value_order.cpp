#include "index/core/query/value_order.h"

#include <limits>

namespace vantorel {

namespace {

// Appends ids in walk order until the limit is reached.
class OrderedIds {
 public:
  OrderedIds(const Bitmap& allowed, std::optional<size_t> limit)
      : allowed_(allowed), limit_(limit.value_or(std::numeric_limits<size_t>::max())) {}

  bool full() const { return ids_.size() >= limit_; }

  // Appends the ids of `held` that are in the set, ascending; returns
  // whether there is room for more.
  bool append(const HybridSet& held) {
    if (full()) return false;
    if (held.kind() == HybridSet::Kind::Large) {
      Bitmap ids;
      held.add_in(allowed_, ids);
      return append(ids);
    }
    held.for_each_while([&](uint32_t id) {
      if (allowed_.contains(id)) ids_.push_back(id);
      return !full();
    });
    return !full();
  }

  bool append(const Bitmap& ids) {
    ids.for_each_while([&](uint32_t id) {
      ids_.push_back(id);
      return !full();
    });
    return !full();
  }

  std::vector<uint32_t> take() { return std::move(ids_); }

 private:
  const Bitmap& allowed_;
  const size_t limit_;
  std::vector<uint32_t> ids_;
};

// Walks the numbers in the requested order; NaNs (which sort at both ends
// of the keys, by sign) are gathered and appended after the others.
bool append_numbers(const NumberSets& numbers, bool descending, const Bitmap& allowed,
                    OrderedIds& out) {
  Bitmap nans;
  bool room = true;
  numbers.walk_keys(descending, [&](OrderKey key, const HybridSet& held) {
    if (is_nan_key(key)) {
      held.add_in(allowed, nans);
      return true;
    }
    room = out.append(held);
    return room;
  });
  return room && out.append(nans);
}

bool append_strings(const StringSets& strings, bool descending, OrderedIds& out) {
  bool room = true;
  strings.walk_keys(descending, [&](std::string_view, const HybridSet& held) {
    room = out.append(held);
    return room;
  });
  return room;
}

}  // namespace

std::vector<uint32_t> sorted_by_value(const QueryMap& map, const Bitmap& allowed, bool descending,
                                      std::optional<size_t> limit) {
  OrderedIds out(allowed, limit);
  if (out.full() || allowed.empty()) return out.take();
  // Strings come first in descending order, numbers first otherwise. The
  // string index's lock precedes the numbers' in the lock order, so both
  // are taken in that order whichever is walked first.
  map.read_strings([&](const StringIndex* strings) {
    map.read_numbers([&](const NumberIndex* numbers) {
      if (descending) {
        if (strings != nullptr && !append_strings(strings->values, true, out)) return;
        if (numbers != nullptr) append_numbers(numbers->values, true, allowed, out);
      } else {
        if (numbers != nullptr && !append_numbers(numbers->values, false, allowed, out)) return;
        if (strings != nullptr) append_strings(strings->values, false, out);
      }
    });
  });
  return out.take();
}

}  // namespace vantorel
