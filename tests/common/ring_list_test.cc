#include "common/ring_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Item : vorpane::RingNode<Item> {
    explicit Item(std::string n, int* destroyed = nullptr) : name(std::move(n)), _destroyed(destroyed) {}
    ~Item() {
        if (_destroyed != nullptr) {
            ++*_destroyed;
        }
    }
    std::string name;
    int* _destroyed;
};

using List = vorpane::RingList<Item>;

std::vector<std::string> walk(const List& list) {
    std::vector<std::string> out;
    for (const Item& i : list) {
        out.push_back(i.name);
    }
    return out;
}

std::vector<std::string> iterate(List& list) {
    std::vector<std::string> out;
    vorpane::RingIterator<Item> it(list);
    while (Item* i = it.next()) {
        out.push_back(i->name);
    }
    return out;
}

Item& add(List& list, const std::string& name, int* destroyed = nullptr) {
    return list.insert(std::make_unique<Item>(name, destroyed));
}

using Names = std::vector<std::string>;

TEST(RingList, MembersComeOldestFirstAndTheFirstStaysHead) {
    List list;
    EXPECT_EQ(list.head(), nullptr);
    EXPECT_TRUE(list.empty());
    Item& a = add(list, "a");
    add(list, "b");
    Item& c = add(list, "c");
    EXPECT_EQ(list.head(), &a);
    EXPECT_EQ(list.size(), 3u);
    EXPECT_EQ(walk(list), (Names{"a", "b", "c"}));
    EXPECT_EQ(iterate(list), (Names{"a", "b", "c"}));
    // The newest member sits directly after the head in the "next" direction.
    EXPECT_EQ(a.ringNext(), &c);
    EXPECT_EQ(a.ringPrev()->name, "b");
}

TEST(RingList, RemovingTheHeadMakesTheNewestMemberTheHead) {
    int destroyed = 0;  // declared first: it outlives the list's members
    List list;
    Item& a = add(list, "a", &destroyed);
    add(list, "b", &destroyed);
    add(list, "c", &destroyed);
    list.erase(a);
    EXPECT_EQ(destroyed, 1);
    ASSERT_NE(list.head(), nullptr);
    EXPECT_EQ(list.head()->name, "c");
    EXPECT_EQ(walk(list), (Names{"c", "b"}));
}

TEST(RingList, RemovingMiddleAndLastKeepsTheRingClosed) {
    List list;
    add(list, "a");
    Item& b = add(list, "b");
    add(list, "c");
    Item& d = add(list, "d");
    list.erase(b);
    EXPECT_EQ(walk(list), (Names{"a", "c", "d"}));
    list.erase(d);
    EXPECT_EQ(walk(list), (Names{"a", "c"}));
    EXPECT_EQ(list.size(), 2u);
    std::unique_ptr<Item> taken = list.unlink(*list.head());
    EXPECT_EQ(taken->name, "a");
    EXPECT_FALSE(list.contains(*taken));
    EXPECT_EQ(walk(list), (Names{"c"}));
    list.erase(*list.head());
    EXPECT_EQ(list.head(), nullptr);
    EXPECT_EQ(list.size(), 0u);
    EXPECT_EQ(iterate(list), Names{});
    // A list emptied this way starts over: the next member is the head again.
    Item& e = add(list, "e");
    EXPECT_EQ(list.head(), &e);
    EXPECT_EQ(walk(list), (Names{"e"}));
}

TEST(RingList, RemovalWhileIteratingVisitsEveryOtherMemberOnce) {
    for (const std::string doomed : {"a", "b", "c", "d"}) {
        int destroyed = 0;
        List list;
        for (const char* n : {"a", "b", "c", "d"}) {
            add(list, n, &destroyed);
        }
        Names seen;
        vorpane::RingIterator<Item> it(list);
        while (Item* i = it.next()) {
            seen.push_back(i->name);
            if (i->name == doomed) {
                it.removeCurrent();
            }
        }
        EXPECT_EQ(seen, (Names{"a", "b", "c", "d"})) << "removing " << doomed;
        EXPECT_EQ(destroyed, 1);
        EXPECT_EQ(list.size(), 3u);
    }
}

