#include "tables/zot_vorpane_agent.h"

#include <algorithm>
#include <cstring>

#include "agent/va_limits.h"
#include "datapath/data_list.h"
#include "datapath/samples_list.h"
#include "interfaces/support.h"
#include "metadata/user_data_info.h"
#include "tables/situation_rules.h"
#include "tables/zot_vorpane_manager.h"

using vorpane::datapath::samplesAccess;
using vorpane::datapath::samplesIndex;

namespace {

constexpr int kInstanceNameItem = 34;  // product-specification item: the agent's instance name

time_t now() {
    return static_cast<time_t>(vorpane::clock::nowSeconds());
}

// The action table's subnodes: "<x>dp:VAGENT..." is served as "ACT:VAGENT" + the release, and a name
// that does not carry the instance name gets up to three characters of it in front.
std::string actionTableSubnode(std::string name) {
    if (const std::size_t at = name.find("dp:VAGENT"); at != std::string::npos) {
        const std::string rr = name.size() >= 2 ? name.substr(name.size() - 2) : name;
        name = name.substr(0, at >= 4 ? at - 4 : 0) + "ACT:VAGENT" + rr;
    }
    const std::optional<std::string> instance = ZOT0_QueryProductSpec(kInstanceNameItem);
    if (instance && !instance->empty() && name.rfind(*instance, 0) != 0) {
        VA_ERROR("Warning: Instance name <%s> truncated in node <%s>\n", instance->c_str(), name.c_str());
        const std::size_t underscore = name.find('_');
        const long p = underscore == std::string::npos ? -1 : static_cast<long>(underscore);
        const long L = static_cast<long>(instance->size());
        const long k = std::min(L - p, 3L);
        if (p > 0 && L - (k + p) >= 0 && L - (k + p) < L) {
            name =
                instance->substr(static_cast<std::size_t>(L - (k + p)), static_cast<std::size_t>(k)) + name;
        }
    }
    return name;
}

}  // namespace

void zot_vorpane_agent::redriveDeferredReport(uint32_t handle) {
    // The pin keeps the request alive while it runs; a request the framework has ended is not found.
    plaxf* pinned = plaxf::PinHandle(handle);
    auto* request = dynamic_cast<zot_vorpane_agent*>(pinned);
    if (request == nullptr) {
        if (pinned != nullptr) {
            pinned->Drop();
        }
        VA_STATE("Note: report request %u is no longer open; nothing to redrive\n", handle);
        return;
    }
    VA_STATE("Redriving framework request %u: its report can go on\n", handle);
    request->RedriveSample();
    request->Drop();
}

void zot_vorpane_agent::installDeferredReportRedrive() {
    setSamplesListSeam(samplesListSeam{nullptr, &zot_vorpane_agent::redriveDeferredReport});
}

zot_vorpane_agent::zot_vorpane_agent(RequestDetail* request, ContextInfo* context,
                                     zot_vorpane_manager* manager)
    : zot_vorpane_base(request, context, manager) {
    TakeSampleConstructor();
}

zot_vorpane_agent::~zot_vorpane_agent() {
    if (samplesAccess* samples = samplesIndex()) {
        for (subnodeRecord& record : _subnodes) {
            if (setSrcNameFromSubnodeName(record) != 0) {
                break;
            }
            samples->removeDeferRequest(_applKey.c_str(), _tableName.c_str(), record.sourceName.c_str(),
                                        this);
        }
    }
    TakeSampleDestructor();
}

void zot_vorpane_agent::classify() {
    const int sampleType = _sampleType;
    if (!_situationName.empty()) {
        switch (sampleType) {
            case IntfSampleType_demand:
                _requestType = kCurrentAttributes;
                VA_STATE("Request<%s/%s> for Current Attributes - Situation <%s>  @%p/%u\n",
                         ApplicationName(), TableName(), _situationName.c_str(), static_cast<void*>(this),
                         static_cast<unsigned>(Handle()));
                break;
            case IntfSampleType_exception:
                _requestType = kPolledSituation;
                break;
            case IntfSampleType_event:
                _requestType = kEventSituation;
                break;
            default:
                _requestType = kUnsupported;
                recordError();
                VA_ERROR("Error: Unrecognized Request type %d @%p/%u for situation <%s>\n", sampleType,
                         static_cast<void*>(this), static_cast<unsigned>(Handle()), _situationName.c_str());
                break;
        }
        if (std::strstr(_get_instructions(), "AUTO(") != nullptr) {
            VA_STATE("Automation request <%s> for situation <%s>\n", _get_instructions(),
                     _situationName.c_str());
        }
        return;
    }
    if (IsHistoryRequest()) {
        _requestType = kHistory;
    } else if (sampleType == IntfSampleType_demand) {
        _requestType = kReport;
    } else if (sampleType == IntfSampleType_exception) {
        _requestType = kClientReport;
    } else if (sampleType == IntfSampleType_event) {
        _requestType = kUnsupported;
        recordError();
        VA_STATE("Note: currently don't handle event requests, ignoring request<%s/%s> for @%p/%u\n",
                 ApplicationName(), TableName(), static_cast<void*>(this), static_cast<unsigned>(Handle()));
    } else {
        _requestType = kUnsupported;
        recordError();
        VA_ERROR("Error: Unrecognized Request type %d @%p/%u\n", sampleType, static_cast<void*>(this),
                 static_cast<unsigned>(Handle()));
    }
}

