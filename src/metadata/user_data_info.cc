#include "metadata/user_data_info.h"

#include <cstdio>
#include <cstdlib>
#include <limits>

#include "common/units.h"
#include "interfaces/support.h"
#include "metadata/text_scanner.h"
#include "metadata/user_data_list.h"

namespace vorpane::metadata {
namespace {

constexpr std::size_t kMaxEnumLength = 8192;

// The release of a version "vv.rr.mm".
std::string_view releaseOf(std::string_view version) {
    return version.size() >= 5 ? version.substr(3, 2) : "";
}

// The number after `tag` in text ("PRECISION{" "3}" gives 3), or nothing.
std::optional<int> taggedNumber(std::string_view text, std::string_view tag) {
    const std::size_t at = text.find(tag);
    if (at == std::string_view::npos) {
        return std::nullopt;
    }
    return std::atoi(std::string(text.substr(at + tag.size())).c_str());
}

// text without its surrounding blanks: a provider registers a blank for an empty item.
std::string_view trimmed(std::string_view text) {
    const std::size_t first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

}  // namespace

userDataInfo::userDataInfo(userDataListEntry& entry, const metadataSettings& settings,
                           tableLayoutHooks* hooks)
    : _entry(&entry), _settings(settings), _hooks(hooks) {
    _columns.reserve(static_cast<std::size_t>(settings.maxIBColumns) + 1);
    if (entry.errors() != 0) {
        VA_ERROR("Error: unable to create attrInfo structure for userDataListEntry @%p. Cannot continue!\n",
                 static_cast<void*>(&entry));
        _errors = 1;
        return;
    }
    _applNameRR.assign(entry.applName());
    _applKey.assign(_applNameRR.view().substr(0, 3));
    _attrGroup.assign(entry.attrGroup());
    _sampleType = entry.sampleType();
    _SNMPflag = entry.SNMPflag() != 0;
    _cvrm.assign(entry.cvrm());
    _priorVRM.assign(entry.priorVRM());
    _TTL = entry.TTL();
    _RR.assign(releaseOf(_cvrm.view()));
    const std::string_view priorRR = releaseOf(_priorVRM.view());

    const std::string_view bareName =
        _applNameRR.view().substr(0, _applNameRR.size() >= 2 ? _applNameRR.size() - 2 : 0);
    if (_RR.view() != priorRR && _hooks != nullptr) {
        // The table of the previous release stops serving requests; the new one replaces it.
        const std::string priorTable = generateTableName(priorRR);
        const std::string priorAppl = std::string(bareName) + std::string(priorRR);
        _hooks->retirePreviousTable(*this, priorAppl, priorTable);
    }
    _tableNameRR.assign(generateTableName(""));
    _applName.assign(bareName);
    if (_hooks != nullptr) {
        _attached = true;
        if (_hooks->attachTableManager(*this) != 0) {
            _errors = 1;
        }
    }
}

userDataInfo::~userDataInfo() {
    retire();
}

void userDataInfo::retire() {
    if (_attached) {
        _attached = false;
        _hooks->releaseLayout(*this);
    }
    _entry = nullptr;
}

std::string userDataInfo::generateTableName(std::string_view rr) const {
    std::string name(_applKey.view());
    name += ZOTA_ComputeChecksumOnAttrGroup(_attrGroup.view());
    name += rr.empty() ? _RR.view() : rr;
    return name;
}

uint16_t userDataInfo::prepareAttributesImages(std::string_view attrInfo,
                                               std::optional<std::string_view> helpStr) {
    _errors = 0;
    _columns.clear();
    std::size_t offset = 0;

    attrInfo_t origin;
    origin.attrName = "Node_Name";
    origin.columnName.assign("ORIGINNODE");
    origin.typeString.assign("S32");
    origin.type = kTypeString;
    origin.length = kOriginNodeLength;
    _columns.push_back(std::move(origin));
    offset += kOriginNodeLength;

    std::size_t helpFrom = 0;  // where the previous attribute's help was found
    _groupHelp.clear();
    if (helpStr) {
        // The chunk starts with the group's name and help; the attributes' records follow.
        const std::size_t afterGroup = helpStr->find(',');
        if (afterGroup != std::string_view::npos) {
            const std::size_t afterHelp = helpStr->find(',', afterGroup + 1);
            const std::size_t end = afterHelp == std::string_view::npos ? helpStr->size() : afterHelp;
            _groupHelp.assign(trimmed(helpStr->substr(afterGroup + 1, end - afterGroup - 1)));
            helpFrom = end;
        }
    }
    TextScanner attributes(attrInfo);
    while (std::optional<std::string_view> attribute = attributes.next(":")) {
        const std::size_t index = _columns.size();
        if (index > static_cast<std::size_t>(_settings.maxIBColumns)) {
            VA_ERROR("Error: Maximum attributes %d for Appl<%s> Group<%s>\n", static_cast<int>(index),
                     _applNameRR.c_str(), _attrGroup.c_str());
            _errors = 1;
            break;
        }
        TextScanner fields(*attribute);
        std::optional<std::string_view> name = fields.next(",");
        if (!name) {
            VA_ERROR("Error: attribute name was NULL.\n");
            _errors = 1;
            break;
        }
        std::optional<std::string_view> typeStr = fields.next(",");
        const std::string_view lenStr = fields.rest();
        if (lenStr.empty()) {
            VA_ERROR("Error: lenStr was NULL.\n");
            _errors = 1;
            break;
        }
        if (!typeStr) {
            VA_ERROR("Error: typeStr was NULL.\n");
            _errors = 1;
            break;
        }

        attrInfo_t c;
        std::string_view bare = *name;
        if (bare.substr(0, 2) == "@$") {
            c.key = c.atomic = 1;
            bare.remove_prefix(2);
        } else if (bare.front() == '@') {
            c.key = 1;
            bare.remove_prefix(1);
        } else if (bare.front() == '$') {
            c.atomic = 1;
            bare.remove_prefix(1);
        }
        if (bare.empty()) {
            VA_ERROR("Error: attribute name was NULL.\n");
            _errors = 1;
            break;
        }
        c.attrName.assign(bare);
        const long length = std::atol(std::string(lenStr).c_str());
        if (length < 0 || offset + static_cast<std::size_t>(length) > std::numeric_limits<uint16_t>::max()) {
            VA_ERROR("Error: length <%.*s> of attribute <%s> is out of range.\n",
                     static_cast<int>(lenStr.size()), lenStr.data(), c.attrName.c_str());
            _errors = 1;
            break;
        }
        c.length = static_cast<uint16_t>(length);
        c.attrType = typeStr->front();
        switch (typeStr->front()) {
            case 'A':
            case 'C':
            case 'G':
            case 'S':
                c.type = kTypeInteger;
                if (c.length == 2) {
                    c.typeString.assign("I2");
                    c.minimum = -32768;
                    c.maximum = 32767;
                } else {
                    c.typeString.assign("I4");
                    c.minimum = std::numeric_limits<int32_t>::min();
                    c.maximum = std::numeric_limits<int32_t>::max();
                }
                break;
            case 'D': {
                c.type = kTypeString;
                char text[16];
                std::snprintf(text, sizeof text, "S%d", static_cast<int>(c.length));
                c.typeString.assign(text);
                break;
            }
            case 'T':
                c.type = _settings.timestampFormat == 'Y' ? kTypeTimestamp : kTypeString;
                c.typeString.assign("T16");
                break;
            default:
                VA_ERROR("Error: attribute type of [%c] not recognized.\n", typeStr->front());
                _errors = 1;
                break;
        }
        if (_errors != 0) {
            break;
        }
        char columnName[16];
        std::snprintf(columnName, sizeof columnName, "VA%d", static_cast<int>(index));
        c.columnName.assign(columnName);
        c.offset = static_cast<uint16_t>(offset);
        offset += c.length;

        if (!helpStr) {
            VA_DETAIL("NOTE: no help defined for application<%s> group<%s>\n", _applNameRR.c_str(),
                      _attrGroup.c_str());
        } else {
            const std::size_t found = helpStr->find(c.attrName, helpFrom);
            if (found == std::string_view::npos) {
                VA_DETAIL("Attribute <%s> does not appear in Help Text\n", c.attrName.c_str());
            } else {
                helpFrom = found;
                if (!readHelpRecord(c, helpStr->substr(found))) {
                    break;
                }
            }
        }
        _columns.push_back(std::move(c));
    }
    _rowSize = static_cast<uint16_t>(offset);
    if (_errors == 0 && _columns.size() < static_cast<std::size_t>(_settings.maxIBColumns) / 2) {
        _columns.shrink_to_fit();
    }
    if (_errors == 0) {
        VA_TRACE(trace::kFlow, "Appl<%s> Group<%s> Table<%s> noOfColumns<%d> Rowsize<%d>\n",
                 _applNameRR.c_str(), _attrGroup.c_str(), _tableNameRR.c_str(),
                 static_cast<int>(_columns.size()), static_cast<int>(_rowSize));
        if (_hooks != nullptr && _hooks->startCollection(*this) != 0) {
            VA_ERROR("Error: waitOnDP thread creation failed for applKey<%s> attrGroup<%s>\n",
                     _applKey.c_str(), _attrGroup.c_str());
            _errors = 1;
        }
    }
    return _errors;
}

bool userDataInfo::readHelpRecord(attrInfo_t& c, std::string_view record) {
    // record: name "," help "," format "," enumeration ...
    const std::size_t afterName = record.find(',');
    if (afterName == std::string_view::npos) {
        VA_ERROR("Error: parsing helpStr <%.*s> for attribute <%s>\n", static_cast<int>(record.size()),
                 record.data(), c.attrName.c_str());
        _errors = 1;
        return false;
    }
    const std::size_t afterHelp = record.find(',', afterName + 1);
    if (afterHelp == std::string_view::npos) {
        const std::string_view rest = record.substr(afterName + 1);
        VA_ERROR("Error: parsing attrFormat <%.*s> for attribute <%s>\n", static_cast<int>(rest.size()),
                 rest.data(), c.attrName.c_str());
        _errors = 1;
        return false;
    }
    c.help.assign(trimmed(record.substr(afterName + 1, afterHelp - afterName - 1)));
    const std::size_t afterFormat = record.find(',', afterHelp + 1);
    if (afterFormat == std::string_view::npos) {
        const std::string_view rest = record.substr(afterHelp + 1);
        VA_ERROR("Error: parsing ENUM <%.*s> for attribute <%s>\n", static_cast<int>(rest.size()),
                 rest.data(), c.attrName.c_str());
        return true;
    }
    const std::string_view format = record.substr(afterHelp + 1, afterFormat - afterHelp - 1);
    if (const std::size_t at = format.find("UNIT{"); at != std::string_view::npos) {
        const std::size_t close = format.find('}', at + 5);
        c.unit.assign(trimmed(format.substr(at + 5, close == std::string_view::npos ? close : close - at - 5)));
        if (!c.unit.empty() && !knownUnit(c.unit)) {
            VA_ERROR("Error: unit <%s> of attribute <%s> is not one of %s; the attribute has no unit\n",
                     c.unit.c_str(), c.attrName.c_str(), unitNameList().c_str());
            c.unit.clear();
        }
    }
    if (const std::size_t at = format.find("CAPTION{"); at != std::string_view::npos) {
        const std::size_t close = format.find('}', at + 8);
        const std::string_view caption =
            format.substr(at + 8, close == std::string_view::npos ? close : close - at - 8);
        if (!caption.empty()) {
            c.captionStr.emplace(caption);
        }
    }
    if (std::optional<int> n = taggedNumber(format, "PRECISION{")) {
        c.precision = static_cast<uint16_t>(*n);
    }
    if (std::optional<int> n = taggedNumber(format, "SCALE{")) {
        c.scale = static_cast<uint16_t>(*n);
    }

    const std::string_view after = record.substr(afterFormat + 1);
    if (after.size() < 6 || after.substr(0, 5) != "ENUM{") {
        return true;
    }
    const std::size_t close = after.find('}');
    // k: how far the closing brace lies after the comma.
    const std::size_t k = close == std::string_view::npos ? after.size() + 1 : close + 1;
    if (k > kMaxEnumLength) {
        VA_ERROR("Error: parsing enumeration, ENUM string length: %d exceeds max ENUM length: %d\n",
                 static_cast<int>(k), static_cast<int>(kMaxEnumLength));
        _errors = 1;
        return false;
    }
    if (close == std::string_view::npos) {
        VA_ERROR(
            "Error: parsing enumeration, closing brace not found before end of ENUM string at offset: %d\n",
            static_cast<int>(after.size()));
        _errors = 1;
        return false;
    }
    // The text between the braces less its first and last character.
    c.enumStr.emplace(k >= 8 ? after.substr(6, k - 8) : std::string_view());
    if (c.type == kTypeInteger) {
        c.type = kTypeIntegerEnum;
    } else if (c.type == kTypeString || c.type == kTypeTimestamp) {
        c.type = kTypeStringEnum;
    } else {
        VA_ERROR("Error: invalid type <%d>\n", static_cast<int>(c.type));
        _errors = 1;
        return false;
    }
    return true;
}

bool userDataInfo::columnInfo(std::string_view columnName, int* offset, int* length, int* type) const {
    for (const attrInfo_t& c : _columns) {
        if (c.columnName == columnName) {
            *offset = c.offset;
            *length = c.length;
            *type = c.type;
            return true;
        }
    }
    VA_ERROR("Error: Could not find column <%.*s>\n", static_cast<int>(columnName.size()), columnName.data());
    *type = -1;
    return false;
}

void userDataInfo::printSelf() const {
    VA_DETAIL(
        "userDataInfo @%p appl<%s> group<%s> table<%s> cvrm<%s> prior<%s> sampleType<%c> TTL<%d> "
        "columns<%d> rowSize<%d> errors<%d>\n",
        static_cast<const void*>(this), _applNameRR.c_str(), _attrGroup.c_str(), _tableNameRR.c_str(),
        _cvrm.c_str(), _priorVRM.c_str(), _sampleType, static_cast<int>(_TTL),
        static_cast<int>(_columns.size()), static_cast<int>(_rowSize), static_cast<int>(_errors));
    for (const attrInfo_t& c : _columns) {
        VA_DETAIL(
            "  %s <%s> %s type<%d> length<%d> offset<%d> key<%d> atomic<%d> prec<%d> scale<%d> caption<%s> "
            "enum<%s>\n",
            c.columnName.c_str(), c.attrName.c_str(), c.typeString.c_str(), c.type, c.length, c.offset, c.key,
            c.atomic, c.precision, c.scale, c.captionStr ? c.captionStr->c_str() : "",
            c.enumStr ? c.enumStr->c_str() : "");
    }
}

}  // namespace vorpane::metadata
