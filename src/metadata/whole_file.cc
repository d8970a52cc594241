#include "metadata/whole_file.h"

#include <memory>

#include "interfaces/support.h"

namespace vorpane::metadata {

int writeFilesWhole(const std::vector<fileImage>& files) {
    std::vector<std::unique_ptr<WholeFile>> staged;
    staged.reserve(files.size());
    // Every file is staged before the first one replaces its old file; a failure removes them all.
    for (const fileImage& file : files) {
        staged.push_back(std::make_unique<WholeFile>(file.path));
        WholeFile& f = *staged.back();
        if (!f.stage(file.contents, nullptr)) {
            if (f.failedStep() == WholeFile::Step::open) {
                VA_ERROR("Error: could not open <%s> for mode %s: errno=%d\n", file.path.c_str(), "w",
                         f.failedErrno());
            } else {
                VA_ERROR("Error: errno=%d wrote=%d writing <%s>", f.failedErrno(), static_cast<int>(f.bytesWritten()),
                         file.path.c_str());
            }
            return 1;
        }
    }
    int result = 0;
    for (std::unique_ptr<WholeFile>& f : staged) {
        std::string error;
        if (!f->commit(&error)) {
            VA_ERROR("Error: %s\n", error.c_str());
            result = 1;
        }
    }
    return result;
}

}  // namespace vorpane::metadata
