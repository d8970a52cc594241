#include "agent/monitors.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "agent/agent_lists.h"
#include "agent/application_probe_list.h"
#include "agent/table_manager_list.h"
#include "agent/va_limits.h"
#include "common/process_slot.h"
#include "datapath/samples_list.h"
#include "datapath/source_activity.h"
#include "datapath/wait_on_dp.h"
#include "interfaces/axf.h"
#include "interfaces/dch_client.h"
#include "interfaces/dch_protocol.h"
#include "interfaces/support.h"
#include "interfaces/trace.h"
#include "metadata/user_data_info.h"
#include "metadata/user_data_list.h"
#include "tables/zot_vorpane_manager.h"

using vorpane::metadata::userDataInfo;
using vorpane::metadata::userDataList;
using vorpane::metadata::userDataListEntry;

namespace {

constexpr int kMaxStatusFailures = 100;
constexpr double kDeferredCheckSeconds = 3;
constexpr int kOnline = 4117;
constexpr int kOffline = 4133;
constexpr char kActionNodeName[] = "ACT:VAGENT";
constexpr std::size_t kMaxSubnodeName = 32;

std::atomic<int16_t> g_numApplications{0};
std::atomic<vorpane::metadata::applicationTextSource*> g_textSource{nullptr};

// Probe threads are detached and reach the table side while the process exits.
vorpane::ProcessSlot<tableSideSeam>& seamSlot() {
    static vorpane::ProcessSlot<tableSideSeam>& slot = vorpane::ProcessSlot<tableSideSeam>::make();
    return slot;
}

tableSideSeam currentSeam() { return seamSlot().get(); }

// A table's manager gets its complete layout.
void attachLayout(TableManager* manager, userDataInfo& layout) {
    if (tableSideSeam seam = currentSeam(); seam.attachLayout) {
        seam.attachLayout(manager, &layout);
    } else if (auto* table = dynamic_cast<zot_vorpane_manager*>(manager); table != nullptr) {
        table->setUserDataPtr(&layout);
    }
}

// The layout is going away: its manager lets go of it, unless it holds a newer one by now (the
// application came back online while the previous run's probe thread was still on its way out).
void detachLayout(TableManager* manager, userDataInfo& layout) {
    if (tableSideSeam seam = currentSeam(); seam.attachLayout) {
        seam.attachLayout(manager, nullptr);
    } else if (auto* table = dynamic_cast<zot_vorpane_manager*>(manager); table != nullptr) {
        if (!table->releaseLayout(&layout)) {
            VA_STATE("The table manager of <%s/%s> holds a newer layout than @%p: it keeps it\n", layout.applNameRR(),
                     layout.tableNameRR(), static_cast<void*>(&layout));
        }
    }
}

// The layouts of the online applications meet the table managers and the collection threads here.
// One per probe: its collection threads belong to the probe's run of the application.
class agentTableLayoutHooks : public vorpane::metadata::tableLayoutHooks {
public:
    explicit agentTableLayoutHooks(int32_t applicationRun) : _applicationRun(applicationRun) {}

    void retirePreviousTable(userDataInfo& layout, const std::string& priorApplNameRR,
                             const std::string& priorTableName) override {
        tableManagerList* managers = tableManagers();
        TableManager* prior = managers != nullptr ? managers->getTblMgr(priorApplNameRR.c_str(), priorTableName.c_str())
                                                  : nullptr;
        if (prior == nullptr) {
            return;
        }
        VA_STATE("Shutting down table manager @%p of prior release <%s/%s> for table <%s>\n", static_cast<void*>(prior),
                 priorApplNameRR.c_str(), priorTableName.c_str(), layout.attrGroup());
        prior->Shutdown(AXF_SHUTDOWN_PRIOR_RELEASE);
    }

