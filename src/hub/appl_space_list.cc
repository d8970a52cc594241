// The application space: applications, their source lists, searches, texts, status and removal.
#include "hub/appl_space_list.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>

#include "interfaces/dch_protocol.h"
#include "interfaces/trace.h"

namespace {

constexpr std::string_view kAgentApplName = "VAGENT";
constexpr std::size_t kApplKeyLength = 3;
constexpr std::size_t kInitialResultBuffer = 4096;
// Requests built on behalf of a provider whose connection is gone.
constexpr std::size_t kRequestBufferSize = 256;

bool equalOrUnchecked(const char* criterion, std::string_view value) {
    return criterion == nullptr || value == criterion;
}

// A provider request as the provider would have sent it: the frame, DCH_requestType, then one field,
// so the handler reads that field at byte 12.
class providerRequest {
  public:
    providerRequest(int16_t requestType, uint16_t fieldType, const void* value, int length) {
        char* cursor = _bytes.data() + DCH_FRAME_HEADER;
        cursor += ZOT0_FormatDataField(_bytes.data(), _bytes.size(), cursor, DCH_requestType, &requestType,
                                       sizeof requestType);
        ZOT0_FormatDataField(_bytes.data(), _bytes.size(), cursor, fieldType, value, length);
    }
    std::string_view message() const {
        return std::string_view(_bytes.data(), vorpane::dch::totalLength(_bytes.data()));
    }

  private:
    std::array<char, kRequestBufferSize> _bytes{};
};

}  // namespace

// ---------------------------------------------------------------------------------------------------
// applSpaceEntry

applSpaceEntry::applSpaceEntry(applSpaceList& registry, std::string_view applName)
    : _registry(registry), _applName(applName) {
    VA_STORAGE("applSpaceEntry <%s> @%p\n", _applName.c_str(), static_cast<const void*>(this));
}

applSpaceEntry::~applSpaceEntry() {
    emptyList();
    VA_STORAGE("Deleting applSpaceEntry <%s> @%p\n", _applName.c_str(), static_cast<const void*>(this));
}

void applSpaceEntry::emptyList() {
    while (attrInfoList* list = _lists.head()) {
        _registry.forgetList(*list);
        _lists.erase(*list);
    }
}

int32_t applSpaceEntry::allocateAttrInfoList(std::string_view group, std::string_view sourceName,
                                             char attrType, int32_t TTL, std::string_view attrRegister,
                                             unsigned int connectedDP, char status) {
    auto list =
        std::make_unique<attrInfoList>(this, group, sourceName, attrType, TTL, attrRegister, connectedDP);
    if (list->errors() != 0) {
        // Never linked: a list that did not parse is not left in the ring.
        VA_ERROR("Error: unable to allocate attrInfoList for applSpaceEntry @%p\n",
                 static_cast<const void*>(this));
        return -1;
    }
    attrInfoList& added = _lists.insert(std::move(list));
    if (status == 'I') {
        added.setStatus('I');
    }
    _registry.indexList(added);
    VA_DETAIL("New Handle=%d for applName<%s> attrGroup<%s>\n", added.handle(), _applName.c_str(),
              added.group());
    return added.handle();
}

int applSpaceEntry::freeAttrInfoList(attrInfoList* list) {
    if (list == nullptr || !_lists.contains(*list)) {
        return 1;
    }
    _registry.forgetList(*list);
    _lists.erase(*list);
    return 0;
}

attrInfoList* applSpaceEntry::searchAttrInfoList(const char* sourceName, const char* group) const {
    if (sourceName == nullptr && group == nullptr) {
        return nullptr;
    }
    return _lists.findFirst([&](const attrInfoList& list) {
        return equalOrUnchecked(sourceName, list.sourceNameView()) &&
               equalOrUnchecked(group, list.groupView());
    });
}

int applSpaceEntry::checkForOnline() const {
    return _lists.findFirst([](const attrInfoList& list) { return list.status() == 'I'; }) != nullptr ? 1 : 0;
}

int applSpaceEntry::setApplInfo(std::string_view text) {
    _applInfo.emplace(text);
    return 0;
}

int applSpaceEntry::setAttrInfo(std::string_view text) {
    _attrInfo.emplace(text);
    return 0;
}

int applSpaceEntry::setApplHelp(std::string_view text) {
    _applHelp.emplace(text);
    return 0;
}

