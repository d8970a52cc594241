// The hub object: construction, the request thread and its loop, status replies and the loss of a
// provider's connection. The request handlers live in dch_provider_requests.cc,
// dch_collector_requests.cc and dch_action_requests.cc.
#include "hub/dch_server.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "agent/hub_access.h"
#include "hub/appl_space_list.h"
#include "hub/dc_waiting_list.h"
#include "interfaces/dch_client.h"
#include "interfaces/dch_protocol.h"
#include "interfaces/support.h"

namespace {

constexpr int kMaxErrors = 100;
constexpr long kNoHandle = -99;
// Queued by stop() to end the request loop; like the transport's own texts it is recognised only
// when it was queued inside the process (blank sender name), never when a peer sends the same bytes.
constexpr std::string_view kStopText = "DCH-REQUEST-STOP";

struct HubLimits {
    int maxApplications = 64;
    int maxAttrGroupPerAppl = 64;
};

// Read once per process; later hubs reuse the first values.
const HubLimits& hubLimits() {
    static const HubLimits limits = [] {
        HubLimits l;
        if (const char* v = BSS1_GetEnv("ZOTA_MAX_APPLICATIONS", 0)) {
            l.maxApplications = std::atoi(v);
        }
        if (const char* v = BSS1_GetEnv("ZOTA_MAX_ATTRGROUPS_PER_APPL", 0)) {
            l.maxAttrGroupPerAppl = std::atoi(v);
        }
        return l;
    }();
    return limits;
}

bool startsWith(std::string_view message, std::string_view text) { return message.substr(0, text.size()) == text; }

bool queuedInternally(const DCHclientName& name) { return name.view().find_first_not_of(' ') == std::string_view::npos; }

bool isDataRequest(std::string_view message) {
    vorpane::dch::FieldReader reader(message.data(), message.size());
    int16_t code = 0;
    return reader.next().int16(&code) && code == DCH_dp_data;
}


}  // namespace

DCHserver::DCHserver()
    : _buckets(std::make_unique<applSpaceList>()),
      _waitList(std::make_unique<DCwaitingList>()),
      _actionTable(std::make_unique<actionTable>()) {
    _waitList->setRemovalObserver([this](const DCwaitingListEntry* e) {
        if (e == _lastWaiter) {
            _lastWaiter = nullptr;
        }
    });

    const HubLimits& limits = hubLimits();
    _maxApplications = limits.maxApplications;
    _maxAttrGroupPerAppl = limits.maxAttrGroupPerAppl;
    VA_STATE("MAX_APPLICATIONS=%d\n", _maxApplications);
    VA_STATE("MAX_ATTRGROUP_PER_APPL=%d\n", _maxAttrGroupPerAppl);

    _keepSeconds = keepSecondsFromEnvironment();
    _collectorWindow = collectorWindowFromEnvironment();
    _collectorStall = collectorStallFromEnvironment();

    const int valuesSize = Max_Values_Buf_Size();
    if (valuesSize > 0) {
        _valuesBuf.resize(static_cast<size_t>(valuesSize));
    } else {
        VA_ERROR("Error: allocating %d bytes for _valuesBuf array\n", valuesSize);
    }

    _ipcType = ZOTA_GetIPCtype();
    if (_ipcType == 1) {
        _ipcSrv = std::make_unique<ipcSock>(2, 0, 1);
        _ipcClient = std::make_unique<ipcSock>(1, 1, 0);
    } else if (_ipcType == 2) {
        _ipcSrv = std::make_unique<ipcLPC>(2);
        _ipcClient = std::make_unique<ipcLPC>(1);
    } else {
        VA_ERROR("Error: Unrecognized IPC type %d.  Exiting...\n", _ipcType);
        vorpane::fatalExit("ZOTA_DCH_IPCTYPE=" + std::to_string(_ipcType) +
                           " is not a transport of the hub (1 or 2)");
    }
    if (_ipcSrv->ipcGetError() > 0) {
        VA_ERROR("Error: DCH Manager cannot continue. IPC initialization failed <%d>\n", _ipcSrv->ipcGetError());
        vorpane::fatalExit("the hub's transport cannot start (error " +
                           std::to_string(_ipcSrv->ipcGetError()) + "); the trace log says why");
    }

    if (auto* reply = dynamic_cast<ipcSock*>(_ipcClient.get()); reply != nullptr) {
        _sender = std::make_unique<DCHsender>(reply->sockUDP(), DCHsender::queueBoundFromEnvironment(),
                                              reply->DCHtimeout());
    }

    if (_ipcType == 2) {
        // The local transport carries nothing and never reports ready; start-up goes on without a hub
        // rather than waiting forever.
        VA_ERROR("Warning: ZOTA_DCH_IPCTYPE=2 selects the local transport, which carries no requests; the hub "
                 "will serve no data providers\n");
        vorpane::ScopedLock g(_readyLock);
        _readyState = 1;
        return;
    }

    // The action log's consumer runs from the start: the request thread queues a record for every
    // automation action, and a queue nobody drains would stop it at the tenth.
    if (_actionTable->doActionData() != 0) {
        VA_ERROR("Error: doActionData failed.\n");
    } else {
        _actionDataStarted = 1;
    }

    {
        vorpane::ScopedLock g(_runLock);
        _running = true;
    }
    if (ZOT0_CreateThread([this] { process_request(this); }, 1, nullptr, "dch-requests") != 0) {
        VA_ERROR("Error: process_request thread failed creation. Cannot continue.\n");
        vorpane::fatalExit("the hub's request thread cannot be created");
    }
}

