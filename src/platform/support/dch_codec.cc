// The hub field codec. Encoding checks the room left; decoding never reads past the end it is given,
// whatever the lengths inside the bytes claim.
#include <arpa/inet.h>

#include <cstring>

#include "interfaces/dch_protocol.h"

namespace {

bool hasExtraByte(uint16_t type) { return type == DCH_attrValue || type == DCH_attrTypeValue; }

void storeTotal(char* message, uint32_t total) {
    uint32_t n = htonl(total);
    std::memcpy(message, &n, 4);
}

}  // namespace

size_t DCH_numericFieldSize(uint16_t dataType) {
    switch (dataType) {
        case DCH_requestType:
        case DCH_controlField:
        case DCH_actionType:
            return 2;
        case DCH_status:
        case DCH_TTL:
        case DCH_handle:
        case DCH_actionID:
        case DCH_time:
        case DCH_objectPtr:
            return 4;
        default:
            return 0;
    }
}

int ZOT0_FormatDataField(char* message, size_t capacity, char* cursor, uint16_t dataType, const void* value,
                         int length, char extra) {
    if (message == nullptr || cursor == nullptr || capacity < DCH_FRAME_HEADER || cursor < message + DCH_FRAME_HEADER ||
        length < 0 || dataType == DCH_noField) {
        return 0;
    }
    size_t valueLength = static_cast<size_t>(length);
    if (valueLength == 0 && value != nullptr) {
        size_t numeric = DCH_numericFieldSize(dataType);
        valueLength = numeric != 0 ? numeric : std::strlen(static_cast<const char*>(value));
    }
    const size_t header = DCH_FIELD_HEADER + (hasExtraByte(dataType) ? 1 : 0);
    const size_t used = static_cast<size_t>(cursor - message);
    if (used > capacity || capacity - used < header + valueLength || used + header + valueLength > UINT32_MAX) {
        return 0;
    }
    uint16_t type = htons(dataType);
    uint32_t len = htonl(static_cast<uint32_t>(valueLength));
    std::memcpy(cursor, &type, 2);
    std::memcpy(cursor + 2, &len, 4);
    if (hasExtraByte(dataType)) {
        cursor[DCH_FIELD_HEADER] = extra;
    }
    if (valueLength != 0) {
        if (value != nullptr) {
            std::memcpy(cursor + header, value, valueLength);
        } else {
            std::memset(cursor + header, 0, valueLength);
        }
    }
    const size_t written = header + valueLength;
    // Fields are appended in order: the message now ends with this field.
    storeTotal(message, static_cast<uint32_t>(used + written));
    return static_cast<int>(written);
}

uint16_t ZOT0_ExtractDataField(const char** cursor, const char** value, uint32_t* length, char* extra,
                               const char* end) {
    if (cursor == nullptr || *cursor == nullptr || end == nullptr || *cursor > end ||
        static_cast<size_t>(end - *cursor) < DCH_FIELD_HEADER) {
        return DCH_noField;
    }
    const char* p = *cursor;
    uint16_t type;
    uint32_t len;
    std::memcpy(&type, p, 2);
    std::memcpy(&len, p + 2, 4);
    type = ntohs(type);
    len = ntohl(len);
    const size_t header = DCH_FIELD_HEADER + (hasExtraByte(type) ? 1 : 0);
    const size_t left = static_cast<size_t>(end - p);
    if (type == DCH_noField || left < header || left - header < len) {
        return DCH_noField;
    }
    if (extra != nullptr) {
        *extra = hasExtraByte(type) ? p[DCH_FIELD_HEADER] : 0;
    }
    if (value != nullptr) {
        *value = p + header;
    }
    if (length != nullptr) {
        *length = len;
    }
    *cursor = p + header + len;
    return type;
}

namespace vorpane::dch {

MessageBuilder::MessageBuilder(size_t reserve) {
    _buf.reserve(reserve < DCH_FRAME_HEADER ? DCH_FRAME_HEADER : reserve);
    clear();
}

void MessageBuilder::clear() {
    _buf.assign(DCH_FRAME_HEADER, '\0');
    storeTotal(_buf.data(), DCH_FRAME_HEADER);
}

MessageBuilder& MessageBuilder::add(uint16_t dataType, const void* value, size_t length, char extra) {
    char header[DCH_FIELD_HEADER + 1];
    const uint16_t type = htons(dataType);
    const uint32_t len = htonl(static_cast<uint32_t>(length));
    std::memcpy(header, &type, 2);
    std::memcpy(header + 2, &len, 4);
    header[DCH_FIELD_HEADER] = extra;
    // Appended, not resized and then overwritten: the bytes are written once.
    _buf.insert(_buf.end(), header, header + DCH_FIELD_HEADER + (hasExtraByte(dataType) ? 1 : 0));
    if (length != 0) {
        if (value != nullptr) {
            const char* bytes = static_cast<const char*>(value);
            _buf.insert(_buf.end(), bytes, bytes + length);
        } else {
            _buf.insert(_buf.end(), length, '\0');
        }
    }
    storeTotal(_buf.data(), static_cast<uint32_t>(_buf.size()));
    return *this;
}

MessageBuilder& MessageBuilder::appendFields(const char* fields, size_t length) {
    if (fields != nullptr && length != 0) {
        _buf.insert(_buf.end(), fields, fields + length);
        storeTotal(_buf.data(), static_cast<uint32_t>(_buf.size()));
    }
    return *this;
}

FieldReader::FieldReader(const char* message, size_t size, size_t offset) : _start(message) {
    size_t limit = size;
    if (size >= DCH_FRAME_HEADER) {
        uint32_t total = totalLength(message);
        if (total < limit) {
            limit = total;  // fields end where the frame says, never past the bytes at hand
        }
    }
    _end = message + limit;
    _cursor = offset <= limit ? message + offset : _end;
}

FieldReader::Field FieldReader::next() {
    Field f;
    f.type = ZOT0_ExtractDataField(&_cursor, &f.value, &f.length, &f.extra, _end);
    return f;
}

FieldReader::Field FieldReader::peek() const {
    const char* c = _cursor;
    Field f;
    f.type = ZOT0_ExtractDataField(&c, &f.value, &f.length, &f.extra, _end);
    return f;
}

bool FieldReader::Field::int16(int16_t* out) const {
    if (type == DCH_noField || length != 2) {
        return false;
    }
    std::memcpy(out, value, 2);
    return true;
}

bool FieldReader::Field::int32(int32_t* out) const {
    if (type == DCH_noField || length != 4) {
        return false;
    }
    std::memcpy(out, value, 4);
    return true;
}

}  // namespace vorpane::dch
