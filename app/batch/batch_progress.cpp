#include "batch/batch_progress.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

namespace korvane {

namespace {

size_t terminalWidth() {
    struct winsize ws {};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 1) return ws.ws_col - 1u;
    return 79;
}

}  // namespace

std::string BatchProgress::render(int done, int total, const std::vector<std::string> &running, size_t width) {
    std::string text = "[" + std::to_string(done) + "/" + std::to_string(total) + "]";
    for (size_t i = 0; i < running.size(); ++i) text += (i ? ", " : " ") + running[i];
    if (text.size() > width) text = text.substr(0, width >= 3 ? width - 3 : 0) + "...";
    return text.substr(0, width);
}

void BatchProgress::redraw() {
    if (!live_) return;
    std::string text = render(done_, total_, running_, terminalWidth());
    std::fprintf(stderr, "\r\033[K%s", text.c_str());
    std::fflush(stderr);
    drawn_ = true;
}

void BatchProgress::clear() {
    if (!drawn_) return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    drawn_ = false;
}

void BatchProgress::show(const std::vector<std::string> &running) {
    if (drawn_ && running == running_) return;
    running_ = running;
    redraw();
}

void BatchProgress::line(std::FILE *stream, const std::string &text) {
    clear();
    std::fprintf(stream, "%s\n", text.c_str());
    std::fflush(stream);
    redraw();
}

void BatchProgress::ended(const std::string &input, const std::string &output, bool failed) {
    ++done_;
    clear();
    auto it = std::find(running_.begin(), running_.end(), input);
    if (it != running_.end()) running_.erase(it);
    const std::string tag = quiet_ ? std::string() : render(done_, total_, {}, SIZE_MAX) + " ";
    for (size_t at = 0; at < output.size();) {
        size_t end = output.find('\n', at);
        if (end == std::string::npos) end = output.size();
        std::printf("%s%s\n", tag.c_str(), output.substr(at, end - at).c_str());
        at = end + 1;
    }
    if (failed && !quiet_) std::printf("%s%s failed\n", tag.c_str(), input.c_str());
    std::fflush(stdout);
    redraw();
}

}  // namespace korvane
