#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstring>
#include <string>

#include "interfaces/support.h"
#include "testlib/temp_dir.h"

namespace {

TEST(Text, TokenizerContinuesAndRestartsAtExplicitOffsets) {
    char buf[] = "a,b,,c";
    EXPECT_STREQ(ZOT0_strtok(buf, ","), "a");
    EXPECT_STREQ(ZOT0_strtok(nullptr, ","), "b");
    EXPECT_STREQ(ZOT0_strtok(nullptr, ","), "c");
    EXPECT_EQ(ZOT0_strtok(nullptr, ","), nullptr);
    EXPECT_EQ(ZOT0_strtok(nullptr, ","), nullptr);

    // A nested split moves the one position; the caller resumes at an offset in a fresh copy.
    const std::string original = "x:1,y:2";
    std::string outer = original;
    char* item = ZOT0_strtok(outer.data(), ",");
    ASSERT_STREQ(item, "x:1");
    std::string inner = item;
    EXPECT_STREQ(ZOT0_strtok(inner.data(), ":"), "x");
    EXPECT_STREQ(ZOT0_strtok(nullptr, ":"), "1");
    EXPECT_EQ(ZOT0_strtok(nullptr, ","), nullptr);  // the outer scan was lost
    outer = original;
    EXPECT_STREQ(ZOT0_strtok(outer.data() + 4, ","), "y:2");

    char only[] = ",,,";
    EXPECT_EQ(ZOT0_strtok(only, ","), nullptr);
}

TEST(Text, CaseTruncationAndLineEnds) {
    char name[] = "abc_9z";
    EXPECT_EQ(ZOT0_ConvertStringToUpper(name, 0), 1);
    EXPECT_STREQ(name, "ABC_9Z");
    EXPECT_EQ(ZOT0_ConvertStringToUpper(nullptr, 0), 0);

    char id[] = "INSTANCE1234";
    ZOT0_TruncateFromLeft(id, 12, 10);
    EXPECT_STREQ(id, "STANCE1234");
    ZOT0_TruncateFromLeft(id, 10, 12);  // not shorter: unchanged
    EXPECT_STREQ(id, "STANCE1234");
    std::string s = "0123456789";
    ZOT0_TruncateFromLeft(s, 4);
    EXPECT_EQ(s, "6789");

    char line[] = "a\r\nb\nc\r";
    ZOT0_RemoveCRandLF(line, 66);
    EXPECT_STREQ(line, "abc");

    char field[8] = {'n', 'o', 'd', 'e', ' ', ' ', ' ', ' '};
    ZOT0_terminateString(field, ' ', 8);
    EXPECT_STREQ(field, "node");
    char full[5] = {'a', 'b', 'c', 'd', 'e'};
    ZOT0_terminateString(full, ' ', 5);  // no blank within limit - 1: cut at limit - 1
    EXPECT_STREQ(full, "abcd");
}

TEST(Text, NamesHelpAndAddresses) {
    char name[] = "My App-1.x";
    EXPECT_STREQ(ZOT0_SubValidNameCharacter(name), "My_App_1_x");
    std::string g = "disk/usage%";
    ZOT0_SubValidNameCharacter(g);
    EXPECT_EQ(g, "disk_usage_");

    char help[] = "Free space, in MB: \"now\";\tok";
    EXPECT_STREQ(ZOTA_validateHelpText(help), "Free space  in MB   now   ok");

    EXPECT_EQ(ZOT0_IsThisAddressString("10.0.0.1"), 3);
    EXPECT_EQ(ZOT0_IsThisAddressString("255.255.255.255"), 3);
    EXPECT_EQ(ZOT0_IsThisAddressString("256.1.1.1"), 0);
    EXPECT_EQ(ZOT0_IsThisAddressString("1.2.3"), 2);
    EXPECT_EQ(ZOT0_IsThisAddressString("1..2.3"), 0);
    EXPECT_EQ(ZOT0_IsThisAddressString("host.example.com"), 0);
    EXPECT_EQ(ZOT0_IsThisAddressString(""), 0);
    EXPECT_EQ(ZOT0_IsThisAddressString(nullptr), 0);
}

TEST(Text, PathsAreBuiltInTheWorkDirectory) {
    vorpane::testing::TempDir dir;
    vorpane::setWorkDirectory(dir.path());
    EXPECT_EQ(ZOT0_ConstructFullyQualifiedName(nullptr, "zotawAPP"), dir.path() + "/zotawAPP");
    EXPECT_EQ(ZOT0_ConstructFullyQualifiedName("/tmp//x/", "f"), "/tmp/x/f");
    EXPECT_EQ(ZOT0_ConstructFullyQualifiedName(nullptr, ""), "");
    EXPECT_EQ(ZOT0_ConstructFullyQualifiedName(nullptr, std::string(5000, 'a').c_str()), "");
    EXPECT_EQ(ZOT0_CheckPathSpec("a\\b//c/"), "a/b/c");
    EXPECT_EQ(ZOT0_CheckPathSpec("/"), "/");
}

TEST(Text, TimeTextAndChecksums) {
    std::string t = ZOT0_GetPellanTime(0);
    ASSERT_EQ(t.size(), 16u);
    EXPECT_EQ(t[0], '1');
    for (char c : t) {
        EXPECT_TRUE(c >= '0' && c <= '9') << t;
    }
    // CRC-16/CCITT-FALSE check value.
    EXPECT_EQ(ZOT0_ComputeCheckSum("123456789", 9), 0x29B1);
    EXPECT_EQ(ZOT0_ComputeCheckSum("abc", 2), ZOT0_ComputeCheckSum("abd", 2));
    EXPECT_NE(ZOT0_ComputeCheckSum("abc", 3), ZOT0_ComputeCheckSum("abd", 3));

    std::string code = ZOTA_ComputeChecksumOnAttrGroup("DISK_USAGE");
    EXPECT_EQ(code.size(), 5u);
    EXPECT_EQ(code, ZOTA_ComputeChecksumOnAttrGroup("DISK_USAGE"));
    EXPECT_NE(code, ZOTA_ComputeChecksumOnAttrGroup("DISK_USAGF"));
    for (char c : code) {
        EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z')) << code;
    }
}

TEST(SubnodeName, ShortNamesAreUntouched) {
    vorpane::FixedText<32> name;
    vorpane::FixedText<70> full;
    ASSERT_EQ(ZOTA_SetSubnodeName("MYAPP", "GROUP", "host1", "01", &name, &full, nullptr), 0);
    EXPECT_EQ(name.view(), "host1:MYAPP01");
    EXPECT_EQ(full.view(), "host1:MYAPP01");
    ASSERT_EQ(ZOTA_SetSubnodeName("MYAPP", "GROUP", "host1", "01", &name, &full, "LZ"), 0);
    EXPECT_EQ(name.view(), "host1:LZ");
}

TEST(SubnodeName, ExactlyThirtyTwoFitsAndLongerLosesTheLeftOfTheSource) {
    vorpane::FixedText<32> name;
    vorpane::FixedText<70> full;
    // ":APPLICATION01" is 14 characters: an 18-character source makes exactly 32.
    std::string source18 = "abcdefghijklmnopqr";
    ASSERT_EQ(ZOTA_SetSubnodeName("APPLICATION", "G", source18.c_str(), "01", &name, &full, nullptr), 0);
    EXPECT_EQ(name.size(), 32u);
    EXPECT_EQ(name.view(), full.view());

    std::string source20 = "XYabcdefghijklmnopqr";
    ASSERT_EQ(ZOTA_SetSubnodeName("APPLICATION", "G", source20.c_str(), "01", &name, &full, nullptr), 0);
    EXPECT_EQ(name.view(), "abcdefghijklmnopqr:APPLICATION01");
    EXPECT_EQ(full.view(), "XYabcdefghijklmnopqr:APPLICATION01");
}

TEST(SubnodeName, SeventyCharactersIsTheLongestFullName) {
    vorpane::FixedText<32> name;
    vorpane::FixedText<70> full;
    std::string appl = "APPLICATIONNAMEOF20C";  // 20
    std::string source(70 - 1 - 20 - 2, 's');    // 47
    ASSERT_EQ(ZOTA_SetSubnodeName(appl.c_str(), "G", source.c_str(), "02", &name, &full, nullptr), 0);
    EXPECT_EQ(full.size(), 70u);
    EXPECT_EQ(name.size(), 32u);
    EXPECT_EQ(name.view(), std::string(9, 's') + ":" + appl + "02");
    source += "s";
    EXPECT_EQ(ZOTA_SetSubnodeName(appl.c_str(), "G", source.c_str(), "02", &name, &full, nullptr), 1);
    EXPECT_EQ(ZOTA_SetSubnodeName("A", "G", "", "02", &name, &full, nullptr), 1);
}

TEST(SubnodeName, KeyAndSourceAreTakenBack) {
    vorpane::FixedText<3> key;
    std::string source;
    EXPECT_EQ(ZOTA_GetApplKeyFromSubNodeName("host:1:MYAPP01", &key), 0);
    EXPECT_EQ(key.view(), "MYA");
    EXPECT_EQ(ZOTA_GetSrcNameFromSubNodeName("host:1:MYAPP01", &source), 0);
    EXPECT_EQ(source, "host:1");
    EXPECT_EQ(ZOTA_GetApplKeyFromSubNodeName("nocolon", &key), 1);
    EXPECT_EQ(ZOTA_GetApplKeyFromSubNodeName("host:", &key), 1);
    EXPECT_EQ(ZOTA_GetSrcNameFromSubNodeName(":APP01", &source), 1);
    EXPECT_EQ(ZOTA_GetSrcNameFromSubNodeName(nullptr, &source), 1);
}

TEST(Identity, InstanceNameAndIpcType) {
    ZOTA_SetInstanceName("INST1");
    EXPECT_STREQ(ZOTA_GetInstanceName(), "INST1");
    ZOTA_SetInstanceName(nullptr);
    EXPECT_EQ(ZOTA_GetInstanceName(), nullptr);
    ZOTA_SetInstanceName("");
    EXPECT_EQ(ZOTA_GetInstanceName(), nullptr);

    unsetenv("ZOTA_DCH_IPCTYPE");
    EXPECT_EQ(ZOTA_GetIPCtype(), 1);
    setenv("ZOTA_DCH_IPCTYPE", "2", 1);
    EXPECT_EQ(ZOTA_GetIPCtype(), 2);
    unsetenv("ZOTA_DCH_IPCTYPE");
}

TEST(Identity, ClientProcessesStartWithTheirCommand) {
    vorpane::testing::TempDir dir;
    std::string marker = dir.file("ran");
    pid_t pid = ZOTA_StartDPprocess(("echo started > " + marker).c_str());
    ASSERT_GT(pid, 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_EQ(dir.read("ran"), "started\n");
    EXPECT_EQ(ZOTA_StartDPprocess(""), -1);
}

}  // namespace
