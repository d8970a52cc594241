#include "testlib/temp_dir.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace vorpane::testing {

TempDir::TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "vorpane-test-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    _path = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(_path, ec);
}

void TempDir::write(const std::string& name, const std::string& content) const { writeFile(file(name), content); }

std::string TempDir::read(const std::string& name) const { return readFile(file(name)); }

void writeFile(const std::string& path, const std::string& text) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

std::string findProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    const std::string dirs = std::string(path != nullptr ? path : "") + ":/usr/sbin:/usr/bin:/sbin:/bin";
    for (size_t start = 0; start <= dirs.size();) {
        const size_t end = std::min(dirs.find(':', start), dirs.size());
        if (end > start) {
            const std::string candidate = dirs.substr(start, end - start) + "/" + name;
            if (access(candidate.c_str(), X_OK) == 0) {
                return candidate;
            }
        }
        start = end + 1;
    }
    return "";
}

}  // namespace vorpane::testing
