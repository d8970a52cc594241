// The attributes of one attribute group of one source in the hub's application space, with their
// current values and running averages.
//
//   attrInfoList     one attribute group of one source: the parsed registration string, the handle
//                    that names the source, its status and the values of its latest row;
//   attrInfoEntry    one attribute: definition, value storage and the average state;
//   attrAverageEntry the average of one average attribute for one combination of key values.
//
// Thread-safety: owned by the hub's request thread, like the whole application space; nothing here
// locks. The handle counter is process-wide and is only advanced on that thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/fixed_text.h"
#include "common/result.h"
#include "common/ring_list.h"

class applSpaceEntry;
class attrInfoEntry;
class attrInfoList;

// The average of one average attribute for one combination of the list's key values. The first five
// key attributes that had a value when the entry was created are its keys.
class attrAverageEntry {
  public:
    static constexpr int kMaxKeys = 5;

    attrAverageEntry(attrInfoEntry& owner, const std::array<std::optional<std::string_view>, kMaxKeys>& keys);
    attrAverageEntry(const attrAverageEntry&) = delete;
    attrAverageEntry& operator=(const attrAverageEntry&) = delete;

    // Folds the owner's current value (length 2 or 4 bytes) into this pair and returns the new average.
    int32_t getNewAverage(int length);

    // Null where the list had fewer key attributes with a value.
    const std::string* key1() const { return key(0); }
    const std::string* key2() const { return key(1); }
    const std::string* key3() const { return key(2); }
    const std::string* key4() const { return key(3); }
    const std::string* key5() const { return key(4); }
    const std::string* key(int index) const { return _keys[index] ? &*_keys[index] : nullptr; }
    int32_t runningSum() const { return _runningSum; }
    int32_t numberOfSamples() const { return _numberOfSamples; }
    // The entry appended after this one, or null.
    attrAverageEntry* Next() const { return _next; }

    void reset();
    void printSelf() const;

  private:
    friend class attrInfoList;

    attrInfoEntry& _owner;
    attrAverageEntry* _next = nullptr;
    int32_t _runningSum = 0;
    int32_t _numberOfSamples = 0;
    std::array<std::optional<std::string>, kMaxKeys> _keys;
};

// One attribute of a list: its definition from the registration string and its current value.
class attrInfoEntry : public vorpane::RingNode<attrInfoEntry> {
  public:
    static constexpr std::size_t kMaxNameLength = 201;

    // help is the text as registered; it is cleaned here. enumeration and format that are absent or
    // of one character become a single blank.
    attrInfoEntry(std::string_view name, std::string_view help, std::optional<std::string_view> enumeration,
                  std::optional<std::string_view> format, char type, int16_t length, bool keyed, bool atomic);
    ~attrInfoEntry();

    // Stores a new value (nothing for a null value) and clears valueIgnore.
    void setValue(const void* value, int length);
    // Folds the value just stored into the attribute's average and replaces the value with it.
    void setAverageValue(attrInfoList& list, int length);

    const std::string& name() const { return _name; }
    const std::string& attrHelp() const { return _attrHelp; }
    const std::string& ENUM() const { return _enum; }
    const std::string& attrFormat() const { return _attrFormat; }
    char type() const { return _type; }
    int16_t attrLength() const { return _attrLength; }
    int16_t dataLength() const { return _dataLength; }
    bool hasValue() const { return !_value.empty(); }
    // The current value: dataLength() bytes (the storage is one byte longer for text types).
    const char* value() const { return _value.empty() ? nullptr : _value.data(); }
    // The bytes of the current value that are sent: dataLength(), never more than the storage holds.
    std::string_view valueView() const;
    bool valueIgnore() const { return _valueIgnore != 0; }
    bool keyed() const { return _keyed != 0; }
    bool atomic() const { return _atomic != 0; }
    int32_t runningSum() const { return _runningSum; }
    int32_t numberOfSamples() const { return _numberOfSamples; }
    // Head of the chain of keyed averages, or null.
    attrAverageEntry* averageEntry() const {
        return _averageChain.empty() ? nullptr : _averageChain.front().get();
    }
    std::size_t averageEntryCount() const { return _averageChain.size(); }

    void printSelf() const;

  private:
    friend class attrInfoList;
    friend class attrAverageEntry;

    // Resets the value for a new row; false for a type that has no reset.
    bool resetValue();
    void markIgnored() { _valueIgnore = 1; }
    void storeAverage(int32_t average, int width);
    int32_t currentValue(int width) const;

    std::string _name;
    std::string _attrHelp;
    std::string _enum;
    std::string _attrFormat;
    char _type;
    // Empty when the type keeps no value.
    std::vector<char> _value;
    int32_t _runningSum = 0;
    int32_t _numberOfSamples = 0;
    // Keyed averages in creation order, and the same entries by their encoded key combination.
    std::vector<std::unique_ptr<attrAverageEntry>> _averageChain;
    std::unordered_map<std::string, attrAverageEntry*> _averageByKeys;
    // Serves rows that carry no key value at all; see attrInfoList::findAverageEntry.
    std::unique_ptr<attrAverageEntry> _keylessAverage;
    int16_t _attrLength;
    int16_t _dataLength;
    int16_t _valueIgnore = 0;
    int16_t _keyed;
    int16_t _atomic;
    // No earlier attribute of the list has the same name: a lookup by name may stop here.
    bool _firstOfName = false;
};