void zot_vorpane_agent::addSubnode(const char* name) {
    subnodeRecord record;
    record.subnodeName.assign(name);
    record.originNode.assign(name);
    if (_tableName == std::string_view(ACTIONtableName())) {
        record.subnodeName.assign(actionTableSubnode(record.subnodeName.str()));
    }
    ZOTA_GetApplKeyFromSubNodeName(record.subnodeName.c_str(), &record.applKey);
    samplesAccess* samples = samplesIndex();
    record.state = samples != nullptr &&
                           samples->subnodeOnlineForTable(record.subnodeName.c_str(), _tableName.c_str()) != 0
                       ? 2
                       : 0;
    _subnodes.push_back(record);
    subnodeRecord& added = _subnodes.back();
    if (added.state == 2) {
        _udi = layout();
        if (_sampleType == IntfSampleType_exception) {
            if (processRuleStart(static_cast<int>(_subnodes.size()) - 1) != 0) {
                recordError();
            }
            added.ruleStarted = 1;
        }
        if (setSrcNameFromSubnodeName(added) != 0) {
            recordError();
        }
    }
}

void zot_vorpane_agent::TakeSampleConstructor() {
    _errors.clear();
    _sampleType = _get_sampletype();
    _applKey.assign(std::string_view(ApplicationName()).substr(0, 3));
    _tableName.assign(TableName());
    _handle = Handle();
    _situationName = SituationName();
    classify();
    if (_errors) {
        return;
    }
    ResetGetSubnode();
    for (const char* name = GetSubnode(); name != nullptr && *name != '\0'; name = GetSubnode()) {
        if (static_cast<int>(_subnodes.size()) >= kMaxSubnodes) {
            VA_ERROR("Warning: Max subnodes %d per request has been reached.\n", kMaxSubnodes);
            break;
        }
        addSubnode(name);
    }
    _emitTime = Emit_Dup_Rec() != 0 ? now() : 0;
    if (!_errors && _sampleType == IntfSampleType_event) {
        startEventMonitoring();
    }
}

void zot_vorpane_agent::deferForSubnode(subnodeRecord& record, samplesAccess& samples, int eventRequest) {
    vorpane::FixedText<3> key;
    if (int rc = ZOTA_GetApplKeyFromSubNodeName(record.subnodeName.c_str(), &key); rc != 0) {
        VA_ERROR("ZOTA_GetApplKeyFromSubNodeName returned error code [%d] for applKey<%s> originnode<%s>\n",
                 rc, _applKey.c_str(), record.originNode.c_str());
        recordError();
        return;
    }
    if (key != _applKey) {
        VA_DETAIL("Subnode <%s> is not part of application <%s>\n", record.subnodeName.c_str(),
                  _applKey.c_str());
        return;
    }
    if (samples.requestDefer(_applKey.c_str(), record.subnodeName.c_str(), this, Handle(), eventRequest) !=
        0) {
        VA_ERROR("Error: requestDefer<%s/%s/%s> failed.\n", _applKey.c_str(), record.subnodeName.c_str(),
                 _tableName.c_str());
    }
}

void zot_vorpane_agent::startEventMonitoring() {
    samplesAccess* samples = samplesIndex();
    if (samples == nullptr) {
        return;
    }
    for (subnodeRecord& record : _subnodes) {
        if (record.state == 0) {
            deferForSubnode(record, *samples, 1);
        }
    }
}

int zot_vorpane_agent::setSrcNameFromSubnodeName(subnodeRecord& record) {
    if (!record.sourceName.empty()) {
        return 0;
    }
    samplesAccess* samples = samplesIndex();
    std::string original;
    if (samples == nullptr ||
        !samples->getOriginalSubnodeName(record.subnodeName.c_str(), _tableName.c_str(), &original)) {
        VA_ERROR("Warning: could not find original subnodeName from node<%s> table<%s> combination.\n",
                 record.subnodeName.c_str(), _tableName.c_str());
        return 1;
    }
    std::string source;
    if (ZOTA_GetSrcNameFromSubNodeName(original.c_str(), &source) != 0 || source.empty()) {
        VA_ERROR("Error: could not find sourceName from <%s>\n", original.c_str());
        return 1;
    }
    record.sourceName.assign(source);
    return 0;
}

int zot_vorpane_agent::emitRows(subnodeRecord& record, time_t since) {
    if (record.dataList == nullptr) {
        return 0;
    }
    return record.dataList->emitToAXF(this, record.originNode.c_str(), since);
}

