// The status page of the real agent in a real browser: headless Chromium, driven over the DevTools
// protocol, opens the page with the token in the URL's fragment and shows the providers, a table's
// rows and the sparklines of the values sent, a situation added through its form turning raised
// with its event in the live list, a provider's markup shown as text, and no console error.
//
// With VORPANE_SCREENSHOTS=<directory> the test also saves a PNG of each view there (the pictures of
// docs/status-page.md).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "testlib/agent_harness.h"
#include "testlib/child_process.h"
#include "testlib/headless_browser.h"
#include "testlib/temp_dir.h"

namespace {

using nlohmann::json;
using vorpane::testing::ChildProcess;
using vorpane::testing::HeadlessBrowser;
using vorpane::testing::TempDir;

constexpr const char* kToken = "status-page-test-token";
constexpr const char* kMarkup = "<img src=x onerror=alert(1)>";
// The host provider's first figures and the browser's first start take real time on a loaded machine.
constexpr std::chrono::seconds kPageWait{90};

constexpr const char* kDescription =
    "application VPSTAT help=\"Status page test\"\n"
    "group DISK K 3600 help=\"Disks by mount point\"\n"
    "attribute @Mount D 16 help=\"Mount point\"\n"
    "attribute Used G 4 unit=MiB help=\"Used space\"\n"
    "attribute Note D 64 help=\"A note\"\n";

class StatusPage : public ::testing::Test {
protected:
    void SetUp() override {
        if (access("/usr/bin/chromium", X_OK) != 0) {
            GTEST_SKIP() << "no /usr/bin/chromium (scripts/deps.sh installs it)";
        }
        _dir.write("app.desc", kDescription);
        // The clock runs 5 times faster: a history sample every 5 clock seconds is one a second.
        _env = vorpane::testing::agentEnvironment(
            _dir.path(), _ports,
            {"VORPANE_TIME_SPEEDUP=5", "VORPANE_API_HISTORY_INTERVAL=5", std::string("VORPANE_API_TOKEN=") + kToken});
        // The provider reads its rows from a FIFO the test writes to, one row at a time.
        _fifo = _dir.file("rows.fifo");
        ASSERT_EQ(mkfifo(_fifo.c_str(), 0600), 0);
        _rows = open(_fifo.c_str(), O_RDWR | O_CLOEXEC);  // never blocks, holds the FIFO open
        ASSERT_GE(_rows, 0);
    }
    void TearDown() override {
        if (_rows >= 0) {
            close(_rows);
        }
    }

