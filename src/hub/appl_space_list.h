// The hub's application space: the registry of every application that data providers registered,
// one attribute list per attribute group and source under each, and the current values of every
// source (attr_info_list.h).
//
//   applSpaceList   the registry; one per hub. Sources are addressed by the handle of their list.
//   applSpaceEntry  one application: its lists and the information texts the collectors ask for.
//
// Thread-safety: owned by the hub's request thread. Every operation runs there under the hub lock,
// including the calls into the request handlers made by sendCurrentStatus, sendOffline and
// deregisterDP; nothing here locks.
//
// Texts returned as const char* point into the registry's own storage:
//  - names by handle (getApplName, getAttrGroup, getSourceName) and the stored texts (getAttrInfo,
//    getApplHelp) stay valid until their application, list or text is removed or replaced;
//  - getApplInfo returns the result buffer, valid until the next getApplInfo call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/fixed_text.h"
#include "common/ring_list.h"
#include "hub/attr_info_list.h"
#include "hub/dch_handlers.h"

class applSpaceList;

// One application: its attribute lists (one per attribute group and source) and its texts.
class applSpaceEntry : public vorpane::RingNode<applSpaceEntry> {
  public:
    static constexpr std::size_t kApplNameWidth = 20;

    applSpaceEntry(applSpaceList& registry, std::string_view applName);
    ~applSpaceEntry();

    // Builds a list from the registration string and adds it. Returns its handle, or -1 when the
    // string does not parse (the list is discarded). The list is online only when status is 'I'.
    int32_t allocateAttrInfoList(std::string_view group, std::string_view sourceName, char attrType,
                                 int32_t TTL, std::string_view attrRegister, unsigned int connectedDP,
                                 char status);
    // Removes and destroys one of this entry's lists. 0, or 1 when the list is not one of them.
    int freeAttrInfoList(attrInfoList* list);
    // The first list equal in every given criterion; a null criterion is not checked, and with both
    // null nothing is found.
    attrInfoList* searchAttrInfoList(const char* sourceName, const char* group) const;
    // 1 when a list of this application is online.
    int checkForOnline() const;

    // Each replaces the previous text. 0.
    int setApplInfo(std::string_view text);
    int setAttrInfo(std::string_view text);
    int setApplHelp(std::string_view text);
    // The attribute help text of the group's first list into *out. 0 when the group exists, else -1.
    int getAttributeHelp(std::string_view group, std::string* out) const;

    const char* applName() const { return _applName.c_str(); }
    std::string_view applNameView() const { return _applName.view(); }
    // The stored texts, or null while unset.
    const char* getApplInfo() const { return _applInfo ? _applInfo->c_str() : nullptr; }
    const char* getAttrInfo() const { return _attrInfo ? _attrInfo->c_str() : nullptr; }
    const char* getApplHelp() const { return _applHelp ? _applHelp->c_str() : nullptr; }
    // The handle of the list created with the entry (-1 when that list failed).
    int32_t handle() const { return _handle; }
    void setHandle(int32_t handle) { _handle = handle; }
    std::size_t noOfElements() const { return _lists.size(); }
    // Number of applications in the registry when this one was added.
    int16_t applCount() const { return _applCount; }
    void setApplCount(int16_t count) { _applCount = count; }
    // The lists in the order they were added.
    const vorpane::RingList<attrInfoList>& lists() const { return _lists; }

    void emptyList();
    void printSelf() const;

  private:
    applSpaceList& _registry;
    vorpane::RingList<attrInfoList> _lists;
    vorpane::FixedText<kApplNameWidth> _applName;
    std::optional<std::string> _applInfo;
    std::optional<std::string> _attrInfo;
    std::optional<std::string> _applHelp;
    int32_t _handle = -1;
    int16_t _applCount = 0;
};

// The registry of applications. Owned by the hub.
class applSpaceList {
  public:
    applSpaceList();
    ~applSpaceList();
    applSpaceList(const applSpaceList&) = delete;
    applSpaceList& operator=(const applSpaceList&) = delete;

