// The page made by a real decomposition, loaded in headless Chromium with
// #selftest: the page's own check must pass, and the browser must report no
// error and no request beyond the page itself.
#include "browser.hpp"
#include "files/file_url.hpp"
#include "tool.hpp"

#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <thread>

namespace {

using korvane::fileUrl;
using kvtest::Browser;
using nlohmann::json;

// Runs the page's self-check; its text, or "" and err.
std::string selftest(Browser &browser, const std::string &page, std::string &err) {
    if (!browser.start(err) || !browser.open(fileUrl(page) + "#selftest", err)) return "";
    const char *probe = "document.body && document.body.dataset.selftest ? "
                        "document.getElementById('selftest').textContent : ''";
    auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(3);
    while (std::chrono::steady_clock::now() < deadline) {
        json v = browser.evaluate(probe, err);
        if (v.is_string() && !v.get<std::string>().empty()) return v.get<std::string>();
        if (v.is_null()) return "";
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    err = "the self-check gave no verdict in three minutes";
    return "";
}

// The self-check's text when it ran and passed; "" (failure recorded) when
// the browser could not run it.
std::string passingSelftest(Browser &browser, const std::string &page) {
    std::string err;
    std::string verdict = selftest(browser, page, err);
    if (verdict.empty()) {
        ADD_FAILURE() << "the browser test could not run: " << err;
        return "";
    }
    EXPECT_EQ(verdict.rfind("SELFTEST PASS", 0), 0u) << verdict;
    return verdict;
}

// Errors the browser reported, and requests for anything but the page.
std::vector<std::string> complaints(const std::vector<json> &events, const std::string &pageUrl) {
    std::vector<std::string> out;
    for (const json &e : events) {
        const std::string m = e.value("method", "");
        const json &p = e.value("params", json::object());
        if (m == "Runtime.exceptionThrown") out.push_back("exception: " + p.dump());
        if (m == "Runtime.consoleAPICalled" && p.value("type", "") == "error")
            out.push_back("console: " + p.dump());
        if (m == "Log.entryAdded" && p["entry"].value("level", "") == "error")
            out.push_back("log: " + p.dump());
        if (m == "Network.requestWillBeSent") {
            std::string url = p["request"].value("url", "");
            if (url.rfind(pageUrl, 0) != 0) out.push_back("request: " + url);
        }
    }
    return out;
}

struct Case {
    int channels, rate;
    double seconds;
    int components;
};

TEST(PageInBrowser, SelfCheckPassesForOneFourAndSixteenComponents) {
    for (Case c : {Case{1, 22050, 2.0, 1}, Case{2, 44100, 3.0, 4}, Case{2, 48000, 2.0, 16}}) {
        SCOPED_TRACE("K = " + std::to_string(c.components) + ", " + std::to_string(c.channels) +
                     " ch, " + std::to_string(c.rate) + " Hz");
        kvtest::Scratch dir;
        // a name and a folder that need quoting in HTML and in the shell
        const std::string input = dir / "it's <a> & b.wav";
        ASSERT_TRUE(kvtest::writeSound(input, kvtest::makeSound(c.channels, c.rate, c.seconds, 0.5),
                                       SF_FORMAT_WAV | SF_FORMAT_PCM_16));
        auto r = kvtest::runTool({"decompose", input, "-k", std::to_string(c.components), "--seed",
                                  "3", "--page", "-o", "out dir", "-q"},
                                 dir.path());
        ASSERT_EQ(r.exitCode, 0) << r.err;
        const std::string page = dir / "out dir/index.html";
        ASSERT_TRUE(kvtest::exists(page));

        Browser browser;
        std::string verdict = passingSelftest(browser, page);
        if (verdict.empty()) return;
        // the folder named whole, so that the command works from anywhere
        EXPECT_NE(verdict.find("korvane remix '" + (dir / "out dir") + "' --group 1"),
                  std::string::npos)
            << verdict;
        for (const std::string &what : complaints(browser.events(), fileUrl(page)))
            ADD_FAILURE() << what;
    }
}

TEST(PageInBrowser, MarksTheGivenComponents) {
    kvtest::Scratch dir;
    ASSERT_TRUE(kvtest::writeSound(dir / "a.wav", kvtest::makeSound(2, 22050, 2.0, 0.5),
                                   SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    ASSERT_EQ(
        kvtest::runTool({"decompose", "a.wav", "-k", "2", "--plain", "-o", "A", "-q"}, dir.path())
            .exitCode,
        0);
    auto r = kvtest::runTool({"decompose", "a.wav", "--bases", "A/components.json", "--extra", "2",
                              "--page", "-o", "B", "-q"},
                             dir.path());
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::string page = dir / "B/index.html";
    Browser browser;
    std::string verdict = passingSelftest(browser, page);
    if (verdict.empty()) return;
    EXPECT_NE(verdict.find("marked given: 1,2\n"), std::string::npos) << verdict;
    std::string err;
    json info = browser.evaluate("document.getElementById('info').textContent", err);
    EXPECT_NE(info.dump().find("4 components (2 given)"), std::string::npos) << info.dump() << err;
}

}  // namespace