    int attachTableManager(userDataInfo& layout) override {
        tableManagerList* managers = tableManagers();
        if (managers == nullptr) {
            VA_ERROR("Error: tableManagerList object is not available\n");
            return 1;
        }
        // The manager gets the layout once its columns are built (startCollection): a framework
        // thread may ask it for them as soon as it is registered.
        TableManager* manager = managers->getTblMgr(layout.applNameRR(), layout.tableNameRR());
        if (manager == nullptr) {
            const short snmp = layout.SNMPflag() ? 1 : 0;
            manager = currentTableManagerFactory()(layout.applNameRR(), layout.tableNameRR(), nullptr, snmp);
            if (manager == nullptr) {
                VA_ERROR("Error: allocating TblMgr for applName [%s] tableName [%s]\n", layout.applNameRR(),
                         layout.tableNameRR());
                return 1;
            }
            VA_STATE("New TblMgr[@%p] applName [%s] tableName [%s]\n", static_cast<void*>(manager), layout.applNameRR(),
                     layout.tableNameRR());
            if (managers->addEntry(layout.applNameRR(), layout.tableNameRR(), manager, 1, snmp) != 0) {
                return 1;
            }
        }
        layout.setTableManager(manager);
        return 0;
    }

    int startCollection(userDataInfo& layout) override {
        if (auto* manager = static_cast<TableManager*>(layout.tableManager()); manager != nullptr) {
            attachLayout(manager, layout);
        }
        if (tableSideSeam seam = currentSeam(); seam.startCollection) {
            return seam.startCollection(layout);
        }
        return vorpane::datapath::startWaitOnDPthread(layout, _applicationRun);
    }

    void releaseLayout(userDataInfo& layout) override {
        if (tableSideSeam seam = currentSeam(); seam.stopCollection) {
            seam.stopCollection(layout);
        } else {
            vorpane::datapath::stopWaitOnDPthread(layout);
        }
        if (auto* manager = static_cast<TableManager*>(layout.tableManager()); manager != nullptr) {
            detachLayout(manager, layout);
        }
    }

private:
    const int32_t _applicationRun;
};

vorpane::metadata::metadataSettings metadataSettingsFromLimits() {
    vorpane::metadata::metadataSettings s;
    s.maxAttrGroupsPerAppl = Max_AttrGroup_Per_Appl();
    s.maxIBColumns = Max_IB_Columns();
    s.usageNormal = UsageNormal();
    s.timestampFormat = TimestampFormat();
    return s;
}

std::string tableNameOf(const char* applName, const char* attrGroup, const char* RR) {
    return std::string(applName).substr(0, 3) + ZOTA_ComputeChecksumOnAttrGroup(attrGroup) + RR;
}

void traceSubnodeDetails(const char* affinity, const char* applName, const char* version) {
    VA_STATE("       Affinity     <%s>\n", affinity);
    VA_STATE("       Application  <%s>\n", applName);
    VA_STATE("       Version      <%s>\n", version);
}

// Starts the probe of an application whose entry is PROBE_NOT_STARTED, for the hub's run
// applicationRun of it. 0, or 1 on failure.
int16_t startProbe(applicationProbeList& probes, const char* applName, int32_t applicationRun) {
    if (g_numApplications.load() >= Max_Applications()) {
        VA_ERROR("Error: Maximum<%d> number of applications allowed have been started.\n", Max_Applications());
        return 1;
    }
    applDataStruct* stored = probes.getApplDataStore(applName);
    if (stored == nullptr) {
        VA_ERROR("Error: getApplDataStore <%s> failed.\n", applName);
        return 1;
    }
    applDataStruct record = *stored;
    record.applName.assign(applName);
    record.userDataList = nullptr;
    record.status = PROBE_STARTED;
    record.applicationRun = applicationRun;
    VA_STATE("Creating thread to run startNewProbe for %s\n", applName);
    // Recorded as started before the thread runs, so the probe finds its entry in its final state.
    if (probes.addEntry(record) != 0) {
        VA_ERROR("Error: updating entry for applName <%s>\n", applName);
        return 1;
    }
    std::string name(applName);
    if (ZOT0_CreateThread([name, applicationRun] { startNewProbe(name, applicationRun); }, 1, nullptr, "probe") !=
        0) {
        VA_ERROR("Error: startNewProbe thread failed creation for application <%s>\n", applName);
        record.status = PROBE_NOT_STARTED;
        probes.addEntry(record);
        return 1;
    }
    VA_STATE("startNewProbe thread created for application <%s>\n", applName);
    g_numApplications.fetch_add(1);
    return 0;
}

}  // namespace