int applSpaceEntry::getAttributeHelp(std::string_view group, std::string* out) const {
    const std::string groupName(group);
    const attrInfoList* list = searchAttrInfoList(nullptr, groupName.c_str());
    if (list == nullptr) {
        VA_ERROR("Error: could not find attrInfoList<%s>\n", groupName.c_str());
        return -1;
    }
    // A help text cut at the size limit is still returned; the group exists.
    (void)list->getAttributeHelp(out);
    return 0;
}

void applSpaceEntry::printSelf() const {
    VA_DETAIL(
        "applSpaceEntry @%p applName<%s> handle=%d noOfElements=%zu applCount=%d applInfo<%s> attrInfo<%s> "
        "applHelp<%s>\n",
        static_cast<const void*>(this), _applName.c_str(), _handle, _lists.size(), _applCount,
        _applInfo ? _applInfo->c_str() : "(null)", _attrInfo ? _attrInfo->c_str() : "(null)",
        _applHelp ? _applHelp->c_str() : "(null)");
    for (const attrInfoList& list : _lists) {
        list.printSelf();
    }
}

// ---------------------------------------------------------------------------------------------------
// applSpaceList

applSpaceList::applSpaceList() {
    _resultBuffer.reserve(kInitialResultBuffer);
}

applSpaceList::~applSpaceList() {
    _entries.clear();
}

int applSpaceList::allocApplicationSpace(std::string_view applName, std::string_view attrGroup, char attrType,
                                         int32_t TTL, std::string_view attrRegister, short init,
                                         unsigned int connectedDP) {
    const vorpane::FixedText<applSpaceEntry::kApplNameWidth> name(applName);
    std::array<char, 48> defaultSource{};
    std::snprintf(defaultSource.data(), defaultSource.size(), "%s_%d", name.c_str(), _sourceCounter);
    _sourceCounter = static_cast<int16_t>(_sourceCounter + 1);

    if (applSpaceEntry* entry = searchApplSpace(name.view())) {
        int result = 0;
        if (init != 0) {
            result = 1;
            if (name.view() != kAgentApplName) {
                VA_ERROR("Warning: applSpaceEntry <%s> already exists.\n", name.c_str());
            }
        }
        const std::string group(attrGroup);
        if (entry->searchAttrInfoList(defaultSource.data(), group.c_str()) != nullptr) {
            VA_ERROR("Error: attrInfoList[%s/%s] already exists.\n", name.c_str(), group.c_str());
            return -1;
        }
        if (entry->allocateAttrInfoList(attrGroup, defaultSource.data(), attrType, TTL, attrRegister,
                                        connectedDP, '?') == -1) {
            VA_ERROR("Error: allocateAttrInfoList failed.\n");
            return -1;
        }
        return result;
    }

    applSpaceEntry& entry = _entries.insert(std::make_unique<applSpaceEntry>(*this, name.view()));
    const int32_t handle = entry.allocateAttrInfoList(attrGroup, defaultSource.data(), attrType, TTL,
                                                      attrRegister, connectedDP, '?');
    if (handle == -1) {
        // The application stays registered without lists; the caller learns of it from the trace.
        VA_ERROR("Error: allocateAttrInfoList failed.\n");
    }
    entry.setHandle(handle);
    entry.setApplCount(static_cast<int16_t>(_entries.size()));
    return 0;
}

int applSpaceList::freeApplicationSpace(std::string_view applName) {
    applSpaceEntry* entry = searchApplSpace(applName);
    if (entry == nullptr) {
        VA_ERROR("Warning: No applSpaceEntry[%.*s] found\n", static_cast<int>(applName.size()),
                 applName.data());
        return -1;
    }
    if (entry->checkForOnline() != 0) {
        VA_ERROR("Warning: Cannot remove applSpaceEntry[%s]. DP is still online\n", entry->applName());
        return 3;
    }
    _entries.erase(*entry);
    return 0;
}

applSpaceEntry* applSpaceList::searchApplSpace(std::string_view applName) const {
    return _entries.findFirst([&](const applSpaceEntry& entry) { return entry.applNameView() == applName; });
}

std::optional<std::string> applSpaceList::keyHolder(std::string_view applName) const {
    const std::string_view key = applName.substr(0, kApplKeyLength);
    if (key == kAgentApplName.substr(0, kApplKeyLength) && applName != kAgentApplName) {
        return std::string(kAgentApplName);
    }
    const applSpaceEntry* holder = _entries.findFirst([&](const applSpaceEntry& entry) {
        return entry.applNameView() != applName && entry.applNameView().substr(0, kApplKeyLength) == key;
    });
    if (holder == nullptr) {
        return std::nullopt;
    }
    return std::string(holder->applNameView());
}

