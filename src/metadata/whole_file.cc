#include "metadata/whole_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "interfaces/support.h"

namespace vorpane::metadata {
namespace {

std::string directoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Writes contents to a new temporary file beside path; its name in *temp. 0, or 1 (traced).
int stage(const fileImage& file, std::string* temp) {
    std::string name = file.path + ".XXXXXX";
    const int fd = mkstemp(name.data());
    if (fd < 0) {
        VA_ERROR("Error: could not open <%s> for mode %s: errno=%d\n", file.path.c_str(), "w", errno);
        return 1;
    }
    *temp = name;
    // Readable like any file the agent writes; mkstemp makes it private to the owner.
    (void)fchmod(fd, 0644);
    std::size_t written = 0;
    while (written < file.contents.size()) {
        const ssize_t n = ::write(fd, file.contents.data() + written, file.contents.size() - written);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            VA_ERROR("Error: errno=%d wrote=%d writing <%s>", errno, static_cast<int>(written),
                     file.path.c_str());
            ::close(fd);
            return 1;
        }
        written += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0) {
        VA_ERROR("Error: errno=%d wrote=%d writing <%s>", errno, static_cast<int>(written),
                 file.path.c_str());
        ::close(fd);
        return 1;
    }
    if (::close(fd) != 0) {
        VA_ERROR("Error: errno=%d wrote=%d writing <%s>", errno, static_cast<int>(written),
                 file.path.c_str());
        return 1;
    }
    return 0;
}

void syncDirectory(const std::string& directory) {
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
        (void)::fsync(fd);
        ::close(fd);
    }
}

}  // namespace

int writeFilesWhole(const std::vector<fileImage>& files) {
    std::vector<std::string> temps;
    temps.reserve(files.size());
    for (const fileImage& file : files) {
        std::string temp;
        const int rc = stage(file, &temp);
        if (!temp.empty()) {
            temps.push_back(temp);
        }
        if (rc != 0) {
            for (const std::string& t : temps) {
                ::unlink(t.c_str());
            }
            return 1;
        }
    }
    int result = 0;
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (std::rename(temps[i].c_str(), files[i].path.c_str()) != 0) {
            VA_ERROR("Error: errno=%d renaming <%s> to <%s>\n", errno, temps[i].c_str(),
                     files[i].path.c_str());
            ::unlink(temps[i].c_str());
            result = 1;
            continue;
        }
        syncDirectory(directoryOf(files[i].path));
    }
    return result;
}

}  // namespace vorpane::metadata
