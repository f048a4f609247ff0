// A one-line progress bar on standard error, redrawn in place.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>

namespace korvane {

// True when progress may be drawn: standard error is a terminal.
bool stderrIsTerminal();

class ProgressBar {
public:
    // A disabled bar draws nothing at all.
    ProgressBar(std::string label, int total, bool enabled, std::FILE *out = stderr);
    ~ProgressBar();
    ProgressBar(const ProgressBar &) = delete;
    ProgressBar &operator=(const ProgressBar &) = delete;

    // done runs 0..total; redraws only when the drawn text would change.
    void update(int done);
    // The same with a new total (one reported by the work itself).
    void update(int done, int total);
    // Draws the full bar and ends the line.
    void finish();
    double elapsedSeconds() const;

    // The text of one frame, without carriage return (exposed for tests).
    static std::string render(const std::string &label, int done, int total, double seconds, int width);

private:
    std::string label_;
    int total_;
    bool enabled_;
    bool finished_ = false;
    std::FILE *out_;
    std::string last_;
    std::chrono::steady_clock::time_point start_;
};

}  // namespace korvane
