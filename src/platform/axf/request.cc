// The request base class: what a request was asked, its answer rows, its filter and comparisons, and
// the calls through which a table class talks back to the framework (Dispatch, Defer, Redrive).
//
// A request is used by one sampling thread at a time (the framework holds the manager's lock around
// TakeSample and event pushes); its detail does not change after construction.
#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstdint>
#include <cstring>

#include "interfaces/support.h"
#include "platform/axf/engine.h"

namespace {

// A request holds at most this many rows; InsertRow refuses more so that a runaway table cannot eat
// the process.
constexpr int kMaxRowsPerRequest = 1'000'000;
constexpr int kMaxRowSize = 64 * 1024;

int compareResult(_IntfOper oper, int cmp, bool* known) {
    *known = true;
    switch (oper) {
        case IntfOper_EQ:
            return cmp == 0;
        case IntfOper_NE:
            return cmp != 0;
        case IntfOper_GE:
            return cmp >= 0;
        case IntfOper_LE:
            return cmp <= 0;
        case IntfOper_LT:
            return cmp < 0;
        case IntfOper_GT:
            return cmp > 0;
        default:
            *known = false;
            return 0;
    }
}

std::string_view trimField(std::string_view text) {
    if (const void* nul = std::memchr(text.data(), '\0', text.size()); nul != nullptr) {
        text = text.substr(0, static_cast<size_t>(static_cast<const char*>(nul) - text.data()));
    }
    // Text columns are mostly blank padding: step over it eight bytes at a time.
    constexpr uint64_t kBlanks = 0x2020202020202020ULL;
    size_t n = text.size();
    while (n >= sizeof kBlanks) {
        uint64_t word;
        std::memcpy(&word, text.data() + n - sizeof word, sizeof word);
        if (word != kBlanks) {
            break;
        }
        n -= sizeof word;
    }
    while (n > 0 && text[n - 1] == ' ') {
        --n;
    }
    return text.substr(0, n);
}

}  // namespace

namespace axf::detail {

bool likeMatch(std::string_view text, std::string_view pattern) {
    // Iterative match with one backtrack point: linear in practice, no recursion on hostile patterns.
    size_t t = 0, p = 0, starP = std::string_view::npos, starT = 0;
    while (t < text.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == '_' || pattern[p] == text[t])) {
            ++t;
            ++p;
        } else if (p < pattern.size() && (pattern[p] == '*' || pattern[p] == '%')) {
            starP = p++;
            starT = t;
        } else if (starP != std::string_view::npos) {
            p = starP + 1;
            t = ++starT;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && (pattern[p] == '*' || pattern[p] == '%')) {
        ++p;
    }
    return p == pattern.size();
}

std::string fieldText(const char* field, int length) {
    return std::string(fieldView(field, length));
}

std::string_view fieldView(const char* field, int length) {
    return trimField(std::string_view(field, static_cast<size_t>(std::max(length, 0))));
}

namespace {
bool fits(const ReportRows::Field& f, const char* row, int rowSize) {
    return row != nullptr && f.offset >= 0 && f.length >= 0 && f.offset + f.length <= rowSize;
}
}  // namespace

int64_t fieldInteger(const ReportRows::Field& f, const char* row, int rowSize) {
    if (f.type == AXF_COLUMN_INT32 && fits(f, row, rowSize) && f.length >= 4) {
        int32_t v;
        std::memcpy(&v, row + f.offset, sizeof v);
        return v;
    }
    if (f.type == AXF_COLUMN_INT16 && fits(f, row, rowSize) && f.length >= 2) {
        int16_t v;
        std::memcpy(&v, row + f.offset, sizeof v);
        return v;
    }
    return 0;
}

std::string_view fieldTextView(const ReportRows::Field& f, const char* row, int rowSize) {
    if (isIntegerField(f) || !fits(f, row, rowSize)) {
        return {};
    }
    return fieldView(row + f.offset, f.length);
}

}  // namespace axf::detail

plaxf::plaxf(const RequestDetail* request, const ContextInfo* context, TableManager* manager)
    : _detail(request != nullptr ? *request : RequestDetail()),
      _context(context != nullptr ? *context : ContextInfo()),
      _manager(manager),
      _sampleType(_detail.sampleType) {}

plaxf::~plaxf() = default;

void plaxf::PrintSelf() {
    VA_STATE("plaxf @%p handle %lu appl <%s> table <%s> situation <%s> sampleType %d interval %d rows %d\n",
             static_cast<void*>(this), _handle, ApplicationName(), TableName(), SituationName(), _sampleType,
             _detail.interval, _count);
}

int plaxf::GetColumnInfo(ColumnInfo* /*info*/, int colno) {
    VA_ERROR("Error: colno %d is invalid\n", colno);
    return AXF_RC_BAD_COLUMN;
}

int plaxf::ExecuteCommand(const char* command, int /*length*/, char* /*result*/) {
    VA_ERROR("Error: request <%s/%s> does not take commands <%s>\n", ApplicationName(), TableName(),
             command != nullptr ? command : "");
    return 1;
}

