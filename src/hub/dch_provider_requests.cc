// The provider requests: dp_register, dp_online, dp_data, dp_offline, dp_unregister. They run on the
// hub's request thread, read their fields from byte 12 of the message, store into the application
// space and notify the collectors that wait.
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "hub/appl_space_list.h"
#include "hub/attr_info_list.h"
#include "hub/dc_waiting_list.h"
#include "hub/dch_request_fields.h"
#include "hub/dch_server.h"
#include "interfaces/dch_protocol.h"
#include "interfaces/support.h"

namespace {

using vorpane::dch::FieldReader;

constexpr size_t kMinApplName = DCH_MIN_APPL_NAME;
constexpr size_t kMaxApplName = DCH_MAX_APPL_NAME;
constexpr size_t kMaxGroupName = DCH_MAX_ATTR_GROUP;
constexpr size_t kMaxSourceName = DCH_MAX_SOURCE_NAME;
constexpr size_t kMaxHelp = DCH_MAX_HELP_TEXT;
constexpr size_t kMaxAttrName = DCH_MAX_ATTR_NAME;
constexpr size_t kMaxDpType = DCH_MAX_DP_TYPE;
constexpr size_t kMaxAppInfo = 4095;  // the application information is built in a 4096-byte buffer
constexpr size_t kMaxRegisteredAttribute = 4095;
constexpr std::string_view kRegisteredAttrTypes = "ACDGIKLNORST";
constexpr int16_t kDefaultControlField = 0x11;


// Reads the application name field (3 to 20 characters) and upper-cases it. False with the
// specified trace when it is missing or of a wrong length.
bool readApplName(FieldReader& r, std::string* appl) {
    FieldReader::Field f = r.next();
    if (f.type != DCH_applName) {
        VA_ERROR("Error: dataType of DCH_applName missing\n");
        return false;
    }
    // Names are read up to a terminator the sender may have counted, in every handler alike, so that
    // a name registered with one is the name that comes online without one.
    const std::string_view name = f.cText();
    if (name.size() < kMinApplName || name.size() > kMaxApplName) {
        VA_ERROR("Error: invalid applName length: %d\n", static_cast<int>(name.size()));
        return false;
    }
    appl->assign(name);
    ZOT0_ConvertStringToUpper(*appl);
    return true;
}

bool readGroupName(FieldReader& r, std::string* group) {
    FieldReader::Field f = r.next();
    if (f.type != DCH_attrGroup) {
        VA_ERROR("Error: dataType of DCH_attrGroup missing\n");
        return false;
    }
    const std::string_view name = f.cText();
    if (name.size() > kMaxGroupName) {
        VA_ERROR("Error: attrGroup length %d > %d\n", static_cast<int>(name.size()), static_cast<int>(kMaxGroupName));
        return false;
    }
    group->assign(name);
    ZOT0_ConvertStringToUpper(*group);
    return true;
}

// A help text as the information texts carry it: at most 245 characters, cleaned, never empty.
std::string helpText(std::string_view raw, const char* whenEmpty) {
    std::string help(raw.substr(0, kMaxHelp));
    ZOTA_validateHelpText(help);
    if (help.empty()) {
        help = whenEmpty;
    }
    return help;
}

// "name,type,length:" for each attribute of a registration string that has at least three items.
// False when one attribute is longer than the hub handles.
bool reformatRegistration(std::string_view reg, std::string* out) {
    out->clear();
    while (!reg.empty()) {
        size_t semi = reg.find(';');
        std::string_view attribute = reg.substr(0, semi);
        reg = semi == std::string_view::npos ? std::string_view() : reg.substr(semi + 1);
        if (attribute.size() > kMaxRegisteredAttribute) {
            VA_ERROR("Error: %d > %d\n", static_cast<int>(attribute.size()), static_cast<int>(kMaxRegisteredAttribute));
            return false;
        }
        std::string_view items[3];
        int n = 0;
        while (n < 3) {
            size_t comma = attribute.find(',');
            if (comma == std::string_view::npos) {
                if (!attribute.empty() && n == 2) {
                    items[n++] = attribute;
                }
                break;
            }
            items[n++] = attribute.substr(0, comma);
            attribute.remove_prefix(comma + 1);
        }
        if (n == 3) {
            out->append(items[0]).append(",").append(items[1]).append(",").append(items[2]).append(":");
        }
    }
    return true;
}

bool isActionSource(std::string_view appl, std::string_view group) {
    if (group != "DPLOG") {
        return false;
    }
    if (appl == "VAGENT") {
        return true;
    }
    std::optional<std::string> nodeType = ZOT0_QueryProductSpec(ZOT2_NODE_TYPE);
    if (!vorpane::productAgent() || ZOT0_QueryProductSpecNumber(ZOT2_NODE_TYPE_ACTIONS).value_or(0) == 0 || !nodeType) {
        return false;
    }
    std::string upper = *nodeType;
    ZOT0_ConvertStringToUpper(upper);
    return appl == upper;
}

}  // namespace

