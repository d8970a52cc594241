#include "providers/file_provider.h"

#include <fcntl.h>
#include <glob.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <set>
#include <sstream>

#include "interfaces/support.h"
#include "interfaces/trace.h"

namespace vorpane::providers {

FileProvider::FileProvider(std::string name, HubOptions hub, dp::AppDescription app, Options options)
    : Provider(std::move(name)),
      _options(std::move(options)),
      _session(std::move(hub), std::move(app), status()),
      _group(_session.app().group(_options.group)),
      _buffer(4 * kMaxLine) {
    loadPositions();
    _session.answerActions(this);
    _session.observeFlushes([this](const std::vector<HubSession::RowOutcome>& rows, int rc) { rowsDone(rows, rc); });
}

FileProvider::~FileProvider() {
    for (auto& [path, f] : _files) {
        closeFile(f);
    }
}

void FileProvider::closeFile(Followed& f) {
    if (f.fd >= 0) {
        ::close(f.fd);
        f.fd = -1;
    }
}

void FileProvider::loadPositions() {
    int fd = ::open(_options.positionsFile.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return;  // the first start
    }
    std::string text;
    char chunk[4096];
    ssize_t n;
    while ((n = ::read(fd, chunk, sizeof chunk)) > 0) {
        text.append(chunk, static_cast<size_t>(n));
    }
    ::close(fd);
    std::istringstream in(text);
    std::string line;
    int lineNo = 0;
    while (std::getline(in, line)) {
        ++lineNo;
        std::istringstream words(line);
        unsigned long long dev = 0, ino = 0;
        long long offset = 0;
        std::string path;
        if (!(words >> dev >> ino >> offset) || offset < 0 || !std::getline(words >> std::ws, path) || path.empty()) {
            VA_ERROR("Error: FILE %s: %s:%d: not \"device inode offset path\"; that position is not used\n",
                     status().name().c_str(), _options.positionsFile.c_str(), lineNo);
            continue;
        }
        _saved[path] = {static_cast<dev_t>(dev), static_cast<ino_t>(ino), static_cast<off_t>(offset)};
    }
    _savedText = text;
}

void FileProvider::savePositions() {
    std::string text;
    for (const auto& [path, f] : _files) {
        text += std::to_string(static_cast<unsigned long long>(f.dev)) + " " +
                std::to_string(static_cast<unsigned long long>(f.ino)) + " " +
                std::to_string(static_cast<long long>(f.offset)) + " " + path + "\n";
    }
    if (text == _savedText) {
        return;
    }
    const std::string dir = _options.positionsFile.substr(0, _options.positionsFile.rfind('/'));
    ::mkdir(dir.c_str(), 0755);  // exists after the first time
    std::string error;
    if (!writeFileWhole(_options.positionsFile, text, &error)) {
        status().error(error);
        return;
    }
    _savedText = std::move(text);
}

bool FileProvider::sendLine(std::string_view line, Followed& f, off_t start, off_t end) {
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    if (line.find_first_not_of(" \t") == std::string_view::npos) {
        return true;
    }
    dp::RowSpec rowSpec;
    std::string reason;
    DProw row;
    if (!_options.format.parse(line, &rowSpec.values, &reason) || !dp::formatRow(rowSpec, *_group, &row, &reason)) {
        if (start >= f.counted) {  // read again after a hold: counted the first time
            status().malformed.fetch_add(1, std::memory_order_relaxed);
            VA_ERROR("Error: FILE %s: %s: malformed line: %s\n", status().name().c_str(), f.path.c_str(),
                     reason.c_str());
        }
        return true;
    }
    const int h = _session.handle(_options.group, _options.sourceName);
    if (f.held) {
        return false;  // the rows queued before, sent ahead of the source's online, stopped the file
    }
    if (h < 0) {
        hold(f, start);  // no source at the hub now (counted by the session): the line waits
        return false;
    }
    // Sent with the other lines of this file and round; a full batch goes at once, and its outcome
    // may already stop the file.
    _queued.push_back({start, end});
    _session.queue(h, DCH_NO_CONTROL_FIELD, row, _queued.size() - 1);
    return !f.held;
}

void FileProvider::hold(Followed& f, off_t at) {
    if (!f.held) {
        f.held = true;
        f.offset = at;
        f.skipping = false;  // a held line is a whole line
    }
}

void FileProvider::rowsDone(const std::vector<HubSession::RowOutcome>& rows, int rc) {
    if (_reading == nullptr || rows.empty()) {
        _queued.clear();
        return;
    }
    Followed& f = *_reading;
    size_t lastTaken = rows.size();
    for (size_t i = 0; i < rows.size(); ++i) {
        if (rows[i].status == 0) {
            lastTaken = i;
        }
    }
    const bool answered = rc == DCH_CLIENT_OK || rc == DCH_CLIENT_REFUSED;
    int skipped = 0;
    for (size_t i = 0; i < rows.size() && !f.held; ++i) {
        const Queued q = _queued[rows[i].tag];
        if (rows[i].status == 0) {
            if (q.start == f.refusedAt) {
                f.refusedAt = -1;
                f.refusals = 0;
            }
            continue;
        }
        if (lastTaken != rows.size() && i < lastTaken) {
            // The hub took a later row of this file: this one was refused for what it holds, and
            // sending it again would send the later ones twice.
            ++skipped;
            continue;
        }
        // The first row not taken with none taken after it: the file goes on from here next time.
        if (!answered) {
            hold(f, q.start);  // the hub may not have seen it: no refusal to count
            break;
        }
        f.refusals = q.start == f.refusedAt ? f.refusals + 1 : 1;
        f.refusedAt = q.start;
        if (f.refusals < kMaxRefusals) {
            hold(f, q.start);
            break;
        }
        VA_ERROR("Error: FILE %s: %s: the hub refused the line at offset %lld %d times; it is skipped\n",
                 status().name().c_str(), f.path.c_str(), static_cast<long long>(q.start), f.refusals);
        f.refusedAt = -1;
        f.refusals = 0;
        hold(f, q.end);  // the lines after it go next round
    }
    if (skipped > 0) {
        VA_ERROR("Error: FILE %s: %s: %d lines the hub refused are skipped (it took lines after them)\n",
                 status().name().c_str(), f.path.c_str(), skipped);
    }
    _queued.clear();
}

size_t FileProvider::readFile(Followed& f) {
    size_t lines = 0;
    f.held = false;
    _reading = &f;
    while (!f.held) {
        const off_t base = f.offset;
        ssize_t n = ::pread(f.fd, _buffer.data(), _buffer.size(), base);
        if (n <= 0) {
            break;
        }
        std::string_view data(_buffer.data(), static_cast<size_t>(n));
        size_t at = 0;
        if (f.skipping) {
            size_t end = data.find('\n');
            if (end == std::string_view::npos) {
                f.offset += n;
                continue;
            }
            f.skipping = false;
            at = end + 1;
        }
        while (at < data.size()) {
            size_t end = data.find('\n', at);
            if (end == std::string_view::npos) {
                break;
            }
            ++lines;
            const off_t start = base + static_cast<off_t>(at);
            const off_t next = base + static_cast<off_t>(end + 1);
            if (end - at > kMaxLine) {
                if (start >= f.counted) {
                    status().malformed.fetch_add(1, std::memory_order_relaxed);
                    VA_ERROR("Error: FILE %s: %s: line longer than %zu bytes skipped\n", status().name().c_str(),
                             f.path.c_str(), kMaxLine);
                }
            } else if (!sendLine(data.substr(at, end - at), f, start, next)) {
                break;  // held: the offset is where the file goes on
            }
            f.counted = std::max(f.counted, next);
            at = end + 1;
        }
        if (f.held) {
            break;
        }
        f.offset = base + static_cast<off_t>(at);
        if (data.size() - at > kMaxLine) {
            // No line end in sight: the line is too long; drop it up to its end.
            if (f.offset >= f.counted) {
                status().malformed.fetch_add(1, std::memory_order_relaxed);
                VA_ERROR("Error: FILE %s: %s: line longer than %zu bytes skipped\n", status().name().c_str(),
                         f.path.c_str(), kMaxLine);
            }
            f.offset += static_cast<off_t>(data.size() - at);
            f.counted = std::max(f.counted, f.offset);
            f.skipping = true;
            continue;
        }
        if (static_cast<size_t>(n) < _buffer.size()) {
            break;  // the rest is an unfinished line: read again when it is complete
        }
    }
    // The rows of this file go now; their outcome may still hold the file at an earlier line.
    _session.flush();
    _reading = nullptr;
    return lines;
}

size_t FileProvider::poll() {
    std::set<std::string> present;
    for (const std::string& pattern : _options.paths) {
        glob_t g{};
        if (::glob(pattern.c_str(), 0, nullptr, &g) == 0) {
            for (size_t i = 0; i < g.gl_pathc; ++i) {
                struct stat st {};
                if (::stat(g.gl_pathv[i], &st) == 0 && S_ISREG(st.st_mode)) {
                    present.insert(g.gl_pathv[i]);
                }
            }
        }
        globfree(&g);
    }

    size_t lines = 0;
    // Files followed so far: read to the end, then see whether the path still names the same file.
    for (auto it = _files.begin(); it != _files.end();) {
        Followed& f = it->second;
        lines += readFile(f);
        if (f.held) {
            ++it;  // lines wait for the hub: a rotation or removal is followed once they are sent
            continue;
        }
        struct stat now {};
        const bool exists = ::stat(f.path.c_str(), &now) == 0;
        if (!exists || now.st_dev != f.dev || now.st_ino != f.ino) {
            // Rotated or removed: what was written to the old file before the switch is read now.
            lines += readFile(f);
            if (f.held) {
                ++it;
                continue;
            }
            closeFile(f);
            VA_STATE("FILE %s: %s was %s\n", status().name().c_str(), f.path.c_str(), exists ? "rotated" : "removed");
            if (!exists) {
                it = _files.erase(it);
                continue;
            }
            f.offset = 0;  // the new file is read from its start below
            f.fd = ::open(f.path.c_str(), O_RDONLY | O_CLOEXEC);
            if (f.fd < 0) {
                it = _files.erase(it);
                continue;
            }
            f.dev = now.st_dev;
            f.ino = now.st_ino;
            f.skipping = false;
            f.refusedAt = -1;
            f.counted = 0;
            lines += readFile(f);
        } else if (now.st_size < f.offset) {
            VA_STATE("FILE %s: %s was truncated; reading from its start\n", status().name().c_str(), f.path.c_str());
            f.offset = 0;
            f.skipping = false;
            f.refusedAt = -1;
            f.counted = 0;
            lines += readFile(f);
        }
        ++it;
    }

    // Files seen for the first time: from the saved position when it is the same file.
    for (const std::string& path : present) {
        if (_files.count(path) != 0) {
            continue;
        }
        Followed f;
        f.path = path;
        f.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st {};
        if (f.fd < 0 || ::fstat(f.fd, &st) != 0) {
            status().error("cannot open " + path + ": " + std::strerror(errno));
            closeFile(f);
            continue;
        }
        f.dev = st.st_dev;
        f.ino = st.st_ino;
        auto saved = _saved.find(path);
        if (saved != _saved.end() && saved->second.dev == f.dev && saved->second.ino == f.ino) {
            // The same file: on from where the last run stopped, unless it was truncated since.
            f.offset = saved->second.offset <= st.st_size ? saved->second.offset : 0;
        } else if (saved == _saved.end() && _options.startAtEnd && _savedText.empty()) {
            f.offset = st.st_size;  // the very first run: only what is written from now on
        }
        VA_STATE("FILE %s: following %s from offset %lld\n", status().name().c_str(), path.c_str(),
                 static_cast<long long>(f.offset));
        auto [it, added] = _files.emplace(path, std::move(f));
        lines += readFile(it->second);
    }
    _saved.clear();  // from now on a new file is new
    savePositions();
    return lines;
}

void FileProvider::run(StopSignal& stop) {
    do {
        poll();
    } while (!waitFor(stop, _options.interval));
    _session.close();
}

std::unique_ptr<Provider> FileProvider::make(const Definition& d, const ProviderContext& context,
                                             dp::ParseError* error) {
    SourceOptions options;
    if (!options.parse(d.source[0].words, 0, {"group", "format", "delimiter", "fields", "interval", "source", "start"},
                       &error->reason)) {
        error->line = d.typeLine;
        return nullptr;
    }
    Options o;
    long interval = 1;
    if (!options.number("interval", 1, 86400, 1, &interval, &error->reason)) {
        error->line = d.typeLine;
        return nullptr;
    }
    o.interval = static_cast<double>(interval);
    o.group = options.get("group");
    for (char& c : o.group) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    if (o.group.empty() && d.app.groups.size() == 1) {
        o.group = d.app.groups[0].name;
    }
    const dp::GroupDesc* group = d.app.group(o.group);
    if (group == nullptr) {
        *error = {d.typeLine, o.group.empty() ? "FILE needs group=NAME (the application has several groups)"
                                              : "no group " + o.group + " in application " + d.app.name};
        return nullptr;
    }
    const std::string start = options.get("start", "beginning");
    if (start != "beginning" && start != "end") {
        *error = {d.typeLine, "start=" + start + " is not beginning or end"};
        return nullptr;
    }
    o.startAtEnd = start == "end";
    RecordFormat::Kind kind = RecordFormat::kDelimited;
    if (!RecordFormat::kindFromName(options.get("format", "delimited"), &kind)) {
        *error = {d.typeLine, "format=" + options.get("format") + " is not delimited, keyvalue, json or regex"};
        return nullptr;
    }
    std::vector<std::string> fields;
    if (options.has("fields")) {
        std::stringstream list(options.get("fields"));
        std::string name;
        while (std::getline(list, name, ',')) {
            fields.push_back(name);
        }
    }
    std::string pattern;
    int patternLine = d.typeLine;
    for (size_t i = 1; i < d.source.size(); ++i) {
        const SourceLine& l = d.source[i];
        if (l.words[0] == "path" && l.words.size() == 2) {
            o.paths.push_back(l.words[1]);
        } else if (l.words[0] == "pattern" && l.words.size() == 2 && pattern.empty()) {
            pattern = l.words[1];
            patternLine = l.line;
        } else {
            *error = {l.line, "a FILE source section has lines \"path PATH-OR-GLOB\" and one \"pattern REGEX\""};
            return nullptr;
        }
    }
    if (o.paths.empty()) {
        *error = {d.typeLine, "FILE needs at least one path line"};
        return nullptr;
    }
    if (!RecordFormat::make(kind, *group, options.get("delimiter"), fields, pattern, &o.format, &error->reason)) {
        error->line = kind == RecordFormat::kRegex ? patternLine : d.typeLine;
        return nullptr;
    }
    o.sourceName = options.get("source", context.sourceName);
    const std::string base = d.file.substr(d.file.rfind('/') + 1);
    o.positionsFile = context.workDirectory + "/positions/" + base + ".positions";
    return std::make_unique<FileProvider>("FILE:" + base, context.hub, d.app, std::move(o));
}

}  // namespace vorpane::providers
