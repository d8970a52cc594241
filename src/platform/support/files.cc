// Files written whole or not at all.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "interfaces/support.h"

namespace vorpane {
namespace {

std::string directoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The rename is only durable once the directory that holds the name is on disk too.
bool syncDirectory(const std::string& directory) {
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

bool allDigits(std::string_view text) {
    if (text.empty()) {
        return false;
    }
    for (const char c : text) {
        if (std::isdigit(static_cast<unsigned char>(c)) == 0) {
            return false;
        }
    }
    return true;
}

// The process id in a temporary file's name ("<name>.tmp.<pid>" or "<name>.tmp.<pid>.<n>"), or -1.
long temporaryOwner(std::string_view name) {
    const size_t tmp = name.rfind(".tmp.");
    if (tmp == std::string_view::npos || tmp == 0) {
        return -1;
    }
    std::string_view rest = name.substr(tmp + 5);
    const size_t dot = rest.find('.');
    const std::string_view pid = rest.substr(0, dot);
    if (!allDigits(pid) || pid.size() > 9 || (dot != std::string_view::npos && !allDigits(rest.substr(dot + 1)))) {
        return -1;
    }
    return std::stol(std::string(pid));
}

}  // namespace

WholeFile::WholeFile(std::string path, mode_t mode) : _path(std::move(path)), _mode(mode) {}

WholeFile::~WholeFile() { discard(); }

void WholeFile::discard() {
    if (!_temp.empty()) {
        ::unlink(_temp.c_str());
        _temp.clear();
    }
}

bool WholeFile::fail(Step step, const std::string& what, std::string* error) {
    _failedStep = step;
    _failedErrno = errno;
    if (error != nullptr) {
        *error = what + ": " + std::strerror(_failedErrno);
    }
    discard();
    return false;
}

bool WholeFile::stage(std::string_view content, std::string* error) {
    static std::atomic<unsigned long> sequence{0};
    discard();
    _failedStep = Step::none;
    _failedErrno = 0;
    _written = 0;
    _temp = _path + ".tmp." + std::to_string(getpid()) + "." + std::to_string(++sequence);
    const int fd = ::open(_temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, _mode);
    if (fd < 0) {
        const std::string temp = _temp;
        _temp.clear();  // not ours to remove
        return fail(Step::open, "cannot create " + temp, error);
    }
    // The mode asked for, whatever the umask took away.
    (void)::fchmod(fd, _mode);
    while (_written < content.size()) {
        const ssize_t n = ::write(fd, content.data() + _written, content.size() - _written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n == 0) {
                errno = EIO;
            }
            const bool failed = fail(Step::write, "cannot write " + _path, error);
            ::close(fd);
            return failed;
        }
        _written += static_cast<size_t>(n);
    }
    if (::fsync(fd) != 0) {
        const bool failed = fail(Step::flush, "cannot flush " + _path, error);
        ::close(fd);
        return failed;
    }
    if (::close(fd) != 0) {
        return fail(Step::flush, "cannot flush " + _path, error);
    }
    return true;
}

bool WholeFile::commit(std::string* error) {
    if (_temp.empty()) {
        errno = ENOENT;
        return fail(Step::rename, "nothing staged for " + _path, error);
    }
    if (::rename(_temp.c_str(), _path.c_str()) != 0) {
        return fail(Step::rename, "cannot rename " + _temp + " to " + _path, error);
    }
    _temp.clear();
    if (!syncDirectory(directoryOf(_path))) {
        VA_DETAIL("the directory of <%s> could not be flushed: errno=%d\n", _path.c_str(), errno);
    }
    return true;
}

bool writeFileWhole(const std::string& path, std::string_view content, std::string* error, mode_t mode) {
    WholeFile file(path, mode);
    return file.stage(content, error) && file.commit(error);
}

void rotateLog(const std::string& path, int keep) {
    if (keep < 1) {
        std::remove(path.c_str());
        return;
    }
    for (int i = keep - 1; i >= 1; --i) {
        const std::string from = path + "." + std::to_string(i);
        const std::string to = path + "." + std::to_string(i + 1);
        std::rename(from.c_str(), to.c_str());  // a missing older file is no failure
    }
    std::rename(path.c_str(), (path + ".1").c_str());
}

bool appendToLog(const std::string& path, std::string_view line, size_t limit, int keep) {
    // One lock for every such log: the lines of one log stay whole and its rotation is not raced.
    // Leaked on purpose: threads may still log while the process exits.
    static Mutex* lock = new Mutex();
    ScopedLock guard(*lock);
    struct stat st {};
    if (limit > 0 && ::stat(path.c_str(), &st) == 0 && st.st_size > 0 &&
        static_cast<size_t>(st.st_size) + line.size() + 1 > limit) {
        rotateLog(path, keep);
    }
    FILE* out = std::fopen(path.c_str(), "ae");
    if (out == nullptr) {
        return false;
    }
    const bool written = std::fwrite(line.data(), 1, line.size(), out) == line.size() && std::fputc('\n', out) != EOF;
    const int savedErrno = errno;
    const bool closed = std::fclose(out) == 0;
    errno = written ? errno : savedErrno;
    return written && closed;
}

int removeStaleTemporaries(const std::string& directory) {
    DIR* dir = ::opendir(directory.c_str());
    if (dir == nullptr) {
        return 0;
    }
    const long self = static_cast<long>(getpid());
    int removed = 0;
    while (const dirent* entry = ::readdir(dir)) {
        const long owner = temporaryOwner(entry->d_name);
        if (owner < 0 || owner == self) {
            continue;
        }
        const std::string path = directory + "/" + entry->d_name;
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
            continue;
        }
        if (::unlink(path.c_str()) == 0) {
            ++removed;
            VA_DETAIL("Removed the temporary file <%s> of process %ld\n", path.c_str(), owner);
        } else {
            VA_ERROR("Warning: the temporary file <%s> left by process %ld could not be removed: errno=%d\n",
                     path.c_str(), owner, errno);
        }
    }
    ::closedir(dir);
    if (removed > 0) {
        VA_ERROR("Note: removed %d temporary file(s) that a process killed while writing left in <%s>\n", removed,
                 directory.c_str());
    }
    return removed;
}

}  // namespace vorpane