int DCHserver::dp_register(std::string_view message) {
    FieldReader r(message.data(), message.size(), DCH_REQUEST_FIELDS);
    std::string appl;
    if (!readApplName(r, &appl)) {
        return DCH_STATUS_FAILED;
    }
    ZOT0_SubValidNameCharacter(appl);
    VA_STATE("Registering applName <%s>\n", appl.c_str());
    if (std::optional<std::string> holder = _buckets->keyHolder(appl)) {
        VA_ERROR("Error: application <%s> refused: its key <%.3s> is held by application <%s>\n",
                 appl.c_str(), appl.c_str(), holder->c_str());
        _keyHolder = std::move(*holder);
        return DCH_STATUS_KEY_HELD;
    }

    FieldReader::Field f = r.next();
    if (f.type != DCH_helpText) {
        VA_ERROR("Error: dataType of DCH_helpText missing\n");
        return DCH_STATUS_FAILED;
    }
    const std::string applHelp = helpText(f.cText(), "No Application Help Defined");

    const bool unlimitedGroups = vorpane::productAgent();
    // A refused registration must leave the registry as it found it.
    const bool existed = _buckets->searchApplSpace(appl) != nullptr;
    const int16_t firstCounter = _buckets->sourceCounter();
    std::string applInfo;
    std::string attrInfo;
    std::string helpInfo;
    std::string reformatted;
    std::set<std::string> seen;
    int status = DCH_STATUS_OK;
    bool duplicate = false;
    int groups = 0;

    while (r.peek().type == DCH_attrGroup) {
        f = r.next();
        ++groups;
        if (!unlimitedGroups && groups > max_AttrGroup_Per_Appl()) {
            VA_ERROR("Error: Maximum of %d attribute groups per application exceeded. Application <%s> failed to "
                     "register ",
                     max_AttrGroup_Per_Appl(), appl.c_str());
            status = DCH_STATUS_FAILED;
            break;
        }
        if (f.cText().size() > kMaxGroupName) {
            VA_ERROR("Error: attrGroup length %d > %d\n", static_cast<int>(f.cText().size()),
                     static_cast<int>(kMaxGroupName));
            status = DCH_STATUS_FAILED;
            break;
        }
        std::string group(f.cText());
        ZOT0_ConvertStringToUpper(group);
        ZOT0_SubValidNameCharacter(group);
        if (!seen.insert(group).second) {
            VA_ERROR("Error: application<%s> attrGroup<%s> appears more than once in <%s> ", appl.c_str(),
                     group.c_str(), appl.c_str());
            status = DCH_STATUS_DUPLICATE_GROUP;
            break;
        }

        f = r.next();
        if (f.type != DCH_helpText) {
            VA_ERROR("Error: dataType of DCH_helpText missing\n");
            status = DCH_STATUS_FAILED;
            break;
        }
        const std::string groupHelp = helpText(f.cText(), "No attribute group Help Defined");
        f = r.next();
        if (f.type != DCH_attributesType || f.length < 1) {
            VA_ERROR("Error: dataType of DCH_attributesType missing\n");
            status = DCH_STATUS_FAILED;
            break;
        }
        const char attrType = f.value[0];
        f = r.next();
        int32_t ttl = 0;
        if (f.type != DCH_TTL || !f.int32(&ttl)) {
            VA_ERROR("Error: dataType of DCH_TTL missing\n");
            status = DCH_STATUS_FAILED;
            break;
        }
        f = r.next();
        if (f.type != DCH_dpType) {
            VA_ERROR("Error: dataType of DCH_dpType missing\n");
            status = DCH_STATUS_FAILED;
            break;
        }
        const std::string dpType(f.cText().substr(0, kMaxDpType));
        f = r.next();
        if (f.type != DCH_attrRegister) {
            VA_ERROR("Error: dataType of DCH_attrRegister missing\n");
            status = DCH_STATUS_FAILED;
            break;
        }
        const std::string attrRegister(f.cText());

        const int rc = _buckets->allocApplicationSpace(appl, group, attrType, ttl, attrRegister,
                                                       static_cast<short>(groups == 1 ? 1 : 0), _connectedSockFD);
        if (rc == -1) {
            VA_ERROR("Error: allocating application space. applName: <%s> attrGroup: <%s>\n", appl.c_str(),
                     group.c_str());
            status = DCH_STATUS_FAILED;
            break;
        }
        if (rc == 1) {
            duplicate = true;
            if (appl != "VAGENT") {
                if (!unlimitedGroups) {
                    VA_ERROR("Warning: Duplicate application space. applName: <%s> attrGroup: <%s>\n", appl.c_str(),
                             group.c_str());
                } else {
                    VA_DETAIL("Warning: Duplicate application space. applName: <%s> attrGroup: <%s>\n", appl.c_str(),
                              group.c_str());
                }
            }
        }

        if (!reformatRegistration(attrRegister, &reformatted)) {
            status = DCH_STATUS_FAILED;
            break;
        }
        char head[160];
        if (groups == 1) {
            std::snprintf(head, sizeof head, "%s,%s,%c,%ld,%s:", appl.c_str(), group.c_str(), attrType,
                          static_cast<long>(ttl), dpType.c_str());
        } else {
            std::snprintf(head, sizeof head, "%s,%c,%ld,%s:", group.c_str(), attrType, static_cast<long>(ttl),
                          dpType.c_str());
        }
        if (applInfo.size() + std::strlen(head) + 1 > kMaxAppInfo) {
            VA_ERROR("Error: application information of <%s> exceeds %d bytes at attrGroup <%s>\n", appl.c_str(),
                     static_cast<int>(kMaxAppInfo + 1), group.c_str());
            status = DCH_STATUS_FAILED;
            break;
        }
        applInfo += head;
        attrInfo.append(group).append(",").append(reformatted).append(";");
        if (groups == 1) {
            helpInfo.append(applHelp).append(",");
        }
        helpInfo.append(group).append(",").append(groupHelp).append(",");
        std::string attributeHelp;
        if (_buckets->getAttributeHelp(appl, group, &attributeHelp) != 0) {
            VA_ERROR("Error: getAttributeHelp<%s/%s> failed.\n", appl.c_str(), group.c_str());
            status = DCH_STATUS_FAILED;
            break;
        }
        helpInfo += attributeHelp;
    }
    if (status == DCH_STATUS_OK && r.peek().type != DCH_attrGroup) {
        VA_DETAIL("Note: dataType of DCH_attrGroup missing. Could indicate no more attrGroups. attrGroups processed: "
                  "%d\n",
                  groups);
    }
    if (status == DCH_STATUS_OK) {
        applInfo += ";";
        helpInfo += ";";
        status = _buckets->setApplInfo(appl, applInfo, attrInfo, helpInfo);
    }
    if (status != DCH_STATUS_OK) {
        _buckets->undoRegistration(appl, existed, firstCounter);
        _lastWaiter = nullptr;
    }
    // A refused registration reports its failure even when an earlier group was a duplicate.
    if (duplicate && status == DCH_STATUS_OK) {
        status = DCH_STATUS_DUPLICATE;
    }
    if (status == DCH_STATUS_OK) {
        VA_STATE("Application <%s> successfully registered\n", appl.c_str());
    }
    return status;
}

