// Text and name helpers of the support library.
#include <limits.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "interfaces/support.h"

namespace {

// One scan position per thread: the classic process-wide position would let one thread resume in
// another thread's buffer. Nested scans on one thread still disturb each other, as callers expect.
thread_local char* t_strtokPosition = nullptr;

bool isNameChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

bool isHelpSeparator(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return c == ',' || c == ':' || c == ';' || c == '"' || u < 0x20 || u == 0x7f;
}

}  // namespace

char* ZOT0_strtok(char* text, const char* delimiters) {
    char* p = text != nullptr ? text : t_strtokPosition;
    if (p == nullptr || delimiters == nullptr) {
        return nullptr;
    }
    p += std::strspn(p, delimiters);
    if (*p == '\0') {
        t_strtokPosition = nullptr;
        return nullptr;
    }
    char* token = p;
    p += std::strcspn(p, delimiters);
    if (*p != '\0') {
        *p = '\0';
        t_strtokPosition = p + 1;
    } else {
        t_strtokPosition = nullptr;
    }
    return token;
}

int ZOT0_ConvertStringToUpper(char* text, int /*reserved*/) {
    if (text == nullptr) {
        return 0;
    }
    for (char* p = text; *p != '\0'; ++p) {
        *p = static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
    }
    return 1;
}

int ZOT0_ConvertStringToUpper(std::string& text) {
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return 1;
}

void ZOT0_TruncateFromLeft(char* text, int length, int newLength) {
    // A new length that is not shorter, or a negative one, leaves the text alone.
    if (text == nullptr || newLength < 0 || length <= newLength) {
        return;
    }
    std::memmove(text, text + (length - newLength), static_cast<size_t>(newLength));
    text[newLength] = '\0';
}

void ZOT0_TruncateFromLeft(std::string& text, std::size_t newLength) {
    if (text.size() > newLength) {
        text.erase(0, text.size() - newLength);
    }
}

// The second argument of the original call names the caller; it does not limit the scan.
void ZOT0_RemoveCRandLF(char* text, int /*reserved*/) {
    if (text == nullptr) {
        return;
    }
    char* out = text;
    for (char* in = text; *in != '\0'; ++in) {
        if (*in != '\r' && *in != '\n') {
            *out++ = *in;
        }
    }
    *out = '\0';
}

void ZOT0_terminateString(char* field, char stop, int limit) {
    if (field == nullptr || limit < 1) {
        return;
    }
    for (int i = 0; i < limit - 1; ++i) {
        if (field[i] == stop || field[i] == '\0') {
            field[i] = '\0';
            return;
        }
    }
    field[limit - 1] = '\0';
}

char* ZOT0_SubValidNameCharacter(char* name) {
    if (name == nullptr) {
        return nullptr;
    }
    for (char* p = name; *p != '\0'; ++p) {
        if (!isNameChar(*p)) {
            *p = '_';
        }
    }
    return name;
}

void ZOT0_SubValidNameCharacter(std::string& name) {
    for (char& c : name) {
        if (!isNameChar(c)) {
            c = '_';
        }
    }
}

int ZOT0_IsThisAddressString(const char* text) {
    if (text == nullptr || *text == '\0') {
        return 0;
    }
    int dots = 0;
    int digits = 0;
    int value = 0;
    bool numbersOk = true;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p == '.') {
            if (digits == 0) {
                numbersOk = false;
            }
            ++dots;
            digits = 0;
            value = 0;
        } else if (std::isdigit(static_cast<unsigned char>(*p))) {
            if (++digits > 3) {
                numbersOk = false;
            }
            value = value * 10 + (*p - '0');
            if (value > 255) {
                numbersOk = false;
            }
        } else {
            return 0;
        }
    }
    if (digits == 0) {
        numbersOk = false;
    }
    if (dots == 3 && !numbersOk) {
        return 0;  // four parts, but not an address
    }
    return dots;
}

char* ZOTA_validateHelpText(char* text) {
    if (text == nullptr) {
        return nullptr;
    }
    for (char* p = text; *p != '\0'; ++p) {
        if (isHelpSeparator(*p)) {
            *p = ' ';
        }
    }
    return text;
}

void ZOTA_validateHelpText(std::string& text) {
    for (char& c : text) {
        if (isHelpSeparator(c)) {
            c = ' ';
        }
    }
}

std::string ZOT0_ConstructFullyQualifiedName(const char* directory, const char* name) {
    if (name == nullptr || *name == '\0') {
        return std::string();
    }
    std::string dir = (directory != nullptr && *directory != '\0') ? ZOT0_CheckPathSpec(directory) : vorpane::workDirectory();
    std::string full = dir.empty() ? std::string(name) : dir + "/" + name;
    if (full.size() >= PATH_MAX) {
        return std::string();
    }
    return full;
}

