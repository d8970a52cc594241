// Attribute lists: registration parsing, value storage, resets, averages and the data message.
#include "hub/attr_info_list.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>

#include "agent/hub_access.h"
#include "hub/appl_space_list.h"
#include "interfaces/dch_protocol.h"
#include "interfaces/support.h"
#include "interfaces/sync.h"
#include "interfaces/trace.h"

namespace {

// The part of every data message that is not attribute values: frame, source name, control field
// and the field headers.
constexpr int kMessageOverhead = 288;
constexpr std::size_t kHelpLimit = 4096;

std::atomic<uint32_t> g_handleCounter{0};

int32_t computeHandleBase() {
    // Only the low 16 bits of the time survive the shift; the sign is dropped so handles start
    // non-negative.
    const uint32_t shifted = static_cast<uint32_t>(vorpane::clock::nowSeconds()) << 16;
    const int32_t base = static_cast<int32_t>(shifted);
    return base < 0 ? static_cast<int32_t>(0u - shifted) : base;
}

int32_t nextHandle() {
    const uint32_t counter = g_handleCounter.fetch_add(1, std::memory_order_relaxed) + 1;
    return static_cast<int32_t>(static_cast<uint32_t>(attrInfoList::handleBase()) + counter);
}

// The next piece of text at or after pos, as the support library's tokenizer gives it: delimiters
// in a row count as one and leading ones are skipped, so an empty piece is never returned.
std::optional<std::string_view> nextToken(std::string_view text, std::size_t& pos, char delimiter) {
    while (pos < text.size() && text[pos] == delimiter) {
        ++pos;
    }
    if (pos >= text.size()) {
        return std::nullopt;
    }
    std::size_t end = text.find(delimiter, pos);
    if (end == std::string_view::npos) {
        end = text.size();
    }
    std::string_view token = text.substr(pos, end - pos);
    pos = end < text.size() ? end + 1 : end;
    return token;
}

// Everything after pos, delimiters included; absent when nothing is left.
std::optional<std::string_view> restOf(std::string_view text, std::size_t pos) {
    if (pos >= text.size()) {
        return std::nullopt;
    }
    return text.substr(pos);
}

// atoi over a piece that is not terminated.
int parseLength(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])) != 0) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    long value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])) != 0; ++i) {
        value = std::min<long>(value * 10 + (text[i] - '0'), INT_MAX);
    }
    return static_cast<int>(negative ? -value : value);
}

std::string blankIfShort(std::optional<std::string_view> text) {
    if (!text || text->size() <= 1) {
        return " ";
    }
    return std::string(*text);
}

bool isGroupType(char type) {
    return type == 'P' || type == 'E' || type == 'S' || type == 'K' || type == 'N';
}

bool isKeyedAverageType(char groupType) {
    return groupType == 'N' || groupType == 'K';
}

// A registered length below 0 holds and sends nothing.
std::size_t usableLength(int16_t attrLength) {
    return attrLength > 0 ? static_cast<std::size_t>(attrLength) : 0;
}

// One step of the running average in 32-bit signed arithmetic (sums wrap as 32-bit integers do;
// division truncates toward zero). width is 2 or 4, the width of the value v.
int32_t foldSample(int32_t& runningSum, int32_t& numberOfSamples, int32_t v, int width,
                   const std::string& name, const void* self) {
    // The count stops at its maximum instead of wrapping to a zero divisor on a very long-lived source.
    if (numberOfSamples < INT32_MAX) {
        ++numberOfSamples;
    }
    const int32_t probe = static_cast<int32_t>(static_cast<int64_t>(runningSum) + v);
    if (probe < 0 && numberOfSamples >= 2) {
        // A sum turning negative restarts the average from the mean so far, weighted as one sample.
        int32_t mean = runningSum / (numberOfSamples - 1);
        if (width == 2) {
            mean = static_cast<int16_t>(mean);
        }
        runningSum = mean;
        numberOfSamples = 2;
        if (width == 2) {
            VA_DETAIL("Reassigned runningSum=%d numberOfSamples=%d for <%s> @%p\n", runningSum,
                      numberOfSamples, name.c_str(), self);
        } else {
            VA_DETAIL("Reassigned runningSum=%ld numberOfSamples=%d for <%s> @%p\n",
                      static_cast<long>(runningSum), numberOfSamples, name.c_str(), self);
        }
    }
    runningSum = static_cast<int32_t>(static_cast<int64_t>(runningSum) + v);
    return runningSum / numberOfSamples;
}

