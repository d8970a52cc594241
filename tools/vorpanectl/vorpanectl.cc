#include "vorpanectl/vorpanectl.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <sstream>
#include <string_view>
#include <thread>

#include <CLI/CLI.hpp>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include "api/api_config.h"
#include "interfaces/support.h"

namespace vorpanectl {

namespace {

using Json = nlohmann::ordered_json;

struct Options {
    std::string address;
    int port = vorpane::api::kDefaultPort;
    std::string token;
    bool json = false;
    int timeoutSeconds = 60;
    bool https = false;
    std::string cacert;  // CA file the agent's certificate is checked against (empty: the system's)
    std::string cert;  // client certificate and key, for an agent that asks for one
    std::string key;
    std::string agentsFile;  // the agents file (--agents); empty: VORPANE_AGENTS, else the default place
    // Where address and port came from, for the hint when the agent cannot be reached.
    std::string origin;
};

// Where the agent listens and its token: the same keys and work directory the agent reads. Without
// VORPANE_API_PORT and VORPANE_API_BIND, the address the agent of the work directory wrote there.
void defaults(Options* o) {
    vorpane::api::ApiConfig config;
    std::string error;
    if (vorpane::api::readApiConfig(&config, &error)) {
        o->port = config.port;
        o->https = config.tls();
    }
    if (const char* ca = BSS1_GetEnv("VORPANE_API_CACERT"); ca != nullptr) {
        o->cacert = ca;
    }
    o->address = vorpane::api::clientAddress(config.bind);
    std::string fromKeys;
    for (const char* key : {"VORPANE_API_PORT", "VORPANE_API_BIND"}) {
        if (const char* value = BSS1_GetEnv(key); value != nullptr && *value != '\0') {
            fromKeys += (fromKeys.empty() ? "from " : " and ") + std::string(key) + "=" + value;
        }
    }
    std::string host;
    int port = 0;
    if (!fromKeys.empty()) {
        o->origin = fromKeys;
    } else if (vorpane::api::readAddressFile(&host, &port, &o->https)) {
        o->address = host;
        o->port = port;
        o->origin = "from " + vorpane::api::addressFilePath() + ", which the agent wrote when it started";
    } else {
        o->origin = "the default: VORPANE_API_PORT is unset and " + vorpane::api::addressFilePath() +
                    " does not exist";
    }
    std::string token;
    if (vorpane::api::loadToken(false, &token, &error)) {
        o->token = token;
    }
}

// What went wrong with a request that got no answer, in words.
std::string failure(httplib::Error e, int timeoutSeconds) {
    switch (e) {
        case httplib::Error::Connection:
            return "no connection could be made (nothing listens there, or the address cannot be reached)";
        case httplib::Error::ConnectionTimeout:
            return "no connection within 5 seconds";
        case httplib::Error::Read:
            return "the connection broke, or no answer came within " + std::to_string(timeoutSeconds) +
                   " seconds (--timeout)";
        case httplib::Error::Write:
            return "the request could not be sent: the connection broke";
        case httplib::Error::SSLConnection:
        case httplib::Error::SSLServerVerification:
            return "the TLS handshake failed: the agent's certificate is not signed by the CA given (--cacert), "
                   "does not name the address, or the agent wants a client certificate (--cert, --key)";
        case httplib::Error::SSLLoadingCerts:
            return "the CA file (--cacert) or the client certificate cannot be read";
        default:
            return "the request failed (" + httplib::to_string(e) + ")";
    }
}

std::string text(const Json& j) {
    if (j.is_null()) {
        return "-";
    }
    if (j.is_string()) {
        return j.get<std::string>();
    }
    return j.dump();
}

// A value as a table cell: null (nothing known, or no value) is an empty cell.
std::string cell(const Json& j) { return j.is_null() ? std::string() : text(j); }

// An address as given: "[https://|http://]HOST[:PORT]". The scheme chooses HTTPS; the port is taken
// unless one was given apart (keepPort).
void setAddress(Options* o, std::string address, bool keepPort) {
    for (const char* scheme : {"https://", "http://"}) {
        if (address.starts_with(scheme)) {
            o->https = std::string_view(scheme) == "https://";
            address.erase(0, std::strlen(scheme));
        }
    }
    if (const size_t colon = address.rfind(':'); colon != std::string::npos && !keepPort) {
        char* end = nullptr;
        const long port = std::strtol(address.c_str() + colon + 1, &end, 10);
        if (end != address.c_str() + colon + 1 && *end == '\0' && port >= 1 && port <= 65535) {
            o->port = static_cast<int>(port);
            address.erase(colon);
        }
    }
    o->address = address;
}

// One agent of the agents file.
struct AgentEntry {
    std::string name;
    std::string address;  // [https://]HOST[:PORT]
    std::string tokenFile;
    std::string cacert;
    std::string cert;
    std::string key;
};

// --agents, else VORPANE_AGENTS, else $XDG_CONFIG_HOME/vorpane/agents.json, else
// ~/.config/vorpane/agents.json.
std::string agentsFilePath(const std::string& given) {
    if (!given.empty()) {
        return given;
    }
    if (const char* env = BSS1_GetEnv("VORPANE_AGENTS"); env != nullptr && *env != '\0') {
        return env;
    }
    if (const char* xdg = BSS1_GetEnv("XDG_CONFIG_HOME"); xdg != nullptr && *xdg != '\0') {
        return std::string(xdg) + "/vorpane/agents.json";
    }
    const char* home = BSS1_GetEnv("HOME");
    return std::string(home != nullptr ? home : "") + "/.config/vorpane/agents.json";
}

// The agents of the file: {"agents": [{"name", "address", "tokenFile", "cacert", "cert", "key"}]}.
// False with *error naming the file and what is wrong.
bool loadAgents(const std::string& path, std::vector<AgentEntry>* agents, std::string* error) {
    std::string content;
    if (!vorpane::api::readWholeFile(path, &content)) {
        *error = "cannot read the agents file " + path + ": " + std::strerror(errno);
        return false;
    }
    const Json j = Json::parse(content, nullptr, false);
    if (!j.is_object() || !j.contains("agents") || !j["agents"].is_array()) {
        *error = "the agents file " + path + " is not JSON of the form {\"agents\": [...]}";
        return false;
    }
    agents->clear();
    for (const Json& a : j["agents"]) {
        auto field = [&a](const char* key) {
            return a.is_object() && a.contains(key) && a[key].is_string() ? a[key].get<std::string>() : std::string();
        };
        AgentEntry e{field("name"), field("address"), field("tokenFile"), field("cacert"), field("cert"), field("key")};
        if (e.name.empty() || e.address.empty()) {
            *error = "the agents file " + path + " has an agent without a \"name\" or an \"address\": " + a.dump();
            return false;
        }
        for (const AgentEntry& other : *agents) {
            if (other.name == e.name) {
                *error = "the agents file " + path + " names the agent " + e.name + " twice";
                return false;
            }
        }
        agents->push_back(std::move(e));
    }
    return true;
}

// The options to reach one agent of the file: its address, token, CA and client certificate; what
// the command line gave explicitly stays.
struct Explicit {
    bool token = false;
    bool cacert = false;
    bool cert = false;
    bool port = false;
};
bool optionsFor(const AgentEntry& agent, const std::string& file, const Explicit& given, Options* o,
                std::string* error) {
    setAddress(o, agent.address, given.port);
    if (!given.token) {
        o->token.clear();
        if (!agent.tokenFile.empty() && !vorpane::api::readTokenFile(agent.tokenFile, &o->token, error)) {
            return false;
        }
    }
    if (!given.cacert && !agent.cacert.empty()) {
        o->cacert = agent.cacert;
        o->https = true;
    }
    if (!given.cert) {
        o->cert = agent.cert;
        o->key = agent.key;
    }
    o->origin = "from the agent " + agent.name + " in " + file;
    return true;
}

class Session {
public:
    Session(const Options& o, std::ostream& out, std::ostream& err) : _o(o), _out(out), _err(err) {}

