#include "datapath/wait_on_dp.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "agent/va_limits.h"
#include "datapath/data_list.h"
#include "datapath/samples_access.h"
#include "interfaces/axf.h"
#include "interfaces/dch_client.h"
#include "interfaces/support.h"
#include "metadata/user_data_info.h"
#include "metadata/user_data_list.h"
// The table manager is only converted to the interface the row store hands events to.
#include "tables/zot_vorpane_manager.h"

namespace vorpane::datapath {
namespace {

constexpr int kInstanceNameItem = 34;  // product-specification item: the agent's instance name
constexpr double kStoreRetrySeconds = 3;
// The provider-status monitor adds a source's samples entry once the application's metadata is built
// and its subnode registered, which may well come after the source's first rows: only an entry still
// missing after this long is worth a warning.
constexpr double kStoreWarnSeconds = 30;

// Receive buffer of one delivery: the row's values, a field header per column, the source name and
// control field with room to spare.
std::size_t receiveBufferSize(uint16_t rowSize, uint16_t noOfColumns) {
    return static_cast<std::size_t>(rowSize) + 8u * (noOfColumns + 1u) + 352u;
}

bool isAddress(const std::string& text) {
    return ZOT0_IsThisAddressString(text.c_str()) == 3;
}

// Bytes of an action log row (its last field, Action_ID, ends here).
constexpr uint16_t kActionLogRowSize = 1748;

// The text of a blank-padded field of an action log row: limit bytes from offset, ended at the first
// blank.
std::string fieldText(const char* row, std::size_t offset, int limit) {
    std::vector<char> field(row + offset, row + offset + limit);
    ZOT0_terminateString(field.data(), ' ', limit);
    return std::string(field.data());
}

}  // namespace

FixedText<32> deliverySourceName(std::string_view value, const std::optional<std::string>& instanceName) {
    FixedText<32> out;
    const std::string_view cut = value.substr(0, value.find('\0'));
    if (value.data() == nullptr) {
        VA_ERROR("Error: SourceName variable is NULL\n");
        return out;
    }
    if (cut.empty()) {
        VA_ERROR("Error: SourceName variable @%p is empty\n", static_cast<const void*>(value.data()));
        return out;
    }
    std::string name(cut);
    if (const std::size_t dot = name.find('.'); dot != std::string::npos) {
        const bool afterInstance =
            instanceName && !instanceName->empty() && name.rfind(*instanceName, 0) == 0 &&
            name.size() > instanceName->size() + 1 && isAddress(name.substr(instanceName->size() + 1));
        if (isAddress(name) || afterInstance) {
            VA_DETAIL("Note: SourceName <%s> contains a dotted decimal address\n", name.c_str());
        } else {
            VA_DETAIL("Assigning <%s> to SourceName<%-*.*s>\n", name.c_str(), static_cast<int>(dot),
                      static_cast<int>(dot), name.c_str());
            name.resize(dot);
        }
    }
    if (name.size() > FixedText<32>::capacity) {
        VA_ERROR("Warning: SourceName <%s> length=%d > max length=%d -> truncating\n", name.c_str(),
                 static_cast<int>(name.size()), static_cast<int>(FixedText<32>::capacity));
        ZOT0_TruncateFromLeft(name, FixedText<32>::capacity);
        VA_ERROR("Warning: SourceName now equals <%s>\n", name.c_str());
    }
    out.assign(name);
    return out;
}

collectionThread::collectionThread(metadata::userDataInfo& udi, int32_t applicationRun)
    : _udi(&udi),
      _applicationRun(applicationRun),
      _applKey(udi.applKey()),
      _tableName(udi.tableNameRR()),
      _attrGroup(udi.attrGroup()),
      _applName(udi.applName()),
      _rowSize(udi.rowSize()),
      _noOfColumns(udi.noOfColumns()),
      _TTL(udi.TTL()),
      _sampleType(udi.sampleType()),
      _writeOptLog(writeOptLog()),
      _actionLog(_writeOptLog == 'Y' && _applKey == std::string_view("VAG") &&
                 _attrGroup == std::string_view("ACTION")),
      _instanceName(ZOT0_QueryProductSpec(kInstanceNameItem)) {}

collectionThread::~collectionThread() {
    destroyClient();
}

void collectionThread::cancel() {
    ScopedLock guard(_lock);
    _cancelled = true;
    if (_client) {
        dc_waitOnDataCancel(_client.get());
    }
    _cond.broadcast();
}

void collectionThread::destroyClient() {
    std::unique_ptr<DCdataWaiter> client;
    {
        ScopedLock guard(_lock);
        client = std::move(_client);
    }
    if (client && dc_waitOnDataDestroy(std::move(client)) != 0) {
        VA_ERROR("Error: dc_waitOnDataDestroy failed for applKey <%s> attrGroup <%s>\n", _applKey.c_str(),
                 _attrGroup.c_str());
    }
}

void collectionThread::signalEnd() {
    ScopedLock guard(_udi->lock(), [this] {
        VA_ERROR("Error: unable to acquire lock for userDataInfo object @%p\n", static_cast<void*>(_udi));
    });
    _ended = true;
    if (guard.ok()) {
        if (_udi->clientObject() == this) {
            _udi->setClientObject(nullptr);
        }
        VA_DETAIL("Signaling userDataInfo destructor to terminate.\n");
        _udi->terminateCond().broadcast();
    }
}

int collectionThread::run() {
    const std::size_t size = receiveBufferSize(_rowSize, _noOfColumns);
    VA_DETAIL("Allocating buffer of %d bytes for <%s/%s>\n", static_cast<int>(size), _applKey.c_str(),
              _tableName.c_str());
    std::vector<char> buffer(size);

    HubOptions options = HubOptions::fromEnvironment();
    options.datagramSubscriptions = true;  // the hub's connection slots belong to providers
    options.reportAnswersInLine = true;    // a report redriven here shows the rows sent before the answer
    options.applicationRun = _applicationRun;  // the next run's rows wait for the next run's thread
    std::unique_ptr<DCdataWaiter> client =
        dc_waitOnDataInitialize(_applName.c_str(), _attrGroup.c_str(), options);
    bool error = client == nullptr;
    if (error) {
        VA_ERROR("Error: dc_waitOnDataInitialize failed.\n");
    } else {
        ScopedLock guard(_lock);
        VA_DETAIL("New clientObject set to @%p\n", static_cast<void*>(client.get()));
        _client = std::move(client);
        if (_cancelled) {
            dc_waitOnDataCancel(_client.get());
        }
    }
    DCdataWaiter* waiter = nullptr;
    {
        ScopedLock guard(_lock);
        waiter = _client.get();  // stays until destroyClient below, on this thread
    }
    while (!error) {
        std::memset(buffer.data(), 0, buffer.size());
        const int rc = dc_waitOnData(waiter, buffer.data(), buffer.size());
        if (rc == -1) {
            VA_STATE("Ending waitOnDP thread for applKey<%s> tableName<%s>\n", _applKey.c_str(),
                     _tableName.c_str());
            break;
        }
        if (rc != 0) {
            VA_ERROR("Error: from dc_waitOnData.\n");
            error = true;
            break;
        }
        error = !processDelivery(buffer.data(), buffer.size());
    }
    if (error) {
        VA_ERROR("Exiting data collection thread for applKey <%s> attrGroup <%s> because of previous error\n",
                 _applKey.c_str(), _attrGroup.c_str());
    }
    destroyClient();
    VA_DETAIL("Waiting for userDataInfo lock.\n");
    signalEnd();
    return 0;
}

bool collectionThread::findStore() {
    samplesAccess* samples = samplesIndex();
    if (samples == nullptr) {
        VA_ERROR("Error: dataList creation failed\n");
        return false;
    }
    if (std::shared_ptr<dataList> found =
            samples->dataListPtr(_applKey.c_str(), _tableName.c_str(), _sourceName.c_str())) {
        if (found != _lastStore.lock()) {
            VA_DETAIL("found dataList @%p using <%s> <%s> <%s>\n", static_cast<void*>(found.get()),
                      _applKey.c_str(), _tableName.c_str(), _sourceName.c_str());
            _keysGiven = false;  // given again: a store made by an earlier thread of this table keeps its own
        }
        found->setTTL(_TTL);
        _store = std::move(found);
        return true;
    }
    VA_DETAIL("No dataList found for applKey<%s> tableName <%s> sourceName<%s>\n", _applKey.c_str(),
              _tableName.c_str(), _sourceName.c_str());
    auto made =
        std::make_shared<dataList>(_applKey.c_str(), _tableName.c_str(), _sourceName.c_str(), _rowSize, _TTL);
    made->setActivity(sourceActivityBook().counters(_applKey.c_str(), _attrGroup.c_str(), _sourceName.c_str()));
    const double firstAttempt = clock::now();
    bool warned = false;
    for (int attempt = 1;; ++attempt) {
        if (samples->updateDataList(_applKey.c_str(), _attrGroup.c_str(), _sourceName.c_str(), made) == 0) {
            VA_DETAIL("dataList @%p recorded in samplesList after %d attempt(s).\n",
                      static_cast<void*>(made.get()), attempt);
            break;
        }
        if (!warned && clock::now() - firstAttempt >= kStoreWarnSeconds) {
            VA_ERROR("Warning: No samplesListEntry[%s/%s/%s] found.\n", _applKey.c_str(), _attrGroup.c_str(),
                     _sourceName.c_str());
            warned = true;
        }
        // The samples list takes the store once the source's subnode is known; the wait ends early
        // when the thread is cancelled.
        ScopedLock guard(_lock);
        if (_cond.waitUntil(_lock, kStoreRetrySeconds, [this]() VA_REQUIRES(_lock) { return _cancelled; })) {
            return false;
        }
    }
    _store = std::move(made);
    _keysGiven = false;
    return true;
}

bool collectionThread::processDelivery(const char* message, std::size_t length) {
    // The store is shared for this delivery only: a source gone offline meanwhile must not keep its
    // rows alive until the group's next row.
    struct StoreShareEnd {
        collectionThread& thread;
        ~StoreShareEnd() {
            if (thread._store) {
                thread._lastStore = thread._store;
            }
            thread._store.reset();
        }
    } shareEnd{*this};
    if (length < 4) {
        return false;
    }
    uint32_t total = 0;
    std::memcpy(&total, message, 4);
    total = ntohl(total);
    VA_DETAIL("New data arrived for <%s><%s> length %d\n", _applKey.c_str(), _tableName.c_str(),
              static_cast<int>(total));
    dch::FieldReader reader(message, std::min<std::size_t>(length, total));
    dch::FieldReader::Field field = reader.next();
    if (field.type != DCH_sourceName) {
        VA_ERROR("Error: dataType <%d> of DCH_sourceName missing for <%s> <%s>\n", field.type,
                 _applKey.c_str(), _attrGroup.c_str());
        return false;
    }
    const std::string_view sourceField = field.text();
    field = reader.next();
    int16_t control = 0;
    if (field.type != DCH_controlField || !field.int16(&control)) {
        VA_ERROR("Error: dataType <%d> of DCH_controlField missing for <%s> <%s>\n", field.type,
                 _applKey.c_str(), _attrGroup.c_str());
        return false;
    }
    if (control == DCH_REPORT_ANSWERED) {
        // The hub's answer to a demand report request follows the rows sent before it.
        dch::FieldReader peek = reader;
        int32_t actionID = 0;
        if (const dch::FieldReader::Field answer = peek.next(); answer.type == DCH_actionID && answer.int32(&actionID)) {
            reportAnswered(sourceField, actionID);
            return true;
        }
    }
    const FixedText<32> source = deliverySourceName(sourceField, _instanceName);
    if (!(source == _sourceName)) {
        _sourceName = source;
        _lastStore.reset();
    }
    const uint16_t controlField = static_cast<uint16_t>(control);
    VA_DETAIL("ControlField <%02x>\n", controlField);
    if (!findStore()) {
        return false;
    }
    auto* manager = static_cast<zot_vorpane_manager*>(_udi->tableManager());
    if (manager == nullptr) {
        VA_ERROR("Error: getting TableManager for <%s/%s>\n", _udi->applNameRR(), _tableName.c_str());
        return false;
    }
    if (_sampleType == 'E' && _subnodeName.empty()) {
        const metadata::userDataListEntry* entry = _udi->userDataListEntryPtr();
        const std::optional<std::string>& suffix =
            entry != nullptr ? entry->subnodeSuffix() : std::optional<std::string>();
        FixedText<70> untouched;
        ZOTA_SetSubnodeName(_applName.c_str(), _attrGroup.c_str(), _sourceName.c_str(), _udi->RR(),
                            &_subnodeName, &untouched, suffix ? suffix->c_str() : nullptr);
        VA_DETAIL("tableMgrPtr<@%p> sampleType<%c> subnodeName<%s>\n", static_cast<void*>(manager),
                  _sampleType, _subnodeName.c_str());
    }

    rowBuffer row = allocateRow(_rowSize);
    int missingValues = 0;
    uint16_t column = 1;
    for (field = reader.next(); field.type == DCH_attrTypeValue; field = reader.next(), ++column) {
        if (column >= _noOfColumns) {
            VA_ERROR("Error: more values than the %d columns of <%s>\n", _noOfColumns - 1,
                     _tableName.c_str());
            break;
        }
        const uint16_t offset = _udi->columnOffset(column);
        const uint16_t width = _udi->columnLength(column);
        if (!_keysGiven && _udi->columnKeyed(column)) {
            _store->addKey(column, _udi->columnType(column), offset, width);
        }
        if (offset + width > _rowSize) {
            VA_ERROR("Error: offset=%d > rowSize=%d\n", offset, _rowSize);
            _udi->printSelf();
            return false;
        }
        if (field.length == 0) {
            const uint16_t type = _udi->columnType(column);
            if (type == metadata::kTypeInteger || type == metadata::kTypeIntegerEnum) {
                std::memset(row.get() + offset, 0, width);
            } else if (width > 0) {
                row[offset] = '^';
            }
            missingValues = 1;
            continue;
        }
        if (field.length > _rowSize) {
            VA_ERROR("Warning: length %d exceeds userData @%p rowSize %d\n", static_cast<int>(field.length),
                     static_cast<void*>(row.get()), _rowSize);
        }
        // A value is bounded by its column, so that it never overwrites the next one.
        std::memcpy(row.get() + offset, field.value, std::min<std::size_t>(field.length, width));
    }
    if (field.type != DCH_attrTypeValue) {
        VA_DETAIL("No more attrValues to process.\n");
    }
    _keysGiven = true;
    _store->userData(_udi);

    if (_actionLog) {
        if (_rowSize >= kActionLogRowSize) {
            processOptLog(row.get());
        } else {
            VA_ERROR("Error: the action log row of %d bytes is shorter than %d\n", _rowSize,
                     kActionLogRowSize);
        }
    }
    if (controlField == kSetEndNoRow) {
        rowBuffer none;
        _store->addEntry(kSetEnd, none, 0);
        return true;
    }
    if (_store->addEntry(controlField, row, missingValues) != 0) {
        VA_DETAIL("addEntry returned an error, deleting userData @%p\n", static_cast<void*>(row.get()));
        return true;
    }
    if (_sampleType == 'E') {
        _store->emitEvent(manager, _subnodeName.c_str());
    }
    return true;
}

void collectionThread::reportAnswered(std::string_view sourceField, int32_t actionID) {
    // The source as the hub names it, which is how the samples list knows the report's entry.
    const std::string source(sourceField.substr(0, sourceField.find('\0')));
    samplesAccess* samples = samplesIndex();
    if (samples == nullptr) {
        VA_ERROR("Error: no samples list for the report answer %d of <%s/%s/%s>\n", actionID, _applKey.c_str(),
                 _attrGroup.c_str(), source.c_str());
        return;
    }
    // Every row the provider sent before its answer came before this message and is stored.
    VA_DETAIL("Report answer %d for <%s/%s/%s>: the rows before it are stored\n", actionID, _applKey.c_str(),
              _attrGroup.c_str(), source.c_str());
    samples->redriveDeferredReportRequest(_applKey.c_str(), _attrGroup.c_str(), source.c_str(), actionID);
}

int waitOnDP(metadata::userDataInfo* udi) {
    if (udi == nullptr) {
        return 0;
    }
    auto thread = std::make_shared<collectionThread>(*udi);
    {
        ScopedLock guard(udi->lock());
        udi->setClientObject(thread.get());
    }
    return thread->run();
}

uint16_t startWaitOnDPthread(metadata::userDataInfo& udi, int32_t applicationRun) {
    auto thread = std::make_shared<collectionThread>(udi, applicationRun);
    {
        // Set before the thread runs, so that a stop that comes at once still finds it.
        ScopedLock guard(udi.lock());
        udi.setClientObject(thread.get());
    }
    pthread_t id;
    if (ZOT0_CreateThread([thread] { thread->run(); }, 1, &id, "waitOnDP") != 0) {
        VA_ERROR("Error: waitOnDP thread creation failed for applKey<%s> attrGroup<%s>\n", udi.applKey(),
                 udi.attrGroup());
        ScopedLock guard(udi.lock());
        udi.setClientObject(nullptr);
        return 1;
    }
    return 0;
}

void stopWaitOnDPthread(metadata::userDataInfo& udi) {
    ScopedLock guard(udi.lock());
    auto* running = static_cast<collectionThread*>(udi.clientObject());
    if (running == nullptr) {
        VA_ERROR("Warning: clientObject ptr <%s/%s> not set. Cannot stop waitOnDP thread.\n", udi.applName(),
                 udi.attrGroup());
        return;
    }
    // The thread cannot end while this lock is held, so the object is alive to be shared.
    std::shared_ptr<collectionThread> thread = running->shared_from_this();
    thread->cancel();
    udi.terminateCond().waitUntil(udi.lock(), -1, [&] { return thread->ended(); });
}

void processOptLog(const char* row) {
    if (row == nullptr) {
        VA_ERROR("Error: data was NULL.\n");
        return;
    }
    int32_t actionID = 0;
    std::memcpy(&actionID, row + 1744, 4);
    const std::string owner = fieldText(row, 48, 65);
    const std::string node = fieldText(row, 112, 33);
    const std::string name = fieldText(row, 144, 257);
    const std::string parms = fieldText(row, 400, 1025);
    const std::string status = fieldText(row, 1424, 96);
    char id[24];
    std::snprintf(id, sizeof id, "%ld", static_cast<long>(actionID));
    std::string line =
        std::string(id) + " " + owner + " " + node + " STATUS=" + status + " " + name + " " + parms;
    if (VA_Debug() == 1) {
        VA_STATE("%s\n", line.c_str());
    }
    PLAXF_insert_log("VAACTION", line.c_str(), "VA");
    const char* result = row + 1488;
    std::size_t first = 0;
    while (first < 32 && result[first] == ' ') {
        ++first;
    }
    if (first < 32) {
        std::string text(result + first, 256 - first);
        while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) {
            text.pop_back();
        }
        line = std::string(id) + " " + text;
        if (VA_Debug() == 1) {
            VA_STATE("%s\n", line.c_str());
        }
        PLAXF_insert_log("VAACTION", line.c_str(), "VA");
    }
}

}  // namespace vorpane::datapath
