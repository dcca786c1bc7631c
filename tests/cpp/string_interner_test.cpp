#include "native/structures/string_interner/string_interner.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "native/common/internal_error.h"

namespace vantorel {
namespace {

TEST(StrInterner, DenseIdsInFirstInternOrder) {
  StrInterner in;
  EXPECT_EQ(in.get("age"), std::nullopt);  // get never adds
  EXPECT_THROW(in.snapshot()->name(0), InternalError);
  EXPECT_EQ(in.intern("age"), 0u);
  EXPECT_EQ(in.intern("name"), 1u);
  EXPECT_EQ(in.intern(""), 2u);  // the empty name is an ordinary name
  EXPECT_EQ(in.intern("age"), 0u);
  EXPECT_EQ(in.get(""), 2u);
  EXPECT_EQ(in.intern("ag"), 3u);  // lookalikes are different names
  EXPECT_EQ(in.intern(std::string("age\0", 4)), 4u);
  EXPECT_EQ(in.snapshot()->size(), 5u);
  EXPECT_EQ(in.snapshot()->name(1), "name");
  EXPECT_EQ(in.snapshot()->name(2), "");
  EXPECT_THROW(in.snapshot()->name(5), InternalError);
}

TEST(StrInterner, SnapshotsAreStableViews) {
  StrInterner in(4);
  in.intern("first");
  auto old = in.snapshot();
  std::string_view first = old->name(0);
  // Enough names to grow both the storage and the table many times over.
  for (int i = 0; i < 5000; ++i) in.intern("n" + std::to_string(i));
  EXPECT_EQ(old->size(), 1u);
  EXPECT_THROW(old->name(1), InternalError);
  EXPECT_EQ(first, "first");  // views outlive later growth
  auto now = in.snapshot();
  for (int i = 0; i < 5000; ++i) {
    ASSERT_EQ(in.get("n" + std::to_string(i)), static_cast<uint32_t>(i + 1));
    ASSERT_EQ(now->name(i + 1), "n" + std::to_string(i));
  }
}

// Every name gets the same hash, so the same-length names below share their
// whole (hash, length) key and only the byte comparison tells them apart.
TEST(StrInterner, NamesWithEqualKeysGetDistinctIds) {
  StrInterner in(0, [](std::string_view) -> uint64_t { return 42; });
  std::vector<std::string> names;
  for (char a = 'a'; a <= 'z'; ++a) {
    for (char b = 'a'; b <= 'e'; ++b) names.push_back({a, b});
  }
  names.push_back("");
  names.push_back("abc");
  for (size_t i = 0; i < names.size(); ++i) ASSERT_EQ(in.intern(names[i]), i) << names[i];
  for (size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(in.intern(names[i]), i);
    EXPECT_EQ(in.get(names[i]), i);
    EXPECT_EQ(in.snapshot()->name(static_cast<uint32_t>(i)), names[i]);
  }
  EXPECT_EQ(in.get("zz"), std::nullopt);
}

TEST(StrInterner, ConcurrentWritersAndReadersAgree) {
  StrInterner in;
  constexpr int kThreads = 8, kNames = 2000;
  // Thread t interns names [t * 250, t * 250 + kNames / 2), so neighbouring
  // threads race on most of their names, and reads back every name it sees.
  std::vector<std::vector<uint32_t>> seen(kThreads, std::vector<uint32_t>(kNames, UINT32_MAX));
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = t * 250; i < t * 250 + kNames / 2; ++i) {
        const std::string name = "attr_" + std::to_string(i % kNames);
        const uint32_t id = in.intern(name);
        seen[t][i % kNames] = id;
        if (in.snapshot()->name(id) != name) ADD_FAILURE() << "id " << id << " is not " << name;
        if (in.get(name) != id) ADD_FAILURE() << name << " not visible after intern";
      }
    });
  }
  for (auto& th : threads) th.join();

  auto snap = in.snapshot();
  std::vector<bool> used(snap->size());
  for (int i = 0; i < kNames; ++i) {
    const std::string name = "attr_" + std::to_string(i);
    auto id = in.get(name);
    if (!id) continue;
    EXPECT_FALSE(used[*id]) << "two names share id " << *id;
    used[*id] = true;
    for (int t = 0; t < kThreads; ++t) {
      if (seen[t][i] != UINT32_MAX) {
        EXPECT_EQ(seen[t][i], *id) << name;
      }
    }
  }
  // Threads cover [0, 7 * 250 + 1000) = every name, each interned once.
  EXPECT_EQ(snap->size(), static_cast<size_t>(kNames));
}

TEST(StrInterner, GlobalInstanceIsShared) {
  const uint32_t id = global_interner().intern("string_interner_test.global");
  EXPECT_EQ(global_interner().get("string_interner_test.global"), id);
  EXPECT_EQ(&global_interner(), &global_interner());
}

}  // namespace
}  // namespace vantorel
