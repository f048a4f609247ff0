#include "recorder.hpp"

namespace maxhost {

void Recorder::deliver(Event &e) {
    e.thread = std::this_thread::get_id();
    e.seq = seq_++;
    listener_(e);
}

std::function<void(const ConsoleLine &)> Recorder::consoleSink() {
    return [this](const ConsoleLine &line) {
        Event e;
        e.console = true;
        e.line = line;
        deliver(e);
    };
}

OutletSink Recorder::outletSink() {
    return [this](const std::string &obj, long outlet, t_symbol *sel, short argc, const t_atom *argv) {
        Event e;
        e.obj = obj;
        e.outlet = outlet;
        e.sel = sel;
        e.atoms.assign(argv, argv + (argc > 0 ? argc : 0));
        deliver(e);
    };
}

void Recorder::install() {
    setConsoleSink(consoleSink());
    setOutletSink(outletSink());
}

}  // namespace maxhost
