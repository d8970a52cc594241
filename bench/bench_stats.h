// Summaries of repeated measurements shared by the benches.
#pragma once

#include <algorithm>
#include <vector>

namespace vorpane::bench {

// The middle value (the mean of the two middle ones for an even count); 0 for none.
inline double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    if (v.empty()) {
        return 0;
    }
    const size_t mid = v.size() / 2;
    return v.size() % 2 == 1 ? v[mid] : (v[mid - 1] + v[mid]) / 2;
}

}  // namespace vorpane::bench
