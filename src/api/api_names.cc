#include "api/api_names.h"

#include <cctype>

#include "api/api_http.h"
#include "common/closest_names.h"

namespace vorpane::api {

namespace {

bool digit(char c) {
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

}  // namespace

size_t characterNumber(std::string_view text, size_t offset) {
    size_t n = 1;
    for (size_t i = 0; i < offset && i < text.size(); ++i) {
        n += (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 ? 1 : 0;
    }
    return n;
}

std::string controlCharacterProblem(std::string_view field, std::string_view text) {
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F) {
            return "\"" + std::string(field) + "\" holds a control character at character " +
                   std::to_string(characterNumber(text, i));
        }
    }
    return "";
}

std::string nameProblem(std::string_view field, std::string_view text, size_t maxLength) {
    if (std::string problem = controlCharacterProblem(field, text); !problem.empty()) {
        return problem;
    }
    if (text.empty() || text.size() > maxLength) {
        return "\"" + std::string(field) + "\" must be 1 to " + std::to_string(maxLength) + " characters";
    }
    return "";
}

std::string tableNameProblem(std::string_view field, std::string_view text) {
    if (std::string problem = nameProblem(field, text, kMaxTableName); !problem.empty()) {
        return problem;
    }
    for (char c : text) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '.' && c != '-') {
            return "\"" + std::string(field) + "\" must be 1 to " + std::to_string(kMaxTableName) +
                   " letters, digits, \"_\", \".\" or \"-\"";
        }
    }
    return "";
}

std::string tableRelease(std::string_view applName, std::string_view tableName) {
    if (applName.size() < 3 || tableName.size() < 3) {
        return "";  // a name that is nothing but a release has none
    }
    std::string_view release = applName.substr(applName.size() - 2);
    if (!digit(release[0]) || !digit(release[1]) || tableName.substr(tableName.size() - 2) != release) {
        return "";
    }
    return std::string(release);
}

TableStem tableStem(std::string_view applName, std::string_view tableName) {
    const size_t cut = tableRelease(applName, tableName).size();
    return TableStem{std::string(applName.substr(0, applName.size() - cut)),
                     std::string(tableName.substr(0, tableName.size() - cut))};
}

const axf::TableDesc* currentRelease(std::string_view applName, std::string_view tableName,
                                     const std::vector<axf::TableDesc>& tables) {
    // Names kept without their release are compared as they are, for an application whose own name
    // happens to end in the two digits its table names end in.
    const TableStem asGiven{std::string(applName), std::string(tableName)};
    const TableStem stem = tableStem(applName, tableName);
    auto same = [](const TableStem& a, const TableStem& b) {
        return sameText(a.applName, b.applName) && sameText(a.tableName, b.tableName);
    };
    const axf::TableDesc* best = nullptr;
    std::string bestRelease;
    for (const axf::TableDesc& t : tables) {
        TableStem s = tableStem(t.applName, t.tableName);
        if (!same(s, asGiven) && !same(s, stem)) {
            continue;
        }
        std::string release = tableRelease(t.applName, t.tableName);
        if (best == nullptr || release > bestRelease) {
            best = &t;
            bestRelease = std::move(release);
        }
    }
    return best;
}

namespace {

std::string tableLabel(const axf::TableDesc& t) {
    return t.application + "/" + (t.group.empty() ? t.tableName : t.group);
}

}  // namespace

TableMatch findTable(std::string_view applName, std::string_view tableName, const std::vector<axf::TableDesc>& tables) {
    TableMatch m;
    if (const axf::TableDesc* byCode = currentRelease(applName, tableName, tables)) {
        m.table = byCode;
        return m;
    }
    bool applicationKnown = false;
    for (const axf::TableDesc& t : tables) {
        if (!sameText(t.application, applName) && !sameText(t.applName, applName)) {
            continue;
        }
        applicationKnown = true;
        // The group's name, or the code with or without its release ("DSK" with "DSKTBL01").
        const TableStem stem = tableStem(t.applName, t.tableName);
        if (!(!t.group.empty() && sameText(t.group, tableName)) && !sameText(t.tableName, tableName) &&
            !sameText(stem.tableName, tableName)) {
            continue;
        }
        // One candidate per application and table: the highest release.
        bool merged = false;
        for (const axf::TableDesc*& c : m.candidates) {
            if (sameText(c->application, t.application) &&
                sameText(tableStem(c->applName, c->tableName).tableName, stem.tableName)) {
                if (t.release > c->release) {
                    c = &t;
                }
                merged = true;
            }
        }
        if (!merged) {
            m.candidates.push_back(&t);
        }
    }
    if (m.candidates.size() == 1) {
        m.table = m.candidates.front();
        m.candidates.clear();
        return m;
    }
    const std::string asked = std::string(applName) + "/" + std::string(tableName);
    if (m.candidates.size() > 1) {
        m.status = 409;
        m.message = asked + " names more than one table:";
        for (const axf::TableDesc* c : m.candidates) {
            m.message += " " + tableLabel(*c) + " (" + c->applName + "/" + c->tableName + ")";
        }
        return m;
    }
    m.status = 404;
    std::vector<std::string> known;
    if (!applicationKnown) {
        for (const axf::TableDesc& t : tables) {
            if (!t.internal) {
                known.push_back(t.application);
            }
        }
        m.message = "no application " + std::string(applName) + "; " + knownNames(applName, std::move(known), "applications");
        return m;
    }
    std::string application(applName);
    for (const axf::TableDesc& t : tables) {
        if (sameText(t.application, applName) || sameText(t.applName, applName)) {
            application = t.application;
            known.push_back(t.group.empty() ? t.tableName : t.group);
        }
    }
    m.message = "application " + application + " has no group " + std::string(tableName) + "; " +
                knownNames(tableName, std::move(known), "groups");
    return m;
}

}  // namespace vorpane::api
