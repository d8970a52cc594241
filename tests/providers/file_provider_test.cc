// FILE: the record formats, and a followed file through appends, a rotation, a truncation and a
// restart, checked at a collector of the real hub by count and content.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "providers/file_provider.h"
#include "providers/row_collector.h"
#include "testlib/hub_fixture.h"
#include "testlib/temp_dir.h"
#include "testlib/trace_capture.h"

namespace vorpane::providers {
namespace {

using testing::ReceivedRow;
using testing::RowCollector;
using testing::TempDir;
using testing::TestHub;
using Values = RecordFormat::Values;

dp::GroupDesc group() {
    dp::AppDescription app;
    dp::ParseError e;
    EXPECT_TRUE(dp::parseDescription("application VPLOG\ngroup LINE E 0\nattribute Seq C 4\n"
                                     "attribute Text D 8\nattribute Code G 2\n",
                                     &app, &e));
    return app.groups[0];
}

RecordFormat format(RecordFormat::Kind kind, const std::string& delimiter = "",
                    const std::vector<std::string>& fields = {}, const std::string& pattern = "") {
    RecordFormat f;
    std::string reason;
    EXPECT_TRUE(RecordFormat::make(kind, group(), delimiter, fields, pattern, &f, &reason)) << reason;
    return f;
}

TEST(FileRecord, EachFormatGivesTheGroupsValues) {
    Values v;
    std::string reason;

    RecordFormat csv = format(RecordFormat::kDelimited);
    ASSERT_TRUE(csv.parse("7,hello,3", &v, &reason)) << reason;
    EXPECT_EQ(v, (Values{{"Seq", "7"}, {"Text", "hello"}, {"Code", "3"}}));
    EXPECT_FALSE(csv.parse("7,hello", &v, &reason));
    EXPECT_EQ(reason, "2 columns, 3 expected");
    RecordFormat tabs = format(RecordFormat::kDelimited, "tab", {"-", "Code", "Text"});
    ASSERT_TRUE(tabs.parse("skip\t9\ta text that is too long\textra", &v, &reason)) << reason;
    EXPECT_EQ(v, (Values{{"Code", "9"}, {"Text", "a text t"}}));  // cut to the attribute's 8

    RecordFormat kv = format(RecordFormat::kKeyValue);
    ASSERT_TRUE(kv.parse("Seq=1 host=web1 Text=\"two words\"", &v, &reason)) << reason;
    EXPECT_EQ(v, (Values{{"Seq", "1"}, {"Text", "two word"}}));
    EXPECT_FALSE(kv.parse("Seq=1 garbage", &v, &reason));
    EXPECT_FALSE(kv.parse("host=web1", &v, &reason));
    EXPECT_NE(reason.find("no attribute of group LINE"), std::string::npos);

    RecordFormat json = format(RecordFormat::kJson);
    ASSERT_TRUE(json.parse(R"({"Seq": 12, "Text": "ok", "Code": 2.6, "other": [1], "n": null})", &v, &reason));
    EXPECT_EQ(v, (Values{{"Seq", "12"}, {"Text", "ok"}, {"Code", "3"}}));
    ASSERT_TRUE(json.parse(R"({"Code": true})", &v, &reason));
    EXPECT_EQ(v, (Values{{"Code", "1"}}));
    EXPECT_FALSE(json.parse("[1,2]", &v, &reason));
    EXPECT_FALSE(json.parse("{\"Seq\": ", &v, &reason));
    EXPECT_EQ(reason, "not a JSON object");

    // An unnamed group and a "(" inside a class do not shift the names.
    RecordFormat re = format(RecordFormat::kRegex, "", {}, R"(^(\w+) \[[(]\] (?<Seq>\d+) (?:x|y) (?<Text>\S+)$)");
    ASSERT_TRUE(re.parse("GET [(] 42 y done", &v, &reason)) << reason;
    EXPECT_EQ(v, (Values{{"Seq", "42"}, {"Text", "done"}}));
    EXPECT_FALSE(re.parse("no match here", &v, &reason));
    EXPECT_EQ(reason, "the pattern does not match");
    // A line as long as a line may be is searched, however the pattern repeats.
    RecordFormat any = format(RecordFormat::kRegex, "", {}, R"(^(?<Text>(((.)))*)$)");
    ASSERT_TRUE(any.parse(std::string(FileProvider::kMaxLine, 'z'), &v, &reason)) << reason;
    EXPECT_EQ(v, (Values{{"Text", "zzzzzzzz"}}));

    // A NUL byte, in the line or escaped in a JSON text, makes the line malformed: kept, it would end
    // the value (an Id of "\0" was stored as 0).
    using namespace std::string_literals;
    for (const std::string& line : {"\0,a,1"s, "7,a\0b,1"s, "Seq=7\0 Text=a"s}) {
        EXPECT_FALSE((line[0] == 'S' ? kv : csv).parse(line, &v, &reason)) << line;
        EXPECT_NE(reason.find("a NUL byte at character"), std::string::npos) << reason;
    }
    ASSERT_TRUE(json.parse(R"({"Seq": 7, "Text": "a\u0000b"})", &v, &reason)) << reason;
    DProw row;
    EXPECT_FALSE(dp::formatRow({"LINE", "", DCH_NO_CONTROL_FIELD, v}, group(), &row, &reason));
    EXPECT_EQ(reason, "value of Text holds a NUL byte");

    RecordFormat refused;
    EXPECT_FALSE(RecordFormat::make(RecordFormat::kRegex, group(), "", {}, "(\\d+)", &refused, &reason));
    EXPECT_NE(reason.find("no named group"), std::string::npos);
    EXPECT_FALSE(RecordFormat::make(RecordFormat::kRegex, group(), "", {}, "(?<Nope>x)", &refused, &reason));
    EXPECT_NE(reason.find("Nope is not an attribute"), std::string::npos);
    EXPECT_FALSE(RecordFormat::make(RecordFormat::kRegex, group(), "", {}, "(?<Seq>[)", &refused, &reason));
    EXPECT_NE(reason.find("does not compile"), std::string::npos);
    EXPECT_FALSE(RecordFormat::make(RecordFormat::kRegex, group(), "", {}, "(?<Seq>a)\\1", &refused, &reason));
    EXPECT_NE(reason.find("back-references are not supported"), std::string::npos);
    EXPECT_FALSE(RecordFormat::make(RecordFormat::kDelimited, group(), "::", {}, "", &refused, &reason));
    EXPECT_FALSE(RecordFormat::make(RecordFormat::kDelimited, group(), ",", {"Seq", "Bogus"}, "", &refused, &reason));
}

// The example of docs/providers.md, on a line of a web server's access log.
TEST(FileRecord, TheDocumentedAccessLogPatternReadsAnAccessLogLine) {
    const std::string text = "application WEBLOG help=\"Web server access log\"\n"
                             "group ACCESS E 0\nattribute Host D 64\nattribute Path D 256\n"
                             "attribute Status G 4\nattribute Bytes G 4\n"
                             "source FILE group=ACCESS format=regex interval=2\npath /var/log/nginx/access.log\n"
                             R"re(pattern "^(?<Host>\S+) \S+ \S+ \[[^\]]*\] \"\S+ (?<Path>\S+)[^\"]*\" (?<Status>\d+) (?<Bytes>\d+)")re"
                             "\n";
    Definition d;
    dp::ParseError e;
    ASSERT_TRUE(parseDefinition(text, &d, &e)) << e.reason;
    ASSERT_EQ(d.source.size(), 3u);
    RecordFormat f;
    std::string reason;
    ASSERT_TRUE(RecordFormat::make(RecordFormat::kRegex, d.app.groups[0], "", {}, d.source[2].words[1], &f, &reason))
        << reason;
    Values v;
    ASSERT_TRUE(f.parse("10.1.2.3 - frank [10/Oct/2000:13:55:36 -0700] \"GET /a.gif HTTP/1.0\" 200 2326 \"-\" \"x\"",
                        &v, &reason))
        << reason;
    EXPECT_EQ(v, (Values{{"Host", "10.1.2.3"}, {"Path", "/a.gif"}, {"Status", "200"}, {"Bytes", "2326"}}));
}

