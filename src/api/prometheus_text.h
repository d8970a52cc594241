// The Prometheus text exposition format (version 0.0.4): name and label sanitising, escaping, and a
// writer that keeps each metric family's lines together. Pure text in, text out.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

namespace vorpane::api {

using Labels = std::vector<std::pair<std::string, std::string>>;

// A metric name: letters, digits and "_" only, lower case, not starting with a digit; runs of other
// characters become one "_", and leading ones are dropped.
std::string metricName(std::string_view raw);
// A label name: the same rules; a sanitised name never begins with the reserved "__".
std::string labelName(std::string_view raw);
// text with every byte that does not belong to a well-formed UTF-8 sequence replaced by U+FFFD:
// Prometheus refuses a whole page for one label value that is no UTF-8 (a key read from a Latin-1
// file).
std::string validUtf8(std::string_view text);
// Backslash, double quote and line feed escaped for a label value, made valid UTF-8.
std::string escapeLabelValue(std::string_view value);
// The shortest text that reads back as exactly value ("4.03", "1e+21", "NaN", "+Inf").
std::string numberText(double value);
// value / 10^scale written exactly in decimal, without trailing zeros ("4.03", "-0.5", "12"): no
// binary fraction comes between an integer and its text.
std::string decimalText(int64_t value, int scale);

class PrometheusText {
public:
    // Starts a family: its HELP (valid UTF-8) and TYPE lines. Samples that follow belong to it. A name may start
    // one family only: false (and nothing written) when it has started one already.
    bool family(const std::string& name, const char* type, std::string_view help);
    bool hasFamily(const std::string& name) const { return _families.count(name) != 0; }
    void sample(const std::string& name, const Labels& labels, double value);
    void sample(const std::string& name, const Labels& labels, long long value);
    // A value already written as a number's text.
    void sample(const std::string& name, const Labels& labels, std::string_view valueText);

    const std::string& text() const { return _text; }

private:
    void labelsAndName(const std::string& name, const Labels& labels);
    std::string _text;
    std::unordered_set<std::string> _families;
};

}  // namespace vorpane::api
