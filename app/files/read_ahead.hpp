// Reading a sound one block ahead: while the caller works on the block it
// was given, the next one (as many samples, on from where that one ended)
// is read on a thread of its own. A range other than the one read ahead is
// read when asked. The caller gets the very samples and failures the reader
// gives, in the order it asks for them.
#pragma once

#include <functional>
#include <future>
#include <vector>

namespace korvane {

class ReadAhead {
public:
    // reads samples start .. start + count - 1 of every channel into ch[c];
    // false on failure. Never called for two ranges at once.
    using Reader = std::function<bool(long start, long count, double *const *ch)>;
    ReadAhead(Reader reader, int channels, long length);
    ~ReadAhead();  // waits for a read in flight
    ReadAhead(const ReadAhead &) = delete;
    ReadAhead &operator=(const ReadAhead &) = delete;

    bool read(long start, long count, double *const *ch);
    // Waits for a read in flight and drops it: the reader is the caller's again.
    void settle();

private:
    void readNext(long start, long count);
    Reader reader_;
    int channels_;
    long length_;
    std::vector<std::vector<double>> buf_;
    std::vector<double *> at_;
    long start_ = -1, count_ = 0;  // the range read ahead
    std::future<bool> pending_;
};

}  // namespace korvane
