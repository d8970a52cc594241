// Versions and checksums of an application.
//
// An application's version is "vv.rr.mm". The release (rr) is part of its table names, so a release
// change makes new tables; a modification (mm) change only rewrites the generated files. The work
// file "zotaw<applKey>" keeps one checksum per group and one for the help text; comparing it with the
// current registration decides the version and whether the files are generated again.
//
// Everything here is a pure function of texts; the file is read and written by userDataList.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorpane::metadata {

inline constexpr char kFirstVersion[] = "04.00.00";
inline constexpr int kMaxChecksumGroups = 256;
inline constexpr std::size_t kMaxAtomicOffsets = 127;

// The checksum of one attribute group (of the current registration, or as read from a work file).
struct checksumRecord {
    char sampleType = '?';
    std::string attrGroup;
    std::string attrInfo;  // "%c,%s": sample type and the group block, "@" marks removed
    uint32_t length = 0;   // bytes the checksum covers
    uint16_t checksum = 0;
    uint16_t partialChecksum = 0;  // work file: the current text cut to the stored length
    uint16_t atomicAttrs = 0;      // "$" marks
    std::optional<std::string> attrInfoWithoutAtomic;
    std::vector<uint32_t> atomicOffsets;  // position of each "$" in the block, at most 127
};

// The group records of the current registration from the application and attribute information.
// False (traced) when a record lacks its group, sample type or TTL.
bool computeChecksumRecords(std::string_view applInfo, std::string_view attrInfo,
                            std::vector<checksumRecord>* records);

// What the work file and the current registration decide.
struct versionDecision {
    bool failed = false;
    bool generate = false;
    int change = 0;        // 0 none, 1 modification, 2 release
    std::string cvrm;      // current version
    std::string priorVRM;  // version found in the work file (cvrm when there was none)
};

// workFile is the work file's text, or nothing when it could not be read (first creation).
versionDecision decideVersion(const std::vector<checksumRecord>& current, std::string_view helpInfo,
                              const std::optional<std::string>& workFile, const char* applName,
                              const char* workFileName);

// Increments the release (type 'R') or modification ('M') of oldVersion into *newVersion.
// False (traced) when the level would reach 100.
bool incrementVersion(std::string_view oldVersion, std::string* newVersion, char type);

// The work file's text: one line per group, then the help line.
std::string workFileText(const std::string& cvrm, const std::vector<checksumRecord>& records,
                         std::string_view helpInfo);

}  // namespace vorpane::metadata
