// FILE: follows the files a definition names (paths and globs) and turns each new line into a row of
// the definition's group by its record format. Survives rotation (the old file is read to its end
// before the new one is opened) and truncation (reading starts again at 0), and keeps its position
// per file in the work directory, so that a restart neither loses nor repeats lines.
//
// A file's position passes a line only once the hub has taken its row (or the line needs no row:
// blank or malformed). A row the hub did not take stops the file there for the round; the next
// round, or the next run, sends it again. A row the hub refuses while it takes a later one of the
// same file, or refuses kMaxRefusals times, is given up (counted, traced), so that one bad row does
// not hold its file for ever.
//
// Threads: run() on the provider's own thread; poll() is what one round does and is called directly
// by tests and the benchmark.
#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "providers/file_record.h"
#include "providers/provider.h"

namespace vorpane::providers {

class FileProvider : public Provider {
  public:
    static constexpr size_t kMaxLine = 65536;  // a longer line is skipped as malformed
    static constexpr int kMaxRefusals = 3;     // refusals of one row by a hub that answers, then it is skipped

    struct Options {
        std::vector<std::string> paths;  // paths or glob patterns
        std::string group;
        RecordFormat format;
        double interval = 1;         // seconds between rounds
        std::string sourceName;      // the rows' source
        std::string positionsFile;   // where the positions are kept
        bool startAtEnd = false;     // a file seen for the first time: from its end instead of its start
    };

    FileProvider(std::string name, HubOptions hub, dp::AppDescription app, Options options);
    ~FileProvider() override;

    void run(StopSignal& stop) override;
    // One round: every file's new complete lines are sent, then the positions are saved. Returns
    // the number of lines read.
    size_t poll();

    static std::unique_ptr<Provider> make(const Definition& d, const ProviderContext& context, dp::ParseError* error);

  private:
    struct Followed {
        std::string path;
        int fd = -1;
        dev_t dev = 0;
        ino_t ino = 0;
        off_t offset = 0;  // just after the last line done with: taken by the hub, or needing no row
        bool skipping = false;  // inside an over-long line: drop bytes up to its end
        bool held = false;      // a row the hub did not take stopped this round at offset
        off_t refusedAt = -1;   // the line the hub refused last, and how often in a row
        int refusals = 0;
        off_t counted = 0;  // malformed lines before it were counted: a line read again is not
    };
    // A line whose row is queued: where it starts and where the next one does.
    struct Queued {
        off_t start;
        off_t end;
    };
    size_t readFile(Followed& f);
    // Queues the line's row; false when the file is to stop here (the row cannot be sent now).
    bool sendLine(std::string_view line, Followed& f, off_t start, off_t end);
    // The outcome of the rows of the file being read (the session's flush observer).
    void rowsDone(const std::vector<HubSession::RowOutcome>& rows, int rc);
    void hold(Followed& f, off_t at);
    void loadPositions();
    void savePositions();
    void closeFile(Followed& f);

    const Options _options;
    HubSession _session;
    const dp::GroupDesc* _group;  // of the session's application
    std::map<std::string, Followed> _files;  // by path
    struct Saved {
        dev_t dev;
        ino_t ino;
        off_t offset;
    };
    std::map<std::string, Saved> _saved;  // positions read at start, used when a file is first opened
    std::string _savedText;               // what the positions file holds, to skip rewriting it
    std::vector<char> _buffer;
    Followed* _reading = nullptr;  // the file whose rows are queued: a flush holds no other file's rows
    std::vector<Queued> _queued;   // by tag
};

}  // namespace vorpane::providers
