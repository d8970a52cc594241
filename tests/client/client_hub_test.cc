// The client library against the real hub in the test process.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "interfaces/dch_client.h"
#include "interfaces/dch_protocol.h"
#include "testlib/hub_fixture.h"
#include "testlib/trace_capture.h"

namespace {

using vorpane::DPapplication;
using vorpane::DProw;
using vorpane::HubProvider;
using vorpane::dch::FieldReader;
using vorpane::testing::TestHub;
using namespace std::chrono_literals;

constexpr const char* kAttrs = "Count,C,4, , ,How many;Name,D,16, , ,Its name";

DPapplication app(const std::string& name, std::vector<std::string> groups) {
    DPapplication a{name, "help", {}};
    for (const std::string& g : groups) {
        a.groups.push_back({g, g + " help", 'P', 60, "APIS", kAttrs});
    }
    return a;
}

DProw row(int32_t count, const std::string& name) {
    DProw r;
    r.add("Count", &count, 4, 'C');
    r.add("Name", name.data(), static_cast<int>(name.size()), 'D');
    return r;
}

// The next row that reaches waiter: its source and its Count (the first column). False when none came
// within the wait (clock seconds, which the test hub's speed-up shortens a hundredfold).
bool nextRow(vorpane::DCdataWaiter* waiter, std::vector<char>& buffer, std::string* source, int32_t* count) {
    if (dc_waitOnData(waiter, buffer.data(), buffer.size(), 3000) != 0) {
        return false;
    }
    FieldReader r(buffer.data(), buffer.size());
    *source = std::string(r.next().text());
    r.next();
    if (!r.next().int32(count)) {
        *count = -1;
    }
    return true;
}

class ClientAgainstHub : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(_hub.ready());
        ASSERT_EQ(_provider.connect(), 0);
    }
    // The subscription travels on its own path: rows sent before the hub served it are not delivered,
    // so probe rows go until the first one arrives; with drain, the probes still on their way too.
    void subscribeWithProbes(vorpane::DCdataWaiter* waiter, int handle, bool drain) {
        std::vector<char> buffer(8192);
        int status = 0;
        bool subscribed = false;
        for (int attempt = 0; attempt < 200 && !subscribed; ++attempt) {
            ASSERT_EQ(_provider.dp_data(&status, handle, DCH_NO_CONTROL_FIELD, row(-1, "probe")), 0);
            subscribed = dc_waitOnData(waiter, buffer.data(), buffer.size(), 0.05) == 0;
        }
        ASSERT_TRUE(subscribed);
        while (drain && dc_waitOnData(waiter, buffer.data(), buffer.size(), 0.2) == 0) {
        }
    }
    TestHub _hub;
    HubProvider _provider;
};

TEST_F(ClientAgainstHub, RowsReachTheSubscribedCollectorInColumnOrder) {
    int status = -99;
    int handle = 0;
    ASSERT_EQ(_provider.dp_register(&status, app("LIBAPP", {"G1", "G2"})), 0);
    ASSERT_EQ(_provider.dp_online(&status, &handle, "LIBAPP", "G2", "src"), 0);
    auto waiter = dc_waitOnDataInitialize("LIBAPP", "G2");
    ASSERT_TRUE(waiter);

    std::vector<char> buffer(8192);
    ASSERT_NO_FATAL_FAILURE(subscribeWithProbes(waiter.get(), handle, false));

    for (int i = 1; i <= 5; ++i) {
        ASSERT_EQ(_provider.dp_data(&status, handle, 0x11, row(i, "row" + std::to_string(i))), 0);
        ASSERT_EQ(dc_waitOnData(waiter.get(), buffer.data(), buffer.size(), 10), 0);
        FieldReader r(buffer.data(), buffer.size());
        EXPECT_EQ(r.next().text(), "src");
        int16_t control = 0;
        ASSERT_TRUE(r.next().int16(&control));
        EXPECT_EQ(control, 0x11);
        int32_t count = 0;
        FieldReader::Field c = r.next();
        ASSERT_TRUE(c.int32(&count));
        EXPECT_EQ(c.extra, 'C');
        EXPECT_EQ(count, i);
        EXPECT_EQ(r.next().text(), "row" + std::to_string(i));
    }
    EXPECT_EQ(dc_waitOnDataDestroy(std::move(waiter)), 0);
}

