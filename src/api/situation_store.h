// The situations defined through the API, kept in <work directory>/api-situations.json so that the
// next start defines them again. The file holds a JSON array of the definitions as they were posted
// (the `where` text as written, the application and table without their release); it is written whole
// on every change. Not thread-safe: its owner (KeptSituations) calls it under its own lock.
#pragma once

#include <string>
#include <vector>

#include "api/api_json.h"

namespace vorpane::api {

inline constexpr const char* kSituationsFileName = "api-situations.json";

class SituationStore {
  public:
    explicit SituationStore(std::string path) : _path(std::move(path)) {}

    // Every entry of the file, usable or not (the caller keeps what it cannot use, so that a save
    // writes it back). A missing file is an empty list; false with *error when the file cannot be read
    // or is not a JSON array.
    bool load(std::vector<Json>* entries, std::string* error) const;
    bool save(const std::vector<Json>& entries, std::string* error) const;
    // Moves a file that load refused out of the way ("<file>.unreadable.<clock seconds>"), so that
    // saves do not overwrite what it holds: the name it has now, or "" with *error.
    std::string setAside(std::string* error) const;

    const std::string& path() const { return _path; }

  private:
    std::string _path;
};

}  // namespace vorpane::api
