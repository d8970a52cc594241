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

std::string escapeLabelValue(std::string_view value) {
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
    for (char c : help) {
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
