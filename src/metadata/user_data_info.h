// userDataInfo: the column layout of one attribute group's table.
//
// Built on the thread that builds the application's userDataList: the constructor names the table
// and finds its table manager, prepareAttributesImages adds the columns once and then hands the
// complete layout to the table manager and starts the collection thread (through the hooks).
// Afterwards the layout is read-only, read by the collection thread, the framework's and the API's
// threads and the file writers.
//
// Ownership: its userDataListEntry holds it in a shared_ptr. Readers on other threads take a share
// from the table manager (zot_vorpane_manager::layout()) and keep it while they read, so a layout
// whose application goes offline meanwhile stays whole under them. retire(), when the entry goes,
// stops the collection thread and takes the layout from its table manager (only if the manager still
// holds this layout, not a newer one); the last share frees it. The lock and terminateCond serve only
// the shutdown hand-shake with the collection thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/fixed_text.h"
#include "interfaces/sync.h"
#include "metadata/metadata_types.h"

namespace vorpane::metadata {

class userDataListEntry;

// Column types.
inline constexpr uint16_t kTypeInteger = 1;
inline constexpr uint16_t kTypeString = 2;
inline constexpr uint16_t kTypeTimestamp = 3;
inline constexpr uint16_t kTypeIntegerEnum = 4;
inline constexpr uint16_t kTypeStringEnum = 5;

// Width of the ORIGINNODE column that starts every row image.
inline constexpr uint16_t kOriginNodeLength = 32;

// One column.
struct attrInfo_t {
    std::string attrName;      // as registered, without the "@"/"$" marks
    FixedText<10> columnName;  // ORIGINNODE, VA1, VA2, ...
    FixedText<15> typeString;  // S<n>, I2, I4 or T16
    uint16_t type = 0;         // kType...
    uint16_t length = 0;       // bytes in the row image
    uint16_t key = 0;          // "@"
    uint16_t atomic = 0;       // "$"
    uint16_t precision = 0;    // PRECISION{n}
    uint16_t scale = 0;        // SCALE{n}
    uint16_t offset = 0;       // byte offset in the row image
    int32_t minimum = 0;
    int32_t maximum = 0;
    std::optional<std::string> enumStr;  // the items of ENUM{...}: "name(value) name(value)"
    std::optional<std::string> captionStr;
    std::string unit;  // UNIT{name}: "MiB", "percent", ...; empty when the attribute declares none
    std::string help;  // the attribute's help text
    char attrType = 0;  // the registered type letter (A, C, G, S, D, T); 0 for ORIGINNODE
};

class userDataInfo : public std::enable_shared_from_this<userDataInfo> {
public:
    // Copies the entry's names and versions, retires the previous release's table when the release
    // changed and attaches a table manager (through hooks, when given).
    userDataInfo(userDataListEntry& entry, const metadataSettings& settings, tableLayoutHooks* hooks);
    ~userDataInfo();
    userDataInfo(const userDataInfo&) = delete;
    userDataInfo& operator=(const userDataInfo&) = delete;

    // Builds the columns from the group's attribute text ("name,letter,length:" each) and the
    // group's help chunk (none: no presentation details), then hands the layout to its table manager
    // and starts the collection thread. 0 when good, 1 when a column was refused.
    // The layout must be owned by a shared_ptr by then (readers take shares of it).
    uint16_t prepareAttributesImages(std::string_view attrInfo, std::optional<std::string_view> helpStr);

    // applKey + group code + (rr, or the current release when rr is empty).
    std::string generateTableName(std::string_view rr) const;

    // The column named columnName: true and its offset, length and type; false with type -1.
    bool columnInfo(std::string_view columnName, int* offset, int* length, int* type) const;

    const attrInfo_t& attrInfo(std::size_t i) const { return _columns[i]; }
    const std::vector<attrInfo_t>& columns() const { return _columns; }
    uint16_t noOfColumns() const { return static_cast<uint16_t>(_columns.size()); }
    uint16_t rowSize() const { return _rowSize; }
    uint16_t columnOffset(std::size_t i) const { return _columns[i].offset; }
    uint16_t columnLength(std::size_t i) const { return _columns[i].length; }
    uint16_t columnType(std::size_t i) const { return _columns[i].type; }
    bool columnKeyed(std::size_t i) const { return _columns[i].key != 0; }
    const char* tableNameRR() const { return _tableNameRR.c_str(); }
    const char* applKey() const { return _applKey.c_str(); }
    const char* applNameRR() const { return _applNameRR.c_str(); }
    const char* applName() const { return _applName.c_str(); }
    const char* attrGroup() const { return _attrGroup.c_str(); }
    // The group's help text ("" when none was registered).
    const std::string& groupHelp() const { return _groupHelp; }
    const char* RR() const { return _RR.c_str(); }
    const char* cvrm() const { return _cvrm.c_str(); }
    const char* priorVRM() const { return _priorVRM.c_str(); }
    char sampleType() const { return _sampleType; }
    int32_t TTL() const { return _TTL; }
    bool SNMPflag() const { return _SNMPflag; }
    uint16_t errors() const { return _errors; }
    // The group the layout was built for; null once retired (the collection thread alone uses it).
    userDataListEntry* userDataListEntryPtr() const { return _entry; }

    // The layout's group is going away: the collection thread stops and the table manager lets go of
    // this layout (through the hooks). Readers that hold a share keep a whole layout. Idempotent.
    void retire();

    // The collection thread's side of the shutdown hand-shake.
    Mutex& lock() { return _lock; }
    CondVar& terminateCond() { return _terminateCond; }
    void setClientObject(void* clientObject) { _clientObject = clientObject; }
    void* clientObject() const { return _clientObject; }
    // The framework table manager the hooks attached (opaque here).
    void setTableManager(void* tableManager) { _tableManager = tableManager; }
    void* tableManager() const { return _tableManager; }

    void printSelf() const;

private:
    // Reads the help text, CAPTION, PRECISION, SCALE, UNIT and ENUM of the help record at record (which starts with the
    // attribute's name). False when the record is malformed.
    bool readHelpRecord(attrInfo_t& column, std::string_view record);

    userDataListEntry* _entry;
    const metadataSettings _settings;
    tableLayoutHooks* _hooks;
    bool _attached = false;  // the hooks were asked for a table manager, so they are told of the end
    FixedText<20> _applName;
    FixedText<3> _applKey;
    FixedText<22> _applNameRR;
    FixedText<10> _tableNameRR;
    FixedText<32> _attrGroup;
    std::string _groupHelp;
    FixedText<2> _RR;
    FixedText<8> _cvrm;
    FixedText<8> _priorVRM;
    char _sampleType = '?';
    bool _SNMPflag = false;
    int32_t _TTL = 0;
    std::vector<attrInfo_t> _columns;
    uint16_t _rowSize = 0;
    uint16_t _errors = 0;
    void* _tableManager = nullptr;
    void* _clientObject = nullptr;
    Mutex _lock;
    CondVar _terminateCond;
};

}  // namespace vorpane::metadata