DCHserver::~DCHserver() {
    // The action threads first, while the request thread still answers the rows they send.
    _actionTable->shutdown();
    stop();
    _sender.reset();  // its writer uses the reply socket and the connections, which go next
    if (_publishedHubPort != 0) {
        vorpane::DCH_publishReplyPort(_publishedHubPort, 0, _publishedReplyPort);
    }
    VA_STATE("_readyLock successfully deleted.\n");
    _valuesBuf.clear();
    _buckets.reset();
    _ipcSrv.reset();
    _ipcClient.reset();
    _waitList.reset();
    _actionTable.reset();
}

void DCHserver::publishReplyPort() {
    auto* server = dynamic_cast<ipcSock*>(_ipcSrv.get());
    auto* reply = dynamic_cast<ipcSock*>(_ipcClient.get());
    if (server == nullptr || reply == nullptr) {
        return;
    }
    const int hubPort = server->sockPortUDP();
    const int replyPort = reply->sockPortUDP();
    if (hubPort <= 0 || replyPort <= 0) {
        VA_ERROR("Error: the hub's ports are not known (hub %d, replies %d): subscriptions by datagram will fail\n",
                 hubPort, replyPort);
        return;
    }
    vorpane::DCH_publishReplyPort(hubPort, replyPort);
    _publishedHubPort = hubPort;
    _publishedReplyPort = replyPort;
    VA_STATE("Datagrams to subscribers leave from port %d\n", replyPort);
}

void DCHserver::process_request(DCHserver* server) {
    {
        vorpane::ScopedLock hub(server->_hubLock);
        server->processRequest();
    }
    vorpane::ScopedLock g(server->_runLock);
    server->_running = false;
    server->_runCond.broadcast();
}

void DCHserver::stop() {
    {
        vorpane::ScopedLock g(_runLock);
        if (!_running || _stopping) {
            if (_stopping) {
                _runCond.waitUntil(_runLock, -1, [&]() VA_REQUIRES(_runLock) { return !_running; });
            }
            return;
        }
        _stopping = true;
        _runCond.broadcast();  // a handler pausing in waitWhileRunning() gives up at once
        // So does a wait for a collector.
        if (_waitingOnWindow) {
            _waitingOnWindow->interrupt();
        }
        if (_waitingOnConnection && _sender) {
            _sender->interruptWaits();
        }
    }
    _ipcSrv->ipc_put_data(static_cast<int>(kStopText.size()), kStopText.data(), nullptr, 0, nullptr, 0);
    vorpane::ScopedLock g(_runLock);
    _runCond.waitUntil(_runLock, -1, [&]() VA_REQUIRES(_runLock) { return !_running; });
    _stopping = false;
}

bool DCHserver::waitWhileRunning(double seconds) {
    vorpane::ScopedLock g(_runLock);
    return !_runCond.waitUntil(_runLock, seconds, [&]() VA_REQUIRES(_runLock) { return _stopping; });
}

