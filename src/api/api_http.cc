#include "api/api_http.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include <httplib.h>

#include "common/hex_digit.h"
#include "interfaces/support.h"

namespace vorpane::api {

namespace {

std::string dump(const Json& j) { return j.dump(-1, ' ', false, Json::error_handler_t::replace); }

const char* reasonOf(int status) {
    switch (status) {
        case 400:
            return "bad request";
        case 401:
            return "unauthorized";
        case 404:
            return "not found";
        case 405:
            return "method not allowed";
        case 408:
            return "request timeout";
        case 409:
            return "conflict";
        case 413:
            return "request body too large";
        case 414:
            return "request target too long";
        case 415:
            return "unsupported media type";
        case 431:
            return "request header fields too large";
        case 501:
            return "not implemented";
        case 503:
            return "not ready";
        case 504:
            return "timed out";
        default:
            return status < 500 ? "bad request" : "internal error";
    }
}

// The reason phrase of the status line.
const char* phraseOf(int status) {
    switch (status) {
        case 400:
            return "Bad Request";
        case 408:
            return "Request Timeout";
        case 413:
            return "Payload Too Large";
        case 414:
            return "URI Too Long";
        case 415:
            return "Unsupported Media Type";
        case 431:
            return "Request Header Fields Too Large";
        case 501:
            return "Not Implemented";
        case 503:
            return "Service Unavailable";
        default:
            return status < 500 ? "Bad Request" : "Internal Server Error";
    }
}


}  // namespace

void reply(httplib::Response& res, int status, const Json& body) {
    res.status = status;
    res.set_content(dump(body) + "\n", kJsonType);
}

void fail(httplib::Response& res, int status, const std::string& detail) {
    reply(res, status, Json{{"error", reasonOf(status)}, {"detail", detail}});
}

int statusOf(const axf::Status& s) {
    switch (s.code) {
        case axf::kOk:
            return 200;
        case axf::kNotImplemented:
            return 501;
        case axf::kNotFound:
            return 404;
        case axf::kInvalid:
            return 400;
        case axf::kExists:
            return 409;
        case axf::kTimeout:
            return 504;
        case axf::kStopped:
            return 503;
        default:
            return 500;
    }
}

void failWith(httplib::Response& res, const axf::Status& s) { fail(res, statusOf(s), s.message); }

bool sameText(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
           });
}

bool sequenceParam(const httplib::Request& req, const char* key, uint64_t* out) {
    *out = 0;
    if (!req.has_param(key)) {
        return true;
    }
    std::string text = req.get_param_value(key);
    if (text.empty() || text.size() > 20 || !std::all_of(text.begin(), text.end(), ::isdigit)) {
        return false;
    }
    errno = 0;
    unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
    *out = v;
    return errno == 0;
}

std::vector<std::string> listParam(const httplib::Request& req, const char* key) {
    std::vector<std::string> out;
    size_t count = req.get_param_value_count(key);
    for (size_t i = 0; i < count; ++i) {
        std::string v = req.get_param_value(key, i);
        size_t start = 0;
        while (start <= v.size()) {
            size_t comma = v.find(',', start);
            std::string part = v.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
            if (!part.empty()) {
                out.push_back(part);
            }
            if (comma == std::string::npos) {
                break;
            }
            start = comma + 1;
        }
    }
    return out;
}

bool parseBody(const httplib::Request& req, httplib::Response& res, Json* body) {
    *body = Json::parse(req.body, nullptr, false);
    if (body->is_discarded()) {
        fail(res, 400, "the body is not valid JSON");
        return false;
    }
    return true;
}

bool validName(std::string_view name, size_t maxLength) {
    return !name.empty() && name.size() <= maxLength && std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
    });
}

std::string sourceOf(const std::string& subnode) {
    std::string source;
    return ZOTA_GetSrcNameFromSubNodeName(subnode.c_str(), &source) == 0 ? source : subnode;
}

std::string printable(std::string_view text, size_t maxBytes) {
    std::string out;
    const std::string_view shown = text.substr(0, maxBytes);
    out.reserve(shown.size() + 3);
    for (char ch : shown) {
        const auto c = static_cast<unsigned char>(ch);
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out.push_back(ch);
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    if (text.size() > maxBytes) {
        out += "...";
    }
    return out;
}

std::string percentDecoded(std::string_view text, bool plusIsBlank) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && vorpane::hexDigitValue(text[i + 1]) >= 0 && vorpane::hexDigitValue(text[i + 2]) >= 0) {
            out.push_back(static_cast<char>(vorpane::hexDigitValue(text[i + 1]) * 16 + vorpane::hexDigitValue(text[i + 2])));
            i += 2;
        } else if (plusIsBlank && text[i] == '+') {
            out.push_back(' ');
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

std::string errorAnswer(int status, const std::string& detail, bool close, std::string_view extraHeaders) {
    const std::string body = dump(Json{{"error", reasonOf(status)}, {"detail", detail}}) + "\n";
    std::string out = "HTTP/1.1 " + std::to_string(status) + " " + phraseOf(status) + "\r\n";
    out += "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    if (close) {
        out += "Connection: close\r\n";
    }
    out += extraHeaders;
    out += "\r\n";
    return out + body;
}

void traceRequest(std::string_view method, std::string_view path, int status, double ms) {
    if (trace::enabled(trace::kState)) {
        VA_STATE("API %s %s %d %.3f ms\n", printable(method, 16).c_str(), printable(path).c_str(), status, ms);
    }
}

}  // namespace vorpane::api
