// The hub protocol: message frame, field codes, request codes, status values and the field codec.
// Shared by the hub (src/hub) and its clients (the hub client calls of the support library).
// docs/hub-protocol.md describes the bytes.
//
// Frame: bytes 0-3 hold the total length of the message (these 4 bytes included), in network byte
// order; fields follow from byte 4. One field: type code (2 bytes, network order), value length
// (4 bytes, network order), for DCH_attrValue and DCH_attrTypeValue one extra byte, then the value.
// Numeric values are native integers copied byte for byte.
#pragma once

#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

// ---------------------------------------------------------------------------------------------------
// Field type codes

inline constexpr uint16_t DCH_noField = 0x0000;  // what the decoder returns when no field is left
inline constexpr uint16_t DCH_requestType = 0x0010;
inline constexpr uint16_t DCH_status = 0x0011;
inline constexpr uint16_t DCH_infoText = 0x0012;
inline constexpr uint16_t DCH_applName = 0x0020;
inline constexpr uint16_t DCH_applKey = 0x0021;
inline constexpr uint16_t DCH_sourceName = 0x0022;
inline constexpr uint16_t DCH_attrGroup = 0x0023;
inline constexpr uint16_t DCH_tableName = 0x0024;
inline constexpr uint16_t DCH_attributesType = 0x0030;
inline constexpr uint16_t DCH_TTL = 0x0040;
inline constexpr uint16_t DCH_attrName = 0x0050;
inline constexpr uint16_t DCH_attrValue = 0x0051;
inline constexpr uint16_t DCH_attrTypeValue = 0x0052;
inline constexpr uint16_t DCH_attrRegister = 0x0060;
inline constexpr uint16_t DCH_controlField = 0x0070;
inline constexpr uint16_t DCH_handle = 0x0080;
inline constexpr uint16_t DCH_helpText = 0x0090;
inline constexpr uint16_t DCH_actionType = 0x0100;
inline constexpr uint16_t DCH_actionName = 0x0110;
inline constexpr uint16_t DCH_actionID = 0x0120;
inline constexpr uint16_t DCH_actionParms = 0x0130;
inline constexpr uint16_t DCH_actionResult = 0x0140;
inline constexpr uint16_t DCH_actionOwner = 0x0150;
inline constexpr uint16_t DCH_time = 0x0160;
inline constexpr uint16_t DCH_objectPtr = 0x0170;
inline constexpr uint16_t DCH_dpType = 0x0180;
inline constexpr uint16_t DCH_applRun = 0x0190;  // 4 bytes: a run of an application (DCH_APPLICATION_RUN)

// ---------------------------------------------------------------------------------------------------
// Request codes (also the waiter types of the hub's waiting list)

inline constexpr int16_t DCH_dp_register = 0x1010;
inline constexpr int16_t DCH_dp_online = 0x1015;
inline constexpr int16_t DCH_dp_unregister = 0x1020;
inline constexpr int16_t DCH_dp_offline = 0x1025;
inline constexpr int16_t DCH_dp_data = 0x1030;
inline constexpr int16_t DCH_dp_waitForAction = 0x1040;
inline constexpr int16_t DCH_dp_provideActionResults = 0x1050;
inline constexpr int16_t DCH_dp_actionRequest = 0x1060;  // sent by the hub only
inline constexpr int16_t DCH_dp_redriveReportRequest = 0x1070;
inline constexpr int16_t DCH_dp_setDemandReportOption = 0x1080;
inline constexpr int16_t DCH_dp_demandReportResults = 0x1090;  // sent by the hub only
inline constexpr int16_t DCH_dp_cancel = 0x10FF;
inline constexpr int16_t DCH_dc_getApplications = 0x2040;
inline constexpr int16_t DCH_dc_getApplHelp = 0x2045;
inline constexpr int16_t DCH_dc_getApplAttributes = 0x2050;
inline constexpr int16_t DCH_dc_waitOnData = 0x2060;
inline constexpr int16_t DCH_dc_waitForDPStatus = 0x2070;
inline constexpr int16_t DCH_dc_provideAction = 0x2080;
inline constexpr int16_t DCH_dc_waitForActionResults = 0x2090;
inline constexpr int16_t DCH_dc_deferReportRequest = 0x20A0;
inline constexpr int16_t DCH_dc_getDemandReportResults = 0x20B0;  // waiter type only

