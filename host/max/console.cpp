// Console lines and the watchers of outlet messages.
#include "host_internal.hpp"

#include <cstdarg>
#include <cstdio>
#include <iostream>

using namespace maxhost::detail;

namespace {

// One line or outlet event at a time, in order, under the state's eventMutex.
void defaultConsole(const maxhost::ConsoleLine &line) {
    std::ostream &out = line.error ? std::cerr : std::cout;
    out << line.text << '\n';
    out.flush();
}

}  // namespace

namespace maxhost {

void setConsoleSink(std::function<void(const ConsoleLine &)> sink) {
    State &st = state();
    std::lock_guard<std::mutex> lock(st.eventMutex);
    st.session.consoleSink = std::move(sink);
}

void setOutletSink(OutletSink sink) {
    State &st = state();
    std::lock_guard<std::mutex> lock(st.eventMutex);
    st.session.outletSink = std::move(sink);
}

namespace detail {

std::string vformat(const char *fmt, va_list ap) {
    if (!fmt) return std::string();
    va_list copy;
    va_copy(copy, ap);
    int n = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    if (n <= 0) return std::string();
    std::string s(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(&s[0], s.size(), fmt, ap);
    s.resize(static_cast<size_t>(n));
    return s;
}

void console(bool error, const std::string &text) {
    State &st = state();
    std::lock_guard<std::mutex> lock(st.eventMutex);
    ConsoleLine line{error, text};
    if (st.session.consoleSink)
        st.session.consoleSink(line);
    else
        defaultConsole(line);
}

void reportOutlet(t_object *owner, long outlet, t_symbol *sel, short argc, const t_atom *argv) {
    State &st = state();
    std::lock_guard<std::mutex> lock(st.eventMutex);
    if (st.session.outletSink) st.session.outletSink(objectId(owner), outlet, sel, argc, argv);
}

}  // namespace detail
}  // namespace maxhost

extern "C" void object_post(t_object *, const char *s, ...) {
    va_list ap;
    va_start(ap, s);
    std::string text = maxhost::detail::vformat(s, ap);
    va_end(ap);
    maxhost::detail::console(false, text);
}

extern "C" void object_error(t_object *, const char *s, ...) {
    va_list ap;
    va_start(ap, s);
    std::string text = maxhost::detail::vformat(s, ap);
    va_end(ap);
    maxhost::detail::console(true, text);
}

extern "C" void post(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string text = maxhost::detail::vformat(fmt, ap);
    va_end(ap);
    maxhost::detail::console(false, text);
}