void appendKey(std::string& out, std::string_view key) {
    const uint32_t n = static_cast<uint32_t>(key.size());
    out.append(reinterpret_cast<const char*>(&n), sizeof n);
    out.append(key);
}

}  // namespace

// ---------------------------------------------------------------------------------------------------
// attrAverageEntry

attrAverageEntry::attrAverageEntry(attrInfoEntry& owner,
                                   const std::array<std::optional<std::string_view>, kMaxKeys>& keys)
    : _owner(owner) {
    for (int i = 0; i < kMaxKeys && keys[i]; ++i) {
        _keys[i].emplace(*keys[i]);
    }
}

int32_t attrAverageEntry::getNewAverage(int length) {
    return foldSample(_runningSum, _numberOfSamples, _owner.currentValue(length), length, _owner.name(),
                      this);
}

void attrAverageEntry::reset() {
    _runningSum = 0;
    _numberOfSamples = 0;
}

void attrAverageEntry::printSelf() const {
    VA_DETAIL("attrAverageEntry @%p owner<%s> runningSum=%d numberOfSamples=%d keys=%s%s%s%s%s Next=@%p\n",
              static_cast<const void*>(this), _owner.name().c_str(), _runningSum, _numberOfSamples,
              _keys[0] ? "1" : "-", _keys[1] ? "2" : "-", _keys[2] ? "3" : "-", _keys[3] ? "4" : "-",
              _keys[4] ? "5" : "-", static_cast<const void*>(_next));
}

// ---------------------------------------------------------------------------------------------------
// attrInfoEntry

attrInfoEntry::attrInfoEntry(std::string_view name, std::string_view help,
                             std::optional<std::string_view> enumeration,
                             std::optional<std::string_view> format, char type, int16_t length, bool keyed,
                             bool atomic)
    : _name(name),
      _attrHelp(help),
      _enum(blankIfShort(enumeration)),
      _attrFormat(blankIfShort(format)),
      _type(type),
      _attrLength(length),
      _dataLength(length),
      _keyed(keyed ? 1 : 0),
      _atomic(atomic ? 1 : 0) {
    ZOTA_validateHelpText(_attrHelp);
    const std::size_t textLength = usableLength(length);
    switch (type) {
        case 'A':
        case 'C':
        case 'G':
            // Numeric attributes of any other registered length keep no value and always send zeros.
            if (length == 2 || length == 4) {
                _value.assign(static_cast<std::size_t>(length), '\0');
            }
            break;
        case 'S':
            _value.assign(2, '\0');
            break;
        case 'D':
        case 'O':
            _value.assign(textLength + 1, ' ');
            _value[textLength] = '\0';
            break;
        case 'T': {
            _value.assign(textLength + 1, '\0');
            const std::string now = ZOT0_GetPellanTime();
            std::memcpy(_value.data(), now.data(), std::min(now.size(), textLength));
            break;
        }
        default:
            break;
    }
    VA_STORAGE("attrInfoEntry <%s> type %c length %d @%p\n", _name.c_str(), _type, _attrLength,
               static_cast<const void*>(this));
}

attrInfoEntry::~attrInfoEntry() {
    VA_STORAGE("Deleting attrInfoEntry <%s> @%p\n", _name.c_str(), static_cast<const void*>(this));
}

std::string_view attrInfoEntry::valueView() const {
    if (_value.empty() || _dataLength <= 0) {
        return std::string_view();
    }
    const bool text = _type == 'D' || _type == 'O' || _type == 'T';
    const std::size_t capacity = text ? _value.size() - 1 : _value.size();
    return std::string_view(_value.data(), std::min(static_cast<std::size_t>(_dataLength), capacity));
}

int32_t attrInfoEntry::currentValue(int width) const {
    if (width == 2 && _value.size() >= 2) {
        int16_t v;
        std::memcpy(&v, _value.data(), 2);
        return v;
    }
    if (width == 4 && _value.size() >= 4) {
        int32_t v;
        std::memcpy(&v, _value.data(), 4);
        return v;
    }
    return 0;
}

void attrInfoEntry::storeAverage(int32_t average, int width) {
    if (width == 2 && _value.size() >= 2) {
        const int16_t v = static_cast<int16_t>(average);
        std::memcpy(_value.data(), &v, 2);
    } else if (width == 4 && _value.size() >= 4) {
        std::memcpy(_value.data(), &average, 4);
    }
}

