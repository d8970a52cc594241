// Checksums, version decisions and the work file.
#include "metadata/versions.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "metadata_test_support.h"
#include "testlib/trace_capture.h"

namespace vorpane::metadata::testing {
namespace {

using vorpane::testing::TraceCapture;

std::vector<checksumRecord> records(const std::string& applInfo, const std::string& attrInfo) {
    std::vector<checksumRecord> r;
    EXPECT_TRUE(computeChecksumRecords(applInfo, attrInfo, &r));
    return r;
}

uint16_t crc(const std::string& bytes) {
    return ZOT0_ComputeCheckSum(bytes.data(), bytes.size());
}

TEST(Checksums, TextsAndCoveredBytesFollowTheMarks) {
    const auto r = records("APP,PLAIN,S,60,FILE:KEYED,E,0,FILE:ATOM,N,5,SNMP:;",
                           "PLAIN,a,C,4:b,D,8:;KEYED,@a,C,4:@b,D,8:;ATOM,@$a,C,4:b,D,8:$c,C,4:;");
    ASSERT_EQ(r.size(), 3u);
    // Sample types S, K and N count as P.
    EXPECT_EQ(r[0].attrInfo, "P,PLAIN,a,C,4:b,D,8:");
    EXPECT_EQ(r[0].length, r[0].attrInfo.size());
    EXPECT_EQ(r[0].checksum, crc(r[0].attrInfo));
    // Keys: the "@" marks leave the text, but the covered length still counts them as zeros.
    EXPECT_EQ(r[1].attrInfo, "E,KEYED,a,C,4:b,D,8:");
    EXPECT_EQ(r[1].length, r[1].attrInfo.size() + 2);
    EXPECT_EQ(r[1].checksum, crc(r[1].attrInfo + std::string(2, '\0')));
    EXPECT_EQ(r[1].atomicAttrs, 0);
    // Atomic marks stay in the text and are left out of the checksum; their positions are kept.
    EXPECT_EQ(r[2].attrInfo, "P,ATOM,$a,C,4:b,D,8:$c,C,4:");
    ASSERT_TRUE(r[2].attrInfoWithoutAtomic);
    EXPECT_EQ(*r[2].attrInfoWithoutAtomic, "P,ATOM,a,C,4:b,D,8:c,C,4:");
    EXPECT_EQ(r[2].checksum, crc(*r[2].attrInfoWithoutAtomic));
    EXPECT_EQ(r[2].atomicAttrs, 2);
    EXPECT_EQ(r[2].atomicOffsets, (std::vector<uint32_t>{5, 18}));

    const std::string file = workFileText("04.00.00", r, "help,PLAIN,h:;");
    EXPECT_EQ(file, "04.00.00 PLAIN " + std::to_string(r[0].checksum) + " <P,PLAIN,a,C,4:b,D,8:>\n" +
                        "04.00.00 KEYED " + std::to_string(r[1].checksum) + " <E,KEYED,a,C,4:b,D,8:>\n" +
                        "04.00.00 ATOM " + std::to_string(r[2].checksum) +
                        " <P,ATOM,$a,C,4:b,D,8:$c,C,4:>\n" + "@HELP " +
                        std::to_string(crc("help,PLAIN,h:;")) + " <help,PLAIN,h:;>\n");

    std::vector<checksumRecord> none;
    TraceCapture trace;
    EXPECT_FALSE(computeChecksumRecords("APP,G,P:;", "G,a,C,4:;", &none));
    EXPECT_TRUE(trace.contains("Error: checksum - TTL token missing for attrGroup <G>"));
}

// The decision for a registration against the work file another registration left.
versionDecision decide(const std::string& applInfo, const std::string& attrInfo, const std::string& help,
                       const std::string& version, const std::string& oldApplInfo,
                       const std::string& oldAttrInfo, const std::string& oldHelp) {
    const std::string file = workFileText(version, records(oldApplInfo, oldAttrInfo), oldHelp);
    return decideVersion(records(applInfo, attrInfo), help, file, "APP", "zotawAPP");
}

TEST(Versions, DecisionsFollowWhatChanged) {
    const std::string appl = "APP,G,P,60,FILE:H,P,60,FILE:;";
    const std::string attrs = "G,a,C,4:b,D,8:;H,x,C,4:;";
    const std::string help = "help,G,g, :H,h, :;";

    versionDecision d = decideVersion(records(appl, attrs), help, std::nullopt, "APP", "zotawAPP");
    EXPECT_TRUE(d.generate);
    EXPECT_EQ(d.cvrm, "04.00.00");
    EXPECT_EQ(d.priorVRM, "04.00.00");

    d = decide(appl, attrs, help, "04.00.05", appl, attrs, help);
    EXPECT_FALSE(d.generate);
    EXPECT_EQ(d.cvrm, "04.00.05");
    EXPECT_EQ(d.priorVRM, "04.00.05");

    // Appended at the end of a group: modification.
    d = decide(appl, "G,a,C,4:b,D,8:c,C,4:;H,x,C,4:;", help, "04.00.05", appl, attrs, help);
    EXPECT_TRUE(d.generate);
    EXPECT_EQ(d.change, 1);
    EXPECT_EQ(d.cvrm, "04.00.06");
    EXPECT_EQ(d.priorVRM, "04.00.05");

    // Changed in the middle, removed, or a group removed: release, modification unchanged.
    for (const std::string& changed :
         {std::string("G,a,C,4:z,D,8:;H,x,C,4:;"), std::string("G,a,C,4:;H,x,C,4:;")}) {
        d = decide(appl, changed, help, "04.00.05", appl, attrs, help);
        EXPECT_EQ(d.change, 2);
        EXPECT_EQ(d.cvrm, "04.01.05");
    }
    d = decide("APP,G,P,60,FILE:;", "G,a,C,4:b,D,8:;", "help,G,g, :;", "04.00.05", appl, attrs, help);
    EXPECT_EQ(d.cvrm, "04.01.05");

    // A group added at the end changes only the help text: modification.
    d = decide("APP,G,P,60,FILE:H,P,60,FILE:I,P,60,FILE:;", attrs + "I,y,C,4:;", "help,G,g, :H,h, :I,i, :;",
               "04.00.05", appl, attrs, help);
    EXPECT_EQ(d.cvrm, "04.00.06");

    // Only the help text changed: modification.
    d = decide(appl, attrs, "help,G,other, :H,h, :;", "04.00.05", appl, attrs, help);
    EXPECT_EQ(d.cvrm, "04.00.06");

    // The atomic mark moved to another attribute: modification.
    d = decide(appl, "G,a,C,4:$b,D,8:;H,x,C,4:;", help, "04.00.05", appl, "G,$a,C,4:b,D,8:;H,x,C,4:;", help);
    EXPECT_EQ(d.change, 1);
    EXPECT_EQ(d.cvrm, "04.00.06");

    // In a keyed group the stored checksum covers the zeros of the removed "@" marks, so even an
    // appended attribute no longer shows the old text as a prefix: release.
    d = decide(appl, "G,@a,C,4:b,D,8:c,C,4:;H,x,C,4:;", help, "04.00.05", appl, "G,@a,C,4:b,D,8:;H,x,C,4:;",
               help);
    EXPECT_EQ(d.cvrm, "04.01.05");
}

TEST(Versions, OldAndIncompleteWorkFiles) {
    const auto now = records("APP,G,P,60,FILE:;", "G,a,C,4:;");
    const std::string help = "help,G,g, :;";
    const std::string complete = workFileText("03.02.07", now, help);
    TraceCapture trace;
    versionDecision d = decideVersion(now, help, complete, "APP", "zotawAPP");
    EXPECT_FALSE(d.generate);
    EXPECT_EQ(d.cvrm, "04.02.07");
    EXPECT_EQ(d.priorVRM, "04.02.07");
    EXPECT_TRUE(trace.contains("Note: Upgraded version from 03 to 04 for applName <APP>"));

    // No help line: the file was cut, so at least a modification.
    const std::string cut = complete.substr(0, complete.find("@HELP"));
    d = decideVersion(now, help, cut, "APP", "zotawAPP");
    EXPECT_EQ(d.cvrm, "04.02.08");

    d = decideVersion(now, help, std::string("04.00.00 G\n"), "APP", "zotawAPP");
    EXPECT_TRUE(d.failed);
    EXPECT_TRUE(trace.contains("Error: checksum token missing from workfile <zotawAPP>"));
}

TEST(Versions, IncrementStopsBeforeOneHundred) {
    std::string v;
    EXPECT_TRUE(incrementVersion("04.00.05", &v, 'R'));
    EXPECT_EQ(v, "04.01.05");
    EXPECT_TRUE(incrementVersion("04.07.97", &v, 'M'));
    EXPECT_EQ(v, "04.07.98");
    TraceCapture trace;
    EXPECT_FALSE(incrementVersion("04.98.00", &v, 'R'));
    EXPECT_TRUE(trace.contains("Error: Application release level reached 100."));
    EXPECT_FALSE(incrementVersion("04.00.98", &v, 'M'));
    EXPECT_TRUE(trace.contains("Error: Application modification level reached 100."));
    EXPECT_TRUE(incrementVersion("04.xx.00", &v, 'R'));
    EXPECT_EQ(v, "04.50.00");
    EXPECT_TRUE(trace.contains("Error: type<R> oldver<04.xx.00> V<04> R<xx> M<00>"));
}

class VersionFiles : public WorkDirFixture {};

TEST_F(VersionFiles, SameRegistrationRewritesNothingAndChangesRewriteTheFiles) {
    const AppTexts first{"MYAPP,DISK,P,60,FILE:;", "DISK,@Mount,D,16:Used,C,4:;",
                         "h,DISK,d,Mount,m, , ,Used,u, , :;"};
    ASSERT_EQ(build("MYAPP", first)->status(), 0);
    const std::string work0 = readFile(work("zotawMYA"));
    EXPECT_EQ(work0.substr(0, 14), "04.00.00 DISK ");
    struct stat before;
    ASSERT_EQ(::stat(work("MYACAT00").c_str(), &before), 0);

    auto again = build("MYAPP", first);
    EXPECT_EQ(again->status(), 0);
    EXPECT_FALSE(again->filesGenerated());
    EXPECT_STREQ(again->cvrm(), "04.00.00");
    struct stat after;
    ASSERT_EQ(::stat(work("MYACAT00").c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);  // replaced files get a new inode
    EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);
    EXPECT_EQ(readFile(work("zotawMYA")), work0);

    // Help text changed: modification, same file names rewritten with the new version.
    AppTexts helped = first;
    helped.helpInfo = "h,DISK,disks,Mount,m, , ,Used,u, , :;";
    auto modified = build("MYAPP", helped);
    EXPECT_TRUE(modified->filesGenerated());
    EXPECT_STREQ(modified->cvrm(), "04.00.01");
    EXPECT_STREQ(modified->priorVRM(), "04.00.00");
    EXPECT_NE(readFile(work("MYAATR00")).find("cvrm 04.00.01\n"), std::string::npos);
    EXPECT_EQ(readFile(work("zotawMYA")).substr(0, 9), "04.00.01 ");

    // Changed in the middle: a new release and files named with it.
    AppTexts changed = helped;
    changed.attrInfo = "DISK,@Mount,D,20:Used,C,4:;";
    auto released = build("MYAPP", changed);
    EXPECT_STREQ(released->cvrm(), "04.01.01");
    EXPECT_STREQ(released->RR(), "01");
    EXPECT_STREQ(released->applNameRR(), "MYAPP01");
    EXPECT_TRUE(exists(work("MYACAT01")));
    EXPECT_TRUE(exists(work("attrlib/MYAATR01")));
}

}  // namespace
}  // namespace vorpane::metadata::testing
