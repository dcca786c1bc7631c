#include "values/types.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace vantorel {
namespace {

TEST(SmallString, InlineAndHeapTextSurviveCopiesMovesAndAssignments) {
  static_assert(sizeof(SmallString) == 24);
  const std::string inline_text(SmallString::kInlineCapacity, 'i');
  const std::string heap_text(SmallString::kInlineCapacity + 1, 'h');
  for (const std::string& text : {std::string(), std::string("abc"), inline_text, heap_text}) {
    SmallString a(text);
    SmallString copy(a);
    SmallString moved(std::move(copy));
    EXPECT_EQ(copy.view(), "");  // a moved-from string is empty
    EXPECT_EQ(moved.view(), text);
    EXPECT_EQ(a.view(), text);
    // Assignments between every pair of forms, and to itself.
    for (const std::string& other : {std::string("xy"), heap_text + "!"}) {
      SmallString target(other);
      target = a;
      EXPECT_EQ(target.view(), text);
      SmallString source(other);
      target = std::move(source);
      EXPECT_EQ(target.view(), other);
      EXPECT_EQ(source.view(), "");
      target = *&target;
      EXPECT_EQ(target.view(), other);
    }
    EXPECT_EQ(a, SmallString(text));
  }
  std::vector<SmallString> grown;
  for (int i = 0; i < 40; ++i) grown.emplace_back(std::string(i, static_cast<char>('a' + i % 26)));
  for (int i = 0; i < 40; ++i) EXPECT_EQ(grown[i].view().size(), static_cast<size_t>(i));
}

}  // namespace
}  // namespace vantorel
