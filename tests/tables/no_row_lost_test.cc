// No row is lost on the way provider -> hub -> collection thread -> row store -> framework report:
// eight providers stream 100,000 keyed rows each, with keys of their own, into four tables (two
// sources per table, so each collection thread switches stores row by row), and a report of every
// table returns each key exactly once.
#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "datapath/samples_list.h"
#include "datapath/wait_on_dp.h"
#include "interfaces/axf_facade.h"
#include "interfaces/dch_protocol.h"
#include "table_fixture.h"
#include "testlib/hub_fixture.h"
#include "testlib/hub_test_client.h"
#include "testlib/trace_capture.h"

namespace vorpane::datapath::testing {
namespace {

using dch::MessageBuilder;
using vorpane::testing::HubTestClient;

constexpr int kTables = 4;
constexpr int kProviders = 8;
constexpr int kRowsPerProvider = 100000;
constexpr int kBurst = 256;  // rows sent before their replies are read
constexpr int16_t kEndMarker = 0x12;  // refused by the row store with an error line: all before it is in

class NoRowLost : public LayoutFixture {
  protected:
    NoRowLost() { setSamplesIndex(&_samples); }
    ~NoRowLost() override {
        for (metadata::userDataInfo* udi : _started) {
            stopWaitOnDPthread(*udi);
        }
        for (zot_vorpane_manager* m : _managers) {
            zot_vorpane_release(m);
        }
        setSamplesIndex(nullptr);
    }

    static MessageBuilder row(int32_t handle, int16_t control, const std::string& key, int32_t count) {
        MessageBuilder m;
        m.request(DCH_dp_data).int32(DCH_handle, handle).int16(DCH_controlField, control);
        m.text(DCH_attrName, "Name").add(DCH_attrValue, key.data(), key.size(), 'D');
        m.text(DCH_attrName, "Count").add(DCH_attrValue, &count, 4, 'C');
        m.text(DCH_attrName, "Note").add(DCH_attrValue, "n", 1, 'D');
        return m;
    }

