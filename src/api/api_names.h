// The names the management API takes and matches: what a name of a request may hold, which subnodes
// belong to a table's application, and a table's names across the releases of its application.
// Pure functions.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "interfaces/axf_facade.h"

namespace vorpane::api {

// Names a request brings (situation, application, table, column and subnode names, commands) never
// hold a control character: a NUL would cut the name where the framework reads it as C text, a line
// end would forge trace and file lines.
inline constexpr size_t kMaxSituationName = 32;
inline constexpr size_t kMaxTableName = 32;  // applications and tables alike
inline constexpr size_t kMaxSubnodeName = 32;
inline constexpr size_t kMaxColumnName = 64;

// The 1-based character (UTF-8 code point) at a byte offset of text: continuation bytes do not count.
size_t characterNumber(std::string_view text, size_t offset);
// Why text cannot be taken for field: it holds a control character (below 0x20, or 0x7F), named with
// its position; "" when it holds none.
std::string controlCharacterProblem(std::string_view field, std::string_view text);
// Why text is no name for field: a control character, or not 1 to maxLength bytes; "" when it is one.
std::string nameProblem(std::string_view field, std::string_view text, size_t maxLength);
// The same for an application or table name: letters, digits, "_", "." and "-" only (what the
// endpoints' paths take).
std::string tableNameProblem(std::string_view field, std::string_view text);

// A table's names without the release of its application. The agent's tables carry the release at
// the end of both names ("DSK01", "DSKTBL01"), and a release change (an attribute added) registers the
// table again under the new one ("DSK02", "DSKTBL02"); names that do not end in the same two digits
// ("ZOT", "ZOTACT") are their own stem.
struct TableStem {
    std::string applName;
    std::string tableName;
};
TableStem tableStem(std::string_view applName, std::string_view tableName);
// The two digits of a table's release, or "" for names without one.
std::string tableRelease(std::string_view applName, std::string_view tableName);
// The registered table of the same application and table as these names (given with a release or
// without) in the highest release, the one the application is at now; null when none is registered.
const axf::TableDesc* currentRelease(std::string_view applName, std::string_view tableName,
                                     const std::vector<axf::TableDesc>& tables);

// The table a request names. A table is named by its application and attribute group, without the
// release and in any case ("VPHOST", "cpu"), or as listed: application with or without its release
// and the table's code ("VPHOST00"/"VPHABCDE00"). A code is taken first; by name, the current (highest)
// release of the group answers.
struct TableMatch {
    const axf::TableDesc* table = nullptr;  // into the tables searched; null when none or several
    int status = 200;  // 404: none (message lists what exists); 409: several (message and candidates)
    std::string message;
    std::vector<const axf::TableDesc*> candidates;  // for 409: one per matching application and group
};
TableMatch findTable(std::string_view applName, std::string_view tableName, const std::vector<axf::TableDesc>& tables);

}  // namespace vorpane::api