void setTableSideSeam(tableSideSeam seam) { seamSlot().set(std::move(seam)); }

void setApplicationTextSource(vorpane::metadata::applicationTextSource* source) { g_textSource.store(source); }

int16_t numApplications() { return g_numApplications.load(); }

std::string buildAffinity() {
    std::optional<std::string> aff = ZOT0_QueryProductSpec(ZOT2_SUBNODE_AFF_STRING);
    std::optional<std::string> features;
    if (vorpane::productAgent()) {
        features = ZOT0_QueryProductSpec(ZOT2_AFFINITY_FEATURES);
        if (!features) {
            features = "00000000000";
            VA_STATE("Using default affinity features <%s>\n", features->c_str());
        }
    } else {
        features = "00000000071";
    }
    if (!aff || !features) {
        VA_ERROR("Error: ZOT0_QueryProductSpec failed for affPtr <@%p> featPtr <@%p>.  Exiting...\n",
                 static_cast<const void*>(aff ? aff->c_str() : nullptr),
                 static_cast<const void*>(features ? features->c_str() : nullptr));
        vorpane::fatalExit("the product specification has no affinity (item 4)");
    }
    VA_STATE("AFFINITY: affPtr <%s> featPtr <%s>\n", aff->c_str(), features->c_str());
    // A short item 7 is padded with zeros so that the features always start at the 33rd character.
    std::string affinity = aff->substr(0, 32);
    affinity.resize(32, '0');
    affinity += features->substr(0, 11);
    VA_STATE("AFFINITY: affinity <%s>\n", affinity.c_str());
    return affinity;
}

bool parseDPStatus(const std::string& text, dpStatusRecord* record) {
    *record = dpStatusRecord();
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back('\0');
    // Each field with a fresh scan from just behind the previous one: no tokenizer position carries over.
    std::size_t offset = 0;
    std::string* fields[] = {&record->applName, &record->attrGroup, &record->sourceName};
    bool complete = true;
    for (std::string* field : fields) {
        const char* token = offset < text.size() ? ZOT0_strtok(buffer.data() + offset, ",") : nullptr;
        if (token == nullptr) {
            complete = false;
            break;
        }
        *field = token;
        offset = static_cast<std::size_t>(token - buffer.data()) + field->size() + 1;
    }
    if (complete) {
        const char* rest = offset < text.size() ? ZOT0_strtok(buffer.data() + offset, "") : nullptr;
        if (rest == nullptr) {
            complete = false;
        } else {
            record->requestType = rest;
        }
    }
    if (!complete) {
        VA_ERROR("Error: parsing status:\n");
        VA_ERROR("             applName: <%s>\n", record->applName.c_str());
        VA_ERROR("            attrGroup: <%s>\n", record->attrGroup.c_str());
        VA_ERROR("           sourceName: <%s>\n", record->sourceName.c_str());
        VA_ERROR("          requestType: <%s>\n", record->requestType.c_str());
    }
    return complete;
}

void handleDPStatus(const std::string& text, const char* affinity) {
    VA_STATE("DP status <%s>\n", text.c_str());
    dpStatusRecord r;
    if (!parseDPStatus(text, &r)) {
        return;
    }
    const int type = std::atoi(r.requestType.c_str());
    // A subscription with runs puts the application's run behind the request type.
    const std::size_t comma = r.requestType.find(',');
    const int32_t run = comma != std::string::npos ? std::atoi(r.requestType.c_str() + comma + 1) : 0;
    if (type == kOnline) {
        if (processOnline(r.applName.c_str(), r.attrGroup.c_str(), r.sourceName.c_str(), affinity, run) == 1) {
            VA_ERROR("Error: processing ONLINE request for application <%s> table <%s>\n", r.applName.c_str(),
                     r.attrGroup.c_str());
        }
    } else if (type == kOffline) {
        if (processOffline(r.applName.c_str(), r.attrGroup.c_str(), r.sourceName.c_str(), affinity) >= 1) {
            VA_ERROR("Error: processing OFFLINE request for application <%s> table <%s>\n", r.applName.c_str(),
                     r.attrGroup.c_str());
        }
    } else {
        VA_ERROR("Error: Invalid RequestType <%d>\n", type);
    }
}

