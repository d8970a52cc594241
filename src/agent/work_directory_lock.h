// The guard that keeps a second agent out of a work directory.
//
// Two agents over one work directory would append to the same table-manager work file and rewrite
// each other's generated files. The first agent holds an advisory write lock on one file in the
// directory for as long as it runs; the kernel drops the lock when the process ends in any way, so a
// crashed agent never blocks the next start. A second agent learns the holder's process id from the
// lock itself.
//
// Owned by the table-manager list, which takes it before it touches the work file.
#pragma once

#include <sys/types.h>

#include <string>

class workDirectoryLock {
public:
    workDirectoryLock() = default;
    ~workDirectoryLock();
    workDirectoryLock(const workDirectoryLock&) = delete;
    workDirectoryLock& operator=(const workDirectoryLock&) = delete;

    enum class Result { Acquired, HeldByOther, Failed };
    // Takes the lock on <directory>/vorpane-agent.lock. HeldByOther fills holder() with the process
    // that holds it; Failed (traced) when the file cannot be opened or locked for another reason.
    Result acquire(const std::string& directory);
    void release();

    pid_t holder() const { return _holder; }
    const std::string& path() const { return _path; }
    bool held() const { return _fd >= 0; }

private:
    std::string _path;
    int _fd = -1;
    pid_t _holder = 0;
};
