// The Prometheus text exposition format (version 0.0.4): name and label sanitising, escaping, and a
// writer that keeps each metric family's lines together. Pure text in, text out.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vorpane::api {

using Labels = std::vector<std::pair<std::string, std::string>>;

// A metric name: letters, digits and "_" only, lower case, not starting with a digit; runs of other
// characters become one "_", and leading ones are dropped.
std::string metricName(std::string_view raw);
// A label name: the same rules; a sanitised name never begins with the reserved "__".
std::string labelName(std::string_view raw);
// Backslash, double quote and line feed escaped for a label value.
std::string escapeLabelValue(std::string_view value);

class PrometheusText {
public:
    // Starts a family: its HELP and TYPE lines. Samples that follow belong to it.
    void family(const std::string& name, const char* type, std::string_view help);
    void sample(const std::string& name, const Labels& labels, double value);
    void sample(const std::string& name, const Labels& labels, long long value);

    const std::string& text() const { return _text; }

private:
    void labelsAndName(const std::string& name, const Labels& labels);
    std::string _text;
};

}  // namespace vorpane::api