std::string ZOT0_CheckPathSpec(std::string_view path) {
    std::string out;
    out.reserve(path.size());
    for (char c : path) {
        if (c == '\\') {
            c = '/';
        }
        if (c == '/' && !out.empty() && out.back() == '/') {
            continue;
        }
        out.push_back(c);
    }
    while (out.size() > 1 && out.back() == '/') {
        out.pop_back();
    }
    return out;
}

std::string ZOT0_GetPellanTime(int /*reserved*/) {
    double now = vorpane::clock::now();
    time_t secs = static_cast<time_t>(now);
    int millis = static_cast<int>((now - static_cast<double>(secs)) * 1000.0);
    if (millis < 0 || millis > 999) {
        millis = 0;
    }
    struct tm tmv;
    localtime_r(&secs, &tmv);
    char text[32];
    std::snprintf(text, sizeof text, "%1d%02d%02d%02d%02d%02d%02d%03d", (tmv.tm_year / 100) % 10, tmv.tm_year % 100,
                  tmv.tm_mon + 1, tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec, millis);
    return std::string(text, 16);
}

uint16_t ZOT0_ComputeCheckSum(const void* data, std::size_t length) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < length; ++i) {
        crc ^= static_cast<uint16_t>(p[i] << 8);
        for (int b = 0; b < 8; ++b) {
            crc = (crc & 0x8000) != 0 ? static_cast<uint16_t>((crc << 1) ^ 0x1021) : static_cast<uint16_t>(crc << 1);
        }
    }
    return crc;
}

std::string ZOTA_ComputeChecksumOnAttrGroup(std::string_view attrGroup) {
    // FNV-1a over the name, written as five base-36 digits.
    uint32_t h = 2166136261u;
    for (char c : attrGroup) {
        h ^= static_cast<unsigned char>(c);
        h *= 16777619u;
    }
    static constexpr char kDigits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    uint32_t v = h % (36u * 36u * 36u * 36u * 36u);
    std::string code(5, '0');
    for (int i = 4; i >= 0; --i) {
        code[static_cast<size_t>(i)] = kDigits[v % 36];
        v /= 36;
    }
    return code;
}

bool ZOT0_IsValidPointer(const void* p) { return p != nullptr; }

void ZOT0_PrintDump(unsigned traceClass, const void* data, std::size_t length) {
    if (!vorpane::trace::enabled(traceClass) || data == nullptr) {
        return;
    }
    const unsigned char* p = static_cast<const unsigned char*>(data);
    for (std::size_t off = 0; off < length; off += 16) {
        char hex[16 * 3 + 1] = {0};
        char text[17] = {0};
        std::size_t n = length - off < 16 ? length - off : 16;
        for (std::size_t i = 0; i < n; ++i) {
            std::snprintf(hex + i * 3, 4, "%02X ", p[off + i]);
            text[i] = std::isprint(p[off + i]) ? static_cast<char>(p[off + i]) : '.';
        }
        vorpane::trace::printf(traceClass, __func__, "%08zX  %-48s %s\n", off, hex, text);
    }
}

int ZOTA_SetSubnodeName(const char* applName, const char* /*attrGroup*/, const char* sourceName, const char* rr,
                        vorpane::FixedText<32>* subnodeName, vorpane::FixedText<70>* untouched,
                        const char* subnodeSuffix) {
    if (applName == nullptr || *applName == '\0' || sourceName == nullptr || *sourceName == '\0') {
        return 1;
    }
    std::string tail = ":";
    if (subnodeSuffix != nullptr && *subnodeSuffix != '\0') {
        tail += subnodeSuffix;
    } else {
        tail += applName;
        tail += rr != nullptr ? rr : "";
    }
    std::string full = std::string(sourceName) + tail;
    if (full.size() > vorpane::FixedText<70>::capacity || tail.size() >= vorpane::FixedText<32>::capacity) {
        return 1;
    }
    if (untouched != nullptr) {
        untouched->assign(full);
    }
    if (subnodeName != nullptr) {
        std::string source(sourceName);
        ZOT0_TruncateFromLeft(source, vorpane::FixedText<32>::capacity - tail.size());
        subnodeName->assign(source + tail);
    }
    return 0;
}

int ZOTA_GetApplKeyFromSubNodeName(const char* subnodeName, vorpane::FixedText<3>* applKey) {
    if (subnodeName == nullptr) {
        return 1;
    }
    const char* colon = std::strrchr(subnodeName, ':');
    if (colon == nullptr || colon[1] == '\0') {
        return 1;
    }
    if (applKey != nullptr) {
        applKey->assign(colon + 1);
    }
    return 0;
}

int ZOTA_GetSrcNameFromSubNodeName(const char* subnodeName, std::string* sourceName) {
    if (subnodeName == nullptr) {
        return 1;
    }
    const char* colon = std::strrchr(subnodeName, ':');
    if (colon == nullptr || colon == subnodeName) {
        return 1;
    }
    if (sourceName != nullptr) {
        sourceName->assign(subnodeName, static_cast<size_t>(colon - subnodeName));
    }
    return 0;
}
