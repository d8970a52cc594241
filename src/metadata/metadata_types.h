// What the metadata of an application is built from, and what it asks of the rest of the agent.
//
// The metadata library is pure where it can be: the hub's three information texts come through an
// applicationTextSource, the settings of the configuration record through metadataSettings, and the
// table-manager and collection-thread side through tableLayoutHooks. The online path wires in the
// real ones; tests hand in fixed texts and no hooks.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace vorpane::metadata {

// The settings of the configuration record that shape metadata and generated files.
struct metadataSettings {
    int32_t maxAttrGroupsPerAppl = 64;  // ZOTA_MAX_ATTRGROUPS_PER_APPL
    int32_t maxIBColumns = 64;          // QIB_MAXCOLS
    char usageNormal = 'N';             // ZOTA_NODENAME_USAGE_NORMAL
    char timestampFormat = 'N';         // ZOTA_TIMESTAMP_FORMAT
    // The 16-character time stamps of the list and of the object-definition header. Empty: the
    // support library's clock (ZOT0_GetPellanTime). Tests fix it so generated files are comparable.
    std::function<std::string()> pellanTime;
};

// The three texts a provider registered, as the hub hands them to collectors.
class applicationTextSource {
public:
    virtual ~applicationTextSource() = default;
    // Each returns 0 and fills *out, or a value above 0 on failure.
    virtual int getApplications(const char* applName, std::string* out) = 0;
    virtual int getApplAttributes(const char* applName, std::string* out) = 0;
    virtual int getApplHelp(const char* applName, std::string* out) = 0;
};

// The hub over the client calls (dc_getApplications, dc_getApplAttributes, dc_getApplHelp).
applicationTextSource& hubApplicationTexts();

// The same texts held in memory (tests, tools).
class fixedApplicationTexts : public applicationTextSource {
public:
    fixedApplicationTexts(std::string applInfo, std::string attrInfo, std::string helpInfo)
        : _applInfo(std::move(applInfo)), _attrInfo(std::move(attrInfo)), _helpInfo(std::move(helpInfo)) {}
    int getApplications(const char*, std::string* out) override { return copy(_applInfo, out); }
    int getApplAttributes(const char*, std::string* out) override { return copy(_attrInfo, out); }
    int getApplHelp(const char*, std::string* out) override { return copy(_helpInfo, out); }

private:
    static int copy(const std::string& text, std::string* out) {
        *out = text;
        return 0;
    }
    std::string _applInfo, _attrInfo, _helpInfo;
};

class userDataInfo;

// The seam between a table layout and the table side: the framework's table managers (kept in the
// table-manager list) and the group's collection thread. Every call is made on the thread that
// builds the userDataList, except releaseLayout, which runs when the list is destroyed.
class tableLayoutHooks {
public:
    virtual ~tableLayoutHooks() = default;
    // The release changed: the table of the previous release (priorApplNameRR, priorTableName)
    // stops serving requests.
    virtual void retirePreviousTable(userDataInfo& layout, const std::string& priorApplNameRR,
                                     const std::string& priorTableName) = 0;
    // Finds the table manager of (layout.applNameRR(), layout.tableNameRR()), or creates and
    // remembers one, and records it in the layout (setTableManager). The manager does not get the
    // layout yet: its columns are not built. 0 on success, 1 on failure.
    virtual int attachTableManager(userDataInfo& layout) = 0;
    // The columns are known: hands the layout (owned by a shared_ptr) to its table manager, whose
    // readers take shares of it, and starts the group's collection thread. 0 on success, 1 on failure.
    virtual int startCollection(userDataInfo& layout) = 0;
    // The layout is going away: stop its collection thread and take it from its table manager, but
    // only if the manager still holds this layout (a newer one of the same table may be there).
    // Called once for every layout whose attachTableManager was called, whatever it returned.
    virtual void releaseLayout(userDataInfo& layout) = 0;
};

}  // namespace vorpane::metadata