void attrInfoEntry::setValue(const void* value, int length) {
    if (value == nullptr) {
        return;
    }
    const int sent = std::max(length, 0);
    switch (_type) {
        case 'A':
        case 'C':
        case 'G':
            if (_value.empty()) {
                break;  // no storage: the attribute keeps sending its default
            }
            if (sent == 2) {
                std::memcpy(_value.data(), value, 2);
                _dataLength = 2;
            } else if (sent == 4 && _value.size() == 2) {
                // A 4-byte value for a 2-byte attribute is narrowed to 16 bits, saturating, so a small
                // number sent as a 32-bit integer keeps its value instead of being dropped.
                int32_t wide;
                std::memcpy(&wide, value, 4);
                const int16_t narrow = static_cast<int16_t>(std::clamp<int32_t>(wide, INT16_MIN, INT16_MAX));
                std::memcpy(_value.data(), &narrow, 2);
                _dataLength = 2;
            } else if (sent == 4) {
                std::memcpy(_value.data(), value, 4);
                _dataLength = 4;
            }
            break;
        case 'D':
        case 'O':
        case 'T': {
            const std::size_t capacity = _value.size() - 1;
            const std::size_t n = std::min(static_cast<std::size_t>(sent), capacity);
            std::fill(_value.begin(), _value.end(), '\0');
            std::memcpy(_value.data(), value, n);
            _dataLength = static_cast<int16_t>(n);
            break;
        }
        case 'S':
            // A switch shorter than 2 bytes leaves the value, as other unusable numeric lengths do.
            if (sent >= 2) {
                std::memcpy(_value.data(), value, 2);
                _dataLength = 2;
            }
            break;
        default:
            break;
    }
    _valueIgnore = 0;
}

void attrInfoEntry::setAverageValue(attrInfoList& list, int length) {
    if (_value.empty()) {
        return;
    }
    const bool usable = length == 2 || length == 4;
    const int width = _dataLength == 2 ? 2 : 4;
    if (isKeyedAverageType(list.attrType())) {
        if (!usable) {
            return;
        }
        attrAverageEntry* entry = list.findAverageEntry(*this);
        storeAverage(entry->getNewAverage(width), width);
        return;
    }
    if (!usable) {
        if (_numberOfSamples < INT32_MAX) {
            ++_numberOfSamples;
        }
        return;
    }
    storeAverage(foldSample(_runningSum, _numberOfSamples, currentValue(width), width, _name, this), width);
}

bool attrInfoEntry::resetValue() {
    switch (_type) {
        case 'C':
        case 'G':
        case 'S':
            if (_attrLength == 2 || _attrLength == 4) {
                std::fill_n(_value.begin(), std::min(_value.size(), static_cast<std::size_t>(_attrLength)),
                            '\0');
            }
            return true;
        case 'D':
        case 'O':
            std::fill(_value.begin(), _value.end() - 1, ' ');
            return true;
        case 'T': {
            const std::string now = ZOT0_GetPellanTime();
            if (!now.empty()) {
                std::fill(_value.begin(), _value.end(), '\0');
                std::memcpy(_value.data(), now.data(), std::min(now.size(), _value.size() - 1));
            }
            return true;
        }
        default:
            return false;
    }
}

void attrInfoEntry::printSelf() const {
    VA_DETAIL(
        "attrInfoEntry @%p name<%s> type<%c> attrLength=%d dataLength=%d valueIgnore=%d keyed=%d atomic=%d "
        "runningSum=%d numberOfSamples=%d averages=%zu ENUM<%s> format<%s> help<%s>\n",
        static_cast<const void*>(this), _name.c_str(), _type, _attrLength, _dataLength, _valueIgnore, _keyed,
        _atomic, _runningSum, _numberOfSamples, _averageChain.size(), _enum.c_str(), _attrFormat.c_str(),
        _attrHelp.c_str());
    for (const auto& average : _averageChain) {
        average->printSelf();
    }
}

// ---------------------------------------------------------------------------------------------------
// attrInfoList

int32_t attrInfoList::handleBase() {
    static const int32_t base = computeHandleBase();
    return base;
}