void applSpaceList::undoRegistration(std::string_view applName, bool existed, int16_t firstCounter) {
    applSpaceEntry* entry = searchApplSpace(applName);
    if (entry == nullptr) {
        return;
    }
    if (!existed) {
        VA_STATE("Removing applSpaceEntry <%s> of a refused registration\n", entry->applName());
        _entries.erase(*entry);
        return;
    }
    for (int16_t n = firstCounter; n != _sourceCounter; n = static_cast<int16_t>(n + 1)) {
        std::array<char, 48> defaultSource{};
        std::snprintf(defaultSource.data(), defaultSource.size(), "%s_%d", entry->applName(), n);
        while (attrInfoList* list = entry->searchAttrInfoList(defaultSource.data(), nullptr)) {
            entry->freeAttrInfoList(list);
        }
    }
}

attrInfoList* applSpaceList::searchAttrInfoList(std::string_view applName, std::string_view attrGroup,
                                                std::string_view sourceName) const {
    const applSpaceEntry* entry = searchApplSpace(applName);
    if (entry == nullptr) {
        return nullptr;
    }
    // The application's own name stands for its default source names "<applName>_<n>".
    const bool byPrefix = sourceName == applName;
    return entry->lists().findFirst([&](const attrInfoList& list) {
        if (list.groupView() != attrGroup) {
            return false;
        }
        return byPrefix ? list.sourceNameView().starts_with(sourceName) : list.sourceNameView() == sourceName;
    });
}

attrInfoList* applSpaceList::searchAttrInfoList(int32_t handle) const {
    auto it = _byHandle.find(handle);
    return it == _byHandle.end() ? nullptr : it->second;
}

int applSpaceList::setSourceName(std::string_view applName, std::string_view attrGroup,
                                 std::string_view newSourceName) {
    applSpaceEntry* entry = searchApplSpace(applName);
    if (entry == nullptr) {
        return 4;
    }
    const std::string group(attrGroup);
    attrInfoList* list = entry->searchAttrInfoList(entry->applName(), group.c_str());
    if (list == nullptr) {
        return 5;
    }
    list->setSourceName(newSourceName);
    return 0;
}

applSpaceEntry* applSpaceList::searchApplNameAttrGroup(std::string_view applName, std::string_view attrGroup,
                                                       char* attrType, int32_t* TTL,
                                                       std::string* attrRegister,
                                                       unsigned int* connectedDP) const {
    applSpaceEntry* entry = searchApplSpace(applName);
    if (entry == nullptr) {
        return nullptr;
    }
    const std::string group(attrGroup);
    const attrInfoList* list = entry->searchAttrInfoList(nullptr, group.c_str());
    if (list == nullptr) {
        return nullptr;
    }
    *attrType = list->attrType();
    *TTL = list->TTL();
    *attrRegister = list->attrRegister();
    *connectedDP = list->connectedDP();
    return entry;
}

int32_t applSpaceList::getHandle(std::string_view applName, std::string_view attrGroup,
                                 std::string_view sourceName) const {
    const applSpaceEntry* entry = searchApplSpace(applName);
    if (entry == nullptr) {
        return -1;
    }
    const attrInfoList* list = entry->lists().findFirst([&](const attrInfoList& l) {
        return l.sourceNameView() == sourceName && l.groupView() == attrGroup;
    });
    return list == nullptr ? -1 : list->handle();
}

const char* applSpaceList::getSourceName(int32_t handle) const {
    const attrInfoList* list = searchAttrInfoList(handle);
    if (list == nullptr) {
        return nullptr;
    }
    VA_DETAIL("Found sourceName <%s> for handle: %d\n", list->sourceName(), handle);
    return list->sourceName();
}

const char* applSpaceList::getApplName(int32_t handle) const {
    const attrInfoList* list = searchAttrInfoList(handle);
    return list == nullptr || list->ApplSpaceEntry() == nullptr ? nullptr
                                                                : list->ApplSpaceEntry()->applName();
}

const char* applSpaceList::getAttrGroup(int32_t handle) const {
    const attrInfoList* list = searchAttrInfoList(handle);
    return list == nullptr ? nullptr : list->group();
}

int applSpaceList::markOnline(int32_t handle, unsigned int connectedDP) {
    attrInfoList* list = searchAttrInfoList(handle);
    if (list == nullptr) {
        VA_ERROR("Error: attrInfoList with handle %d not found.\n", handle);
        return 1;
    }
    VA_DETAIL("Marking online sourceName<%s> with handle: %d\n", list->sourceName(), handle);
    list->setStatus('I');
    list->setConnectedDP(connectedDP);
    return 0;
}