    vorpane::testing::TestHub _hub{1};
    samplesList _samples;
    std::vector<zot_vorpane_manager*> _managers;
    std::vector<metadata::userDataInfo*> _started;
};

TEST_F(NoRowLost, EightProvidersTimesAHundredThousandKeyedRowsAreAllReportedOnce) {
    ASSERT_TRUE(_hub.ready());
    const char* appls[kTables] = {"NLA", "NLB", "NLC", "NLD"};
    std::vector<metadata::userDataInfo*> tables;
    std::vector<std::vector<std::string>> subnodes(kTables);
    std::vector<std::unique_ptr<HubTestClient>> providers;
    std::vector<int32_t> handles;
    for (int t = 0; t < kTables; ++t) {
        auto& udi = const_cast<metadata::userDataInfo&>(layout('K', 3600, appls[t]));
        tables.push_back(&udi);
        _managers.push_back(zot_vorpane_init(udi.applNameRR(), udi.tableNameRR(), &udi, nullptr, 0));
    }
    for (int p = 0; p < kProviders; ++p) {
        const int t = p % kTables;
        metadata::userDataInfo& udi = *tables[t];
        const std::string source = "src" + std::to_string(p);
        providers.push_back(std::make_unique<HubTestClient>(_hub.port()));
        HubTestClient& c = *providers.back();
        if (p < kTables) {
            MessageBuilder reg;
            reg.request(DCH_dp_register).text(DCH_applName, appls[t]).text(DCH_helpText, "no row lost");
            const char type = 'K';
            reg.text(DCH_attrGroup, "G").text(DCH_helpText, "g").add(DCH_attributesType, &type, 1);
            reg.int32(DCH_TTL, 3600).text(DCH_dpType, "APIS");
            reg.text(DCH_attrRegister, "Name,D,8, , ,n;Count,C,4, , ,c;Note,D,8, , ,t");
            ASSERT_TRUE(c.send(reg));
            ASSERT_EQ(c.receiveStatus(), 0);
        }
        MessageBuilder online;
        online.request(DCH_dp_online).text(DCH_applName, appls[t]).text(DCH_attrGroup, "G").text(DCH_sourceName, source);
        ASSERT_TRUE(c.send(online));
        auto reply = c.receive();
        ASSERT_TRUE(reply);
        dch::FieldReader r(reply->data(), reply->size());
        int32_t status = -1, handle = -1;
        ASSERT_TRUE(r.next().int32(&status));
        ASSERT_EQ(status, 0);
        ASSERT_TRUE(r.next().int32(&handle));
        handles.push_back(handle);
        std::optional<std::string> subnode =
            _samples.onlineEntry(udi.applName(), udi.tableNameRR(), udi.attrGroup(), udi.RR(), source.c_str(), nullptr);
        ASSERT_TRUE(subnode);
        subnodes[t].push_back(*subnode);
    }
    for (metadata::userDataInfo* udi : tables) {
        ASSERT_EQ(startWaitOnDPthread(*udi), 0);
        _started.push_back(udi);
    }

    vorpane::testing::TraceCapture errors(trace::kError);
    std::vector<std::thread> senders;
    std::atomic<int> failed{0};
    for (int p = 0; p < kProviders; ++p) {
        senders.emplace_back([&, p] {
            HubTestClient& c = *providers[p];
            char key[16];
            for (int first = 0; first < kRowsPerProvider; first += kBurst) {
                const int last = std::min(kRowsPerProvider, first + kBurst);
                std::string burst;
                for (int i = first; i < last; ++i) {
                    std::snprintf(key, sizeof key, "p%d-%05d", p, i);
                    MessageBuilder m = row(handles[p], 0x11, key, i);
                    burst.append(m.data(), m.size());
                }
                if (!c.sendRaw(burst)) {
                    ++failed;
                    return;
                }
                for (int i = first; i < last; ++i) {
                    if (c.receiveStatus(std::chrono::seconds(60)) != 0) {
                        ++failed;
                        return;
                    }
                }
            }
            if (!c.send(row(handles[p], kEndMarker, "end", 0)) || c.receiveStatus() != 0) {
                ++failed;
            }
        });
    }
    for (std::thread& s : senders) {
        s.join();
    }
    ASSERT_EQ(failed.load(), 0);
    // Each provider's end marker comes after its rows in its table's collection thread.
    EXPECT_TRUE(errors.waitForCount("Error: unsupported control field <18>", kProviders, std::chrono::seconds(120)));

    for (int t = 0; t < kTables; ++t) {
        axf::ReportQuery q;
        q.applName = tables[t]->applNameRR();
        q.tableName = tables[t]->tableNameRR();
        q.subnodes = subnodes[t];
        q.timeoutSeconds = 600;
        axf::ReportResult result = axf::runReport(q);
        ASSERT_TRUE(result.status.ok()) << result.status.message;
        std::set<std::string> keys;
        for (const auto& r : result.rows) {
            keys.insert(std::get<std::string>(r[1]));
        }
        EXPECT_EQ(result.rows.size(), static_cast<std::size_t>(2 * kRowsPerProvider)) << appls[t];
        EXPECT_EQ(keys.size(), static_cast<std::size_t>(2 * kRowsPerProvider)) << appls[t];
        for (int p = t; p < kProviders; p += kTables) {
            char key[16];
            std::snprintf(key, sizeof key, "p%d-%05d", p, 0);
            EXPECT_EQ(keys.count(key), 1u) << key;
            std::snprintf(key, sizeof key, "p%d-%05d", p, kRowsPerProvider - 1);
            EXPECT_EQ(keys.count(key), 1u) << key;
        }
    }
}

}  // namespace
}  // namespace vorpane::datapath::testing
