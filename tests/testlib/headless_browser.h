// A headless Chromium driven over the DevTools protocol through a pipe (--remote-debugging-pipe: the
// browser reads commands on its fd 3 and writes answers and events on its fd 4, each a JSON text
// ended by a NUL), so that a test needs neither a websocket client nor any browser-driving package.
//
// One page (target) per browser. The reader thread keeps every answer and every event; a test
// evaluates expressions in the page and waits for conditions with deadlines. Console errors,
// uncaught exceptions and error log entries are kept apart so a test can require there are none.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

namespace vorpane::testing {

class HeadlessBrowser {
public:
    // Starts Chromium with a new profile in profileDir, a window of width x height.
    HeadlessBrowser(const std::string& profileDir, int width = 1280, int height = 900);
    ~HeadlessBrowser();
    HeadlessBrowser(const HeadlessBrowser&) = delete;
    HeadlessBrowser& operator=(const HeadlessBrowser&) = delete;

    // Whether the browser runs and a page is attached.
    bool ready() const { return _ready; }
    std::string startError() const { return _startError; }

    // Loads url in the page and waits for its load event.
    bool navigate(const std::string& url, std::chrono::milliseconds deadline = std::chrono::seconds(30));
    // The value of a JavaScript expression in the page (promises awaited); null when it threw (the
    // exception's text then goes to *error when given).
    nlohmann::json evaluate(const std::string& expression, std::string* error = nullptr);
    // Evaluates expression until it is true or the deadline passes: whether it became true.
    bool waitFor(const std::string& expression, std::chrono::milliseconds deadline = std::chrono::seconds(30));
    // A PNG of the page as it shows now.
    std::string screenshot();

    // Console errors, uncaught exceptions and error log entries seen so far, one text each.
    std::vector<std::string> pageErrors();

    // A DevTools command on the page's session; its result, or null on an error answer or time-out.
    nlohmann::json call(const std::string& method, const nlohmann::json& params = nlohmann::json::object(),
                        bool onPage = true, std::chrono::milliseconds deadline = std::chrono::seconds(30));

private:
    void readLoop();
    void note(const nlohmann::json& message);

    pid_t _pid = -1;
    int _toBrowser = -1;
    int _fromBrowser = -1;
    std::thread _reader;
    bool _ready = false;
    std::string _startError;
    std::string _session;

    std::mutex _lock;
    std::condition_variable _cond;
    int _nextId = 1;
    std::map<int, nlohmann::json> _answers;
    std::vector<std::string> _errors;
    int _loads = 0;
    bool _closed = false;
};

// Standard base64 decoded (the screenshots DevTools sends).
std::string base64Decoded(const std::string& text);

}  // namespace vorpane::testing
