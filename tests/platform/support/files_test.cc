// Files written whole or not at all, and the temporary files a killed writer leaves.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "interfaces/support.h"
#include "testlib/temp_dir.h"

namespace vorpane {
namespace {

using testing::TempDir;

bool exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

// Temporary files in the directory, whoever made them.
int temporaries(const TempDir& dir) {
    int n = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        n += entry.path().filename().string().find(".tmp.") != std::string::npos ? 1 : 0;
    }
    return n;
}

TEST(WholeFileTest, ReplacesAFileWholeWithItsModeAndLeavesNothingBehind) {
    TempDir dir;
    const std::string path = dir.file("state.json");
    std::string error;
    ASSERT_TRUE(writeFileWhole(path, "first\n", &error)) << error;
    ASSERT_TRUE(writeFileWhole(path, "second\n", &error, 0600)) << error;
    EXPECT_EQ(dir.read("state.json"), "second\n");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // Staged but not committed: the old file stays and the temporary file goes with the object.
    {
        WholeFile file(path);
        ASSERT_TRUE(file.stage("third\n", &error)) << error;
        EXPECT_EQ(dir.read("state.json"), "second\n");
        EXPECT_EQ(temporaries(dir), 1);
    }
    EXPECT_EQ(dir.read("state.json"), "second\n");

    // A directory that is not there: refused at the open, with the reason, nothing written.
    WholeFile missing(dir.file("no/such/file"));
    EXPECT_FALSE(missing.stage("x", &error));
    EXPECT_EQ(missing.failedStep(), WholeFile::Step::open);
    EXPECT_NE(error.find("cannot create"), std::string::npos) << error;
    EXPECT_FALSE(missing.commit(&error));
    EXPECT_EQ(temporaries(dir), 0);
}

TEST(WholeFileTest, OnlyTemporaryFilesOfOtherProcessesCountAsStale) {
    TempDir dir;
    const std::string own = ".tmp." + std::to_string(::getpid());
    for (const std::string& name : {std::string("a.tmp.17"), std::string("b.json.tmp.17.4"), "c" + own,
                                    "d" + own + ".2", std::string("e.tmp."), std::string("f.tmp.1x"),
                                    std::string(".tmp.5"), std::string("g.tmp.5.")}) {
        dir.write(name, "x");
    }
    ::mkdir(dir.file("h.tmp.9").c_str(), 0755);  // only files are removed
    EXPECT_EQ(removeStaleTemporaries(dir.path()), 2);
    EXPECT_FALSE(exists(dir.file("a.tmp.17")));
    EXPECT_FALSE(exists(dir.file("b.json.tmp.17.4")));
    for (const std::string& kept : {"c" + own, "d" + own + ".2", std::string("e.tmp."), std::string("f.tmp.1x"),
                                    std::string(".tmp.5"), std::string("g.tmp.5."), std::string("h.tmp.9")}) {
        EXPECT_TRUE(exists(dir.file(kept))) << kept;
    }
}

}  // namespace
}  // namespace vorpane
