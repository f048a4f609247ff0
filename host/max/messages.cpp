// Message dispatch by selector, proxies and patch cords.
#include "host_internal.hpp"

#include <algorithm>

using namespace maxhost::detail;

namespace {

bool isNumber(const t_atom &a) {
    return a.a_type == A_LONG || a.a_type == A_FLOAT;
}

// Calls a handler with the arguments its declared kind asks for.
void call(t_object *x, const MethodEntry &m, t_symbol *sel, long argc, t_atom *argv) {
    const t_atom *a0 = argc > 0 ? &argv[0] : nullptr;
    switch (m.kind) {
    case A_NOTHING:
        fn_cast<void (*)(void *)>(m.fn)(x);
        return;
    case A_LONG:
    case A_DEFLONG:
        if (a0 && !isNumber(*a0)) break;
        fn_cast<void (*)(void *, long)>(m.fn)(x, a0 ? atom_getlong(a0) : 0);
        return;
    case A_FLOAT:
    case A_DEFFLOAT:
        if (a0 && !isNumber(*a0)) break;
        fn_cast<void (*)(void *, double)>(m.fn)(x, a0 ? atom_getfloat(a0) : 0.0);
        return;
    case A_SYM:
    case A_DEFSYM:
        if (a0 && a0->a_type != A_SYM) break;
        fn_cast<void (*)(void *, t_symbol *)>(m.fn)(x, atom_getsym(a0));
        return;
    case A_GIMME:
        fn_cast<void (*)(void *, t_symbol *, long, t_atom *)>(m.fn)(x, sel, argc, argv);
        return;
    default:
        break;
    }
    object_error(nullptr, "%s: bad arguments for message \"%s\"", x->o_class->name.c_str(), sel->s_name);
}

const MethodEntry *callable(const t_class *c, t_symbol *sel) {
    const MethodEntry *m = c->find(sel);
    return m && m->kind != A_CANT ? m : nullptr;
}

void dispatch(t_object *x, t_symbol *sel, long argc, t_atom *argv) {
    static t_symbol *const sInt = gensym("int");
    static t_symbol *const sFloat = gensym("float");
    static t_symbol *const sAnything = gensym("anything");
    const t_class *c = x->o_class;
    const MethodEntry *m = callable(c, sel);
    if (m) return call(x, *m, sel, argc, argv);
    if (!c->find(sel)) {
        // a class with only one of int and float takes both
        if (sel == sInt && (m = callable(c, sFloat))) return call(x, *m, sFloat, argc, argv);
        if (sel == sFloat && (m = callable(c, sInt))) return call(x, *m, sInt, argc, argv);
        if ((m = callable(c, sAnything)) && m->kind == A_GIMME) return call(x, *m, sel, argc, argv);
    }
    object_error(nullptr, "%s: doesn't understand \"%s\"", c->name.c_str(), sel->s_name);
}

void destroyProxy(t_object *o) {
    auto *p = reinterpret_cast<Proxy *>(o);
    if (isLive(p->owner)) {
        auto &list = info(p->owner)->proxies;
        list.erase(std::remove(list.begin(), list.end(), p), list.end());
    }
    delete p;
}

}  // namespace

namespace maxhost::detail {

t_class *proxyClass() {
    static maxclass *c = [] {
        auto *k = new maxclass;
        k->name = "proxy";
        k->internal = true;
        k->destroy = destroyProxy;
        return k;
    }();
    return c;
}

void deliver(t_object *x, long inlet, t_symbol *sel, long argc, t_atom *argv) {
    if (!isLive(x) || !sel) return;
    ObjInfo *in = info(x);
    // the inlet is visible to proxy_getinlet and in every stuffloc while the
    // message is handled, and restored afterwards for nested deliveries
    long savedInlet = in->currentInlet;
    std::vector<std::pair<long *, long>> saved;
    for (Proxy *p : in->proxies)
        if (p->stuffloc) saved.emplace_back(p->stuffloc, *p->stuffloc);
    in->currentInlet = inlet;
    for (auto &s : saved) *s.first = inlet;
    dispatch(x, sel, argc < 0 ? 0 : argc, argv);
    if (!isLive(x)) return;
    in->currentInlet = savedInlet;
    for (auto it = saved.rbegin(); it != saved.rend(); ++it) *it->first = it->second;
}

void disconnectAll(t_object *x) {
    for (t_object *o : state().session.live)
        for (auto &out : info(o)->outlets)
            out->cords.erase(
                std::remove_if(out->cords.begin(), out->cords.end(), [x](const Cord &c) { return c.to == x; }),
                out->cords.end());
}

}  // namespace maxhost::detail

extern "C" void *proxy_new(void *x, long id, long *stuffloc) {
    auto *owner = static_cast<t_object *>(x);
    if (!isLive(owner) || id < 1) return nullptr;
    auto *p = new Proxy{t_object{proxyClass(), nullptr}, owner, id, stuffloc};
    info(owner)->proxies.push_back(p);
    state().session.things.insert(p);
    return p;
}

extern "C" long proxy_getinlet(t_object *master) {
    return isLive(master) ? info(master)->currentInlet : 0;
}

extern "C" void *object_method_imp(void *x, void *sym, void *p1, void *p2, void *p3, void *p4, void *p5, void *p6,
                                   void *p7, void *p8) {
    auto *o = static_cast<t_object *>(x);
    auto *s = static_cast<t_symbol *>(sym);
    if (!o || !o->o_class || !s) return nullptr;
    const MethodEntry *m = o->o_class->find(s);
    if (!m) {
        object_error(nullptr, "%s: doesn't understand \"%s\"", o->o_class->name.c_str(), s->s_name);
        return nullptr;
    }
    if (m->invoke) {
        void *const args[8] = {p1, p2, p3, p4, p5, p6, p7, p8};
        return m->invoke(m->fn, x, args);
    }
    // a plug-in's own A_CANT handler: its caller and it agree on this type
    using Fn = void *(*)(void *, void *, void *, void *, void *, void *, void *, void *, void *);
    return fn_cast<Fn>(m->fn)(x, p1, p2, p3, p4, p5, p6, p7, p8);
}

namespace maxhost {

void send(t_object *x, long inlet, t_symbol *sel, short argc, const t_atom *argv) {
    if (!isLive(x) || !sel) return;
    if (inlet < 0 || static_cast<size_t>(inlet) >= inletCount(x)) {
        object_error(nullptr, "%s: no inlet %ld", x->o_class->name.c_str(), inlet);
        return;
    }
    std::vector<t_atom> atoms(argv, argv + (argc > 0 && argv ? argc : 0));
    detail::deliver(x, inlet, sel, static_cast<long>(atoms.size()), atoms.data());
}

bool connect(t_object *from, long outlet, t_object *to, long inlet, std::string &err) {
    if (!isLive(from) || !isLive(to)) {
        err = "no such object";
        return false;
    }
    auto &outs = info(from)->outlets;
    if (outlet < 0 || static_cast<size_t>(outlet) >= outs.size()) {
        err = objectId(from) + " has no outlet " + std::to_string(outlet);
        return false;
    }
    if (inlet < 0 || static_cast<size_t>(inlet) >= inletCount(to)) {
        err = objectId(to) + " has no inlet " + std::to_string(inlet);
        return false;
    }
    auto &cords = outs[static_cast<size_t>(outlet)]->cords;
    for (const Cord &c : cords)
        if (c.to == to && c.inlet == inlet) {
            err = "these are already connected";
            return false;
        }
    cords.push_back(Cord{to, inlet});
    return true;
}

}  // namespace maxhost
