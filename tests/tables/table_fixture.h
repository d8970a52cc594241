// Set-up of the table-class tests: requests opened on a manager the way the framework opens them.
#pragma once

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "../datapath/memory_samples.h"
#include "datapath/samples_access.h"
#include "platform/axf/engine.h"
#include "tables/zot_vorpane_agent.h"
#include "tables/zot_vorpane_manager.h"

namespace vorpane::datapath::testing {

// The framework's side of an open request: what it dispatched.
class OpenRequests : public axf::detail::RequestOwner {
  public:
    ~OpenRequests() override { closeAll(); }

    zot_vorpane_agent& open(zot_vorpane_manager& manager, RequestDetail detail) {
        ContextInfo context{"tester"};
        std::unique_ptr<plaxf> request = manager.CreatePlaxf(&detail, &context);
        plaxf* raw = request.get();
        axf::detail::Access::attach(*raw, this, axf::detail::registerHandle(raw));
        {
            ScopedLock guard(manager.mutex());
            axf::detail::Access::open(manager).push_back(raw);
        }
        _open.push_back({&manager, std::move(request)});
        return *static_cast<zot_vorpane_agent*>(raw);
    }
    void closeAll() {
        for (auto& [manager, request] : _open) {
            {
                ScopedLock guard(manager->mutex());
                auto& open = axf::detail::Access::open(*manager);
                open.erase(std::remove(open.begin(), open.end(), request.get()), open.end());
            }
            axf::detail::releaseHandle(request->Handle());
        }
        _open.clear();
    }

    int dispatched(plaxf& request) override {
        for (int i = 0; i < request.NumDataItems(); ++i) {
            events.emplace_back(request.Data(i));
        }
        return 0;
    }
    void deferRequested(plaxf&) override {}
    void redriveRequested(plaxf&) override {}
    bool isDeferred(const plaxf&) const override { return false; }
    void commandCompleted(plaxf&, PlaxfAutomationCapsule*) override {}

    std::vector<RowView> events;

  private:
    struct Open {
        zot_vorpane_manager* manager;
        std::unique_ptr<plaxf> request;
    };
    std::vector<Open> _open;
};

// The rows a request holds after a sample.
inline std::vector<RowView> rowsOf(const plaxf& request) {
    std::vector<RowView> rows;
    for (int i = 0; i < request.NumDataItems(); ++i) {
        rows.emplace_back(request.Data(i));
    }
    return rows;
}

inline std::vector<std::string> namesOf(const plaxf& request) {
    std::vector<std::string> names;
    for (const RowView& r : rowsOf(request)) {
        names.push_back(r.name);
    }
    return names;
}

}  // namespace vorpane::datapath::testing
