// zot_vorpane_base: what every request on a user-data table shares: the columns of the table's
// layout, the comparisons of the framework's filter against a row, and AddData, through which the
// row store hands rows to the request.
//
// A request is used by one framework thread at a time (the framework holds the manager's lock
// around TakeSample and event pushes). Every read of the layout holds a share of it, so a layout
// whose application goes offline meanwhile stays whole while it is read.
#pragma once

#include <memory>

#include "datapath/data_list.h"
#include "interfaces/axf.h"

class zot_vorpane_manager;

namespace vorpane::metadata {
class userDataInfo;
}

class zot_vorpane_base : public plaxf, public vorpane::datapath::rowReceiver {
  public:
    zot_vorpane_base(RequestDetail* request, ContextInfo* context, zot_vorpane_manager* manager);
    ~zot_vorpane_base() override;

    void TakeSample() override = 0;
    int NumColumns() override;
    // 0 and the column, or AXF_RC_BAD_COLUMN.
    int GetColumnInfo(ColumnInfo* info, int colno) override;
    // The filter's comparison of one column of row against value; 0 when it cannot be resolved.
    int ColumnIsException(const char* row, const char* column, _IntfOper oper, const char* value) override;
    int AddData(char* row, int rowSize) override = 0;

    zot_vorpane_manager* manager() const { return _manager; }

  protected:
    // The manager's current layout, held while the caller keeps it (null while there is none).
    std::shared_ptr<vorpane::metadata::userDataInfo> layout() const;

    zot_vorpane_manager* _manager;
    // The layout as of the request's construction or its last sample, for the provider's rules.
    std::shared_ptr<vorpane::metadata::userDataInfo> _udi;
};
