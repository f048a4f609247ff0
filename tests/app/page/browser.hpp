// Headless Chromium driven over the DevTools protocol on a pipe
// (--remote-debugging-pipe: JSON messages ended by a NUL byte).
#pragma once

#include <nlohmann/json.hpp>
#include <sys/types.h>

#include <string>
#include <vector>

namespace kvtest {

class Browser {
public:
    Browser() = default;
    ~Browser();
    Browser(const Browser &) = delete;
    Browser &operator=(const Browser &) = delete;

    // Starts the browser ($KORVANE_CHROMIUM, else chromium on the PATH) and
    // opens a blank tab; false and a sentence in err when it cannot.
    bool start(std::string &err);
    // Loads url in the tab.
    bool open(const std::string &url, std::string &err);
    // The value of a JavaScript expression in the tab; null on failure.
    nlohmann::json evaluate(const std::string &expression, std::string &err);

    // Every event the tab sent (method and params), in order.
    const std::vector<nlohmann::json> &events() const { return events_; }

private:
    nlohmann::json call(const std::string &method, const nlohmann::json &params, bool onTab,
                        std::string &err);
    bool readMessage(nlohmann::json &msg, int timeoutMs);

    pid_t pid_ = -1;
    int toBrowser_ = -1, fromBrowser_ = -1;
    std::string profile_, pending_, sessionId_;
    int nextId_ = 1;
    std::vector<nlohmann::json> events_;
};

}  // namespace kvtest
