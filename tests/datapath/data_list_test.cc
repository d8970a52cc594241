// The row store: keeping rules per sample type, keys, sets, emission and events.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <thread>

#include "datapath_test_support.h"
#include "testlib/trace_capture.h"

namespace vorpane::datapath::testing {
namespace {

using vorpane::testing::TraceCapture;

class RowStore : public LayoutFixture {
  protected:
    std::unique_ptr<dataList> store(char sampleType, int ttl = 60) {
        const metadata::userDataInfo& udi = layout(sampleType, ttl);
        auto list = std::make_unique<dataList>("DPT", udi.tableNameRR(), "host1", udi.rowSize(), ttl);
        list->userData(&udi);
        if (sampleType == 'K') {
            list->addKey(1, udi.columnType(1), udi.columnOffset(1), udi.columnLength(1));
        }
        return list;
    }
    static int add(dataList& list, uint16_t control, rowBuffer row, int noValue = 0) {
        return list.addEntry(control, row, noValue);
    }
    static std::vector<std::string> emit(dataList& list, time_t since = 0,
                                         const char* origin = "DPT:host1:G") {
        CollectRows rows;
        list.emitToAXF(&rows, origin, since);
        return rows.names();
    }
};

TEST_F(RowStore, PeriodicKeepsOnlyTheLatestRowOrSetAndEmitsItEveryTime) {
    auto list = store('P');
    ASSERT_EQ(list->rowSize(), kRowSize);
    EXPECT_EQ(add(*list, kSingleRow, makeRow("a", 1)), 0);
    EXPECT_EQ(add(*list, kSingleRow, makeRow("b", 2)), 0);
    EXPECT_EQ(add(*list, kSingleRow, makeRow("c", 3)), 0);
    EXPECT_EQ(list->rowCount(), 1u);
    EXPECT_EQ(list->noOfElements(), 1);

    CollectRows rows;
    EXPECT_EQ(list->emitToAXF(&rows, "DPT:host1:G", 0), 1);
    EXPECT_EQ(list->emitToAXF(&rows, "DPT:host1:G", 0), 1);
    ASSERT_EQ(rows.rows.size(), 2u);
    EXPECT_EQ(rows.rows[1].name, "c");
    EXPECT_EQ(rows.rows[1].count, 3);
    EXPECT_EQ(rows.rows[1].origin, "DPT:host1:G");

    // A new set replaces the single rows' mode; a second set replaces the first.
    EXPECT_EQ(add(*list, kSetBegin, makeRow("s1", 1)), 0);
    EXPECT_EQ(add(*list, kSetEnd, makeRow("s2", 2)), 0);
    EXPECT_EQ(emit(*list), (std::vector<std::string>{"s1", "s2"}));
    EXPECT_EQ(add(*list, kSetBegin, makeRow("t1", 1)), 0);
    EXPECT_EQ(add(*list, kSetEnd, makeRow("t2", 2)), 0);
    EXPECT_EQ(list->setCount(), 1u);
    EXPECT_EQ(emit(*list), (std::vector<std::string>{"t1", "t2"}));
}

TEST_F(RowStore, SampledRowsAgeOutAtTheCleanupTriggerOrAtEmission) {
    auto list = store('S', 60);
    EXPECT_EQ(add(*list, kSingleRow, makeRow("old", 1)), 0);
    clock::advance(61);
    // Too old to be emitted, but still stored until a clean-up.
    EXPECT_EQ(emit(*list, 1), std::vector<std::string>{});
    EXPECT_EQ(list->rowCount(), 1u);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(add(*list, kSingleRow, makeRow("n" + std::to_string(i), i)), 0);
    }
    EXPECT_EQ(list->rowCount(), 9u);  // nine additions since the last clean-up
    EXPECT_EQ(add(*list, kSingleRow, makeRow("n8", 8)), 0);
    EXPECT_EQ(list->rowCount(), 9u);  // the tenth ran the clean-up: the old row left
    EXPECT_EQ(list->noOfElements(), 9);
    EXPECT_EQ(emit(*list).size(), 9u);

