// The generated files of an application: catalog (CAT), attributes (ATR) and object definitions
// (ODI), written group by group, then the copy of the ATR file into ATTRLIB and the work file.
//
// Each group's part of each file is built in memory; the three files are replaced together, whole,
// only when every group's part was built, so a failure leaves the previous files and the previous
// work file in place and the next build decides again.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "interfaces/support.h"
#include "metadata/text_scanner.h"
#include "metadata/user_data_list.h"
#include "metadata/whole_file.h"

namespace vorpane::metadata {
namespace {

constexpr std::size_t kDomainSetLimit = 640;
constexpr std::size_t kAtrEntryLimit = 4096;
constexpr int kHelpValueLimit = 247;
// Where the ATR copies go when ATTRLIB is not set: this directory under the work directory.
constexpr const char* kDefaultAttrlib = "attrlib";

// A fixed-width field: left-aligned, blank-padded and cut to width.
void field(std::string* out, std::string_view text, std::size_t width) {
    const std::size_t n = std::min(text.size(), width);
    out->append(text.substr(0, n));
    out->append(width - n, ' ');
}

void blanks(std::string* out, std::size_t width) {
    out->append(width, ' ');
}

// "%0*d"-style: digits with leading zeros to width; longer numbers stay as they are.
std::string zeroPadded(std::string_view digits, std::size_t width) {
    std::string out;
    if (digits.size() < width) {
        out.append(width - digits.size(), '0');
    }
    out.append(digits);
    return out;
}

std::string number(long value) {
    return std::to_string(value);
}

// One item of an enumeration text: "name(value)".
struct EnumItem {
    std::string_view name, value;
};

// The items of an enumeration text, up to the first item without a ")"-terminated value.
std::vector<EnumItem> enumItems(std::string_view text) {
    std::vector<EnumItem> items;
    TextScanner scan(text);
    while (std::optional<std::string_view> item = scan.next(" ")) {
        const std::size_t open = item->find('(');
        if (open == std::string_view::npos) {
            break;
        }
        const std::size_t close = item->find(')', open + 1);
        if (close == std::string_view::npos) {
            break;
        }
        items.push_back({item->substr(0, open), item->substr(open + 1, close - open - 1)});
    }
    return items;
}

// The application help and each group's chunk of the help information, split once per generation.
struct HelpParts {
    std::optional<std::string_view> applHelp;
    std::vector<std::string_view>
        chunks;  // group "," groupHelp "," then name, help, format, enum per attribute

