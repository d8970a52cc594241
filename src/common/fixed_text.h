// FixedText<N>: text of at most N characters, always terminated.
//
// Field widths of the system (application names of 20, source names of 32, subnode names of 32 and
// 70, ...) are behaviour: a longer value is cut at N and the caller learns that it was cut. This is
// the one place those copies happen; the width is written only at the declaration.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

namespace vorpane {

template <std::size_t N>
class FixedText {
public:
    static constexpr std::size_t capacity = N;

    FixedText() { _buf[0] = '\0'; }
    FixedText(std::string_view text) { assign(text); }  // NOLINT: implicit by design, cuts at N

    // Copies at most N characters of text; returns false when text had to be cut.
    bool assign(std::string_view text) {
        std::size_t n = std::min(text.size(), N);
        if (n != 0) {
            std::memcpy(_buf.data(), text.data(), n);
        }
        _buf[n] = '\0';
        _len = n;
        return n == text.size();
    }
    bool assign(const char* text) { return assign(text == nullptr ? std::string_view() : std::string_view(text)); }

    // Copies at most N characters from a field that is not terminated and ends at its first NUL.
    bool assignField(const char* data, std::size_t length) {
        const void* nul = std::memchr(data, '\0', length);
        std::size_t n = nul != nullptr ? static_cast<std::size_t>(static_cast<const char*>(nul) - data) : length;
        return assign(std::string_view(data, n));
    }

    const char* c_str() const { return _buf.data(); }
    std::string_view view() const { return std::string_view(_buf.data(), _len); }
    std::string str() const { return std::string(view()); }
    std::size_t size() const { return _len; }
    bool empty() const { return _len == 0; }

    // Mutable access for in-place helpers (upper-casing, truncation). The helper must keep the text
    // terminated within N + 1 bytes; call resync() afterwards so the length follows.
    char* data() { return _buf.data(); }
    void resync() {
        _buf[N] = '\0';
        _len = std::strlen(_buf.data());
    }

    bool operator==(std::string_view other) const { return view() == other; }
    template <std::size_t M>
    bool operator==(const FixedText<M>& other) const {
        return view() == other.view();
    }

private:
    std::array<char, N + 1> _buf{};
    std::size_t _len = 0;
};

}  // namespace vorpane