    // At emission with lastSampleTime 0 the clean-up runs too; a younger row stays.
    clock::advance(30);
    EXPECT_EQ(add(*list, kSingleRow, makeRow("young", 1)), 0);
    clock::advance(31);
    EXPECT_EQ(emit(*list), std::vector<std::string>{"young"});
    EXPECT_EQ(list->rowCount(), 1u);

    // Only rows stored since lastSampleTime are emitted.
    const time_t before = static_cast<time_t>(clock::nowSeconds());
    clock::advance(2);
    EXPECT_EQ(add(*list, kSingleRow, makeRow("later", 2)), 0);
    EXPECT_EQ(emit(*list, before + 1), std::vector<std::string>{"later"});
}

TEST_F(RowStore, KeyedRowsReplaceMergeAndDelete) {
    auto list = store('K');
    EXPECT_EQ(add(*list, kSingleRow, makeRow("disk1", 10, "full")), 0);
    EXPECT_EQ(add(*list, kSingleRow, makeRow("disk2", 20, "ok")), 0);
    EXPECT_EQ(add(*list, kSingleRow, makeRow("disk1", 11, "half")), 0);
    ASSERT_EQ(list->rowCount(), 2u);
    CollectRows rows;
    list->emitToAXF(&rows, "n", 0);
    ASSERT_EQ(rows.rows.size(), 2u);
    EXPECT_EQ(rows.rows[0].name, "disk1");  // the replaced row keeps its place
    EXPECT_EQ(rows.rows[0].count, 11);
    EXPECT_EQ(rows.rows[0].note, "half");

    // A merge: "^" keeps the stored text, an empty integer (zeros) overwrites the number.
    rowBuffer partial = makeRow("disk1", 0, "^");
    EXPECT_EQ(list->addEntry(kSingleRow, partial, 1), 0);
    EXPECT_EQ(partial, nullptr);
    rows.rows.clear();
    list->emitToAXF(&rows, "n", 0);
    ASSERT_EQ(rows.rows.size(), 2u);
    EXPECT_EQ(rows.rows[0].count, 0);
    EXPECT_EQ(rows.rows[0].note, "half");
    // ... and a text that does come is merged, also in the last column, which ends the row.
    rowBuffer last = makeRow("disk1", 12, "spare");
    EXPECT_EQ(list->addEntry(kSingleRow, last, 1), 0);
    rows.rows.clear();
    list->emitToAXF(&rows, "n", 0);
    ASSERT_EQ(rows.rows.size(), 2u);
    EXPECT_EQ(rows.rows[0].count, 12);
    EXPECT_EQ(rows.rows[0].note, "spare");

    // Deleting a key that is not stored fails and leaves the row with the caller.
    TraceCapture trace;
    rowBuffer missing = makeRow("disk9", 0);
    EXPECT_EQ(list->addEntry(DCH_DeleteKeyRecord, missing, 0), 1);
    EXPECT_NE(missing, nullptr);
    EXPECT_EQ(list->rowCount(), 2u);
    rowBuffer del = makeRow("disk1", 0);
    EXPECT_EQ(list->addEntry(DCH_DeleteKeyRecord, del, 0), 0);
    EXPECT_EQ(del, nullptr);
    EXPECT_EQ(emit(*list), std::vector<std::string>{"disk2"});
    // A deleted key can come back as a new row.
    EXPECT_EQ(add(*list, kSingleRow, makeRow("disk1", 5)), 0);
    EXPECT_EQ(emit(*list), (std::vector<std::string>{"disk2", "disk1"}));
    EXPECT_EQ(list->noOfElements(), 2);
}

// Thousands of keyed rows replaced, deleted and added again in turn: every stored row keeps its own
// image (a slot handed out twice would show as a wrong count), in the order the keys first came.
TEST_F(RowStore, KeyedRowsChurnWithoutSharingAnImage) {
    auto list = store('K', 600);
    std::map<std::string, int32_t> expected;
    std::vector<std::string> order;
    auto put = [&](int k, int32_t count) {
        char name[9];
        std::snprintf(name, sizeof name, "k%05d", k);
        if (expected.count(name) == 0) {
            order.push_back(name);
        }
        expected[name] = count;
        EXPECT_EQ(add(*list, kSingleRow, makeRow(name, count)), 0);
    };
    for (int k = 0; k < 3000; ++k) {
        put(k, k);
    }
    for (int k = 0; k < 3000; k += 3) {
        char name[9];
        std::snprintf(name, sizeof name, "k%05d", k);
        rowBuffer del = makeRow(name, 0);
        EXPECT_EQ(list->addEntry(DCH_DeleteKeyRecord, del, 0), 0);
        expected.erase(name);
        order.erase(std::find(order.begin(), order.end(), name));
    }
    for (int k = 1; k < 3000; k += 5) {
        put(k, k + 100000);  // replaced in place
    }
    for (int k = 3000; k < 4000; ++k) {
        put(k, k);  // new rows take the freed slots
    }
    CollectRows rows;
    EXPECT_EQ(list->emitToAXF(&rows, "n", 0), static_cast<int>(expected.size()));
    ASSERT_EQ(rows.rows.size(), expected.size());
    for (std::size_t i = 0; i < rows.rows.size(); ++i) {
        EXPECT_EQ(rows.rows[i].name, order[i]);
        EXPECT_EQ(rows.rows[i].count, expected[rows.rows[i].name]) << rows.rows[i].name;
    }
    // All of them expire at once; the store takes rows afresh.
    clock::advance(601);
    EXPECT_TRUE(emit(*list).empty());
    EXPECT_EQ(list->rowCount(), 0u);
    put(7, 7);
    EXPECT_EQ(emit(*list), std::vector<std::string>{"k00007"});
}

// Slots never overlap, freed slots are reused, and a block's memory goes with its last row.
TEST(RowSlabTest, SlotsAreDistinctReusedAndBlocksGiveTheirMemoryBack) {
    RowSlab slab(200);
    std::vector<RowSlab::Slot> slots(2000);
    for (std::size_t i = 0; i < slots.size(); ++i) {
        ASSERT_TRUE(slab.acquire(&slots[i]));
        std::memset(slab.row(slots[i]), static_cast<int>(i % 251), 200);
    }
    for (std::size_t i = 0; i < slots.size(); ++i) {
        const char* row = slab.row(slots[i]);
        ASSERT_EQ(row[0], static_cast<char>(i % 251));
        ASSERT_EQ(row[199], static_cast<char>(i % 251));
    }
    const std::size_t blocks = slab.blocksInUse();
    EXPECT_GT(blocks, 2u);
    EXPECT_LT(blocks, 20u);  // blocks grow with the store
    for (std::size_t i = 0; i < slots.size(); i += 2) {
        slab.release(slots[i]);
    }
    RowSlab::Slot again = 0;
    ASSERT_TRUE(slab.acquire(&again));
    EXPECT_EQ(slab.blocksInUse(), blocks);  // a freed slot, not a new block
    bool reused = false;
    for (std::size_t i = 0; i < slots.size(); i += 2) {
        reused = reused || slots[i] == again;
    }
    EXPECT_TRUE(reused);
    slab.release(again);
    for (std::size_t i = 1; i < slots.size(); i += 2) {
        slab.release(slots[i]);
    }
    EXPECT_EQ(slab.blocksInUse(), 0u);
    ASSERT_TRUE(slab.acquire(&again));
    EXPECT_EQ(slab.blocksInUse(), 1u);
    slab.release(again);

    // A full block with a freed slot takes the next row before a new block starts. The first block
    // of an empty slab holds four rows.
    RowSlab::Slot four[4];
    for (RowSlab::Slot& slot : four) {
        ASSERT_TRUE(slab.acquire(&slot));
    }
    ASSERT_EQ(slab.blocksInUse(), 1u);
    slab.release(four[1]);
    ASSERT_TRUE(slab.acquire(&again));
    EXPECT_EQ(again, four[1]);
    EXPECT_EQ(slab.blocksInUse(), 1u);
}

// Keys may come after the first rows (a collection thread gives them with the first row it stores):
// the rows already stored are indexed then, so a later row with the same key replaces its row.
TEST_F(RowStore, AKeyDeclaredAfterRowsWereStoredIndexesThem) {
    const metadata::userDataInfo& udi = layout('K');
    dataList list("DPT", udi.tableNameRR(), "host1", udi.rowSize(), 60);
    list.userData(&udi);
    ASSERT_EQ(add(list, kSingleRow, makeRow("a", 1)), 0);
    ASSERT_EQ(add(list, kSingleRow, makeRow("b", 2)), 0);
    list.addKey(1, 2, kNameOffset, 8);
    ASSERT_EQ(add(list, kSingleRow, makeRow("a", 3)), 0);
    CollectRows rows;
    list.emitToAXF(&rows, "n", 0);
    ASSERT_EQ(rows.rows.size(), 2u);
    EXPECT_EQ(rows.rows[0].name, "a");
    EXPECT_EQ(rows.rows[0].count, 3);
    EXPECT_EQ(rows.rows[1].name, "b");
}

TEST_F(RowStore, DeleteByFirstKeyAndKeyLimits) {
    const metadata::userDataInfo& udi = layout('K');
    dataList list("DPT", udi.tableNameRR(), "host1", udi.rowSize(), 60);
    list.userData(&udi);
    // Two keys: name and count. Rows equal in name but not count are distinct.
    list.addKey(1, 2, kNameOffset, 8);
    list.addKey(2, 1, kCountOffset, 4);
    rowBuffer a = makeRow("x", 1), b = makeRow("x", 2), c = makeRow("y", 1);
    ASSERT_EQ(list.addEntry(kSingleRow, a, 0), 0);
    ASSERT_EQ(list.addEntry(kSingleRow, b, 0), 0);
    ASSERT_EQ(list.addEntry(kSingleRow, c, 0), 0);
    EXPECT_EQ(list.rowCount(), 3u);
    rowBuffer first = makeRow("x", 99);
    EXPECT_EQ(list.addEntry(DCH_DeleteFirstKeyRecord, first, 0), 0);  // the oldest "x" goes
    CollectRows rows;
    list.emitToAXF(&rows, "n", 0);
    ASSERT_EQ(rows.rows.size(), 2u);
    EXPECT_EQ(rows.rows[0].count, 2);
    EXPECT_EQ(rows.rows[1].name, "y");

    // With a single key column the request names only that key: the oldest row with it goes.
    dataList single("DPT", udi.tableNameRR(), "host2", udi.rowSize(), 60);
    single.userData(&udi);
    // No key yet: all three are kept.
    ASSERT_EQ(add(single, kSingleRow, makeRow("x", 1)), 0);
    ASSERT_EQ(add(single, kSingleRow, makeRow("x", 2)), 0);
    ASSERT_EQ(add(single, kSingleRow, makeRow("y", 3)), 0);
    single.addKey(1, 2, kNameOffset, 8);
    rowBuffer firstOfX = makeRow("x", 0);
    EXPECT_EQ(single.addEntry(DCH_DeleteFirstKeyRecord, firstOfX, 0), 0);
    rows.rows.clear();
    single.emitToAXF(&rows, "n", 0);
    ASSERT_EQ(rows.rows.size(), 2u);
    EXPECT_EQ(rows.rows[0].name, "x");
    EXPECT_EQ(rows.rows[0].count, 2);

    TraceCapture trace;
    list.addKey(3, 2, kRowSize - 2, 8);  // outside the row: refused
    EXPECT_TRUE(trace.contains("lies outside the row"));
    EXPECT_EQ(list.keyCount(), 2);
    list.addKey(1, 2, kNameOffset, 8);  // a key already: not added again
    EXPECT_EQ(list.keyCount(), 2);
    list.addKey(3, 2, kNoteOffset, 8);
    list.addKey(4, 2, kNoteOffset, 4);
    list.addKey(5, 2, kNoteOffset + 4, 4);
    EXPECT_EQ(list.keyCount(), 5);
    list.addKey(6, 2, 0, 8);
    EXPECT_EQ(list.keyCount(), 5);
    EXPECT_TRUE(trace.contains("Warning: Maximum number of attribute keys allowed is 5."));
}

TEST_F(RowStore, ControlFieldsThatDoNotFitAreRefused) {
    auto list = store('S');
    TraceCapture trace;
    rowBuffer row = makeRow("a", 1);
    EXPECT_EQ(list->addEntry(DCH_DeleteKeyRecord, row, 0), 1);
    EXPECT_TRUE(trace.contains("Error: control field DCH_DeleteKeyRecord only valid for key data."));
    EXPECT_EQ(list->addEntry(DCH_DeleteFirstKeyRecord, row, 0), 1);
    EXPECT_TRUE(trace.contains("Error: control field DCH_DeleteFirstKeyRecord only valid for key data."));
    EXPECT_EQ(list->addEntry(0x12, row, 0), 1);
    EXPECT_TRUE(trace.contains("Error: unsupported control field <18>"));
    EXPECT_EQ(list->addEntry(kSetMiddle, row, 0), 1);
    EXPECT_TRUE(trace.contains("Warning: _last_BE_Entry not set for tableName <"));
    EXPECT_NE(row, nullptr);  // every refused row stays with the caller
    EXPECT_EQ(list->noOfElements(), 0);
}

TEST_F(RowStore, SetsAreEmittedOnlyWhenCompleteAndOnlyInSetMode) {
    auto list = store('S');
    EXPECT_EQ(add(*list, kSingleRow, makeRow("single", 1)), 0);
    EXPECT_EQ(add(*list, kSetBegin, makeRow("r1", 1)), 0);
    EXPECT_EQ(add(*list, kSetMiddle, makeRow("r2", 2)), 0);
    EXPECT_EQ(add(*list, kSetMiddle, makeRow("r3", 3)), 0);
    EXPECT_EQ(list->sampleSetType(), 1);
    EXPECT_EQ(emit(*list), std::vector<std::string>{});  // open set, and the single row is of the other mode
    EXPECT_EQ(add(*list, kSetEnd, makeRow("r4", 4)), 0);
    CollectRows rows;
    EXPECT_EQ(list->emitToAXF(&rows, "DPT:host1:G", 0), 4);
    ASSERT_EQ(rows.names(), (std::vector<std::string>{"r1", "r2", "r3", "r4"}));
    for (const RowView& r : rows.rows) {
        EXPECT_EQ(r.origin, "DPT:host1:G");
    }
    // A set closed without a row (0xFF is stored as an end without data): the empty row is skipped.
    EXPECT_EQ(add(*list, kSetBegin, makeRow("q1", 1)), 0);
    rowBuffer none;
    EXPECT_EQ(list->addEntry(kSetEnd, none, 0), 0);
    EXPECT_EQ(emit(*list), (std::vector<std::string>{"r1", "r2", "r3", "r4", "q1"}));
    // Back to single rows: the sets stay but are not emitted.
    EXPECT_EQ(add(*list, kSingleRow, makeRow("single2", 2)), 0);
    EXPECT_EQ(emit(*list), (std::vector<std::string>{"single", "single2"}));
    EXPECT_EQ(list->setCount(), 2u);

    // AddData failing stops the walk.
    CollectRows failing;
    failing.result = 1;
    EXPECT_EQ(list->emitToAXF(&failing, "n", 0), 0);
    EXPECT_EQ(failing.rows.size(), 1u);
}

class Events : public eventReceiver {
  public:
    int EventArrived(char* row, int length) override {
        EXPECT_EQ(length, kRowSize);
        rows.emplace_back(row);
        return 0;
    }
    std::vector<RowView> rows;
};

TEST_F(RowStore, EventRowsAreCappedNeverAgeAndGoToTheManager) {
    VA_LIMITS limits;
    limits.maxEventEntries = 100;
    setVaLimits(limits);
    auto list = store('E', 1);
    Events events;
    for (int i = 0; i < 101; ++i) {
        ASSERT_EQ(add(*list, kSingleRow, makeRow("e" + std::to_string(i), i)), 0);
        EXPECT_EQ(list->emitEvent(&events, "DPT:host1:G"), 0);
    }
    EXPECT_EQ(list->rowCount(), 100u);
    ASSERT_EQ(events.rows.size(), 101u);
    EXPECT_EQ(events.rows[100].name, "e100");
    EXPECT_EQ(events.rows[100].origin, "DPT:host1:G");
    clock::advance(3600);
    std::vector<std::string> names = emit(*list);
    ASSERT_EQ(names.size(), 100u);
    EXPECT_EQ(names.front(), "e1");  // the oldest was dropped before the 101st was stored
    EXPECT_EQ(names.back(), "e100");

    // Without a row or a manager nothing is handed on: traced, and still 0 (nobody waits on it).
    TraceCapture trace;
    dataList empty("DPT", "T", "s", kRowSize, 1);
    EXPECT_EQ(empty.emitEvent(&events, "n"), 0);
    EXPECT_TRUE(trace.contains("Error: invalid pointer"));
    EXPECT_EQ(list->emitEvent(nullptr, "n"), 0);
    EXPECT_EQ(trace.count("Error: invalid pointer"), 2);
    EXPECT_EQ(events.rows.size(), 101u);
}

// A collection thread adds and deletes keyed rows while framework threads emit them.
TEST_F(RowStore, AddingAndEmittingAtTheSameTime) {
    auto list = store('K');
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 2000; ++i) {
            rowBuffer row = makeRow("k" + std::to_string(i % 300), i);
            ASSERT_EQ(list->addEntry(kSingleRow, row, i % 2), 0);
            if (i % 7 == 0) {
                rowBuffer del = makeRow("k" + std::to_string((i + 5) % 300), 0);
                list->addEntry(DCH_DeleteKeyRecord, del, 0);
            }
        }
        done = true;
    });
    std::thread reader([&] {
        while (!done) {
            CollectRows rows;
            list->emitToAXF(&rows, "n", 0);
            EXPECT_LE(rows.rows.size(), 300u);
        }
    });
    writer.join();
    reader.join();
    std::vector<std::string> names = emit(*list);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(std::adjacent_find(names.begin(), names.end()), names.end());  // one row per key
    EXPECT_EQ(static_cast<std::size_t>(list->noOfElements()), names.size());
}

