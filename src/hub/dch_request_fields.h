// Field readers shared by the hub's request handlers.
#pragma once

#include <cstdint>

#include "interfaces/dch_protocol.h"
#include "interfaces/trace.h"

// The DCH_handle field that leads dp_data, dp_offline and dp_redriveReportRequest.
inline bool readHandleField(vorpane::dch::FieldReader& r, int32_t* handle) {
    if (!r.next().int32(handle)) {
        VA_ERROR("Error: dataType of DCH_handle missing\n");
        return false;
    }
    return true;
}