int applSpaceList::markOffline(int32_t handle) {
    attrInfoList* list = searchAttrInfoList(handle);
    if (list == nullptr) {
        VA_ERROR("Error: attrInfoList with handle %d not found.\n", handle);
        return 1;
    }
    VA_DETAIL("Marking offline sourceName<%s> with handle: %d\n", list->sourceName(), handle);
    list->setStatus('O');
    return 0;
}

int applSpaceList::numberOnline(std::string_view applName, std::string_view attrGroup) const {
    const applSpaceEntry* entry = searchApplSpace(applName);
    if (entry == nullptr) {
        return 0;
    }
    int online = 0;
    for (const attrInfoList& list : entry->lists()) {
        if (list.groupView() == attrGroup && list.status() == 'I') {
            ++online;
        }
    }
    return online;
}

int applSpaceList::setApplInfo(std::string_view applName, std::string_view applInfo,
                               std::string_view attrInfo, std::string_view applHelp) {
    applSpaceEntry* entry = searchApplSpace(applName);
    if (entry == nullptr) {
        VA_ERROR("Error: No applSpaceEntry for applName<%.*s>\n", static_cast<int>(applName.size()),
                 applName.data());
        return -1;
    }
    entry->setApplInfo(applInfo);
    entry->setAttrInfo(attrInfo);
    entry->setApplHelp(applHelp);
    return 0;
}

const char* applSpaceList::getApplInfo(const char* applName) {
    if (applName != nullptr) {
        const applSpaceEntry* entry = searchApplSpace(applName);
        if (entry == nullptr || entry->getApplInfo() == nullptr) {
            return nullptr;
        }
        _resultBuffer.assign(entry->getApplInfo());
        return _resultBuffer.c_str();
    }
    if (_entries.empty()) {
        return nullptr;
    }
    _resultBuffer.clear();
    for (const applSpaceEntry& entry : _entries) {
        if (entry.getApplInfo() == nullptr) {
            return nullptr;
        }
        _resultBuffer.append(entry.getApplInfo());
    }
    return _resultBuffer.c_str();
}

const char* applSpaceList::getAttrInfo(std::string_view applName) const {
    const applSpaceEntry* entry = searchApplSpace(applName);
    if (entry == nullptr) {
        VA_ERROR("Error:  applSpaceEntry<%.*s> not found\n", static_cast<int>(applName.size()),
                 applName.data());
        return nullptr;
    }
    if (entry->getAttrInfo() == nullptr) {
        VA_ERROR("Error:  getAttrInfo<%s> was NULL\n", entry->applName());
    }
    return entry->getAttrInfo();
}

const char* applSpaceList::getApplHelp(std::string_view applName) const {
    const applSpaceEntry* entry = searchApplSpace(applName);
    if (entry == nullptr) {
        VA_ERROR("Error:  applSpaceEntry<%.*s> not found\n", static_cast<int>(applName.size()),
                 applName.data());
        return nullptr;
    }
    if (entry->getApplHelp() == nullptr) {
        VA_ERROR("Error:  getApplHelp<%s> was NULL\n", entry->applName());
    }
    return entry->getApplHelp();
}

int applSpaceList::getAttributeHelp(std::string_view applName, std::string_view attrGroup,
                                    std::string* out) const {
    const applSpaceEntry* entry = searchApplSpace(applName);
    if (entry == nullptr) {
        VA_ERROR("Error: No applSpaceEntry for applName<%.*s>\n", static_cast<int>(applName.size()),
                 applName.data());
        return 1;
    }
    return entry->getAttributeHelp(attrGroup, out) == 0 ? 0 : 1;
}

int applSpaceList::sendCurrentStatus(DCHrequestHandlers& server, const DCHclientAddr& clientAddr,
                                     unsigned int connectedSockFD) const {
    for (const applSpaceEntry& entry : _entries) {
        for (const attrInfoList& list : entry.lists()) {
            if (list.status() == '?') {
                continue;
            }
            const short requestType = list.status() == 'I' ? DCH_dp_online : DCH_dp_offline;
            server.dc_waitForDPStatus(std::string_view(), entry.applName(), list.group(), list.sourceName(),
                                      requestType, clientAddr, connectedSockFD);
        }
    }
    return 0;
}

