// The status page and the history of the tables' numeric series, served by the management API.
//
//   GET /                                     the page (no token: it asks for one and sends it itself)
//   GET /ui/<file>                            its scripts and styles, embedded in the binary
//   GET /v1/tables/{appl}/{table}/history     the recent points of every numeric series of a table
//
// Every answer of the page's files carries a strict Content-Security-Policy: the page runs only its own
// scripts and talks only to the agent.
#pragma once

#include <string_view>

namespace httplib {
class Server;
}  // namespace httplib

namespace vorpane::api {

struct ApiContext;

// One file of the page, embedded at build time (status_page_assets.cc, generated).
struct StatusPageAsset {
    std::string_view path;  // "/ui/app.js"
    std::string_view contentType;
    std::string_view content;
};
// Every embedded file, null-terminated by an entry with an empty path.
const StatusPageAsset* statusPageAssets();

// Whether a request path is one of the page's own files, which need no token.
bool isStatusPagePath(std::string_view path);

inline constexpr const char* kStatusPagePolicy =
    "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; connect-src 'self'; "
    "object-src 'none'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

void addStatusRoutes(httplib::Server& server, ApiContext& context);

}  // namespace vorpane::api
