// The runnable examples of a Markdown page, and the comparison of what they print with what the page
// says they print. Pure text in, structures out: the shell session that runs them is doc_walk.h.
//
// The marking, for the writers of a page (docs/doc-tests.md says the same for them):
//   - A fenced block whose info string is `sh` is a step: it runs, in page order, in one shell
//     session, as in one terminal (variables and the current directory carry over).
//   - A fenced `text` block that follows a step with nothing but blank lines between is what the step
//     prints (standard output and standard error together). Without one, the output is not checked.
//   - An HTML comment `<!-- walk: WORD ... -->` right before a fenced block says how to treat it:
//       skip          the block is not run;
//       background    the step runs in the background (a second terminal) until the walk ends; the
//                     walk waits for its `text` block to show up before it goes on;
//       retry         the step only reads; it runs again until its output matches (the agent shows
//                     a row a moment after a provider sent it);
//       exit N        the step ends with exit code N (an error the page shows);
//       file PATH     the block (of any info string) is written to PATH in the walk's directory.
//     Words combine: `<!-- walk: retry exit 5 -->`.
//   - A comment `<!-- walk: sh` ... `-->` over several lines is a hidden step: its lines run as a
//     step but a reader does not see them (setting up what a page takes for granted).
// In a `text` block, a line `...` stands for any number of lines (none included), and `...` inside a
// line for any run of characters; blanks at line ends do not count.
#pragma once

#include <string>
#include <vector>

namespace vorpane::testing {

struct DocStep {
    enum Kind { kRun, kBackground, kFile };
    Kind kind = kRun;
    int line = 0;  // where the block starts in the page, for messages
    std::string text;
    bool checked = false;  // a `text` block follows
    std::string expected;
    bool retry = false;
    int exitCode = 0;
    std::string path;  // kFile
};

// The steps of a page in order; a malformed marking (a `walk:` word it does not know, an unclosed
// fence) is an error with its line in *error.
bool docSteps(const std::string& page, std::vector<DocStep>* steps, std::string* error);

// Whether actual is what expected describes (with its `...` wild cards); *why says the first line
// that differs.
bool outputMatches(const std::string& expected, const std::string& actual, std::string* why);

}  // namespace vorpane::testing