    // One request. On success *body holds the answer and kOk is returned; otherwise the error is
    // printed and its exit code returned.
    int call(const std::string& method, const std::string& path, const std::string& payload, std::string* body) {
        const std::string base =
            std::string(_o.https ? "https://" : "http://") + _o.address + ":" + std::to_string(_o.port);
        httplib::Client client(base, _o.cert, _o.key);
        if (_o.https) {
            if (!_o.cacert.empty()) {
                client.set_ca_cert_path(_o.cacert.c_str());
            }
            client.enable_server_certificate_verification(true);
        }
        client.set_connection_timeout(5, 0);
        client.set_read_timeout(_o.timeoutSeconds, 0);
        if (!_o.token.empty()) {
            client.set_bearer_token_auth(_o.token.c_str());
        }
        httplib::Result r = method == "POST"     ? client.Post(path.c_str(), payload, "application/json")
                            : method == "DELETE" ? client.Delete(path.c_str())
                                                 : client.Get(path.c_str());
        if (!r) {
            _err << "Error: cannot reach the agent at " << (_o.https ? base : _o.address + ":" + std::to_string(_o.port))
                 << ": "
                 << failure(r.error(), _o.timeoutSeconds) << "\n";
            if (r.error() == httplib::Error::Connection || r.error() == httplib::Error::ConnectionTimeout) {
                _err << "Hint: is the agent running? This address is " << _o.origin
                     << ". An agent writes its address to api-address in its work directory: set "
                        "VORPANE_WORKDIR to that directory, or give --port (and --address).\n";
            }
            return kUnreachable;
        }
        if (r->status >= 200 && r->status < 300) {
            *body = r->body;
            return kOk;
        }
        Json e = Json::parse(r->body, nullptr, false);
        std::string what = e.is_object() ? text(e.value("error", Json("error"))) + ": " + text(e.value("detail", Json(""))) : r->body;
        _err << "Error: " << what << " (HTTP " << r->status << ")\n";
        if (r->status == 401 && _o.token.empty()) {
            _err << "Error: no token: set VORPANE_API_TOKEN, pass --token, or run where the agent's work directory is "
                    "(VORPANE_WORKDIR)\n";
        }
        switch (r->status) {
            case 400:
            case 413:
                return kBadInput;
            case 401:
                return kUnauthorized;
            case 404:
                return kNotFound;
            case 409:
                return kConflict;
            case 503:
                return kNotReady;
            default:
                return kFailed;
        }
    }

