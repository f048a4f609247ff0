// What a batch shows while it runs: on a terminal one line redrawn in
// place, "[3/10] loop.wav, kick.flac" (inputs done of all, those running);
// elsewhere a plain line as each input ends. Other lines are printed whole
// around it.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace korvane {

class BatchProgress {
public:
    // live: redraw the line on standard error; quiet: show nothing.
    BatchProgress(int total, bool live, bool quiet) : total_(total), live_(live && !quiet), quiet_(quiet) {}
    ~BatchProgress() { clear(); }
    BatchProgress(const BatchProgress &) = delete;
    BatchProgress &operator=(const BatchProgress &) = delete;

    // The inputs now running.
    void show(const std::vector<std::string> &running);
    // One input ended: its standard output, then a line if it failed.
    void ended(const std::string &input, const std::string &output, bool failed);
    // A whole line on stream (standard error), the live line kept below it.
    void line(std::FILE *stream, const std::string &text);
    // Takes the live line off the terminal.
    void clear();
    int done() const { return done_; }

    // "[3/10] a.wav, b.wav", cut to width characters.
    static std::string render(int done, int total, const std::vector<std::string> &running, size_t width);

private:
    void redraw();
    int total_, done_ = 0;
    bool live_, quiet_;
    std::vector<std::string> running_;
    bool drawn_ = false;
};

}  // namespace korvane
