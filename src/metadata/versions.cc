#include "metadata/versions.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "interfaces/support.h"
#include "metadata/text_scanner.h"

namespace vorpane::metadata {
namespace {

uint16_t checksumOf(std::string_view text, std::size_t length) {
    // The covered length may run past the text (a keyed group counts its removed "@" marks): the
    // bytes past the text are zeros.
    if (length <= text.size()) {
        return ZOT0_ComputeCheckSum(text.data(), length);
    }
    std::string padded(text);
    padded.resize(length, '\0');
    return ZOT0_ComputeCheckSum(padded.data(), length);
}

std::string without(std::string_view text, char mark) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c != mark) {
            out.push_back(c);
        }
    }
    return out;
}

// Counts the "$" marks of text from position `from` on; their positions are counted from `from`.
void countAtomic(std::string_view text, std::size_t from, checksumRecord* record) {
    record->atomicAttrs = 0;
    record->atomicOffsets.clear();
    for (std::size_t i = from; i < text.size(); ++i) {
        if (text[i] == '$') {
            ++record->atomicAttrs;
            if (record->atomicOffsets.size() < kMaxAtomicOffsets) {
                record->atomicOffsets.push_back(static_cast<uint32_t>(i - from));
            }
        }
    }
}

std::string withSampleType(char sampleType, std::string_view block) {
    std::string out(1, sampleType);
    out += ',';
    out += block;
    return out;
}

}  // namespace

bool computeChecksumRecords(std::string_view applInfo, std::string_view attrInfo,
                            std::vector<checksumRecord>* records) {
    records->clear();
    TextScanner apps(applInfo);
    apps.next(",");  // the application name
    while (std::optional<std::string_view> record = apps.next(":")) {
        if (record->front() == ';') {
            break;
        }
        TextScanner fields(*record);
        std::optional<std::string_view> group = fields.next(",");
        if (!group) {
            VA_ERROR("Error: checksum - attrGroup token missing\n");
            return false;
        }
        std::optional<std::string_view> sample = fields.next(",");
        if (!sample) {
            VA_ERROR("Error: checksum - sampleType token missing\n");
            return false;
        }
        checksumRecord r;
        r.attrGroup.assign(*group);
        if (!fields.next(",")) {
            VA_ERROR("Error: checksum - TTL token missing for attrGroup <%s>\n", r.attrGroup.c_str());
            return false;
        }
        if (!fields.next(",")) {
            VA_DETAIL("Note: checksum - DP type token missing for attrGroup <%s>\n", r.attrGroup.c_str());
        }
        r.sampleType = (*sample == "S" || *sample == "K" || *sample == "N") ? 'P' : sample->front();
        records->push_back(std::move(r));
    }

    TextScanner blocks(attrInfo);
    for (checksumRecord& r : *records) {
        std::optional<std::string_view> block = blocks.next(";");
        if (!block) {
            break;
        }
        r.length = static_cast<uint32_t>(block->size() + 2);
        if (block->find_first_of("@$") == std::string_view::npos) {
            r.attrInfo = withSampleType(r.sampleType, *block);
            r.checksum = checksumOf(r.attrInfo, r.length);
            continue;
        }
        const std::string noKeys = without(*block, '@');
        countAtomic(noKeys, 0, &r);
        r.attrInfo = withSampleType(r.sampleType, noKeys);
        if (r.atomicAttrs == 0) {
            // The covered length still counts the removed "@" marks: zeros stand in for them.
            r.checksum = checksumOf(r.attrInfo, r.length);
        } else {
            r.length = static_cast<uint32_t>(noKeys.size() - r.atomicAttrs + 2);
            r.attrInfoWithoutAtomic = withSampleType(r.sampleType, without(noKeys, '$'));
            r.checksum = checksumOf(*r.attrInfoWithoutAtomic, r.length);
        }
    }
    return true;
}

