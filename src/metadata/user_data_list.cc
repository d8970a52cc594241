#include "metadata/user_data_list.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "interfaces/dch_client.h"
#include "interfaces/support.h"
#include "metadata/text_scanner.h"

namespace vorpane::metadata {
namespace {

constexpr std::size_t kMaxGroupRecord = 200;

std::string_view releaseOf(std::string_view version) {
    return version.size() >= 5 ? version.substr(3, 2) : "";
}

// Product-specification items naming the subnode suffix of each provider type.
struct SuffixItem {
    const char* dpType;
    int item;
};
constexpr SuffixItem kSuffixItems[] = {
    {"APIS", 37}, {"ASFS", 38}, {"FILE", 39}, {"HTTP", 40}, {"ODBC", 41},
    {"POST", 42}, {"SNMP", 43}, {"SOCK", 44}, {"WBEM", 45},
};

class hubTexts : public applicationTextSource {
public:
    int getApplications(const char* applName, std::string* out) override {
        return dc_getApplications(out, applName);
    }
    int getApplAttributes(const char* applName, std::string* out) override {
        return dc_getApplAttributes(out, applName);
    }
    int getApplHelp(const char* applName, std::string* out) override { return dc_getApplHelp(out, applName); }
};

std::optional<std::string> readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

}  // namespace

applicationTextSource& hubApplicationTexts() {
    static hubTexts* texts = new hubTexts();  // stateless; used by probe threads that may outlive main
    return *texts;
}

// ---------------------------------------------------------------------------------------------------
// userDataListEntry

userDataListEntry::userDataListEntry(const userDataList& list, std::string_view record,
                                     const metadataSettings& settings, tableLayoutHooks* hooks) {
    _applName.assign(list.applNameRR());
    _cvrm.assign(list.cvrm());
    _priorVRM.assign(list.priorVRM());
    _RR.assign(releaseOf(_cvrm.view()));

    TextScanner fields(record);
    std::optional<std::string_view> group = fields.next(",");
    if (!group) {
        VA_ERROR("Error: attrGroup token missing for applName <%s>\n", _applName.c_str());
        _errors = 1;
    } else {
        _attrGroup.assign(*group);
    }
    if (_errors == 0) {
        std::optional<std::string_view> sample = fields.next(",");
        if (!sample) {
            VA_ERROR("Error: sampleType token missing for applName <%s>\n", _applName.c_str());
            _errors = 1;
        } else if (*sample == "N") {
            _sampleType = 'K';
            _SNMPflag = 1;
        } else {
            _sampleType = sample->front();
        }
    }
    if (_errors == 0) {
        std::optional<std::string_view> ttl = fields.next(",");
        if (!ttl) {
            VA_ERROR("Error: TTL token missing for applName <%s>\n", _applName.c_str());
            _errors = 1;
        } else {
            _TTL = std::atoi(std::string(*ttl).c_str());
        }
    }
    if (_errors == 0) {
        // The provider type may be absent; then the subnodes simply carry no suffix.
        const std::string dpType(fields.rest());
        if (dpType.empty()) {
            VA_ERROR("Error: DP type token missing for applName <%s>\n", _applName.c_str());
        } else if (dpType.size() != 4) {
            VA_DETAIL("Note: skipping DP type token <%s> for applName <%s>\n", dpType.c_str(),
                      _applName.c_str());
        } else if (productAgent()) {
            for (const SuffixItem& s : kSuffixItems) {
                if (dpType == s.dpType) {
                    _subnodeSuffix = ZOT0_QueryProductSpec(s.item);
                }
            }
            if (!_subnodeSuffix) {
                VA_DETAIL(
                    "Did not find matching SUBNODE_APPEND PSF statement for DP type <%s> applName <%s>\n",
                    dpType.c_str(), _applName.c_str());
            }
        }
    }
    _udi = std::make_shared<userDataInfo>(*this, settings, hooks);
    if (_udi->errors() != 0) {
        _errors = 1;
    }
}

userDataListEntry::~userDataListEntry() {
    // The table side lets go now; a reader's share keeps the layout itself until it is done.
    if (_udi) {
        _udi->retire();
    }
}

uint16_t userDataListEntry::setAttributes(std::string_view attrInfo,
                                          std::optional<std::string_view> helpChunk) {
    _attrInfo.assign(attrInfo);
    if (_udi->prepareAttributesImages(_attrInfo, helpChunk) != 0) {
        VA_ERROR("Error: prepareAttributesImages failed for _attrInfo @%p userDataListEntry @%p\n",
                 static_cast<void*>(_attrInfo.data()), static_cast<void*>(this));
        _errors = 1;
    }
    return _errors;
}

// ---------------------------------------------------------------------------------------------------
// userDataList

userDataList::userDataList(const char* applName, const metadataSettings& settings,
                           applicationTextSource& source, tableLayoutHooks* hooks)
    : _settings(settings), _hooks(hooks) {
    bool generate = false;
    {
        ScopedLock guard(_lock);
        if (!guard.ok()) {
            VA_ERROR("Error: ZOTA_GetLock failed rc=%d for userDataList <%s>\n", guard.rc(),
                     applName != nullptr ? applName : "");
            _status.set(1);
        } else {
            build(applName, source);
            generate = _status.code() == 0 && _generate;
        }
    }
    if (_status.code() == 0 && trace::enabled(trace::kFlow) && VA_Debug() == 1) {
        printList();
    }
    if (generate && generateFiles(_workFile) != 0) {
        VA_ERROR("Error: generateFiles failed.\n");
        _status.set(1);
    }
    // Only the entries remain after the build.
    _applInfo.clear();
    _attrInfo.clear();
    _helpInfo.clear();
    _applInfo.shrink_to_fit();
    _attrInfo.shrink_to_fit();
    _helpInfo.shrink_to_fit();
    _checksumInfo.clear();
    _checksumInfo.shrink_to_fit();
    _catalogBuffer.clear();
    _domainsWritten.clear();
}

userDataList::~userDataList() {
    _list.clear();
    if (!_list.empty()) {
        VA_ERROR("Error: _noOfElements %d is not 0 at exit.\n", static_cast<int>(_list.size()));
    }
}

void userDataList::build(const char* applName, applicationTextSource& source) {
    if (applName == nullptr || *applName == '\0') {
        VA_ERROR("Error: no application name for userDataList\n");
        _status.set(1);
        return;
    }
    _checksumInfo.reserve(static_cast<std::size_t>(std::max(_settings.maxAttrGroupsPerAppl, 0)));
    std::optional<std::string> affinity = ZOT0_QueryProductSpec(ZOT2_SUBNODE_AFF_STRING);
    if (!affinity) {
        VA_ERROR("Error: ZOT0_QueryProductSpec(ZOT2_SUBNODE_AFF_STRING) returned NULL.\n");
        _status.set(1);
    } else {
        _affinity.assign(*affinity);
    }
    _timestamp.assign(pellanTime());
    _applName.assign(applName);
    _applNameRR.assign(applName);
    _applKey.assign(_applName.view().substr(0, 3));
    _workFile = ZOT0_ConstructFullyQualifiedName(nullptr, (std::string("zotaw") + _applKey.c_str()).c_str());
    if (_workFile.empty()) {
        VA_ERROR("Error: Could not build fully qualified file name.\n");
        _status.set(1);
    }
    if (_status) {
        return;
    }
    _generate = calculateChecksum(source);
    if (_status) {
        return;
    }
    _applNameRR.assign(std::string(_applName.view()) + _RR.c_str());

    TextScanner groups(_applInfo);
    groups.next(",");  // the application name
    while (std::optional<std::string_view> record = groups.next(":")) {
        if (record->front() == ';') {
            break;
        }
        addAttrGroup(*record);
        if (_status) {
            VA_ERROR("Error: addAttrGroup failed - status=%d\n", static_cast<int>(_status.code()));
            break;
        }
    }
    if (_status) {
        VA_ERROR("Errors encountered when building userDataList for application <%s>\n", _applName.c_str());
        return;
    }

    TextScanner help(_helpInfo);
    help.next(",");  // the application help
    TextScanner attributes(_attrInfo);
    std::optional<std::string_view> group = attributes.next(",");
    if (!group) {
        VA_ERROR("Error: tokenizing <%s>\n", _attrInfo.c_str());
        _status.set(1);
        return;
    }
    while (group && !_status) {
        std::string_view list;
        if (attributes.rest().substr(0, 1) == ";") {
            attributes = TextScanner(attributes.rest().substr(1));  // a group without attributes
        } else {
            list = attributes.next(";").value_or(std::string_view());
        }
        std::optional<std::string_view> chunk = help.next(":");
        if (chunk && chunk->front() == ';') {
            chunk.reset();
        }
        if (!chunk) {
            VA_DETAIL("Note, no attribute help available.\n");
        }
        if (const uint16_t rc = addAttrInfo(*group, list, chunk); rc != 0) {
            VA_ERROR("Error: addAttrInfo failed - status=%d\n", static_cast<int>(rc));
            _status.set(1);
        }
        group = attributes.next(",");
    }
}

bool userDataList::calculateChecksum(applicationTextSource& source) {
    const int n = _settings.maxAttrGroupsPerAppl;
    if (n > kMaxChecksumGroups) {
        VA_ERROR("Error: %d > %d\n", n, kMaxChecksumGroups);
        _status.set(1);
        return false;
    }
    const char* name = _applName.c_str();
    if (source.getApplications(name, &_applInfo) != 0) {
        VA_ERROR("Error: dc_getApplications<%s> failed\n", name);
        _status.set(1);
        return false;
    }
    if (source.getApplAttributes(name, &_attrInfo) != 0) {
        VA_ERROR("Error: dc_getApplAttributes<%s> failed\n", name);
        _status.set(1);
        return false;
    }
    if (source.getApplHelp(name, &_helpInfo) != 0) {
        VA_ERROR("Error: dc_getApplHelp<%s> failed\n", name);
        _status.set(1);
        return false;
    }
    if (!computeChecksumRecords(_applInfo, _attrInfo, &_checksumInfo)) {
        _status.set(1);
        return false;
    }
    if (_checksumInfo.size() > static_cast<std::size_t>(n)) {
        VA_ERROR("Error: %d attribute groups of application <%s> exceed %d\n",
                 static_cast<int>(_checksumInfo.size()), name, n);
        _status.set(1);
        return false;
    }
    _noOfAttrGroups = static_cast<uint16_t>(_checksumInfo.size());

    const versionDecision d =
        decideVersion(_checksumInfo, _helpInfo, readWholeFile(_workFile), name, _workFile.c_str());
    if (d.failed) {
        _status.set(1);
        return false;
    }
    _cvrm.assign(d.cvrm);
    _lvrm.assign(d.cvrm);
    _priorVRM.assign(d.priorVRM);
    _RR.assign(releaseOf(_cvrm.view()));
    return d.generate;
}

userDataListEntry* userDataList::findEntry(std::string_view attrGroup) const {
    return _list.findFirst([&](const userDataListEntry& e) { return attrGroup == e.attrGroup(); });
}

void userDataList::addAttrGroup(std::string_view record) {
    if (record.size() >= kMaxGroupRecord) {
        VA_ERROR("Error: length of attrGroupInfo %d > %d\n", static_cast<int>(record.size()),
                 static_cast<int>(kMaxGroupRecord));
        _status.set(1);
        return;
    }
    TextScanner fields(record);
    const std::string_view group = fields.next(",").value_or(std::string_view());
    if (!group.empty() && findEntry(group) != nullptr) {
        VA_ERROR("Error: Found existing userDataListEntry<%.*s>\n", static_cast<int>(group.size()),
                 group.data());
        _status.set(1);
        return;
    }
    userDataListEntry& entry =
        _list.insert(std::make_unique<userDataListEntry>(*this, record, _settings, _hooks));
    if (entry.errors() != 0) {
        _status.set(1);
    }
}

uint16_t userDataList::addAttrInfo(std::string_view group, std::string_view attributeList,
                                   std::optional<std::string_view> helpChunk) {
    userDataListEntry* entry = findEntry(group);
    if (entry == nullptr) {
        VA_ERROR("Error: No match found for attrGroup <%.*s> attrInfo <%.*s>\n",
                 static_cast<int>(group.size()), group.data(), static_cast<int>(attributeList.size()),
                 attributeList.data());
        return 1;
    }
    return entry->setAttributes(attributeList, helpChunk);
}

userDataListEntry* userDataList::getUserDataListEntry(const char* attrGroup) {
    if (attrGroup == nullptr || *attrGroup == '\0') {
        return nullptr;
    }
    ScopedLock guard(_lock);
    return guard.ok() ? findEntry(attrGroup) : nullptr;
}

uint16_t userDataList::setTableName(const char* attrGroup) {
    ScopedLock guard(_lock);
    userDataListEntry* entry = guard.ok() && attrGroup != nullptr ? findEntry(attrGroup) : nullptr;
    if (entry == nullptr) {
        VA_ERROR("Error: could not find userDataListEntry for <%s>\n", attrGroup != nullptr ? attrGroup : "");
        return 0;
    }
    _tableName.assign(entry->udi()->tableNameRR());
    return 1;
}

bool userDataList::findDomain(std::string_view name) {
    for (const std::string& d : _domainsWritten) {
        if (d == name) {
            return true;
        }
    }
    _domainsWritten.emplace_back(name);
    return false;
}

std::string userDataList::pellanTime() const {
    return _settings.pellanTime ? _settings.pellanTime() : ZOT0_GetPellanTime(0);
}

void userDataList::printList() const {
    VA_DETAIL("userDataList @%p appl<%s> applNameRR<%s> cvrm<%s> prior<%s> entries<%d> status<%d>\n",
              static_cast<const void*>(this), _applName.c_str(), _applNameRR.c_str(), _cvrm.c_str(),
              _priorVRM.c_str(), static_cast<int>(_list.size()), static_cast<int>(_status.code()));
    for (const userDataListEntry& e : _list) {
        VA_DETAIL(" entry @%p group<%s> sampleType<%c> TTL<%d> SNMP<%d> errors<%d>\n",
                  static_cast<const void*>(&e), e.attrGroup(), e.sampleType(), static_cast<int>(e.TTL()),
                  e.SNMPflag(), e.errors());
        if (e.udi() != nullptr) {
            e.udi()->printSelf();
        }
    }
}

std::unique_ptr<userDataList> buildUserDataList(const char* applName, const metadataSettings& settings,
                                                tableLayoutHooks* hooks) {
    return std::make_unique<userDataList>(applName, settings, hubApplicationTexts(), hooks);
}

}  // namespace vorpane::metadata
