// Shared set-up of the metadata tests: a fresh work directory, fixed time stamps, and the texts of
// small applications in the form the hub hands them to collectors.
#pragma once

#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>

#include "interfaces/support.h"
#include "metadata/user_data_list.h"
#include "testlib/scoped_env.h"
#include "testlib/temp_dir.h"

namespace vorpane::metadata::testing {

inline constexpr char kStamp[] = "1261206053000000";

inline metadataSettings fixedSettings() {
    metadataSettings s;
    s.pellanTime = [] { return std::string(kStamp); };
    return s;
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

inline bool exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

// The three texts of one application.
struct AppTexts {
    std::string applInfo, attrInfo, helpInfo;
};

// A work directory of its own for each test, and ATTRLIB below it (not yet created).
class WorkDirFixture : public ::testing::Test {
protected:
    WorkDirFixture() : _attrlib("ATTRLIB", _dir.path() + "/attrlib") {
        setWorkDirectory(_dir.path());
        ZOT0_InitializeProductSpec("VA");  // the embedded default of the generic agent
    }
    ~WorkDirFixture() override { setWorkDirectory(std::string()); }

    std::unique_ptr<userDataList> build(const char* applName, const AppTexts& texts,
                                        const metadataSettings& settings = fixedSettings()) {
        fixedApplicationTexts source(texts.applInfo, texts.attrInfo, texts.helpInfo);
        return std::make_unique<userDataList>(applName, settings, source);
    }
    std::string work(const std::string& name) const { return _dir.file(name); }

    vorpane::testing::TempDir _dir;
    vorpane::testing::ScopedEnv _attrlib;
};

}  // namespace vorpane::metadata::testing
