#include "providers/http_provider.h"

#include <curl/curl.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <mutex>

#include "interfaces/support.h"
#include "interfaces/trace.h"

namespace vorpane::providers {

namespace {

// curl_global_init is not thread-safe: once, before the first handle.
void curlInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct Body {
    std::string kept;  // the first kMaxBody bytes
    int64_t bytes = 0;
};

size_t onData(char* data, size_t size, size_t count, void* user) {
    Body* body = static_cast<Body*>(user);
    const size_t n = size * count;
    body->bytes += static_cast<int64_t>(n);
    if (body->kept.size() < HttpProvider::kMaxBody) {
        body->kept.append(data, std::min(n, HttpProvider::kMaxBody - body->kept.size()));
    }
    return n;
}

// Days until the server certificate's "Expire date", from the certificate chain curl reports.
int32_t certDaysLeft(CURL* curl) {
    curl_certinfo* info = nullptr;
    if (curl_easy_getinfo(curl, CURLINFO_CERTINFO, &info) != CURLE_OK || info == nullptr || info->num_of_certs < 1) {
        return -1;
    }
    for (curl_slist* s = info->certinfo[0]; s != nullptr; s = s->next) {
        if (std::strncmp(s->data, "Expire date:", 12) == 0) {
            time_t expires = curl_getdate(s->data + 12, nullptr);
            if (expires < 0) {
                return -1;
            }
            return static_cast<int32_t>((static_cast<int64_t>(expires) - clock::nowSeconds()) / 86400);
        }
    }
    return -1;
}

// Real milliseconds of a clock time-out (shortened by the test switch), at least 1.
long realMilliseconds(double seconds) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(CondVar::realDuration(seconds)).count();
    return ms < 1 ? 1 : static_cast<long>(ms);
}

}  // namespace

HttpProvider::HttpProvider(std::string name, HubOptions hub, dp::AppDescription app, Options options)
    : Provider(std::move(name)),
      _options(std::move(options)),
      _session(std::move(hub), std::move(app), status()),
      _group(_session.app().group(_options.group)) {
    curlInit();
    _session.answerActions(this);
}

HttpProvider::Result HttpProvider::probe(const Target& target) const {
    Result r;
    std::unique_ptr<CURL, void (*)(CURL*)> curl(curl_easy_init(), curl_easy_cleanup);
    if (!curl) {
        r.error = "curl_easy_init failed";
        return r;
    }
    Body body;
    char errorText[CURL_ERROR_SIZE] = {};
    const bool https = target.url.rfind("https:", 0) == 0;
    curl_easy_setopt(curl.get(), CURLOPT_URL, target.url.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, onData);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(curl.get(), CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);  // a provider thread must not take signals
    curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT_MS, realMilliseconds(_options.timeout));
    curl_easy_setopt(curl.get(), CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl.get(), CURLOPT_USERAGENT, "vorpane-agent");
    if (https) {
        curl_easy_setopt(curl.get(), CURLOPT_CERTINFO, 1L);
        if (!target.caFile.empty()) {
            curl_easy_setopt(curl.get(), CURLOPT_CAINFO, target.caFile.c_str());
        }
    }
    const auto start = clock::steadyNanos();
    CURLcode rc = curl_easy_perform(curl.get());
    r.responseMs = static_cast<int32_t>((clock::steadyNanos() - start) / 1000000);
    r.bytes = body.bytes;
    if (rc != CURLE_OK) {
        r.error = errorText[0] != '\0' ? errorText : curl_easy_strerror(rc);
        return r;
    }
    curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &r.statusCode);
    if (target.pattern) {
        r.matched = target.pattern->search(body.kept) ? 1 : 0;
    }
    if (https) {
        r.certDaysLeft = certDaysLeft(curl.get());
    }
    return r;
}

