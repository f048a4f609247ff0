// Console lines and outlet messages as they happen, numbered in one order and
// marked with the thread that made them; handed to a listener one at a time.
#pragma once

#include "maxhost.hpp"

#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace maxhost {

struct Event {
    bool console = false;         // a console line, else an outlet message
    ConsoleLine line{false, {}};  // console lines
    std::string obj;              // outlet messages: object id, outlet, selector, atoms
    long outlet = 0;
    t_symbol *sel = nullptr;
    std::vector<t_atom> atoms;
    std::thread::id thread;
    int seq = 0;  // place among all events
};

class Recorder {
public:
    using Listener = std::function<void(const Event &)>;
    explicit Recorder(Listener listener) : listener_(std::move(listener)) {}

    // sinks to hand to the host (or to a script run)
    std::function<void(const ConsoleLine &)> consoleSink();
    OutletSink outletSink();
    // both sinks set in the host
    void install();

private:
    void deliver(Event &e);
    Listener listener_;
    int seq_ = 0;
};

}  // namespace maxhost
