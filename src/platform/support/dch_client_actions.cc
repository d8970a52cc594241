// Reading the action result messages the hub pushes to collectors waiting for results.
#include <cstring>

#include "interfaces/dch_client.h"

namespace vorpane {

bool takeActionResult(const HubMessage& message, int32_t actionID, DCactionResults* results) {
    dch::FieldReader reader = message.fields();
    const dch::FieldReader::Field text = reader.next();
    if (text.type != DCH_status || text.length == 4) {
        return false;  // a 4-byte DCH_status alone is a status reply, not a result
    }
    int32_t id = 0;
    int32_t status = 1;
    const dch::FieldReader::Field idField = reader.next();
    const bool named = idField.type == DCH_actionID && idField.int32(&id);
    if (named && id != actionID) {
        return false;
    }
    if (named) {
        const dch::FieldReader::Field statusField = reader.next();
        if (statusField.type == DCH_status && statusField.int32(&status)) {
            results->status = status;
        }
    }
    results->resultText.assign(text.cText());
    results->resultArrived = true;
    return true;
}

}  // namespace vorpane