TEST(RingList, RemovingEveryMemberDuringOneWalkEmptiesTheList) {
    int destroyed = 0;  // declared first: it outlives the list's members
    List list;
    for (const char* n : {"a", "b", "c"}) {
        add(list, n, &destroyed);
    }
    {
        vorpane::RingIterator<Item> it(list);
        int visited = 0;
        while (it.next() != nullptr) {
            it.removeCurrent();
            ++visited;
        }
        EXPECT_EQ(visited, 3);
    }
    EXPECT_EQ(destroyed, 3);
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(list.head(), nullptr);
}

TEST(RingList, MembersInsertedDuringAWalkWaitForTheNextWalk) {
    List list;
    add(list, "a");
    add(list, "b");
    Names seen;
    {
        vorpane::RingIterator<Item> it(list);
        while (Item* i = it.next()) {
            seen.push_back(i->name);
            if (i->name == "a") {
                add(list, "x");
            }
        }
    }
    EXPECT_EQ(seen, (Names{"a", "b"}));
    EXPECT_EQ(walk(list), (Names{"a", "b", "x"}));
}

TEST(RingList, IteratorResetStartsOverFromTheHead) {
    List list;
    add(list, "a");
    add(list, "b");
    vorpane::RingIterator<Item> it(list);
    ASSERT_NE(it.next(), nullptr);
    it.reset();
    EXPECT_EQ(it.next()->name, "a");
    EXPECT_EQ(it.next()->name, "b");
    EXPECT_EQ(it.next(), nullptr);
    EXPECT_EQ(it.next(), nullptr);
}

TEST(RingList, MoveToFrontPutsTheMemberFirstAndTheOldHeadSecond) {
    List list;
    add(list, "a");
    add(list, "b");
    Item& c = add(list, "c");
    Item& d = add(list, "d");
    list.moveToFront(c);
    EXPECT_EQ(list.head(), &c);
    EXPECT_EQ(walk(list), (Names{"c", "a", "b", "d"}));
    // Moving the head is a no-op.
    list.moveToFront(c);
    EXPECT_EQ(walk(list), (Names{"c", "a", "b", "d"}));
    // d sits directly after the head in the next direction: it only becomes the head.
    EXPECT_EQ(c.ringNext(), &d);
    list.moveToFront(d);
    EXPECT_EQ(walk(list), (Names{"d", "c", "a", "b"}));
    EXPECT_EQ(list.size(), 4u);
}

TEST(RingList, SetHeadRotatesTheWalk) {
    List list;
    add(list, "a");
    Item& b = add(list, "b");
    add(list, "c");
    list.setHead(b);
    EXPECT_EQ(walk(list), (Names{"b", "c", "a"}));
}

TEST(RingList, ClearAndDestructionDestroyEveryMember) {
    int destroyed = 0;
    {
        List list;
        for (int i = 0; i < 5; ++i) {
            add(list, std::to_string(i), &destroyed);
        }
        list.clear();
        EXPECT_EQ(destroyed, 5);
        EXPECT_EQ(list.head(), nullptr);
        add(list, "x", &destroyed);
        add(list, "y", &destroyed);
    }
    EXPECT_EQ(destroyed, 7);
}

TEST(RingList, FindFirstFollowsTheWalkOrder) {
    List list;
    add(list, "k1");
    Item& second = add(list, "k2");
    add(list, "k2");
    EXPECT_EQ(list.findFirst([](const Item& i) { return i.name == "k2"; }), &second);
    EXPECT_EQ(list.findFirst([](const Item& i) { return i.name == "none"; }), nullptr);
}

}  // namespace
