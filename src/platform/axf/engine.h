// Inside the framework: how the request classes reach the engine that owns them. Not for table
// classes or the API (they use interfaces/axf.h and interfaces/axf_facade.h).
#pragma once

#include <string>
#include <vector>

#include "interfaces/axf.h"

namespace axf::detail {

// The engine's record of one open request. The request calls back into it from the table class's
// threads: Dispatch from an event push, Defer during TakeSample, Redrive from the samples list or the
// hub, FinishedAutomationCommand from the command callback.
class RequestOwner {
public:
    virtual ~RequestOwner() = default;
    virtual int dispatched(plaxf& request) = 0;
    virtual void deferRequested(plaxf& request) = 0;
    virtual void redriveRequested(plaxf& request) = 0;
    virtual bool isDeferred(const plaxf& request) const = 0;
    virtual void commandCompleted(plaxf& request, PlaxfAutomationCapsule* capsule) = 0;
};

// The framework's access to the private parts of requests and managers.
struct Access {
    static void attach(plaxf& request, RequestOwner* owner, unsigned long handle) {
        request._owner = owner;
        request._handle = handle;
    }
    static RequestOwner* owner(const plaxf& request) { return request._owner; }
    static std::vector<plaxf*>& open(TableManager& manager) VA_REQUIRES(manager._lock) { return manager._open; }
};

// Handles of open requests. A handle maps to its request until release(); pins taken with UseHandle
// keep the request alive until Drop.
unsigned long registerHandle(plaxf* request);
// Refuses new pins, waits until the pins are dropped, forgets the handle.
void releaseHandle(unsigned long handle);
int pinHandle(unsigned long handle, const plaxf* request);
void unpinHandle(unsigned long handle);

// The process-wide registry of table managers (what RemoteManager serves).
std::vector<TableManager*> registeredManagers();
void unregisterManager(TableManager* manager);

// Ends every open request of the manager (its Shutdown and destructor).
void closeRequestsOf(TableManager* manager);

// Decodes one field of a row image into text (cut at its NUL, trailing blanks removed).
std::string fieldText(const char* field, int length);

// LIKE: "*" or "%" any run of characters, "?" or "_" exactly one.
bool likeMatch(std::string_view text, std::string_view pattern);

}  // namespace axf::detail
