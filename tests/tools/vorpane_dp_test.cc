// vorpane-dp: the description file and row parsers fed with text, and whole runs of the program
// against the fake hub (exit codes, what it sends, the action handler).
#include <gtest/gtest.h>
#include <signal.h>

#include <cstring>
#include <string>

#include "client/fake_hub.h"
#include "testlib/child_process.h"
#include "testlib/temp_dir.h"
#include "providers/app_description.h"

namespace vorpane::dp {
namespace {

using testing::FakeHub;

const char* const kGoodFile = R"(# demo provider
application vpdemo help="Demo application"

group PROCS K 300 dptype=APIS help="Running processes"
attribute @PID C 4 help="Process id, the key"
attribute $Name D 32 enum=" " format=x help="Command, name"
attribute @$Owner D 16
attribute Load A 2
group events E 0
  attribute Text T 16 help="Event \"text\""
)";

TEST(DescriptionFileTest, GoodFileGivesTheRegistration) {
    AppDescription d;
    ParseError error;
    ASSERT_TRUE(parseDescription(kGoodFile, &d, &error)) << error.line << ": " << error.reason;
    EXPECT_EQ(d.name, "VPDEMO");
    EXPECT_EQ(d.help, "Demo application");
    ASSERT_EQ(d.groups.size(), 2u);
    const GroupDesc& procs = d.groups[0];
    EXPECT_EQ(procs.type, 'K');
    EXPECT_EQ(procs.ttl, 300);
    EXPECT_EQ(procs.dpType, "APIS");
    EXPECT_EQ(procs.line, 4);
    EXPECT_EQ(
        procs.registration(),
        "@PID,C,4, , ,Process id, the key;$Name,D,32, ,x,Command, name;@$Owner,D,16, , , ;Load,A,2, , , ");
    ASSERT_NE(procs.attribute("Owner"), nullptr);
    EXPECT_EQ(procs.attribute("Owner")->name, "@$Owner");
    EXPECT_EQ(d.group("EVENTS")->registration(), "Text,T,16, , ,Event \"text\"");

    DPapplication appl = d.registration();
    ASSERT_EQ(appl.groups.size(), 2u);
    EXPECT_EQ(appl.groups[1].name, "EVENTS");
    EXPECT_EQ(appl.groups[1].type, 'E');
    EXPECT_EQ(appl.groups[1].dpType, "");

    // A unit goes into the format text beside what it holds; one already there is read back.
    AppDescription units;
    ASSERT_TRUE(parseDescription("application VPDEMO\ngroup DISK K 60\n"
                                 "attribute Used G 4 unit=MiB help=\"Used memory\"\n"
                                 "attribute Busy G 4 format=CAPTION{Busy}SCALE{1} unit=percent\n"
                                 "attribute Took G 4 format=UNIT{seconds}\n",
                                 &units, &error))
        << error.reason;
    EXPECT_EQ(units.groups[0].registration(),
              "Used,G,4, ,UNIT{MiB},Used memory;Busy,G,4, ,CAPTION{Busy}SCALE{1}UNIT{percent}, ;"
              "Took,G,4, ,UNIT{seconds}, ");
    EXPECT_EQ(units.groups[0].attributes[1].unit, "percent");
    EXPECT_EQ(units.groups[0].attributes[2].unit, "seconds");
}

TEST(DescriptionFileTest, EachKindOfErrorNamesItsLine) {
    struct Case {
        const char* text;
        int line;
        const char* reason;
    };
    const Case cases[] = {
        {"application VP\n", 1, "3 to 20"},
        {"application VPDEMO\napplication VPOTHER\n", 2, "second application"},
        {"group G P 1\n", 1, "before the application"},
        {"application VPDEMO\nattribute A D 1\n", 2, "before any group"},
        {"application VPDEMO\ngroup G X 1\nattribute A D 1\n", 2, "not one of P, S, K, E, N"},
        {"application VPDEMO\ngroup G P soon\n", 2, "TTL"},
        {"application VPDEMO\ngroup G P 1\nattribute A D 1\ngroup g P 1\n", 4, "defined twice"},
        {"application VPDEMO\ngroup G P 1 dptype=TOOLONG\n", 2, "dptype"},
        {"application VPDEMO\ngroup G P 1\nattribute A Q 1\n", 3, "not one of A, C, G, S, D, O, T"},
        {"application VPDEMO\ngroup G P 1\nattribute A C 3\n", 3, "length 2 or 4"},
        {"application VPDEMO\ngroup G P 1\nattribute A S 4\n", 3, "switch"},
        {"application VPDEMO\ngroup G P 1\nattribute A D 0\n", 3, "from 1 to 32767"},
        {"application VPDEMO\ngroup G P 1\nattribute My-Name D 1\n", 3, "letters, digits or _"},
        {"application VPDEMO\ngroup G P 1\nattribute @A D 1\nattribute A D 2\n", 4, "appears twice"},
        {"application VPDEMO\ngroup G P 1\nattribute A D 1 enum=a,b\n", 3, "enum and format"},
        {"application VPDEMO\ngroup G P 1\nattribute A D 1 help=\"a;b\"\n", 3, "may not contain \";\""},
        {"application VPDEMO\ngroup G P 1\nattribute A D 1 colour=red\n", 3, "unexpected \"colour=red\""},
        {"application VPDEMO\ngroup G P 1\nattribute A D 1 help=x help=y\n", 3, "given twice"},
        {"application VPDEMO\ngroup G P 1\nattribute A G 4 unit=furlongs\n", 3,
         "unit \"furlongs\" is not one of bytes, KiB, MiB, GiB, KB, MB, GB, percent, ratio, seconds, milliseconds, "
         "microseconds, nanoseconds, hertz, celsius, bytes_per_second"},
        {"application VPDEMO\ngroup G P 1\nattribute A G 4 unit=mib\n", 3, "unit \"mib\" is not one of"},
        {"application VPDEMO\ngroup G P 1\nattribute A G 4 format=UNIT{MiB} unit=MiB\n", 3, "give the unit once"},
        {"application VPDEMO\ngroup G P 1\nattribute A G 4 format=UNIT{MiB\n", 3, "not closed"},
        {"application VPDEMO help=\"open\n", 1, "unterminated quote"},
        {"application VPDEMO\n\n# comment\nsomething else\n", 4, "unknown keyword"},
        {"application VPDEMO\ngroup G P 1\ngroup H P 1\nattribute A D 1\n", 2, "has no attribute"},
        {"# nothing\n", 0, "no application line"},
        {"application VPDEMO\n", 0, "no group line"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        AppDescription d;
        ParseError error;
        ASSERT_FALSE(parseDescription(c.text, &d, &error));
        EXPECT_EQ(error.line, c.line);
        EXPECT_NE(error.reason.find(c.reason), std::string::npos) << error.reason;
    }
}

TEST(RowTest, RowsAreParsedAndFormattedByAttributeType) {
    AppDescription d;
    ParseError error;
    ASSERT_TRUE(parseDescription(kGoodFile, &d, &error));

    RowSpec parsed;
    std::string reason;
    ASSERT_TRUE(parseRow("procs@SRC1:first PID=0x10 Name=\"two words\" @$Owner= Load=-3", &parsed, &reason))
        << reason;
    EXPECT_EQ(parsed.group, "PROCS");
    EXPECT_EQ(parsed.source, "SRC1");
    EXPECT_EQ(parsed.controlField, 0x01);
    DProw row;
    ASSERT_TRUE(formatRow(parsed, *d.group("PROCS"), &row, &reason)) << reason;
    EXPECT_EQ(row.count(), 4);
    dch::MessageBuilder m;
    row.appendTo(&m);
    dch::FieldReader reader(m.data(), m.size());
    EXPECT_EQ(reader.next().text(), "PID");
    dch::FieldReader::Field pid = reader.next();
    int32_t value = 0;
    ASSERT_TRUE(pid.int32(&value));
    EXPECT_EQ(value, 16);
    EXPECT_EQ(pid.extra, 'C');
    EXPECT_EQ(reader.next().text(), "Name");
    EXPECT_EQ(reader.next().text(), "two words");
    EXPECT_EQ(reader.next().text(), "Owner");
    EXPECT_EQ(reader.next().length, 0u);
    reader.next();
    int16_t load = 0;
    ASSERT_TRUE(reader.next().int16(&load));
    EXPECT_EQ(load, -3);

    ASSERT_TRUE(parseRow("EVENTS:last", &parsed, &reason));
    EXPECT_EQ(parsed.controlField, 0x10);
    ASSERT_TRUE(parseRow("EVENTS:0xDD Text=x", &parsed, &reason));
    EXPECT_EQ(parsed.controlField, 0xDD);
    EXPECT_EQ(parsed.source, "");

    struct Bad {
        const char* row;
        const char* reason;
    };
    const Bad parseErrors[] = {
        {"PROCS", "needs values"},
        {"PROCS:sometimes PID=1", "control"},
        {"PROCS@ PID=1", "empty source"},
        {"PROCS PID", "not name=value"},
        {"PROCS PID=1 PID=2", "given twice"},
        {"PROCS Name=\"open", "unterminated quote"},
    };
    for (const Bad& b : parseErrors) {
        SCOPED_TRACE(b.row);
        EXPECT_FALSE(parseRow(b.row, &parsed, &reason));
        EXPECT_NE(reason.find(b.reason), std::string::npos) << reason;
    }
    const Bad formatErrors[] = {
        {"PROCS Missing=1", "has no attribute Missing"},       {"PROCS PID=many", "is not a number"},
        {"PROCS Load=40000", "is not a number of 2 bytes"},    {"PROCS PID=", "is not a number"},
        {"PROCS Owner=seventeen_chars_x", "more than its 16"},
    };
    for (const Bad& b : formatErrors) {
        SCOPED_TRACE(b.row);
        ASSERT_TRUE(parseRow(b.row, &parsed, &reason));
        EXPECT_FALSE(formatRow(parsed, *d.group("PROCS"), &row, &reason));
        EXPECT_NE(reason.find(b.reason), std::string::npos) << reason;
    }
}

// ---------------------------------------------------------------------------------------------------
// Whole runs

class VorpaneDpRunTest : public ::testing::Test {
  protected:
    VorpaneDpRunTest() { dir.write("app.desc", kGoodFile); }

    std::vector<std::string> command(std::vector<std::string> args) const {
        std::vector<std::string> argv = {VORPANE_DP_BIN, "--hub", "127.0.0.1:" + std::to_string(hub.port()),
                                         "--file", dir.file("app.desc")};
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }
    // Runs through the shell so that standard input can be fed from a here-document.
    std::vector<std::string> shell(const std::string& args, const std::string& input) const {
        std::string line;
        for (const std::string& a : command({})) {
            line += "'" + a + "' ";
        }
        return {"/bin/sh", "-c", line + args + " <<'EOF'\n" + input + "EOF\n"};
    }

    testing::TempDir dir;
    FakeHub hub;
};

TEST_F(VorpaneDpRunTest, OneRunRegistersSendsRowsAndGoesOffline) {
    testing::ChildProcess run(
        shell("--online SRC1 --row 'PROCS PID=1 Name=init' --stdin --offline --unregister",
              "# rows\nPROCS PID=2 Name=\"kernel thread\"\n\nEVENTS:last\n"),
        {});
    ASSERT_EQ(run.waitExit(), 0) << run.output();
    std::vector<FakeHub::Request> r = hub.requests();
    std::vector<int16_t> codes;
    for (const FakeHub::Request& each : r) {
        codes.push_back(each.code);
        EXPECT_EQ(each.connection, 1);
    }
    EXPECT_EQ(codes,
              (std::vector<int16_t>{DCH_dp_register, DCH_dp_online, DCH_dp_online, DCH_dp_data, DCH_dp_data,
                                    DCH_dp_data, DCH_dp_offline, DCH_dp_offline, DCH_dp_unregister}));
    EXPECT_EQ(r[0].fields.size(), 2u + 2u * 6u);
    EXPECT_EQ(r[1].fields[2].value, "SRC1");
    ASSERT_EQ(r[4].fields.size(), 5u);
    EXPECT_EQ(r[4].fields[3].value, "Name");
    EXPECT_EQ(r[4].fields[4].value, "kernel thread");
    EXPECT_EQ(r[5].types(), (std::vector<uint16_t>{DCH_handle, DCH_controlField}));
    EXPECT_NE(run.output().find("dp_online VPDEMO PROCS SRC1: status 0 (success), handle 1000"),
              std::string::npos)
        << run.output();
}

TEST_F(VorpaneDpRunTest, EveryRefusalHasItsExitCodeAndSaysWhy) {
    {
        dir.write("bad.desc", "application VPDEMO\ngroup G P 1\nattribute A Q 1\n");
        testing::ChildProcess run({VORPANE_DP_BIN, "--file", dir.file("bad.desc")}, {});
        EXPECT_EQ(run.waitExit(), 2);
        EXPECT_NE(run.output().find(dir.file("bad.desc") + ":3: attribute type \"Q\""), std::string::npos)
            << run.output();
    }
    {
        testing::ChildProcess run(command({"--online", "SRC1", "--row", "PROCS PID=x"}), {});
        EXPECT_EQ(run.waitExit(), 6);
        EXPECT_NE(run.output().find("--row 1: value of PID \"x\" is not a number"), std::string::npos);
        EXPECT_TRUE(hub.requests().empty());
    }
    {
        testing::ChildProcess run(command({"--row", "PROCS PID=1"}), {});
        EXPECT_EQ(run.waitExit(), 1);
    }
    {
        // Demand reporting answers report requests with the rows its handler prints: both needed.
        testing::ChildProcess noSource(command({"--demand-report"}), {});
        EXPECT_EQ(noSource.waitExit(), 1);
        EXPECT_NE(noSource.output().find("--demand-report needs a source"), std::string::npos);
        testing::ChildProcess noHandler(command({"--online", "SRC1", "--demand-report"}), {});
        EXPECT_EQ(noHandler.waitExit(), 1);
        EXPECT_NE(noHandler.output().find("--demand-report needs a --handler"), std::string::npos);
        EXPECT_TRUE(hub.requests().empty());
    }
    {
        hub.setHandler([](FakeHub& h, const FakeHub::Request& r) {
            if (r.code == DCH_dp_data) {
                h.sendStatus(r.connection, DCH_STATUS_UNREGISTERED_ATTR);
            } else {
                h.answerLikeTheHub(r);
            }
        });
        testing::ChildProcess run(command({"--online", "SRC1", "--row", "PROCS PID=1"}), {});
        EXPECT_EQ(run.waitExit(), 4);
        EXPECT_NE(run.output().find(
                      "refused: dp_data PROCS@SRC1 (--row 1): status 2 (an attribute name is not part "
                      "of the registered attributes)"),
                  std::string::npos)
            << run.output();
    }
    {
        FakeHub* gone = new FakeHub();
        int port = gone->port();
        delete gone;  // nobody listens on the port any more
        testing::ChildProcess run(
            {VORPANE_DP_BIN, "--hub", "127.0.0.1:" + std::to_string(port), "--file", dir.file("app.desc")},
            {});
        EXPECT_EQ(run.waitExit(), 3);
        EXPECT_NE(run.output().find("hub not reachable at 127.0.0.1:" + std::to_string(port)),
                  std::string::npos);
    }
}

TEST_F(VorpaneDpRunTest, HandlerRunsForEachActionAndReportsItsExitStatus) {
    testing::ChildProcess run(
        command({"--online", "SRC1", "--group", "PROCS", "--handler",
                 "echo \"did $VORPANE_ACTION_NAME $VORPANE_ACTION_PARMS\"; exit 3", "--offline"}),
        {});
    ASSERT_TRUE(hub.waitForRequests(3)) << run.output();
    EXPECT_EQ(hub.requests()[2].code, DCH_dp_waitForAction);
    dch::MessageBuilder action;
    action.request(DCH_dp_actionRequest)
        .int16(DCH_actionType, 1)
        .text(DCH_actionOwner, "SIT1")
        .text(DCH_sourceName, "SRC1:VPDEMO00")
        .text(DCH_actionName, "Restart")
        .int32(DCH_actionID, 17)
        .text(DCH_actionParms, "now");
    hub.send(1, action);
    ASSERT_TRUE(hub.waitForRequests(4)) << run.output();
    FakeHub::Request results = hub.requests()[3];
    EXPECT_EQ(results.code, DCH_dp_provideActionResults);
    ASSERT_EQ(results.fields.size(), 3u);
    EXPECT_EQ(results.fields[0].int32(), 17);
    EXPECT_EQ(results.fields[1].int32(), -3);
    EXPECT_EQ(results.fields[2].value, "did Restart now");

    run.signal(SIGTERM);
    EXPECT_EQ(run.waitExit(), 0) << run.output();
    ASSERT_TRUE(hub.waitForRequests(5));
    EXPECT_EQ(hub.requests()[4].code, DCH_dp_offline);
}

// The command line as docs/vorpane-dp.md shows it: short and long names, repeated options, a source
// the hub names, and what is refused.
TEST_F(VorpaneDpRunTest, TheCommandLineOfTheDocsWorks) {
    {
        // Two sources, rows for each (the docs' second example, against this file's group).
        testing::ChildProcess run(
            {VORPANE_DP_BIN, "--hub", "127.0.0.1:" + std::to_string(hub.port()), "-f", dir.file("app.desc"),
             "-o", "web1", "-o", "web2", "-g", "PROCS", "-r", "PROCS@web1 PID=1 Name=init", "-r",
             "PROCS@web2 PID=1 Name=\"init 2\"", "-q", "--offline"},
            {});
        ASSERT_EQ(run.waitExit(), 0) << run.output();
        std::vector<int16_t> codes;
        for (const FakeHub::Request& r : hub.requests()) {
            codes.push_back(r.code);
        }
        EXPECT_EQ(codes, (std::vector<int16_t>{DCH_dp_register, DCH_dp_online, DCH_dp_online, DCH_dp_data,
                                               DCH_dp_data, DCH_dp_offline, DCH_dp_offline}));
        EXPECT_EQ(run.output(), "");  // --quiet
    }
    {
        // A keyed group sent as one set from standard input, to a source the hub names.
        testing::ChildProcess run(
            shell("-o '' -g PROCS -s", "PROCS:first PID=1 Name=init\nPROCS:last PID=3\n"), {});
        ASSERT_EQ(run.waitExit(), 0) << run.output();
        EXPECT_NE(run.output().find("dp_online VPDEMO PROCS (source named by the hub): status 0"),
                  std::string::npos)
            << run.output();
        EXPECT_NE(run.output().find("dp_data PROCS@- (stdin:2): status 0"), std::string::npos)
            << run.output();
    }
    testing::ChildProcess help({VORPANE_DP_BIN, "--help"}, {});
    EXPECT_EQ(help.waitExit(), 0);
    for (const char* option : {"-f,--file FILE", "-o,--online SOURCE", "-k,--keep-going", "--hub HOST:PORT",
                               "A ROW is: GROUP[@SOURCE][:CONTROL]"}) {
        EXPECT_NE(help.output().find(option), std::string::npos) << option << "\n" << help.output();
    }
    const size_t before = hub.requests().size();
    const struct {
        std::vector<std::string> args;
        const char* reason;
    } refused[] = {
        {{"-o", "SRC1", "extra"}, "not expected: extra"},  // one value per --online
        {{"--bogus"}, "--bogus"},
        {{"--timeout"}, "--timeout"},
        {{"--timeout", "soon"}, "--timeout \"soon\" is not a number of seconds"},
        {{"--hub", "nowhere"}, "--hub \"nowhere\" is not HOST:PORT"},
        {{"--action-types", "1,9"}, "--action-types \"1,9\" is not a list of action types 1 to 5"},
        {{"-o", "SRC1", "--keep-going"}, "--keep-going is about the lines of standard input: give --stdin"},
    };
    for (const auto& r : refused) {
        testing::ChildProcess run(command(r.args), {});
        EXPECT_EQ(run.waitExit(), 1) << run.output();
        EXPECT_NE(run.output().find(r.reason), std::string::npos) << r.reason << "\n" << run.output();
    }
    testing::ChildProcess noFile({VORPANE_DP_BIN, "-o", "SRC1"}, {});
    EXPECT_EQ(noFile.waitExit(), 1);
    EXPECT_NE(noFile.output().find("vorpane-dp: --file is required"), std::string::npos) << noFile.output();
    EXPECT_EQ(hub.requests().size(), before);
}

// A long-lived feeder is not ended by one bad line when asked: each is reported with its line, the
// good ones are sent, and the count and the exit code say that some were refused.
TEST_F(VorpaneDpRunTest, KeepGoingReportsEachBadLineAndCountsThem) {
    hub.setHandler([](FakeHub& h, const FakeHub::Request& r) {
        // The hub refuses the row of PID 7.
        if (r.code == DCH_dp_data && r.fields.size() > 2 && r.fields[2].int32() == 7) {
            h.sendStatus(r.connection, DCH_STATUS_FAILED);
        } else {
            h.answerLikeTheHub(r);
        }
    });
    const std::string input =
        "PROCS PID=1\n"
        "PROCS PID=x\n"
        "# a comment\n"
        "PROCS Nothing=1\n"
        "PROCS PID=7\n"
        "PROCS PID=2\n";
    testing::ChildProcess run(shell("-o SRC1 -g PROCS --stdin --keep-going --offline", input), {});
    EXPECT_EQ(run.waitExit(), 6) << run.output();
    const std::string out = run.output();
    EXPECT_NE(out.find("vorpane-dp: stdin:2: value of PID \"x\" is not a number"), std::string::npos) << out;
    EXPECT_NE(out.find("vorpane-dp: stdin:4: group PROCS has no attribute Nothing"), std::string::npos)
        << out;
    EXPECT_NE(out.find("vorpane-dp: refused: dp_data PROCS@SRC1 (stdin:5): status -1"), std::string::npos)
        << out;
    EXPECT_NE(out.find("vorpane-dp: stdin: 3 of 5 lines refused"), std::string::npos) << out;
    std::vector<int32_t> sent;
    for (const FakeHub::Request& r : hub.requests()) {
        if (r.code == DCH_dp_data) {
            sent.push_back(r.fields[2].int32());
        }
    }
    EXPECT_EQ(sent, (std::vector<int32_t>{1, 7, 2}));
    ASSERT_FALSE(hub.requests().empty());
    EXPECT_EQ(hub.requests().back().code, DCH_dp_offline);  // the run ended in order

    // Without it the first bad line ends the run.
    testing::ChildProcess strict(shell("-o SRC1 -g PROCS --stdin", input), {});
    EXPECT_EQ(strict.waitExit(), 6) << strict.output();
    EXPECT_EQ(strict.output().find("stdin:4"), std::string::npos) << strict.output();

    testing::ChildProcess clean(shell("-o SRC1 -g PROCS --stdin --keep-going", "PROCS PID=1\n"), {});
    EXPECT_EQ(clean.waitExit(), 0) << clean.output();
    EXPECT_NE(clean.output().find("stdin: 0 of 1 lines refused"), std::string::npos) << clean.output();
}

TEST_F(VorpaneDpRunTest, WaitingRunEndsWhenTheHubGoes) {
    testing::ChildProcess run(command({"--online", "SRC1", "--wait"}), {});
    ASSERT_TRUE(hub.waitForRequests(3)) << run.output();
    hub.close(1);
    EXPECT_EQ(run.waitExit(), 5) << run.output();
}

}  // namespace
}  // namespace vorpane::dp