void monitorDPStatus() {
    const std::string affinity = buildAffinity();
    vorpane::HubOptions options = vorpane::HubOptions::fromEnvironment();
    options.datagramSubscriptions = true;  // the providers' TCP slots stay theirs
    options.statusWithRuns = true;         // probes bind their collection threads to the run
    std::unique_ptr<vorpane::DCstatusWaiter> handle = dc_waitForDPStatusInitialize(options);
    if (handle == nullptr) {
        VA_ERROR("Error: dc_waitForDPStatusInitialize failed.\n");
        return;
    }
    int errors = 0;
    while (errors < kMaxStatusFailures) {
        VA_STATE("Waiting for DP status change.\n");
        std::string text = dc_waitForDPStatus(handle.get());
        if (text.empty()) {
            VA_ERROR("Error: dc_waitForDPStatus failed: errors=%d\n", errors);
            ++errors;
            continue;
        }
        handleDPStatus(text, affinity.c_str());
    }
}

void monitorDeferredRequests() {
    for (;;) {
        BSS1_Sleep(kDeferredCheckSeconds);
        // Held across the call so that the teardown cannot delete the list while it runs.
        vorpane::ScopedLock inUse(samplesListInUseLock());
        samplesList* samples = dataSamples();
        if (samples == nullptr) {
            VA_STATE("monitorDeferredRequests ending: the samples list is gone.\n");
            return;
        }
        samples->cancelExpiredReportRequests();
    }
}