// Rows sent in batches, without a round trip per row: the hub answers every row in order (its
// answers to a streaming provider leave in bursts), the collector receives every accepted row in
// the order sent, and a refused row is refused alone.
TEST_F(ClientAgainstHub, BatchedRowsArriveInOrderEachWithItsOwnAnswer) {
    int status = -99;
    int handle = 0;
    ASSERT_EQ(_provider.dp_register(&status, app("BATCHAPP", {"G"})), 0);
    ASSERT_EQ(_provider.dp_online(&status, &handle, "BATCHAPP", "G", "src"), 0);
    auto waiter = dc_waitOnDataInitialize("BATCHAPP", "G");
    ASSERT_TRUE(waiter);
    std::vector<char> buffer(8192);
    ASSERT_NO_FATAL_FAILURE(subscribeWithProbes(waiter.get(), handle, true));

    // Three batches of 3,000 rows each: far more answers than the hub's request queue holds.
    constexpr int kRows = 3000;
    constexpr int kRefused = 1234;
    std::atomic<int> received{0};
    std::atomic<bool> inOrder{true};
    std::thread collector([&] {
        std::vector<char> b(8192);
        for (int expected = 1; expected <= 3 * kRows; ++expected) {
            if (expected % kRows == kRefused) {
                continue;
            }
            std::string source;
            int32_t count = 0;
            if (!nextRow(waiter.get(), b, &source, &count)) {
                return;
            }
            if (count != expected) {
                inOrder = false;
            }
            ++received;
        }
    });
    vorpane::DPdataBatch batch;
    for (int round = 0; round < 3; ++round) {
        batch.clear();
        for (int i = 1; i <= kRows; ++i) {
            if (i == kRefused) {
                DProw unknown;
                unknown.add("Nope", "x", 1, 'D');
                ASSERT_EQ(batch.add(handle, DCH_NO_CONTROL_FIELD, unknown), 0);
            } else {
                ASSERT_EQ(batch.add(handle, DCH_NO_CONTROL_FIELD, row(round * kRows + i, "r")), 0);
            }
        }
        ASSERT_EQ(_provider.dp_dataBatch(&batch, 3000), DCH_CLIENT_REFUSED);
        for (int i = 1; i <= kRows; ++i) {
            ASSERT_EQ(batch.status(static_cast<size_t>(i - 1)), i == kRefused ? 2 : 0) << "row " << i;
        }
    }
    collector.join();
    EXPECT_EQ(received.load(), 3 * (kRows - 1));
    EXPECT_TRUE(inOrder.load());
    // The connection goes on with single requests.
    EXPECT_EQ(_provider.dp_data(&status, handle, DCH_NO_CONTROL_FIELD, row(1, "single")), 0);
    EXPECT_EQ(dc_waitOnDataDestroy(std::move(waiter)), 0);
}

TEST_F(ClientAgainstHub, ADatagramCollectorTakesABurstOfPackedRowsOneRowPerCallInOrder) {
    int status = -99;
    int handle = 0;
    ASSERT_EQ(_provider.dp_register(&status, app("PACKAPP", {"G"})), 0);
    ASSERT_EQ(_provider.dp_online(&status, &handle, "PACKAPP", "G", "src"), 0);
    vorpane::HubOptions options = vorpane::HubOptions::fromEnvironment();
    options.datagramSubscriptions = true;
    auto waiter = dc_waitOnDataInitialize("PACKAPP", "G", options);
    ASSERT_TRUE(waiter);
    std::vector<char> buffer(8192);
    ASSERT_NO_FATAL_FAILURE(subscribeWithProbes(waiter.get(), handle, true));

    // Rows in batches, read as they come: the hub packs what gathers while the reader is behind, and
    // every call hands out the next row alone.
    constexpr int kRows = 20000;
    std::atomic<int> received{0};
    std::atomic<bool> inOrder{true};
    std::thread collector([&] {
        std::vector<char> b(8192);
        for (int expected = 1; expected <= kRows; ++expected) {
            std::string source;
            int32_t count = 0;
            if (!nextRow(waiter.get(), b, &source, &count)) {
                return;
            }
            if (source != "src" || count != expected) {
                inOrder = false;
            }
            ++received;
        }
    });
    vorpane::DPdataBatch batch;
    for (int i = 1; i <= kRows; ++i) {
        ASSERT_EQ(batch.add(handle, DCH_NO_CONTROL_FIELD, row(i, "r")), 0);
        if (batch.count() == 500 || i == kRows) {
            ASSERT_EQ(_provider.dp_dataBatch(&batch, 3000), 0);
            batch.clear();
        }
    }
    collector.join();
    EXPECT_EQ(received.load(), kRows);
    EXPECT_TRUE(inOrder.load());
    EXPECT_EQ(dc_waitOnDataDestroy(std::move(waiter)), 0);
}

