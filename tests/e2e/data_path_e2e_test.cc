// The data path of the real agent process: rows sent with vorpane-dp for a P, a K, an S and an E
// group come back through vorpanectl exactly as the keeping rules say; event rows raise event
// situations once each, a filter lets only matching rows fire; a provider killed in the middle of a
// set leaves no half set behind.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "testlib/agent_harness.h"
#include "testlib/child_process.h"
#include "testlib/temp_dir.h"

namespace {

using nlohmann::json;
using vorpane::testing::ChildProcess;
using vorpane::testing::TempDir;

constexpr const char* kDescription =
    "application DPE2E help=\"Data path end to end\"\n"
    "group PGRP P 600 help=\"Latest row\"\n"
    "attribute PName D 16 help=\"Name\"\n"
    "attribute PValue C 4 help=\"Value\"\n"
    "group KGRP K 600 help=\"Keyed\"\n"
    "attribute @Mount D 16 help=\"Mount point\"\n"
    "attribute Used C 4 help=\"Used\"\n"
    "attribute Note D 16 help=\"Note\"\n"
    "group SGRP S 60 help=\"Sampled\"\n"
    "attribute SName D 16 help=\"Name\"\n"
    "attribute SValue C 4 help=\"Value\"\n"
    "group SETS S 3600 help=\"Sets\"\n"
    "attribute Item D 16 help=\"Item\"\n"
    "attribute Seq C 4 help=\"Sequence\"\n"
    "group EGRP E 0 help=\"Events\"\n"
    "attribute Text D 32 help=\"Text\"\n"
    "attribute Level C 4 help=\"Level\"\n";

class DataPathE2E : public ::testing::Test {
  protected:
    DataPathE2E() {
        _dir.write("app.desc", kDescription);
        // Detail lines tell when a set's rows have reached the collection thread. The clock runs 5
        // times faster: the S group's 60-second TTL passes in 12 seconds.
        _env = vorpane::testing::agentEnvironment(_dir.path(), _ports,
                                                  {"VORPANE_TRACE=ERROR STATE DETAIL", "VORPANE_TIME_SPEEDUP=5"});
        _dpEnv = vorpane::testing::providerEnvironment(_dir.path(), _ports);
    }

    json ctl(std::vector<std::string> args) { return vorpane::testing::ctlJson(VORPANECTL_BIN, _env, std::move(args)); }

    std::unique_ptr<ChildProcess> provider(const std::string& source, const std::vector<std::string>& rows) {
        std::vector<std::string> argv = {VORPANE_DP_BIN, "--file", _dir.file("app.desc"), "--online", source};
        for (const std::string& r : rows) {
            argv.push_back("--row");
            argv.push_back(r);
        }
        argv.push_back("--wait");
        return std::make_unique<ChildProcess>(argv, _dpEnv);
    }

    // The table of each group, known by its first attribute.
    void findTables() {
        const json app = ctl({"apps", "DPE2E"});
        _appl = app.value("name", "");
        for (const auto& g : app["groups"]) {
            _tables[g["attributes"][1]["name"].get<std::string>()] = g["table"].get<std::string>();
        }
    }

    json rows(const std::string& firstAttribute, const std::string& subnode) {
        return ctl({"rows", _appl, _tables[firstAttribute], "--subnode", subnode})["rows"];
    }

    // The rows of a table as (text, number) pairs of two of its attributes, asked for again until
    // they are what the test expects or the deadline passes (rows travel while vorpanectl asks).
    using Pairs = std::vector<std::pair<std::string, int>>;
    Pairs pairsOf(const json& r, const std::string& text, const std::string& number) {
        Pairs out;
        for (const auto& row : r) {
            out.emplace_back(row[text].get<std::string>(), row[number].get<int>());
        }
        return out;
    }
    Pairs pairsUntil(const std::string& table, const std::string& subnode, const std::string& text,
                     const std::string& number, const Pairs& expected,
                     std::chrono::seconds deadline = vorpane::testing::kProcessWait) {
        return vorpane::testing::askUntil([&] { return pairsOf(rows(table, subnode), text, number); },
                                          [&](const Pairs& got) { return got == expected; }, deadline);
    }