// One attribute group of one source. The constructor parses the registration string; a list whose
// errors() is set after construction is unusable and is destroyed by its owner.
class attrInfoList : public vorpane::RingNode<attrInfoList> {
  public:
    attrInfoList(applSpaceEntry* owner, std::string_view group, std::string_view sourceName, char attrType,
                 int32_t TTL, std::string_view attrRegister, unsigned int connectedDP);
    ~attrInfoList();

    // The base of every handle of this process: the time of the first use in seconds shifted left by
    // 16 bits, made non-negative.
    static int32_t handleBase();

    // ---- Registry side
    // Builds the help text of the attributes: "name,help,format,enumerations," per attribute, the last
    // one ending in ":". 0, or 1 when one attribute's texts exceed 4096 bytes (the text so far is kept).
    int getAttributeHelp(std::string* out) const;

    applSpaceEntry* ApplSpaceEntry() const { return _owner; }
    const char* group() const { return _group.c_str(); }
    const char* sourceName() const { return _sourceName.c_str(); }
    std::string_view groupView() const { return _group.view(); }
    std::string_view sourceNameView() const { return _sourceName.view(); }
    char attrType() const { return _attrType; }
    int32_t TTL() const { return _TTL; }
    int32_t handle() const { return _handle; }
    const std::string& attrRegister() const { return _attrRegister; }
    char status() const { return _status; }
    unsigned int connectedDP() const { return _connectedDP; }
    int16_t errors() const { return _errors.code(); }
    int16_t controlField() const { return _controlField; }
    std::size_t noOfElements() const { return _attrs.size(); }
    void setSourceName(std::string_view text) { _sourceName.assign(text); }
    void setStatus(char status) { _status = status; }
    void setConnectedDP(unsigned int connectedDP) { _connectedDP = connectedDP; }

    // The attributes in registration order.
    const vorpane::RingList<attrInfoEntry>& attributes() const { return _attrs; }
    // The first attribute of exactly that name, or null.
    attrInfoEntry* findAttribute(std::string_view attrName) const;

    // ---- Values
    // Stores controlField, then the value of the named attribute. 0 stored; 1 not stored (null name
    // or value, or no such attribute).
    int setValue(const char* attrName, int16_t controlField, const void* value, int length);
    // Resets every value for a new row. Returns errors(): 1 when an attribute could not be reset.
    int16_t clearValues();
    // Formats the data message of the current values into buffer: the total length, the source name
    // when one is given, the control field and one typed value per attribute. buffer is grown to
    // bufferSize bytes when it holds fewer. Formats only when bufferSize is larger than
    // 288 + the sum of the value lengths. Returns the message length, or -1.
    int getAttrValues(std::vector<char>& buffer, std::size_t bufferSize, const char* sourceName);
    // The named attribute's type letter, or '?'.
    char getAttrType(const char* attrName) const;
    // The next attribute after previous (the first when null) that holds a value that counts and is
    // keyed, or null.
    attrInfoEntry* getNextKeyAttr(const attrInfoEntry* previous) const;
    // The keyed average of attribute for the current key values; created when none matches.
    attrAverageEntry* findAverageEntry(attrInfoEntry& attribute);

    void printSelf() const;

  private:
    using KeyValues = std::array<std::optional<std::string_view>, attrAverageEntry::kMaxKeys>;

    void parseRegistration();
    // The values of the first five keyed attributes that hold a value; returns how many.
    int currentKeys(KeyValues* keys) const;

    applSpaceEntry* _owner;
    vorpane::FixedText<32> _group;
    vorpane::FixedText<32> _sourceName;
    char _attrType;
    int32_t _TTL;
    int32_t _handle = -1;
    std::string _attrRegister;
    char _status = '?';
    unsigned int _connectedDP;
    vorpane::StickyError _errors;
    int16_t _controlField = 0x11;
    vorpane::RingList<attrInfoEntry> _attrs;
    // Lookup aids for the per-row path; both follow _attrs, which never changes after construction.
    // Keys view the attributes' own names; the first attribute of a name wins, as a walk would find.
    std::unordered_map<std::string_view, attrInfoEntry*> _byName;
    // Providers send a row's attributes in registration order, and the request handler asks for the
    // type of an attribute just before storing it: the last attribute found and the one after it are
    // tried before hashing.
    mutable attrInfoEntry* _lastFound = nullptr;
    std::vector<attrInfoEntry*> _keyedAttrs;
    // Reused encoding buffer for the keyed-average lookup, so a row does not allocate.
    std::string _keyScratch;
};
