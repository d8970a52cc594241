#include "common/slot_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Item : vorpane::SlotMember {
    Item(int v, int* destroyed) : value(v), _destroyed(destroyed) {}
    ~Item() { ++*_destroyed; }
    int value;
    int* _destroyed;
};

using List = vorpane::SlotList<Item>;

std::vector<int> walk(const List& list) {
    std::vector<int> out;
    for (const Item& i : list) {
        out.push_back(i.value);
    }
    return out;
}

// Members leave from anywhere, by erase and by removeIf, across many squeezes: the survivors keep
// their order, each removed member is destroyed once, and erase still finds a member whose slot moved.
TEST(SlotListTest, OrderSurvivesErasesAndSqueezes) {
    int destroyed = 0;
    List list;
    std::vector<Item*> items;
    std::vector<int> expected;
    for (int i = 0; i < 1000; ++i) {
        items.push_back(&list.append(std::make_unique<Item>(i, &destroyed)));
    }
    for (int i = 0; i < 1000; ++i) {
        if (i % 3 != 0) {
            list.erase(*items[static_cast<std::size_t>(i)]);  // squeezes more than once on the way
        } else {
            expected.push_back(i);
        }
    }
    EXPECT_EQ(destroyed, 666);
    EXPECT_EQ(list.size(), expected.size());
    EXPECT_EQ(walk(list), expected);
    // Slots moved in the squeezes: erasing a survivor by reference must still hit the right one.
    list.erase(*items[999]);
    expected.pop_back();
    EXPECT_EQ(walk(list), expected);
    ASSERT_NE(list.front(), nullptr);
    EXPECT_EQ(list.front()->value, 0);
    list.erase(*list.front());
    EXPECT_EQ(list.front()->value, 3);

    list.removeIf([](const Item& i) { return i.value % 2 == 1; });
    std::vector<int> even;
    for (int v : walk(list)) {
        EXPECT_EQ(v % 2, 0);
        even.push_back(v);
    }
    list.append(std::make_unique<Item>(5000, &destroyed));
    even.push_back(5000);
    EXPECT_EQ(walk(list), even);
    EXPECT_EQ(list.findFirst([](const Item& i) { return i.value > 4000; })->value, 5000);

    const int before = destroyed;
    const std::size_t left = list.size();
    list.clear();
    EXPECT_EQ(destroyed - before, static_cast<int>(left));
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(list.front(), nullptr);
    EXPECT_TRUE(walk(list).empty());
}

}  // namespace