    void send(const std::string& row) {
        const std::string line = row + "\n";
        ASSERT_EQ(write(_rows, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    }

    // Another view of the page (a change of the fragment loads nothing): whether it has drawn.
    static bool go(HeadlessBrowser& browser, const std::string& fragment) {
        browser.evaluate("location.hash = '" + fragment + "'");
        return browser.waitFor("document.querySelector('main').dataset.ready !== undefined", kPageWait);
    }

    void save(HeadlessBrowser& browser, const std::string& name) {
        const char* dir = std::getenv("VORPANE_SCREENSHOTS");
        if (dir == nullptr || *dir == '\0') {
            return;
        }
        std::ofstream(std::string(dir) + "/" + name + ".png", std::ios::binary) << browser.screenshot();
    }

    TempDir _dir;
    vorpane::testing::AgentPorts _ports;
    std::vector<std::string> _env;
    std::string _fifo;
    int _rows = -1;
};

TEST_F(StatusPage, ShowsProvidersRowsSparklinesSituationsAndEventsWithoutAConsoleError) {
    ChildProcess agent({VORPANE_AGENT_BIN}, _env);
    ASSERT_TRUE(agent.waitForOutput("Vorpane Agent status page at http://127.0.0.1:" + std::to_string(_ports.api) + "/\n"))
        << agent.output();
    ChildProcess provider({"/bin/sh", "-c",
                           std::string("exec \"$0\" --file app.desc --online h1 --stdin --keep-going < rows.fifo"), VORPANE_DP_BIN},
                          vorpane::testing::providerEnvironment(_dir.path(), _ports), _dir.path());
    send(std::string("DISK Mount=/var Used=10 Note=\"") + kMarkup + "\"");
    send("DISK Mount=/home Used=5 Note=home");
    ASSERT_TRUE(provider.waitForOutput("(stdin:2): status 0")) << provider.output();

    HeadlessBrowser browser(_dir.file("profile"), 1100, 760);
    ASSERT_TRUE(browser.ready()) << browser.startError();
    const std::string page = "http://127.0.0.1:" + std::to_string(_ports.api) + "/";

    // The overview, the token taken from the fragment and then removed from the address.
    ASSERT_TRUE(browser.navigate(page + "#token=" + kToken));
    EXPECT_TRUE(browser.waitFor("sessionStorage.getItem('vorpane.token') === '" + std::string(kToken) + "'"));
    EXPECT_EQ(browser.evaluate("location.hash"), "#/overview");
    EXPECT_TRUE(browser.waitFor("document.querySelector('#agent-cards') && "
                                "document.querySelector('#agent-cards').textContent.includes('Uptime')"));
    EXPECT_TRUE(browser.waitFor("document.querySelector('#providers table') && "
                                "document.querySelector('#providers').textContent.includes('HOST')",
                                kPageWait))
        << browser.evaluate("document.querySelector('#view').textContent");
    EXPECT_TRUE(browser.waitFor("document.querySelector('#hub-cards').textContent.includes('Rows/s')"));
    save(browser, "overview");

    // Applications and tables.
    ASSERT_TRUE(go(browser, "#/tables"));
    EXPECT_TRUE(browser.waitFor("document.querySelector('main').dataset.ready === 'tables' && "
                                "[...document.querySelectorAll('main a')].some(a => a.textContent === 'DISK')"));
    save(browser, "tables");

    // A table: its rows, newest first, the markup shown as text; a sparkline of the values sent.
    ASSERT_TRUE(go(browser, "#/table/VPSTAT/DISK"));
    EXPECT_TRUE(browser.waitFor("document.querySelector('#rows') && document.querySelector('#rows').textContent.includes('/home')"));
    const json cells = browser.evaluate("[...document.querySelectorAll('#rows td')].map(td => td.textContent)");
    EXPECT_NE(std::find(cells.begin(), cells.end(), kMarkup), cells.end()) << cells.dump();
    EXPECT_NE(std::find(cells.begin(), cells.end(), "/var"), cells.end()) << cells.dump();
    EXPECT_EQ(browser.evaluate("document.querySelectorAll('main img').length"), 0);
    EXPECT_EQ(browser.evaluate("[...document.querySelectorAll('#rows th')].find(th => th.textContent.startsWith('Used')).title"),
              "Used space\nunit: MiB\ncolumn VA2");

    // The values of /var one after another, each once the page's sparkline shows it: the points of
    // the sparkline, runs of one value taken as one, are the values sent.
    const std::string varLine =
        "[...document.querySelectorAll('#trends tr')].find(tr => tr.textContent.includes('Mount=/var'))";
    const std::string varValues = "((" + varLine + " || {querySelector: () => null}).querySelector('svg.spark') || "
                                  "{dataset: {values: ''}}).dataset.values";
    int shown = 10;
    for (int used : {20, 30, 25}) {
        EXPECT_TRUE(browser.waitFor(varValues + ".split(',').pop() === '" + std::to_string(shown) + "'", kPageWait))
            << browser.evaluate(varValues);
        send("DISK Mount=/var Used=" + std::to_string(used));
        shown = used;
    }
    EXPECT_TRUE(browser.waitFor(varValues + ".split(',').pop() === '25'", kPageWait)) << browser.evaluate(varValues);
    const json runs = browser.evaluate(varValues + ".split(',').filter((v, i, a) => i === 0 || v !== a[i - 1])");
    EXPECT_EQ(runs, json({"10", "20", "30", "25"}));
    EXPECT_EQ(browser.evaluate(varLine + ".querySelector('polyline').getAttribute('points').split(' ').length"),
              browser.evaluate(varValues + ".split(',').length"));
    // A click opens the larger chart of that series.
    browser.evaluate(varLine + ".querySelector('svg.spark').dispatchEvent(new MouseEvent('click', {bubbles: true}))");
    EXPECT_TRUE(browser.waitFor("document.querySelector('#big-chart polyline') !== null"));
    save(browser, "table");

    // A situation added through the form turns raised when a matching row comes; its event shows in
    // the live list.
    ASSERT_TRUE(go(browser, "#/situations"));
    ASSERT_TRUE(browser.waitFor("document.querySelector('main').dataset.ready === 'situations'"));
    // The form checks names like the API before it sends anything.
    browser.evaluate("document.getElementById('sit-name').value = 'bad name'; document.getElementById('sit-save').click()");
    EXPECT_TRUE(browser.waitFor("document.getElementById('sit-name-error').textContent !== ''"));
    browser.evaluate(R"((() => {
        const set = (id, v) => { document.getElementById(id).value = v; };
        set('sit-name', 'Disk_Full'); set('sit-application', 'VPSTAT'); set('sit-table', 'DISK');
        set('sit-where', 'Used > 100'); set('sit-interval', '5');
        document.getElementById('sit-save').click();
    })())");
    EXPECT_TRUE(browser.waitFor("document.querySelector('#situation-list tr[data-situation=Disk_Full]') !== null"))
        << browser.evaluate("document.querySelector('#view').textContent");
    send("DISK Mount=/var Used=150");
    EXPECT_TRUE(browser.waitFor("[...document.querySelectorAll('#situation-list tr[data-situation=Disk_Full] td.raised')].length > 0",
                                kPageWait))
        << browser.evaluate("document.querySelector('#situation-list').textContent");
    save(browser, "situations");

