// Splits the hub's comma-, colon- and semicolon-separated texts the way the support library's
// tokenizer does (leading delimiters skipped, no empty tokens), but over a string_view and with its
// own position, so parsing never writes into the text and never shares a position between threads.
#pragma once

#include <optional>
#include <string_view>

namespace vorpane::metadata {

class TextScanner {
public:
    explicit TextScanner(std::string_view text) : _rest(text) {}

    // The next token up to one of delimiters, or nothing at the end of the text.
    std::optional<std::string_view> next(std::string_view delimiters) {
        const std::size_t start = _rest.find_first_not_of(delimiters);
        if (start == std::string_view::npos) {
            _rest = std::string_view();
            return std::nullopt;
        }
        _rest.remove_prefix(start);
        const std::size_t end = _rest.find_first_of(delimiters);
        std::string_view token = _rest.substr(0, end);
        _rest = end == std::string_view::npos ? std::string_view() : _rest.substr(end + 1);
        return token;
    }

    // What follows the delimiter of the last token.
    std::string_view rest() const { return _rest; }

private:
    std::string_view _rest;
};

}  // namespace vorpane::metadata