int plaxf::InsertRow(const char* row) {
    if (row == nullptr || _rowSize <= 0) {
        VA_ERROR("Error: InsertRow without a row or a row size on <%s/%s>\n", ApplicationName(), TableName());
        return AXF_RC_UNKNOWN;
    }
    if (_count >= kMaxRowsPerRequest) {
        VA_ERROR("Error: request <%s/%s> holds %d rows, the most it may\n", ApplicationName(), TableName(), _count);
        return AXF_RC_LIMIT;
    }
    InsertRows(&row, 1, std::string_view());
    return 0;
}

int plaxf::InsertRows(const char* const* rows, int count, std::string_view stamp) {
    if (rows == nullptr || count <= 0) {
        return 0;
    }
    if (_rowSize <= 0 || stamp.size() > static_cast<size_t>(_rowSize)) {
        VA_ERROR("Error: InsertRows without a row size on <%s/%s>\n", ApplicationName(), TableName());
        return 0;
    }
    const int room = std::max(0, kMaxRowsPerRequest - _count);
    const int n = std::min(count, room);
    const size_t size = static_cast<size_t>(_rowSize);
    if (_rows.capacity() < _rows.size() + static_cast<size_t>(n) * size) {
        // Grow by the allocation default, and at least double, so a large answer costs few moves.
        // Reserved, not resized: the space is written once, by the rows themselves.
        const size_t want = std::max({static_cast<size_t>(_count) * 2, static_cast<size_t>(_count + _allocationDefault),
                                      static_cast<size_t>(_count + n)});
        _rows.reserve(want * size);
    }
    for (int i = 0; i < n;) {
        // Rows that lie side by side (a table's rows usually do) go in one copy.
        int run = 1;
        while (i + run < n && rows[i + run] == rows[i + run - 1] + size) {  // at most one past its block
            ++run;
        }
        const size_t at = _rows.size();
        _rows.insert(_rows.end(), rows[i], rows[i] + static_cast<size_t>(run) * size);  // within the capacity
        char* out = _rows.data() + at;
        for (int r = 0; r < run && !stamp.empty(); ++r, out += size) {
            std::memcpy(out, stamp.data(), stamp.size());
        }
        i += run;
    }
    _count += n;
    if (n < count) {
        VA_ERROR("Error: request <%s/%s> holds %d rows, the most it may\n", ApplicationName(), TableName(), _count);
    }
    return n;
}

int plaxf::CheckForException(const char* row) {
    if (_detail.filter.empty()) {
        return 1;
    }
    // OR of AND-groups: a group is true when all its elements are; the filter when any group is.
    bool group = true;
    for (size_t i = 0; i < _detail.filter.size(); ++i) {
        const FLT1_FILTERINFO& f = _detail.filter[i];
        if (group && f.functionType == 0) {
            group = ColumnIsException(row, f.columnName.c_str(), static_cast<_IntfOper>(f.compareOperator),
                                      f.value.c_str()) != 0;
        }
        bool last = i + 1 == _detail.filter.size();
        if (last || f.logicalOperator == IntfOper_OR) {
            if (group) {
                return 1;
            }
            group = true;
        }
    }
    return 0;
}

int plaxf::ColumnIsException(const char* row, const char* column, _IntfOper oper, const char* value) {
    // Tables that know nothing better: find the column and compare by its type.
    const ColumnInfo* info = row != nullptr && value != nullptr && column != nullptr ? columnByName(column) : nullptr;
    if (info == nullptr) {
        return 0;
    }
    if (info->type == AXF_COLUMN_INT32) {
        return IsException(oper, row + info->offset, value);
    }
    if (info->type == AXF_COLUMN_INT16) {
        int16_t v16;
        std::memcpy(&v16, row + info->offset, sizeof v16);
        int32_t v32 = v16;
        return IsException(oper, reinterpret_cast<const char*>(&v32), value);
    }
    return IsException(oper, row + info->offset, value, info->length);
}

const ColumnInfo* plaxf::columnByName(const char* name) {
    int n = NumColumns();
    if (static_cast<int>(_columnCache.size()) != n) {
        _columnCache.clear();
        for (int i = 0; i < n; ++i) {
            ColumnInfo c;
            if (GetColumnInfo(&c, i) == 0) {
                _columnCache.push_back(std::move(c));
            }
        }
        if (static_cast<int>(_columnCache.size()) != n) {
            _columnCache.clear();  // a column was refused: look again next time
        }
    }
    for (const ColumnInfo& c : _columnCache) {
        if (strcasecmp(c.name.c_str(), name) == 0) {
            return &c;
        }
    }
    return nullptr;
}

void plaxf::CommandCompleted(PlaxfAutomationCapsule* capsule) {
    if (auto* owner = axf::detail::Access::owner(*this); owner != nullptr && capsule != nullptr) {
        owner->commandCompleted(*this, capsule);
    }
}

bool plaxf::IsAutomationRequest() const { return _detail.instructions.find("AUTO(") != std::string::npos; }

const char* plaxf::GetSubnode() {
    if (_subnodeCursor >= _detail.subnodes.size()) {
        return "";
    }
    return _detail.subnodes[_subnodeCursor++].c_str();
}