void DCHserver::processRequest() {
    const char* ignore = BSS1_GetEnv("ZOTA_IGNORE_DCH_ERRORS", 0);
    const bool ignoreErrors = ignore != nullptr && (ignore[0] == 'Y' || ignore[0] == 'y');
    int errorCount = 0;
    long lastStatus = 0;
    std::vector<char> buffer;

    while (errorCount <= kMaxErrors - 1 || ignoreErrors) {
        std::string_view message;
        if (_entryRequests > 0) {
            message = nextOfEntry();  // the same sender's next request of the entry taken last
        } else {
            int dataLen = 0;
            _ipcClientName.assign(std::string_view());
            if (_heldBytes > 0 && _ipcSrv->ipc_queued() == 0) {
                flushHeldData();  // nothing is sent while the thread waits
            }
            const int got =
                _ipcSrv->ipc_get_data(buffer, &dataLen, &_ipcClientAddr, &_ipcClientName, &_connectedSockFD);
            if (got == 2) {
                continue;  // one refused message (traced by the queue); the next one is served
            }
            if (got != 0) {
                // The queue was closed under us: nothing more will arrive.
                VA_ERROR("Error: DCHserver request queue is closed.\n");
                flushHeldData();
                return;
            }
            _ipcClient->setClientAddr(_ipcClientAddr.bytes.data(), _ipcClientAddr.length);
            if (dataLen <= 0 || static_cast<size_t>(dataLen) > buffer.size()) {
                continue;
            }
            message = std::string_view(buffer.data(), static_cast<size_t>(dataLen));
            if (_connectedSockFD != 0 && !queuedInternally(_ipcClientName)) {
                message = firstOfEntry(message);
            }
        }
        const bool internal = queuedInternally(_ipcClientName);
        if (_heldBytes > 0 && !isDataRequest(message)) {
            // Held data is never overtaken by the effects of any other request.
            if (internal && startsWith(message, DCH_TEXT_DISCONNECT)) {
                dropHeldData(_connectedSockFD);
            }
            flushHeldData();
        }

        if (internal && startsWith(message, kStopText)) {
            VA_STATE("DCHserver request thread stopping.\n");
            return;
        }
        if (internal && startsWith(message, DCH_TEXT_DISCONNECT) && _connectedSockFD != 0) {
            processDisconnect(_connectedSockFD);
            // Everything that named the connection is gone: only now may its number be reused.
            _ipcSrv->releaseConnection(_connectedSockFD);
            continue;
        }
        if (internal && startsWith(message, DCH_TEXT_SERVER_READY)) {
            publishReplyPort();
            vorpane::ScopedLock g(_readyLock);
            if (g.ok()) {
                _readyState = 1;
                int rc = _readyCond.signal();
                if (rc == 0) {
                    VA_STATE("** IPC Server Ready Signal Sent **\n");
                } else {
                    VA_ERROR("Error: pthread_cond_signal failed. rc=%d errno=%d\n", rc, errno);
                }
            }
            continue;
        }
        if (_connectedSockFD != 0 && startsWith(message, DCH_TEXT_RESEND)) {
            lastStatus = DCH_STATUS_RESEND;
            sendStatus(DCH_STATUS_RESEND, kNoHandle);
            continue;
        }

        vorpane::dch::FieldReader reader(message.data(), message.size());
        vorpane::dch::FieldReader::Field first = reader.next();
        int16_t requestType = 0;
        if (first.type != DCH_requestType || !first.int16(&requestType)) {
            _figures.malformed();
            errorCount = errorCount == INT32_MAX ? 1 : errorCount + 1;
            if (lastStatus == DCH_STATUS_RESEND) {
                VA_ERROR("Warning: Buffer expansion stage. Message ignored.\n");
            } else if (ignoreErrors && errorCount > kMaxErrors) {
                VA_ERROR("Note: ignoring invalid DCH_requestType per ZOTA_IGNORE_DCH_ERRORS=Y\n");
            } else {
                VA_ERROR("Error: dataType of DCH_requestType missing\n");
                ZOT0_PrintDump(vorpane::trace::kError, message.data(), message.size() < 100 ? message.size() : 100);
            }
            continue;
        }

        _figures.request(requestType);
        long status = 0;
        switch (requestType) {
            case DCH_dp_register:
                status = dp_register(message);
                if (status == 0) {
                    VA_STATE("DP Registration successful.\n");
                } else {
                    VA_STATE("DP Registration completed. Sending status %ld\n", status);
                }
                sendRegisterStatus(status);
                break;
            case DCH_dp_online: {
                long handle = 0;
                status = dp_online(message, _ipcClientName.c_str(), &handle);
                if (status == 0) {
                    VA_STATE("DP Online successful. Handle=%ld\n", handle);
                } else {
                    handle = 0;
                    VA_STATE("DP Online Failed. Sending status %ld, handle %ld\n", status, handle);
                }
                sendStatus(status, handle);
                break;
            }
            case DCH_dp_unregister:
                status = dp_unregister(message);
                if (status == 0) {
                    VA_STATE("DP Unregistration successful.\n");
                } else {
                    VA_STATE("DP Unregistration Failed. Sending status %ld\n", status);
                }
                sendStatus(status, kNoHandle);
                break;
            case DCH_dp_offline:
                status = dp_offline(message);
                if (status == 0) {
                    VA_STATE("DP Offline successful.\n");
                } else {
                    VA_STATE("DP Offline Failed. Sending status %ld\n", status);
                }
                sendStatus(status, kNoHandle);
                break;
            case DCH_dp_data:
                status = dp_data(message);
                if (status == 0) {
                    _figures.rowTaken();
                    VA_DETAIL("DP Data successful.\n");
                } else {
                    VA_STATE("DP Data Failed. Sending status %ld\n", status);
                }
                sendDataStatus(status);
                break;
            case DCH_dp_waitForAction:
                status = dp_waitForAction(message);
                VA_STATE(status == 0 ? "DPwaitForAction successful.\n" : "DPwaitForAction failed.\n");
                sendStatus(status, kNoHandle);
                break;
            case DCH_dp_provideActionResults:
                status = dp_provideActionResults(message);
                VA_STATE(status == 0 ? "DPprovideActionResults successful.\n" : "DPprovideActionResults failed.\n");
                sendStatus(status, kNoHandle);
                break;
            case DCH_dp_redriveReportRequest:
                status = dp_redriveReportRequest(message);
                VA_STATE(status == 0 ? "DPredriveReportRequest successful.\n" : "DPredriveReportRequest failed.\n");
                sendStatus(status, kNoHandle);
                break;
            case DCH_dp_setDemandReportOption:
                status = dp_setDemandReportOption(message);
                VA_STATE(status == 0 ? "DPsetDemandReportOption successful.\n" : "DPsetDemandReportOption failed.\n");
                sendStatus(status, kNoHandle);
                break;
            case DCH_dc_waitForActionResults: {
                int actionResult = 1;
                status = dc_waitForActionResults(message, &actionResult);
                if (status == 0) {
                    VA_STATE("DCwaitForActionResults successful. results=%d\n", actionResult);
                } else {
                    VA_STATE("DCwaitForActionResults failed.\n");
                }
                sendStatus(actionResult, kNoHandle);
                break;
            }
            case DCH_dc_provideAction:
                status = dc_provideAction(message);
                if (status != 0 && status != 8 && status != 9) {
                    VA_STATE("DCprovideAction failed.\n");
                }
                break;
            case DCH_dc_deferReportRequest:
                status = dc_deferReportRequest(message);
                if (status < 0) {
                    VA_STATE("DCdeferReportRequest failed.\n");
                }
                break;
            case DCH_dc_waitOnData:
                dc_waitOnData(message, 0, _ipcClientAddr, _connectedSockFD);
                continue;
            case DCH_dc_waitForDPStatus:
                dc_waitForDPStatus(message, nullptr, nullptr, nullptr, 0, _ipcClientAddr, _connectedSockFD);
                continue;
            case DCH_dc_getApplications:
                dc_getApplications(message, nullptr, _ipcClientAddr, _connectedSockFD);
                continue;
            case DCH_dc_getApplAttributes:
                dc_getApplAttributes(message, nullptr, _ipcClientAddr, _connectedSockFD);
                continue;
            case DCH_dc_getApplHelp:
                dc_getApplHelp(message, nullptr, _ipcClientAddr, _connectedSockFD);
                continue;
            case DCH_dp_cancel:
                dp_cancel(message);
                continue;
            default:
                _figures.malformed();
                VA_ERROR("Error: Invalid DCHserver requestType %d\n", requestType);
                continue;
        }
        lastStatus = status;
    }
    flushHeldData();
    VA_ERROR("Error: DCHserver cannot continue. Maximum of %d errors reached.\n", kMaxErrors);
}