bool incrementVersion(std::string_view oldVersion, std::string* newVersion, char type) {
    char v[3] = "";
    char r[3] = "";
    char m[3] = "";
    const std::string old(oldVersion);
    if (std::sscanf(old.c_str(), "%2[^.].%2[^.].%2s", v, r, m) < 1) {
        v[0] = '\0';
    }
    char* part = type == 'R' ? r : m;
    int level = 0;
    if (std::isdigit(static_cast<unsigned char>(part[0])) &&
        std::isdigit(static_cast<unsigned char>(part[1]))) {
        level = std::atoi(part);
    } else {
        VA_ERROR("Error: type<%c> oldver<%s> V<%s> R<%s> M<%s>\n", type, old.c_str(), v, r, m);
        level = 49;
    }
    ++level;
    if (level > 98) {
        if (type == 'R') {
            VA_ERROR("Error: Application release level reached 100.\n");
        } else {
            VA_ERROR("Error: Application modification level reached 100.\n");
        }
        return false;
    }
    char text[32];
    if (type == 'R') {
        std::snprintf(text, sizeof text, "%s.%-2.2d.%s", v, level, m);
    } else {
        std::snprintf(text, sizeof text, "%s.%s.%2.2d", v, r, level);
    }
    *newVersion = text;
    return true;
}

