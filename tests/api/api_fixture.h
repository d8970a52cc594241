// An ApiServer on a free loopback port over the real framework in the test process, with one table
// of the test (DSK01/DSKTBL01: ORIGINNODE, Mount key, Used_Pct with one decimal place) and subnode
// h1:DSK01 registered. Clients call it over real HTTP.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "api/api_server.h"
#include "interfaces/axf.h"
#include "interfaces/axf_facade.h"
#include "interfaces/support.h"
#include "platform/axf/memory_table.h"
#include "testlib/temp_dir.h"

namespace vorpane::testing {

inline constexpr const char* kTestToken = "0123456789abcdef-test-token";

class ApiFixture : public ::testing::Test {
protected:
    void SetUp() override {
        axf::reset();
        setWorkDirectory(_dir.path());
        _disks = std::make_unique<axf::MemoryTable>(
            "DSK01", "DSKTBL01",
            std::vector<axf::MemoryColumn>{{"ORIGINNODE", "Node_Name", "", AXF_COLUMN_STRING, 32},
                                           {"VA1", "Mount", "Mount point", AXF_COLUMN_STRING, 16, true},
                                           {"VA2", "Used_Pct", "Used percent", AXF_COLUMN_INT32, 4, false, 1}});
        ASSERT_EQ(_disks->registration(), 0);
        ASSERT_EQ(AXF_Subnode_Register("h1:DSK01", "%AFF", "DSK", "04.10.00"), 0);
        ASSERT_EQ(AXF_Subnode_SendRequest(), 0);
        startServer();
    }
    void TearDown() override {
        _server.reset();
        _disks.reset();
        axf::reset();
    }

    void startServer(api::ApiConfig config = testConfig()) {
        _server = std::make_unique<api::ApiServer>();
        std::string error;
        ASSERT_TRUE(_server->start(config, kTestToken, &error)) << error;
        ASSERT_GT(_server->port(), 0);
        // One request before the test's own: httplib builds tables on its first request (function-local
        // statics of the compiled library, whose guards ThreadSanitizer does not see), and a test that
        // begins with requests on several threads would be told of a race that is not there.
        ASSERT_TRUE(client("")->Get("/v1/health"));
    }

    static api::ApiConfig testConfig() {
        api::ApiConfig config;
        config.port = 0;  // any free port
        config.threads = 4;
        // The history's sampler makes reports of its own, which would take the samples and deferrals
        // a test counts; the history's tests turn it on.
        config.historyIntervalSeconds = 0;
        return config;
    }

    // A client that sends the token (or the one given, or none for "").
    std::unique_ptr<httplib::Client> client(const std::string& token = kTestToken) const {
        auto c = std::make_unique<httplib::Client>("127.0.0.1", _server->port());
        c->set_read_timeout(60, 0);
        if (!token.empty()) {
            c->set_bearer_token_auth(token.c_str());
        }
        return c;
    }

    static nlohmann::json body(const httplib::Result& r) {
        return r ? nlohmann::json::parse(r->body, nullptr, false) : nlohmann::json();
    }

    TempDir _dir;
    std::unique_ptr<axf::MemoryTable> _disks;
    std::unique_ptr<api::ApiServer> _server;
};

}  // namespace vorpane::testing