int16_t processOnline(const char* applName, const char* attrGroup, const char* sourceName, const char* affinity,
                      int32_t applicationRun) {
    if (ZOT0_QueryProductSpecNumber(ZOT2_NODE_TYPE_ACTIONS).value_or(0) == 0 && std::strcmp(applName, "VAGENT") == 0) {
        if (*attrGroup != '\0') {
            VA_ERROR("Note: Skipping online processing for application <VAGENT> attribute group <%s>\n", attrGroup);
        } else {
            VA_ERROR("Note: Skipping online processing for application <VAGENT>\n");
        }
        return 0;
    }
    applicationProbeList* probes = startedProbes();
    samplesList* samples = dataSamples();
    if (probes == nullptr || samples == nullptr) {
        VA_ERROR("Error: the agent's lists are not available\n");
        return 1;
    }
    vorpane::datapath::sourceActivityBook().online(applName, attrGroup, sourceName);
    int16_t result = 0;
    const int16_t state = probes->searchProbes(applName);
    switch (state) {
        case PROBE_NOT_FOUND: {
            VA_STATE("CASE - PROBE_NOT_FOUND for application <%s>\n", applName);
            if (g_numApplications.load() >= Max_Applications()) {
                VA_ERROR("Error: Maximum<%d> number of applications allowed have been started.\n", Max_Applications());
                return -1;
            }
            applDataStruct record;
            VA_STORAGE("Allocated applDataStore @%p for application <%s>\n", static_cast<void*>(&record), applName);
            std::string upper(applName);
            if (ZOT0_ConvertStringToUpper(upper) == 0) {
                VA_ERROR("Error: ZOT0_ConvertStringToUpper failed for <%s>\n", applName);
                return 1;
            }
            record.applName.assign(upper);
            record.status = PROBE_NOT_STARTED;
            if (probes->addEntry(record) != 0) {
                VA_ERROR("Error: adding entry for applName <%s>\n", applName);
                return 1;
            }
            VA_STATE("Successfully added entry for application probe <%s>\n", applName);
            VA_STORAGE("Deleting applDataStore @%p\n", static_cast<void*>(&record));
            result = startProbe(*probes, applName, applicationRun);
            break;
        }
        case PROBE_NOT_STARTED:
            if (*attrGroup != '\0') {
                VA_STATE("CASE - PROBE_NOT_STARTED for application <%s> attrGroup <%s>\n", applName, attrGroup);
            } else {
                VA_STATE("CASE - PROBE_NOT_STARTED for application <%s>\n", applName);
            }
            result = startProbe(*probes, applName, applicationRun);
            break;
        case PROBE_STARTED:
            if (*attrGroup != '\0') {
                VA_STATE("CASE - PROBE_STARTED for application <%s> attrGroup <%s>\n", applName, attrGroup);
            } else {
                VA_STATE("CASE - PROBE_STARTED for application <%s>\n", applName);
            }
            if (const applDataStruct* stored = probes->getApplDataStore(applName);
                stored != nullptr && applicationRun > 0 && stored->applicationRun > 0 &&
                stored->applicationRun != applicationRun) {
                // Only a lost offline record gets here: the hub ended the probe's run, and with it the
                // subscriptions of its collection threads.
                VA_ERROR("Warning: application <%s> is in run %d at the hub while its probe serves run %d: its "
                         "tables get no rows until all of its sources have gone offline\n",
                         applName, static_cast<int>(applicationRun), static_cast<int>(stored->applicationRun));
            }
            break;
        case PROBE_ENDED_IN_ERRORS:
            VA_ERROR("CASE - PROBE_ENDED_IN_ERRORS for application <%s>\n", applName);
            return 1;
        default:
            VA_ERROR("Error: unrecognized CASE %d\n", state);
            return 1;
    }
    if (result != 0) {
        return result;
    }
    if (VA_Debug() == 1) {
        probes->printList();
    }

    if (int16_t rc = probes->WaitForUDL(applName); rc != 0) {
        VA_ERROR("Error: WaitForUDL failed, rc: %d\n", rc);
        if (applDataStruct* stored = probes->getApplDataStore(applName); stored != nullptr) {
            applDataStruct record = *stored;
            record.status = PROBE_ENDED_IN_ERRORS;
            if (probes->addEntry(record) != 0) {
                VA_ERROR("Error: updating entry for applName <%s>\n", applName);
            }
        }
        return 1;
    }
    userDataList* udl = probes->getUDLPtr(applName);
    if (udl == nullptr) {
        VA_ERROR("Error: getUDLPtr <%s> failed.\n", applName);
        return 1;
    }
    const std::string RR = udl->RR();
    const std::string applKey = std::string(applName).substr(0, 3);
    const std::string tableName = tableNameOf(applName, attrGroup, RR.c_str());
    std::optional<std::string> suffix;
    if (userDataListEntry* entry = udl->getUserDataListEntry(attrGroup); entry != nullptr) {
        suffix = entry->subnodeSuffix();
    }
    std::optional<std::string> subnodeName = samples->onlineEntry(applName, tableName.c_str(), attrGroup, RR.c_str(),
                                                                  sourceName, suffix ? suffix->c_str() : nullptr);
    if (!subnodeName) {
        VA_ERROR("Error: samplesList::onlineEntry failed for applName <%s> tableName <%s> attrGroup <%s>\n", applName,
                 tableName.c_str(), attrGroup);
        return 1;
    }
    VA_STATE("New samplesListEntry for <%s/%s/%s> attrGroup <%s> subNodeNamePtr <%s>\n", applKey.c_str(),
             tableName.c_str(), sourceName, attrGroup, subnodeName->c_str());

    if (samples->subnodeOnline(subnodeName->c_str()) == SUBNODE_REGISTERED) {
        if (*attrGroup != '\0') {
            VA_STATE("Note: Ignoring subnode <%s> attrGroup <%s> registration request.  Subnode already registered.\n",
                     subnodeName->c_str(), attrGroup);
        } else {
            VA_STATE("Note: Ignoring subnode <%s> registration request.  Subnode already registered.\n",
                     subnodeName->c_str());
        }
    } else if (subnodeName->find(kActionNodeName) != std::string::npos) {
        VA_STATE("Skipping subnode registration of Action Node Name <%s>\n", subnodeName->c_str());
    } else {
        VA_STATE("Calling AXF_Subnode_Register for subNodeName <%s> applName <%s> affinity <%s> userDataList @%p\n",
                 subnodeName->c_str(), applName, affinity, static_cast<void*>(udl));
        if (AXF_Subnode_Register(subnodeName->c_str(), affinity, applName, udl->cvrm()) == 7) {
            VA_ERROR("Error: Subnode <%s> register failed.\n", subnodeName->c_str());
            return 1;
        }
        VA_STATE("Subnode <%s> register was successful.\n", subnodeName->c_str());
        if (AXF_Subnode_SendRequest() == 1) {
            VA_ERROR("Error: AXF_Subnode_SendRequest/Register failed.\n");
            return 1;
        }
        VA_STATE("AXF_Subnode_SendRequest/Register was successful.\n");
        traceSubnodeDetails(affinity, applName, udl->cvrm());
    }

    // The subnode of an earlier release goes away once the new release's subnode exists.
    const std::string prior = udl->priorVRM();
    const std::string priorRR = prior.size() >= 5 ? prior.substr(3, 2) : std::string();
    if (RR != priorRR) {
        VA_STATE("Application versions (RR part) have changed.\n");
        std::string oldName = std::string(sourceName) + ":" + applName + priorRR;
        if (oldName.size() > kMaxSubnodeName) {
            vorpane::FixedText<32> made;
            ZOTA_SetSubnodeName(applName, attrGroup, sourceName, priorRR.c_str(), &made, nullptr,
                                suffix ? suffix->c_str() : nullptr);
            oldName = made.str();
        }
        VA_STATE("Attempting to delete subNode <%s>\n", oldName.c_str());
        if (AXF_Subnode_Delete(oldName.c_str()) == 7) {
            VA_ERROR("Warning: Subnode <%s> delete failed.\n", oldName.c_str());
        } else {
            VA_STATE("Subnode <%s> delete was successful.\n", oldName.c_str());
            if (AXF_Subnode_SendRequest() == 1) {
                VA_ERROR("Warning: AXF_Subnode_SendRequest/Delete failed.\n");
            } else {
                VA_STATE("AXF_Subnode_SendRequest/Delete was successful.\n");
            }
        }
    }
    return 0;
}