std::string_view DCHserver::firstOfEntry(std::string_view entry) {
    const uint32_t first = entry.size() >= DCH_FRAME_HEADER ? vorpane::dch::totalLength(entry.data()) : 0;
    if (first < DCH_FRAME_HEADER || first >= entry.size()) {
        return entry;  // one request (or a text of the transport)
    }
    // The transport queues only whole requests back to back here; should the framing not hold all
    // the way, the entry is handled as one message, as the handlers would see it otherwise.
    int requests = 0;
    for (std::string_view rest = entry.substr(first); !rest.empty(); ++requests) {
        const uint32_t length = rest.size() >= DCH_FRAME_HEADER ? vorpane::dch::totalLength(rest.data()) : 0;
        if (length < DCH_FRAME_HEADER || length > rest.size()) {
            return entry;
        }
        rest.remove_prefix(length);
    }
    _entryRest = entry.substr(first);
    _entryRequests = requests;
    return entry.substr(0, first);
}

std::string_view DCHserver::nextOfEntry() {
    const std::string_view message = _entryRest.substr(0, vorpane::dch::totalLength(_entryRest.data()));
    _entryRest.remove_prefix(message.size());
    --_entryRequests;
    return message;
}

void DCHserver::sendStatus(long status, long handle) {
    // Built on the stack: every request but the collectors' is answered, so this runs once a row.
    std::array<char, DCH_FRAME_HEADER + 2 * (DCH_FIELD_HEADER + 4)> reply{};
    char* cursor = reply.data() + DCH_FRAME_HEADER;
    const int32_t statusValue = static_cast<int32_t>(status);
    cursor += ZOT0_FormatDataField(reply.data(), reply.size(), cursor, DCH_status, &statusValue, 0);
    if (handle != kNoHandle) {
        const int32_t handleValue = static_cast<int32_t>(handle);
        cursor += ZOT0_FormatDataField(reply.data(), reply.size(), cursor, DCH_handle, &handleValue, 0);
    }
    sendTo(reply.data(), vorpane::dch::totalLength(reply.data()), _ipcClientAddr, _connectedSockFD);
}

