#include "run/trace.hpp"

#include <cmath>
#include <cstdio>

namespace korvane {

std::string jsonString(const std::string &s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

std::string outletEventJson(const std::string &obj, long outlet, const t_symbol *sel, short argc, const t_atom *argv) {
    std::string out = "{\"obj\":" + jsonString(obj) + ",\"outlet\":" + std::to_string(outlet) +
                      ",\"sel\":" + jsonString(sel ? sel->s_name : "") + ",\"atoms\":[";
    for (short i = 0; i < argc; ++i) {
        if (i) out += ',';
        const t_atom &a = argv[i];
        if (a.a_type == A_SYM)
            out += jsonString(a.a_w.w_sym ? a.a_w.w_sym->s_name : "");
        else if (a.a_type == A_FLOAT && !std::isfinite(a.a_w.w_float))
            out += "null";  // JSON has no NaN or infinity
        else
            out += maxhost::formatAtom(a);
    }
    return out + "]}";
}

std::string consoleEventJson(const maxhost::ConsoleLine &line) {
    return std::string("{\"console\":\"") + (line.error ? "error" : "post") + "\",\"text\":" + jsonString(line.text) +
           "}";
}

bool Trace::open(const std::string &path, std::string &err) {
    if (!file_.open(path, "trace file", err)) return false;
    if (file_.stream()) return true;
    err = file_.failure();
    return false;
}

void Trace::write(const std::string &event) {
    if (FILE *f = file_.stream()) {
        std::fwrite(event.data(), 1, event.size(), f);
        std::fputc('\n', f);
    }
}

void Trace::event(const maxhost::Event &e) {
    if (e.console)
        write(consoleEventJson(e.line));
    else
        write(outletEventJson(e.obj, e.outlet, e.sel, static_cast<short>(e.atoms.size()), e.atoms.data()));
}

bool Trace::close(std::string &err) {
    return file_.commit(err);
}

}  // namespace korvane
