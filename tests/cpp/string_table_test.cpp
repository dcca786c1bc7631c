#include "native/structures/value_sets/string_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <unordered_map>

namespace vantorel {
namespace {

uint32_t only_id(const HybridSet& ids) {
  uint32_t id = 0;
  ids.for_each([&](uint32_t each) { id = each; });
  return id;
}

// Random inserts and erasures (through growth and long probe runs) against
// std::unordered_map: every key is found with its own set at the index it
// got, erased keys are not, and erased indexes are handed out again.
TEST(StringTableTest, MatchesUnorderedMap) {
  std::mt19937 rng(23);
  StringTable table;
  std::unordered_map<std::string, std::pair<uint32_t, uint32_t>> model;  // key -> (id, index)
  table.prefetch_slot(1);  // an empty table has no slots to ask for
  table.prefetch_entry(1);
  EXPECT_EQ(table.find("absent"), StringTable::kNone);
  size_t highest = 0;  // indexes handed out
  size_t most = 0;     // keys held at once
  for (uint32_t step = 0; step < 40000; ++step) {
    // Keys of every length: empty, inline, and past the inline bytes.
    const std::string key = std::to_string(rng() % 5000) + std::string(rng() % 3 * 7, 'x');
    if (rng() % 3 == 0) {
      auto found = model.find(key);
      ASSERT_EQ(table.find(key), found == model.end() ? StringTable::kNone : found->second.second);
      if (found != model.end()) {
        table.erase(found->second.second);
        model.erase(found);
      }
    } else {
      auto [index, inserted] = table.emplace(key, HybridSet::single(step));
      auto [place, model_inserted] = model.emplace(key, std::make_pair(step, index));
      ASSERT_EQ(inserted, model_inserted) << key;
      ASSERT_EQ(index, place->second.second) << key;
      highest = std::max<size_t>(highest, index + 1);
    }
    ASSERT_EQ(table.size(), model.size());
    most = std::max(most, model.size());
    if (step % 4000 != 0) continue;
    for (const auto& [text, expected] : model) {
      const uint64_t hash = StringTable::hash_of(text);
      table.prefetch_slot(hash);
      table.prefetch_entry(hash);
      const uint32_t index = table.find(text);
      ASSERT_EQ(index, expected.second) << text;
      ASSERT_EQ(table[index].key.view(), text);
      ASSERT_EQ(only_id(table[index].ids), expected.first);
    }
    size_t visited = 0;
    table.for_each([&](const StringTable::Entry& entry) {
      ASSERT_EQ(model.count(std::string(entry.key.view())), 1u);
      ++visited;
    });
    ASSERT_EQ(visited, model.size());
  }
  // Erased indexes were reused: no more were handed out than keys were
  // ever held at once.
  EXPECT_EQ(highest, most);
}

}  // namespace
}  // namespace vantorel
