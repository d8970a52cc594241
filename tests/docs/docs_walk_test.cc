// The pages' examples run as written: README.md, docs/sample-types.md, docs/vorpanectl.md and
// docs/providers.md against a real agent, vorpane-dp and vorpanectl of this build. The steps come from
// the pages themselves (doc_blocks.h says how a page marks them), so an edit of a page is what runs.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "docs/doc_blocks.h"
#include "docs/doc_walk.h"
#include "testlib/hub_test_client.h"
#include "testlib/temp_dir.h"

namespace vorpane::testing {
namespace {

const std::string kSource = VORPANE_SOURCE_DIR;

TEST(DocBlocks, StepsComeFromShellBlocksWithTheirOutputAndMarking) {
    const std::string page =
        "Intro\n"
        "```sh\necho one\n```\n"
        "\n```text\none\n```\n"
        "<!-- walk: skip -->\n```sh\n./scripts/run.sh\n```\n"
        "```desc\nnot run\n```\n"
        "<!-- walk: file work/a.desc -->\n```\napplication X\n```\n"
        "<!-- walk: background -->\n```sh\nagent\n```\n```text\nstarted\n```\n"
        "<!-- walk: sh retry\nctl health\n-->\n"
        "- a list\n  <!-- walk: retry exit 5 -->\n  ```sh\n  ctl rows\n  ```\n";
    std::vector<DocStep> steps;
    std::string error;
    ASSERT_TRUE(docSteps(page, &steps, &error)) << error;
    ASSERT_EQ(steps.size(), 5u);
    EXPECT_EQ(steps[0].text, "echo one\n");
    EXPECT_TRUE(steps[0].checked);
    EXPECT_EQ(steps[0].expected, "one\n");
    EXPECT_EQ(steps[0].line, 2);
    EXPECT_EQ(steps[1].kind, DocStep::kFile);
    EXPECT_EQ(steps[1].path, "work/a.desc");
    EXPECT_EQ(steps[1].text, "application X\n");
    EXPECT_EQ(steps[2].kind, DocStep::kBackground);
    EXPECT_EQ(steps[2].expected, "started\n");
    EXPECT_EQ(steps[3].text, "ctl health\n");
    EXPECT_TRUE(steps[3].retry);
    EXPECT_FALSE(steps[3].checked);
    EXPECT_EQ(steps[4].text, "ctl rows\n");
    EXPECT_TRUE(steps[4].retry);
    EXPECT_EQ(steps[4].exitCode, 5);

    for (const char* bad :
         {"<!-- walk: sometimes -->\n```sh\nx\n```\n", "<!-- walk: skip -->\nprose\n```sh\nx\n```\n",
          "<!-- walk: retry -->\n```text\nx\n```\n", "```sh\nx\n", "<!-- walk: sh\nx\n",
          "<!-- walk: skip -->\n", "<!-- walk: exit x -->\n```sh\nx\n```\n"}) {
        std::vector<DocStep> ignored;
        EXPECT_FALSE(docSteps(bad, &ignored, &error)) << bad;
    }
}

TEST(DocBlocks, OutputMatchesWithItsWildCards) {
    std::string why;
    EXPECT_TRUE(outputMatches("a\nb\n", "a  \nb\n\n", &why));
    EXPECT_FALSE(outputMatches("a\nb\n", "a\nc\n", &why));
    EXPECT_NE(why.find("got:\na\nc"), std::string::npos);
    EXPECT_FALSE(outputMatches("a\n", "a\nb\n", &why));
    EXPECT_TRUE(outputMatches("head\n...\ntail\n", "head\ntail\n", &why));
    EXPECT_TRUE(outputMatches("head\n...\ntail\n", "head\n1\n2\ntail\n", &why));
    EXPECT_TRUE(outputMatches("...\nx\n...\n", "a\nx\nb\n", &why));
    EXPECT_TRUE(outputMatches("up ... s, port ...\n", "up 12 s, port 1919\n", &why));
    EXPECT_FALSE(outputMatches("up ... s\n", "up 12 m\n", &why));
    EXPECT_TRUE(outputMatches("...:DISK\n", "h1:DISK\n", &why));
    EXPECT_FALSE(outputMatches("a...a\n", "a\n", &why));
}

// A directory laid out like a checkout after ./scripts/run.sh: the programs of this build where the
// pages say they are (build/release/...) and on PATH, an agent placed on free ports through the keys
// the README names, and nothing of the test's own environment that would place it elsewhere.
class PageWalk : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string bin = _dir.path() + "/bin";
        std::filesystem::create_directories(bin);
        for (const auto& [built, path] : std::vector<std::pair<std::string, std::string>>{
                 {VORPANE_AGENT_BIN, "build/release/src/agent/vorpane-agent"},
                 {VORPANE_DP_BIN, "build/release/tools/vorpane-dp/vorpane-dp"},
                 {VORPANECTL_BIN, "build/release/tools/vorpanectl/vorpanectl"}}) {
            const std::filesystem::path at = std::filesystem::path(_dir.path()) / path;
            std::filesystem::create_directories(at.parent_path());
            std::filesystem::create_symlink(built, at);
            std::filesystem::create_symlink(built, std::filesystem::path(bin) / at.filename());
        }
    }

    std::vector<std::string> environment() const {
        const char* path = std::getenv("PATH");
        return {"ZOTA_DCH_PORT=" + std::to_string(_hubPort),
                "VORPANE_API_PORT=" + std::to_string(_apiPort),
                "PATH=" + _dir.path() + "/bin:" + (path != nullptr ? path : "/usr/bin:/bin"),
                "ZOTA_DCH_ADDR",
                "VORPANE_WORKDIR",
                "VORPANE_API_TOKEN",
                "VORPANE_API_BIND",
                "VORPANE_TRACE",
                "VORPANE_TRACE_STDERR",
                "VORPANE_TIME_SPEEDUP",
                "VORPANE_PROVIDER_DIR",
                "VORPANE_PRODUCT_SPEC",
                "ZOTA_STARTUP_DP",
                "ZOT2_DP_TO_START",
                "ZOTA_LOCAL_ACTION",
                "ZOTA_ATOMIC_SITUATIONS",
                "ZOTA_DEMAND_REPORT",
                "ZOTA_EMIT_DUP_REC",
                "VORPANE_HOST_ROOT"};
    }

    // Walks the page (a path below the source tree) and stops what it left running.
    void walk(const std::string& page) {
        std::vector<DocStep> steps = pageSteps(kSource + "/" + page);
        ASSERT_FALSE(steps.empty()) << page << " has no steps";
        DocWalk session(_dir.path(), environment());
        std::string error;
        EXPECT_TRUE(session.run(page, steps, &error)) << error;
        session.stopBackground();
    }

    TempDir _dir;
    int _hubPort = freeHubPort();
    int _apiPort = freeHubPort();
};

TEST_F(PageWalk, TheReadme) {
    walk("README.md");
}

TEST_F(PageWalk, SampleTypes) {
    walk("docs/sample-types.md");
}

TEST_F(PageWalk, Vorpanectl) {
    walk("docs/vorpanectl.md");
}

TEST_F(PageWalk, Providers) {
    walk("docs/providers.md");
}

}  // namespace
}  // namespace vorpane::testing
