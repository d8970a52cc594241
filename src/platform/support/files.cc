// Files written whole or not at all.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "interfaces/support.h"

namespace vorpane {

bool writeFileWhole(const std::string& path, std::string_view content, std::string* error) {
    const std::string temp = path + ".tmp." + std::to_string(getpid());
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = "cannot create " + temp + ": " + std::strerror(errno);
        return false;
    }
    size_t at = 0;
    while (at < content.size()) {
        ssize_t n = ::write(fd, content.data() + at, content.size() - at);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            *error = "cannot write " + temp + ": " + std::strerror(errno);
            ::close(fd);
            ::unlink(temp.c_str());
            return false;
        }
        at += static_cast<size_t>(n);
    }
    const bool synced = ::fsync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    if (!synced || !closed) {
        *error = "cannot flush " + temp + ": " + std::strerror(errno);
        ::unlink(temp.c_str());
        return false;
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        *error = "cannot rename " + temp + " to " + path + ": " + std::strerror(errno);
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

}  // namespace vorpane