class FileAgainstHub : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(_hub.ready());
        _context.workDirectory = _dir.path() + "/work";
        _context.sourceName = "logs";
        std::filesystem::create_directories(_context.workDirectory);
    }

    std::unique_ptr<FileProvider> make(const std::string& source) {
        Definition d;
        dp::ParseError e;
        d.file = _dir.path() + "/applog.desc";
        const std::string text = "application VPLOG\ngroup LINE E 0\nattribute Seq C 4\nattribute Text D 16\n" + source;
        EXPECT_TRUE(parseDefinition(text, &d, &e)) << e.reason;
        std::unique_ptr<Provider> p = FileProvider::make(d, _context, &e);
        EXPECT_TRUE(p) << e.line << ": " << e.reason;
        return std::unique_ptr<FileProvider>(static_cast<FileProvider*>(p.release()));
    }

    void append(const std::string& name, const std::string& text) {
        std::ofstream(_dir.file(name), std::ios::app | std::ios::binary) << text;
    }

    // The Seq and Text of the rows that arrive until one with Seq == last.
    std::vector<std::string> rowsUntil(int last) {
        std::vector<std::string> out;
        while (std::optional<ReceivedRow> r = _collector.next(10)) {
            if (r->values[0] == "0") {
                continue;  // the subscription's probes
            }
            out.push_back(r->values[0] + ":" + r->values[1]);
            if (r->values[0] == std::to_string(last)) {
                break;
            }
        }
        return out;
    }

    TestHub _hub;
    TempDir _dir;
    ProviderContext _context;
    RowCollector _collector{"VPLOG", "LINE"};
};