attrInfoList::attrInfoList(applSpaceEntry* owner, std::string_view group, std::string_view sourceName,
                           char attrType, int32_t TTL, std::string_view attrRegister,
                           unsigned int connectedDP)
    : _owner(owner),
      _group(group),
      _sourceName(sourceName),
      _attrType(static_cast<char>(std::toupper(static_cast<unsigned char>(attrType)))),
      _TTL(TTL),
      // The registration arrives as a terminated text; anything after a NUL was never part of it.
      _attrRegister(attrRegister.substr(0, std::min(attrRegister.find('\0'), attrRegister.size()))),
      _connectedDP(connectedDP) {
    _handle = nextHandle();
    VA_STORAGE("attrInfoList [%s/%s] handle %d @%p\n", _group.c_str(), _sourceName.c_str(), _handle,
               static_cast<const void*>(this));
    if (!isGroupType(_attrType)) {
        VA_ERROR("Error: Invalid Data Type <%c>\n", _attrType);
        _errors.set(1);
        return;
    }
    parseRegistration();
}

attrInfoList::~attrInfoList() {
    VA_STORAGE("Deleting attrInfoList [%s/%s] handle %d @%p\n", _group.c_str(), _sourceName.c_str(), _handle,
               static_cast<const void*>(this));
}

void attrInfoList::parseRegistration() {
    const std::string_view text = _attrRegister;
    std::size_t recordPos = 0;
    int records = 0;
    while (!_errors) {
        std::optional<std::string_view> record = nextToken(text, recordPos, ';');
        if (!record) {
            break;
        }
        ++records;
        std::size_t pos = 0;
        std::optional<std::string_view> name = nextToken(*record, pos, ',');
        if (!name) {
            VA_ERROR("Error: name was NULL.\n");
            _errors.set(1);
            break;
        }
        std::optional<std::string_view> typeStr = nextToken(*record, pos, ',');
        if (!typeStr) {
            VA_ERROR("Error: typeStr was NULL.\n");
            _errors.set(1);
            break;
        }
        std::optional<std::string_view> lenStr = nextToken(*record, pos, ',');
        if (!lenStr) {
            VA_ERROR("Error: lenStr was NULL.\n");
            _errors.set(1);
            break;
        }
        std::optional<std::string_view> enumeration = nextToken(*record, pos, ',');
        if (!enumeration) {
            VA_ERROR("Error: ENUM was NULL.\n");
            _errors.set(1);
            break;
        }
        std::optional<std::string_view> formatText = nextToken(*record, pos, ',');
        if (!formatText) {
            VA_ERROR("Error: formatText was NULL.\n");
            _errors.set(1);
            break;
        }
        // The help text is the rest of the record: it may itself contain commas.
        std::optional<std::string_view> helpText = restOf(*record, pos);
        if (!helpText) {
            VA_ERROR("Error: helpText was NULL.\n");
            _errors.set(1);
            break;
        }

        std::string_view rawName = *name;
        bool keyed = false;
        bool atomic = false;
        if (rawName.substr(0, 2) == "@$") {
            keyed = atomic = true;
            rawName.remove_prefix(2);
        } else if (rawName.substr(0, 1) == "@") {
            keyed = true;
            rawName.remove_prefix(1);
        } else if (rawName.substr(0, 1) == "$") {
            atomic = true;
            rawName.remove_prefix(1);
        }
        std::string attrName(rawName);
        ZOT0_SubValidNameCharacter(attrName);
        if (attrName.size() > attrInfoEntry::kMaxNameLength) {
            VA_ERROR("Error: attribute <%s> length > %d\n", attrName.c_str(),
                     static_cast<int>(attrInfoEntry::kMaxNameLength));
            _errors.set(1);
            break;
        }
        const char type = typeStr->front();
        const int16_t length = static_cast<int16_t>(parseLength(*lenStr));
        std::string_view help = *helpText == " " ? std::string_view("No attribute Help Defined") : *helpText;

        attrInfoEntry& added = _attrs.insert(std::make_unique<attrInfoEntry>(
            attrName, help, enumeration, formatText, type, length, keyed, atomic));
        added._firstOfName = _byName.emplace(added.name(), &added).second;
        if (added.keyed()) {
            _keyedAttrs.push_back(&added);
        }
    }
    if (records > Max_IB_Columns()) {
        VA_ERROR("Error: Attribute count <%d> exceeds maximum allowed number of attributes <%d>\n", records,
                 Max_IB_Columns());
        _errors.set(1);
    }
}

attrInfoEntry* attrInfoList::findAttribute(std::string_view attrName) const {
    if (_lastFound != nullptr) {
        if (_lastFound->name() == attrName) {
            return _lastFound;
        }
        attrInfoEntry* following = _lastFound->ringPrev();
        if (following != _attrs.head() && following->_firstOfName && following->name() == attrName) {
            _lastFound = following;
            return following;
        }
    }
    auto it = _byName.find(attrName);
    if (it == _byName.end()) {
        return nullptr;
    }
    _lastFound = it->second;
    return it->second;
}

