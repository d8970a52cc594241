// A hub and the agent's collection threads for floods of keyed rows: tables of one attribute group
// with a provider per source, rows sent in bursts with their answers read after each burst, and an
// end marker the row store refuses with an error line, so a test knows every row before it is in.
#pragma once

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "datapath/samples_list.h"
#include "datapath/wait_on_dp.h"
#include "interfaces/axf_facade.h"
#include "interfaces/dch_protocol.h"
#include "table_fixture.h"
#include "testlib/hub_fixture.h"
#include "testlib/hub_test_client.h"

namespace vorpane::datapath::testing {

class KeyedFloodFixture : public LayoutFixture {
  protected:
    static constexpr int16_t kEndMarker = 0x12;  // refused by the row store with an error line
    static constexpr const char* kEndMarkerError = "Error: unsupported control field <18>";

    // clockSpeed: how many times faster the support clock's waits run in the hub.
    explicit KeyedFloodFixture(double clockSpeed) : _hub{clockSpeed} { setSamplesIndex(&_samples); }
    ~KeyedFloodFixture() override {
        for (metadata::userDataInfo* udi : _started) {
            stopWaitOnDPthread(*udi);
        }
        for (zot_vorpane_manager* m : _managers) {
            zot_vorpane_release(m);
        }
        setSamplesIndex(nullptr);
    }

    static dch::MessageBuilder row(int32_t handle, int16_t control, const std::string& key, int32_t count) {
        dch::MessageBuilder m;
        m.request(DCH_dp_data).int32(DCH_handle, handle).int16(DCH_controlField, control);
        m.text(DCH_attrName, "Name").add(DCH_attrValue, key.data(), key.size(), 'D');
        m.text(DCH_attrName, "Count").add(DCH_attrValue, &count, 4, 'C');
        m.text(DCH_attrName, "Note").add(DCH_attrValue, "n", 1, 'D');
        return m;
    }

    // A keyed table of application appl (attribute group G) with one provider per source, brought
    // online; appends the providers, their handles and their subnodes.
    metadata::userDataInfo& table(const char* appl, const std::vector<std::string>& sources,
                                  std::vector<std::unique_ptr<vorpane::testing::HubTestClient>>& providers,
                                  std::vector<int32_t>& handles, std::vector<std::string>& subnodes) {
        auto& udi = const_cast<metadata::userDataInfo&>(layout('K', 3600, appl));
        _managers.push_back(zot_vorpane_init(udi.applNameRR(), udi.tableNameRR(), &udi, nullptr, 0));
        for (size_t i = 0; i < sources.size(); ++i) {
            providers.push_back(std::make_unique<vorpane::testing::HubTestClient>(_hub.port()));
            vorpane::testing::HubTestClient& c = *providers.back();
            if (i == 0) {
                dch::MessageBuilder reg;
                reg.request(DCH_dp_register).text(DCH_applName, appl).text(DCH_helpText, "flood");
                const char type = 'K';
                reg.text(DCH_attrGroup, "G").text(DCH_helpText, "g").add(DCH_attributesType, &type, 1);
                reg.int32(DCH_TTL, 3600).text(DCH_dpType, "APIS");
                reg.text(DCH_attrRegister, "Name,D,8, , ,n;Count,C,4, , ,c;Note,D,8, , ,t");
                EXPECT_TRUE(c.send(reg));
                EXPECT_EQ(c.receiveStatus(), 0);
            }
            dch::MessageBuilder online;
            online.request(DCH_dp_online).text(DCH_applName, appl).text(DCH_attrGroup, "G").text(DCH_sourceName,
                                                                                                sources[i]);
            EXPECT_TRUE(c.send(online));
            auto reply = c.receive();
            EXPECT_TRUE(reply);
            int32_t status = -1, handle = -1;
            if (reply) {
                dch::FieldReader r(reply->data(), reply->size());
                EXPECT_TRUE(r.next().int32(&status));
                EXPECT_TRUE(r.next().int32(&handle));
            }
            EXPECT_EQ(status, 0);
            handles.push_back(handle);
            std::optional<std::string> subnode = _samples.onlineEntry(udi.applName(), udi.tableNameRR(),
                                                                      udi.attrGroup(), udi.RR(), sources[i].c_str(),
                                                                      nullptr);
            EXPECT_TRUE(subnode);
            subnodes.push_back(subnode.value_or(""));
        }
        return udi;
    }

    void start(metadata::userDataInfo& udi) {
        ASSERT_EQ(startWaitOnDPthread(udi), 0);
        _started.push_back(&udi);
    }

    // Sends rows with keys prefix0..prefix(n-1) in bursts of burst rows, each burst's answers read
    // before the next, then the end marker. False on any failure.
    static bool flood(vorpane::testing::HubTestClient& c, int32_t handle, const std::string& prefix, int n,
                      int burst) {
        for (int first = 0; first < n; first += burst) {
            const int last = std::min(n, first + burst);
            std::string bytes;
            for (int i = first; i < last; ++i) {
                dch::MessageBuilder m = row(handle, 0x11, prefix + std::to_string(i), i);
                bytes.append(m.data(), m.size());
            }
            if (!c.sendRaw(bytes)) {
                return false;
            }
            for (int i = first; i < last; ++i) {
                if (c.receiveStatus(std::chrono::seconds(60)) != 0) {
                    return false;
                }
            }
        }
        return c.send(row(handle, kEndMarker, "end", 0)) && c.receiveStatus(std::chrono::seconds(60)) == 0;
    }

    // The keys a report of the table's subnodes returns; a key reported twice fails the test.
    static std::set<std::string> keys(metadata::userDataInfo& udi, const std::vector<std::string>& subnodes) {
        axf::ReportQuery q;
        q.applName = udi.applNameRR();
        q.tableName = udi.tableNameRR();
        q.subnodes = subnodes;
        q.timeoutSeconds = 600;
        axf::ReportResult result = axf::runReport(q);
        EXPECT_TRUE(result.status.ok()) << result.status.message;
        std::set<std::string> found;
        for (const auto& r : result.rows) {
            found.insert(std::get<std::string>(r[1]));
        }
        EXPECT_EQ(found.size(), result.rows.size()) << "a key reported more than once in " << udi.applName();
        return found;
    }

    vorpane::testing::TestHub _hub;
    samplesList _samples;
    std::vector<zot_vorpane_manager*> _managers;
    std::vector<metadata::userDataInfo*> _started;
};

}  // namespace vorpane::datapath::testing
