// The situations defined through the API, kept in <work directory>/api-situations.json so that the
// next start defines them again. The file holds a JSON array of the definitions as they were posted
// (the `where` text as written); it is written whole on every change. Not thread-safe: its owner
// (ApiServer) calls it under its own lock.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "api/api_json.h"

namespace vorpane::api {

inline constexpr const char* kSituationsFileName = "api-situations.json";

class SituationStore {
public:
    explicit SituationStore(std::string path) : _path(std::move(path)) {}

    // The kept definitions. A missing file is an empty list; false with *error when the file cannot be
    // read or is not a JSON array of objects (the caller keeps going with none).
    bool load(std::vector<Json>* definitions, std::string* error) const;
    bool save(const std::map<std::string, Json>& definitions, std::string* error) const;

    const std::string& path() const { return _path; }

private:
    std::string _path;
};

}  // namespace vorpane::api