int attrInfoList::getAttributeHelp(std::string* out) const {
    out->clear();
    std::size_t position = 0;
    for (const attrInfoEntry& attr : _attrs) {
        ++position;
        const std::size_t length =
            attr.name().size() + attr.attrHelp().size() + attr.attrFormat().size() + attr.ENUM().size();
        if (length > kHelpLimit) {
            VA_ERROR("Error: %d byte limit exceeded for help string\n", static_cast<int>(kHelpLimit));
            return 1;
        }
        out->append(attr.name()).append(",");
        out->append(attr.attrHelp()).append(",");
        out->append(attr.attrFormat()).append(",");
        out->append(attr.ENUM()).append(position == _attrs.size() ? ":" : ",");
    }
    return 0;
}

int attrInfoList::setValue(const char* attrName, int16_t controlField, const void* value, int length) {
    _controlField = controlField;
    if (attrName == nullptr || value == nullptr) {
        return 1;
    }
    attrInfoEntry* attr = findAttribute(attrName);
    if (attr == nullptr) {
        return 1;
    }
    attr->setValue(value, length);
    if (attr->type() == 'A') {
        attr->setAverageValue(*this, length);
    }
    return 0;
}

int16_t attrInfoList::clearValues() {
    _errors.clear();
    for (attrInfoEntry& attr : _attrs) {
        if (_errors) {
            break;
        }
        if (!attr.hasValue()) {
            continue;
        }
        if (_attrType == 'K') {
            // A keyed row names only the attributes it carries; the others are sent empty.
            attr.markIgnored();
        } else if (!attr.resetValue()) {
            _errors.set(1);
        }
    }
    return _errors.code();
}

int attrInfoList::getAttrValues(std::vector<char>& buffer, std::size_t bufferSize, const char* sourceName) {
    _errors.clear();
    std::size_t needed = kMessageOverhead;
    for (const attrInfoEntry& attr : _attrs) {
        needed += static_cast<std::size_t>(std::max<int16_t>(attr.dataLength(), 0));
    }
    if (buffer.size() < bufferSize) {
        buffer.resize(bufferSize);
    }
    if (bufferSize <= needed) {
        // A buffer that is not larger than needed is a failure, never a partial message.
        VA_ERROR("Error: buffer of %zu bytes too small for attribute values of group<%s>: %zu bytes needed\n",
                 bufferSize, _group.c_str(), needed);
        _errors.set(1);
        return -1;
    }
    char* message = buffer.data();
    std::memset(message, 0, needed);
    const uint32_t frameOnly = htonl(static_cast<uint32_t>(DCH_FRAME_HEADER));
    std::memcpy(message, &frameOnly, sizeof frameOnly);
    char* cursor = message + DCH_FRAME_HEADER;

    // Appends one field; a field that does not fit fails the whole message.
    auto append = [&](uint16_t type, const void* value, std::size_t length, char extra) -> char* {
        const int written =
            ZOT0_FormatDataField(message, bufferSize, cursor, type, length == 0 ? nullptr : value,
                                 static_cast<int>(length), extra);
        if (written <= 0) {
            if (_errors.set(1)) {
                VA_ERROR("Error: attribute values of group<%s> do not fit in %zu bytes\n", _group.c_str(),
                         bufferSize);
            }
            return nullptr;
        }
        char* valueStart = cursor + written - static_cast<std::ptrdiff_t>(length);
        cursor += written;
        return valueStart;
    };

    if (sourceName != nullptr) {
        append(DCH_sourceName, sourceName, std::strlen(sourceName), 0);
    }
    if (!_errors) {
        append(DCH_controlField, &_controlField, sizeof _controlField, 0);
    }
    for (const attrInfoEntry& attr : _attrs) {
        if (_errors) {
            break;
        }
        const char type = attr.type();
        if (attr.hasValue() && !attr.valueIgnore()) {
            const std::string_view v = attr.valueView();
            append(DCH_attrTypeValue, v.data(), v.size(), type);
            continue;
        }
        if (_attrType == 'K') {
            append(DCH_attrTypeValue, nullptr, 0, type);
            continue;
        }
        const std::size_t length = usableLength(attr.attrLength());
        switch (type) {
            case 'A':
            case 'C':
            case 'G':
            case 'S':
                append(DCH_attrTypeValue, nullptr, length, type);  // the codec writes zeros
                break;
            case 'D':
            case 'O':
                if (char* v = append(DCH_attrTypeValue, nullptr, length, type)) {
                    std::memset(v, ' ', length);
                }
                break;
            case 'T': {
                const std::string now = ZOT0_GetPellanTime();
                if (now.empty()) {
                    break;
                }
                if (char* v = append(DCH_attrTypeValue, nullptr, length, type)) {
                    std::memcpy(v, now.data(), std::min(now.size(), length));
                }
                break;
            }
            default:
                VA_ERROR("Error: Don't know how to handle attrType of %c", type);
                _errors.set(1);
                break;
        }
    }
    if (_errors) {
        return -1;
    }
    return static_cast<int>(vorpane::dch::totalLength(message));
}

