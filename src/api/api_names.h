// The names the management API takes and matches: what a name of a request may hold and which
// subnodes belong to a table's application. Pure functions.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

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

// The one rule of the API for "the application of a table": a table's application name carries the
// application's two-digit release ("DSK01"), a subnode's does not ("DSK"); case-blind.
bool sameApplication(std::string_view tableAppl, std::string_view subnodeAppl);

}  // namespace vorpane::api
