#include "tables/zot_vorpane_base.h"

#include <cstring>

#include "interfaces/support.h"
#include "metadata/user_data_info.h"
#include "tables/zot_vorpane_manager.h"

using vorpane::metadata::userDataInfo;

zot_vorpane_base::zot_vorpane_base(RequestDetail* request, ContextInfo* context, zot_vorpane_manager* manager)
    : plaxf(request, context, manager),
      _manager(manager),
      _udi(manager != nullptr ? manager->layout() : nullptr) {
    if (_manager == nullptr) {
        VA_ERROR("Warning: zot_vorpane_manager pointer was NULL.\n");
        SetRowSize(0);
    } else if (_udi == nullptr) {
        VA_STATE("Note: userDataInfo object not yet created.\n");
        SetRowSize(0);
    } else {
        SetRowSize(_udi->rowSize());
    }
    SetAllocationDefault(1);
}

zot_vorpane_base::~zot_vorpane_base() = default;

std::shared_ptr<userDataInfo> zot_vorpane_base::layout() const {
    return _manager != nullptr ? _manager->layout() : nullptr;
}

int zot_vorpane_base::NumColumns() {
    const std::shared_ptr<userDataInfo> udi = layout();
    if (udi == nullptr) {
        VA_ERROR("Error: _coInfo not set for application <%s> table <%s>\n", ApplicationName(), TableName());
        return 0;
    }
    return udi->noOfColumns();
}

int zot_vorpane_base::GetColumnInfo(ColumnInfo* info, int colno) {
    const std::shared_ptr<userDataInfo> udi = layout();
    if (udi == nullptr) {
        VA_ERROR("Error: _coInfo not set.\n");
        return AXF_RC_BAD_COLUMN;
    }
    if (info == nullptr || colno < 0 || colno >= udi->noOfColumns()) {
        VA_ERROR("Error: colno %d is invalid\n", colno);
        return AXF_RC_BAD_COLUMN;
    }
    const auto& column = udi->attrInfo(static_cast<std::size_t>(colno));
    info->name.assign(column.columnName.view());
    info->length = column.length;
    info->offset = column.offset;
    switch (column.type) {
        case vorpane::metadata::kTypeString:
        case vorpane::metadata::kTypeTimestamp:
        case vorpane::metadata::kTypeStringEnum:
            info->type = AXF_COLUMN_STRING;
            break;
        default:
            info->type = column.length == 2 ? AXF_COLUMN_INT16 : AXF_COLUMN_INT32;
            break;
    }
    info->attrName = column.attrName;
    info->caption = column.captionStr.value_or(std::string());
    info->key = column.key != 0;
    info->scale = column.scale;
    info->attrType = column.attrType;
    info->unit = column.unit;
    info->help = column.help;
    return 0;
}

int zot_vorpane_base::ColumnIsException(const char* row, const char* column, _IntfOper oper,
                                        const char* value) {
    if (_manager == nullptr) {
        VA_ERROR("Warning: _tblMgr not set.\n");
        return 0;
    }
    const std::shared_ptr<userDataInfo> udi = layout();
    if (udi == nullptr) {
        VA_ERROR("Warning: coInfo cannot be resolved.\n");
        return 0;
    }
    int offset = 0, length = 0, type = -1;
    if (row == nullptr || column == nullptr || value == nullptr ||
        !udi->columnInfo(column, &offset, &length, &type) || offset + length > udi->rowSize()) {
        return 0;
    }
    if (type == vorpane::metadata::kTypeInteger || type == vorpane::metadata::kTypeIntegerEnum) {
        // The framework compares 4-byte numbers; a 2-byte column is widened first.
        int32_t field = 0;
        if (length == 2) {
            int16_t narrow = 0;
            std::memcpy(&narrow, row + offset, 2);
            field = narrow;
        } else if (length == 4) {
            std::memcpy(&field, row + offset, 4);
        }
        return plaxf::IsException(oper, reinterpret_cast<const char*>(&field), value);
    }
    return plaxf::IsException(oper, row + offset, value, length);
}
