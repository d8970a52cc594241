#include "api/prometheus_text.h"

#include <cctype>
#include <cmath>
#include <cstdio>

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

void PrometheusText::family(const std::string& name, const char* type, std::string_view help) {
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
    char number[40];
    if (std::isnan(value)) {
        std::snprintf(number, sizeof number, "NaN");
    } else if (std::isinf(value)) {
        std::snprintf(number, sizeof number, value > 0 ? "+Inf" : "-Inf");
    } else {
        std::snprintf(number, sizeof number, "%.17g", value);
    }
    _text += number;
    _text += '\n';
}

void PrometheusText::sample(const std::string& name, const Labels& labels, long long value) {
    labelsAndName(name, labels);
    _text += std::to_string(value);
    _text += '\n';
}

}  // namespace vorpane::api
