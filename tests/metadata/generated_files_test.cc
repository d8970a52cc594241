// The CAT, ATR and ODI files against expected files written by hand (tests/metadata/golden), the
// edge cases that decide their bytes, and what a failed write leaves behind.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>

#include "metadata/whole_file.h"
#include "metadata_test_support.h"
#include "testlib/trace_capture.h"

namespace vorpane::metadata::testing {
namespace {

using vorpane::testing::ScopedEnv;
using vorpane::testing::TraceCapture;

const std::string kGolden = VORPANE_METADATA_GOLDEN;

const AppTexts kNetmon{
    "NETMON,IFTABLE,N,60,SNMP:;",
    "IFTABLE,@ifIndex,C,4:ifDescr,D,16:;",
    "Network monitor,IFTABLE,Interface table,ifIndex,Interface index, , ,ifDescr,Interface description,"
    "CAPTION{Description}, :;",
};

const AppTexts kEvtlog{
    "EVTLOG,EVENTS,E,0,FILE:STATS,P,60,APIS:;",
    "EVENTS,Source,D,16:$Severity,S,2:Text,D,32:;STATS,Count,C,4:Name,D,16:Agent_Info,D,8:;",
    "Event log,EVENTS,Logged events,Source,Event source, , ,Severity,Event severity,PRECISION{0}, "
    ",Text,Event "
    "text, , :STATS,Event statistics,Count,Events counted,SCALE{1}, ,Name,Counter name, , ,Agent_Info,Agent "
    "information, , :;",
};

std::string digits260() {
    std::string s;
    for (int i = 0; i < 26; ++i) {
        s += "0123456789";
    }
    return s;
}

const AppTexts kInvent{
    "INVENT,DISKS,K,30,HTTP:;",
    "DISKS,@Mount,D,16:State,D,8:Level,C,4:When,T,16:;",
    digits260() +
        ",DISKS,Disk inventory,Mount,Mount point, , ,State,Disk state, ,ENUM{ up(1) down(2) },Level,Fill "
        "level,"
        "CAPTION{Fill},ENUM{xlow(0) high(9)y},When,Last check,CAPTION{Checked at}, :;",
};

class GeneratedFiles : public WorkDirFixture {
protected:
    // Builds the application and compares its three files (and the ATTRLIB copy) with the golden ones.
    void expectGolden(const char* applName, const AppTexts& texts, const std::string& folder,
                      const std::string& key, const metadataSettings& settings = fixedSettings()) {
        auto list = build(applName, texts, settings);
        ASSERT_EQ(list->status(), 0);
        EXPECT_TRUE(list->filesGenerated());
        for (const char* kind : {"CAT", "ATR", "ODI"}) {
            const std::string name = key + kind + "00";
            SCOPED_TRACE(name);
            const std::string expected = readFile(kGolden + "/" + folder + "/" + name);
            ASSERT_FALSE(expected.empty());
            EXPECT_EQ(readFile(work(name)), expected);
        }
        EXPECT_EQ(readFile(work("attrlib/" + key + "ATR00")),
                  readFile(kGolden + "/" + folder + "/" + key + "ATR00"));
        EXPECT_TRUE(exists(work("zotaw" + key)));
        // Where a work file was written by hand too (checksums computed apart), it must match.
        const std::string workGolden = kGolden + "/" + folder + "/zotaw" + key;
        if (exists(workGolden)) {
            EXPECT_EQ(readFile(work("zotaw" + key)), readFile(workGolden));
        }
    }
};

TEST_F(GeneratedFiles, SnmpGroupMatchesTheHandWrittenFiles) {
    expectGolden("NETMON", kNetmon, "netmon", "NET");
}

TEST_F(GeneratedFiles, EventGroupAndSecondGroupMatchTheHandWrittenFiles) {
    expectGolden("EVTLOG", kEvtlog, "evtlog", "EVT");
}

TEST_F(GeneratedFiles, AUnitInTheFormatTextLeavesTheFilesAsTheyWere) {
    AppTexts withUnit = kEvtlog;
    const std::string scale = "SCALE{1}";
    withUnit.helpInfo.replace(withUnit.helpInfo.find(scale), scale.size(), "SCALE{1}UNIT{seconds}");
    auto list = build("EVTLOG", withUnit);
    ASSERT_EQ(list->status(), 0);
    EXPECT_EQ(list->getUserDataListEntry("STATS")->udi()->attrInfo(1).unit, "seconds");
    for (const char* kind : {"CAT", "ATR", "ODI"}) {
        const std::string name = std::string("EVT") + kind + "00";
        SCOPED_TRACE(name);
        EXPECT_EQ(readFile(work(name)), readFile(kGolden + "/evtlog/" + name));
    }
}

TEST_F(GeneratedFiles, EnumerationsAndTimeStampMatchTheHandWrittenFiles) {
    metadataSettings settings = fixedSettings();
    settings.timestampFormat = 'Y';
    settings.usageNormal = 'Y';
    expectGolden("INVENT", kInvent, "invent", "INV", settings);
}

std::string lineAfter(const std::string& text, const std::string& start, const std::string& prefix) {
    std::size_t at = text.find(start);
    if (at == std::string::npos) {
        return "";
    }
    at = text.find("\n" + prefix, at);
    if (at == std::string::npos) {
        return "";
    }
    const std::size_t end = text.find('\n', at + 1);
    return text.substr(at + 1, end - at - 1);
}

TEST_F(GeneratedFiles, KeysAtomizeOnlyInSnmpGroupsAndNodeNameUsageFollowsTheSetting) {
    // The same key column in a sampled group: no "atom y", no "*ATOMIZE:".
    const AppTexts plain{"PLAIN,IFTABLE,K,60,SNMP:;", kNetmon.attrInfo, kNetmon.helpInfo};
    auto list = build("PLAIN", plain);
    ASSERT_EQ(list->status(), 0);
    const std::string atr = readFile(work("PLAATR00"));
    const std::string odi = readFile(work("PLAODI00"));
    EXPECT_EQ(atr.find("atom y"), std::string::npos);
    EXPECT_EQ(odi.find("*ATOMIZE:"), std::string::npos);
    EXPECT_EQ(lineAfter(atr, "name PLAINIFTABLE00.Node_Name", "opgr"), "opgr 0");
    EXPECT_NE(odi.find("*USAGE: INFORMATIONAL\n"), std::string::npos);
}

TEST_F(GeneratedFiles, ValuesLoseTheirSemicolons) {
    ASSERT_TRUE(ZOT0_UpdateProductSpec(ZOT2_SUBNODE_AFF_STRING, "%VORPANE;AFF"));
    auto list = build("NETMON", kNetmon);
    ASSERT_TRUE(ZOT0_UpdateProductSpec(ZOT2_SUBNODE_AFF_STRING, "%VORPANE.VAGENT.SUBNODE.000000000"));
    ASSERT_EQ(list->status(), 0);
    const std::string atr = readFile(work("NETATR00"));
    EXPECT_EQ(lineAfter(atr, "name NETMONIFTABLE00.ifIndex", "affi"), "affi %VORPANEAFF");
}

TEST_F(GeneratedFiles, ColumnNumbersContinueAndSharedDomainsAreWrittenOnce) {
    auto list = build("EVTLOG", kEvtlog);
    ASSERT_EQ(list->status(), 0);
    const std::string cat = readFile(work("EVTCAT00"));
    int s16 = 0;
    for (std::size_t at = cat.find("\nDEVT00   D_S16 "); at != std::string::npos;
         at = cat.find("\nDEVT00   D_S16 ", at + 1)) {
        ++s16;
    }
    EXPECT_EQ(s16, 1);
    // The second group's first column is the fifth of the application.
    EXPECT_NE(cat.find("CEVT00   EVTFNJIK00ORIGINNODE                            D_S32     VSE1EMT1ZOT5 "),
              std::string::npos);
}

TEST_F(GeneratedFiles, MissingAffinityNameFailsTheBuildAndWritesNothing) {
    const std::string psfFile = work("product.psf");
    {
        std::ofstream out(psfFile);
        out << "0 = 0\n1 = OT\n2 = VA\n3 = Vorpane Agent\n4 = %VORPANE.VAGENT\n"
               "7 = %VORPANE.VAGENT.SUBNODE.000000000\n";
    }
    TraceCapture trace;
    {
        ScopedEnv productSpec("VORPANE_PRODUCT_SPEC", psfFile);
        ASSERT_TRUE(ZOT0_InitializeProductSpec("VA"));
        auto list = build("NETMON", kNetmon);
        EXPECT_NE(list->status(), 0);
    }
    ASSERT_TRUE(ZOT0_InitializeProductSpec("VA"));
    EXPECT_TRUE(trace.contains("Error: ZOT0_QueryProductSpec(ZOT2_SUBNODE_AFF_NAME) returned NULL."));
    EXPECT_TRUE(trace.contains("Error: generateFiles failed."));
    EXPECT_FALSE(exists(work("NETODI00")));
    EXPECT_FALSE(exists(work("NETCAT00")));
    EXPECT_FALSE(exists(work("zotawNET")));
}

TEST_F(GeneratedFiles, AttrlibIsCreatedAndItsFailureIsOnlyTraced) {
    {
        // Unset: the copy goes to attrlib under the work directory, with a note and no error.
        ScopedEnv none("ATTRLIB", std::nullopt);
        TraceCapture trace;
        auto list = build("NETMON", kNetmon);
        EXPECT_EQ(list->status(), 0);
        EXPECT_TRUE(trace.contains("Note: ATTRLIB not set; the ATR file <NETATR00> is copied into <" +
                                   work("attrlib") + ">"));
        EXPECT_FALSE(trace.contains("Error:"));
        EXPECT_EQ(readFile(work("attrlib/NETATR00")), readFile(work("NETATR00")));
    }
    std::remove(work("zotawNET").c_str());
    {
        // ATTRLIB names a file: the copy fails, the generation does not.
        const std::string blocker = work("blocker");
        std::ofstream(blocker) << "x";
        ScopedEnv file("ATTRLIB", blocker + "/sub");
        TraceCapture trace;
        auto list = build("NETMON", kNetmon);
        EXPECT_EQ(list->status(), 0);
        EXPECT_TRUE(trace.contains("Error: could not open output ATR file <" + blocker + "/sub/NETATR00>"));
        EXPECT_TRUE(exists(work("zotawNET")));
    }
}

// Runs body where the work directory cannot be written: as an unprivileged user in a child when the
// tests run as root (root ignores permissions), in this process otherwise. body returns 0 when its
// expectations held.
int withoutWritePermission(const std::string& dir, const std::function<int()>& body) {
    if (::chmod(dir.c_str(), 0555) != 0) {
        return 100;
    }
    int result = 0;
    if (::geteuid() != 0) {
        result = body();
    } else {
        const pid_t child = ::fork();
        if (child == 0) {
            if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) {
                ::_exit(101);
            }
            ::_exit(body());
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        result = WIFEXITED(status) ? WEXITSTATUS(status) : 102;
    }
    ::chmod(dir.c_str(), 0700);
    return result;
}

TEST_F(GeneratedFiles, ReadOnlyDirectoryKeepsOldFilesAndTheWorkFile) {
    ASSERT_EQ(build("NETMON", kNetmon)->status(), 0);
    const std::string oldCat = readFile(work("NETCAT00"));
    const std::string oldWork = readFile(work("zotawNET"));
    ASSERT_FALSE(oldWork.empty());
    ::chmod(_dir.path().c_str(), 0755);

    // A new help text: a modification, so the same file names are written again.
    AppTexts grown = kNetmon;
    grown.helpInfo.replace(0, 7, "Routers");
    const int rc = withoutWritePermission(_dir.path(), [&]() {
        TraceCapture trace;
        auto list = build("NETMON", grown);
        if (list->status() == 0) {
            return 1;
        }
        if (!trace.contains("Error: could not open <" + work("NETCAT00") + "> for mode w: errno=13")) {
            return 2;
        }
        if (!trace.contains("Error: generateFiles failed.")) {
            return 3;
        }
        return 0;
    });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(readFile(work("NETCAT00")), oldCat);
    EXPECT_EQ(readFile(work("zotawNET")), oldWork);
    // Nothing half-written is left beside them.
    int files = 0;
    for (const auto& e : std::filesystem::directory_iterator(_dir.path())) {
        (void)e;
        ++files;
    }
    EXPECT_EQ(files, 5);  // CAT, ATR, ODI, work file, attrlib

    // The next build tries again and succeeds.
    auto list = build("NETMON", grown);
    EXPECT_EQ(list->status(), 0);
    EXPECT_STREQ(list->cvrm(), "04.00.01");
    EXPECT_NE(readFile(work("NETCAT00")), oldCat);
}

TEST(WholeFile, ReplacesAllOrNone) {
    vorpane::testing::TempDir dir;
    ASSERT_EQ(writeFilesWhole({{dir.file("a"), "one"}, {dir.file("b"), "two"}}), 0);
    EXPECT_EQ(dir.read("a"), "one");
    // The second file's directory does not exist: neither file changes.
    TraceCapture trace;
    EXPECT_EQ(writeFilesWhole({{dir.file("a"), "new"}, {dir.file("missing/b"), "new"}}), 1);
    EXPECT_EQ(dir.read("a"), "one");
    EXPECT_TRUE(trace.contains("Error: could not open <" + dir.file("missing/b") + "> for mode w: errno=2"));
    int files = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
        (void)e;
        ++files;
    }
    EXPECT_EQ(files, 2);
}

}  // namespace
}  // namespace vorpane::metadata::testing
