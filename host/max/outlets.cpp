// Outlets: each new one goes left of those made before; a message is
// reported to the watcher, then delivered along the cords depth-first.
#include "host_internal.hpp"

#include <algorithm>

using namespace maxhost::detail;

namespace {

void *emit(void *o, t_symbol *sel, long argc, const t_atom *argv) {
    auto *out = static_cast<Outlet *>(o);
    if (!out || !sel || !isLive(out->owner)) return nullptr;
    if (argc < 0 || !argv) argc = 0;
    auto &outs = info(out->owner)->outlets;
    auto pos =
        std::find_if(outs.begin(), outs.end(), [out](const std::unique_ptr<Outlet> &p) { return p.get() == out; });
    reportOutlet(out->owner, static_cast<long>(pos - outs.begin()), sel, static_cast<short>(argc), argv);
    // cords and atoms are copied: a receiver may change either meanwhile
    std::vector<Cord> cords = out->cords;
    for (const Cord &c : cords) {
        std::vector<t_atom> atoms(argv, argv + argc);
        deliver(c.to, c.inlet, sel, argc, atoms.data());
    }
    return nullptr;
}

}  // namespace

extern "C" void *outlet_new(void *x, const char *type) {
    auto *owner = static_cast<t_object *>(x);
    if (!isLive(owner)) return nullptr;
    auto out = std::make_unique<Outlet>();
    out->owner = owner;
    out->type = type ? type : "";
    Outlet *raw = out.get();
    auto &outs = info(owner)->outlets;
    outs.insert(outs.begin(), std::move(out));
    return raw;
}

extern "C" void *bangout(void *x) {
    return outlet_new(x, "bang");
}
extern "C" void *listout(void *x) {
    return outlet_new(x, "list");
}
extern "C" void *floatout(void *x) {
    return outlet_new(x, "float");
}
extern "C" void *intout(void *x) {
    return outlet_new(x, "long");
}

extern "C" void *outlet_bang(void *o) {
    return emit(o, gensym("bang"), 0, nullptr);
}

extern "C" void *outlet_float(void *o, double f) {
    t_atom a;
    atom_setfloat(&a, f);
    return emit(o, gensym("float"), 1, &a);
}

extern "C" void *outlet_int(void *o, t_atom_long n) {
    t_atom a;
    atom_setlong(&a, n);
    return emit(o, gensym("int"), 1, &a);
}

extern "C" void *outlet_list(void *o, t_symbol *, short ac, t_atom *av) {
    return emit(o, gensym("list"), ac, av);
}

extern "C" void *outlet_anything(void *o, t_symbol *s, short ac, t_atom *av) {
    return emit(o, s, ac, av);
}
