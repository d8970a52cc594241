// userDataList: the metadata of one online application.
//
// Built once when an application comes online, from the three texts the provider registered with
// the hub (application, attribute and help information): one userDataListEntry per attribute group,
// in registration order, each owning the group's table layout (userDataInfo). While building, the
// list decides the application's version from its work file and writes the CAT, ATR and ODI files
// and the work file when something changed. Afterwards it is a read-only index of the groups,
// destroyed when the application goes offline.
//
// Thread use: built on one thread (the probe thread of the online path); _lock guards the ring while
// it is built and searched. Entries are read by other threads only through their userDataInfo.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/fixed_text.h"
#include "common/result.h"
#include "common/ring_list.h"
#include "interfaces/sync.h"
#include "metadata/metadata_types.h"
#include "metadata/user_data_info.h"
#include "metadata/versions.h"

namespace vorpane::metadata {

class userDataList;

// One attribute group of the application.
class userDataListEntry : public RingNode<userDataListEntry> {
public:
    // record: group "," sampleType "," TTL "," dpType. The layout is made at once; its columns come
    // with setAttributes.
    userDataListEntry(const userDataList& list, std::string_view record, const metadataSettings& settings,
                      tableLayoutHooks* hooks);
    ~userDataListEntry();

    // Gives the group its attribute text and help chunk and builds the layout's columns.
    // 0, or 1 when the columns could not be built.
    uint16_t setAttributes(std::string_view attrInfo, std::optional<std::string_view> helpChunk);

    userDataInfo* udi() const { return _udi.get(); }
    const char* applName() const { return _applName.c_str(); }  // application name + RR
    const char* RR() const { return _RR.c_str(); }
    const char* attrGroup() const { return _attrGroup.c_str(); }
    char sampleType() const { return _sampleType; }
    int32_t TTL() const { return _TTL; }
    const char* cvrm() const { return _cvrm.c_str(); }
    const char* priorVRM() const { return _priorVRM.c_str(); }
    const std::string& attrInfoText() const { return _attrInfo; }
    // The subnode suffix of the provider type (product agents), or nothing.
    const std::optional<std::string>& subnodeSuffix() const { return _subnodeSuffix; }
    uint16_t SNMPflag() const { return _SNMPflag; }
    uint16_t errors() const { return _errors; }
    userDataListEntry* Next() const { return ringNext(); }
    userDataListEntry* Prev() const { return ringPrev(); }

private:
    std::shared_ptr<userDataInfo> _udi;  // readers elsewhere may hold shares (userDataInfo)
    FixedText<22> _applName;
    FixedText<2> _RR;
    FixedText<32> _attrGroup;
    char _sampleType = '?';
    int32_t _TTL = 0;
    FixedText<8> _cvrm;
    FixedText<8> _priorVRM;
    std::string _attrInfo;
    std::optional<std::string> _subnodeSuffix;
    uint16_t _SNMPflag = 0;
    uint16_t _errors = 0;
};

class userDataList {
public:
    // Builds everything: fetches the texts from source, decides the version, builds the entries and
    // their layouts, and generates the files when the version decision asks for it. status() tells
    // whether it worked.
    userDataList(const char* applName, const metadataSettings& settings, applicationTextSource& source,
                 tableLayoutHooks* hooks = nullptr);
    ~userDataList();
    userDataList(const userDataList&) = delete;
    userDataList& operator=(const userDataList&) = delete;

    // 0 = good; 1 (or a hub result) = failed.
    uint16_t status() const { return static_cast<uint16_t>(_status.code()); }

    // The entry whose group is attrGroup, or null (also for a null or empty name).
    userDataListEntry* getUserDataListEntry(const char* attrGroup);
    // Copies the group's table name into tableName(). 1 when found, 0 otherwise.
    uint16_t setTableName(const char* attrGroup);
    // True when name was written before in this build; otherwise remembers it and returns false.
    bool findDomain(std::string_view name);

    // Whether the last build wrote the files (the version decision asked for it and it worked).
    bool filesGenerated() const { return _filesGenerated; }

    userDataListEntry* List() const { return _list.head(); }
    std::size_t noOfElements() const { return _list.size(); }
    const RingList<userDataListEntry>& entries() const { return _list; }

