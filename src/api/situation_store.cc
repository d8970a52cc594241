#include "api/situation_store.h"

#include <sys/stat.h>

#include "api/api_config.h"

namespace vorpane::api {

bool SituationStore::load(std::vector<Json>* definitions, std::string* error) const {
    definitions->clear();
    struct stat st {};
    if (stat(_path.c_str(), &st) != 0) {
        return true;
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
        if (!j.is_object()) {
            *error = _path + " holds an entry that is not an object";
            definitions->clear();
            return false;
        }
        definitions->push_back(std::move(j));
    }
    return true;
}

bool SituationStore::save(const std::map<std::string, Json>& definitions, std::string* error) const {
    Json all = Json::array();
    for (const auto& [name, def] : definitions) {
        all.push_back(def);
    }
    return writeFileWhole(_path, all.dump(2) + "\n", 0600, error);
}

}  // namespace vorpane::api