TEST_F(FileAgainstHub, AppendsRotationTruncationAndRestartLoseAndRepeatNothing) {
    const std::string section = "source FILE format=keyvalue\npath " + _dir.path() + "/app*.log\n";
    std::unique_ptr<FileProvider> provider = make(section);
    ASSERT_TRUE(_collector.waitUntilDelivering([&] {
        append("app.log", "Seq=0 Text=probe\n");
        provider->poll();
    }));

    append("app.log", "Seq=1 Text=one\nSeq=2 Text=two\ngarbage here\n" + std::string("Seq=\0 Text=nul\n", 15) +
                          "Seq=3 Text=three\n");
    provider->poll();
    EXPECT_EQ(rowsUntil(3), (std::vector<std::string>{"1:one", "2:two", "3:three"}));
    EXPECT_EQ(provider->status().malformed.load(), 2);

    // A line being written is taken once it is complete.
    append("app.log", "Seq=4 Text=four\nSeq=5 Text=fi");
    provider->poll();
    append("app.log", "ve\n");
    provider->poll();
    EXPECT_EQ(rowsUntil(5), (std::vector<std::string>{"4:four", "5:five"}));

    // Rotation: the last lines of the old file come before the new file's.
    append("app.log", "Seq=6 Text=six\n");
    ASSERT_EQ(std::rename(_dir.file("app.log").c_str(), _dir.file("app.log.1").c_str()), 0);
    append("app.log", "Seq=7 Text=seven\n");
    provider->poll();
    EXPECT_EQ(rowsUntil(7), (std::vector<std::string>{"6:six", "7:seven"}));

    // Truncation: the file shrinks below the position, reading starts again at 0.
    std::filesystem::resize_file(_dir.file("app.log"), 0);
    append("app.log", "Seq=8 Text=x\n");  // shorter than what was there
    provider->poll();
    EXPECT_EQ(rowsUntil(8), (std::vector<std::string>{"8:x"}));

    // A restart: the positions file brings the next run to where this one stopped.
    provider.reset();
    append("app.log", "Seq=9 Text=nine\n");
    append("app2.log", "Seq=10 Text=ten\n");  // a new file while the provider was away: from its start
    provider = make(section);
    provider->poll();
    EXPECT_EQ(rowsUntil(10), (std::vector<std::string>{"9:nine", "10:ten"}));
    EXPECT_FALSE(_collector.next(0.3)) << "a line came twice";

    const std::string positions = _dir.path() + "/work/positions/applog.desc.positions";
    std::ifstream in(positions);
    std::string line;
    int count = 0;
    while (std::getline(in, line)) {
        ++count;
        EXPECT_NE(line.find(" " + _dir.path() + "/app"), std::string::npos) << line;
    }
    EXPECT_EQ(count, 2);
}

// The position passes a line only once the hub has taken its row: lines the hub never saw (no hub)
// or refused (it forgot the application) come again after a restart, and lines it took do not.
TEST_F(FileAgainstHub, LinesTheHubDidNotTakeAreSentAfterARestartAndTakenOnesAreNot) {
    const std::string section = "source FILE format=keyvalue\npath " + _dir.file("app.log") + "\n";
    std::unique_ptr<FileProvider> provider = make(section);
    ASSERT_TRUE(_collector.waitUntilDelivering([&] {
        append("app.log", "Seq=0 Text=probe\n");
        provider->poll();
    }));
    provider.reset();

    // No hub to take them.
    const HubOptions hub = _context.hub;
    _context.hub.port = testing::freeHubPort();
    _context.hub.connectTimeout = 1;
    provider = make(section);
    append("app.log", "Seq=1 Text=one\nSeq=2 Text=two\n");
    provider->poll();
    EXPECT_GT(provider->status().errors.load(), 0);
    EXPECT_EQ(provider->status().rowsSent.load(), 0);
    provider.reset();
    _context.hub = hub;
    provider = make(section);
    provider->poll();
    EXPECT_EQ(rowsUntil(2), (std::vector<std::string>{"1:one", "2:two"}));

    // Another provider takes the source over and offline: the hub refuses the rows of the old handle.
    HubProvider other(_context.hub);
    int status = 0;
    int handle = 0;
    ASSERT_EQ(other.dp_online(&status, &handle, "VPLOG", "LINE", "logs"), 0);
    ASSERT_EQ(other.dp_offline(&status, handle), 0);
    append("app.log", "Seq=3 Text=three\nSeq=4 Text=four\n");
    provider->poll();
    EXPECT_GT(provider->status().errors.load(), 0);
    EXPECT_EQ(provider->status().rowsSent.load(), 2);
    provider.reset();
    provider = make(section);
    provider->poll();
    EXPECT_EQ(rowsUntil(4), (std::vector<std::string>{"3:three", "4:four"}));
    EXPECT_FALSE(_collector.next(0.3)) << "a line came twice";
}

