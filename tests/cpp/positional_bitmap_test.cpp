#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "native/structures/positional_bitmap/positional_bitmap.h"

namespace vantorel {

static void PrintTo(const Bitmap& ids, std::ostream* os) {
  *os << "{";
  ids.for_each([os](uint32_t id) { *os << " " << id; });
  *os << " }";
}

namespace {

using Stored = std::map<uint32_t, std::string>;

// Brute-force answer: the ids whose string satisfies `match`.
template <class Match>
Bitmap brute(const Stored& stored, Match match) {
  Bitmap result;
  for (const auto& [id, value] : stored) {
    if (match(value)) result.add(id);
  }
  return result;
}

void expect_matches(const PositionalBitmap& map, const Stored& stored, const std::string& p) {
  EXPECT_EQ(map.starts_with(p),
            brute(stored, [&](const std::string& s) { return s.starts_with(p); }))
      << "starts " << p;
  EXPECT_EQ(map.ends_with(p), brute(stored, [&](const std::string& s) { return s.ends_with(p); }))
      << "ends " << p;
  EXPECT_EQ(map.contains(p),
            brute(stored, [&](const std::string& s) { return s.find(p) != s.npos; }))
      << "contains " << p;
}

// Every stored string, its halves and a few random patterns.
void expect_all_match(const PositionalBitmap& map, const Stored& stored, std::mt19937& rng) {
  EXPECT_EQ(map.all(), brute(stored, [](const std::string&) { return true; }));
  for (const auto& [id, value] : stored) {
    expect_matches(map, stored, value);
    expect_matches(map, stored, value.substr(0, value.size() / 2));
    expect_matches(map, stored, value.substr(value.size() / 2));
  }
  for (int i = 0; i < 20; ++i) {
    std::string pattern(rng() % 4, 'a');
    for (char& c : pattern) c = static_cast<char>('a' + rng() % 3);
    expect_matches(map, stored, pattern);
  }
}

std::string random_string(std::mt19937& rng, size_t max_length) {
  std::string s(rng() % (max_length + 1), 'a');
  for (char& c : s) c = static_cast<char>('a' + rng() % 3);
  return s;
}

TEST(PositionalBitmap, GrowthKeepsEveryStringFindable) {
  // Strings whose even length equals the position count when they arrive
  // ("abcd" at 4, "abcdef" at 6, ...) force growth; all earlier strings must
  // stay findable.
  PositionalBitmap map;
  Stored stored;
  std::mt19937 rng(1);
  const char* values[] = {"abc",    "ab",       "",  "abcd",         "b",   "ba",
                          "abcdef", "bcabcaab", "c", "aabbccaabbcc", "cab", "abcdefghijklmnopq"};
  uint32_t id = 1;
  for (const char* value : values) {
    map.insert(value, id);
    stored[id++] = value;
    expect_all_match(map, stored, rng);
  }
}

TEST(PositionalBitmap, EverySubstringOfSmallCases) {
  // A one-byte pattern must not match "ab" through its last byte (prefix) or
  // its first (suffix); multi-byte characters
  // match byte by byte; "abcde" is longer than the range.
  Stored stored = {{1, "ab"},       {2, "xyzw"},  {3, "abcdefghijklmnop\xc3\xa9"},
                   {4, "\xc3\xa8"}, {5, "p\xc3"}, {6, ""},
                   {7, "b"}};
  PositionalBitmap map;
  for (const auto& [id, value] : stored) map.insert(value, id);
  for (const auto& [id, value] : stored) {
    for (size_t from = 0; from < value.size(); ++from) {
      for (size_t length = 1; from + length <= value.size(); ++length) {
        expect_matches(map, stored, value.substr(from, length));
      }
    }
  }
  for (const char* pattern : {"", "abcde", "\xa9\xc3", "ba", "wx"}) {
    expect_matches(map, stored, pattern);
  }
}

TEST(PositionalBitmap, RandomOperationsMatchStringSemantics) {
  std::mt19937 rng(7);
  PositionalBitmap map;
  Stored stored;
  for (int round = 0; round < 400; ++round) {
    uint32_t id = rng() % 60;
    auto it = stored.find(id);
    if (it != stored.end()) {
      map.remove(it->second, id);
      stored.erase(it);
    }
    if (rng() % 3 != 0) {
      // Mostly short strings; now and then a longer one grows the range.
      std::string value = random_string(rng, rng() % 25 == 0 ? 30 : 8);
      map.insert(value, id);
      stored[id] = value;
    }
    if (round % 40 == 39) expect_all_match(map, stored, rng);
  }
}

TEST(PositionalBitmap, BulkPushThenFlushEqualsInsert) {
  std::mt19937 rng(11);
  PositionalBitmap single;
  PositionalBitmap bulk;
  Stored stored;
  for (uint32_t id = 0; id < 500; ++id) {  // many ids per cell: buffers fill and spill
    std::string value = random_string(rng, id % 50 == 0 ? 20 : 6);
    single.insert(value, id);
    bulk.push(value, id);
    stored[id] = value;
  }
  bulk.flush();
  expect_all_match(bulk, stored, rng);
}

TEST(PositionalBitmap, RemoveAllDropsIdsAndEmptiedCells) {
  std::mt19937 rng(5);
  PositionalBitmap map;
  Stored stored;
  for (uint32_t id = 0; id < 120; ++id) {
    std::string value = random_string(rng, id % 2 == 1 ? 15 : 5);
    if (id % 5 == 0) {
      map.push(value, id);  // pending until remove_all drains them
    } else {
      map.insert(value, id);
    }
    stored[id] = value;
  }
  // Strings no other shares: their cells hold one id each.
  map.insert(std::string(30, 'z'), 201);
  stored[201] = std::string(30, 'z');
  map.insert(std::string(33, 'y'), 202);
  stored[202] = std::string(33, 'y');

  Bitmap drop;
  for (uint32_t id = 0; id < 210; ++id) {
    if (id % 3 != 0) drop.add(id);
  }
  map.remove_all(drop);
  std::erase_if(stored, [&](const auto& entry) { return drop.contains(entry.first); });
  expect_all_match(map, stored, rng);
  expect_matches(map, stored, std::string(30, 'z'));
  expect_matches(map, stored, "y");
}

TEST(PositionalBitmap, MegabyteStringIsIndexedFoundAndRemoved) {
  std::mt19937 rng(3);
  std::string big(1 << 20, 'a');
  for (char& c : big) c = static_cast<char>('a' + rng() % 26);
  PositionalBitmap map;
  map.insert("hello", 1);
  size_t before = map.memory_bytes();
  map.insert(big, 2);
  size_t per_byte = (map.memory_bytes() - before) / big.size();
  EXPECT_LT(per_byte, 128u);

  EXPECT_EQ(map.starts_with(big.substr(0, 4096)), Bitmap{2});
  EXPECT_EQ(map.ends_with(big.substr(big.size() - 4096)), Bitmap{2});
  EXPECT_EQ(map.contains(big.substr(big.size() / 2, 64)), Bitmap{2});
  EXPECT_EQ(map.starts_with("hello"), Bitmap{1});

  std::string replacement = big;
  replacement[big.size() / 3] = 'A';
  map.remove(big, 2);
  map.insert(replacement, 2);
  EXPECT_TRUE(map.starts_with(big).empty());
  EXPECT_EQ(map.starts_with(replacement), Bitmap{2});
  map.remove(replacement, 2);
  EXPECT_TRUE(map.contains("A").empty());
  EXPECT_EQ(map.all(), Bitmap{1});
  // Only the (empty) positions themselves remain.
  EXPECT_LT(map.memory_bytes(), before + 40 * big.size());
}

}  // namespace
}  // namespace vantorel
