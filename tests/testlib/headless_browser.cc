#include "testlib/headless_browser.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace vorpane::testing {

using Json = nlohmann::json;

HeadlessBrowser::HeadlessBrowser(const std::string& profileDir, int width, int height) {
    int commands[2], answers[2];
    if (pipe2(commands, O_CLOEXEC) != 0 || pipe2(answers, O_CLOEXEC) != 0) {
        _startError = std::string("pipe: ") + std::strerror(errno);
        return;
    }
    const std::vector<std::string> args = {
        "/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
        "--disable-background-networking", "--disable-component-update", "--disable-sync",
        "--disable-extensions", "--remote-debugging-pipe", "--user-data-dir=" + profileDir,
        "--window-size=" + std::to_string(width) + "," + std::to_string(height), "about:blank"};
    std::vector<char*> argv;
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, commands[0], 3);
    posix_spawn_file_actions_adddup2(&actions, answers[1], 4);
    // The browser's own chatter (D-Bus, GPU) is no part of any test.
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const int rc = posix_spawn(&_pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(commands[0]);
    close(answers[1]);
    _toBrowser = commands[1];
    _fromBrowser = answers[0];
    if (rc != 0) {
        _pid = -1;
        _startError = std::string("cannot start chromium: ") + std::strerror(rc);
        return;
    }
    _reader = std::thread([this] { readLoop(); });

    const Json target = call("Target.createTarget", {{"url", "about:blank"}}, false);
    if (!target.is_object() || !target.contains("targetId")) {
        _startError = "chromium made no page";
        return;
    }
    const Json attached = call("Target.attachToTarget", {{"targetId", target["targetId"]}, {"flatten", true}}, false);
    if (!attached.is_object() || !attached.contains("sessionId")) {
        _startError = "cannot attach to the page";
        return;
    }
    _session = attached["sessionId"];
    for (const char* domain : {"Page.enable", "Runtime.enable", "Log.enable"}) {
        if (call(domain).is_null()) {
            _startError = std::string("the page refused ") + domain;
            return;
        }
    }
    _ready = true;
}

HeadlessBrowser::~HeadlessBrowser() {
    if (_pid > 0) {
        if (_toBrowser >= 0) {
            call("Browser.close", Json::object(), false, std::chrono::seconds(5));
        }
        kill(_pid, SIGKILL);
        waitpid(_pid, nullptr, 0);
    }
    if (_toBrowser >= 0) {
        close(_toBrowser);
    }
    if (_reader.joinable()) {
        _reader.join();
    }
    if (_fromBrowser >= 0) {
        close(_fromBrowser);
    }
}

Json HeadlessBrowser::call(const std::string& method, const Json& params, bool onPage,
                           std::chrono::milliseconds deadline) {
    int id = 0;
    {
        std::lock_guard<std::mutex> guard(_lock);
        id = _nextId++;
    }
    Json message{{"id", id}, {"method", method}, {"params", params}};
    if (onPage) {
        message["sessionId"] = _session;
    }
    std::string text = message.dump();
    text.push_back('\0');
    for (size_t sent = 0; sent < text.size();) {
        const ssize_t n = write(_toBrowser, text.data() + sent, text.size() - sent);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return nullptr;
        }
        sent += static_cast<size_t>(n);
    }
    std::unique_lock<std::mutex> guard(_lock);
    if (!_cond.wait_for(guard, deadline, [&] { return _closed || _answers.count(id) != 0; }) || _closed) {
        return nullptr;
    }
    Json answer = std::move(_answers[id]);
    _answers.erase(id);
    if (answer.contains("error")) {
        return nullptr;
    }
    return answer.value("result", Json::object());
}

