// Shared set-up of the data-path and table tests: a work directory, the configuration record, and
// table layouts built the way the online path builds them (from the hub's three texts).
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "agent/va_limits.h"
#include "datapath/data_list.h"
#include "interfaces/support.h"
#include "metadata/user_data_list.h"
#include "testlib/scoped_env.h"
#include "testlib/temp_dir.h"

namespace vorpane::datapath::testing {

// The layout of every test table: ORIGINNODE 0-31, VA1 Name (key, S8) 32-39, VA2 Count (I4) 40-43,
// VA3 Note (S8) 44-51; rowSize 52.
inline constexpr int kNameOffset = 32;
inline constexpr int kCountOffset = 40;
inline constexpr int kNoteOffset = 44;
inline constexpr int kRowSize = 52;

// A work directory of its own, the default configuration record, and one layout per sample type.
class LayoutFixture : public ::testing::Test {
  protected:
    LayoutFixture() {
        setWorkDirectory(_dir.path());
        ZOT0_InitializeProductSpec("VA");
        setVaLimits(VA_LIMITS());
    }
    ~LayoutFixture() override {
        _lists.clear();
        setVaLimits(VA_LIMITS());
        setWorkDirectory(std::string());
    }

    // The layout of group G of application appl with the given sample type letter and TTL.
    const metadata::userDataInfo& layout(char sampleType, int ttl = 60, const char* appl = "DPT",
                                         metadata::tableLayoutHooks* hooks = nullptr) {
        const std::string applInfo =
            std::string(appl) + ",G," + sampleType + "," + std::to_string(ttl) + ",FILE:;";
        metadata::fixedApplicationTexts texts(applInfo, "G,@Name,D,8:Count,C,4:Note,D,8:;", "h,G,g, :;");
        metadata::metadataSettings settings;
        settings.pellanTime = [] { return std::string("1261206053000000"); };
        _lists.push_back(std::make_unique<metadata::userDataList>(appl, settings, texts, hooks));
        EXPECT_EQ(_lists.back()->status(), 0);
        return *_lists.back()->getUserDataListEntry("G")->udi();
    }

    vorpane::testing::TempDir _dir;
    vorpane::testing::ScopedEnv _attrlib{"ATTRLIB", _dir.path() + "/attrlib"};
    std::vector<std::unique_ptr<metadata::userDataList>> _lists;
};

// A row of the test layout. An empty name or note leaves the column blank; "^" marks no value.
inline rowBuffer makeRow(const std::string& name, int32_t count, const std::string& note = "") {
    rowBuffer row = allocateRow(kRowSize);
    std::memcpy(row.get() + kNameOffset, name.data(), std::min<std::size_t>(name.size(), 8));
    std::memcpy(row.get() + kCountOffset, &count, 4);
    std::memcpy(row.get() + kNoteOffset, note.data(), std::min<std::size_t>(note.size(), 8));
    return row;
}

// The fields of a row as texts, for comparisons.
struct RowView {
    std::string origin, name, note;
    int32_t count = 0;
    explicit RowView(const char* row) {
        auto trim = [](std::string s) {
            while (!s.empty() && s.back() == ' ') {
                s.pop_back();
            }
            return s;
        };
        origin = trim(std::string(row, 32));
        name = trim(std::string(row + kNameOffset, 8));
        note = trim(std::string(row + kNoteOffset, 8));
        std::memcpy(&count, row + kCountOffset, 4);
    }
};

// Collects the rows emitted into it.
class CollectRows : public rowReceiver {
  public:
    int AddData(char* row, int rowSize) override {
        EXPECT_EQ(rowSize, kRowSize);
        rows.emplace_back(row);
        return result;
    }
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const RowView& r : rows) {
            out.push_back(r.name);
        }
        return out;
    }
    std::vector<RowView> rows;
    int result = 0;
};

}  // namespace vorpane::datapath::testing