    ASSERT_TRUE(go(browser, "#/events"));
    EXPECT_TRUE(browser.waitFor("[...document.querySelectorAll('#event-list li')].some(li => "
                                "li.textContent.includes('raised') && li.textContent.includes('Disk_Full'))",
                                kPageWait))
        << browser.evaluate("document.querySelector('#view').textContent");
    save(browser, "events");

    ASSERT_TRUE(go(browser, "#/actions"));
    EXPECT_TRUE(browser.waitFor("document.querySelector('main').dataset.ready === 'actions'"));
    save(browser, "actions");

    // A page left for another gives its held event poll up, and the agent its wait slot. A browser
    // opens six connections to one host: pages that kept theirs (a page left for about:blank stays in
    // the back-forward cache) would leave a later page waiting out their polls. The events of a
    // page's first poll show once its held poll is on the way.
    httplib::Client api("127.0.0.1", _ports.api);
    api.set_bearer_token_auth(kToken);
    const auto waits = [&] {
        const std::string sample = "\nvorpane_api_waits ";
        httplib::Result r = api.Get("/metrics");
        const size_t at = r ? r->body.find(sample) : std::string::npos;
        return at == std::string::npos ? -1 : std::atoi(r->body.c_str() + at + sample.size());
    };
    for (int load = 1; load <= 3; ++load) {
        ASSERT_TRUE(browser.navigate("about:blank"));
        // Well within the poll's 25 clock seconds (5 s here).
        EXPECT_TRUE(vorpane::testing::waitUntil([&] { return waits() == 0; }, std::chrono::seconds(3))) << "load " << load;
        ASSERT_TRUE(browser.navigate(page + "#/events"));
        ASSERT_TRUE(browser.waitFor("document.querySelectorAll('#event-list li').length > 0"));
        EXPECT_TRUE(vorpane::testing::waitUntil([&] { return waits() == 1; })) << "load " << load;
    }

    EXPECT_EQ(browser.pageErrors(), std::vector<std::string>());
    agent.signal(SIGTERM);
    EXPECT_EQ(agent.waitExit(), 0) << agent.output();
    // The history's samples, one a second here, read only tables a report of every row can read.
    EXPECT_EQ(agent.output().find("RMTFILE was NULL"), std::string::npos);
    EXPECT_EQ(agent.output().find("ORIGINNODE was NULL"), std::string::npos);
}

}  // namespace
