#include "native/structures/value_sets/string_table.h"

#include <gtest/gtest.h>

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
// std::unordered_map: every key is found with its own set, erased keys are
// not, and entries never move while they exist.
TEST(StringTableTest, MatchesUnorderedMap) {
  std::mt19937 rng(23);
  StringTable table;
  std::unordered_map<std::string, std::pair<uint32_t, const StringTable::Entry*>> model;
  table.prefetch_slot(1);  // an empty table has no slots to ask for
  table.prefetch_entry(1);
  EXPECT_EQ(table.find("absent"), nullptr);
  for (uint32_t step = 0; step < 40000; ++step) {
    // Keys of every length, the long ones past any string's inline buffer.
    const std::string key = std::to_string(rng() % 5000) + std::string(rng() % 3 * 12, 'x');
    if (rng() % 3 == 0) {
      table.erase(key);
      model.erase(key);
    } else {
      auto [entry, inserted] = table.emplace(key, HybridSet::single(step));
      auto [place, model_inserted] = model.emplace(key, std::make_pair(step, entry));
      ASSERT_EQ(inserted, model_inserted) << key;
      ASSERT_EQ(entry, place->second.second) << key;
    }
    ASSERT_EQ(table.size(), model.size());
    if (step % 4000 != 0) continue;
    for (const auto& [text, expected] : model) {
      const uint64_t hash = StringTable::hash_of(text);
      table.prefetch_slot(hash);
      table.prefetch_entry(hash);
      const StringTable::Entry* entry = table.find(text);
      ASSERT_EQ(entry, expected.second) << text;
      ASSERT_EQ(entry->key, text);
      ASSERT_EQ(only_id(entry->ids), expected.first);
    }
    size_t visited = 0;
    table.for_each([&](const StringTable::Entry& entry) {
      ASSERT_EQ(model.count(entry.key), 1u);
      ++visited;
    });
    ASSERT_EQ(visited, model.size());
  }
}

}  // namespace
}  // namespace vantorel