int plaxf::GetFilterInfo(FLT1_FILTERINFO** element) {
    if (element == nullptr) {
        return AXF_FILTER_END;
    }
    if (_filterCursor >= _detail.filter.size()) {
        _filterCursor = 0;
        *element = nullptr;
        return AXF_FILTER_END;
    }
    *element = &_detail.filter[_filterCursor++];
    return 0;
}

void plaxf::DumpThresholds() const {
    for (const FLT1_FILTERINFO& f : _detail.filter) {
        VA_DETAIL("filter <%s> compare %d logical %d function %d type %d length %d\n", f.columnName.c_str(),
                  f.compareOperator, f.logicalOperator, f.functionType, f.dataType, f.valueLength);
    }
}

int plaxf::IsException(_IntfOper oper, const char* field, const char* value, int length) {
    if (field == nullptr || value == nullptr) {
        return 0;
    }
    if (length > 0 && field[0] == kMissingValue) {
        // A field without a value equals nothing and orders against nothing: only "not equal" holds.
        return oper == IntfOper_NE ? 1 : 0;
    }
    return IsException(oper, std::string_view(field, static_cast<size_t>(std::max(length, 0))), std::string_view(value));
}

int plaxf::IsException(_IntfOper oper, std::string_view field, std::string_view value) {
    field = trimField(field);
    value = trimField(value);
    if (oper == IntfOper_LIKE) {
        return axf::detail::likeMatch(field, value) ? 1 : 0;
    }
    int cmp = field.compare(value);
    bool known;
    int r = compareResult(oper, cmp, &known);
    if (!known) {
        VA_ERROR("Error: unknown compare operator %d\n", static_cast<int>(oper));
    }
    return r;
}

int plaxf::IsException(_IntfOper oper, const char* field, const char* value) {
    if (field == nullptr || value == nullptr) {
        return 0;
    }
    int32_t a, b;
    std::memcpy(&a, field, sizeof a);
    std::memcpy(&b, value, sizeof b);
    if (oper == IntfOper_LIKE) {
        return a == b ? 1 : 0;  // a number has no wildcards
    }
    bool known;
    int r = compareResult(oper, a < b ? -1 : (a > b ? 1 : 0), &known);
    if (!known) {
        VA_ERROR("Error: unknown compare operator %d\n", static_cast<int>(oper));
    }
    return r;
}

void plaxf::SetRowSize(int rowSize) {
    if (rowSize < 0 || rowSize > kMaxRowSize) {
        VA_ERROR("Error: row size %d refused for <%s/%s>\n", rowSize, ApplicationName(), TableName());
        return;
    }
    if (rowSize != _rowSize) {
        _rowSize = rowSize;
        _count = 0;
        _rows.clear();
    }
}

void plaxf::SetAllocationDefault(int rows) { _allocationDefault = std::clamp(rows, 1, 100000); }

int plaxf::NumRowsAllocated() const {
    return _rowSize > 0 ? static_cast<int>(_rows.capacity() / static_cast<size_t>(_rowSize)) : 0;
}

const char* plaxf::Data(int i) const {
    if (i < 0 || i >= _count) {
        return nullptr;
    }
    return _rows.data() + static_cast<size_t>(i) * static_cast<size_t>(_rowSize);
}

int plaxf::UseHandle(unsigned long handle) { return axf::detail::pinHandle(handle, this); }

void plaxf::Drop() { axf::detail::unpinHandle(_handle); }

plaxf* plaxf::PinHandle(unsigned long handle) { return axf::detail::pinRequest(handle); }

int plaxf::Dispatch() {
    auto* owner = axf::detail::Access::owner(*this);
    return owner != nullptr ? owner->dispatched(*this) : 0;
}

void plaxf::Defer() {
    if (auto* owner = axf::detail::Access::owner(*this); owner != nullptr) {
        owner->deferRequested(*this);
    }
}

void plaxf::Redrive() {
    if (auto* owner = axf::detail::Access::owner(*this); owner != nullptr) {
        owner->redriveRequested(*this);
    }
}

bool plaxf::deferred() const {
    auto* owner = axf::detail::Access::owner(*this);
    return owner != nullptr && owner->isDeferred(*this);
}

int plaxf::GetColumnInfoByName(ColumnInfo* info, const char* name) {
    if (info == nullptr || name == nullptr) {
        return AXF_RC_BAD_COLUMN;
    }
    int n = NumColumns();
    for (int i = 0; i < n; ++i) {
        ColumnInfo c;
        if (GetColumnInfo(&c, i) == 0 && strcasecmp(c.name.c_str(), name) == 0) {
            *info = std::move(c);
            return 0;
        }
    }
    return AXF_RC_BAD_COLUMN;
}

void plaxf::FinishedAutomationCommand(PlaxfAutomationCapsule* capsule) { CommandCompleted(capsule); }

plaxf* PlaxfListIter::Next() {
    std::vector<plaxf*>& open = axf::detail::Access::open(*_manager);
    return _next < open.size() ? open[_next++] : nullptr;
}