    const char* applName() const { return _applName.c_str(); }
    const char* applNameRR() const { return _applNameRR.c_str(); }
    const char* applKey() const { return _applKey.c_str(); }
    const char* applKeyRR() const { return _applKeyRR.c_str(); }
    const char* RR() const { return _RR.c_str(); }
    const char* cvrm() const { return _cvrm.c_str(); }
    const char* lvrm() const { return _lvrm.c_str(); }
    const char* priorVRM() const { return _priorVRM.c_str(); }
    const char* tableName() const { return _tableName.c_str(); }
    const char* affinity() const { return _affinity.c_str(); }
    const char* timestamp() const { return _timestamp.c_str(); }
    const std::string& workFile() const { return _workFile; }
    uint16_t noOfAttrGroups() const { return _noOfAttrGroups; }
    // Held while the list is built (and its files written) and searched; a reader of the generated
    // files holds it so that they are not rewritten under it.
    Mutex& mutex() VA_RETURN_CAPABILITY(_lock) { return _lock; }

    void printList() const;

private:
    friend class userDataListEntry;

    void build(const char* applName, applicationTextSource& source);
    // Writes the CAT, ATR and ODI files of every group, copies the ATR file into ATTRLIB and then
    // writes the work file. The files are replaced whole or not at all. 0, or 1 on failure. Only
    // during construction: it needs the hub's texts and the checksums, which the build then frees.
    uint16_t generateFiles(const std::string& workFile);
    userDataListEntry* findEntry(std::string_view attrGroup) const;
    void addAttrGroup(std::string_view record);
    uint16_t addAttrInfo(std::string_view group, std::string_view attributeList,
                         std::optional<std::string_view> helpChunk);
    // Fetches the texts, computes the checksums, reads the work file and decides the version.
    bool calculateChecksum(applicationTextSource& source);

    // Text of one group's part of each file, appended to *out; first: the application's first group.
    // applHelp and helpChunk: the application help and the group's chunk of the help information.
    // 0, or 1 on failure.
    uint16_t generateCATfile(const userDataListEntry& entry, bool first, std::string* out);
    uint16_t generateATRfile(const userDataListEntry& entry, bool first,
                             std::optional<std::string_view> applHelp,
                             std::optional<std::string_view> helpChunk, std::string* out);
    uint16_t generateODIfile(const userDataListEntry& entry, bool first,
                             std::optional<std::string_view> applHelp,
                             std::optional<std::string_view> helpChunk, std::string* out);
    // Copies the ATR file into the ATTRLIB directory. True after a complete copy.
    bool copyATRfile(const std::string& fileName, const std::string& contents);

    std::string pellanTime() const;

    const metadataSettings _settings;  // a copy: entries and layouts refer to it for their lifetime
    tableLayoutHooks* _hooks;
    Mutex _lock;
    RingList<userDataListEntry> _list;  // written under _lock while building; read-only afterwards
    StickyError _status;
    bool _filesGenerated = false;
    bool _generate = false;

    FixedText<20> _applName;
    FixedText<22> _applNameRR;
    FixedText<2> _RR;
    FixedText<3> _applKey;
    FixedText<5> _applKeyRR;
    FixedText<10> _tableName;
    FixedText<43> _affinity;
    FixedText<16> _timestamp;
    FixedText<8> _cvrm;
    FixedText<8> _lvrm;
    FixedText<8> _priorVRM;
    std::string _workFile;
    uint16_t _noOfAttrGroups = 0;

    // Only during construction and generation.
    std::string _applInfo, _attrInfo, _helpInfo;
    std::vector<checksumRecord> _checksumInfo;
    std::string _catalogBuffer;  // domain set: "D_xx;" per distinct domain, in order of use
    std::vector<std::string> _domainsWritten;
    int _columnNumber = 0;  // running colId across the groups of one generation
};

// The online path's entry point: builds the metadata of applName from the hub's texts.
std::unique_ptr<userDataList> buildUserDataList(const char* applName, const metadataSettings& settings,
                                                tableLayoutHooks* hooks);

}  // namespace vorpane::metadata
