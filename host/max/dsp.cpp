// Signal set-up: "dsp64" of every signal object, "dsp_add64" on the chain,
// then each perform routine once on a zero vector.
#include "host_internal.hpp"

#include <cstdint>

using namespace maxhost::detail;

namespace {

struct Perform {
    t_object *x;
    t_perfroutine64 fn;
    long flags;
    void *user;
};

struct Chain {
    t_object ob;  // first, as in every host-made thing
    std::vector<Perform> routines;
};

void *chainAdd64(void *chain, void *x, void *fn, void *flags, void *user) {
    static_cast<Chain *>(chain)->routines.push_back(
        Perform{static_cast<t_object *>(x), reinterpret_cast<t_perfroutine64>(fn),
                static_cast<long>(reinterpret_cast<intptr_t>(flags)), user});
    return nullptr;
}

// object_method(chain, "dsp_add64", x, fn, flags, user)
void *invokeChainAdd64(method fn, void *chain, void *const *args) {
    using Add = void *(*)(void *, void *, void *, void *, void *);
    return fn_cast<Add>(fn)(chain, args[0], args[1], args[2], args[3]);
}

void destroyChain(t_object *o) {
    delete reinterpret_cast<Chain *>(o);
}

}  // namespace

namespace maxhost::detail {

t_class *dspChainClass() {
    static maxclass *c = [] {
        auto *k = new maxclass;
        k->name = "dspchain";
        k->internal = true;
        k->destroy = destroyChain;
        k->methods[gensym("dsp_add64")] = MethodEntry{fn_cast<method>(chainAdd64), A_CANT, invokeChainAdd64};
        return k;
    }();
    return c;
}

}  // namespace maxhost::detail

extern "C" void class_dspinit(t_class *c) {
    if (c) c->dsp = true;
}

extern "C" void z_dsp_setup(t_pxobject *x, short nsignals) {
    if (!isLive(&x->z_ob)) return;
    x->z_in = nsignals;
    x->z_disabled = 0;
    info(&x->z_ob)->signalInlets = nsignals;
}

extern "C" void z_dsp_free(t_pxobject *x) {
    if (x) x->z_disabled = 1;
}

namespace maxhost {

void dspOn(double sampleRate, long vectorSize) {
    if (vectorSize < 1) vectorSize = 1;
    static t_symbol *const sDsp64 = gensym("dsp64");
    auto *chain = new Chain;
    chain->ob.o_class = dspChainClass();
    state().session.things.insert(chain);
    std::vector<t_object *> objects = state().session.live;
    for (t_object *x : objects) {
        if (!isLive(x) || !x->o_class->dsp) continue;
        const MethodEntry *m = x->o_class->find(sDsp64);
        if (!m) continue;
        // no signal cords in this host: every connection count is 0
        std::vector<short> counts(inletCount(x) + outletCount(x) + 1, 0);
        using Dsp64 = void (*)(t_object *, t_object *, short *, double, long, long);
        fn_cast<Dsp64>(m->fn)(x, &chain->ob, counts.data(), sampleRate, vectorSize, 0);
    }
    std::vector<double> zeros(static_cast<size_t>(vectorSize), 0.0);
    for (const Perform &p : chain->routines) {
        if (!isLive(p.x) || !p.fn) continue;
        const detail::ObjInfo *in = info(p.x);
        long numIns = in->signalInlets, numOuts = 0;
        for (const auto &o : in->outlets) numOuts += o->type == "signal";
        std::vector<std::vector<double>> bufs(static_cast<size_t>(numIns + numOuts), zeros);
        std::vector<double *> ptrs;
        for (auto &b : bufs) ptrs.push_back(b.data());
        double **ins = ptrs.empty() ? nullptr : ptrs.data();
        double **outs = ptrs.empty() ? nullptr : ptrs.data() + numIns;
        p.fn(p.x, &chain->ob, ins, numIns, outs, numOuts, vectorSize, p.flags, p.user);
    }
    object_free(&chain->ob);
}

}  // namespace maxhost