char attrInfoList::getAttrType(const char* attrName) const {
    if (attrName == nullptr) {
        return '?';
    }
    const attrInfoEntry* attr = findAttribute(attrName);
    return attr == nullptr ? '?' : attr->type();
}

attrInfoEntry* attrInfoList::getNextKeyAttr(const attrInfoEntry* previous) const {
    attrInfoEntry* head = _attrs.head();
    if (head == nullptr) {
        return nullptr;
    }
    attrInfoEntry* at = previous == nullptr ? head : previous->ringPrev();
    if (previous != nullptr && at == head) {
        return nullptr;
    }
    for (;;) {
        if (at->hasValue() && !at->valueIgnore() && at->keyed()) {
            return at;
        }
        at = at->ringPrev();
        if (at == head) {
            return nullptr;
        }
    }
}

int attrInfoList::currentKeys(KeyValues* keys) const {
    int count = 0;
    for (const attrInfoEntry* attr : _keyedAttrs) {
        if (count == attrAverageEntry::kMaxKeys) {
            break;
        }
        if (attr->hasValue() && !attr->valueIgnore()) {
            (*keys)[count++] = attr->valueView();
        }
    }
    return count;
}

attrAverageEntry* attrInfoList::findAverageEntry(attrInfoEntry& attribute) {
    KeyValues keys;
    const int count = currentKeys(&keys);
    if (count == 0) {
        // An entry without keys never matches a later row, so each such row would add an entry that
        // is never found again. The row gets a fresh pair instead, which yields the same average
        // without growing the chain for the life of the source.
        VA_DETAIL("No key attributes to check for average attribute <%s>\n", attribute.name().c_str());
        if (attribute._keylessAverage) {
            attribute._keylessAverage->reset();
        } else {
            attribute._keylessAverage = std::make_unique<attrAverageEntry>(attribute, keys);
        }
        return attribute._keylessAverage.get();
    }
    // Keys are compared as the bytes of their current values. Absent keys only ever trail the present
    // ones, so two combinations match exactly when their encodings are equal, and the index finds the
    // entry a walk of the chain would find.
    _keyScratch.clear();
    for (int i = 0; i < count; ++i) {
        appendKey(_keyScratch, *keys[i]);
    }
    auto found = attribute._averageByKeys.find(_keyScratch);
    if (found != attribute._averageByKeys.end()) {
        return found->second;
    }
    auto created = std::make_unique<attrAverageEntry>(attribute, keys);
    attrAverageEntry* entry = created.get();
    if (!attribute._averageChain.empty()) {
        attribute._averageChain.back()->_next = entry;
    }
    attribute._averageChain.push_back(std::move(created));
    attribute._averageByKeys.emplace(_keyScratch, entry);
    VA_STORAGE("attrAverageEntry for <%s> @%p, %zu in chain\n", attribute.name().c_str(),
               static_cast<const void*>(entry), attribute._averageChain.size());
    return entry;
}

void attrInfoList::printSelf() const {
    VA_DETAIL(
        "attrInfoList @%p group<%s> sourceName<%s> attrType<%c> TTL=%d handle=%d status<%c> connectedDP=%u "
        "noOfElements=%zu errors=%d controlField=%02x attrRegister<%s>\n",
        static_cast<const void*>(this), _group.c_str(), _sourceName.c_str(), _attrType, _TTL, _handle,
        _status, _connectedDP, _attrs.size(), _errors.code(),
        static_cast<unsigned>(static_cast<uint16_t>(_controlField)), _attrRegister.c_str());
    for (const attrInfoEntry& attr : _attrs) {
        attr.printSelf();
    }
}