void DCHserver::sendRegisterStatus(long status) {
    if (status != DCH_STATUS_KEY_HELD) {
        sendStatus(status, kNoHandle);
        return;
    }
    vorpane::dch::MessageBuilder reply(64);
    reply.int32(DCH_status, static_cast<int32_t>(status)).text(DCH_applName, _keyHolder);
    sendTo(reply.data(), static_cast<uint32_t>(reply.size()), _ipcClientAddr, _connectedSockFD);
}

void DCHserver::sendDataStatus(long status) {
    if (_connectedSockFD == 0 || waitingRequests() == 0) {
        sendStatus(status, kNoHandle);
        return;
    }
    std::array<char, DCH_FRAME_HEADER + DCH_FIELD_HEADER + 4> reply{};
    const int32_t statusValue = static_cast<int32_t>(status);
    ZOT0_FormatDataField(reply.data(), reply.size(), reply.data() + DCH_FRAME_HEADER, DCH_status, &statusValue, 0);
    if (holdData(reply.data(), vorpane::dch::totalLength(reply.data()), _connectedSockFD, false)) {
        flushHeldData();
    }
}

int DCHserver::sendTo(const char* message, uint32_t length, const DCHclientAddr& clientAddr,
                      unsigned int connectedSockFD) {
    if (_heldBytes > 0) {
        if (connectedSockFD != 0) {
            flushHeldData(connectedSockFD);
        } else {
            flushHeldDatagrams(clientAddr);
        }
    }
    return writeTo(message, length, clientAddr, connectedSockFD);
}

int DCHserver::writeTo(const char* message, uint32_t length, const DCHclientAddr& clientAddr,
                       unsigned int connectedSockFD) {
    if (_sender) {
        if (connectedSockFD != 0) {
            return _sender->send(static_cast<int>(connectedSockFD), message, length);
        }
        sockaddr_in to{};
        std::memcpy(&to, clientAddr.bytes.data(),
                    std::min(sizeof to, static_cast<size_t>(std::max(clientAddr.length, 0))));
        if (!_collectorFlow.empty()) {
            admitDatagram(clientAddr, length);
        }
        return _sender->sendTo(to, message, length);
    }
    _ipcClient->setClientAddr(clientAddr.bytes.data(), clientAddr.length);
    return _ipcClient->ipcWrite(message, static_cast<int>(length), connectedSockFD);
}

namespace {

bool sameAddress(const DCHclientAddr& a, const DCHclientAddr& b) {
    return a.length == b.length &&
           std::memcmp(a.bytes.data(), b.bytes.data(), static_cast<size_t>(std::max(a.length, 0))) == 0;
}

}  // namespace

