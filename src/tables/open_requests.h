// Rows pushed to the open requests of a table (event rows), the same way for every table class.
#pragma once

#include "interfaces/axf.h"
#include "interfaces/sync.h"
#include "interfaces/trace.h"

namespace vorpane::tables {

// Under the manager's lock, every open request of class Request that can still be pinned gets
// feed(request), and its rows go to the framework (Dispatch) before the request is cleared and let go.
// 0, 1 when the lock cannot be taken, else the last failed Dispatch result.
template <typename Request, typename Feed>
int feedOpenRequests(TableManager& manager, Feed&& feed) {
    ScopedLock guard(manager.mutex(), [&manager] {
        VA_ERROR("Error: unable to acquire lock for TableManager @%p\n", static_cast<void*>(&manager));
    });
    if (!guard.ok()) {
        return 1;
    }
    int result = 0;
    PlaxfListIter requests(&manager);
    while (plaxf* request = requests.Next()) {
        auto* typed = dynamic_cast<Request*>(request);
        if (typed == nullptr || request->UseHandle(request->Handle()) != 0) {
            continue;
        }
        feed(*typed);
        if (int rc = request->Dispatch(); rc != 0) {
            result = rc;
        }
        request->ClearCount();
        request->Drop();
    }
    return result;
}

}  // namespace vorpane::tables
