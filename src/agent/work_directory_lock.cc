#include "agent/work_directory_lock.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "interfaces/trace.h"

workDirectoryLock::~workDirectoryLock() { release(); }

workDirectoryLock::Result workDirectoryLock::acquire(const std::string& directory) {
    release();
    _path = directory.empty() ? std::string("vorpane-agent.lock") : directory + "/vorpane-agent.lock";
    _holder = 0;
    int fd = ::open(_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        VA_ERROR("Error: unable to open lock file <%s> errno=%d\n", _path.c_str(), errno);
        return Result::Failed;
    }
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (::fcntl(fd, F_SETLK, &lock) != 0) {
        const int error = errno;
        if (error == EACCES || error == EAGAIN) {
            struct flock probe {};
            probe.l_type = F_WRLCK;
            probe.l_whence = SEEK_SET;
            if (::fcntl(fd, F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK) {
                _holder = probe.l_pid;
            }
            ::close(fd);
            return Result::HeldByOther;
        }
        VA_ERROR("Error: unable to lock <%s> errno=%d\n", _path.c_str(), error);
        ::close(fd);
        return Result::Failed;
    }
    // The holder's id in the file too, for people looking at the directory; the lock is what counts.
    char pid[32];
    int n = std::snprintf(pid, sizeof pid, "%ld\n", static_cast<long>(::getpid()));
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid, static_cast<size_t>(n), 0) != n) {
        VA_ERROR("Warning: unable to write the process id into <%s> errno=%d\n", _path.c_str(), errno);
    }
    _fd = fd;
    return Result::Acquired;
}

void workDirectoryLock::release() {
    if (_fd >= 0) {
        ::close(_fd);  // closing the descriptor drops the lock
        _fd = -1;
    }
}
