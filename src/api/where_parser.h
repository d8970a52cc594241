// The `where` expressions of the management API, parsed into the framework's filter elements.
//
//   expression := term { OR term }          term := factor { AND factor }
//   factor     := "(" expression ")" | NAME operator value
//   operator   := EQ NE GT GE LT LE LIKE | = == != <> > >= < <=     (words case-blind)
//   value      := 'text' | "text" (a doubled quote stands for one) | a word without blanks or parentheses
//
// The framework's filter is a flat list in which AND binds tighter than OR, so an expression is
// brought into that shape (an OR of ANDs) by multiplying out the parentheses. Pure: text in,
// filter or error out. The parser recurses once per open parenthesis, so their depth is bounded: a
// request cannot take an API worker's stack.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "interfaces/axf_facade.h"

namespace vorpane::api {

// The most predicates an expression may have once multiplied out.
inline constexpr size_t kMaxWherePredicates = 256;
// The deepest parentheses may nest.
inline constexpr size_t kMaxWhereDepth = 64;

struct WhereResult {
    bool ok = true;
    axf::Filter filter;  // empty for an empty expression: every row
    size_t position = 0;  // on error: the 1-based character (UTF-8 code point) where it was noticed
    std::string message;  // on error: what was wrong there
};

WhereResult parseWhere(std::string_view text);

}  // namespace vorpane::api
