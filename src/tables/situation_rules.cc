#include "tables/situation_rules.h"

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "agent/va_limits.h"
#include "datapath/data_list.h"
#include "datapath/samples_access.h"
#include "interfaces/dch_client.h"
#include "interfaces/sync.h"
#include "interfaces/trace.h"
#include "metadata/user_data_info.h"

namespace vorpane::tables {

namespace {

// The names the provider understands for the framework's compare operators 1..10; null otherwise.
const char* operatorName(int compareOperator) {
    static constexpr const char* kNames[] = {"EQ", "NE", "GE", "LE", "LT", "GT", "OR", "AND", "NOT", "LIKE"};
    if (compareOperator < 1 || compareOperator > 10) {
        return nullptr;
    }
    return kNames[compareOperator - 1];
}

// The element's binary value as T (host byte order); zero when the value is shorter than T.
template <typename T>
T binaryValue(const FLT1_FILTERINFO& element) {
    T v{};
    if (element.value.size() >= sizeof(T)) {
        std::memcpy(&v, element.value.data(), sizeof(T));
    }
    return v;
}

// The value text cut to the element's value length.
std::string_view valueText(const FLT1_FILTERINFO& element) {
    std::string_view text(element.value);
    if (element.valueLength >= 0 && static_cast<std::size_t>(element.valueLength) < text.size()) {
        text = text.substr(0, static_cast<std::size_t>(element.valueLength));
    }
    return text;
}

// A text value in single quotes, each quote in it doubled: whatever the text holds (")", " OR ", a
// quote), the provider reads back exactly this value and the clause keeps its shape.
void appendQuoted(std::string_view text, std::string* clause) {
    clause->push_back('\'');
    for (const char c : text) {
        if (c == '\'') {
            clause->push_back('\'');
        }
        clause->push_back(c);
    }
    clause->push_back('\'');
}

// The where-clause value of element by its data type; false (traced) for a type without a form.
bool appendWhereValue(const FLT1_FILTERINFO& element, const char* name, std::string* clause) {
    switch (element.dataType) {
        case 2:
            clause->append(std::to_string(static_cast<unsigned>(binaryValue<uint16_t>(element))));
            return true;
        case FLT1_TYPE_CHAR:
        case FLT1_TYPE_STRING:
            appendQuoted(valueText(element), clause);
            return true;
        case 480:
            clause->append(std::to_string(static_cast<double>(binaryValue<float>(element))));  // as "%f"
            return true;
        case 484:
        case 496:
            clause->append(std::to_string(binaryValue<int32_t>(element)));
            return true;
        case 500:
            clause->append(std::to_string(binaryValue<int16_t>(element)));
            return true;
        case 1000:
            clause->append(std::to_string(binaryValue<double>(element)));  // as "%f"
            return true;
        default:
            VA_ERROR("Unknown type %d for column <%s>\n", element.dataType, name);
            return false;
    }
}

// The original subnode name of the record's subnode, or empty when the samples list has none.
std::string originalSubnode(zot_vorpane_agent& request, const zot_vorpane_agent::subnodeRecord& record) {
    std::string original;
    datapath::samplesAccess* samples = datapath::samplesIndex();
    if (samples == nullptr ||
        !samples->getOriginalSubnodeName(record.subnodeName.c_str(), request.TableName(), &original)) {
        original.clear();
    }
    return original;
}

int emitStoredRows(zot_vorpane_agent& request, zot_vorpane_agent::subnodeRecord& record) {
    if (record.dataList == nullptr) {
        return 0;
    }
    return record.dataList->emitToAXF(&request, record.originNode.c_str(), 0);
}

}  // namespace

std::vector<FLT1_FILTERINFO> filterElements(plaxf& request) {
    std::vector<FLT1_FILTERINFO> elements;
    FLT1_FILTERINFO* element = nullptr;
    while (request.GetFilterInfo(&element) != AXF_FILTER_END && element != nullptr) {
        elements.push_back(*element);
    }
    return elements;
}

int userDataColumnIndex(std::string_view columnName) {
    if (columnName.size() < 3 || columnName.substr(0, 2) != "VA") {
        return -1;
    }
    int index = 0;
    for (const char c : columnName.substr(2)) {
        if (c < '0' || c > '9' || index > 100000) {
            return -1;
        }
        index = index * 10 + (c - '0');
    }
    return index;
}

int buildWhereClause(const std::vector<FLT1_FILTERINFO>& filter,
                     const std::vector<metadata::attrInfo_t>* columns, std::string* clause) {
    static constexpr std::string_view kStart = "WHERE(";
    clause->assign(kStart);
    for (const FLT1_FILTERINFO& element : filter) {
        const int index = userDataColumnIndex(element.columnName.view());
        if (element.columnName == std::string_view("ORIGINNODE") || element.compareOperator == 0 || index < 0) {
            continue;
        }
        const char* name = element.columnName.c_str();
        if (columns != nullptr && static_cast<std::size_t>(index) < columns->size() &&
            !(*columns)[static_cast<std::size_t>(index)].attrName.empty()) {
            name = (*columns)[static_cast<std::size_t>(index)].attrName.c_str();
        }
        clause->append(name);
        if (element.functionType == 0) {
            if (const char* op = operatorName(element.compareOperator)) {
                clause->append(" ").append(op).append(" ");
            } else {
                clause->append(" ?? ");
                VA_ERROR("Error: Unrecognized where clause compare operator<%d>\n", element.compareOperator);
            }
        }
        appendWhereValue(element, name, clause);
        if (element.logicalOperator < 1) {
            clause->append(")");
        } else if (element.logicalOperator == IntfOper_OR) {
            clause->append(" OR ");
        } else if (element.logicalOperator == IntfOper_AND) {
            clause->append(" AND ");
        } else {
            clause->append(" ?? ");
            VA_ERROR("Error: Unrecognized where clause logical operator<%d>\n", element.logicalOperator);
        }
    }
    return clause->size() > kStart.size() ? 1 : 0;
}

int buildRuleAttributes(const std::vector<FLT1_FILTERINFO>& filter,
                        const std::vector<metadata::attrInfo_t>& columns, const std::string& situationName,
                        std::string* attributes) {
    attributes->clear();
    for (const FLT1_FILTERINFO& element : filter) {
        const int index = userDataColumnIndex(element.columnName.view());
        if (index < 0) {
            continue;
        }
        if (element.functionType != 0) {
            VA_DETAIL("functionType<%d> ignored.\n", element.functionType);
            continue;
        }
        if (static_cast<std::size_t>(index) >= columns.size()) {
            VA_ERROR("Error: column <%s> is not in the table of situation<%s>, ignored.\n",
                     element.columnName.c_str(), situationName.c_str());
            continue;
        }
        const char* op = operatorName(element.compareOperator);
        if (op == nullptr) {
            VA_ERROR("Error: Unrecognized triplet operator<%d> for situation<%s>\n", element.compareOperator,
                     situationName.c_str());
            return 1;
        }
        const metadata::attrInfo_t& column = columns[static_cast<std::size_t>(index)];
        if (column.type == metadata::kTypeInteger || column.type == metadata::kTypeIntegerEnum) {
            attributes->append("(").append(column.attrName).append(" ").append(op).append(" ");
            attributes->append(std::to_string(binaryValue<int32_t>(element)));
            attributes->append(") ");
        } else {
            // The value is blank-padded or cut to exactly its value length.
            const std::string_view text = valueText(element);
            attributes->append("(").append(column.attrName).append(" ").append(op).append(" ");
            attributes->append(text);
            if (element.valueLength > 0 && text.size() < static_cast<std::size_t>(element.valueLength)) {
                attributes->append(static_cast<std::size_t>(element.valueLength) - text.size(), ' ');
            }
            attributes->append(") ");
        }
    }
    if (!attributes->empty() && attributes->back() == ' ') {
        attributes->pop_back();
    }
    return 0;
}

std::string ruleStartParameters(int interval, const metadata::userDataInfo& layout,
                                const std::string& attributes) {
    std::string_view applName(layout.applNameRR());
    applName = applName.substr(0, applName.size() >= 2 ? applName.size() - 2 : 0);
    std::string parms = "INTERVAL=" + std::to_string(interval);
    parms.append(" APPLNAME=").append(applName);
    parms.append(" ATTRGROUP=").append(layout.attrGroup());
    parms.append(" ATTRIBUTES=").append(attributes);
    return parms;
}

int demandCommand(int requestType, const std::string& situationName, const char* attrGroup,
                  const char* originNode, std::string* command, std::string* parameters) {
    switch (requestType) {
        case zot_vorpane_agent::kReport:
            command->assign("REPORT_REQUEST");
            parameters->assign("ATTRGROUP=").append(attrGroup);
            return 0;
        case zot_vorpane_agent::kPolledSituation:
        case zot_vorpane_agent::kHistory:
            command->assign("SITUATION_REQUEST");
            if (!situationName.empty()) {
                parameters->assign("SITNAME=").append(situationName);
            } else if (requestType == zot_vorpane_agent::kHistory) {
                parameters->assign("SITNAME=HISTORY");
            } else {
                VA_ERROR("Error: situation name not available for originnode<%s>\n", originNode);
                return 1;
            }
            parameters->append(" ATTRGROUP=").append(attrGroup);
            return 0;
        default:
            VA_ERROR("Error: Received unsupported request type %d for originnode<%s>\n", requestType, originNode);
            return 1;
    }
}

int processRuleStart(zot_vorpane_agent& request, zot_vorpane_agent::subnodeRecord& record,
                     const std::string& situationName, const metadata::userDataInfo* layout) {
    std::string actionNode = originalSubnode(request, record);
    if (actionNode.empty()) {
        VA_ERROR("Warning: no original subnode name for <%s>, the subnode name is used\n",
                 record.subnodeName.c_str());
        actionNode = record.subnodeName.str();
    }
    if (static_cast<int>(actionNode.size()) > kActionNodeLength) {
        VA_ERROR("Error: nodeName length %d <%s> is greater than actionNode length %d\n",
                 static_cast<int>(actionNode.size()), actionNode.c_str(), kActionNodeLength);
        return 1;
    }
    if (layout == nullptr) {
        VA_ERROR("Error: userDataInfo pointer not set, originnode <%s> situation <%s>\n", record.originNode.c_str(),
                 situationName.c_str());
        return 1;
    }
    std::string attributes;
    if (buildRuleAttributes(filterElements(request), layout->columns(), situationName, &attributes) != 0) {
        return 1;
    }
    const std::string parms = ruleStartParameters(request.Interval(), *layout, attributes);
    record.actionID = ActionID();
    VA_STATE("RULESTART situation<%s> node<%s> actionID %d <%s>\n", situationName.c_str(), actionNode.c_str(),
             record.actionID, parms.c_str());
    if (dc_provideAction(kRuleActionType, situationName.c_str(), actionNode.c_str(), record.subnodeName.c_str(),
                         "RULESTART", record.actionID, parms.c_str()) != 0) {
        VA_ERROR("Error: %s request failed for situation<%s> node<%s>\n", "RULESTART", situationName.c_str(),
                 actionNode.c_str());
        return 1;
    }
    return 0;
}

int processRuleStop(zot_vorpane_agent& request, zot_vorpane_agent::subnodeRecord& record,
                    const std::string& situationName) {
    const std::string actionNode = originalSubnode(request, record);
    if (actionNode.empty()) {
        VA_ERROR("Warning: no original subnode name for <%s>, no RULESTOP sent\n", record.subnodeName.c_str());
        return 0;
    }
    VA_STATE("RULESTOP situation<%s> node<%s> actionID %d\n", situationName.c_str(), actionNode.c_str(),
             record.actionID);
    if (dc_provideAction(kRuleActionType, situationName.c_str(), actionNode.c_str(), record.subnodeName.c_str(),
                         "RULESTOP", record.actionID, nullptr) != 0) {
        VA_ERROR("Error: %s request failed for situation<%s> node<%s>\n", "RULESTOP", situationName.c_str(),
                 actionNode.c_str());
        return 1;
    }
    return 0;
}

int processDemandRequest(zot_vorpane_agent& request, zot_vorpane_agent::subnodeRecord& record,
                         int requestType, const std::string& situationName,
                         const metadata::userDataInfo* layout, int* deferInProgress) {
    const std::string actionNode = originalSubnode(request, record);
    if (actionNode.empty()) {
        VA_ERROR("Warning: no original subnode name for <%s>, the stored rows are emitted\n",
                 record.subnodeName.c_str());
        return emitStoredRows(request, record);
    }
    record.actionID = ActionID();
    if (layout == nullptr) {
        VA_ERROR("Error: userDataInfo pointer not set for originnode<%s>\n", record.originNode.c_str());
        return 1;
    }
    std::string command;
    std::string parms;
    if (demandCommand(requestType, situationName, layout->attrGroup(), record.originNode.c_str(), &command,
                      &parms) != 0) {
        return 1;
    }
    std::string clause;
    if (buildWhereClause(filterElements(request), &layout->columns(), &clause) == 1) {
        parms.append(" ").append(clause);
    }
    VA_STATE("%s node<%s> actionID %d <%s>\n", command.c_str(), actionNode.c_str(), record.actionID, parms.c_str());
    if (dc_provideAction(kDemandActionType, "NULL", actionNode.c_str(), record.subnodeName.c_str(), command.c_str(),
                         record.actionID, parms.c_str()) != 0) {
        VA_ERROR("Error: %s request failed for node<%s>\n", command.c_str(), actionNode.c_str());
        return emitStoredRows(request, record);
    }
    // The hub knows the request by its framework handle, which the answer brings back.
    if (dc_deferReportRequest(static_cast<uint32_t>(request.Handle()), record.actionID,
                              static_cast<int32_t>(clock::nowSeconds()), record.applKey.c_str(), request.TableName(),
                              record.sourceName.c_str()) != 0) {
        VA_ERROR("Error: dc_deferReportRequest request failed for node<%s> errno %d\n", actionNode.c_str(), errno);
        return emitStoredRows(request, record);
    }
    request.DeferSample();
    *deferInProgress = 1;
    return 0;
}

}  // namespace vorpane::tables
