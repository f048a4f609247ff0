#include "cli/progress.hpp"

#include <unistd.h>

#include <algorithm>

namespace korvane {

bool stderrIsTerminal() {
    return isatty(STDERR_FILENO) == 1;
}

ProgressBar::ProgressBar(std::string label, int total, bool enabled, std::FILE *out)
    : label_(std::move(label)), total_(std::max(total, 1)), enabled_(enabled), out_(out),
      start_(std::chrono::steady_clock::now()) {
    update(0);
}

ProgressBar::~ProgressBar() {
    // An abandoned bar still leaves the cursor on a fresh line.
    if (enabled_ && !finished_ && !last_.empty()) {
        std::fputc('\n', out_);
        std::fflush(out_);
    }
}

double ProgressBar::elapsedSeconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

std::string ProgressBar::render(const std::string &label, int done, int total, double seconds, int width) {
    done = std::clamp(done, 0, total);
    int filled = total > 0 ? static_cast<int>(static_cast<long long>(done) * width / total) : width;
    std::string bar(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(width - filled), '.');
    int secs = static_cast<int>(seconds);
    char tail[64];
    std::snprintf(tail, sizeof tail, "] %d/%d  %d:%02d", done, total, secs / 60, secs % 60);
    std::string text = label;
    if (text.size() < 15) text.append(15 - text.size(), ' ');
    return text + " [" + bar + tail;
}

void ProgressBar::update(int done) {
    if (!enabled_ || finished_) return;
    std::string text = render(label_, done, total_, elapsedSeconds(), 30);
    if (text == last_) return;
    std::fprintf(out_, "\r%s", text.c_str());
    std::fflush(out_);
    last_ = std::move(text);
}

void ProgressBar::update(int done, int total) {
    if (total > 0) total_ = total;
    update(done);
}

void ProgressBar::finish() {
    if (!enabled_ || finished_) return;
    last_.clear();
    update(total_);
    std::fputc('\n', out_);
    std::fflush(out_);
    finished_ = true;
}

}  // namespace korvane
