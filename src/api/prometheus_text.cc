#include "api/prometheus_text.h"

#include <cctype>
#include <charconv>
#include <cmath>

namespace vorpane::api {

std::string metricName(std::string_view raw) {
    std::string out;
    out.reserve(raw.size() + 1);
    bool pendingUnderscore = false;
    for (char c : raw) {
        unsigned char u = static_cast<unsigned char>(c);
        if (std::isalnum(u)) {
            if (pendingUnderscore && !out.empty()) {
                out.push_back('_');
            }
            pendingUnderscore = false;
            out.push_back(static_cast<char>(std::tolower(u)));
        } else {
            pendingUnderscore = true;
        }
    }
    if (out.empty() || std::isdigit(static_cast<unsigned char>(out[0]))) {
        out.insert(out.begin(), '_');
    }
    return out;
}

std::string labelName(std::string_view raw) {
    // metricName never yields a leading "__": leading separators are dropped.
    return metricName(raw);
}

namespace {

// The length of the well-formed UTF-8 sequence at the start of text (no overlong form, no surrogate,
// nothing past U+10FFFF), or 0 when it starts with none.
size_t utf8Sequence(std::string_view text) {
    const auto byte = [&text](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) {
        return 1;
    }
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (text.size() < length || byte(1) < low || byte(1) > high) {
        return 0;
    }
    for (size_t i = 2; i < length; ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xBF) {
            return 0;
        }
    }
    return length;
}

}  // namespace

std::string validUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        const size_t n = utf8Sequence(text);
        if (n == 0) {
            out += "\xEF\xBF\xBD";  // U+FFFD REPLACEMENT CHARACTER
            text.remove_prefix(1);
        } else {
            out.append(text.substr(0, n));
            text.remove_prefix(n);
        }
    }
    return out;
}

std::string escapeLabelValue(std::string_view raw) {
    const std::string value = validUtf8(raw);
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '"':
                out += "\\\"";
                break;
            case '\n':
                out += "\\n";
                break;
            default:
                out.push_back(c);
        }
    }
    return out;
}

std::string numberText(double value) {
    if (std::isnan(value)) {
        return "NaN";
    }
    if (std::isinf(value)) {
        return value > 0 ? "+Inf" : "-Inf";
    }
    char number[64];
    // Without a format, to_chars writes the shortest text that parses back to the same double.
    const std::to_chars_result r = std::to_chars(number, number + sizeof number, value);
    return r.ec == std::errc() ? std::string(number, r.ptr) : "NaN";
}

std::string decimalText(int64_t value, int scale) {
    const bool negative = value < 0;
    // The magnitude as unsigned, so that the most negative value has one too.
    const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    std::string digits = std::to_string(magnitude);
    if (scale <= 0) {
        if (magnitude != 0) {
            digits.append(static_cast<size_t>(-scale), '0');
        }
    } else {
        const size_t places = static_cast<size_t>(scale);
        if (digits.size() <= places) {
            digits.insert(0, places + 1 - digits.size(), '0');
        }
        digits.insert(digits.size() - places, 1, '.');
        while (digits.back() == '0') {
            digits.pop_back();
        }
        if (digits.back() == '.') {
            digits.pop_back();
        }
    }
    return negative && digits != "0" ? "-" + digits : digits;
}

bool PrometheusText::family(const std::string& name, const char* type, std::string_view help) {
    if (!_families.insert(name).second) {
        return false;
    }
    _text += "# HELP ";
    _text += name;
    _text += ' ';
    for (char c : validUtf8(help)) {
        if (c == '\\') {
            _text += "\\\\";
        } else if (c == '\n') {
            _text += "\\n";
        } else {
            _text.push_back(c);
        }
    }
    _text += "\n# TYPE ";
    _text += name;
    _text += ' ';
    _text += type;
    _text += '\n';
    return true;
}

void PrometheusText::labelsAndName(const std::string& name, const Labels& labels) {
    _text += name;
    if (!labels.empty()) {
        _text += '{';
        for (size_t i = 0; i < labels.size(); ++i) {
            if (i > 0) {
                _text += ',';
            }
            _text += labels[i].first;
            _text += "=\"";
            _text += escapeLabelValue(labels[i].second);
            _text += '"';
        }
        _text += '}';
    }
    _text += ' ';
}

void PrometheusText::sample(const std::string& name, const Labels& labels, double value) {
    labelsAndName(name, labels);
    _text += numberText(value);
    _text += '\n';
}

void PrometheusText::sample(const std::string& name, const Labels& labels, std::string_view valueText) {
    labelsAndName(name, labels);
    _text += valueText;
    _text += '\n';
}

void PrometheusText::sample(const std::string& name, const Labels& labels, long long value) {
    labelsAndName(name, labels);
    _text += std::to_string(value);
    _text += '\n';
}

}  // namespace vorpane::api