std::vector<HttpProvider::Result> HttpProvider::probeAll() {
    std::vector<Result> results;
    std::vector<DProw> rows;
    for (const Target& t : _options.targets) {
        Result r = probe(t);
        if (!r.error.empty()) {
            VA_DETAIL("HTTP %s: %s: %s\n", status().name().c_str(), t.url.c_str(), r.error.c_str());
        }
        dp::RowSpec rowSpec;
        auto put = [&](const char* name, std::string value) {
            if (const dp::AttributeDesc* a = _group->attribute(name)) {
                if ((a->type == 'D' || a->type == 'O' || a->type == 'T') && value.size() > static_cast<size_t>(a->length)) {
                    value.resize(static_cast<size_t>(a->length));
                }
                rowSpec.values.emplace_back(name, std::move(value));
            }
        };
        put("Name", t.name);
        put("URL", t.url);
        put("Status_Code", std::to_string(r.statusCode));
        put("Response_Ms", std::to_string(r.responseMs));
        put("Bytes", std::to_string(std::min<int64_t>(r.bytes, INT32_MAX)));
        put("Matched", std::to_string(r.matched));
        put("Cert_Days_Left", std::to_string(r.certDaysLeft));
        put("Error", r.error);
        DProw row;
        std::string reason;
        if (!dp::formatRow(rowSpec, *_group, &row, &reason)) {
            status().error(t.url + ": " + reason);
        } else {
            rows.push_back(std::move(row));
        }
        results.push_back(std::move(r));
    }
    int h = _session.handle(_options.group, _options.sourceName);
    for (size_t i = 0; h >= 0 && i < rows.size(); ++i) {
        int control = rows.size() == 1 ? 0x11 : i == 0 ? 0x01 : i + 1 == rows.size() ? 0x10 : 0x00;
        if (_session.send(h, control, rows[i]) != 0) {
            break;
        }
    }
    return results;
}

bool HttpProvider::sendFreshRows(std::string_view group) {
    if (group != _options.group) {
        return false;
    }
    probeAll();
    return true;
}

void HttpProvider::run(StopSignal& stop) {
    do {
        probeAll();
    } while (!waitFor(stop, _options.interval));
    _session.close();
}

std::unique_ptr<Provider> HttpProvider::make(const Definition& d, const ProviderContext& context,
                                             dp::ParseError* error) {
    SourceOptions options;
    long interval = 60;
    long timeout = 10;
    if (!options.parse(d.source[0].words, 0, {"group", "interval", "timeout", "source"}, &error->reason) ||
        !options.number("interval", 1, 86400, 60, &interval, &error->reason) ||
        !options.number("timeout", 1, 3600, 10, &timeout, &error->reason)) {
        error->line = d.typeLine;
        return nullptr;
    }
    Options o;
    o.interval = static_cast<double>(interval);
    o.timeout = static_cast<double>(timeout);
    o.group = options.get("group");
    for (char& c : o.group) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    if (o.group.empty() && d.app.groups.size() == 1) {
        o.group = d.app.groups[0].name;
    }
    const dp::GroupDesc* group = d.app.group(o.group);
    if (group == nullptr) {
        *error = {d.typeLine, o.group.empty() ? "HTTP needs group=NAME (the application has several groups)"
                                              : "no group " + o.group + " in application " + d.app.name};
        return nullptr;
    }
    if (group->attribute("Name") == nullptr && group->attribute("URL") == nullptr) {
        *error = {group->line, "group " + group->name + " needs an attribute Name or URL to tell its rows apart"};
        return nullptr;
    }
    for (size_t i = 1; i < d.source.size(); ++i) {
        const SourceLine& l = d.source[i];
        SourceOptions urlOptions;
        if (l.words[0] != "url" || l.words.size() < 3 ||
            !urlOptions.parse(l.words, 3, {"match", "cafile"}, &error->reason)) {
            *error = {l.line, error->reason.empty()
                                  ? "a line of an HTTP source section is \"url NAME URL [match=REGEX] [cafile=PATH]\""
                                  : error->reason};
            return nullptr;
        }
        Target t{l.words[1], l.words[2], urlOptions.get("match"), nullptr, urlOptions.get("cafile")};
        if (!t.caFile.empty() && t.url.rfind("https://", 0) != 0) {
            *error = {l.line, "cafile= is for https:// URLs"};
            return nullptr;
        }
        if (t.url.rfind("http://", 0) != 0 && t.url.rfind("https://", 0) != 0) {
            *error = {l.line, "URL " + t.url + " is not http:// or https://"};
            return nullptr;
        }
        if (!t.match.empty()) {
            auto pattern = std::make_shared<PatternMatcher>();
            std::string reason;
            if (!PatternMatcher::compile(t.match, pattern.get(), &reason)) {
                *error = {l.line, "match does not compile: " + reason};
                return nullptr;
            }
            t.pattern = std::move(pattern);
        }
        o.targets.push_back(std::move(t));
    }
    if (o.targets.empty()) {
        *error = {d.typeLine, "HTTP needs at least one url line"};
        return nullptr;
    }
    o.sourceName = options.get("source", context.sourceName);
    const std::string base = d.file.substr(d.file.rfind('/') + 1);
    return std::make_unique<HttpProvider>("HTTP:" + base, context.hub, d.app, std::move(o));
}

}  // namespace vorpane::providers