TEST_F(ClientAgainstHub, ACancelFromAnotherThreadEndsABlockedWaitPromptly) {
    auto waiter = dc_waitOnDataInitialize("NODATA", "G");
    ASSERT_TRUE(waiter);
    std::vector<char> buffer(4096);
    auto blocked = std::async(std::launch::async, [&] { return dc_waitOnData(waiter.get(), buffer.data(), buffer.size()); });
    EXPECT_EQ(blocked.wait_for(100ms), std::future_status::timeout);  // it really blocks
    auto start = std::chrono::steady_clock::now();
    dc_waitOnDataCancel(waiter.get());
    ASSERT_EQ(blocked.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(blocked.get(), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    dc_waitOnDataDestroy(std::move(waiter));
}

TEST_F(ClientAgainstHub, StatusEventsComeAsTextAndInfoWaitsForTheApplication) {
    int status = -99;
    int handle = 0;
    ASSERT_EQ(_provider.dp_register(&status, app("STATAPP", {"G"})), 0);
    ASSERT_EQ(_provider.dp_online(&status, &handle, "STATAPP", "G", "s1"), 0);
    auto statusWaiter = dc_waitForDPStatusInitialize();
    ASSERT_TRUE(statusWaiter);
    EXPECT_EQ(dc_waitForDPStatus(statusWaiter.get(), 10), "STATAPP,G,s1,4117");  // the replay

    auto attributes = std::async(std::launch::async, [] {
        std::string info;
        int rc = dc_getApplAttributes(&info, "LATEAPP", 30);
        return std::make_pair(rc, info);
    });
    ASSERT_EQ(_provider.dp_register(&status, app("LATEAPP", {"G"})), 0);
    ASSERT_EQ(_provider.dp_online(&status, &handle, "LATEAPP", "G", "s2"), 0);
    auto [rc, info] = attributes.get();
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(info, "G,Count,C,4:Name,D,16:;");
    EXPECT_EQ(dc_waitForDPStatus(statusWaiter.get(), 10), "LATEAPP,G,s2,4117");

    ASSERT_EQ(_provider.dp_offline(&status, handle), 0);
    EXPECT_EQ(dc_waitForDPStatus(statusWaiter.get(), 10), "LATEAPP,G,s2,4133");
}

TEST_F(ClientAgainstHub, RefusalsCarryTheHubsStatus) {
    int status = -99;
    int handle = 0;
    ASSERT_EQ(_provider.dp_register(&status, app("REFUSE", {"G"})), 0);
    EXPECT_EQ(_provider.dp_register(&status, app("REFUSE", {"G"})), DCH_CLIENT_REFUSED);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(_provider.dp_register(&status, app("TWICE", {"G", "G"})), DCH_CLIENT_REFUSED);
    EXPECT_EQ(status, 6);
    std::vector<std::string> many;
    for (int i = 0; i < 65; ++i) {
        many.push_back("G" + std::to_string(i));
    }
    EXPECT_EQ(_provider.dp_register(&status, app("MANYGROUPS", many)), DCH_CLIENT_REFUSED);
    EXPECT_EQ(status, -1);
    // Another application with the key (first three letters) of a registered one: the holder is named.
    std::string holder;
    {
        vorpane::testing::TraceCapture trace;
        EXPECT_EQ(_provider.dp_register(&status, app("REFUSAL", {"G"}), &holder), DCH_CLIENT_REFUSED);
        EXPECT_TRUE(trace.contains(
            "Error: the hub refused dp_register of REFUSAL: its key REF is held by application REFUSE"));
        EXPECT_FALSE(
            trace.contains("Error: the hub refused dp_register: status"));  // one line, with the name
    }
    EXPECT_EQ(status, DCH_STATUS_KEY_HELD);
    EXPECT_EQ(holder, "REFUSE");
    EXPECT_STREQ(DCH_statusText(DCH_dp_register, status),
                 "another application holds the application key (the first three letters of the name)");

    ASSERT_EQ(_provider.dp_online(&status, &handle, "REFUSE", "G", "s"), 0);
    DProw unknown;
    unknown.add("Nope", "x", 1, 'D');
    EXPECT_EQ(_provider.dp_data(&status, handle, DCH_NO_CONTROL_FIELD, unknown), DCH_CLIENT_REFUSED);
    EXPECT_EQ(status, 2);
    EXPECT_EQ(_provider.dp_data(&status, handle, 0x10, DProw()), 0);
    EXPECT_EQ(_provider.dp_data(&status, handle, 0x11, DProw()), DCH_CLIENT_REFUSED);
    EXPECT_EQ(status, -1);
    // The connection is still good after refusals.
    EXPECT_EQ(_provider.dp_data(&status, handle, DCH_NO_CONTROL_FIELD, row(1, "fine")), 0);
}

// Every one of the hub's 64 connections held by a provider, and the agent's own collectors for 100
// groups still subscribe, receive their groups' rows, follow every source's status and stop, each
// only its own subscription: they take no connection slot.
TEST_F(ClientAgainstHub, SixtyFourProvidersOnlineAndCollectorsForAHundredGroupsByDatagram) {
    _provider.close();  // this test's providers take every slot
    struct Source {
        std::unique_ptr<HubProvider> provider;
        std::string appl;
        std::string group;
        int handle = 0;
    };
    std::vector<std::unique_ptr<HubProvider>> providers;
    std::vector<Source> sources;
    for (int p = 0; p < 64; ++p) {
        providers.push_back(std::make_unique<HubProvider>());
        HubProvider& provider = *providers.back();
        // The first three letters are the key, one per application: P00ROV ... P63ROV.
        const std::string appl = "P" + std::string(p < 10 ? "0" : "") + std::to_string(p) + "ROV";
        std::vector<std::string> groups = {"G0"};
        if (p < 36) {
            groups.push_back("G1");  // 36 providers with two groups, 28 with one: 100 groups
        }
        int status = -99;
        ASSERT_EQ(provider.dp_register(&status, app(appl, groups)), 0) << appl;
        for (const std::string& g : groups) {
            Source s{nullptr, appl, g, 0};
            ASSERT_EQ(provider.dp_online(&status, &s.handle, appl.c_str(), g.c_str(), "src"), 0) << appl << g;
            sources.push_back(std::move(s));
        }
    }
    ASSERT_EQ(sources.size(), 100u);

    vorpane::HubOptions options = vorpane::HubOptions::fromEnvironment();
    options.datagramSubscriptions = true;
    auto statusWaiter = dc_waitForDPStatusInitialize(options);
    ASSERT_TRUE(statusWaiter);
    int replayed = 0;
    while (replayed < 100 && !dc_waitForDPStatus(statusWaiter.get(), 10).empty()) {
        ++replayed;
    }
    EXPECT_EQ(replayed, 100);  // one record per source, all online

    std::vector<std::unique_ptr<vorpane::DCdataWaiter>> collectors;
    for (const Source& s : sources) {
        collectors.push_back(dc_waitOnDataInitialize(s.appl.c_str(), s.group.c_str(), options));
        ASSERT_TRUE(collectors.back()) << s.appl << "/" << s.group;
    }
    std::vector<char> buffer(8192);
    for (size_t i = 0; i < sources.size(); ++i) {
        HubProvider& provider = *providers[i < 72 ? i / 2 : i - 36];
        // A subscription is not answered: the first row that arrives shows it is in place.
        bool arrived = false;
        int status = -99;
        for (int attempt = 0; attempt < 200 && !arrived; ++attempt) {
            ASSERT_EQ(provider.dp_data(&status, sources[i].handle, DCH_NO_CONTROL_FIELD, row(static_cast<int32_t>(i), "r")),
                      0);
            arrived = dc_waitOnData(collectors[i].get(), buffer.data(), buffer.size(), 0.05) == 0;
        }
        ASSERT_TRUE(arrived) << sources[i].appl << "/" << sources[i].group;
        FieldReader r(buffer.data(), buffer.size());
        EXPECT_EQ(r.next().text(), "src");
    }
    // Each collector stops its own subscription: the next rows reach only those still subscribed.
    for (size_t i = 0; i < sources.size(); i += 2) {
        EXPECT_EQ(dc_waitOnDataDestroy(std::move(collectors[i])), 0);
    }
    for (size_t i = 1; i < sources.size(); i += 2) {
        HubProvider& provider = *providers[i < 72 ? i / 2 : i - 36];
        int status = -99;
        ASSERT_EQ(provider.dp_data(&status, sources[i].handle, DCH_NO_CONTROL_FIELD, row(1000, "after")), 0);
        bool found = false;
        while (!found && dc_waitOnData(collectors[i].get(), buffer.data(), buffer.size(), 10) == 0) {
            FieldReader r(buffer.data(), buffer.size());
            r.next();
            r.next();
            int32_t count = 0;
            found = r.next().int32(&count) && count == 1000;  // probes may still be queued before it
        }
        EXPECT_TRUE(found) << sources[i].appl << "/" << sources[i].group;
    }
    // Status changes reach the datagram subscriber too.
    int status = -99;
    ASSERT_EQ(providers[0]->dp_offline(&status, sources[0].handle), 0);
    EXPECT_EQ(dc_waitForDPStatus(statusWaiter.get(), 10), "P00ROV,G0,src,4133");
}

TEST_F(ClientAgainstHub, InformationRequestsWithNamesTheHubCannotTakeAreRefusedAtOnce) {
    std::string info;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(dc_getApplHelp(&info, "AB", 60), DCH_CLIENT_BAD_ARGUMENT);
    EXPECT_EQ(dc_getApplAttributes(&info, "A23456789012345678901", 60), DCH_CLIENT_BAD_ARGUMENT);
    EXPECT_EQ(dc_getApplications(&info, "AB", 60), DCH_CLIENT_BAD_ARGUMENT);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

}  // namespace