// A dc_waitOnData subscription (status 1) may carry DCH_controlField with this value after DCH_status:
// the subscriber also takes the data messages the hub kept for the group while no collector waited
// on it, in the order they were sent, before any later one.
inline constexpr int16_t DCH_CLAIM_UNCLAIMED_DATA = 1;
// Another bit of that field: the subscriber takes the answers to demand report requests in line with
// the group's data messages. For a dp_redriveReportRequest of one of the group's sources the hub then
// sends this subscriber, behind the rows it already sent it, a message of DCH_sourceName,
// DCH_controlField (DCH_REPORT_ANSWERED) and DCH_actionID instead of redriving the request itself:
// the subscriber redrives it once those rows are stored, so the report shows them.
inline constexpr int16_t DCH_REPORT_ANSWERS_IN_LINE = 2;
inline constexpr int16_t DCH_REPORT_ANSWERED = 0x0AA0;
// Another bit, for a subscriber by datagram: the hub may put several whole data messages back to back
// into one datagram of at most 8192 bytes, each framed by its own length. A message longer than a
// datagram still comes alone, in pieces. Without it, one datagram holds one message.
inline constexpr int16_t DCH_PACKED_DATAGRAMS = 4;
// The hub numbers the runs of each application: a run begins when a source of an application comes
// online while none of its sources is online, and ends when its last online source goes offline.
// Every provider status record carries the number of the run it belongs to (DCH_applRun, after
// DCH_requestType). Another bit of a dc_waitOnData subscription's DCH_controlField: the subscription
// belongs to one run of the application, named by a DCH_applRun field after the control field. The
// hub takes it only while that run lasts (else it is dropped, and the rows kept for the group stay for
// a collector of the run that does last) and ends it when the run ends: the rows of a later run never
// reach a collector that is going away with an earlier one. A status 0 that carries the bit is not
// an error when the run already ended the subscription.
inline constexpr int16_t DCH_APPLICATION_RUN = 8;

// ---------------------------------------------------------------------------------------------------
// Status values

inline constexpr int32_t DCH_STATUS_OK = 0;
inline constexpr int32_t DCH_STATUS_FAILED = -1;
inline constexpr int32_t DCH_STATUS_DUPLICATE = 1;  // dp_register; elsewhere "missing or not found"
inline constexpr int32_t DCH_STATUS_UNREGISTERED_ATTR = 2;
inline constexpr int32_t DCH_STATUS_NO_SOURCE = 5;
inline constexpr int32_t DCH_STATUS_DUPLICATE_GROUP = 6;
inline constexpr int32_t DCH_STATUS_RESEND = 7;
// dp_register: another application holds the key (the first three letters of the name); the reply
// names it in a DCH_applName field after DCH_status.
inline constexpr int32_t DCH_STATUS_KEY_HELD = 8;

// Internal texts the transport queues in place of a request.
inline constexpr std::string_view DCH_TEXT_SERVER_READY = "IPC-SERVER_READY";
inline constexpr std::string_view DCH_TEXT_DISCONNECT = "DP-DISCONNECT";
inline constexpr std::string_view DCH_TEXT_RESEND = "RESEND_MESSAGE";

// Widths of the names and texts the hub accepts (longer ones are cut or refused, per request).
inline constexpr size_t DCH_MIN_APPL_NAME = 3;
inline constexpr size_t DCH_MAX_APPL_NAME = 20;
inline constexpr size_t DCH_MAX_ATTR_GROUP = 32;
inline constexpr size_t DCH_MAX_SOURCE_NAME = 32;
inline constexpr size_t DCH_MAX_HELP_TEXT = 245;
inline constexpr size_t DCH_MAX_ATTR_NAME = 201;
inline constexpr size_t DCH_MAX_DP_TYPE = 4;

