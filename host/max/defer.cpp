// defer: at once on the main thread, queued from any other thread; the
// scheduler thread of sendFromScheduler.
#include "host_internal.hpp"

#include <algorithm>
#include <deque>
#include <thread>

using namespace maxhost::detail;

namespace {

// the library is loaded, and this runs, on the process's main thread
const std::thread::id mainThread = std::this_thread::get_id();

using DeferFn = void (*)(void *, t_symbol *, short, t_atom *);

void enqueue(void *ob, method fn, t_symbol *s, short ac, t_atom *av) {
    State &st = state();
    std::lock_guard<std::mutex> lock(st.queueMutex);
    st.session.deferred.push_back(Deferred{ob, fn, s, std::vector<t_atom>(av, av + (av && ac > 0 ? ac : 0))});
}

}  // namespace

namespace maxhost::detail {

bool isMainThread() {
    return std::this_thread::get_id() == mainThread;
}

void dropDeferred(t_object *x) {
    State &st = state();
    std::lock_guard<std::mutex> lock(st.queueMutex);
    auto &queue = st.session.deferred;
    queue.erase(std::remove_if(queue.begin(), queue.end(), [x](const Deferred &d) { return d.ob == x; }), queue.end());
}

}  // namespace maxhost::detail

extern "C" void *defer(void *ob, method fn, t_symbol *s, short ac, t_atom *av) {
    if (!fn) return nullptr;
    if (isMainThread())
        fn_cast<DeferFn>(fn)(ob, s, ac, av);
    else
        enqueue(ob, fn, s, ac, av);
    return nullptr;
}

extern "C" void *defer_low(void *ob, method fn, t_symbol *s, short ac, t_atom *av) {
    if (fn) enqueue(ob, fn, s, ac, av);
    return nullptr;
}

namespace maxhost {

void runDeferred() {
    for (;;) {
        Deferred d;
        {
            State &st = state();
            std::lock_guard<std::mutex> lock(st.queueMutex);
            auto &queue = st.session.deferred;
            if (queue.empty()) return;
            d = std::move(queue.front());
            queue.pop_front();
        }
        fn_cast<DeferFn>(d.fn)(d.ob, d.s, static_cast<short>(d.atoms.size()),
                               d.atoms.empty() ? nullptr : d.atoms.data());
    }
}

size_t pendingDeferred() {
    State &st = state();
    std::lock_guard<std::mutex> lock(st.queueMutex);
    return st.session.deferred.size();
}

void sendFromScheduler(t_object *x, long inlet, t_symbol *sel, short argc, const t_atom *argv) {
    std::vector<t_atom> atoms(argv, argv + (argv && argc > 0 ? argc : 0));
    std::thread scheduler([&] { send(x, inlet, sel, static_cast<short>(atoms.size()), atoms.data()); });
    scheduler.join();
    runDeferred();
}

}  // namespace maxhost
