// T7SRV.RMTFILE: an application's generated CAT, ATR or ODI file, served in rows of whole lines.
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <optional>

#include "agent/agent_lists.h"
#include "agent/application_probe_list.h"
#include "interfaces/support.h"
#include "interfaces/sync.h"
#include "interfaces/trace.h"
#include "metadata/user_data_list.h"
#include "tables/fixed_tables.h"

namespace vorpane::tables {

namespace {

constexpr std::array<fixedColumn, 3> kColumns{{
    {"filerow", AXF_COLUMN_STRING, kFilerowLength, 0},
    {"originnode", AXF_COLUMN_STRING, 32, 512},
    {"rmtfile", AXF_COLUMN_STRING, 32, 544},
}};

// The longest text a row carries: the field keeps one byte for its terminator.
constexpr std::size_t kMaxRowText = kFilerowLength - 1;
// The application key with the table name, without the release.
constexpr std::size_t kMaxKeyLength = 13;
// The application key: the first three characters of the application name.
constexpr std::size_t kApplKeyLength = 3;

struct fileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

t7srv_rmtfile_base::t7srv_rmtfile_base(RequestDetail* request, ContextInfo* context, TableManager* manager)
    : fixedTableBase(request, context, manager, kColumns, kRmtfileRowSize, kRmtfileRowsAllocated) {}

void t7srv_rmtfile_base::readRequest() {
    _requestRead = true;
    std::optional<std::string> origin;
    std::optional<std::string> file;
    FLT1_FILTERINFO* element = nullptr;
    while (GetFilterInfo(&element) == 0) {
        if (strcasecmp(element->columnName.c_str(), "ORIGINNODE") == 0) {
            origin.emplace(filterValue(*element));
        } else if (strcasecmp(element->columnName.c_str(), "RMTFILE") == 0) {
            file.emplace(filterValue(*element));
        }
    }
    if (!origin || origin->empty()) {
        VA_ERROR("Error: ORIGINNODE was NULL.\n");
        _error = true;
    }
    if (!file || file->empty()) {
        VA_ERROR("Error: RMTFILE was NULL.\n");
        _error = true;
    }
    if (_error) {
        return;
    }
    putField(_row.data(), kColumns[1], *origin);
    putField(_row.data(), kColumns[2], *file);

    const char* infix = nullptr;
    if (file->starts_with("*CAT")) {
        _kind = fileKind::CAT;
        infix = "CAT";
    } else if (file->starts_with("*ATTR")) {
        _kind = fileKind::ATR;
        infix = "ATR";
    } else if (file->starts_with("*ODI")) {
        _kind = fileKind::ODI;
        infix = "ODI";
    } else {
        VA_ERROR("Error: RMTFILE <%s> not recognized\n", file->c_str());
        _error = true;
        return;
    }

    // "<source>:<application key and table name><RR>"
    const std::size_t colon = origin->find(':');
    if (colon == 0) {
        VA_ERROR("Error: sourceName was NULL.\n");
        _error = true;
        return;
    }
    const std::string_view rest =
        colon == std::string::npos ? std::string_view() : std::string_view(*origin).substr(colon + 1);
    if (rest.size() <= 2) {
        VA_ERROR("Error: applKey_tableName_RR was NULL.\n");
        _error = true;
        return;
    }
    // The key's first three characters are an application key, as the hub writes application names
    // (upper-case letters, digits, "_"), and they become the start of a file name: anything else
    // would find another application by a shorter prefix, or name a file outside the work
    // directory ("../").
    auto keyCharacter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'; };
    if (rest.size() < kApplKeyLength + 2 || !std::all_of(rest.begin(), rest.begin() + kApplKeyLength, keyCharacter)) {
        VA_ERROR("Error: applKey_tableName_RR <%.*s> does not begin with three name characters\n",
                 static_cast<int>(rest.size()), rest.data());
        _error = true;
        return;
    }
    const std::string_view RR = rest.substr(rest.size() - 2);
    if (!std::isdigit(static_cast<unsigned char>(RR[0])) || !std::isdigit(static_cast<unsigned char>(RR[1]))) {
        VA_ERROR("Error: applKey_tableName_RR <%.*s> does not end in a two-digit release\n",
                 static_cast<int>(rest.size()), rest.data());
        _error = true;
        return;
    }
    _applKeyTableName.assign(rest.substr(0, std::min(rest.size() - 2, kMaxKeyLength)));
    const std::string name = _applKeyTableName.substr(0, 3) + infix + std::string(RR);
    _fileName = ZOT0_ConstructFullyQualifiedName(nullptr, name.c_str());
    if (_fileName.empty()) {
        VA_ERROR("Error: Could not build fully qualified file name.\n");
        _error = true;
    }
}

void t7srv_rmtfile_agent::TakeSample() {
    if (!_requestRead) {
        readRequest();
    }
    // Held to the end of the read: the application's last source may go offline meanwhile, and its
    // probe thread frees the metadata only once no lease is left.
    udlLease lease;
    metadata::userDataList* udl = nullptr;
    if (!_error) {
        applicationProbeList* probes = startedProbes();
        if (probes != nullptr) {
            lease = probes->leaseUDL(_applKeyTableName.c_str());
        }
        udl = lease.get();
        if (udl == nullptr && _kind == fileKind::ODI) {
            VA_ERROR("Note: could not resolve userDataList object using applKey/tableName <%s> for fileName <%s>\n",
                     _applKeyTableName.c_str(), _fileName.c_str());
        } else if (udl == nullptr) {
            VA_ERROR("Error: could not resolve userDataList object using applKey/tableName <%s> for fileName <%s> "
                     "- dynamic upload not performed\n",
                     _applKeyTableName.c_str(), _fileName.c_str());
            _error = true;
        }
    }
    if (_error) {
        return;
    }
    ClearCount();
    switch (const int type = _get_sampletype()) {
        case IntfSampleType_demand:
            break;
        case IntfSampleType_undefined:
            VA_ERROR("Error: IntfSampleType_undefined not supported\n");
            return;
        case IntfSampleType_exception:
            VA_ERROR("Error: IntfSampleType_exception ignored\n");
            return;
        case IntfSampleType_interval:
            VA_ERROR("Error: IntfSampleType_interval ignored\n");
            return;
        default:
            VA_ERROR("Error: %d is an unknown IntfSampleType\n", type);
            return;
    }

    const int emitted = readFile(udl);
    VA_STATE("<@%p> emitted %d records\n", static_cast<void*>(this), emitted < 0 ? 0 : emitted);
}

// The lock is taken only when there is a list, which the lock analysis cannot follow.
int t7srv_rmtfile_agent::readFile(metadata::userDataList* udl) VA_NO_THREAD_SAFETY_ANALYSIS {
    // The file is read under the application's metadata lock, so that it is not rewritten meanwhile.
    if (udl != nullptr && ZOTA_GetLock(udl->mutex(), this) != 0) {
        VA_ERROR("Error: <@%p> Unable to acquire _udl<@%p> lock<@%p>\n", static_cast<void*>(this),
                 static_cast<void*>(udl), static_cast<void*>(&udl->mutex()));
        return -1;
    }
    int emitted = -1;
    std::unique_ptr<std::FILE, fileCloser> file(std::fopen(_fileName.c_str(), "r"));
    if (file == nullptr) {
        VA_ERROR("Error: Unable to open %s file, errno=%d\n", _fileName.c_str(), errno);
    } else {
        emitted = emitLines(file.get());
    }
    if (udl != nullptr && ZOTA_ReleaseLock(udl->mutex(), this) != 0) {
        VA_ERROR("Error: <@%p> Unable to release _udl<@%p> lock<@%p>\n", static_cast<void*>(this),
                 static_cast<void*>(udl), static_cast<void*>(&udl->mutex()));
    }
    return emitted;
}

int t7srv_rmtfile_agent::emitLines(std::FILE* file) {
    std::string text;
    text.reserve(kFilerowLength);
    int emitted = 0;
    bool anyText = false;
    // Emits the text up to its last line feed (the line feed and anything after it are not sent).
    auto emit = [&]() {
        const std::size_t lf = text.rfind('\n');
        if (lf == std::string::npos) {
            VA_ERROR("Error: could not find LF in <%s> file\n", _fileName.c_str());
            return false;
        }
        std::memset(_row.data(), 0, kFilerowLength);
        std::memcpy(_row.data(), text.data(), lf);
        AddData(_row.data(), 1);
        ++emitted;
        text.clear();
        return true;
    };
    char line[kFilerowLength];  // a line of up to 511 characters with its terminator
    while (std::fgets(line, sizeof line, file) != nullptr) {
        const std::size_t n = std::strlen(line);
        anyText = anyText || n > 0;
        if (text.size() + n > kMaxRowText && !emit()) {
            return -1;
        }
        text.append(line, n);
    }
    if (!anyText) {
        VA_ERROR("Error: No file records were read for <%s>\n", _fileName.c_str());
        return -1;
    }
    if (!text.empty() && !emit()) {
        return -1;
    }
    return emitted;
}

}  // namespace vorpane::tables