    // A request whose JSON answer is printed as it stands with --json, or handed to table otherwise;
    // look sees it either way.
    template <typename Show>
    int show(const std::string& method, const std::string& path, const std::string& payload, Show&& table,
             const std::function<void(const Json&)>& look = nullptr) {
        std::string body;
        if (int rc = call(method, path, payload, &body); rc != kOk) {
            return rc;
        }
        Json j = Json::parse(body, nullptr, false);
        if (j.is_discarded()) {
            _err << "Error: the agent's answer is not JSON\n";
            return kFailed;
        }
        if (look) {
            look(j);
        }
        if (_o.json) {
            _out << j.dump(2) << "\n";
        } else {
            table(j);
        }
        return kOk;
    }

    std::ostream& out() { return _out; }

private:
    const Options& _o;
    std::ostream& _out;
    std::ostream& _err;
};

std::string query(const std::vector<std::pair<std::string, std::string>>& params) {
    std::string q;
    for (const auto& [key, value] : params) {
        q += q.empty() ? "?" : "&";
        q += key + "=" + httplib::detail::encode_query_param(value);
    }
    return q;
}

std::string pathPart(const std::string& s) { return httplib::detail::encode_query_param(s); }

void printEvents(std::ostream& out, const Json& events, bool header) {
    std::vector<std::vector<std::string>> rows;
    for (const Json& e : events) {
        rows.push_back({text(e["seq"]), text(e["time"]), text(e["kind"]), text(e["situation"]), text(e["subnode"]),
                        e["row"].is_null() ? "" : e["row"].dump()});
    }
    std::string t = formatTable({"SEQ", "TIME", "KIND", "SITUATION", "SUBNODE", "ROW"}, rows);
    if (!header) {
        t = t.substr(t.find('\n') + 1);
    }
    out << t;
}

}  // namespace

std::string formatTable(const std::vector<std::string>& headers, const std::vector<std::vector<std::string>>& rows) {
    std::vector<size_t> widths(headers.size());
    for (size_t i = 0; i < headers.size(); ++i) {
        widths[i] = headers[i].size();
        for (const auto& r : rows) {
            if (i < r.size()) {
                widths[i] = std::max(widths[i], r[i].size());
            }
        }
    }
    std::string out;
    auto line = [&](const std::vector<std::string>& cells) {
        std::string l;
        for (size_t i = 0; i < headers.size(); ++i) {
            const std::string cell = i < cells.size() ? cells[i] : "";
            l += cell;
            if (i + 1 < headers.size()) {
                l += std::string(widths[i] - cell.size() + 2, ' ');
            }
        }
        while (!l.empty() && l.back() == ' ') {
            l.pop_back();
        }
        out += l + "\n";
    };
    line(headers);
    for (const auto& r : rows) {
        line(r);
    }
    return out;
}

namespace {

// rows against every agent of the agents file at once, each with its own time-out: the rows of all
// that answered, labelled with their agent, and an error line for each that did not.
int rowsOfAllAgents(const Options& base, const Explicit& given, const std::string& path, std::ostream& out,
                    std::ostream& err) {
    std::vector<AgentEntry> agents;
    std::string error;
    const std::string file = agentsFilePath(base.agentsFile);
    if (!loadAgents(file, &agents, &error)) {
        err << "Error: " << error << "\n";
        return kBadInput;
    }
    struct Outcome {
        int rc = kOk;
        std::string body;
        std::string err;
    };
    std::vector<Outcome> outcomes(agents.size());
    std::vector<std::thread> threads;
    for (size_t i = 0; i < agents.size(); ++i) {
        threads.emplace_back([&, i] {
            Options o = base;
            std::ostringstream unused, said;
            std::string why;
            if (!optionsFor(agents[i], file, given, &o, &why)) {
                outcomes[i].rc = kBadInput;
                outcomes[i].err = "Error: " + why + "\n";
                return;
            }
            Session session(o, unused, said);
            outcomes[i].rc = session.call("GET", path, "", &outcomes[i].body);
            outcomes[i].err = said.str();
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }

    int rc = kOk;
    std::vector<std::string> headers{"AGENT"};
    std::vector<std::vector<std::string>> cells;
    Json rows = Json::array(), errors = Json::array();
    for (size_t i = 0; i < agents.size(); ++i) {
        const Outcome& r = outcomes[i];
        Json j = r.rc == kOk ? Json::parse(r.body, nullptr, false) : Json();
        if (r.rc == kOk && (!j.is_object() || !j["rows"].is_array())) {
            outcomes[i].err = "Error: the agent's answer is not JSON\n";
        }
        if (r.rc != kOk || !j.is_object() || !j["rows"].is_array()) {
            std::istringstream lines(outcomes[i].err);
            std::string first;
            for (std::string line; std::getline(lines, line);) {
                const bool isError = line.starts_with("Error: ");
                err << (isError ? "Error: agent " : "agent ") << agents[i].name << ": "
                    << (isError ? line.substr(7) : line) << "\n";
                if (first.empty() && isError) {
                    first = line.substr(7);
                }
            }
            errors.push_back(Json{{"agent", agents[i].name}, {"error", first}});
            if (rc == kOk) {
                rc = r.rc == kOk ? kFailed : r.rc;
            }
            continue;
        }
        for (const Json& row : j["rows"]) {
            Json labelled{{"agent", agents[i].name}};
            for (auto it = row.begin(); it != row.end(); ++it) {
                labelled[it.key()] = it.value();
                if (std::find(headers.begin(), headers.end(), it.key()) == headers.end()) {
                    headers.push_back(it.key());
                }
            }
            rows.push_back(std::move(labelled));
        }
    }
    if (base.json) {
        out << Json{{"count", rows.size()}, {"rows", rows}, {"errors", errors}}.dump(2) << "\n";
        return rc;
    }
    for (const Json& row : rows) {
        std::vector<std::string> line;
        for (const std::string& h : headers) {
            line.push_back(h == "AGENT" ? text(row["agent"]) : row.contains(h) ? cell(row[h]) : std::string());
        }
        cells.push_back(std::move(line));
    }
    if (cells.empty()) {
        out << "(no rows)\n";
    } else {
        out << formatTable(headers, cells);
    }
    return rc;
}

}  // namespace

int run(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
    Options o;
    defaults(&o);
    CLI::App app{"vorpanectl: look at a running Vorpane Agent through its management API", "vorpanectl"};
    // Without a command the help is printed (below).
    app.require_subcommand(0, 1);
    // The options above may also come after the command: `vorpanectl rows APPL TABLE --json`.
    app.fallthrough();
    CLI::Option* addressOption = app.add_option(
        "--address", o.address,
        "Agent address (default: VORPANE_API_BIND, else the work directory's api-address, else 127.0.0.1)");
    CLI::Option* portOption = app.add_option("--port", o.port,
                                             "API port (default: VORPANE_API_PORT, else the work directory's "
                                             "api-address, else 7180)");
    portOption->check(CLI::Range(1, 65535));
    CLI::Option* tokenOption = app.add_option(
        "--token", o.token,
        "Bearer token; it shows in the process list, so prefer --token-file (default: VORPANE_API_TOKEN, else "
        "<work directory>/api-token)");
    std::string tokenFile;
    app.add_option("--token-file", tokenFile, "File that holds the bearer token")->excludes(tokenOption);
    CLI::Option* cacertOption = app.add_option("--cacert", o.cacert,
                   "CA file the agent's TLS certificate must be signed by (default: VORPANE_API_CACERT, else "
                   "the system's CAs)");
    CLI::Option* certOption =
        app.add_option("--cert", o.cert, "Client certificate (PEM) for an agent that asks for one");
    std::string agentName;
    bool allAgents = false;
    Explicit given;
    app.add_option("--agents", o.agentsFile,
                   "The agents file (default: VORPANE_AGENTS, else ~/.config/vorpane/agents.json)");
    CLI::Option* agentOption =
        app.add_option("--agent", agentName, "Talk to this agent of the agents file (its address, token and CA)");
    app.add_flag("--all-agents", allAgents, "rows: ask every agent of the agents file, each row labelled with its agent")
        ->excludes(agentOption);
    app.add_option("--key", o.key, "Key of the client certificate (PEM)");
    // Runs once the options are read, before the command.
    app.parse_complete_callback([&] {
        std::string error;
        if (!tokenFile.empty() && !vorpane::api::readTokenFile(tokenFile, &o.token, &error)) {
            throw CLI::ValidationError("--token-file", error);
        }
        // --address https://HOST (or http://HOST) chooses the scheme too.
        setAddress(&o, o.address, portOption->count() > 0);
        if (cacertOption->count() > 0) {
            o.https = true;  // a CA to check the agent against only makes sense over TLS
        }
        given = Explicit{tokenOption->count() > 0 || !tokenFile.empty(), cacertOption->count() > 0,
                         certOption->count() > 0, portOption->count() > 0};
        if (!agentName.empty()) {
            std::vector<AgentEntry> agents;
            const std::string file = agentsFilePath(o.agentsFile);
            if (!loadAgents(file, &agents, &error)) {
                throw CLI::ValidationError("--agent", error);
            }
            auto found = std::find_if(agents.begin(), agents.end(),
                                      [&](const AgentEntry& a) { return a.name == agentName; });
            if (found == agents.end()) {
                throw CLI::ValidationError("--agent", "no agent " + agentName + " in " + file);
            }
            if (!optionsFor(*found, file, given, &o, &error)) {
                throw CLI::ValidationError("--agent", agentName + ": " + error);
            }
            return;
        }
        if (addressOption->count() > 0 || portOption->count() > 0) {
            o.origin = std::string("from ") + (addressOption->count() > 0 ? "--address " + o.address : "") +
                       (addressOption->count() > 0 && portOption->count() > 0 ? " and " : "") +
                       (portOption->count() > 0 ? "--port " + std::to_string(o.port) : "");
        }
    });
    app.add_flag("--json", o.json, "Print the agent's JSON instead of tables");
    app.add_option("--timeout", o.timeoutSeconds, "Seconds to wait for an answer")->check(CLI::Range(1, 3600));

    Session s(o, out, err);
    int rc = kOk;

    app.add_subcommand("health", "Agent name, version, uptime, hub port and counts")->callback([&] {
        rc = s.show("GET", "/v1/health", "", [&](const Json& j) {
            std::vector<std::vector<std::string>> rows;
            for (auto it = j.begin(); it != j.end(); ++it) {
                rows.push_back({it.key(), text(it.value())});
            }
            out << formatTable({"FIELD", "VALUE"}, rows);
        });
    });

    app.add_subcommand("subnodes",
                       "Subnodes with application, version, state, since and the age of their newest row")
        ->callback([&] {
            rc = s.show("GET", "/v1/subnodes", "", [&](const Json& j) {
                std::vector<std::vector<std::string>> rows;
                for (const Json& n : j["subnodes"]) {
                    const Json age = n.value("lastRowAgeSeconds", Json());
                    rows.push_back({text(n["name"]), text(n["application"]), text(n["version"]), text(n["state"]),
                                    text(n["since"]), age.is_number() ? age.dump() + "s" : "-"});
                }
                out << formatTable({"SUBNODE", "APPLICATION", "VERSION", "STATE", "SINCE", "AGE"}, rows);
            });
        });

    std::string appName;
    CLI::App* apps = app.add_subcommand("apps", "Applications, or one application's groups and attributes");
    apps->add_option("name", appName, "Application name");
    apps->callback([&] {
        if (appName.empty()) {
            rc = s.show("GET", "/v1/applications", "", [&](const Json& j) {
                std::vector<std::vector<std::string>> rows;
                for (const Json& a : j["applications"]) {
                    std::string versions;
                    for (const Json& v : a["versions"]) {
                        if (!versions.empty()) {
                            versions += ',';
                        }
                        versions += text(v);
                    }
                    rows.push_back({text(a["name"]), versions, text(a["subnodes"]), std::to_string(a["groups"].size())});
                }
                out << formatTable({"APPLICATION", "VERSIONS", "SUBNODES", "TABLES"}, rows);
            });
            return;
        }
        rc = s.show("GET", "/v1/applications/" + pathPart(appName), "", [&](const Json& j) {
            for (const Json& g : j["groups"]) {
                out << "table " << text(g["table"]) << "\n";
                std::vector<std::vector<std::string>> rows;
                for (const Json& a : g["attributes"]) {
                    rows.push_back({text(a["name"]), text(a["type"]), text(a["length"]), a["key"].get<bool>() ? "key" : "",
                                    text(a["help"])});
                }
                out << formatTable({"ATTRIBUTE", "TYPE", "LENGTH", "KEY", "HELP"}, rows);
            }
        });
    });

    std::string tableAppl, tableName, output;
    bool allTables = false;
    CLI::App* tables = app.add_subcommand("tables", "Tables, or one table's columns");
    tables->add_option("application", tableAppl, "Application name (the release may be left out)");
    tables->add_option("group", tableName, "Attribute group name (or the table's code)");
    tables->add_flag("--all", allTables, "Also the agent's own tables");
    tables->add_option("-o,--output", output, "wide: also the release and the table's code (and more of each column)")
        ->check(CLI::IsMember({"wide"}));
    tables->callback([&] {
        const bool wide = output == "wide";
        if (tableAppl.empty() != tableName.empty()) {
            err << "Error: name both the application and the group, or neither\n";
            rc = kBadInput;
            return;
        }
        if (tableAppl.empty()) {
            rc = s.show("GET", std::string("/v1/tables") + (allTables ? "?all=1" : ""), "", [&](const Json& j) {
                std::vector<std::vector<std::string>> rows;
                for (const Json& t : j["tables"]) {
                    // A table without a group (the agent's own) is named by its code.
                    std::vector<std::string> row{text(t["application"]),
                                                 t["group"].is_null() ? text(t["table"]) : text(t["group"]),
                                                 cell(t["sampleType"]), cell(t["rowCount"]), cell(t["help"])};
                    if (wide) {
                        row.insert(row.begin() + 2, {cell(t["release"]), text(t["table"])});
                    }
                    rows.push_back(std::move(row));
                }
                out << formatTable(wide ? std::vector<std::string>{"APPLICATION", "GROUP", "RELEASE", "TABLE", "TYPE",
                                                                   "ROWS", "HELP"}
                                        : std::vector<std::string>{"APPLICATION", "GROUP", "TYPE", "ROWS", "HELP"},
                                   rows);
            });
            return;
        }
        rc = s.show("GET", "/v1/tables/" + pathPart(tableAppl) + "/" + pathPart(tableName), "", [&](const Json& j) {
            std::vector<std::vector<std::string>> rows;
            for (const Json& c : j["columns"]) {
                std::vector<std::string> row{text(c["name"]), cell(c["type"]), cell(c["unit"]),
                                             c["key"].get<bool>() ? "key" : "", cell(c["help"])};
                if (wide) {
                    row.insert(row.end() - 1, {text(c["column"]), text(c["length"]), text(c["scale"]), cell(c["caption"])});
                }
                rows.push_back(std::move(row));
            }
            out << formatTable(wide ? std::vector<std::string>{"NAME", "TYPE", "UNIT", "KEY", "COLUMN", "LENGTH", "SCALE",
                                                               "CAPTION", "HELP"}
                                    : std::vector<std::string>{"NAME", "TYPE", "UNIT", "KEY", "HELP"},
                               rows);
        });
    });

    std::string rowsAppl, rowsTable, where;
    std::vector<std::string> rowSubnodes;
    CLI::App* rowsCommand = app.add_subcommand("rows", "A report of a table's rows");
    rowsCommand->add_option("application", rowsAppl, "Application name (the release may be left out)")->required();
    rowsCommand->add_option("group", rowsTable, "Attribute group name (or the table's code)")->required();
    rowsCommand->add_option("--subnode", rowSubnodes, "Only these subnodes (repeatable)");
    rowsCommand->add_option("--where", where, "Filter, e.g. \"Used_Pct > 90 AND Mount LIKE '/v*'\"");
    rowsCommand->callback([&] {
        std::vector<std::pair<std::string, std::string>> params;
        for (const std::string& n : rowSubnodes) {
            params.emplace_back("subnode", n);
        }
        if (!where.empty()) {
            params.emplace_back("where", where);
        }
        const std::string path =
            "/v1/tables/" + pathPart(rowsAppl) + "/" + pathPart(rowsTable) + "/rows" + query(params);
        if (allAgents) {
            rc = rowsOfAllAgents(o, given, path, out, err);
            return;
        }
        rc = s.show("GET", path, "",
                    [&](const Json& j) {
                        std::vector<std::string> headers;
                        std::vector<std::vector<std::string>> cells;
                        for (const Json& r : j["rows"]) {
                            if (headers.empty()) {
                                for (auto it = r.begin(); it != r.end(); ++it) {
                                    headers.push_back(it.key());
                                }
                            }
                            std::vector<std::string> line;
                            for (auto it = r.begin(); it != r.end(); ++it) {
                                line.push_back(cell(it.value()));  // a missing value is an empty cell
                            }
                            cells.push_back(std::move(line));
                        }
                        if (headers.empty()) {
                            out << "(no rows)\n";
                        } else {
                            out << formatTable(headers, cells);
                        }
                    });
    });

    CLI::App* situation = app.add_subcommand("situation", "Define, list and remove situations");
    situation->require_subcommand(0, 1);
    struct {
        std::string name, appl, table, where, action, atomic;
        int interval = 0;
        bool event = false;
        std::vector<std::string> subnodes;
    } sit;
    CLI::App* add = situation->add_subcommand("add", "Define a situation");
    add->add_option("name", sit.name, "Situation name (letters, digits, _)")->required();
    add->add_option("--app", sit.appl, "Application name as the tables carry it")->required();
    add->add_option("--table", sit.table, "Table name")->required();
    add->add_option("--where", sit.where, "Filter rows that raise the situation");
    CLI::Option* eventFlag = add->add_flag("--event", sit.event, "Fed by event rows instead of sampled");
    add->add_option("--interval", sit.interval, "Seconds between samples")
        ->check(CLI::Range(1, 86400))
        ->excludes(eventFlag);
    add->add_option("--action", sit.action, "Take-action command run for every firing row");
    add->add_option("--atomic", sit.atomic, "Keep the state per value of this column");
    add->add_option("--subnode", sit.subnodes, "Only these subnodes (repeatable)");
    add->callback([&] {
        if (!sit.event && sit.interval == 0) {
            err << "Error: say how the situation is fed: --interval SECONDS (sampled every so many seconds) "
                   "or --event (fed by event rows as they arrive)\n";
            rc = kBadInput;
            return;
        }
        Json body{{"name", sit.name},         {"application", sit.appl}, {"table", sit.table}, {"where", sit.where},
                  {"interval", sit.interval}, {"event", sit.event},      {"action", sit.action}, {"atomic", sit.atomic},
                  {"subnodes", sit.subnodes}};
        rc = s.show("POST", "/v1/situations", body.dump(), [&](const Json& j) {
            if (j.value("state", std::string()) == "pending") {
                out << "pending " << text(j["name"]) << ": " << text(j["reason"]) << "\n";
            } else {
                out << "defined " << text(j["name"]) << "\n";
            }
        });
    });
    std::string listName;
    CLI::App* list = situation->add_subcommand("list", "Situations with their state per subnode");
    list->add_option("name", listName, "One situation");
    list->callback([&] {
        auto table = [&](const Json& all) {
            std::vector<std::vector<std::string>> rows;
            for (const Json& x : all) {
                std::string interval = x.value("event", false) ? "event" : text(x["interval"]);
                if (!x.contains("states")) {
                    rows.push_back({text(x["name"]), text(x["table"]), interval, "", x.value("state", std::string()), "",
                                    text(x["where"])});
                    continue;
                }
                for (const Json& st : x["states"]) {
                    std::string subnode = text(st["subnode"]);
                    if (!text(st["atomicValue"]).empty()) {
                        subnode += " [" + text(st["atomicValue"]) + "]";
                    }
                    rows.push_back({text(x["name"]), text(x["table"]), interval, subnode, text(st["state"]), text(st["since"]),
                                    text(x["where"])});
                }
                if (x["states"].empty()) {
                    rows.push_back({text(x["name"]), text(x["table"]), interval, "", "", "", text(x["where"])});
                }
            }
            out << formatTable({"SITUATION", "TABLE", "INTERVAL", "SUBNODE", "STATE", "SINCE", "WHERE"}, rows);
        };
        if (listName.empty()) {
            rc = s.show("GET", "/v1/situations", "", [&](const Json& j) { table(j["situations"]); });
        } else {
            rc = s.show("GET", "/v1/situations/" + pathPart(listName), "", [&](const Json& j) { table(Json::array({j})); });
        }
    });
    std::string rmName;
    CLI::App* rm = situation->add_subcommand("rm", "Remove a situation");
    rm->add_option("name", rmName, "Situation name")->required();
    rm->callback([&] {
        rc = s.show("DELETE", "/v1/situations/" + pathPart(rmName), "", [&](const Json&) { out << "removed " << rmName << "\n"; });
    });

    uint64_t after = 0;
    int wait = 0;
    bool follow = false;
    bool fromStart = false;
    CLI::App* events = app.add_subcommand("events", "Situation state changes and event rows");
    CLI::Option* afterOption = events->add_option("--after", after, "Only events after this sequence number");
    events->add_option("--wait", wait, "Wait up to this many seconds for the first new event")
        ->check(CLI::Range(0, 3600));
    events->add_flag("--follow", follow, "Keep waiting for further events until interrupted");
    events->add_flag("--from-start", fromStart, "With --wait or --follow: the events the agent keeps first")
        ->excludes(afterOption);
    events->callback([&] {
        // Waiting is for what happens from now on: it starts after the newest event unless told
        // otherwise. The agent answers a request for events after the largest number at once, with
        // the newest number.
        if ((follow || wait > 0) && afterOption->count() == 0 && !fromStart) {
            std::string body;
            rc = s.call("GET", "/v1/events" + query({{"after", std::to_string(UINT64_MAX)}, {"wait", "0"}}),
                        "", &body);
            if (rc != kOk) {
                return;
            }
            Json j = Json::parse(body, nullptr, false);
            after = j.is_object() ? j.value("lastSeq", uint64_t{0}) : 0;
        }
        bool header = true;
        do {
            std::string body;
            rc = s.call("GET", "/v1/events" + query({{"after", std::to_string(after)}, {"wait", std::to_string(follow ? 30 : wait)}}),
                        "", &body);
            if (rc != kOk) {
                return;
            }
            Json j = Json::parse(body, nullptr, false);
            if (!j.is_object()) {
                err << "Error: the agent's answer is not JSON\n";
                rc = kFailed;
                return;
            }
            if (o.json) {
                if (follow) {
                    for (const Json& e : j["events"]) {
                        out << e.dump() << "\n";
                    }
                } else {
                    out << j.dump(2) << "\n";
                }
            } else if (!j["events"].empty() || (header && !follow)) {
                printEvents(out, j["events"], header);
                header = false;
            }
            out.flush();
            after = std::max<uint64_t>(after, j.value("lastSeq", after));
        } while (follow);
    });

    std::string command;
    std::vector<std::string> actionSubnodes;
    CLI::App* action = app.add_subcommand("action", "Run a take-action command on subnodes");
    action->add_option("command", command, "The whole command text")->required();
    action->add_option("--subnode", actionSubnodes, "Subnode to run it for (repeatable)")->required();
    action->callback([&] {
        Json body{{"command", command}, {"subnodes", actionSubnodes}};
        long result = 0;
        auto print = [&](const Json& j) {
            out << "result " << text(j["result"]);
            if (j.contains("actionId") && j["actionId"] != 0) {
                out << "  action " << text(j["actionId"]);  // the identifier the agent's traces show
            }
            out << "\n";
            if (const std::string said = j.value("text", ""); !said.empty()) {
                out << said << "\n";
            }
        };
        auto look = [&](const Json& j) { result = j.value("result", 0L); };
        rc = s.show("POST", "/v1/actions", body.dump(), print, look);
        if (rc == kOk && result != 0) {
            rc = kActionFailed;
        }
    });

    uint64_t messagesAfter = 0;
    CLI::App* messages = app.add_subcommand("messages", "Console messages");
    messages->add_option("--after", messagesAfter, "Only messages after this sequence number");
    messages->callback([&] {
        rc = s.show("GET", "/v1/messages" + query({{"after", std::to_string(messagesAfter)}}), "", [&](const Json& j) {
            std::vector<std::vector<std::string>> rows;
            for (const Json& m : j["messages"]) {
                rows.push_back({text(m["seq"]), text(m["time"]), text(m["severity"]), text(m["category"]), text(m["text"])});
            }
            out << formatTable({"SEQ", "TIME", "SEVERITY", "CATEGORY", "TEXT"}, rows);
        });
    });

    std::string fileAppl, fileKind;
    CLI::App* file = app.add_subcommand("file", "A generated ATR, CAT or ODI file");
    file->add_option("application", fileAppl, "Application name")->required();
    file->add_option("kind", fileKind, "ATR, CAT or ODI")->required()->check(CLI::IsMember({"ATR", "CAT", "ODI"}, CLI::ignore_case));
    file->callback([&] {
        std::string body;
        rc = s.call("GET", "/v1/files/" + pathPart(fileAppl) + "/" + pathPart(fileKind), "", &body);
        if (rc == kOk) {
            out << body;
        }
    });

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e, out, err);
        return code == 0 ? kOk : kBadInput;
    }
    if (allAgents && !rowsCommand->parsed()) {
        err << "Error: --all-agents goes with the rows command only\n";
        return kBadInput;
    }
    // No command: what there is to run.
    if (app.get_subcommands().empty()) {
        out << app.help();
    } else if (situation->parsed() && situation->get_subcommands().empty()) {
        out << situation->help();
    }
    return rc;
}

}  // namespace vorpanectl