// Each row moves its source's counters; the book reads them as online or offline, with the newest
// row's time and a rate, and forgets a source an hour after it went offline.
TEST_F(RowStore, RowsOfASourceAreCountedAndItsStateOutlivesItsOfflineForAnHour) {
    SourceActivityBook book;
    auto list = store('P');
    list->setActivity(book.counters("DPTAPP", "GROUP", "host1"));
    EXPECT_EQ(book.counters("DPT", "GROUP", "host1"), book.counters("DPTAPP", "GROUP", "host1"));
    std::vector<axf::SourceActivity> seen = book.list();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_FALSE(seen[0].online);
    EXPECT_EQ(seen[0].lastRow, 0);

    book.online("DPTAPP", "GROUP", "host1");
    const int64_t start = clock::nowSeconds();
    for (int i = 0; i < 60; ++i) {
        ASSERT_EQ(add(*list, kSingleRow, makeRow("a", i)), 0);
    }
    seen = book.list();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_TRUE(seen[0].online);
    EXPECT_EQ(seen[0].application, "DPTAPP");
    EXPECT_EQ(seen[0].group, "GROUP");
    EXPECT_EQ(seen[0].source, "host1");
    EXPECT_EQ(seen[0].rows, 60u);
    EXPECT_GE(seen[0].lastRow, start);

    // Thirty seconds later, one more row a second over the next thirty.
    clock::advance(kRateWindowSeconds);
    book.list();
    for (int i = 0; i < 30; ++i) {
        ASSERT_EQ(add(*list, kSingleRow, makeRow("b", i)), 0);
    }
    clock::advance(kRateWindowSeconds);
    seen = book.list();
    EXPECT_EQ(seen[0].rows, 90u);
    EXPECT_NEAR(seen[0].rowsPerSecond, 1.0, 0.05);  // a real second may pass in between
    EXPECT_EQ(list->rowCount(), 1u);  // the store keeps what it kept before

    // Offline: still listed, as offline, until an hour has passed.
    book.offline("DPTAPP", "GROUP", "host1");
    clock::advance(kForgetSeconds - 10);
    seen = book.list();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_FALSE(seen[0].online);
    EXPECT_EQ(seen[0].rows, 90u);
    clock::advance(10);
    EXPECT_TRUE(book.list().empty());
}

}  // namespace
}  // namespace vorpane::datapath::testing
