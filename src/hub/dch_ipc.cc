// DCHipc: start-up of a transport and its request queue.
#include "hub/dch_ipc.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "interfaces/support.h"

namespace {

// The shortest sender name a queued message may carry: a dotted address has at least 7 characters,
// the internal messages carry blanks.
constexpr size_t kMinClientName = 5;
// A slot or reader buffer that grew past this for a large message is given back once a message of
// a quarter of its size or less comes: a burst must not leave every later message paying for it.
constexpr size_t kKeptBuffer = 64 * 1024;

}  // namespace

DCHipc::DCHipc(short typeOfService) : _typeOfService(typeOfService) {
    _ipcType = static_cast<short>(ZOTA_GetIPCtype());
    VA_STATE("ZOTA_DCH_IPCTYPE<%d> IPC_QSIZE<%d>\n", _ipcType, IPC_QSIZE);
}

DCHipc::DCHipc() {
    VA_ERROR("Error: this constructor should not be used.\n");
    _ipcError = 1;
}

DCHipc::~DCHipc() {
    DCHipc::stopServer();
}

int DCHipc::startup(void* p, int connectTo) {
    switch (_typeOfService) {
        case 2:
            VA_STATE("DCHipc SERVER Service initializing.\n");
            _ipcCircularBuffer = std::make_unique<ipcCircularBuffer>();
            if (ZOT0_CreateThread([this] { IPCServerThread(this); }, 0, &_serverThread, "dch-ipc-server") !=
                0) {
                VA_ERROR("Error: IPCServerThread thread failed creation.\n");
                _ipcError = 1;
            } else {
                _serverThreadStarted = true;
            }
            break;
        case 1:
        case 3:
            VA_STATE("DCHipc CLIENT Service initializing.\n");
            _ipcError = IPCClient(p, connectTo, _typeOfService);
            if (_ipcError != 0) {
                VA_ERROR("Error: IPCClient failed.\n");
            }
            break;
        default:
            VA_ERROR("Error: Invalid type of service for DCHipc: %d\n", _typeOfService);
            _ipcError = 1;
            break;
    }
    return _ipcError;
}

void DCHipc::IPCServerThread(DCHipc* ipc) {
    if (ipc->IPCServer() != 0) {
        VA_ERROR("Error: IPCServer initialization failure, cannot continue processing.\n");
        ipc->ipcSetError(1);
    }
}

void DCHipc::stopServer() {
    if (ipcCircularBuffer* cb = _ipcCircularBuffer.get(); cb != nullptr) {
        vorpane::ScopedLock g(cb->lock);
        if (g.ok()) {
            cb->closed = true;
            cb->notFull.broadcast();
            cb->notEmpty.broadcast();
        }
    }
    if (_serverThreadStarted) {
        pthread_join(_serverThread, nullptr);
        _serverThreadStarted = false;
    }
}

int DCHipc::ipc_queued() const {
    const ipcCircularBuffer* cb = _ipcCircularBuffer.get();
    return cb == nullptr ? 0 : cb->queued.load(std::memory_order_acquire);
}

bool DCHipc::ipc_backlog() const {
    const ipcCircularBuffer* cb = _ipcCircularBuffer.get();
    return cb != nullptr && cb->writerWaiting.load(std::memory_order_acquire);
}

int DCHipc::ipc_put_data(int length, const void* data, const void* clientAddr, int clientAddrLen,
                         const char* clientName, unsigned int connectedSockFD) {
    ipcCircularBuffer* cb = _ipcCircularBuffer.get();
    if (cb == nullptr) {
        VA_ERROR("Error: ipcCircularBuffer has not been allocated\n");
        return 1;
    }
    if (length < 0 || (length > 0 && data == nullptr)) {
        VA_ERROR("Error: invalid message of %d bytes @%p not queued.\n", length, data);
        return 1;
    }
    vorpane::ScopedLock g(cb->lock, [] { VA_ERROR("Error: unable to acquire ipcCircularBuffer lock\n"); });
    if (!g.ok()) {
        return 1;
    }
    while (cb->num_full >= IPC_QUEUED_MAX && !cb->closed) {
        VA_DETAIL("Waiting for circular buffers to be freed.\n");
        cb->writerWaiting.store(true, std::memory_order_release);
        const int waited = cb->notFull.wait(cb->lock);
        cb->writerWaiting.store(false, std::memory_order_release);
        if (waited != 0) {
            return 1;
        }
    }
    if (cb->closed) {
        VA_DETAIL("The request queue is closed; a message of %d bytes is dropped.\n", length);
        return 1;
    }

    ipcCircularBuffer::Slot& slot =
        cb->slots[static_cast<size_t>((cb->start_idx + cb->num_full) % IPC_QSIZE)];
    // A slot's buffer is zero past the message it held last, so only that message's bytes need
    // clearing before the new one goes in: the buffer ends up as if zeroed whole.
    const size_t previous = static_cast<size_t>(slot.dataLen);
    slot.dataLen = length;
    size_t capacity = slot.data.size();
    const size_t needed = static_cast<size_t>(length);
    if (capacity > kKeptBuffer && needed <= capacity / 4) {
        capacity = 0;  // the burst is over: the slot starts again at its normal size
    }
    if (capacity == 0) {
        capacity = needed > IPC_READ_UNIT - 1 ? needed + 1 : IPC_READ_UNIT;
    } else if (capacity <= needed) {
        capacity += IPC_READ_UNIT;
        while (capacity <= needed) {
            capacity += IPC_READ_UNIT;
        }
    }
    if (capacity != slot.data.size()) {
        slot.data.assign(capacity, 0);
    } else if (previous > needed) {
        std::memset(slot.data.data() + needed, 0, std::min(previous, capacity) - needed);
    }
    if (length > 0) {
        std::memcpy(slot.data.data(), data, needed);
    }

    slot.clientAddr.bytes.fill(0);
    const int addrLen = clientAddr == nullptr
                            ? 0
                            : std::clamp(clientAddrLen, 0, static_cast<int>(slot.clientAddr.bytes.size()));
    if (addrLen > 0) {
        std::memcpy(slot.clientAddr.bytes.data(), clientAddr, static_cast<size_t>(addrLen));
    }
    slot.clientAddr.length = addrLen;
    if (clientName == nullptr) {
        slot.clientName.assign(std::string(DCHclientName::capacity, ' '));
    } else {
        slot.clientName.assign(clientName);
    }
    slot.connectedSockFD = connectedSockFD;
    ++cb->num_full;
    cb->queued.store(cb->num_full, std::memory_order_release);

    // The message is queued either way: a failed signal is traced, and the reader still finds it
    // at its next wake-up.
    if (int rc = cb->notEmpty.signal(); rc != 0) {
        VA_ERROR("Error: pthread_cond_signal failed. rc=%d errno=%d\n", rc, errno);
    }
    return 0;
}