int DCHserver::dp_online(std::string_view message, const char* clientName, long* handle) {
    *handle = 0;
    FieldReader r(message.data(), message.size(), DCH_REQUEST_FIELDS);
    std::string appl;
    std::string group;
    if (!readApplName(r, &appl) || !readGroupName(r, &group)) {
        return DCH_STATUS_FAILED;
    }

    std::string source;
    if (r.peek().type == DCH_sourceName && r.peek().length > 0) {
        source.assign(r.next().cText());
    }
    if (source.empty()) {
        // An empty name is taken as no name: the sender's address names the source.
        source = clientName != nullptr ? clientName : "";
        while (!source.empty() && source.back() == ' ') {
            source.pop_back();
        }
        VA_DETAIL("DCH_sourceName missing. Using default.\n");
    } else {
        const std::optional<std::string> instName = ZOT0_QueryProductSpec(ZOT2_INSTANCE_NAME);
        const bool haveInst = instName && !instName->empty();
        if (source.find('.') != std::string::npos) {
            std::string_view look = source;
            if (haveInst && look.substr(0, instName->size()) == *instName) {
                look = look.size() > instName->size() + 1 ? look.substr(instName->size() + 1) : std::string_view();
            }
            if (ZOT0_IsThisAddressString(std::string(look).c_str()) == 3) {
                VA_DETAIL("Note: SourceName <%s> contains a dotted decimal address\n", source.c_str());
            } else {
                source.resize(source.find('.'));
                VA_DETAIL("Domain name removed. SourceName[%-*.*s]\n", static_cast<int>(source.size()),
                          static_cast<int>(source.size()), source.c_str());
            }
        }
        auto shorten = [&source] {
            if (source.size() > kMaxSourceName) {
                VA_ERROR("Warning: SourceName <%s> length=%d > max length=%d -> truncating\n", source.c_str(),
                         static_cast<int>(source.size()), static_cast<int>(kMaxSourceName));
                ZOT0_TruncateFromLeft(source, kMaxSourceName);
                VA_ERROR("Warning: SourceName now equals <%s>\n", source.c_str());
            }
        };
        shorten();
        if (haveInst && source.compare(0, instName->size(), *instName) != 0) {
            VA_DETAIL("Prepending instance name <%s> to source name <%s>\n", instName->c_str(), source.c_str());
            source = *instName + "_" + source;
            shorten();
        }
    }

    int status = DCH_STATUS_OK;
    bool reuseExisting = false;
    // A list of exactly this source name first: for a source named like its application the search
    // by name would stop at the first default-named list instead.
    attrInfoList* found = nullptr;
    if (const int32_t exact = _buckets->getHandle(appl, group, source); exact != -1) {
        found = _buckets->searchAttrInfoList(exact);
    }
    if (found == nullptr) {
        found = _buckets->searchAttrInfoList(appl, group, source);
    }
    if (found != nullptr) {
        attrInfoList* unused = _buckets->searchAttrInfoList(appl, group, appl);
        // The found list is dropped only in favour of a different, unused one. When they are the same
        // list (a source named after the group's default source, or after its application) that list
        // becomes the source: making a new one at every call would leave one more list each time.
        if (unused != nullptr && unused != found) {
            VA_ERROR("Warning: found identical attrInfoList<@%p> and deleting it.\n", static_cast<void*>(found));
            found->ApplSpaceEntry()->freeAttrInfoList(found);
        } else if (unused == found && found->sourceNameView() == source) {
            reuseExisting = true;
        } else if (unused == found && found->status() == '?') {
            found->setSourceName(source);  // a default list never online takes the source's name
            reuseExisting = true;
        } else if (unused == nullptr) {
            VA_ERROR("Warning: attrInfoList<@%p> with applName<%s> attrGroup<%s> srcName<%s> already existed.\n",
                     static_cast<void*>(found), appl.c_str(), group.c_str(), source.c_str());
            reuseExisting = true;
        }
    }
    if (!reuseExisting) {
        const int rc = _buckets->setSourceName(appl, group, source);
        if (rc == DCH_STATUS_NO_SOURCE) {
            char type = '?';
            int32_t ttl = 0;
            std::string reg;
            unsigned int connection = 0;
            applSpaceEntry* entry = _buckets->searchApplNameAttrGroup(appl, group, &type, &ttl, &reg, &connection);
            if (entry == nullptr) {
                VA_ERROR("Error: <%d> Could not find applName<%s> with attrGroup<%s>\n", rc, appl.c_str(),
                         group.c_str());
                status = DCH_STATUS_NO_SOURCE;
            } else if (entry->allocateAttrInfoList(group, source, type, ttl, reg, connection, '?') == -1) {
                VA_ERROR("Error: allocateAttrInfoList failed.\n");
                status = DCH_STATUS_FAILED;
            }
        } else if (rc != 0) {
            VA_ERROR("Error: <%d> Could not find applName<%s> attrGroup<%s> srcName<%s>\n", rc, appl.c_str(),
                     group.c_str(), source.c_str());
            status = rc;
        }
    }

    if (status == DCH_STATUS_OK) {
        *handle = _buckets->getHandle(appl, group, source);
        if (*handle == -1) {
            VA_ERROR("Error: no handle for applName<%s> attrGroup<%s> srcName<%s>\n", appl.c_str(), group.c_str(),
                     source.c_str());
            *handle = 0;
            status = DCH_STATUS_DUPLICATE;
        }
    }

    const applSpaceEntry* space = status == DCH_STATUS_OK ? _buckets->searchApplSpace(appl) : nullptr;
    const bool firstOnline = space == nullptr || space->checkForOnline() == 0;
    if (status == DCH_STATUS_OK && _buckets->markOnline(static_cast<int32_t>(*handle), _connectedSockFD) == 0) {
        beginApplicationRun(appl, firstOnline);
        for (DCwaitingListEntry* w = _waitList->getEntry(1); w != nullptr; w = _waitList->getEntry(0)) {
            const short type = w->waiterType();
            if ((type == DCH_dc_getApplAttributes || type == DCH_dc_getApplications || type == DCH_dc_getApplHelp) &&
                appl == w->applName()) {
                // Help waiters are answered as well: nothing else would ever answer them.
                if (type == DCH_dc_getApplAttributes) {
                    dc_getApplAttributes(std::string_view(), appl.c_str(), w->clientAddr(), w->connectedSockFD());
                } else if (type == DCH_dc_getApplications) {
                    dc_getApplications(std::string_view(), appl.c_str(), w->clientAddr(), w->connectedSockFD());
                } else {
                    dc_getApplHelp(std::string_view(), appl.c_str(), w->clientAddr(), w->connectedSockFD());
                }
                _waitList->removeEntry(w);
            } else if (type == DCH_dc_waitForDPStatus) {
                dc_waitForDPStatus(std::string_view(), appl.c_str(), group.c_str(), source.c_str(), DCH_dp_online,
                                   w->clientAddr(), w->connectedSockFD());
            }
        }
        _waitList->deleteIterator();
    }

    if (status == DCH_STATUS_OK && isActionSource(appl, group)) {
        status = actionSourceOnline();
    }
    if (status != DCH_STATUS_OK) {
        *handle = 0;
    }
    return status;
}

