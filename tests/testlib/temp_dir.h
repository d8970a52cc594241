// A fresh directory under the system's temporary directory, removed with its contents at the end.
#pragma once

#include <string>

namespace vorpane::testing {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return _path; }
    std::string file(const std::string& name) const { return _path + "/" + name; }
    // Writes a file of the directory whole, making the directories of its name first.
    void write(const std::string& name, const std::string& content) const;
    std::string read(const std::string& name) const;

private:
    std::string _path;
};

// Writes text to path whole, making the directories of the path first.
void writeFile(const std::string& path, const std::string& text);
// The whole file; empty when it cannot be read.
std::string readFile(const std::string& path);
// The path of a program the test starts without a shell: found on PATH, then in the system's sbin
// and bin directories (daemons live in sbin, which a user's PATH may lack); empty when there is none.
std::string findProgram(const std::string& name);

}  // namespace vorpane::testing