void HeadlessBrowser::note(const Json& message) {
    const std::string method = message.value("method", "");
    const Json& params = message.contains("params") ? message["params"] : Json::object();
    if (method == "Runtime.consoleAPICalled" && params.value("type", "") == "error") {
        std::string text = "console.error:";
        for (const Json& a : params["args"]) {
            text += " " + (a.contains("value") ? a["value"].dump() : a.value("description", ""));
        }
        _errors.push_back(text);
    } else if (method == "Runtime.exceptionThrown") {
        _errors.push_back("exception: " + params["exceptionDetails"].dump());
    } else if (method == "Log.entryAdded" && params["entry"].value("level", "") == "error") {
        _errors.push_back("log: " + params["entry"].value("text", "") + " " + params["entry"].value("url", ""));
    } else if (method == "Page.javascriptDialogOpening") {
        _errors.push_back("dialog: " + params.value("message", ""));
    } else if (method == "Page.loadEventFired") {
        ++_loads;
    }
}

void HeadlessBrowser::readLoop() {
    std::string buffer;
    char chunk[65536];
    for (;;) {
        const ssize_t n = read(_fromBrowser, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        buffer.append(chunk, static_cast<size_t>(n));
        size_t end;
        while ((end = buffer.find('\0')) != std::string::npos) {
            Json message = Json::parse(buffer.substr(0, end), nullptr, false);
            buffer.erase(0, end + 1);
            std::lock_guard<std::mutex> guard(_lock);
            if (!message.is_object()) {
                continue;
            }
            if (message.contains("id") && message["id"].is_number_integer()) {
                const int id = message["id"].get<int>();
                _answers[id] = std::move(message);
            } else {
                note(message);
            }
            _cond.notify_all();
        }
    }
    std::lock_guard<std::mutex> guard(_lock);
    _closed = true;
    _cond.notify_all();
}

bool HeadlessBrowser::navigate(const std::string& url, std::chrono::milliseconds deadline) {
    int before = 0;
    {
        std::lock_guard<std::mutex> guard(_lock);
        before = _loads;
    }
    if (call("Page.navigate", {{"url", url}}).is_null()) {
        return false;
    }
    std::unique_lock<std::mutex> guard(_lock);
    return _cond.wait_for(guard, deadline, [&] { return _closed || _loads > before; }) && !_closed;
}

Json HeadlessBrowser::evaluate(const std::string& expression, std::string* error) {
    const Json r = call("Runtime.evaluate", {{"expression", expression}, {"returnByValue", true}, {"awaitPromise", true}});
    if (!r.is_object()) {
        if (error != nullptr) {
            *error = "no answer";
        }
        return nullptr;
    }
    if (r.contains("exceptionDetails")) {
        if (error != nullptr) {
            *error = r["exceptionDetails"].dump();
        }
        return nullptr;
    }
    return r["result"].value("value", Json());
}

bool HeadlessBrowser::waitFor(const std::string& expression, std::chrono::milliseconds deadline) {
    // Each evaluation is a round trip to the browser, which paces the loop; the page changes on its
    // own timers between them.
    const auto until = std::chrono::steady_clock::now() + deadline;
    do {
        if (evaluate("!!(" + expression + ")") == Json(true)) {
            return true;
        }
        std::unique_lock<std::mutex> guard(_lock);
        _cond.wait_for(guard, std::chrono::milliseconds(100), [&] { return _closed; });
        if (_closed) {
            return false;
        }
    } while (std::chrono::steady_clock::now() < until);
    return false;
}

std::string HeadlessBrowser::screenshot() {
    const Json r = call("Page.captureScreenshot", {{"format", "png"}});
    return r.is_object() && r.contains("data") ? base64Decoded(r["data"].get<std::string>()) : std::string();
}

std::vector<std::string> HeadlessBrowser::pageErrors() {
    std::lock_guard<std::mutex> guard(_lock);
    return _errors;
}

std::string base64Decoded(const std::string& text) {
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        if (c == '+') return 62;
        if (c == '/') return 63;
        return -1;
    };
    std::string out;
    int bits = 0, count = 0;
    for (char c : text) {
        const int v = value(c);
        if (v < 0) {
            continue;
        }
        bits = ((bits << 6) | v) & 0xFFFFFF;
        count += 6;
        if (count >= 8) {
            count -= 8;
            out.push_back(static_cast<char>((bits >> count) & 0xFF));
        }
    }
    return out;
}

}  // namespace vorpane::testing
