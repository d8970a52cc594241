#include "api/situation_store.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "api/api_config.h"
#include "interfaces/support.h"

namespace vorpane::api {

bool SituationStore::load(std::vector<Json>* entries, std::string* error) const {
    entries->clear();
    struct stat st {};
    if (stat(_path.c_str(), &st) != 0) {
        if (errno == ENOENT) {
            return true;
        }
        *error = "cannot read " + _path + ": " + std::strerror(errno);
        return false;
    }
    std::string text;
    if (!readWholeFile(_path, &text)) {
        *error = "cannot read " + _path;
        return false;
    }
    Json parsed = Json::parse(text, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_array()) {
        *error = _path + " is not a JSON array";
        return false;
    }
    for (Json& j : parsed) {
        entries->push_back(std::move(j));
    }
    return true;
}

bool SituationStore::save(const std::vector<Json>& entries, std::string* error) const {
    Json all = Json::array();
    for (const Json& e : entries) {
        all.push_back(e);
    }
    return writeFileWhole(_path, all.dump(2) + "\n", 0600, error);
}

std::string SituationStore::setAside(std::string* error) const {
    const std::string aside = _path + ".unreadable." + std::to_string(clock::nowSeconds());
    if (std::rename(_path.c_str(), aside.c_str()) != 0) {
        *error = "cannot rename " + _path + " to " + aside + ": " + std::strerror(errno);
        return "";
    }
    return aside;
}

}  // namespace vorpane::api
