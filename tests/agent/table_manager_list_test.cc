#include "agent/table_manager_list.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

#include "interfaces/axf.h"
#include "interfaces/support.h"
#include "testlib/temp_dir.h"
#include "testlib/trace_capture.h"

namespace {

class FakeManager : public TableManager {
public:
    using TableManager::TableManager;
    std::unique_ptr<plaxf> CreatePlaxf(RequestDetail*, ContextInfo*) override { return nullptr; }
};

class TableManagerListTest : public ::testing::Test {
protected:
    TableManagerListTest() {
        vorpane::setWorkDirectory(_dir.path());
        ZOT0_InitializeProductSpec("VA");
    }
    ~TableManagerListTest() override { vorpane::setWorkDirectory(std::string()); }

    // A factory that records what it made; managers are not registered with the framework.
    tableManagerFactory factory() {
        return [this](const char* appl, const char* table, vorpane::metadata::userDataInfo*, short snmp) -> TableManager* {
            if (_refuse == table) {
                return nullptr;
            }
            auto m = std::make_unique<FakeManager>(appl, table);
            TableManager* raw = m.get();
            _made.emplace(std::string(appl) + " " + table + " " + std::to_string(snmp), std::move(m));
            return raw;
        };
    }
    std::string workFile() const { return _dir.read("zotatbls"); }