    // Registers one attribute group of an application under the default source name
    // "<applName>_<source counter>". 0 done; 1 the application existed and init was set; -1 failure.
    int allocApplicationSpace(std::string_view applName, std::string_view attrGroup, char attrType,
                              int32_t TTL, std::string_view attrRegister, short init,
                              unsigned int connectedDP);
    // 0 removed; 3 a source of it is online (nothing removed); -1 no such application.
    int freeApplicationSpace(std::string_view applName);
    // A registration was refused: what it added since the source counter stood at firstCounter
    // leaves again. An application that did not exist before (existed false) goes whole; one that
    // did loses only the default-source lists this registration made. The counter itself keeps
    // counting, as it does for every allocation.
    void undoRegistration(std::string_view applName, bool existed, int16_t firstCounter);
    applSpaceEntry* searchApplSpace(std::string_view applName) const;
    // The application that holds applName's key (its first three letters) under another name, or
    // null. The agent's own key is held by its application even before that registers. The key
    // names an application's generated files, work file and tables, so two applications with one
    // key would overwrite each other's.
    std::optional<std::string> keyHolder(std::string_view applName) const;
    // The source list of (application, group, source). A sourceName equal to applName matches every
    // source name that begins with it, so the default source names are found by the application name.
    attrInfoList* searchAttrInfoList(std::string_view applName, std::string_view attrGroup,
                                     std::string_view sourceName) const;
    attrInfoList* searchAttrInfoList(int32_t handle) const;
    // Renames the group's list whose source name equals the application name. 0 done; 4 no such
    // application; 5 no such list.
    int setSourceName(std::string_view applName, std::string_view attrGroup, std::string_view newSourceName);
    // The entry holding the group's first list, with that list's registration data, or null.
    applSpaceEntry* searchApplNameAttrGroup(std::string_view applName, std::string_view attrGroup,
                                            char* attrType, int32_t* TTL, std::string* attrRegister,
                                            unsigned int* connectedDP) const;
    // The handle of (application, group, source) by equal names, or -1.
    int32_t getHandle(std::string_view applName, std::string_view attrGroup,
                      std::string_view sourceName) const;
    // Names by handle, or null for an unknown handle.
    const char* getSourceName(int32_t handle) const;
    const char* getApplName(int32_t handle) const;
    const char* getAttrGroup(int32_t handle) const;
    // 0 done; 1 unknown handle.
    int markOnline(int32_t handle, unsigned int connectedDP);
    int markOffline(int32_t handle);
    // Lists of that application and group that are online.
    int numberOnline(std::string_view applName, std::string_view attrGroup) const;

    // 0 all three stored; -1 no such application.
    int setApplInfo(std::string_view applName, std::string_view applInfo, std::string_view attrInfo,
                    std::string_view applHelp);
    // The application's information text, or for a null name the texts of all applications one after
    // the other, in the result buffer. Null when the name is unknown, the registry is empty or an
    // application has no text yet.
    const char* getApplInfo(const char* applName);
    const char* getAttrInfo(std::string_view applName) const;
    const char* getApplHelp(std::string_view applName) const;
    // The group's attribute help text into *out. 0 done; 1 no such application or group.
    int getAttributeHelp(std::string_view applName, std::string_view attrGroup, std::string* out) const;

    // Sends one provider status record to the client for every list that has been online. 0.
    int sendCurrentStatus(DCHrequestHandlers& server, const DCHclientAddr& clientAddr,
                          unsigned int connectedSockFD) const;
    // A provider's connection is gone: every online list it owned goes offline through dp_offline.
    void sendOffline(DCHrequestHandlers& server, unsigned int connectedDP);
    // Then every application (but "VAGENT") with a list it owned is unregistered through dp_unregister.
    void deregisterDP(DCHrequestHandlers& server, unsigned int connectedDP);
    void printList() const;

    // ---- Values by handle
    // Formats the source's data message into buffer (attrInfoList::getAttrValues), with the list's
    // source name when withSource is non-zero. The message length, or -1 (also for an unknown handle).
    int getData(std::vector<char>& buffer, std::size_t bufferSize, int32_t handle, short withSource);
    // The list's group type letter, or '?'.
    char getDataType(int32_t handle) const;
    // The attribute's type letter, or '?' for an unknown handle or name.
    char getAttrType(int32_t handle, const char* attrName) const;
    // 0 stored (also when the name is unknown: the control field is kept); 2 unknown handle.
    int putData(int32_t handle, int16_t controlField, const char* attrName, const void* value, int length);
    // 0 done; 1 stopped at an attribute that cannot be reset; -1 unknown handle.
    int clearValues(int32_t handle);

    std::size_t noOfElements() const { return _entries.size(); }
    int16_t sourceCounter() const { return _sourceCounter; }
    // The applications in the order they were registered.
    const vorpane::RingList<applSpaceEntry>& entries() const { return _entries; }

  private:
    friend class applSpaceEntry;

    // The handle index follows every list that joins or leaves an entry, so lookups by handle never
    // walk the registry. Handles are unique, so it finds what a walk in registry order would find.
    void indexList(attrInfoList& list) { _byHandle[list.handle()] = &list; }
    void forgetList(const attrInfoList& list) { _byHandle.erase(list.handle()); }

    // Declared before the ring: entries unindex their lists while the ring is destroyed.
    std::unordered_map<int32_t, attrInfoList*> _byHandle;
    vorpane::RingList<applSpaceEntry> _entries;
    // getApplInfo's result; grows past its initial 4096 bytes so the texts of all applications are
    // returned whole.
    std::string _resultBuffer;
    int16_t _sourceCounter = 0;
};
