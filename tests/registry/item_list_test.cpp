#include "registry/item_list.h"

#include <gtest/gtest.h>

namespace {

struct ItemCase {
  bool add;
  std::string before;
  std::string item;
  std::string after;  // equal to before when nothing changes
};

class ItemListTest : public testing::TestWithParam<ItemCase> {};

TEST_P(ItemListTest, EditsWholeItemsOnly) {
  const ItemCase& c = GetParam();
  std::string list = c.before;
  const bool changed = c.add ? AddItem(list, c.item, ";") : RemoveItem(list, c.item, ";");
  EXPECT_EQ(list, c.after);
  EXPECT_EQ(changed, c.after != c.before) << "changed";
}

const ItemCase kItemCases[] = {
    {true, "a", "b", "a;b"},
    {true, "a;", "b", "a;b"},
    {true, "", "b", "b"},
    {true, ";", "b", ";b"},
    {true, "a;;", "b", "a;;b"},
    {true, "a;bc", "b", "a;bc;b"},
    {true, "abc", "b", "abc;b"},
    {true, "a;b;c", "b", "a;b;c"},
    {true, "b", "b", "b"},
    {true, "B", "b", "B;b"},
    {true, "a;b", "", "a;b"},
    {true, "", "", ""},
    {true, "C:\\Windows\\system32\\wbem", "C:\\Windows\\system32",
     "C:\\Windows\\system32\\wbem;C:\\Windows\\system32"},
    {false, "a;b;c", "b", "a;c"},
    {false, "b;c", "b", "c"},
    {false, "a;b", "b", "a"},
    {false, "b", "b", ""},
    {false, "b;", "b", ""},
    {false, ";b;", "b", ""},
    {false, "a;b;b", "b", "a;b"},
    {false, "a;b;c;", "b", "a;c"},
    {false, "a;;b", "b", "a;"},
    {false, "ab;c", "b", "ab;c"},
    {false, "c", "b", "c"},
    {false, "a;bc;b", "b", "a;bc"},
    {false, "bb;b", "b", "bb"},
    {false, ";a;", "", ";a;"},
    {false, "", "", ""},
    {false, "x;y", "x;y", ""},
    {false, "C:\\Windows\\system32\\wbem;C:\\Windows\\system32;%SystemRoot%",
     "C:\\Windows\\system32", "C:\\Windows\\system32\\wbem;%SystemRoot%"},
};

INSTANTIATE_TEST_SUITE_P(Table, ItemListTest, testing::ValuesIn(kItemCases));

TEST(ItemListTest, SeparatorMayBeLongerThanOneByte) {
  std::string list = "a, b, c";
  EXPECT_TRUE(RemoveItem(list, "b", ", "));
  EXPECT_EQ(list, "a, c");
  EXPECT_EQ(FindItem("ab, b", "b", ", "), 4u);
}

}  // namespace
