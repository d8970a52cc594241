// What a "no such name" answer tells a person: the names that exist and, when one is close to what
// was typed, that one first. Header-only, pure; used by the framework's facade (columns) and the
// management API (applications and groups).
#pragma once

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vorpane {

// Insertions, deletions, substitutions and swaps of two neighbours that turn a into b, letters
// compared case-blind.
inline size_t editDistance(std::string_view a, std::string_view b) {
    auto same = [](char x, char y) {
        return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
    };
    const size_t width = b.size() + 1;
    std::vector<size_t> d((a.size() + 1) * width);
    auto at = [&](size_t i, size_t j) -> size_t& { return d[i * width + j]; };
    for (size_t i = 0; i <= a.size(); ++i) {
        at(i, 0) = i;
    }
    for (size_t j = 0; j <= b.size(); ++j) {
        at(0, j) = j;
    }
    for (size_t i = 1; i <= a.size(); ++i) {
        for (size_t j = 1; j <= b.size(); ++j) {
            size_t best = std::min({at(i - 1, j) + 1, at(i, j - 1) + 1, at(i - 1, j - 1) + (same(a[i - 1], b[j - 1]) ? 0 : 1)});
            if (i > 1 && j > 1 && same(a[i - 1], b[j - 2]) && same(a[i - 2], b[j - 1])) {
                best = std::min(best, at(i - 2, j - 2) + 1);
            }
            at(i, j) = best;
        }
    }
    return at(a.size(), b.size());
}

// The known names within reach of name (at most a third of its length apart, at least one), nearest
// first; a known name that starts with name (case-blind) counts as near.
inline std::vector<std::string> closestNames(std::string_view name, const std::vector<std::string>& known) {
    const size_t reach = std::max<size_t>(1, name.size() / 3);
    std::vector<std::pair<size_t, std::string>> near;
    for (const std::string& k : known) {
        size_t d = editDistance(name, k);
        const bool prefix = !name.empty() && k.size() > name.size() && editDistance(name, k.substr(0, name.size())) == 0;
        if (d <= reach || prefix) {
            near.emplace_back(prefix ? std::min(d, reach) : d, k);
        }
    }
    std::stable_sort(near.begin(), near.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
    std::vector<std::string> out;
    for (auto& n : near) {
        if (std::find(out.begin(), out.end(), n.second) == out.end()) {
            out.push_back(std::move(n.second));
        }
    }
    return out;
}

// "did you mean CPU? groups: CPU, DISK, MEMORY": the close ones, then every known name (sorted, at most
// 30, then how many more); "no groups" when there are none. what names the kind in the plural.
inline std::string knownNames(std::string_view name, std::vector<std::string> known, std::string_view what) {
    if (known.empty()) {
        return "there are no " + std::string(what);
    }
    std::string out;
    const std::vector<std::string> near = closestNames(name, known);
    if (!near.empty()) {
        out += "did you mean ";
        for (size_t i = 0; i < near.size() && i < 3; ++i) {
            out += i == 0 ? "" : " or ";
            out += near[i];
        }
        out += "? ";
    }
    std::sort(known.begin(), known.end());
    known.erase(std::unique(known.begin(), known.end()), known.end());
    constexpr size_t kListed = 30;
    out += std::string(what) + ": ";
    for (size_t i = 0; i < known.size() && i < kListed; ++i) {
        out += i == 0 ? "" : ", ";
        out += known[i];
    }
    if (known.size() > kListed) {
        out += " and " + std::to_string(known.size() - kListed) + " more";
    }
    return out;
}

}  // namespace vorpane