int DCHipc::ipc_get_data(std::vector<char>& buffer, int* dataLen, DCHclientAddr* clientAddr,
                         DCHclientName* clientName, unsigned int* connectedSockFD) {
    if (dataLen != nullptr) {
        *dataLen = 0;
    }
    ipcCircularBuffer* cb = _ipcCircularBuffer.get();
    if (cb == nullptr) {
        VA_ERROR("Error: ipcCircularBuffer has not been allocated\n");
        return 1;
    }
    vorpane::ScopedLock g(cb->lock, [] { VA_ERROR("Error: unable to acquire ipcCircularBuffer lock\n"); });
    if (!g.ok()) {
        return 1;
    }
    while (cb->num_full == 0 && !cb->closed) {
        VA_DETAIL("Waiting for circular buffers to be populated.\n");
        if (cb->notEmpty.wait(cb->lock) != 0) {
            return 1;
        }
    }
    if (cb->closed) {
        return 1;
    }

    ipcCircularBuffer::Slot& slot = cb->slots[static_cast<size_t>(cb->start_idx)];
    if (buffer.size() < slot.data.size()) {
        if (!buffer.empty()) {
            VA_ERROR("Note: deleting and reallocating buffer @%p to %d bytes.\n",
                     static_cast<void*>(buffer.data()), static_cast<int>(slot.data.size()));
        }
        buffer.assign(slot.data.size(), 0);
    } else if (buffer.size() > kKeptBuffer && slot.data.size() <= buffer.size() / 4) {
        buffer.assign(slot.data.size(), 0);  // a burst's buffer is given back
    } else if (buffer.data() == _lastTaken.data && buffer.size() == _lastTaken.size) {
        // The buffer is zero past what the last message put into it: clearing that much leaves it
        // as if zeroed whole, without paying for a large buffer at every small message.
        std::memset(buffer.data(), 0, std::min(_lastTaken.length, buffer.size()));
    } else {
        std::fill(buffer.begin(), buffer.end(), 0);
    }
    std::memcpy(buffer.data(), slot.data.data(), static_cast<size_t>(slot.dataLen));
    _lastTaken = TakenInto{buffer.data(), buffer.size(), static_cast<size_t>(slot.dataLen)};

    // A queued name too short to be an address means the slot was filled wrongly. It is dropped: left
    // queued it would be refused again at every later call and block the queue for good.
    const bool refused = slot.clientName.size() < kMinClientName;
    if (refused) {
        VA_ERROR("Error: ipcClientName ptr problem: @%p %d sizeof(clientName) %d\n",
                 static_cast<void*>(clientName), static_cast<int>(slot.clientName.size()),
                 static_cast<int>(DCHclientName::capacity + 1));
    }
    if (!refused) {
        if (clientName != nullptr) {
            *clientName = slot.clientName;
        }
        if (clientAddr != nullptr) {
            *clientAddr = slot.clientAddr;
        }
        if (connectedSockFD != nullptr) {
            *connectedSockFD = slot.connectedSockFD;
        }
        if (dataLen != nullptr) {
            *dataLen = slot.dataLen;
        }
    }
    cb->start_idx = (cb->start_idx + 1) % IPC_QSIZE;
    --cb->num_full;
    cb->queued.store(cb->num_full, std::memory_order_release);
    if (int rc = cb->notFull.signal(); rc != 0) {
        VA_ERROR("Error: pthread_cond_signal failed. rc=%d errno=%d\n", rc, errno);
    }
    return refused ? 2 : 0;
}
