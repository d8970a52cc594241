#include "api/api_names.h"

#include <cctype>

#include "api/api_http.h"

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

bool sameApplication(std::string_view tableAppl, std::string_view subnodeAppl) {
    if (sameText(tableAppl, subnodeAppl)) {
        return true;
    }
    return tableAppl.size() == subnodeAppl.size() + 2 &&
           sameText(tableAppl.substr(0, subnodeAppl.size()), subnodeAppl) &&
           digit(tableAppl[tableAppl.size() - 1]) && digit(tableAppl[tableAppl.size() - 2]);
}

}  // namespace vorpane::api
