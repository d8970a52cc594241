// The collector's action calls: handing an action to the hub and waiting for its result, and
// reading the result messages the hub pushes to collectors waiting for results.
#include <cstring>

#include "interfaces/dch_client.h"
#include "interfaces/sync.h"
#include "interfaces/trace.h"

namespace vorpane {

namespace {

bool absent(const char* text) { return text == nullptr || *text == '\0'; }
bool over(const char* text, size_t limit) { return text != nullptr && std::strlen(text) > limit; }

// The dc_provideAction request; false (traced) for values the hub would drop without an answer.
bool provideActionRequest(int16_t actionType, const char* actionOwner, const char* actionNode, const char* subnode,
                          const char* actionName, int32_t actionID, const char* actionParms,
                          dch::MessageBuilder* m) {
    if (actionType < 1 || actionType > 5 || absent(actionNode) || absent(subnode) || absent(actionName) ||
        over(actionOwner, 64) || over(actionNode, 70) || over(subnode, 32) || over(actionName, 256) ||
        over(actionParms, 1024)) {
        VA_ERROR("Error: dc_provideAction refused: actionType %d, or a name missing or too long\n", actionType);
        return false;
    }
    m->request(DCH_dc_provideAction)
        .int16(DCH_actionType, actionType)
        .text(DCH_actionOwner, actionOwner != nullptr ? actionOwner : "")
        .text(DCH_sourceName, actionNode)
        .text(DCH_sourceName, subnode)
        .text(DCH_actionName, actionName)
        .int32(DCH_actionID, actionID);
    if (!absent(actionParms)) {
        m->text(DCH_actionParms, actionParms);
    }
    return true;
}

// dc_waitForActionResults on an open connection.
int waitForResults(HubConnection& connection, int32_t actionID, DCactionResults* results, double resultWait) {
    dch::MessageBuilder m;
    m.request(DCH_dc_waitForActionResults).int32(DCH_actionID, actionID);
    std::vector<HubMessage> replies;
    int rc = connection.request(m, &replies);
    if (rc == DCH_CLIENT_OK && !replies.front().isStatus(&results->status)) {
        rc = DCH_CLIENT_PROTOCOL;
    }
    if (rc != DCH_CLIENT_OK) {
        VA_ERROR("Error: dc_waitForActionResults for actionID %d failed: %s\n", actionID, DCH_clientResultText(rc));
        return rc;
    }
    if (results->status != 1 || resultWait == 0) {
        return DCH_CLIENT_OK;
    }
    // Every result reaches every result waiter: take the one that names this action, or a message
    // that names none (the text alone, from a hub that sends nothing more).
    const double deadline = clock::now() + resultWait;
    for (;;) {
        const double left = resultWait < 0 ? -1 : deadline - clock::now();
        HubMessage message;
        if ((resultWait >= 0 && left <= 0) ||
            connection.receive(HubConnection::Expect::any, &message, left) != DCH_CLIENT_OK) {
            return DCH_CLIENT_OK;
        }
        if (takeActionResult(message, actionID, results)) {
            return DCH_CLIENT_OK;
        }
    }
}

}  // namespace

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

int dc_provideAction(int16_t actionType, const char* actionOwner, const char* actionNode, const char* subnode,
                     const char* actionName, int32_t actionID, const char* actionParms,
                     const vorpane::HubOptions& options) {
    vorpane::dch::MessageBuilder m;
    if (!vorpane::provideActionRequest(actionType, actionOwner, actionNode, subnode, actionName, actionID,
                                       actionParms, &m)) {
        return DCH_CLIENT_BAD_ARGUMENT;
    }
    vorpane::HubConnection connection;
    const int rc = connection.connect(options);
    return rc != DCH_CLIENT_OK ? rc : connection.send(m);
}

int dc_waitForActionResults(int32_t actionID, vorpane::DCactionResults* results, double resultWait,
                            const vorpane::HubOptions& options) {
    if (results == nullptr) {
        return DCH_CLIENT_BAD_ARGUMENT;
    }
    *results = vorpane::DCactionResults();
    // Its own connection: the hub keeps the waiter and sends it every later result until it closes.
    vorpane::HubConnection connection;
    const int rc = connection.connect(options);
    if (rc != DCH_CLIENT_OK) {
        return rc;
    }
    return vorpane::waitForResults(connection, actionID, results, resultWait);
}

int dc_provideActionForResult(int16_t actionType, const char* actionOwner, const char* actionNode,
                              const char* subnode, const char* actionName, int32_t actionID,
                              const char* actionParms, vorpane::DCactionResults* results, double resultWait,
                              const vorpane::HubOptions& options) {
    if (results == nullptr) {
        return DCH_CLIENT_BAD_ARGUMENT;
    }
    *results = vorpane::DCactionResults();
    vorpane::dch::MessageBuilder m;
    if (!vorpane::provideActionRequest(actionType, actionOwner, actionNode, subnode, actionName, actionID,
                                       actionParms, &m)) {
        return DCH_CLIENT_BAD_ARGUMENT;
    }
    // One connection for both: the hub handles a connection's requests in order, so the action is
    // handed over before the wait is parked, and only one connection slot is used.
    vorpane::HubConnection connection;
    int rc = connection.connect(options);
    if (rc == DCH_CLIENT_OK) {
        rc = connection.send(m);
    }
    if (rc != DCH_CLIENT_OK) {
        VA_ERROR("Error: dc_provideAction for actionID %d failed: %s\n", actionID, DCH_clientResultText(rc));
        return rc;
    }
    return vorpane::waitForResults(connection, actionID, results, resultWait);
}
