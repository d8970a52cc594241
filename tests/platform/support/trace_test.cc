#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "interfaces/support.h"
#include "testlib/temp_dir.h"
#include "testlib/trace_capture.h"

namespace {

using vorpane::testing::TempDir;
using vorpane::testing::TraceCapture;
namespace trace = vorpane::trace;

TEST(Trace, OnlyEnabledClassesAreWrittenAndFormatted) {
    TraceCapture capture(trace::kError | trace::kState);
    int formatted = 0;
    auto count = [&] { return ++formatted; };
    VA_ERROR("Error: first %d\n", 1);
    VA_STATE("state line\n");
    VA_DETAIL("detail %d\n", count());  // disabled: the argument is never evaluated
    EXPECT_EQ(formatted, 0);
    auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "Error: first 1");  // the trailing newline is not doubled
    EXPECT_EQ(lines[1], "state line");
}

TEST(Trace, LongLinesAreWrittenWhole) {
    TraceCapture capture;
    std::string big(5000, 'x');
    VA_ERROR("<%s>\n", big.c_str());
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_EQ(capture.lines()[0].size(), 5002u);
}

TEST(Trace, SelectionTextsAreParsed) {
    unsigned m = 0;
    EXPECT_TRUE(trace::parseSelection("ERROR STATE", &m));
    EXPECT_EQ(m, 0x90u);
    EXPECT_TRUE(trace::parseSelection("error,detail|storage", &m));
    EXPECT_EQ(m, 0x83u);
    EXPECT_TRUE(trace::parseSelection("0x44", &m));
    EXPECT_EQ(m, 0x44u);
    EXPECT_TRUE(trace::parseSelection("ALL", &m));
    EXPECT_EQ(m, trace::kAll);
    EXPECT_TRUE(trace::parseSelection("none", &m));
    EXPECT_EQ(m, 0u);
    m = 7;
    EXPECT_FALSE(trace::parseSelection("LOUD", &m));
    EXPECT_FALSE(trace::parseSelection("0x1FF", &m));
    EXPECT_FALSE(trace::parseSelection("", &m));
    EXPECT_EQ(m, 7u);
}

TEST(Trace, ConfigureWritesToTheProgramLogInTheWorkDirectory) {
    TempDir dir;
    vorpane::setWorkDirectory(dir.path());
    setenv("VORPANE_TRACE", "ERROR STATE", 1);
    trace::configure("trace-test");
    unsetenv("VORPANE_TRACE");
    EXPECT_EQ(trace::mask(), 0x90u);
    EXPECT_EQ(trace::logPath(), dir.file("trace-test.log"));
    VA_STATE("hello log\n");
    VA_DETAIL("not written\n");
    std::string log = dir.read("trace-test.log");
    EXPECT_NE(log.find("(TestBody) hello log\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("not written"), std::string::npos);

    setenv("VORPANE_TRACE", "LOUD", 1);
    trace::configure("trace-test");
    unsetenv("VORPANE_TRACE");
    EXPECT_EQ(trace::mask(), trace::kError);
    EXPECT_NE(dir.read("trace-test.log").find("VORPANE_TRACE=<LOUD> is not a trace selection"), std::string::npos);
    trace::setMask(trace::kError);
}

int occurrences(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

// A flood of one error is written a few times per interval and then counted; a capturing test still
// sees every line. The log moves aside at its size limit, so it never grows past about twice that.
TEST(Trace, RepeatedErrorsAreCountedAndTheLogRotatesAtItsLimit) {
    TempDir dir;
    vorpane::setWorkDirectory(dir.path());
    setenv("VORPANE_TRACE_LIMIT", "8192", 1);
    trace::configure("trace-limit");
    unsetenv("VORPANE_TRACE_LIMIT");
    {
        vorpane::testing::TraceCapture capture;
        for (int i = 0; i < 20; ++i) {
            VA_ERROR("Error: the same place, message %d\n", i);
        }
        VA_ERROR("Error: another place\n");
        EXPECT_EQ(capture.count("Error: the same place"), 20);
    }
    std::string log = dir.read("trace-limit.log");
    EXPECT_EQ(occurrences(log, "Error: the same place"), 5) << log;
    EXPECT_EQ(occurrences(log, "Error: another place"), 1);
    vorpane::clock::advance(61);
    VA_ERROR("Error: the same place, message %d\n", 20);
    log = dir.read("trace-limit.log");
    EXPECT_NE(log.find("Note: 15 more lines like the next one were not written in the last 60 seconds"), std::string::npos)
        << log;
    EXPECT_EQ(occurrences(log, "Error: the same place"), 6);

    const std::string filler(100, 'x');
    trace::setMask(trace::kError | trace::kState);
    for (int i = 0; i < 300; ++i) {
        VA_STATE("line %d %s\n", i, filler.c_str());
    }
    const std::string current = dir.read("trace-limit.log");
    const std::string previous = dir.read("trace-limit.log.1");
    EXPECT_LE(current.size(), 8192u);
    EXPECT_LE(previous.size(), 8192u);
    EXPECT_GT(previous.size(), 4096u);
    EXPECT_NE(current.find("line 299 "), std::string::npos);
    trace::setMask(trace::kError);
}

TEST(Trace, FlowScopeWritesEntryAndExit) {
    TraceCapture capture(trace::kFlow);
    {
        VA_FLOW();
    }
    EXPECT_EQ(capture.lines(), (std::vector<std::string>{"Entry", "Exit"}));
}

}  // namespace