int16_t processOffline(const char* applName, const char* attrGroup, const char* sourceName, const char* affinity) {
    vorpane::datapath::sourceActivityBook().offline(applName, attrGroup, sourceName);
    const std::string applKey = std::string(applName).substr(0, 3);
    applicationProbeList* probes = startedProbes();
    samplesList* samples = dataSamples();
    userDataList* udl = probes != nullptr ? probes->getUDLPtr(applName) : nullptr;
    if (udl == nullptr || samples == nullptr) {
        VA_ERROR("Warning: getUDLPtr failed for [%s/%s/%s]\n", applName, attrGroup, sourceName);
        return 0;
    }
    const std::string RR = udl->RR();
    const std::string version = udl->cvrm();
    std::optional<std::string> subnodeName;
    if (int16_t rc = samples->getSubnodeName(applKey.c_str(), sourceName, attrGroup, RR.c_str(), &subnodeName);
        rc != 0) {
        VA_ERROR("Error: Returned from getSubnodeName[%s/%s/%s/%s]\n", applKey.c_str(), sourceName, attrGroup, RR.c_str());
        return rc;
    }
    if (!subnodeName) {
        VA_ERROR("Error: subNodeNamePtr=NULL\n");
        return 1;
    }
    VA_STATE("subNodeNamePtr <%s>\n", subnodeName->c_str());
    samples->removeDeferredReportRequests(applKey.c_str(), attrGroup, sourceName);

    const int count = samples->countOfAttrGroups(applKey.c_str(), sourceName);
    VA_STATE("Count %d for applKey <%s> and sourceName <%s>\n", count, applKey.c_str(), sourceName);
    if (count > 1) {
        VA_STATE("Note: Subnode <%s> not deregistered because it had %d sources still online.\n", subnodeName->c_str(),
                 count);
    } else {
        VA_STATE("Calling AXF_Subnode_Deregister for subNodeName <%s> userDataList @%p\n", subnodeName->c_str(),
                 static_cast<void*>(udl));
        if (AXF_Subnode_Deregister(subnodeName->c_str()) == 7) {
            VA_ERROR("Warning: Subnode <%s> deregister failed.\n", subnodeName->c_str());
        } else {
            VA_ERROR("Subnode <%s> deregistered.\n", subnodeName->c_str());
            if (AXF_Subnode_SendRequest() == 1) {
                VA_ERROR("Warning: AXF_Subnode_SendRequest/deregister failed.\n");
            } else {
                VA_STATE("AXF_Subnode_SendRequest/deregister was successful.\n");
            }
            traceSubnodeDetails(affinity, applName, version.c_str());
        }
    }

    const int16_t r = probes->cleanUp(applName, attrGroup, RR.c_str(), sourceName);
    if (r < 0) {
        const int16_t left = static_cast<int16_t>(g_numApplications.fetch_sub(1) - 1);
        VA_STATE("Application <%s> removed. Number of applications currently active: %d\n", applName, left);
    } else if (r > 0) {
        VA_ERROR("Error: cleanUp[%s/%s/%s/%s]\n", applName, attrGroup, RR.c_str(), sourceName);
        return 1;
    }
    return 0;
}