bool DCHserver::holdData(const char* message, uint32_t length, unsigned int connectedSockFD, bool row) {
    for (HeldData& h : _heldData) {
        if (h.connectedSockFD == connectedSockFD) {
            return holdIn(h, message, length, row);
        }
    }
    HeldData& held = _heldData.emplace_back();
    held.connectedSockFD = connectedSockFD;
    return holdIn(held, message, length, row);
}

bool DCHserver::holdDatagram(const char* message, uint32_t length, const DCHclientAddr& address) {
    for (HeldData& h : _heldData) {
        if (h.connectedSockFD == 0 && sameAddress(h.address, address)) {
            return holdIn(h, message, length, true);
        }
    }
    HeldData& held = _heldData.emplace_back();
    held.address = address;
    return holdIn(held, message, length, true);
}

bool DCHserver::holdIn(HeldData& held, const char* message, uint32_t length, bool row) {
    const int queued = waitingRequests();
    if (_heldBytes == 0) {
        _heldRows = 0;
        _burstRows = queued;
    }
    held.bytes.insert(held.bytes.end(), message, message + length);
    _heldBytes += length;
    if (row) {
        ++_heldRows;
    }
    // A sender that streams requests keeps the transport waiting behind a full queue: then the burst
    // goes on until the queue runs dry or the bytes reach their bound.
    return queued == 0 || (_heldRows > _burstRows && !_ipcSrv->ipc_backlog()) || _heldBytes >= kMaxHeldData;
}

void DCHserver::flushHeld(HeldData& h) {
    if (h.bytes.empty()) {
        return;
    }
    if (h.connectedSockFD != 0) {
        // A TCP write needs no address: the connection names the peer.
        writeTo(h.bytes.data(), static_cast<uint32_t>(h.bytes.size()), DCHclientAddr{}, h.connectedSockFD);
    } else {
        // Whole messages back to back, as many as one reply datagram holds.
        const size_t size = h.bytes.size();
        for (size_t at = 0; at < size;) {
            size_t end = at + vorpane::dch::totalLength(h.bytes.data() + at);
            while (end < size && end + vorpane::dch::totalLength(h.bytes.data() + end) - at <= DCHsender::kDatagram) {
                end += vorpane::dch::totalLength(h.bytes.data() + end);
            }
            writeTo(h.bytes.data() + at, static_cast<uint32_t>(end - at), h.address, 0);
            at = end;
        }
    }
    _heldBytes -= h.bytes.size();
    h.bytes.clear();
}

void DCHserver::flushHeldData(unsigned int connectedSockFD) {
    for (HeldData& h : _heldData) {
        if (h.connectedSockFD == connectedSockFD && connectedSockFD != 0) {
            flushHeld(h);
        }
    }
}

void DCHserver::flushHeldDatagrams(const DCHclientAddr& address) {
    for (HeldData& h : _heldData) {
        if (h.connectedSockFD == 0 && sameAddress(h.address, address)) {
            flushHeld(h);
        }
    }
}

void DCHserver::forgetHeldDatagrams(const DCHclientAddr& address) {
    for (auto it = _heldData.begin(); it != _heldData.end(); ++it) {
        if (it->connectedSockFD == 0 && sameAddress(it->address, address)) {
            flushHeld(*it);
            _heldData.erase(it);
            return;
        }
    }
}

void DCHserver::flushHeldData() {
    for (HeldData& h : _heldData) {
        flushHeld(h);
    }
}

void DCHserver::dropHeldData(unsigned int connectedSockFD) {
    for (auto it = _heldData.begin(); it != _heldData.end(); ++it) {
        if (it->connectedSockFD == connectedSockFD) {
            _heldBytes -= it->bytes.size();
            _heldData.erase(it);
            return;
        }
    }
}

void DCHserver::processDisconnect(unsigned int connectedSockFD) {
    VA_STATE("Processing disconnect of connection %u\n", connectedSockFD);
    _figures.connectionClosed();
    // Its own waiters go first: the offline records of its sources must not be sent to it.
    _waitList->cleanupEntries(connectedSockFD);
    dropHeldData(connectedSockFD);
    _buckets->sendOffline(*this, connectedSockFD);
    _buckets->deregisterDP(*this, connectedSockFD);
    if (_sender) {
        _sender->forget(static_cast<int>(connectedSockFD));
    }
}
