// What every handler of the management API uses: JSON answers and error bodies, the facade's status as
// an HTTP status, and the request parameters and bodies the endpoints share.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "api/api_json.h"
#include "interfaces/axf_facade.h"

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

namespace vorpane::api {

inline constexpr const char* kJsonType = "application/json";
// The user the framework sees for requests made through the API.
inline constexpr const char* kApiUser = "api";

void reply(httplib::Response& res, int status, const Json& body);
// {"error": <the status's reason>, "detail": detail}
void fail(httplib::Response& res, int status, const std::string& detail);
void failWith(httplib::Response& res, const axf::Status& s);
int statusOf(const axf::Status& s);

// Equal but for the case of ASCII letters.
bool sameText(std::string_view a, std::string_view b);
// A sequence number parameter: absent is 0. False when it is not a whole number.
bool sequenceParam(const httplib::Request& req, const char* key, uint64_t* out);
// Every value of a repeatable parameter, each also split at commas.
std::vector<std::string> listParam(const httplib::Request& req, const char* key);
// The body as JSON; false (and a 400 answered) when it is not JSON.
bool parseBody(const httplib::Request& req, httplib::Response& res, Json* body);
// 1 to maxLength letters, digits or "_".
bool validName(std::string_view name, size_t maxLength);
// The source part of a subnode name, or the name itself when it has none.
std::string sourceOf(const std::string& subnode);

// Client-given text as a trace may show it: printable ASCII as it is, every other byte and the
// backslash as \xNN, so that a request cannot write a line of its own; cut after maxBytes of the
// text with "..." after it.
std::string printable(std::string_view text, size_t maxBytes = 200);
// A percent-encoded part of a target decoded as httplib decodes it ("+" is a blank only in a query).
std::string percentDecoded(std::string_view text, bool plusIsBlank);
// A whole answer made without httplib (the HTTP front's refusals): the status line, the same JSON error
// body as fail(), and "Connection: close" when close. extraHeaders: whole header lines.
std::string errorAnswer(int status, const std::string& detail, bool close, std::string_view extraHeaders = {});
// One line of the request log in the trace's state class: "API GET /v1/tables 200 1.031 ms".
void traceRequest(std::string_view method, std::string_view path, int status, double ms);

}  // namespace vorpane::api
