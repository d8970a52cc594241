// FILE: follows the files a definition names (paths and globs) and turns each new line into a row of
// the definition's group by its record format. Survives rotation (the old file is read to its end
// before the new one is opened) and truncation (reading starts again at 0), and keeps its position
// per file in the work directory, so that a restart neither loses nor repeats lines.
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
        off_t offset = 0;  // just after the last complete line read
        bool skipping = false;  // inside an over-long line: drop bytes up to its end
    };
    size_t readFile(Followed& f);
    void sendLine(std::string_view line, const std::string& path);
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
};

}  // namespace vorpane::providers