int DCHserver::dp_data(std::string_view message) {
    FieldReader r(message.data(), message.size(), DCH_REQUEST_FIELDS);
    int32_t handle = 0;
    if (!readHandleField(r, &handle)) {
        return DCH_STATUS_FAILED;
    }
    int16_t controlField = kDefaultControlField;
    FieldReader::Field f = r.next();
    if (f.type == DCH_controlField && f.int16(&controlField)) {
        f = r.next();
    } else {
        controlField = kDefaultControlField;
        VA_DETAIL("DCH_controlField missing. Using default of %02x\n", static_cast<unsigned>(controlField));
    }

    // One lookup for the whole row: every later step works on the source's list.
    attrInfoList* list = _buckets->searchAttrInfoList(handle);
    const char dataType = list != nullptr ? list->attrType() : '?';
    if (dataType == 'E' || dataType == 'K') {
        int rc = list->clearValues();
        if (rc != 0) {
            return rc;
        }
    }

    int status = DCH_STATUS_OK;
    int processed = 0;
    char name[kMaxAttrName + 1];
    while (f.type == DCH_attrName) {
        const std::string_view attrName = f.cText();
        const size_t n = attrName.size() < kMaxAttrName ? attrName.size() : kMaxAttrName;
        std::memcpy(name, attrName.data(), n);
        name[n] = '\0';
        const char attrType = list != nullptr ? list->getAttrType(name) : '?';
        if (kRegisteredAttrTypes.find(attrType) == std::string_view::npos) {
            VA_ERROR("Error: attrType <%c> attrName <%s> controlField <%02x> not part of registered attributes.\n",
                     attrType, name, static_cast<unsigned>(controlField) & 0xFFFF);
            status = DCH_STATUS_UNREGISTERED_ATTR;
            break;
        }
        FieldReader::Field value = r.next();
        if (value.type != DCH_attrValue) {
            VA_DETAIL("No more attrValues.\n");
            break;
        }
        list->setValue(name, controlField, value.value, static_cast<int>(value.length));
        ++processed;
        f = r.next();
    }
    if (status == DCH_STATUS_OK && f.type != DCH_attrName) {
        VA_DETAIL("No more attrNames to process.\n");
    }

    if (processed == 0 && status == DCH_STATUS_OK) {
        if (controlField != 0x10) {
            VA_ERROR("Error: Invalid dp_data request.\n");
            return DCH_STATUS_FAILED;
        }
        if (list == nullptr) {
            return DCH_STATUS_UNREGISTERED_ATTR;  // what storing into an unknown handle answers
        }
        list->clearValues();
        list->setValue(nullptr, 255, nullptr, 0);
    }

    if (status == DCH_STATUS_OK && list != nullptr) {
        const char* appl = list->ApplSpaceEntry()->applName();
        const char* group = list->group();
        DCwaitingListEntry* waiter = nullptr;
        if (_lastWaiter != nullptr && _lastWaiter->waiterType() == DCH_dc_waitOnData &&
            std::strcmp(_lastWaiter->applName(), appl) == 0 && std::strcmp(_lastWaiter->attrGroup(), group) == 0) {
            VA_DETAIL("Reusing last DCH_dc_waitOnData:\n");
            waiter = _lastWaiter;
        } else {
            int position = 0;
            for (DCwaitingListEntry* w = _waitList->getEntry(1); w != nullptr; w = _waitList->getEntry(0)) {
                ++position;
                if (w->waiterType() == DCH_dc_waitOnData && std::strcmp(w->applName(), appl) == 0 &&
                    std::strcmp(w->attrGroup(), group) == 0) {
                    waiter = w;
                    break;
                }
            }
            _waitList->deleteIterator();
            if (waiter != nullptr) {
                _lastWaiter = waiter;
                if (position > _waitList->getHeadOfListThreshold()) {
                    _waitList->setHeadOfList(waiter);
                }
            }
        }
        if (waiter != nullptr) {
            dc_waitOnData(std::string_view(), handle, waiter->clientAddr(), waiter->connectedSockFD());
        } else {
            keepUnclaimedData(appl, group, handle);
        }
    }
    return status;
}

