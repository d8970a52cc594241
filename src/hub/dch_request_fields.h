// Field readers shared by the hub's request handlers.
#pragma once

#include <cstdint>

#include "interfaces/dch_protocol.h"
#include "interfaces/trace.h"

// The DCH_handle field that leads dp_data, dp_offline and dp_redriveReportRequest.
// A 4-byte number of the given field type; false when the field is of another type or length.
inline bool readInt32Field(vorpane::dch::FieldReader& r, uint16_t type, int32_t* out) {
    const vorpane::dch::FieldReader::Field f = r.next();
    return f.type == type && f.int32(out);
}

inline bool readHandleField(vorpane::dch::FieldReader& r, int32_t* handle) {
    const vorpane::dch::FieldReader::Field f = r.next();
    if (f.type != DCH_handle || !f.int32(handle)) {
        VA_ERROR("Error: dataType of DCH_handle missing\n");
        return false;
    }
    return true;
}