    vorpane::testing::TempDir _dir;
    vorpane::testing::TraceCapture _trace;
    std::map<std::string, std::unique_ptr<FakeManager>> _made;
    std::string _refuse;
};

TEST_F(TableManagerListTest, NewTablesAreRememberedAndComeBackAtTheNextStart) {
    {
        tableManagerList list(factory());
        EXPECT_EQ(list.error(), 0);
        EXPECT_EQ(list.getNumberOfElements(), 0);
        EXPECT_EQ(workFile(), "");  // an empty file is created and not rewritten
        FakeManager a("APPL01", "APPABCDE01"), b("APPL01", "APPFGHIJ01");
        EXPECT_EQ(list.addEntry("APPL01", "APPABCDE01", &a, 1, 0), 0);
        EXPECT_EQ(list.addEntry("APPL01", "APPFGHIJ01", &b, 1, 1), 0);
        EXPECT_EQ(list.getTblMgr("APPL01", "APPFGHIJ01"), &b);
        EXPECT_EQ(list.getTblMgr("APPL02", "APPFGHIJ01"), nullptr);
        EXPECT_EQ(workFile(), "APPL01 APPABCDE01 0\nAPPL01 APPFGHIJ01 1\n");
    }
    tableManagerList again(factory());
    EXPECT_EQ(again.getNumberOfElements(), 2);
    EXPECT_EQ(_made.count("APPL01 APPABCDE01 0"), 1u);
    EXPECT_EQ(_made.count("APPL01 APPFGHIJ01 1"), 1u);
    EXPECT_EQ(again.getTblMgr("APPL01", "APPABCDE01"), _made["APPL01 APPABCDE01 0"].get());
    EXPECT_EQ(workFile(), "APPL01 APPABCDE01 0\nAPPL01 APPFGHIJ01 1\n");
}

TEST_F(TableManagerListTest, OlderReleasesAndDuplicatesAreDroppedFromTheFile) {
    _dir.write("zotatbls",
               "APPL02 APPABCDE02 0\r\n"
               "APPL01 APPABCDE01 0\n"
               "\n"
               "ZED01 ZEDABCDE01\n"
               "ZED01 ZEDABCDE01 0\n");
    tableManagerList list(factory());
    EXPECT_EQ(list.error(), 0);
    EXPECT_EQ(list.getNumberOfElements(), 2);
    EXPECT_EQ(_made.size(), 2u);
    EXPECT_EQ(_made.count("APPL02 APPABCDE02 0"), 1u);
    EXPECT_EQ(_made.count("ZED01 ZEDABCDE01 0"), 1u);
    EXPECT_TRUE(_trace.contains("Warning: missing SNMP token in applName [ZED01] tableName [ZEDABCDE01]"));
    EXPECT_TRUE(_trace.contains("Note: Skipping old or duplicate entry for applName [APPL01] tableName [APPABCDE01]"));
    EXPECT_EQ(workFile(), "APPL02 APPABCDE02 0\nZED01 ZEDABCDE01 0\n");
}

TEST_F(TableManagerListTest, AMalformedLineStopsReadingButAdditionsGoOn) {
    _dir.write("zotatbls", "APPL01 APPABCDE01 0\nLONELY\nZED01 ZEDABCDE01 0\n");
    tableManagerList list(factory());
    EXPECT_TRUE(_trace.contains("Error: applName [LONELY] missing corresponding tableName in table manager file"));
    EXPECT_EQ(list.error(), 0);
    EXPECT_EQ(list.getNumberOfElements(), 1);
    EXPECT_EQ(workFile(), "APPL01 APPABCDE01 0\n");
    FakeManager z("ZED01", "ZEDABCDE01");
    EXPECT_EQ(list.addEntry("ZED01", "ZEDABCDE01", &z, 1, 0), 0);
    EXPECT_EQ(workFile(), "APPL01 APPABCDE01 0\nZED01 ZEDABCDE01 0\n");

    // A release that is not numeric sets the sticky error: nothing more is added or written.
    EXPECT_EQ(list.addEntry("APPL0X", "APPABCDE0X", &z, 1, 0), 1);
    EXPECT_TRUE(_trace.contains("Error: applName<APPL0X> tableName<APPABCDE0X> RR<0X> not numeric."));
    EXPECT_EQ(list.addEntry("APPL03", "APPABCDE03", &z, 1, 0), 1);
    EXPECT_EQ(list.getNumberOfElements(), 2);
    EXPECT_EQ(workFile(), "APPL01 APPABCDE01 0\nZED01 ZEDABCDE01 0\n");
}

TEST_F(TableManagerListTest, ALineOfBlanksStopsReading) {
    _dir.write("zotatbls", "   \nAPPL01 APPABCDE01 0\n");
    tableManagerList list(factory());
    EXPECT_TRUE(_trace.contains("Error: fileBuf record [   ] in table manager file"));
    EXPECT_EQ(list.getNumberOfElements(), 0);
    EXPECT_EQ(list.error(), 0);
    EXPECT_EQ(workFile(), "");
}

TEST_F(TableManagerListTest, AManagerThatCannotBeMadeSetsTheError) {
    _dir.write("zotatbls", "APPL01 APPABCDE01 0\nZED01 ZEDABCDE01 0\n");
    _refuse = "APPABCDE01";
    tableManagerList list(factory());
    EXPECT_EQ(list.error(), 1);
    EXPECT_TRUE(_trace.contains("Error: allocating TblMgr for applName [APPL01] tableName [APPABCDE01]"));
    EXPECT_EQ(list.getNumberOfElements(), 0);
}

TEST_F(TableManagerListTest, DeepMatchesMoveToTheHead) {
    tableManagerList list(factory());
    std::vector<std::unique_ptr<FakeManager>> managers;
    for (int i = 0; i < 25; ++i) {
        char table[16];
        std::snprintf(table, sizeof table, "TAB%05d01", i);
        managers.push_back(std::make_unique<FakeManager>("APPL01", table));
        ASSERT_EQ(list.addEntry("APPL01", table, managers.back().get(), 0, 0), 0);
    }
    EXPECT_EQ(list.getTblMgr("APPL01", "TAB0001801"), managers[18].get());  // 19th: stays
    EXPECT_EQ(_trace.count("Moving node @"), 0);
    EXPECT_EQ(list.getTblMgr("APPL01", "TAB0002101"), managers[21].get());  // 22nd: moves
    EXPECT_EQ(_trace.count("Moving node @"), 1);
    EXPECT_EQ(list.getTblMgr("APPL01", "TAB0002101"), managers[21].get());  // now first
    EXPECT_EQ(_trace.count("Moving node @"), 1);
    // The former 19th is now 20th: still not moved.
    list.getTblMgr("APPL01", "TAB0001801");
    EXPECT_EQ(_trace.count("Moving node @"), 1);
}

// An agent killed while writing a file leaves its temporary file: the next agent, once the work
// directory is its own, removes such files and nothing else.
TEST_F(TableManagerListTest, TemporaryFilesOfAKilledAgentAreRemovedAtStart) {
    for (const char* name : {"api-situations.json.tmp.4242", "zotatbls.tmp.4242.3", "notes.tmp.txt", "keep.tmp.12x",
                             "api-situations.json"}) {
        _dir.write(name, "x");
    }
    tableManagerList list(factory());
    ASSERT_EQ(list.error(), 0);
    auto exists = [&](const char* name) { return ::access(_dir.file(name).c_str(), F_OK) == 0; };
    EXPECT_FALSE(exists("api-situations.json.tmp.4242"));
    EXPECT_FALSE(exists("zotatbls.tmp.4242.3"));
    EXPECT_TRUE(exists("notes.tmp.txt"));
    EXPECT_TRUE(exists("keep.tmp.12x"));
    EXPECT_TRUE(exists("api-situations.json"));
    EXPECT_TRUE(_trace.contains("Note: removed 2 temporary file(s) that a process killed while writing left in <"));
}

TEST_F(TableManagerListTest, ASecondAgentOverTheSameWorkDirectoryIsRefused) {
    tableManagerList first(factory());
    ASSERT_EQ(first.error(), 0);
    std::fflush(nullptr);
    // The advisory lock belongs to the process: a child process plays the second agent.
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::dup2(::open((_dir.path() + "/second.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
        tableManagerList second([](const char*, const char*, vorpane::metadata::userDataInfo*, short) {
            return static_cast<TableManager*>(nullptr);
        });
        ::_exit(0);  // reached only when the second list started
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    const std::string message = _dir.read("second.err");
    EXPECT_NE(message.find("work directory " + _dir.path() + " is in use by another agent (process " +
                           std::to_string(::getpid()) + ")"),
              std::string::npos)
        << message;
}

}  // namespace
