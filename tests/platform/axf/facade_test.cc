#include <gtest/gtest.h>

#include <string>

#include "interfaces/axf.h"
#include "interfaces/axf_facade.h"
#include "platform/axf/memory_table.h"

namespace {

class Facade : public ::testing::Test {
protected:
    void SetUp() override { axf::reset(); }
    void TearDown() override { axf::reset(); }
};

const axf::TableDesc* listed(const std::vector<axf::TableDesc>& tables, const std::string& table) {
    for (const axf::TableDesc& t : tables) {
        if (t.tableName == table) {
            return &t;
        }
    }
    return nullptr;
}

TEST_F(Facade, ATableCarriesItsNamesHelpAndColumnsDescriptions) {
    const TableFacts facts{.application = "VPHOST", .release = "00", .group = "MEMORY",
                           .help = "Memory of the host", .sampleType = 'P', .ttlSeconds = 60};
    axf::MemoryTable memory("VPHOST00", "VPHABCDE00",
                            {{"ORIGINNODE", "Node_Name", "", AXF_COLUMN_STRING, 32},
                             {"VA1", "Used", "Used", AXF_COLUMN_INT32, 4, false, 0, 'G', "MiB", "Used memory"}},
                            facts);
    TableFacts own;
    own.internal = true;
    axf::MemoryTable internal("ZOT", "ZOTACT", {{"ORIGINNODE", "Node_Name", "", AXF_COLUMN_STRING, 32}}, own);
    axf::MemoryTable bare("DSK01", "DSKTBL01", {{"ORIGINNODE", "Node_Name", "", AXF_COLUMN_STRING, 32}});

    const std::vector<axf::TableDesc> tables = axf::listTables();
    const axf::TableDesc* m = listed(tables, "VPHABCDE00");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->applName, "VPHOST00");
    EXPECT_EQ(m->application, "VPHOST");
    EXPECT_EQ(m->release, "00");
    EXPECT_EQ(m->group, "MEMORY");
    EXPECT_EQ(m->help, "Memory of the host");
    EXPECT_EQ(m->sampleType, 'P');
    EXPECT_EQ(m->ttlSeconds, 60);
    EXPECT_FALSE(m->internal);
    ASSERT_EQ(m->columns.size(), 2u);
    EXPECT_EQ(m->columns[1].unit, "MiB");
    EXPECT_EQ(m->columns[1].help, "Used memory");
    EXPECT_EQ(m->columns[0].unit, "");

    const axf::TableDesc* z = listed(tables, "ZOTACT");
    ASSERT_NE(z, nullptr);
    EXPECT_TRUE(z->internal);
    EXPECT_EQ(z->application, "ZOT");  // no release: the name as it stands
    EXPECT_EQ(z->release, "");

    // A table that says nothing of itself is named from its application name.
    axf::TableDesc d;
    ASSERT_TRUE(axf::describeTable("DSK01", "DSKTBL01", &d).ok());
    EXPECT_EQ(d.application, "DSK");
    EXPECT_EQ(d.release, "01");
    EXPECT_EQ(d.group, "");
    EXPECT_EQ(d.sampleType, 0);
    EXPECT_FALSE(d.internal);
}

}  // namespace
