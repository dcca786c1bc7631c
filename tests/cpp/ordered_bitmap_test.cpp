#include <gtest/gtest.h>

#include "native/common/internal_error.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <ostream>
#include <random>
#include <thread>
#include <variant>
#include <vector>

#include "native/structures/ordered_bitmap/order_key.h"
#include "native/structures/ordered_bitmap/ordered_bitmap.h"

namespace vantorel {

static void PrintTo(const Bitmap& ids, std::ostream* os) {
  *os << ids.cardinality() << " ids: {";
  ids.for_each([os](uint32_t id) { *os << " " << id; });
  *os << " }";
}

namespace {

using Number = std::variant<int64_t, double>;

OrderKey key_of(const Number& n) {
  return std::visit([](auto v) { return order_key(v); }, n);
}

// Exact three-way numeric comparison of an integer and a float (no NaN).
int compare_int_double(int64_t i, double d) {
  if (d >= 0x1p63) return -1;
  if (d < -0x1p63) return 1;
  double whole = std::trunc(d);
  int64_t w = static_cast<int64_t>(whole);
  if (i != w) return i < w ? -1 : 1;
  double frac = d - whole;
  return frac > 0 ? -1 : (frac < 0 ? 1 : 0);
}

int compare(const Number& a, const Number& b) {
  if (auto* x = std::get_if<int64_t>(&a)) {
    if (auto* y = std::get_if<int64_t>(&b)) return *x < *y ? -1 : (*x > *y ? 1 : 0);
    return compare_int_double(*x, std::get<double>(b));
  }
  double x = std::get<double>(a);
  if (auto* y = std::get_if<double>(&b)) return x < *y ? -1 : (x > *y ? 1 : 0);
  return -compare_int_double(std::get<int64_t>(b), x);
}

TEST(OrderKey, FollowsNumericOrderAndSharesKeysOfEqualValues) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  constexpr double kMinNormal = std::numeric_limits<double>::min();
  constexpr double kMinSub = std::numeric_limits<double>::denorm_min();
  constexpr double kMaxSub = kMinNormal - kMinSub;
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  constexpr int64_t k53 = int64_t{1} << 53;
  // Ascending groups; the members of a group are numerically equal.
  std::vector<std::vector<Number>> groups = {
      {-kInf},
      {-std::numeric_limits<double>::max()},
      {kMin, -0x1p63},
      {kMin + 1},
      {-9.2e18},
      {-k53 - 2, -static_cast<double>(k53 + 2)},
      {-k53 - 1},
      {-k53, -static_cast<double>(k53)},
      {int64_t{-2}, -2.0},
      {-1.5},
      {int64_t{-1}, -1.0},
      {-kMinNormal},
      {-kMaxSub},
      {-0x1p-1060},
      {-kMinSub},
      {int64_t{0}, 0.0, -0.0},
      {kMinSub},
      {0x1p-1060},
      {kMaxSub},
      {kMinNormal},
      {0.5},
      {int64_t{1}, 1.0},
      {int64_t{3}, 3.0},
      {k53, static_cast<double>(k53)},
      {k53 + 1},
      {k53 + 2, static_cast<double>(k53 + 2)},
      {kMax},
      {0x1p63},
      {std::numeric_limits<double>::max()},
      {kInf},
  };
  std::vector<OrderKey> previous;
  for (const auto& group : groups) {
    OrderKey first = key_of(group.front());
    for (const Number& n : group) EXPECT_EQ(key_of(n), first);
    if (!previous.empty()) {
      EXPECT_LT(previous.back(), first);
    }
    previous.push_back(first);
    EXPECT_EQ(first.head & ~0xFFF, 0);
  }
  // NaNs sort beyond the infinity of their sign.
  double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_GT(order_key(nan), order_key(kInf));
  EXPECT_LT(order_key(-nan), order_key(-kInf));
  EXPECT_TRUE(is_nan_key(order_key(nan)));
  EXPECT_TRUE(is_nan_key(order_key(-nan)));
  EXPECT_TRUE(std::isnan(number_of(order_key(nan)).real));
  // Every other key reads back as its number: an integer when integral and
  // within int64_t, else the double.
  for (const auto& group : groups) {
    const OrderKey key = key_of(group.front());
    EXPECT_FALSE(is_nan_key(key));
    const KeyNumber number = number_of(key);
    const Number& value = group.front();
    if (const int64_t* integer = std::get_if<int64_t>(&value)) {
      EXPECT_TRUE(number.is_integer);
      EXPECT_EQ(number.integer, *integer);
      continue;
    }
    const double real = std::get<double>(value);
    const bool integral = std::trunc(real) == real && real >= -0x1p63 && real < 0x1p63;
    EXPECT_EQ(number.is_integer, integral) << real;
    if (integral) {
      EXPECT_EQ(number.integer, static_cast<int64_t>(real));
    } else {
      EXPECT_EQ(number.real, real);
    }
  }
}

// Random mixed numbers, including edge values, never NaN.
Number random_number(std::mt19937_64& rng) {
  static const std::vector<Number> edge_values = {
      int64_t{0},
      -0.0,
      std::numeric_limits<double>::denorm_min(),
      -std::numeric_limits<double>::denorm_min(),
      std::numeric_limits<double>::min(),
      -std::numeric_limits<double>::min(),
      std::numeric_limits<int64_t>::min(),
      std::numeric_limits<int64_t>::max(),
      std::numeric_limits<double>::infinity(),
      -std::numeric_limits<double>::infinity(),
      int64_t{(int64_t{1} << 53) + 1},
  };
  switch (rng() % 5) {
    case 0:
      return edge_values[rng() % edge_values.size()];
    case 1:
      return static_cast<int64_t>(rng() % 21) - 10;
    case 2:
      return static_cast<double>(static_cast<int64_t>(rng() % 41) - 20) / 4;  // shares int values
    case 3:
      return static_cast<int64_t>(rng());
    default: {
      std::uniform_real_distribution<double> mantissa(-1, 1);
      return std::ldexp(mantissa(rng), static_cast<int>(rng() % 2200) - 1100);
    }
  }
}

using Values = std::vector<std::pair<uint32_t, Number>>;
constexpr uint32_t kIds = 3000;

// Checks the four walks against brute force, for random bounds and random
// bases (which include ids without a number).
void check_queries(const NumericalBitmap& map, const Values& values, uint64_t seed) {
  using Walk = void (NumericalBitmap::*)(const OrderKey&, Bitmap&, const Bitmap&) const;
  struct Case {
    const char* name;
    Walk walk;
    bool (*keep)(int);
  };
  const Case walks[] = {
      {"gt", &NumericalBitmap::get_gt_into_base, [](int c) { return c > 0; }},
      {"gte", &NumericalBitmap::get_gte_into_base, [](int c) { return c >= 0; }},
      {"lt", &NumericalBitmap::get_lt_into_base, [](int c) { return c < 0; }},
      {"lte", &NumericalBitmap::get_lte_into_base, [](int c) { return c <= 0; }},
  };
  std::mt19937_64 rng(seed);
  for (int round = 0; round < 60; ++round) {
    Number bound = rng() % 2 == 0 ? values[rng() % values.size()].second : random_number(rng);
    Bitmap base;
    for (uint32_t id = 1; id <= kIds; ++id) {
      if (rng() % 4 != 0) base.add(id);
    }
    for (const Case& c : walks) {
      Bitmap want{kIds + 1};  // walks only add to out
      for (const auto& [id, value] : values) {
        if (base.contains(id) && c.keep(compare(value, bound))) want.add(id);
      }
      Bitmap out{kIds + 1};
      (map.*c.walk)(key_of(bound), out, base);
      EXPECT_EQ(out, want) << c.name << ", round " << round;
    }
  }
}

TEST(NumericalBitmap, EveryUpdatePathKeepsQueriesExact) {
  std::mt19937_64 rng(42);
  Values values;
  for (uint32_t id = 1; id <= kIds; ++id) {
    if (id % 7 != 0) values.emplace_back(id, random_number(rng));  // some ids hold no number
  }
  // Half through the single path, half through the bulk path.
  NumericalBitmap map;
  for (const auto& [id, value] : values) {
    if (id % 2 == 0) map.insert(key_of(value), id);
  }
  for (const auto& [id, value] : values) {
    if (id % 2 != 0) map.push(key_of(value), id);
  }
  map.flush();
  check_queries(map, values, 1);

  Bitmap drop;
  for (uint32_t id = 1; id <= kIds; ++id) {
    if (id % 3 != 1) drop.add(id);
  }
  map.remove_all(drop);
  std::erase_if(values, [&](const auto& entry) { return drop.contains(entry.first); });
  check_queries(map, values, 2);

  // Remove every id, then give every other one a new number: each insert
  // applies the removals queued before it.
  Values kept;
  for (size_t i = 0; i < values.size(); ++i) {
    map.defer_remove(key_of(values[i].second), values[i].first);
    if (i % 2 == 0) {
      kept.emplace_back(values[i].first, random_number(rng));
      map.insert(key_of(kept.back().second), kept.back().first);
    }
  }
  map.drain_moves();
  check_queries(map, kept, 3);

  // Queued moves, several per id (chains) and past the queue's length, then
  // a removal that must apply the queue before it.
  for (int round = 0; round < 3; ++round) {
    for (auto& [id, value] : kept) {
      const auto fresh = random_number(rng);
      map.defer_replace(key_of(value), key_of(fresh), id);
      value = fresh;
    }
  }
  EXPECT_TRUE(map.has_queued_moves());
  Bitmap unused;
  EXPECT_THROW(map.get_gt_into_base(order_key(0.0), unused, unused), InternalError);
  map.remove_all(Bitmap{kept.back().first});
  kept.pop_back();
  EXPECT_FALSE(map.has_queued_moves());
  check_queries(map, kept, 4);
  for (auto& [id, value] : kept) {
    const auto fresh = random_number(rng);
    map.defer_replace(key_of(value), key_of(fresh), id);
    value = fresh;
  }
  map.drain_moves();
  check_queries(map, kept, 5);

  // Queued removals among queued moves, then an id added back.
  for (size_t i = 0; i < kept.size(); i += 2)
    map.defer_remove(key_of(kept[i].second), kept[i].first);
  for (size_t i = 1; i < kept.size(); i += 2) {
    const auto fresh = random_number(rng);
    map.defer_replace(key_of(kept[i].second), key_of(fresh), kept[i].first);
    kept[i].second = fresh;
  }
  const auto back = kept.front();
  for (size_t i = 0; i < kept.size(); i += 2) kept[i].first = 0;
  std::erase_if(kept, [](const auto& entry) { return entry.first == 0; });
  map.insert(key_of(back.second), back.first);
  kept.push_back(back);
  check_queries(map, kept, 6);
}

TEST(NumericalBitmap, ConcurrentWalksUseTheirOwnScratch) {
  NumericalBitmap map;
  for (uint32_t id = 0; id < 20000; ++id) map.insert(order_key(int64_t{id % 1000}), id);
  Bitmap base;
  base.add_range(0, 20000);
  std::vector<std::thread> threads;
  std::vector<uint64_t> counts(4);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 50; ++round) {
        Bitmap out;
        map.get_lt_into_base(order_key(int64_t{100 * (t + 1)}), out, base);
        counts[t] = out.cardinality();
        if (counts[t] != uint64_t{2000} * (t + 1)) return;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < 4; ++t) EXPECT_EQ(counts[t], uint64_t{2000} * (t + 1));
}

}  // namespace
}  // namespace vantorel
