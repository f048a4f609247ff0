#include "browser.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>

namespace kvtest {

namespace {

constexpr int kCallTimeoutMs = 60000;

std::string findChromium() {
    if (const char *env = std::getenv("KORVANE_CHROMIUM"); env && *env) return env;
    const char *path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    for (size_t from = 0; from <= dirs.size();) {
        size_t colon = dirs.find(':', from);
        if (colon == std::string::npos) colon = dirs.size();
        for (const char *name : {"chromium", "chromium-browser"}) {
            std::string p = dirs.substr(from, colon - from) + "/" + name;
            if (access(p.c_str(), X_OK) == 0) return p;
        }
        from = colon + 1;
    }
    return "";
}

}  // namespace

bool Browser::start(std::string &err) {
    std::string exe = findChromium();
    if (exe.empty()) {
        err = "no chromium on the PATH (scripts/setup.sh installs Debian's chromium; "
              "KORVANE_CHROMIUM names another)";
        return false;
    }
    char tmpl[] = "/tmp/kv-chromium-XXXXXX";
    if (!mkdtemp(tmpl)) {
        err = "cannot make a profile folder";
        return false;
    }
    profile_ = tmpl;
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) {
        err = "cannot make pipes";
        return false;
    }
    signal(SIGPIPE, SIG_IGN);  // a browser that dies shows as a failed write
    pid_ = fork();
    if (pid_ < 0) {
        err = "cannot start " + exe;
        return false;
    }
    if (pid_ == 0) {
        // the browser reads commands on fd 3 and writes answers on fd 4
        dup2(in[0], 3);
        dup2(out[1], 4);
        for (int fd : {in[0], in[1], out[0], out[1]})
            if (fd > 4) close(fd);
        int devnull = ::open("/dev/null", O_RDWR);
        dup2(devnull, 0);
        dup2(devnull, 1);
        dup2(devnull, 2);
        std::string profileArg = "--user-data-dir=" + profile_;
        execl(exe.c_str(), exe.c_str(), "--headless", "--no-sandbox", "--disable-gpu",
              "--disable-quic", "--no-first-run", "--disable-background-networking",
              "--disable-component-update", "--disable-sync", "--remote-debugging-pipe",
              profileArg.c_str(), "about:blank", static_cast<char *>(nullptr));
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    toBrowser_ = in[1];
    fromBrowser_ = out[0];
    nlohmann::json target = call("Target.createTarget", {{"url", "about:blank"}}, false, err);
    if (target.is_null()) {
        err = exe + " did not start (" + err + ")";
        return false;
    }
    nlohmann::json attached = call(
        "Target.attachToTarget", {{"targetId", target["targetId"]}, {"flatten", true}}, false, err);
    if (attached.is_null()) return false;
    sessionId_ = attached["sessionId"];
    for (const char *domain : {"Runtime.enable", "Log.enable", "Network.enable", "Page.enable"})
        if (call(domain, nlohmann::json::object(), true, err).is_null()) return false;
    return true;
}

Browser::~Browser() {
    if (pid_ > 0) {
        std::string err;
        call("Browser.close", nlohmann::json::object(), false, err);
        // a browser that does not close in five seconds is ended
        for (int i = 0; i < 50 && waitpid(pid_, nullptr, WNOHANG) == 0; ++i) usleep(100000);
        if (waitpid(pid_, nullptr, WNOHANG) == 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    if (toBrowser_ >= 0) close(toBrowser_);
    if (fromBrowser_ >= 0) close(fromBrowser_);
    if (!profile_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(profile_, ec);
    }
}

bool Browser::readMessage(nlohmann::json &msg, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        size_t end = pending_.find('\0');
        if (end != std::string::npos) {
            msg = nlohmann::json::parse(pending_.substr(0, end), nullptr, false);
            pending_.erase(0, end + 1);
            return !msg.is_discarded();
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{fromBrowser_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
        char buf[65536];
        ssize_t n = read(fromBrowser_, buf, sizeof buf);
        if (n <= 0) return false;
        pending_.append(buf, static_cast<size_t>(n));
    }
}

nlohmann::json Browser::call(const std::string &method, const nlohmann::json &params, bool onTab,
                             std::string &err) {
    const int id = nextId_++;
    nlohmann::json msg = {{"id", id}, {"method", method}, {"params", params}};
    if (onTab) msg["sessionId"] = sessionId_;
    std::string text = msg.dump();
    text.push_back('\0');
    for (size_t done = 0; done < text.size();) {
        ssize_t n = write(toBrowser_, text.data() + done, text.size() - done);
        if (n <= 0) {
            err = "the browser closed its pipe";
            return nullptr;
        }
        done += static_cast<size_t>(n);
    }
    nlohmann::json reply;
    while (readMessage(reply, kCallTimeoutMs)) {
        if (reply.contains("id") && reply["id"] == id) {
            if (reply.contains("error")) {
                err = method + ": " + reply["error"].dump();
                return nullptr;
            }
            return reply.value("result", nlohmann::json::object());
        }
        if (reply.contains("method")) events_.push_back(reply);
    }
    err = method + ": no answer from the browser";
    return nullptr;
}

bool Browser::open(const std::string &url, std::string &err) {
    nlohmann::json r = call("Page.navigate", {{"url", url}}, true, err);
    return !r.is_null() && !r.contains("errorText");
}

nlohmann::json Browser::evaluate(const std::string &expression, std::string &err) {
    nlohmann::json r =
        call("Runtime.evaluate", {{"expression", expression}, {"returnByValue", true}}, true, err);
    if (r.is_null()) return nullptr;
    if (r.contains("exceptionDetails")) {
        err = "the expression threw: " + r["exceptionDetails"].dump();
        return nullptr;
    }
    return r["result"].value("value", nlohmann::json());
}

}  // namespace kvtest
