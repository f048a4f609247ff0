// Console lines and the watchers of outlet messages.
#include "host_internal.hpp"

#include <cstdarg>
#include <cstdio>
#include <iostream>

namespace {

std::mutex eventMutex;   // one line or outlet event at a time, in order
std::function<void(const maxhost::ConsoleLine &)> consoleSink;
maxhost::OutletSink outletSink;

void defaultConsole(const maxhost::ConsoleLine &line) {
    std::ostream &out = line.error ? std::cerr : std::cout;
    out << line.text << '\n';
    out.flush();
}

}  // namespace

namespace maxhost {

void setConsoleSink(std::function<void(const ConsoleLine &)> sink) {
    std::lock_guard<std::mutex> lock(eventMutex);
    consoleSink = std::move(sink);
}

void setOutletSink(OutletSink sink) {
    std::lock_guard<std::mutex> lock(eventMutex);
    outletSink = std::move(sink);
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
    std::lock_guard<std::mutex> lock(eventMutex);
    ConsoleLine line{error, text};
    if (consoleSink)
        consoleSink(line);
    else
        defaultConsole(line);
}

void reportOutlet(t_object *owner, long outlet, t_symbol *sel, short argc,
                  const t_atom *argv) {
    std::lock_guard<std::mutex> lock(eventMutex);
    if (outletSink) outletSink(objectId(owner), outlet, sel, argc, argv);
}

void restoreSinks() {
    std::lock_guard<std::mutex> lock(eventMutex);
    consoleSink = nullptr;
    outletSink = nullptr;
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