void zot_vorpane_agent::TakeSample() {
    samplesAccess* samples = samplesIndex();
    if (_errors || samples == nullptr) {
        return;
    }
    _udi = layout();
    ClearCount();
    const bool demandReport = DemandReport() == 'Y';
    for (std::size_t i = 0; i < _subnodes.size() && !_errors; ++i) {
        subnodeRecord& record = _subnodes[i];
        if (record.state == 0 &&
            samples->subnodeOnlineForTable(record.subnodeName.c_str(), _tableName.c_str()) != 0) {
            record.state = 2;
        }
        if (record.state != 2) {
            deferForSubnode(record, *samples, 0);
            continue;
        }
        if (_sampleType == IntfSampleType_exception && record.ruleStarted == 0) {
            if (processRuleStart(static_cast<int>(i)) != 0) {
                recordError();
                break;
            }
            record.ruleStarted = 1;
        }
        if (setSrcNameFromSubnodeName(record) != 0) {
            recordError();
            break;
        }
        record.dataList =
            samples->dataListPtr(_applKey.c_str(), _tableName.c_str(), record.sourceName.c_str());
        if (record.dataList == nullptr && !demandReport) {
            continue;
        }
        switch (_requestType) {
            case kPolledSituation:
            case kReport:
            case kHistory:
                if (demandReport && _deferInProgress == 0 &&
                    samples->isDemandReportingEnabled(_applKey.c_str(), _tableName.c_str(),
                                                      record.sourceName.c_str()) != 0) {
                    processDemandRequest(static_cast<int>(i), _requestType);
                } else {
                    _deferInProgress = 0;
                    emitRows(record, _requestType == kReport ? 0 : _emitTime);
                }
                break;
            case kCurrentAttributes:
            case kClientReport:
                emitRows(record, 0);
                break;
            case kUnsupported:
                VA_ERROR("Error: Unknown request type: %d\n", _requestType);
                recordError();
                break;
            default:
                VA_ERROR("Error: Unsupported request type: %d\n", _requestType);
                recordError();
                break;
        }
    }
    // One time for the whole sample, so that every subnode of it is emitted with the same limit.
    if (!_errors) {
        _emitTime = Emit_Dup_Rec() != 0 ? 0 : now();
    }
}

int zot_vorpane_agent::AddData(char* row, int rowSize) {
    SetRowSize(rowSize);
    if (_sampleType == IntfSampleType_demand) {
        VA_DETAIL("Emitting IntfSampleType_demand row for request @%p\n", static_cast<void*>(this));
        return InsertRow(row);
    }
    if (CheckForException(row) != 0) {
        return InsertRow(row);
    }
    return 2;
}

int zot_vorpane_agent::AddRows(char* const* rows, int count, int rowSize, const char* origin, bool* stop) {
    if (_sampleType != IntfSampleType_demand && HasFilter()) {
        return rowReceiver::AddRows(rows, count, rowSize, origin, stop);
    }
    SetRowSize(rowSize);
    const int added = InsertRows(rows, count, std::string_view(origin, vorpane::datapath::kOriginNodeWidth));
    if (added < count) {
        *stop = true;
    }
    return added;
}

int zot_vorpane_agent::redriveRequest(const char* node, const char* table, int eventRequest) {
    for (subnodeRecord& record : _subnodes) {
        if (node != nullptr && record.subnodeName == std::string_view(node)) {
            if (table != nullptr && _tableName == std::string_view(table)) {
                record.state = 2;
            }
            VA_STATE("Request @%p redriven for subnode <%s> table <%s> eventRequest %d\n",
                     static_cast<void*>(this), node, table != nullptr ? table : "", eventRequest);
            return 0;
        }
    }
    VA_ERROR("Error: could not find subNode<%s>\n", node != nullptr ? node : "");
    return 1;
}

void zot_vorpane_agent::TakeSampleDestructor() {
    if (_errors || _sampleType == IntfSampleType_demand) {
        return;
    }
    for (std::size_t i = 0; i < _subnodes.size(); ++i) {
        if (processRuleStop(static_cast<int>(i)) != 0) {
            break;
        }
    }
}

// The provider's side of situations and demand reports: situation_rules.cc.
int zot_vorpane_agent::processRuleStart(int subnode) {
    return vorpane::tables::processRuleStart(*this, _subnodes[static_cast<std::size_t>(subnode)], _situationName,
                                             _udi.get());
}

int zot_vorpane_agent::processRuleStop(int subnode) {
    return vorpane::tables::processRuleStop(*this, _subnodes[static_cast<std::size_t>(subnode)], _situationName);
}

int zot_vorpane_agent::processDemandRequest(int subnode, int requestType) {
    return vorpane::tables::processDemandRequest(*this, _subnodes[static_cast<std::size_t>(subnode)], requestType,
                                                 _situationName, _udi.get(), &_deferInProgress);
}

int zot_vorpane_agent::buildWhereClause(std::string* buffer) {
    return vorpane::tables::buildWhereClause(vorpane::tables::filterElements(*this),
                                             _udi != nullptr ? &_udi->columns() : nullptr, buffer);
}