// Size of the frame's length prefix and of one field's header.
inline constexpr size_t DCH_FRAME_HEADER = 4;
inline constexpr size_t DCH_FIELD_HEADER = 6;
// The byte at which a request's own fields start (after the frame and the DCH_requestType field).
inline constexpr size_t DCH_REQUEST_FIELDS = DCH_FRAME_HEADER + DCH_FIELD_HEADER + 2;

// ---------------------------------------------------------------------------------------------------
// The field codec

// Appends one field at cursor inside message, which holds capacity bytes, and updates the total length
// in the first 4 bytes. A length of 0 sizes the value from the field type: 2 bytes for the 16-bit
// fields, 4 for the 32-bit ones, the terminated text for the others. extra is the one additional byte
// of DCH_attrValue and DCH_attrTypeValue (ignored for other types). Returns the bytes written, which
// the caller adds to its cursor, or 0 when the field would not fit (nothing is written then).
int ZOT0_FormatDataField(char* message, size_t capacity, char* cursor, uint16_t dataType, const void* value,
                         int length, char extra = 0);

// Reads the field at *cursor, which must not pass end (the end of the bytes that hold the message).
// Returns its type, points *value at its value bytes, sets *length to their count, stores the extra
// byte in *extra (when not null; 0 for other field types) and advances *cursor past the field.
// Returns DCH_noField, and leaves *cursor, when no complete field lies between *cursor and end, so
// any byte sequence is safe to decode whatever the lengths in it claim.
uint16_t ZOT0_ExtractDataField(const char** cursor, const char** value, uint32_t* length, char* extra,
                               const char* end);

// The value size a type takes when formatted with length 0 and a numeric value: 2, 4, or 0 for text.
size_t DCH_numericFieldSize(uint16_t dataType);

namespace vorpane::dch {

// Reads the total length of a message from its first 4 bytes.
inline uint32_t totalLength(const char* message) {
    uint32_t n;
    std::memcpy(&n, message, 4);
    return ntohl(n);
}

// Builds one message: the frame and its fields, growing as needed.
class MessageBuilder {
public:
    explicit MessageBuilder(size_t reserve = 4096);

    MessageBuilder& add(uint16_t dataType, const void* value, size_t length, char extra = 0);
    MessageBuilder& text(uint16_t dataType, std::string_view value) {
        return add(dataType, value.data(), value.size());
    }
    MessageBuilder& int16(uint16_t dataType, int16_t value) { return add(dataType, &value, 2); }
    MessageBuilder& int32(uint16_t dataType, int32_t value) { return add(dataType, &value, 4); }
    // Starts a request: the frame and its DCH_requestType field.
    MessageBuilder& request(int16_t code) { return int16(DCH_requestType, code); }
    // Appends fields already encoded (another builder's bytes after its frame header) as they are.
    MessageBuilder& appendFields(const char* fields, size_t length);

    const char* data() const { return _buf.data(); }
    size_t size() const { return _buf.size(); }
    std::vector<char> release() { return std::move(_buf); }
    void clear();

private:
    std::vector<char> _buf;
};

// Walks the fields of one message held in [message, message + size).
class FieldReader {
public:
    FieldReader(const char* message, size_t size, size_t offset = DCH_FRAME_HEADER);

    struct Field {
        uint16_t type = DCH_noField;
        const char* value = nullptr;
        uint32_t length = 0;
        char extra = 0;

        explicit operator bool() const { return type != DCH_noField; }
        std::string_view text() const { return std::string_view(value, length); }
        // The text up to its first NUL: senders that terminate their texts inside the field.
        std::string_view cText() const {
            const std::string_view t = text();
            return t.substr(0, t.find('\0'));
        }
        bool int16(int16_t* out) const;
        bool int32(int32_t* out) const;
    };

    // The next field, or one whose type is DCH_noField.
    Field next();
    // The next field without consuming it.
    Field peek() const;
    size_t offset() const { return static_cast<size_t>(_cursor - _start); }

private:
    const char* _start;
    const char* _cursor;
    const char* _end;
};

}  // namespace vorpane::dch