    TempDir _dir;
    vorpane::testing::AgentPorts _ports;
    std::vector<std::string> _env, _dpEnv;
    std::string _appl;
    std::map<std::string, std::string> _tables;
};

TEST_F(DataPathE2E, RowsOfEachKindComeBackAsTheKeepingRulesSayAndEventsFireOnce) {
    ChildProcess agent({VORPANE_AGENT_BIN, "NODP"}, _env);
    ASSERT_TRUE(agent.waitForOutput("Management API listening on")) << agent.output();

    // Sent at once after the application's first source comes online, before the agent has built
    // the application's tables and their collection threads.
    auto first = provider("host1", {"PGRP PName=a PValue=1", "PGRP PName=b PValue=2",
                                    "KGRP Mount=/ Used=10 Note=root", "KGRP Mount=/var Used=20 Note=var",
                                    "KGRP Mount=/tmp Used=30 Note=tmp", "KGRP Mount=/home Used=40 Note=home",
                                    "KGRP Mount=/ Used=15 Note=rootfs",  // replaces /
                                    "KGRP Mount=/var Used=25",           // merges: the note stays
                                    "KGRP Mount=/tmp Note=temp",         // merges: no number is zero
                                    "KGRP:delete Mount=/home",           // and /home goes
                                    "SGRP SName=s1 SValue=7", "SETS:first Item=a1 Seq=1",
                                    "SETS:last Item=a2 Seq=2"});
    ASSERT_TRUE(first->waitForOutput("(--row 13): status 0")) << first->output();
    ASSERT_TRUE(agent.waitForOutput("Subnode <host1:DPE2E00> registered")) << agent.output();
    findTables();
    ASSERT_EQ(_tables.size(), 5u);

    const std::string host1 = "host1:DPE2E00";
    EXPECT_EQ(pairsUntil("SName", host1, "SName", "SValue", {{"s1", 7}}), (Pairs{{"s1", 7}}));
    EXPECT_EQ(pairsUntil("PName", host1, "PName", "PValue", {{"b", 2}}), (Pairs{{"b", 2}}));
    const Pairs keyed{{"/", 15}, {"/var", 25}, {"/tmp", 0}};
    EXPECT_EQ(pairsUntil("Mount", host1, "Mount", "Used", keyed), keyed);
    std::map<std::string, std::string> notes;
    for (const auto& r : rows("Mount", host1)) {
        notes[r["Mount"]] = r["Note"];
    }
    EXPECT_EQ(notes, (std::map<std::string, std::string>{{"/", "rootfs"}, {"/var", "var"}, {"/tmp", "temp"}}));
    const Pairs set{{"a1", 1}, {"a2", 2}};
    EXPECT_EQ(pairsUntil("Item", host1, "Item", "Seq", set), set);
    // The sampled row is reported while it is younger than its TTL, and then no more.
    EXPECT_EQ(pairsUntil("SName", host1, "SName", "SValue", {}, std::chrono::seconds(60)), Pairs{});

    // Two event situations, one for every row and one with a filter, defined before the event rows.
    for (const auto& [name, where] : {std::pair<std::string, std::string>{"All_Events", "Level >= 0"},
                                      std::pair<std::string, std::string>{"High_Level", "Level > 2"}}) {
        ChildProcess add({VORPANECTL_BIN, "situation", "add", name, "--app", _appl, "--table", _tables["Text"],
                          "--where", where, "--event"},
                         _env);
        ASSERT_EQ(add.waitExit(), 0) << add.output();
    }
    uint64_t after = ctl({"events", "--after", "0", "--wait", "1"}).value("lastSeq", uint64_t{0});
    auto events = provider("host2", {"EGRP Text=e1 Level=1", "EGRP Text=e2 Level=5", "EGRP Text=e3 Level=3"});
    ASSERT_TRUE(events->waitForOutput("(--row 3): status 0")) << events->output();
    const Pairs eventRows{{"e1", 1}, {"e2", 5}, {"e3", 3}};
    EXPECT_EQ(pairsUntil("Text", "host2:DPE2E00", "Text", "Level", eventRows), eventRows);
    std::map<std::string, std::vector<std::string>> fired;
    auto collect = [&](int waitSeconds) {
        const json batch = ctl({"events", "--after", std::to_string(after), "--wait", std::to_string(waitSeconds)});
        for (const auto& e : batch["events"]) {
            after = std::max(after, e["seq"].get<uint64_t>());
            if (e["kind"] != "cleared" && e.contains("row") && e["row"].contains("Text")) {
                fired[e["situation"].get<std::string>()].push_back(e["row"]["Text"].get<std::string>());
            }
        }
    };
    vorpane::testing::waitUntil([&] {
        collect(5);
        return fired["All_Events"].size() >= 3 && fired["High_Level"].size() >= 2;
    });
    collect(1);  // nothing comes twice
    EXPECT_EQ(fired["All_Events"], (std::vector<std::string>{"e1", "e2", "e3"}));
    EXPECT_EQ(fired["High_Level"], (std::vector<std::string>{"e2", "e3"}));

    // A provider killed in the middle of a set: the complete set before it is reported, the half set
    // never; the source back online with a new set reports that set alone.
    const std::string host3 = "host3:DPE2E00";
    auto killed = provider("host3", {"SETS:first Item=c1 Seq=1", "SETS:last Item=c2 Seq=2",
                                     "SETS:first Item=h1 Seq=1", "SETS:next Item=h2 Seq=2"});
    ASSERT_TRUE(killed->waitForOutput("(--row 4): status 0")) << killed->output();
    const Pairs complete{{"c1", 1}, {"c2", 2}};
    EXPECT_EQ(pairsUntil("Item", host3, "Item", "Seq", complete), complete);
    ASSERT_TRUE(agent.waitForOutput("ControlField <00>")) << agent.output();
    EXPECT_EQ(pairsOf(rows("Item", host3), "Item", "Seq"), complete);
    killed->signal(SIGKILL);
    killed->waitExit();
    ASSERT_TRUE(agent.waitForOutput("Subnode <host3:DPE2E00> deregistered")) << agent.output();
    auto again = provider("host3", {"SETS:first Item=n1 Seq=1", "SETS:last Item=n2 Seq=2"});
    ASSERT_TRUE(again->waitForOutput("(--row 2): status 0")) << again->output();
    const Pairs fresh{{"n1", 1}, {"n2", 2}};
    EXPECT_EQ(pairsUntil("Item", host3, "Item", "Seq", fresh), fresh);

    for (auto* p : {again.get(), events.get(), first.get()}) {
        p->signal(SIGTERM);
        p->waitExit();
    }
    agent.signal(SIGTERM);
    EXPECT_EQ(agent.waitExit(), 0);
    EXPECT_EQ(agent.output().find("ERROR: AddressSanitizer"), std::string::npos);
}

}  // namespace
