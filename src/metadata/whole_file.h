// The generated files and work files, replaced whole or not at all, with the trace lines of the
// metadata writers.
//
// A layer over the support library's WholeFile: each new file is written to a temporary file in its
// own directory, flushed to disk, and renamed over the old one, so a crash or a full disk leaves the
// old file or the new one, never a cut one. A set of files is staged completely before the first
// rename, so a failure while writing any of them leaves every old file in place.
#pragma once

#include <string>
#include <vector>

namespace vorpane::metadata {

struct fileImage {
    std::string path;
    std::string contents;
};

// 0 when every file was replaced; 1 (traced) when none was because one could not be staged.
int writeFilesWhole(const std::vector<fileImage>& files);

inline int writeFileWhole(const std::string& path, const std::string& contents) {
    return writeFilesWhole({fileImage{path, contents}});
}

}  // namespace vorpane::metadata
