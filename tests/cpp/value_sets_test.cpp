#include "native/structures/value_sets/value_sets.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "native/structures/value_sets/string_sets.h"

namespace vantorel {
namespace {

std::vector<uint32_t> ids_of(const Bitmap& bitmap) {
  std::vector<uint32_t> out;
  bitmap.for_each([&](uint32_t id) { out.push_back(id); });
  return out;
}

// Every bound combination against a brute-force filter over stored keys.
TEST(ValueSetsTest, RangesMatchBruteForce) {
  NumberSets sets;
  std::vector<int64_t> value_of(300);
  std::mt19937 rng(3);
  for (uint32_t id = 0; id < value_of.size(); ++id) {
    value_of[id] = static_cast<int64_t>(rng() % 40) - 20;
    // Half the ids go in deferred, in batches of 50 each settled.
    if (id % 100 < 50) {
      sets.add(order_key(value_of[id]), id);
    } else {
      sets.add_deferred(order_key(value_of[id]), id);
    }
    if (id % 50 == 49) sets.settle();
  }
  sets.settle();
  for (int64_t low = -22; low <= 22; low += 3) {
    for (int64_t high = -22; high <= 22; high += 5) {
      for (int mode = 0; mode < 4; ++mode) {
        const KeyBound<OrderKey> lower{order_key(low), (mode & 1) != 0};
        const KeyBound<OrderKey> upper{order_key(high), (mode & 2) != 0};
        Bitmap got;
        ASSERT_TRUE(sets.add_range(&lower, &upper, got, 1000));
        std::vector<uint32_t> expected;
        for (uint32_t id = 0; id < value_of.size(); ++id) {
          const int64_t v = value_of[id];
          const bool above = lower.inclusive ? v >= low : v > low;
          const bool below = upper.inclusive ? v <= high : v < high;
          if (above && below) expected.push_back(id);
        }
        ASSERT_EQ(ids_of(got), expected) << low << " " << high << " " << mode;
      }
    }
  }
  Bitmap open;
  ASSERT_TRUE(sets.add_range(nullptr, nullptr, open, 1000));
  EXPECT_EQ(open.cardinality(), value_of.size());
  Bitmap partial;
  EXPECT_FALSE(sets.add_range(nullptr, nullptr, partial, 5));

  // A sorted batch removal takes out exactly its ids; emptied keys leave.
  NumberSets removing;
  for (uint32_t id = 0; id < value_of.size(); ++id) removing.add(order_key(value_of[id]), id);
  std::vector<std::pair<OrderKey, uint32_t>> batch;
  for (uint32_t id = 0; id < value_of.size(); ++id) {
    if (value_of[id] < 0 || id % 3 == 0) batch.emplace_back(order_key(value_of[id]), id);
  }
  std::sort(batch.begin(), batch.end());
  removing.remove_sorted(batch);
  Bitmap left;
  ASSERT_TRUE(removing.add_range(nullptr, nullptr, left, 1000));
  std::vector<uint32_t> expected;
  for (uint32_t id = 0; id < value_of.size(); ++id) {
    if (value_of[id] >= 0 && id % 3 != 0) expected.push_back(id);
  }
  EXPECT_EQ(ids_of(left), expected);
  EXPECT_EQ(removing.key_count(), 20u);
}

// Keys of every kind: integers of every width (the widest are wide keys),
// doubles of every kind (subnormals, infinities, NaNs, both zeros), of both
// signs.
std::vector<OrderKey> keys_of_every_kind(std::mt19937_64& rng, int count) {
  std::vector<OrderKey> keys;
  for (int64_t value : {int64_t{0}, int64_t{1}, INT64_MAX, INT64_MIN, int64_t{1} << 53,
                        (int64_t{1} << 53) + 1, -(int64_t{1} << 53) - 1}) {
    keys.push_back(order_key(value));
  }
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
  for (double value : {-0.0, 5e-324, -5e-324, 1e308, -1e308, kInfinity, -kInfinity, kNan, -kNan}) {
    keys.push_back(order_key(value));
  }
  for (int i = 0; i < count; ++i) {
    const uint64_t bits = rng();
    keys.push_back(order_key(static_cast<int64_t>(bits >> (rng() % 64))));
    keys.push_back(order_key(std::bit_cast<double>(bits)));
    keys.push_back(order_key(static_cast<double>(static_cast<int64_t>(bits >> 20))));
  }
  return keys;
}

// Packing keeps every key and its order.
// Logged moves (ids moved several times, back to where they were, to new keys
// and wide ones) answer the same before they are applied, through the log,
// as after.
TEST(ValueSetsTest, LoggedMovesMatchTheirValues) {
  NumberSets sets;
  std::vector<OrderKey> key_of(2000);
  std::mt19937 rng(5);
  auto random_key = [&] {
    const auto low = static_cast<int64_t>(rng() % 60);
    return rng() % 8 == 0 ? order_key((int64_t{1} << 60) | (low % 4)) : order_key(low);
  };
  for (uint32_t id = 0; id < key_of.size(); ++id) sets.add(key_of[id] = random_key(), id);
  for (int round = 0; round < 6; ++round) {
    // Even rounds move a few ids many times, odd ones each id at most once.
    const bool repeats = round % 2 == 0;
    for (uint32_t i = 0; i < (repeats ? 3000 : 1500); ++i) {
      const uint32_t id = repeats ? rng() % 50 : (i * 7 + round) % key_of.size();
      const OrderKey to = random_key();
      if (to != key_of[id]) sets.defer_move(key_of[id], to, id);
      key_of[id] = to;
    }
    ASSERT_TRUE(sets.has_pending_moves());
    auto expected = [&](auto wanted) {
      std::vector<uint32_t> ids;
      for (uint32_t id = 0; id < key_of.size(); ++id) {
        if (wanted(key_of[id])) ids.push_back(id);
      }
      return ids;
    };
    for (const OrderKey& key : {order_key(int64_t{7}), order_key(int64_t{1} << 60 | 2)}) {
      Bitmap logged;
      sets.add_matching(key, logged);
      EXPECT_EQ(ids_of(logged), expected([&](const OrderKey& k) { return k == key; }));
    }
    const KeyBound<OrderKey> lower{order_key(int64_t{10}), false};
    const KeyBound<OrderKey> upper{order_key(int64_t{1} << 60 | 1), true};
    Bitmap logged;
    ASSERT_TRUE(sets.add_range(&lower, &upper, logged, std::numeric_limits<size_t>::max()));
    const auto in_range = [&](const OrderKey& k) { return lower.key < k && !(upper.key < k); };
    EXPECT_EQ(ids_of(logged), expected(in_range));
    sets.apply_moves();
    Bitmap applied;
    ASSERT_TRUE(sets.add_range(&lower, &upper, applied, std::numeric_limits<size_t>::max()));
    EXPECT_EQ(ids_of(applied), expected(in_range));
    size_t total = 0;
    sets.walk_keys(false, [&](const OrderKey&, const HybridSet& ids) {
      total += ids.size();
      return true;
    });
    EXPECT_EQ(total, key_of.size());
  }
}

TEST(PackedKeyTest, KeepsKeysAndOrder) {
  std::mt19937_64 rng(29);
  const std::vector<OrderKey> keys = keys_of_every_kind(rng, 100);
  for (const OrderKey& key : keys) {
    ASSERT_EQ(PackedKey(key).unpacked(), key);
    if (PackedKey(key).is_narrow()) {
      ASSERT_EQ(PackedKey::narrow(PackedKey(key).high()), key);
    }
    for (const OrderKey& other : keys) ASSERT_EQ(PackedKey(key) < PackedKey(other), key < other);
  }
}

// Random adds (one by one and deferred), removals (one by one and in sorted
// batches) over narrow and wide keys against std::map: walks both ways,
// lookups, ranges between stored keys with every kind of bound, and the
// keys below and above.
TEST(ValueSetsTest, NumbersMatchStdMap) {
  std::mt19937_64 rng(31);
  const std::vector<OrderKey> pool = keys_of_every_kind(rng, 30);
  NumberSets sets;
  std::map<OrderKey, std::set<uint32_t>> model;
  auto check = [&] {
    std::vector<OrderKey> want, up, down;
    for (const auto& [key, ids] : model) {
      if (!ids.empty()) want.push_back(key);
    }
    sets.walk_keys(false, [&](OrderKey key, const HybridSet& ids) {
      EXPECT_EQ(ids.size(), model[key].size());
      up.push_back(key);
      return true;
    });
    sets.walk_keys(true, [&](OrderKey key, const HybridSet&) {
      down.push_back(key);
      return true;
    });
    ASSERT_EQ(up, want);
    ASSERT_EQ(down, std::vector<OrderKey>(want.rbegin(), want.rend()));
    ASSERT_EQ(sets.key_count(), want.size());
    for (int probe = 0; probe < 20; ++probe) {
      const OrderKey low = pool[rng() % pool.size()];
      const OrderKey high = pool[rng() % pool.size()];
      const KeyBound<OrderKey> lower{low, rng() % 2 == 0};
      const KeyBound<OrderKey> upper{high, rng() % 2 == 0};
      const bool open = rng() % 4 == 0;
      Bitmap got;
      ASSERT_TRUE(sets.add_range(&lower, open ? nullptr : &upper, got, pool.size()));
      Bitmap expected;
      bool live_below = false, live_above = false, any_below = false, any_above = false;
      for (const auto& [key, ids] : model) {
        const bool above = lower.inclusive ? !(key < low) : low < key;
        const bool below = open || (upper.inclusive ? !(high < key) : key < high);
        if (above && below) {
          for (uint32_t id : ids) expected.add(id);
        }
        any_below |= key < low;
        any_above |= high < key;
        live_below |= key < low && !ids.empty();
        live_above |= high < key && !ids.empty();
      }
      ASSERT_EQ(got, expected);
      // Keys left empty count until a sweep takes them out.
      if (live_below || !any_below) {
        ASSERT_EQ(sets.has_key_below(low), live_below);
      }
      if (live_above || !any_above) {
        ASSERT_EQ(sets.has_key_above(high), live_above);
      }
      const HybridSet* found = sets.find(low);
      const std::set<uint32_t>& want_ids = model[low];
      ASSERT_EQ(found == nullptr, want_ids.empty());
      if (found != nullptr) {
        ASSERT_EQ(found->to_bitmap().to_vector(),
                  std::vector<uint32_t>(want_ids.begin(), want_ids.end()));
      }
    }
  };
  for (int round = 0; round < 30; ++round) {
    // Deferred adds go in rounds of their own, as a bulk writer's do.
    const bool deferred = round % 3 == 0;
    std::vector<std::pair<OrderKey, uint32_t>> batch;
    for (int step = 0; step < 100; ++step) {
      const OrderKey key = pool[rng() % pool.size()];
      const uint32_t id = static_cast<uint32_t>(rng() % 500);
      std::set<uint32_t>& ids = model[key];
      if (!deferred && rng() % 3 == 0) {
        if (ids.erase(id) == 0) continue;
        if (rng() % 2 == 0) {
          sets.remove(key, id);
        } else {
          batch.emplace_back(key, id);
        }
      } else if (ids.insert(id).second) {
        deferred ? sets.add_deferred(key, id) : sets.add(key, id);
      }
    }
    sets.settle();
    std::sort(batch.begin(), batch.end());
    sets.remove_sorted(batch);
    check();
  }
}

// The inline head never changes how two texts compare, whatever their
// lengths, zero bytes and bytes above 0x7f.
TEST(OrderedTextTest, ComparesAsTheTexts) {
  std::mt19937 rng(11);
  const char alphabet[] = {'a', 'b', '\0', '\xc3', '\xff'};
  std::vector<std::string> texts;
  for (int i = 0; i < 300; ++i) {
    std::string text;
    const size_t length = rng() % 13;
    for (size_t k = 0; k < length; ++k) text += alphabet[rng() % 5];
    texts.push_back(text);
  }
  for (const std::string& a : texts) {
    for (const std::string& b : texts) {
      const OrderedText x(a), y(b);
      ASSERT_EQ(x < y, std::string_view(a) < std::string_view(b));
      ASSERT_EQ(x == y, a == b);
    }
  }
}

// Equality, prefixes and substrings against brute force over the same keys,
// before and after removals; keys leave with their last id.
TEST(StringSetsTest, MatchesBruteForce) {
  std::mt19937 rng(5);
  std::vector<std::string> value_of(400);
  StringSets sets;
  for (uint32_t id = 0; id < value_of.size(); ++id) {
    std::string text;
    const size_t length = rng() % 20;
    for (size_t i = 0; i < length; ++i) text += "ab\xc3\xa9"[rng() % 4];  // bytes of "abé"
    value_of[id] = text;
    // Half the ids go in deferred, settled in batches of 50.
    if (id % 2 == 0) {
      sets.add(text, id);
    } else {
      sets.add_deferred(text, id);
    }
    if (id % 50 == 49) sets.settle();
  }
  sets.settle();
  auto check = [&](const std::vector<bool>& live) {
    for (const std::string pattern : {"", "a", "ab", "ba", "abab",
                                      "\xc3\xa9"
                                      "a",
                                      "bbbbbbbbbbbbb"}) {
      Bitmap equal, prefixed, containing;
      sets.add_matching(pattern, equal);
      ASSERT_TRUE(sets.add_with_prefix(pattern, prefixed, 1000));
      sets.add_containing(pattern, containing);
      std::vector<uint32_t> want_equal, want_prefixed, want_containing;
      for (uint32_t id = 0; id < value_of.size(); ++id) {
        if (!live[id]) continue;
        const std::string& text = value_of[id];
        if (text == pattern) want_equal.push_back(id);
        if (text.starts_with(pattern)) want_prefixed.push_back(id);
        if (text.find(pattern) != std::string::npos) want_containing.push_back(id);
      }
      EXPECT_EQ(ids_of(equal), want_equal) << pattern;
      EXPECT_EQ(ids_of(prefixed), want_prefixed) << pattern;
      EXPECT_EQ(ids_of(containing), want_containing) << pattern;
    }
  };
  std::vector<bool> live(value_of.size(), true);
  check(live);
  Bitmap partial;
  EXPECT_FALSE(sets.add_with_prefix("", partial, 3));

  const size_t keys_before = sets.key_count();
  Bitmap drop;
  for (uint32_t id = 0; id < value_of.size(); id += 2) {
    drop.add(id);
    live[id] = false;
  }
  sets.remove_all(drop);
  for (uint32_t id = 1; id < value_of.size(); id += 4) {
    sets.remove(value_of[id], id);
    sets.remove(value_of[id], id);  // absent now: ignored
    live[id] = false;
  }
  check(live);
  std::vector<std::pair<OrderedText, uint32_t>> batch;
  for (uint32_t id = 3; id < value_of.size(); id += 4) {
    batch.emplace_back(value_of[id], id);
    live[id] = false;
  }
  std::sort(batch.begin(), batch.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  sets.remove_sorted(batch);
  check(live);
  EXPECT_LT(sets.key_count(), keys_before);
}

// Key walks visit keys in order both ways and stop when asked to.
TEST(ValueSetsTest, WalksKeysBothWaysAndStops) {
  NumberSets numbers;
  StringSets strings;
  const std::vector<std::string> words = {"b", "", "\xc3\xa9", "a", "ab", "Z"};
  for (uint32_t id = 0; id < 12; ++id) {
    numbers.add(order_key(static_cast<int64_t>(id % 6) - 3), id);
    strings.add(words[id % words.size()], id);
  }
  std::vector<int64_t> seen;
  numbers.walk_keys(false, [&](OrderKey key, const HybridSet& ids) {
    seen.push_back(number_of(key).integer);
    EXPECT_EQ(ids.size(), 2u);
    return true;
  });
  EXPECT_EQ(seen, (std::vector<int64_t>{-3, -2, -1, 0, 1, 2}));
  seen.clear();
  numbers.walk_keys(true, [&](OrderKey key, const HybridSet&) {
    seen.push_back(number_of(key).integer);
    return seen.size() < 3;
  });
  EXPECT_EQ(seen, (std::vector<int64_t>{2, 1, 0}));
  std::vector<std::string> texts;
  strings.walk_keys(true, [&](std::string_view key, const HybridSet&) {
    texts.emplace_back(key);
    return true;
  });
  // Reverse byte order: the two-byte UTF-8 character sorts above ASCII.
  EXPECT_EQ(texts, (std::vector<std::string>{"\xc3\xa9", "b", "ab", "a", "Z", ""}));
}

// Keys left empty stay until a sweep, in numbers and strings alike:
// lookups, walks, key counts and the walk limits see only keys that hold
// ids, through removals that trigger sweeps and adds that refill emptied
// keys.
TEST(ValueSetsTest, EmptiedKeysAreInvisibleAndSwept) {
  NumberSets numbers;
  StringSets strings;
  std::map<int64_t, std::set<uint32_t>> number_ids;
  std::map<std::string, std::set<uint32_t>> string_ids;
  auto text_of = [](int64_t key) { return "k" + std::to_string(key); };
  auto add = [&](int64_t key, uint32_t id) {
    numbers.add(order_key(key), id);
    strings.add(text_of(key), id);
    number_ids[key].insert(id);
    string_ids[text_of(key)].insert(id);
  };
  auto check = [&] {
    std::vector<int64_t> want_numbers, got_numbers;
    for (const auto& [key, ids] : number_ids) {
      if (!ids.empty()) want_numbers.push_back(key);
    }
    numbers.walk_keys(false, [&](OrderKey key, const HybridSet& ids) {
      got_numbers.push_back(number_of(key).integer);
      EXPECT_FALSE(ids.empty());
      return true;
    });
    ASSERT_EQ(got_numbers, want_numbers);
    ASSERT_EQ(numbers.key_count(), want_numbers.size());
    std::vector<std::string> want_strings, got_strings;
    for (const auto& [key, ids] : string_ids) {
      if (!ids.empty()) want_strings.push_back(key);
      ASSERT_EQ(strings.find(key) != nullptr, !ids.empty()) << key;
      ASSERT_EQ(numbers.find(order_key(int64_t{std::stoi(key.substr(1))})) != nullptr,
                !ids.empty());
    }
    strings.walk_keys(false, [&](std::string_view key, const HybridSet&) {
      got_strings.emplace_back(key);
      return true;
    });
    ASSERT_EQ(got_strings, want_strings);
    ASSERT_EQ(strings.key_count(), want_strings.size());
    // A walk limited to every live key completes; one short of it gives up.
    Bitmap all;
    EXPECT_TRUE(numbers.add_range(nullptr, nullptr, all, want_numbers.size()));
    EXPECT_TRUE(strings.add_with_prefix("k", all, want_strings.size()));
    if (!want_strings.empty()) {
      EXPECT_FALSE(strings.add_with_prefix("k", all, want_strings.size() - 1));
    }
  };
  for (uint32_t id = 0; id < 2000; ++id) add(id % 1000, id);
  check();
  std::mt19937 rng(17);
  for (int round = 0; round < 16; ++round) {
    // One at a time and in sorted batches: empty keys pile up over a few
    // rounds until a sweep takes them out.
    std::vector<std::pair<OrderKey, uint32_t>> number_batch;
    std::vector<std::pair<OrderedText, uint32_t>> string_batch;
    std::vector<std::string> texts;  // own the batch's texts
    texts.reserve(1000);
    for (auto& [key, ids] : number_ids) {
      if (ids.empty() || rng() % 6 != 0) continue;
      const uint32_t id = *ids.begin();
      ids.erase(id);
      string_ids[text_of(key)].erase(id);
      if (rng() % 2 == 0) {
        numbers.remove(order_key(key), id);
        strings.remove(text_of(key), id);
      } else {
        number_batch.emplace_back(order_key(key), id);
        string_batch.emplace_back(texts.emplace_back(text_of(key)), id);
      }
    }
    std::sort(number_batch.begin(), number_batch.end());
    std::sort(string_batch.begin(), string_batch.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    numbers.remove_sorted(number_batch);
    strings.remove_sorted(string_batch);
    check();
    for (uint32_t i = 0; i < 100; ++i) add(rng() % 1100, 5000 + round * 100 + i);
    check();
  }
}

}  // namespace
}  // namespace vantorel