void applSpaceList::sendOffline(DCHrequestHandlers& server, unsigned int connectedDP) {
    // Chosen before any request runs, so what the handler changes cannot disturb the walk.
    struct lostSource {
        int32_t handle;
        vorpane::FixedText<applSpaceEntry::kApplNameWidth> applName;
        vorpane::FixedText<32> group;
        vorpane::FixedText<32> sourceName;
    };
    std::vector<lostSource> lost;
    for (const applSpaceEntry& entry : _entries) {
        for (const attrInfoList& list : entry.lists()) {
            if (list.status() == 'I' && list.connectedDP() == connectedDP) {
                lost.push_back(
                    {list.handle(), entry.applNameView(), list.groupView(), list.sourceNameView()});
            }
        }
    }
    for (const lostSource& source : lost) {
        const int32_t handle = source.handle;
        const providerRequest request(DCH_dp_offline, DCH_handle, &handle, sizeof handle);
        if (server.dp_offline(request.message()) != 0) {
            VA_ERROR("Error: DP Offline for [%s][%s][%s] failed.\n", source.applName.c_str(),
                     source.group.c_str(), source.sourceName.c_str());
        }
    }
}

void applSpaceList::deregisterDP(DCHrequestHandlers& server, unsigned int connectedDP) {
    // Every application is visited, also beyond the configured maximum, so that a lost provider never
    // leaves one of its applications registered.
    std::vector<vorpane::FixedText<applSpaceEntry::kApplNameWidth>> names;
    names.reserve(static_cast<std::size_t>(std::max(server.max_Applications(), 0)));
    for (const applSpaceEntry& entry : _entries) {
        names.emplace_back(entry.applNameView());
    }
    for (auto name = names.rbegin(); name != names.rend(); ++name) {
        if (name->view() == kAgentApplName) {
            continue;
        }
        const applSpaceEntry* entry = searchApplSpace(name->view());
        if (entry == nullptr) {
            continue;
        }
        const bool owned = entry->lists().findFirst([&](const attrInfoList& list) {
            return list.connectedDP() == connectedDP;
        }) != nullptr;
        if (!owned) {
            continue;
        }
        const providerRequest request(DCH_dp_unregister, DCH_applName, name->c_str(),
                                      static_cast<int>(name->size()));
        if (server.dp_unregister(request.message()) == 0) {
            VA_STATE("DP unregister for <%s> was successful.\n", name->c_str());
        } else {
            VA_ERROR("Warning: DP unregister for <%s> failed.\n", name->c_str());
        }
    }
}

void applSpaceList::printList() const {
    VA_DETAIL("applSpaceList @%p noOfElements=%zu sourceCounter=%d handles=%zu\n",
              static_cast<const void*>(this), _entries.size(), _sourceCounter, _byHandle.size());
    for (const applSpaceEntry& entry : _entries) {
        entry.printSelf();
    }
}

// ---------------------------------------------------------------------------------------------------
// Values by handle

int applSpaceList::getData(std::vector<char>& buffer, std::size_t bufferSize, int32_t handle,
                           short withSource) {
    attrInfoList* list = searchAttrInfoList(handle);
    if (list == nullptr) {
        VA_ERROR("Error: attrInfoList with handle %d not found.\n", handle);
        return -1;
    }
    return list->getAttrValues(buffer, bufferSize, withSource != 0 ? list->sourceName() : nullptr);
}

char applSpaceList::getDataType(int32_t handle) const {
    const attrInfoList* list = searchAttrInfoList(handle);
    return list == nullptr ? '?' : list->attrType();
}

char applSpaceList::getAttrType(int32_t handle, const char* attrName) const {
    const attrInfoList* list = searchAttrInfoList(handle);
    return list == nullptr ? '?' : list->getAttrType(attrName);
}

int applSpaceList::putData(int32_t handle, int16_t controlField, const char* attrName, const void* value,
                           int length) {
    attrInfoList* list = searchAttrInfoList(handle);
    if (list == nullptr) {
        VA_ERROR("Error: attrInfoList with handle %d not found.\n", handle);
        return 2;
    }
    // An unknown attribute keeps only the control field; the row itself is still good.
    (void)list->setValue(attrName, controlField, value, length);
    return 0;
}

int applSpaceList::clearValues(int32_t handle) {
    attrInfoList* list = searchAttrInfoList(handle);
    if (list == nullptr) {
        VA_ERROR("Error: attrInfoList with handle %d not found.\n", handle);
        return -1;
    }
    return list->clearValues();
}