versionDecision decideVersion(const std::vector<checksumRecord>& current, std::string_view helpInfo,
                              const std::optional<std::string>& workFile, const char* applName,
                              const char* workFileName) {
    versionDecision d;
    auto firstCreation = [&]() {
        VA_STATE("Initial creation of catalog/attribute tables for applName <%s>\n", applName);
        d.cvrm = d.priorVRM = kFirstVersion;
        d.generate = true;
        return d;
    };
    if (!workFile) {
        return firstCreation();
    }

    std::vector<checksumRecord> stored;
    std::string fileVersion;
    bool helpFound = false;
    int savedHelp = 0;
    std::string_view text(*workFile);
    while (!text.empty() && !helpFound) {
        const std::size_t nl = text.find('\n');
        const std::string_view line = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
        TextScanner tokens(line);
        if (line.find("@HELP") != std::string_view::npos) {
            if (!tokens.next(" ")) {
                VA_ERROR("Error: @HELP token missing from workfile <%s>\n", workFileName);
                d.failed = true;
                return d;
            }
            std::optional<std::string_view> sum = tokens.next(" ");
            if (!sum) {
                VA_ERROR("Error: Help checksum token missing from workfile <%s>\n", workFileName);
                d.failed = true;
                return d;
            }
            savedHelp = std::atoi(std::string(*sum).c_str());
            helpFound = true;
            break;
        }
        std::optional<std::string_view> version = tokens.next(" ");
        if (!version) {
            VA_ERROR("Error: version token missing from workfile <%s>\n", workFileName);
            d.failed = true;
            return d;
        }
        fileVersion.assign(*version);
        d.priorVRM = fileVersion.substr(0, 8);
        if (fileVersion.rfind("03", 0) == 0) {
            fileVersion.replace(0, 2, "04");
            d.priorVRM.replace(0, 2, "04");
            VA_STATE("Note: Upgraded version from 03 to 04 for applName <%s>\n", applName);
        }
        std::optional<std::string_view> group = tokens.next(" ");
        if (!group) {
            VA_ERROR("Error: attrGroup token missing from workfile <%s>\n", workFileName);
            d.failed = true;
            return d;
        }
        std::optional<std::string_view> sum = tokens.next(" ");
        if (!sum) {
            VA_ERROR("Error: checksum token missing from workfile <%s>\n", workFileName);
            d.failed = true;
            return d;
        }
        std::optional<std::string_view> registration = tokens.next(" ");
        if (!registration) {
            VA_ERROR("Error: registration string token missing from workfile <%s>\n", workFileName);
            d.failed = true;
            return d;
        }
        checksumRecord r;
        r.attrGroup.assign(*group);
        r.checksum = static_cast<uint16_t>(std::atoi(std::string(*sum).c_str()));
        std::string_view body = *registration;
        if (!body.empty() && body.front() == '<') {
            body.remove_prefix(1);
        }
        if (!body.empty() && body.back() == '>') {
            body.remove_suffix(1);
        }
        r.attrInfo.assign(body);
        r.length = static_cast<uint32_t>(r.attrInfo.size());
        countAtomic(r.attrInfo, std::min<std::size_t>(2, r.attrInfo.size()), &r);
        r.length -= std::min<uint32_t>(r.length, r.atomicAttrs);

        const std::size_t i = stored.size();
        if (i >= current.size()) {
            VA_STATE("Note: [%d] attrGroup[%s] from previous registration removed.\n", static_cast<int>(i),
                     r.attrGroup.c_str());
            r.partialChecksum = 0;
        } else {
            const std::string& now =
                current[i].attrInfoWithoutAtomic ? *current[i].attrInfoWithoutAtomic : current[i].attrInfo;
            if (now.size() != r.length) {
                VA_ERROR("Warning: attrGroup <%s> fileChecksumInfo[%i]->length: %d attrInfo length: %d\n",
                         r.attrGroup.c_str(), static_cast<int>(i), static_cast<int>(r.length),
                         static_cast<int>(now.size()));
                if (now.size() < r.length) {
                    r.length = static_cast<uint32_t>(now.size());
                }
            }
            r.partialChecksum = ZOT0_ComputeCheckSum(now.data(), r.length);
        }
        stored.push_back(std::move(r));
    }
    if (stored.empty()) {
        // Without a group line there is no version to keep: start as a new application.
        return firstCreation();
    }

    int change = 0;
    const checksumRecord none;
    for (std::size_t i = 0; i < stored.size(); ++i) {
        const checksumRecord& was = stored[i];
        const checksumRecord& now = i < current.size() ? current[i] : none;
        if (was.checksum != now.checksum) {
            VA_STATE("Note: attrGroup<%s> attributes for version %s have changed.\n", was.attrGroup.c_str(),
                     fileVersion.c_str());
            if (was.checksum != was.partialChecksum) {
                change = 2;
                VA_STATE("The rr part of vv.rr.mm has changes.\n");
            } else {
                change = std::max(change, 1);
                VA_STATE("Only the mm part of vv.rr.mm has changes.\n");
            }
        } else if (was.atomicAttrs != now.atomicAttrs ||
                   (was.atomicAttrs > 0 && was.atomicOffsets != now.atomicOffsets)) {
            change = std::max(change, 1);
            VA_STATE("Note: atomic attributes have changed in attrGroup<%s> for version %s\n",
                     was.attrGroup.c_str(), fileVersion.c_str());
        }
    }
    if (!helpFound && change < 2) {
        change = 1;
    }
    if (change == 0 &&
        ZOT0_ComputeCheckSum(helpInfo.data(), helpInfo.size()) != static_cast<uint16_t>(savedHelp)) {
        change = 1;
        VA_STATE("Note: HelpText for application <%s> version %s has changed.\n", applName,
                 fileVersion.c_str());
    }
    d.change = change;
    if (change > 0) {
        std::string next;
        if (!incrementVersion(fileVersion, &next, change == 2 ? 'R' : 'M')) {
            d.failed = true;
            return d;
        }
        d.cvrm = next;
        d.generate = true;
        VA_ERROR("Generating new CAT, ATR & ODI with version %s for application <%s>\n", d.cvrm.c_str(),
                 applName);
    } else {
        d.cvrm = fileVersion.substr(0, 8);
        VA_STATE("Preserving existing version %s for application <%s>\n", d.cvrm.c_str(), applName);
    }
    return d;
}

std::string workFileText(const std::string& cvrm, const std::vector<checksumRecord>& records,
                         std::string_view helpInfo) {
    std::string out;
    out.reserve(helpInfo.size() + 4096);
    for (const checksumRecord& r : records) {
        out.append(cvrm).append(" ").append(r.attrGroup).append(" ").append(std::to_string(r.checksum));
        out.append(" <").append(r.attrInfo).append(">\n");
    }
    out.append("@HELP ").append(std::to_string(ZOT0_ComputeCheckSum(helpInfo.data(), helpInfo.size())));
    out.append(" <").append(helpInfo).append(">\n");
    return out;
}

}  // namespace vorpane::metadata
