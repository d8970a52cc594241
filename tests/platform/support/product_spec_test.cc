#include <gtest/gtest.h>

#include <cstdlib>

#include "interfaces/support.h"
#include "testlib/temp_dir.h"
#include "testlib/trace_capture.h"

namespace {

using vorpane::testing::TempDir;
using vorpane::testing::TraceCapture;

TEST(ProductSpec, TheEmbeddedDefaultDescribesTheGenericAgent) {
    unsetenv("VORPANE_PRODUCT_SPEC");
    ASSERT_TRUE(ZOT0_InitializeProductSpec(""));
    EXPECT_EQ(ZOT0_QueryProductSpec(ZOT2_PRODUCT_VARIANT), "0");
    EXPECT_EQ(ZOT0_QueryProductSpec(ZOT2_PRODUCT_CODE), "OT");
    EXPECT_EQ(ZOT0_QueryProductSpec(ZOT2_PRODUCT_NAME), "Vorpane Agent");
    EXPECT_TRUE(ZOT0_QueryProductSpec(ZOT2_NODE_TYPE).has_value());
    EXPECT_TRUE(ZOT0_QueryProductSpec(ZOT2_AFFINITY).has_value());
    EXPECT_TRUE(ZOT0_QueryProductSpec(ZOT2_SUBNODE_AFF_NAME).has_value());
    auto affinity = ZOT0_QueryProductSpec(ZOT2_SUBNODE_AFF_STRING);
    ASSERT_TRUE(affinity.has_value());
    EXPECT_GE(affinity->size(), 32u);
    EXPECT_FALSE(ZOT0_QueryProductSpec(ZOT2_DCH_PORT).has_value());
    EXPECT_FALSE(ZOT0_QueryProductSpec(ZOT2_DP_TO_START).has_value());
}

TEST(ProductSpec, AFileReplacesTheDefaultAndUpdatesStayInTheProcess) {
    TempDir dir;
    dir.write("psf", "# a product agent\n0 = 1\n 18 ZOT2_DP_TO_START =   2,8  \n3=Product X\n22 =\n");
    setenv("VORPANE_PRODUCT_SPEC", dir.file("psf").c_str(), 1);
    ASSERT_TRUE(ZOT0_InitializeProductSpec("INST"));
    unsetenv("VORPANE_PRODUCT_SPEC");
    EXPECT_EQ(ZOT0_QueryProductSpec(0), "1");
    EXPECT_EQ(ZOT0_QueryProductSpec(ZOT2_DP_TO_START), "2,8");
    EXPECT_EQ(ZOT0_QueryProductSpec(ZOT2_PRODUCT_NAME), "Product X");
    EXPECT_EQ(ZOT0_QueryProductSpec(ZOT2_DCH_PORT), "");  // present and empty
    EXPECT_FALSE(ZOT0_QueryProductSpec(ZOT2_NODE_TYPE).has_value());
    EXPECT_TRUE(ZOT0_UpdateProductSpec(ZOT2_DCH_PORT, "48219"));
    EXPECT_EQ(ZOT0_QueryProductSpec(ZOT2_DCH_PORT), "48219");
    EXPECT_FALSE(ZOT0_UpdateProductSpec(100, "x"));
    EXPECT_FALSE(ZOT0_UpdateProductSpec(-1, "x"));
    EXPECT_EQ(dir.read("psf").find("48219"), std::string::npos);
    unsetenv("VORPANE_PRODUCT_SPEC");
    ASSERT_TRUE(ZOT0_InitializeProductSpec(""));
}

TEST(ProductSpec, MalformedFilesAreRefusedWithTheirLine) {
    struct Case {
        const char* text;
        const char* why;
    } cases[] = {
        {"0 = 0\nnonsense\n", "line 2: no \"=\""},
        {"x = 1\n", "line 1: the item number"},
        {"123 = 1\n", "line 1: the item number"},
        {"1 = a\n1 = b\n", "line 2: item 1 is given twice"},
        {"2 ZOT2_DP_TO_START = 1\n", "ZOT2_DP_TO_START is item 18, not 2"},
        {"2 bad-name = 1\n", "is not a name"},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_FALSE(vorpane::parseProductSpec(c.text, &error)) << c.text;
        EXPECT_NE(error.find(c.why), std::string::npos) << error;
    }
    TempDir dir;
    setenv("VORPANE_PRODUCT_SPEC", dir.file("missing").c_str(), 1);
    TraceCapture capture;
    EXPECT_FALSE(ZOT0_InitializeProductSpec(""));
    EXPECT_TRUE(capture.contains("Error: cannot read product specification"));
    unsetenv("VORPANE_PRODUCT_SPEC");
    ASSERT_TRUE(ZOT0_InitializeProductSpec(""));
}

}  // namespace
