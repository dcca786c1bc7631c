#include "core/query/value_order.h"

#include <algorithm>
#include <limits>

#include "core/query/compare.h"

namespace vantorel {

namespace {

// The work of passing one distinct value: one unit for the few ids of an
// array set, which are looked up one by one, more for a bitmap, which is
// intersected with the set being ordered.
constexpr size_t kArrayWork = 1;
constexpr size_t kBitmapWork = 16;
// The ids per value from which a value's set is a bitmap (HybridSet).
constexpr uint64_t kLargeFrom = 4;

size_t work_of(const HybridSet& held) {
  return held.kind() == HybridSet::Kind::Large ? kBitmapWork : kArrayWork;
}

// Appends ids in walk order until the limit is reached, or until the walk
// has done more work than it may.
class OrderedIds {
 public:
  OrderedIds(const Bitmap& allowed, std::optional<size_t> limit, size_t max_work)
      : allowed_(allowed),
        limit_(limit.value_or(std::numeric_limits<size_t>::max())),
        work_left_(max_work) {}

  bool full() const { return ids_.size() >= limit_; }
  bool out_of_work() const { return out_of_work_; }

  // Counts the work of passing `held`; false once more would be done than
  // allowed.
  bool pass(const HybridSet& held) {
    const size_t work = work_of(held);
    if (work > work_left_) {
      out_of_work_ = true;
      return false;
    }
    work_left_ -= work;
    return true;
  }

  // Appends the ids of `held` that are in the set, ascending; returns
  // whether there is room for more.
  bool append(const HybridSet& held) {
    if (full() || !pass(held)) return false;
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
  size_t work_left_;
  bool out_of_work_ = false;
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
      if (!out.pass(held)) return room = false;
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

std::optional<std::vector<uint32_t>> sorted_by_value(const QueryMap& map, const Bitmap& allowed,
                                                     bool descending, std::optional<size_t> limit,
                                                     size_t max_work) {
  OrderedIds out(allowed, limit, max_work);
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
  if (out.out_of_work()) return std::nullopt;
  return out.take();
}

size_t ordered_value_count(const QueryMap& map) {
  size_t count = 0;
  map.read_strings([&](const StringIndex* strings) {
    map.read_numbers([&](const NumberIndex* numbers) {
      if (strings != nullptr) count += strings->values.key_count();
      if (numbers != nullptr) count += numbers->values.key_count();
    });
  });
  return count;
}

std::optional<size_t> walk_allowance(size_t distinct_values, uint64_t live, uint64_t objects,
                                     std::optional<size_t> limit) {
  // Reading and sorting the value of one object costs about as much as
  // kWorkPerObject units of walk work; a few units are always worth it.
  constexpr uint64_t kWorkPerObject = 2;
  constexpr uint64_t kMinWork = 64;
  const uint64_t allowance = kMinWork + objects * kWorkPerObject;
  // Without a limit the walk passes every distinct value; with one, about
  // (limit + 1) / objects of them when the objects' values are spread
  // evenly. Values held by many objects each on average are bitmaps.
  double expected = static_cast<double>(distinct_values);
  if (limit && objects > 0) {
    expected = std::min(expected,
                        expected * static_cast<double>(*limit + 1) / static_cast<double>(objects));
  }
  if (live >= kLargeFrom * static_cast<uint64_t>(distinct_values)) expected *= kBitmapWork;
  if (expected > static_cast<double>(allowance)) return std::nullopt;
  return static_cast<size_t>(std::min<uint64_t>(allowance, std::numeric_limits<size_t>::max()));
}

void StoredValueOrder::add(uint32_t id, const PyValue& value) {
  if (value.is_number()) {
    if (is_nan(value)) {
      nans_.push_back(id);
    } else {
      const OrderKey key = key_of(value);
      numbers_.push_back(
          Number{(uint64_t{key.head} << 52) | (key.tail >> 12), (key.tail << 52) | id});
    }
  } else if (value.kind() == ValueKind::Str) {
    const std::string_view text = value.as_str();
    strings_.push_back(Text{text_.size(), text.size(), id});
    text_.append(text);
  }
}

namespace {

// Appends to `out` the ids (id_of(entry)) of the first entries of `entries`
// in the order `before`, as many as there is room for under `limit`.
template <class Entry, class Before, class IdOf>
void append_first(std::vector<Entry>& entries, Before before, IdOf id_of, size_t limit,
                  std::vector<uint32_t>& out) {
  const size_t room = limit - std::min(limit, out.size());
  const size_t taken = std::min(room, entries.size());
  const auto end = entries.begin() + static_cast<std::ptrdiff_t>(taken);
  // The first `taken` in linear time, then sorted among themselves: a
  // partial sort's heap costs more once they are many.
  if (taken < entries.size()) std::nth_element(entries.begin(), end, entries.end(), before);
  std::sort(entries.begin(), end, before);
  for (size_t i = 0; i < taken; ++i) out.push_back(id_of(entries[i]));
}

}  // namespace

// The bits of Number::low that hold key bits.
constexpr uint64_t kKeyBitsOfLow = ~uint64_t{0} << 52;

std::vector<uint32_t> StoredValueOrder::take(bool descending, std::optional<size_t> limit) {
  const size_t most = limit.value_or(std::numeric_limits<size_t>::max());
  // Equal values in ascending id either way: descending, the key bits are
  // turned over and the id bits kept.
  if (descending) {
    for (Number& number : numbers_) {
      number.high = ~number.high;
      number.low ^= kKeyBitsOfLow;
    }
  }
  auto numbers_before = [](const Number& a, const Number& b) { return a < b; };
  auto number_id = [](const Number& number) { return static_cast<uint32_t>(number.low); };
  const std::string_view text = text_;
  auto strings_before = [descending, text](const Text& a, const Text& b) {
    const int order = text.substr(a.offset, a.size).compare(text.substr(b.offset, b.size));
    if (order != 0) return descending ? order > 0 : order < 0;
    return a.id < b.id;
  };
  auto text_id = [](const Text& entry) { return entry.id; };
  std::vector<uint32_t> out;
  out.reserve(std::min(most, numbers_.size() + nans_.size() + strings_.size()));
  if (descending) append_first(strings_, strings_before, text_id, most, out);
  append_first(numbers_, numbers_before, number_id, most, out);
  for (size_t i = 0; i < nans_.size() && out.size() < most; ++i) out.push_back(nans_[i]);
  if (!descending) append_first(strings_, strings_before, text_id, most, out);
  return out;
}

}  // namespace vantorel
