#include "run/trace.hpp"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>

namespace korvane {

namespace {

using Json = nlohmann::ordered_json;  // keys in the order written

// Bytes that are not UTF-8 become U+FFFD, so every line stays JSON.
std::string dump(const Json &j) {
    return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace

std::string jsonString(const std::string &s) {
    return dump(Json(s));
}

std::string outletEventJson(const std::string &obj, long outlet, const t_symbol *sel, short argc, const t_atom *argv) {
    Json event = {{"obj", obj}, {"outlet", outlet}, {"sel", sel ? sel->s_name : ""}, {"atoms", Json::array()}};
    std::string out = dump(event);
    out.resize(out.size() - 2);  // the atoms go into the closing "]}"
    for (short i = 0; i < argc; ++i) {
        if (i) out += ',';
        const t_atom &a = argv[i];
        if (a.a_type == A_SYM)
            out += jsonString(a.a_w.w_sym ? a.a_w.w_sym->s_name : "");
        else if (a.a_type == A_LONG)
            out += dump(Json(a.a_w.w_long));
        else if (a.a_type == A_FLOAT && !std::isfinite(a.a_w.w_float))
            out += "null";  // JSON has no NaN or infinity
        else
            out += maxhost::formatAtom(a);  // as the console prints it, which nlohmann's shortest form is not always
    }
    return out + "]}";
}

std::string consoleEventJson(const maxhost::ConsoleLine &line) {
    return dump(Json{{"console", line.error ? "error" : "post"}, {"text", line.text}});
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