    explicit HelpParts(std::string_view helpInfo) {
        TextScanner scan(helpInfo);
        applHelp = scan.next(",");
        while (std::optional<std::string_view> chunk = scan.next(":")) {
            if (chunk->front() == ';') {
                break;
            }
            chunks.push_back(*chunk);
        }
    }
    // The chunk of the ordinal-th group (from 1), or nothing.
    std::optional<std::string_view> chunk(int ordinal) const {
        if (ordinal < 1 || static_cast<std::size_t>(ordinal) > chunks.size()) {
            return std::nullopt;
        }
        return chunks[static_cast<std::size_t>(ordinal) - 1];
    }
};

std::string quotedHelp(std::string_view help) {
    std::string out("vale \"");
    out.append(help.substr(0, kHelpValueLimit));
    out.append("\"\n");
    return out;
}

bool sampled(char sampleType) {
    return sampleType == 'P' || sampleType == 'S' || sampleType == 'K';
}

// Hidden from users: the node name (unless node names are in normal use), the action identifier of
// the agent's own application and the agent-information attribute.
bool hiddenAttribute(std::string_view applName, std::string_view attrName) {
    return (applName == "VAGENT" && attrName == "Action_ID") || attrName == "Agent_Info";
}

std::string lengthCode(std::string_view domain) {
    if (domain == "D_I2") {
        return "04H0002";
    }
    if (domain == "D_I4") {
        return "04H0004";
    }
    if (domain == "D_T16") {
        return "04H0016";
    }
    return "04H" + zeroPadded(domain.substr(3, 7), 4);
}

}  // namespace

uint16_t userDataList::generateFiles(const std::string& workFile) {
    _applKeyRR.assign(std::string(_applKey.view()) + _RR.c_str());
    _catalogBuffer.clear();
    _domainsWritten.clear();
    _columnNumber = 0;
    _filesGenerated = false;

    const HelpParts help(_helpInfo);
    std::string cat, atr, odi;
    bool first = true;
    int ordinal = 0;
    for (const userDataListEntry& entry : _list) {
        ++ordinal;
        if (setTableName(entry.attrGroup()) == 0) {
            return 1;
        }
        VA_TRACE(trace::kFlow, "%d: Generating portions for table <%s>\n", ordinal, _tableName.c_str());
        uint16_t rc = generateCATfile(entry, first, &cat);
        if (rc == 0) {
            rc = generateATRfile(entry, first, help.applHelp, help.chunk(ordinal), &atr);
        }
        if (rc == 0) {
            rc = generateODIfile(entry, first, help.applHelp, help.chunk(ordinal), &odi);
        }
        if (rc != 0) {
            return rc;
        }
        first = false;
    }

    const std::string catName = std::string(_applKey.view()) + "CAT" + _RR.c_str();
    const std::string atrName = std::string(_applKey.view()) + "ATR" + _RR.c_str();
    const std::string odiName = std::string(_applKey.view()) + "ODI" + _RR.c_str();
    const std::string catPath = ZOT0_ConstructFullyQualifiedName(nullptr, catName.c_str());
    const std::string atrPath = ZOT0_ConstructFullyQualifiedName(nullptr, atrName.c_str());
    const std::string odiPath = ZOT0_ConstructFullyQualifiedName(nullptr, odiName.c_str());
    if (catPath.empty() || atrPath.empty() || odiPath.empty()) {
        VA_ERROR("Error: Could not build fully qualified file name.\n");
        return 1;
    }
    if (writeFilesWhole({{catPath, cat}, {atrPath, atr}, {odiPath, odi}}) != 0) {
        return 1;
    }
    (void)copyATRfile(atrName, atr);

    if (writeFileWhole(workFile, workFileText(_cvrm.str(), _checksumInfo, _helpInfo)) != 0) {
        VA_ERROR("Error: Unable to open %s file, errno=%d\n", workFile.c_str(), errno);
        return 1;
    }
    _filesGenerated = true;
    return 0;
}

uint16_t userDataList::generateCATfile(const userDataListEntry& entry, bool first, std::string* out) {
    const userDataInfo& udi = *entry.udi();
    const std::string_view k = _applKeyRR.view();
    const std::string_view table = _tableName.view();
    std::string_view locator;
    if (sampled(entry.sampleType())) {
        locator = "ZRFCXLOC";
    } else if (entry.sampleType() == 'E') {
        locator = "ZRFCXEVT";
    }

    std::string text;
    if (first) {
        text += '@';
        field(&text, k, 8);
        field(&text, k, 10);
        field(&text, _timestamp.view(), 16);
        blanks(&text, 22);
        field(&text, _cvrm.view(), 10);
        field(&text, _lvrm.view(), 10);
        text += '\n';

        text += 'A';
        field(&text, k, 8);
        text += "00";
        blanks(&text, 46 + 10);
        field(&text, "CATALOG GENERATED BY VA", 30);
        blanks(&text, 16 + 10);
        field(&text, "ZRFNDREG", 8);
        text += '\n';
    }

    for (std::size_t i = 0; i < udi.noOfColumns(); ++i) {
        const attrInfo_t& c = udi.attrInfo(i);
        ++_columnNumber;
        const std::string domain = std::string("D_") + c.typeString.c_str();
        const std::string colId = "ZOT" + number(_columnNumber);
        const std::string member = domain + ";";
        if (_catalogBuffer.find(member) == std::string::npos) {
            if (_catalogBuffer.size() + member.size() > kDomainSetLimit - 1) {
                VA_ERROR("Error: (%d + %d) > %d)\n", static_cast<int>(_catalogBuffer.size()),
                         static_cast<int>(member.size()), static_cast<int>(kDomainSetLimit));
                return 1;
            }
            _catalogBuffer += member;
        }

        text += 'C';
        field(&text, k, 8);
        field(&text, table, 10);
        field(&text, c.columnName.view(), 10);
        blanks(&text, 28);
        field(&text, domain, 10);
        field(&text, "VSE1EMT1", 8);
        field(&text, colId, 16);
        text += "YN\n";

        char offset[16];
        std::snprintf(offset, sizeof offset, "04F%04d", static_cast<int>(c.offset));
        text += 'P';
        field(&text, k, 8);
        field(&text, colId, 16);
        text += "00";
        blanks(&text, 30);
        field(&text, "*002H14,01H0,", 13);
        field(&text, lengthCode(domain), 7);
        field(&text, ",04CC31 ,", 9);
        field(&text, offset, 7);
        text += '\n';

        if (i == 0) {
            char position[8];
            std::snprintf(position, sizeof position, "%02d", static_cast<int>(i + 1));
            text += 'I';
            field(&text, k, 8);
            field(&text, table, 10);
            field(&text, "AXFKEY", 10);
            field(&text, "ORIGINNODE", 10);
            blanks(&text, 18);
            field(&text, position, 2);
            text += "A\n";
        }
    }

    TextScanner domains(_catalogBuffer);
    while (std::optional<std::string_view> domain = domains.next(";")) {
        if (findDomain(*domain)) {
            continue;
        }
        std::string_view kind, dataType;
        std::string length;
        if (*domain == "D_I2") {
            kind = "SHORT", dataType = "0500", length = "0002";
        } else if (*domain == "D_I4") {
            kind = "LONG", dataType = "0496", length = "0004";
        } else if (*domain == "D_T16") {
            kind = "STRING", dataType = "0452", length = "0016";
        } else if (domain->substr(0, 3) == "D_S" && domain->size() > 3) {
            kind = "STRING", dataType = "0452", length = zeroPadded(domain->substr(3), 4);
        } else {
            VA_ERROR("Error: invalid domain. <%.*s>\n", static_cast<int>(domain->size()), domain->data());
            return 1;
        }
        text += 'D';
        field(&text, k, 8);
        field(&text, *domain, 10);
        blanks(&text, 38);
        field(&text, kind, 10);
        field(&text, dataType, 4);
        field(&text, length, 4);
        text += "0000\n";
    }

    text += 'T';
    field(&text, k, 8);
    field(&text, table, 10);
    blanks(&text, 38 + 8 + 16);
    field(&text, locator, 8);
    blanks(&text, 16);
    text += "YWQDSPINSVSD1VSMDVSU1VSMU";
    blanks(&text, 8);
    text += '\n';

    out->append(text);
    return 0;
}

uint16_t userDataList::generateATRfile(const userDataListEntry& entry, bool first,
                                       std::optional<std::string_view> applHelp,
                                       std::optional<std::string_view> helpChunk, std::string* out) {
    const userDataInfo& udi = *entry.udi();
    const std::string tablePrefix = std::string(_applName.view()) + entry.attrGroup() + _RR.c_str();
    const std::string affi = std::string("affi ") + _affinity.c_str() + "\n";

    std::string text;
    if (first && !_status) {
        text.append("// ").append(_timestamp.view()).append(" ").append(_applKeyRR.view()).append("/");
        text.append(_cvrm.view()).append("\n");
        text.append("//Generated by Vorpane Agent\n");
    }

    for (std::size_t i = 0; i < udi.noOfColumns(); ++i) {
        const attrInfo_t& c = udi.attrInfo(i);
        std::string e;
        e.append("//\nentr ATTR\n");
        e.append("name ").append(tablePrefix).append(".").append(c.attrName).append("\n");
        if (c.atomic != 0 || (c.key != 0 && entry.SNMPflag() != 0)) {
            e.append("atom y\n");
        }
        e.append(affi);
        if (i == 0) {
            e.append("usag I\n");
            e.append("appl ").append(_applKeyRR.view()).append("\n");
            e.append("stmp ").append(_timestamp.view()).append("\n");
            e.append("cvrm ").append(_cvrm.view()).append("\n");
            e.append("lvrm ").append(_lvrm.view()).append("\n");
            e.append("tabl ").append(_tableName.view()).append("\n");
            e.append("mult 1\n");
            e.append("samp ").append(sampled(entry.sampleType()) ? "3" : "0").append("\n");
        }
        e.append("colu ").append(c.columnName.view()).append("\n");
        e.append("type ").append(number(c.type == kTypeTimestamp ? kTypeString : c.type)).append("\n");
        if (c.type == kTypeString || c.type == kTypeTimestamp) {
            e.append("slng ").append(number(c.length)).append("\n");
        }
        if (c.precision != 0) {
            e.append("prec ").append(number(c.precision)).append("\n");
        }
        if (c.scale != 0) {
            e.append("scal ").append(number(c.scale)).append("\n");
        }
        e.append("msid ZOT0000\n");
        const bool opgr0 =
            (i == 0 && _settings.usageNormal != 'Y') || hiddenAttribute(_applName.view(), c.attrName);
        e.append(opgr0 ? "opgr 0\n" : "opgr 2\n");
        e.append("atid 065535\n");
        if (c.type == kTypeInteger || c.type == kTypeIntegerEnum) {
            e.append("mini ").append(number(c.minimum)).append("\n");
            e.append("maxi ").append(number(c.maximum)).append("\n");
        }
        if (c.enumStr) {
            for (const EnumItem& item : enumItems(*c.enumStr)) {
                std::string lines;
                lines.append("vale ").append(item.name).append("\n");
                lines.append("vali ").append(item.value).append("\n");
                if (e.size() + lines.size() > kAtrEntryLimit - 1) {
                    VA_ERROR("Error: %d > %d Need more buffer space\n",
                             static_cast<int>(e.size() + lines.size()), static_cast<int>(kAtrEntryLimit));
                    _status.set(1);
                    return 1;
                }
                e.append(lines);
            }
        }
        // A ";" would end the entry for the reader of the file: it is left out of every value.
        std::erase(e, ';');
        text.append(e);
    }

    text.append("//\nentr HIDDEN\n");
    text.append("name ").append(tablePrefix).append(".ZOTHELP\n");
    text.append(affi);
    text.append("colu ZOTHELP\ntype 3\nopgr 0\ncost 9\n");
    text.append("vali ^APPLICATION\n");
    text.append(quotedHelp(applHelp.value_or(std::string_view())));
    text.append("vali ^ATTRGROUP[").append(entry.attrGroup()).append("]\n");
    std::optional<std::string_view> groupHelp;
    TextScanner fields(helpChunk.value_or(std::string_view()));
    if (helpChunk) {
        fields.next(",");  // the group name
        groupHelp = fields.next(",");
    }
    text.append(quotedHelp(groupHelp.value_or(std::string_view())));
    while (true) {
        std::optional<std::string_view> name = fields.next(",");
        std::optional<std::string_view> attrHelp = fields.next(",");
        if (!name || !attrHelp) {
            break;
        }
        fields.next(",");  // format
        fields.next(",");  // enumeration
        text.append("vali ").append(*name).append("\n");
        text.append(quotedHelp(*attrHelp));
    }
    out->append(text);
    return 0;
}

uint16_t userDataList::generateODIfile(const userDataListEntry& entry, bool first,
                                       std::optional<std::string_view> applHelp,
                                       std::optional<std::string_view> helpChunk, std::string* out) {
    const userDataInfo& udi = *entry.udi();
    const std::string objectName = std::string(_applName.view()) + entry.attrGroup() + _RR.c_str();
    const std::string nlsid = std::string("*NLSID: ") + _applKey.c_str() + "0000\n";
    uint16_t rc = 0;

    std::string text;
    if (first) {
        text.append("*REM: This ODI File was generated by Vorpane Agent on ")
            .append(pellanTime())
            .append("\n");
        text.append("*REM: Vorpane Agent ODI file for application ").append(entry.applName()).append("\n");
        text.append(" \n");
        text.append("*PROJ: ").append(_applKey.view()).append(",").append(_cvrm.view()).append("\n");
        text.append("*APPL: ").append(_applKey.view()).append(_RR.view()).append("\n");
        text.append("*NODETYPE: ").append(_applNameRR.view()).append("\n");
        if (applHelp) {
            text.append("*OPTION: APPL_DESCRIPTION=").append(*applHelp).append("\n");
        }
        text.append("*DLL: ZRFNDREG\n");
        if (std::optional<std::string> affinityName = ZOT0_QueryProductSpec(ZOT2_SUBNODE_AFF_NAME)) {
            text.append("*AFFIN: ").append(*affinityName).append("\n");
        } else {
            VA_ERROR("Error: ZOT0_QueryProductSpec(ZOT2_SUBNODE_AFF_NAME) returned NULL.\n");
            _status.set(1);
            rc = 1;
        }
        text.append("*AXF:\n");
    }

    TextScanner fields(helpChunk.value_or(std::string_view()));
    std::optional<std::string_view> groupHelp;
    if (helpChunk) {
        fields.next(",");  // the group name
        groupHelp = fields.next(",");
    }
    text.append(" \n*REM:   ---------------------------------------------------\n \n");
    text.append("*OBJECT: ").append(objectName).append("\n");
    text.append("*TABLE: ").append(_tableName.view()).append("\n");
    if (groupHelp) {
        text.append("*OPTION: OBJECT_DESCRIPTION=").append(*groupHelp).append("\n");
    }
    text.append("*OCCURS: Multiple\n*OPGRP: User-defined\n");
    text.append(nlsid);
    text.append("*FILE: VSAM.").append(objectName).append("\n");
    if (sampled(entry.sampleType())) {
        text.append("*LOCATOR: ZRFCXLOC\n");
    } else if (entry.sampleType() == 'E') {
        text.append("*LOCATOR: ZRFCXEVT\n");
    }
    text.append("*INDEX: AXFKEY\n");
    if (sampled(entry.sampleType())) {
        text.append("*SAMPLE: O\n");
    } else if (entry.sampleType() == 'E') {
        text.append("*SAMPLE: Event\n");
    }
    text.append(" \n");

    bool helpLeft = helpChunk.has_value();
    for (std::size_t i = 0; i < udi.noOfColumns(); ++i) {
        const attrInfo_t& c = udi.attrInfo(i);
        // The help chunk lists the attributes in column order: four fields each.
        std::optional<std::string_view> description;
        if (i > 0 && helpLeft) {
            std::optional<std::string_view> name = fields.next(",");
            std::optional<std::string_view> attrHelp = fields.next(",");
            std::optional<std::string_view> format = fields.next(",");
            std::optional<std::string_view> enumeration = fields.next(",");
            if (name && attrHelp && format && enumeration) {
                description = attrHelp;
            } else {
                helpLeft = false;
            }
        }
        char type = 'S';
        if (c.type == kTypeInteger) {
            type = 'I';
        } else if (c.type == kTypeTimestamp) {
            type = 'T';
        }
        text.append("*ATTR: ").append(c.attrName).append("\n");
        if (c.captionStr) {
            text.append("*CAPTION: ").append(*c.captionStr).append("\n");
        }
        text.append("*COLUMN: ").append(c.columnName.view()).append("\n");
        text.append("*TYPE: ").append(1, type).append(",").append(number(c.length)).append("\n");
        if (c.atomic != 0 || (c.key != 0 && entry.SNMPflag() != 0)) {
            text.append("*ATOMIZE:\n");
        }
        if (c.scale > 0) {
            text.append("*SCALE: ").append(number(c.scale)).append("\n");
        }
        if (c.precision > 0) {
            text.append("*PREC: ").append(number(c.precision)).append("\n");
        }
        if (description) {
            text.append("*OPTION: ATTR_DESCRIPTION=").append(*description).append("\n");
        }
        text.append(nlsid);
        if (i == 0) {
            text.append(_settings.usageNormal == 'Y' ? "*USAGE: NORMAL\n" : "*USAGE: INFORMATIONAL\n");
        } else if (hiddenAttribute(_applName.view(), c.attrName)) {
            text.append("*USAGE: HIDDEN\n");
        }
        if (c.enumStr) {
            for (const EnumItem& item : enumItems(*c.enumStr)) {
                text.append("*ENUM: ").append(item.name).append("=").append(item.value).append("\n");
            }
        }
        if (description) {
            text.append(*description).append("\n");
        }
        text.append(" \n");
    }
    out->append(text);
    return rc;
}

bool userDataList::copyATRfile(const std::string& fileName, const std::string& contents) {
    const char* attrlib = BSS1_GetEnv("ATTRLIB");
    std::string named = attrlib != nullptr ? attrlib : "";
    if (named.empty()) {
        // Not an error: the copy is for a framework pointed at it, and one under the work directory
        // serves as well as any.
        named = ZOT0_ConstructFullyQualifiedName(nullptr, kDefaultAttrlib);
        VA_STATE("Note: ATTRLIB not set; the ATR file <%s> is copied into <%s>\n", fileName.c_str(),
                 named.c_str());
    }
    const std::string directory = ZOT0_CheckPathSpec(named);
    const std::string target = ZOT0_ConstructFullyQualifiedName(directory.c_str(), fileName.c_str());
    if (target.empty()) {
        VA_ERROR("Error: Could not build fully qualified file name using ATR file <%s> ATTRLIB path <%s>\n",
                 fileName.c_str(), named.c_str());
        return false;
    }
    std::error_code ec;
    std::filesystem::create_directories(directory, ec);
    if (ec || ::access(directory.c_str(), W_OK) != 0) {
        VA_ERROR("Error: could not open output ATR file <%s>: errno=%d\n", target.c_str(),
                 ec ? ec.value() : errno);
        return false;
    }
    return writeFileWhole(target, contents) == 0;
}

}  // namespace vorpane::metadata
