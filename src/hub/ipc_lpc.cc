// ipcLPC: the local transport, which does nothing. It keeps the IPC type 2 configuration working
// without a second transport: a hub built on it simply never becomes ready.
#include "hub/dch_ipc.h"
#include "interfaces/trace.h"

ipcLPC::ipcLPC(short typeOfService) : DCHipc(typeOfService) {
    _error = ipcGetError();
}

ipcLPC::ipcLPC() {
    VA_ERROR("Error: this constructor should not be used.");
    _error = 1;
}

int ipcLPC::ipcRead(std::vector<char>* /*buffer*/, int /*initialWait*/) {
    return 0;
}
int ipcLPC::ipcWrite(const void* /*buffer*/, int /*length*/, unsigned int /*connectedSockFD*/) {
    return 0;
}
void ipcLPC::setClientAddr(const void* /*addr*/, int /*length*/) {}
int ipcLPC::IPCServer() {
    return _error;
}
int ipcLPC::IPCClient(void* /*p*/, int /*connectTo*/, int /*typeOfServer*/) {
    return _error;
}
int ipcLPC::allocateIPC() {
    return _error;
}
int ipcLPC::releaseIPC() {
    return _error;
}