void startNewProbe(std::string applName, int32_t applicationRun) {
    VA_STATE("Starting probe for application <%s> run %d\n", applName.c_str(), static_cast<int>(applicationRun));
    vorpane::metadata::applicationTextSource* source = g_textSource.load();
    if (source == nullptr) {
        source = &vorpane::metadata::hubApplicationTexts();
    }
    // Outlives the metadata, whose layouts call it up to their release below.
    agentTableLayoutHooks hooks(applicationRun);
    auto udl = std::make_unique<userDataList>(applName.c_str(), metadataSettingsFromLimits(), *source, &hooks);
    VA_STORAGE("Allocated userDataList @%p for application <%s>\n", static_cast<void*>(udl.get()), applName.c_str());
    applicationProbeList* probes = startedProbes();
    bool published = false;
    std::shared_ptr<applicationProbeListEntry::probeSync> exitSignal;
    if (udl->status() != 0) {
        VA_ERROR("Error: in userDataList for <%s>\n", applName.c_str());  // the waiters time out
    } else if (probes != nullptr && probes->setUserDataList(applName.c_str(), udl.get()) == 0 &&
               (exitSignal = probes->exitSignalOf(applName.c_str())) != nullptr &&
               probes->signalWaiters(applName.c_str()) == 0) {
        published = true;
    }
    int errors = published ? 0 : 1;
    if (published) {
        VA_STATE("Waiting for exit signal for applName <%s>\n", applName.c_str());
        if (probes->WaitForExit(exitSignal, applName.c_str()) == 0) {
            VA_STATE("Exit signal received for applName <%s>\n", applName.c_str());
        } else {
            VA_ERROR("Error: waiting for exit signal for applName <%s>\n", applName.c_str());
            errors = 1;
        }
        // A table may still be reading the application's files under its metadata.
        applicationProbeList::waitForLeases(exitSignal, applName.c_str());
    }
    VA_STORAGE("Deleting userDataList @%p for application <%s>\n", static_cast<void*>(udl.get()), applName.c_str());
    udl.reset();
    VA_STATE("Leaving startNewProbe for applName <%s> errors=%d\n", applName.c_str(), errors);
}