// A row the hub refuses for what it holds is given up: at once when the hub takes a later row of the
// file, else after three refusals; the file goes on after it.
TEST_F(FileAgainstHub, ARowTheHubKeepsRefusingIsSkippedAndTheFileGoesOn) {
    // The application registered first without Text: the hub refuses rows that carry one.
    HubProvider other(_context.hub);
    int status = 0;
    ASSERT_EQ(other.dp_register(&status, dp::AppDescription{"VPLOG", "", {dp::GroupDesc{"LINE", 'E', 0, "", "", {
                                                                  dp::AttributeDesc{"Seq", 'C', 4}}}}}
                                             .registration()),
              0);
    std::unique_ptr<FileProvider> provider = make("source FILE format=keyvalue\npath " + _dir.file("app.log") + "\n");
    ASSERT_TRUE(_collector.waitUntilDelivering([&] {
        append("app.log", "Seq=0\n");
        provider->poll();
    }));
    auto seqsUntil = [this](const std::string& last) {
        std::vector<std::string> seen;
        while (std::optional<ReceivedRow> r = _collector.next(10)) {
            if (r->values[0] != "0") {
                seen.push_back(r->values[0]);
            }
            if (r->values[0] == last) {
                break;
            }
        }
        return seen;
    };
    testing::TraceCapture trace;
    append("app.log", "Seq=1\nSeq=2 Text=bad\nSeq=3\n");
    provider->poll();
    EXPECT_EQ(seqsUntil("3"), (std::vector<std::string>{"1", "3"}));
    EXPECT_TRUE(trace.contains("1 lines the hub refused are skipped (it took lines after them)"));

    append("app.log", "Seq=4 Text=bad\n");
    for (int round = 1; round < FileProvider::kMaxRefusals; ++round) {
        provider->poll();
        EXPECT_FALSE(trace.contains("times; it is skipped")) << round;
    }
    provider->poll();
    EXPECT_TRUE(trace.contains("the hub refused the line at offset "));
    EXPECT_TRUE(trace.contains(" 3 times; it is skipped"));
    append("app.log", "Seq=5\n");
    provider->poll();
    EXPECT_EQ(seqsUntil("5"), (std::vector<std::string>{"5"}));
}

TEST_F(FileAgainstHub, StartAtEndSkipsWhatWasThereOnTheFirstRunOnly) {
    append("old.log", "Seq=1 Text=history\n");
    std::unique_ptr<FileProvider> provider = make("source FILE format=keyvalue start=end\npath " + _dir.file("old.log") + "\n");
    EXPECT_EQ(provider->poll(), 0u);
    append("old.log", "Seq=2 Text=now\n");
    EXPECT_EQ(provider->poll(), 1u);
}

TEST_F(FileAgainstHub, SourceSectionsAreRefusedWithTheirLine) {
    Definition d;
    dp::ParseError e;
    const std::string app = "application VPLOG\ngroup A E 0\nattribute Seq C 4\ngroup B E 0\nattribute Seq C 4\n";
    struct Case {
        std::string section;
        int line;
        const char* reason;
    };
    for (const Case& c : std::vector<Case>{
             {"source FILE group=A\n", 6, "at least one path"},
             {"source FILE path=/x\n", 6, "unexpected \"path=/x\""},
             {"source FILE\npath /x\n", 6, "needs group=NAME"},
             {"source FILE group=C\npath /x\n", 6, "no group C"},
             {"source FILE group=a format=xml\npath /x\n", 6, "format=xml"},
             {"source FILE group=a format=regex\npath /x\npattern (\\d+)\n", 8, "no named group"},
             {"source FILE group=a\npath /x /y\n", 7, "path PATH-OR-GLOB"},
             {"source FILE group=a interval=0\npath /x\n", 6, "interval=0"},
         }) {
        ASSERT_TRUE(parseDefinition(app + c.section, &d, &e)) << e.reason;
        EXPECT_EQ(FileProvider::make(d, _context, &e), nullptr) << c.section;
        EXPECT_EQ(e.line, c.line) << c.section;
        EXPECT_NE(e.reason.find(c.reason), std::string::npos) << c.section << ": " << e.reason;
    }
}

}  // namespace
}  // namespace vorpane::providers
