#include "util/integer_list.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace brevalon {
namespace {

using Items = std::vector<int32_t>;

TIntegerList Make(bool sorted, bool dups, const Items& values) {
  TIntegerList l(sorted, dups);
  for (int32_t v : values) l.Add(v);
  return l;
}

TEST(IntegerListTest, AddKeepsOrderAndRefusesDuplicatesAsConfigured) {
  struct Case {
    const char* name;
    bool sorted;
    bool dups;
    Items adds;
    std::vector<int> positions;  // what each Add returned
    Items items;
  } cases[] = {
      {"sorted, no duplicates", true, false, {5, 1, 5, 3}, {0, 0, 1, 1}, {1, 3, 5}},
      {"sorted, duplicates", true, true, {5, 5, 3, 5}, {0, 0, 0, 1}, {3, 5, 5, 5}},
      {"sorted compares signed", true, false, {1, -1, INT32_MIN, INT32_MAX, 0},
       {0, 0, 0, 3, 2}, {INT32_MIN, -1, 0, 1, INT32_MAX}},
      {"unsorted ignores the duplicates flag", false, false, {2, 2, 1}, {0, 1, 2}, {2, 2, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TIntegerList l(c.sorted, c.dups);
    std::vector<int> positions;
    for (int32_t v : c.adds) positions.push_back(l.Add(v));
    EXPECT_EQ(positions, c.positions);
    EXPECT_EQ(l.Items(), c.items);
    EXPECT_EQ(l.Count(), static_cast<int>(c.items.size()));
  }
  // The second Add(5) of 5, 1, 5, 3 reports where the 5 already stood.
  TIntegerList l(true, false);
  l.Add(5);
  l.Add(1);
  EXPECT_EQ(l.Add(5), 1);
  l.Add(3);
  EXPECT_EQ(l.Add(5), 2);
}

TEST(IntegerListTest, FindReportsFirstOccurrenceOrInsertionPoint) {
  struct Case {
    bool dups;
    Items items;
    int32_t value;
    bool found;
    int index;
  } cases[] = {
      {false, {}, 7, false, 0},
      {false, {1, 3, 5}, 0, false, 0},
      {false, {1, 3, 5}, 3, true, 1},
      {false, {1, 3, 5}, 4, false, 2},
      {false, {1, 3, 5}, 9, false, 3},
      {true, {5, 5}, 5, true, 0},
      {true, {1, 5, 5, 5, 5, 8}, 5, true, 1},
      {true, {1, 5, 5, 5, 5, 8}, 6, false, 5},
  };
  for (const Case& c : cases) {
    TIntegerList l = Make(true, c.dups, c.items);
    int index = -99;
    EXPECT_EQ(l.Find(c.value, index), c.found) << c.value;
    EXPECT_EQ(index, c.index) << c.value;
  }
}

TEST(IntegerListTest, IndexOfRemoveAndExtract) {
  for (bool sorted : {false, true}) {
    SCOPED_TRACE(sorted ? "sorted" : "unsorted");
    TIntegerList l = Make(sorted, true, {4, 7, 4, 9});
    const Items before = l.Items();
    EXPECT_EQ(l.IndexOf(8), -1);
    EXPECT_FALSE(l.HaveItem(8));
    EXPECT_EQ(l.Remove(8), -1);
    EXPECT_EQ(l.Extract(8), -1);
    EXPECT_EQ(l.Items(), before);

    EXPECT_TRUE(l.HaveItem(4));
    EXPECT_EQ(l.Remove(4), 0);  // only the first of the two
    EXPECT_TRUE(l.HaveItem(4));
    EXPECT_EQ(l.Count(), 3);
    const int pos = l.IndexOf(9);
    EXPECT_EQ(l.Extract(9), pos);
    EXPECT_FALSE(l.HaveItem(9));
  }
  TIntegerList u = Make(false, true, {3, 1, 3});
  EXPECT_EQ(u.Remove(3), 0);
  EXPECT_EQ(u.Items(), (Items{1, 3}));
}

TEST(IntegerListTest, SortedListRefusesInsertAndSetItems) {
  TIntegerList l = Make(true, false, {1, 2});
  for (auto op : {std::function<void()>([&] { l.Insert(0, 5); }),
                  std::function<void()>([&] { l.SetItems(0, 5); })}) {
    try {
      op();
      ADD_FAILURE() << "allowed";
    } catch (const EIntegerListException& e) {
      EXPECT_STREQ(e.what(), "Операция недоступна для сотированного списка");
    }
  }
  EXPECT_EQ(l.Items(), (Items{1, 2}));

  TIntegerList u = Make(false, true, {1, 2});
  u.Insert(2, 9);
  u.Insert(0, 8);
  u.SetItems(1, 7);
  EXPECT_EQ(u.Items(), (Items{8, 7, 2, 9}));
}

TEST(IntegerListTest, BadIndexRaisesAndLeavesTheListAlone) {
  TIntegerList l = Make(false, true, {10, 20});
  TIntegerList empty;
  const std::vector<std::pair<const char*, std::function<void()>>> ops = {
      {"GetItems(-1)", [&] { l.GetItems(-1); }},
      {"GetItems(2)", [&] { l.GetItems(2); }},
      {"SetItems(2)", [&] { l.SetItems(2, 0); }},
      {"SetItems(-1)", [&] { l.SetItems(-1, 0); }},
      {"Delete(2)", [&] { l.Delete(2); }},
      {"Delete(-1)", [&] { l.Delete(-1); }},
      {"Insert(3)", [&] { l.Insert(3, 0); }},
      {"Insert(-1)", [&] { l.Insert(-1, 0); }},
      {"First of empty", [&] { empty.First(); }},
      {"Last of empty", [&] { empty.Last(); }},
      {"Delete of empty", [&] { empty.Delete(0); }},
  };
  for (const auto& [name, op] : ops) {
    EXPECT_THROW(op(), EListIndexError) << name;
  }
  EXPECT_EQ(l.Items(), (Items{10, 20}));
  EXPECT_EQ(empty.Count(), 0);
  EXPECT_EQ(l.First(), 10);
  EXPECT_EQ(l.Last(), 20);
  l.Delete(0);
  EXPECT_EQ(l.Items(), (Items{20}));
  l.Clear();
  EXPECT_EQ(l.Count(), 0);
}

TEST(IntegerListTest, SwitchingDuplicatesOffKeepsFirstOccurrences) {
  TIntegerList l = Make(false, true, {2, 5, 2, 7, 5, 5, 2});
  l.SetAcceptDuplicates(false);
  EXPECT_FALSE(l.AcceptDuplicates());
  EXPECT_EQ(l.Items(), (Items{2, 5, 7}));

  TIntegerList s = Make(true, true, {3, 3, 1, 3});
  s.SetAcceptDuplicates(false);
  EXPECT_EQ(s.Items(), (Items{1, 3}));
  EXPECT_EQ(s.Add(3), 1);
  EXPECT_EQ(s.Items(), (Items{1, 3}));
}

TEST(IntegerListTest, AddItemsGoesThroughAddIncludingAnOverride) {
  // A subclass that counts the calls sees every item that AddItems and
  // SetAsString add.
  class Counting : public TIntegerList {
   public:
    using TIntegerList::TIntegerList;
    int Add(int32_t v) override {
      ++calls;
      return TIntegerList::Add(v);
    }
    int calls = 0;
  };
  Counting c(true, false);
  c.AddItems(Make(false, true, {4, 1, 4}));
  c.SetAsString("2,1", ",");
  EXPECT_EQ(c.calls, 5);
  EXPECT_EQ(c.Items(), (Items{1, 2, 4}));

  TIntegerList self = Make(false, true, {1, 2});
  self.AddItems(self);
  EXPECT_EQ(self.Items(), (Items{1, 2, 1, 2}));
}

TEST(IntegerListTest, TextForms) {
  struct Case {
    Items items;
    const char* delimiter;
    const char* text;
  } cases[] = {
      {{1, -2, 30}, ",", "1,-2,30"},
      {{}, ",", ""},
      {{INT32_MIN, INT32_MAX}, "; ", "-2147483648; 2147483647"},
      {{7}, "ab", "7"},
  };
  for (const Case& c : cases) {
    TIntegerList l = Make(false, true, c.items);
    EXPECT_EQ(l.GetAsString(c.delimiter), c.text);
    TIntegerList back;
    back.SetAsString(c.text, c.delimiter);
    EXPECT_EQ(back.Items(), c.items) << c.text;
  }
}

TEST(IntegerListTest, SetAsStringAppendsPieces) {
  struct Case {
    const char* values;
    const char* delimiter;
    Items added;
  } cases[] = {
      {"1;2;3", ";", {1, 2, 3}},
      {"1;2;", ";", {1, 2}},                   // a final separator adds nothing
      {"", ",", {}},
      {"4X5x6", "x", {4, 5, 6}},               // delimiter without regard to case
      {"1\r\n2\n3\r4", ",", {1, 2, 3, 4}},     // line breaks separate as well
      {"1, 2", ", ", {1, 2}},
      {"+5|-0", "|", {5, 0}},
      {"12", "", {12}},
  };
  for (const Case& c : cases) {
    TIntegerList l = Make(false, true, {9});
    l.SetAsString(c.values, c.delimiter);
    Items expected{9};
    expected.insert(expected.end(), c.added.begin(), c.added.end());
    EXPECT_EQ(l.Items(), expected) << c.values;
  }
}

TEST(IntegerListTest, SetAsStringRejectsBadPiecesKeepingEarlierValues) {
  struct Case {
    const char* values;
    const char* delimiter;
    const char* message;
    Items kept;
  } cases[] = {
      {"1;;2", ";", "'' is not a valid integer value", {1}},
      {"1;x;2", ";", "'x' is not a valid integer value", {1}},
      {"1, 2", ",", "' 2' is not a valid integer value", {1}},
      {"3;2147483648", ";", "'2147483648' is not a valid integer value", {3}},
      {"0x1F", ";", "'0x1F' is not a valid integer value", {}},
      {";", ";", "'' is not a valid integer value", {}},
      {"5;1.5", ";", "'1.5' is not a valid integer value", {5}},
  };
  for (const Case& c : cases) {
    TIntegerList l;
    try {
      l.SetAsString(c.values, c.delimiter);
      ADD_FAILURE() << "accepted " << c.values;
    } catch (const EIntegerConvertError& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
    EXPECT_EQ(l.Items(), c.kept) << c.values;
  }
}

}  // namespace
}  // namespace brevalon