int DCHserver::dp_offline(std::string_view message) {
    FieldReader r(message.data(), message.size(), DCH_REQUEST_FIELDS);
    int32_t handle = 0;
    if (!readHandleField(r, &handle)) {
        return DCH_STATUS_FAILED;
    }
    attrInfoList* list = _buckets->searchAttrInfoList(handle);
    if (list == nullptr) {
        VA_ERROR("Error: could not resolve applName from handle=%d\n", handle);
        return DCH_STATUS_FAILED;
    }
    const std::string appl = list->ApplSpaceEntry()->applName();
    const std::string group = list->group();
    const std::string source = list->sourceName();

    VA_DETAIL("Setting _lastWaiter @%p equal to NULL\n", static_cast<void*>(_lastWaiter));
    _lastWaiter = nullptr;

    const int status = _buckets->markOffline(handle);
    if (status == 0) {
        dropUnclaimedData(appl, group, source);
        for (DCwaitingListEntry* w = _waitList->getEntry(1); w != nullptr; w = _waitList->getEntry(0)) {
            if (w->waiterType() == DCH_dc_waitForDPStatus) {
                dc_waitForDPStatus(std::string_view(), appl.c_str(), group.c_str(), source.c_str(), DCH_dp_offline,
                                   w->clientAddr(), w->connectedSockFD());
            } else if (w->waiterType() == DCH_dp_waitForAction && w->actionType() != 1 && w->actionType() != 5 &&
                       source == w->sourceName()) {
                VA_DETAIL("Found a matching dp_waitForAction. Removing waiter @%p...\n", static_cast<void*>(w));
                if (_waitList->removeEntry(w) != 0) {
                    VA_ERROR("Error: could not remove @%p from waitingList\n", static_cast<void*>(w));
                }
            }
        }
        _waitList->deleteIterator();
        endApplicationRunIfLast(appl);
    }

    if (isActionSource(appl, group)) {
        const int online = _buckets->numberOnline(appl, "DPLOG");
        VA_DETAIL("%d sources online for ZOT/DPLOG\n", online);
        if (online == 0) {
            actionSourceOffline();
        }
    }
    return status;
}

int DCHserver::dp_unregister(std::string_view message) {
    FieldReader r(message.data(), message.size(), DCH_REQUEST_FIELDS);
    std::string appl;
    if (!readApplName(r, &appl)) {
        return DCH_STATUS_FAILED;
    }
    VA_STATE("Deleting ApplSpaceEntry<%s>\n", appl.c_str());
    const int status = _buckets->freeApplicationSpace(appl);
    if (status == 0) {
        dropUnclaimedData(appl);  // a registration that comes again may lay its rows out anew
    }
    if (status > 0) {
        VA_ERROR("Warning: errorCode<%d> Delete ApplSpaceEntry<%s>\n", status, appl.c_str());
    }
    _lastWaiter = nullptr;
    return status;
}
