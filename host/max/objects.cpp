// Objects: allocation, naming, deletion, the host's own "print", reset.
#include "host_internal.hpp"

#include <algorithm>
#include <cstdlib>

using namespace maxhost::detail;

namespace {

// of the type the host calls A_GIMME handlers through
void printAnything(void *x, t_symbol *s, long argc, t_atom *argv) {
    std::string line = maxhost::objectId(static_cast<t_object *>(x)) + ": " + s->s_name;
    for (long i = 0; i < argc; ++i) line += " " + maxhost::formatAtom(argv[i]);
    console(false, line);
}

void *printNew(t_symbol *, long, t_atom *) {
    return object_alloc(state().registry.printClass);
}

void freeUserObject(t_object *x) {
    Session &st = state().session;
    ObjInfo *in = info(x);
    if (x->o_class->mfree) fn_cast<void (*)(void *)>(x->o_class->mfree)(x);
    dropDeferred(x);
    disconnectAll(x);
    for (Proxy *p : in->proxies) {
        st.things.erase(p);
        delete p;
    }
    in->proxies.clear();
    st.live.erase(std::find(st.live.begin(), st.live.end(), x));
    st.liveSet.erase(x);
    if (!in->id.empty()) st.ids.erase(in->id);
    delete in;
    std::free(x);
}

[[maybe_unused]] const bool builtinsReady = (registerBuiltins(), true);

}  // namespace

namespace maxhost::detail {

State &state() {
    static State *s = new State;  // lives as long as the process
    return *s;
}

ObjInfo *info(const t_object *x) {
    return x ? static_cast<ObjInfo *>(x->o_host) : nullptr;
}

bool isLive(const t_object *x) {
    return x && state().session.liveSet.count(const_cast<t_object *>(x)) != 0;
}

void registerBuiltins() {
    t_class *&printClass = state().registry.printClass;
    if (printClass) return;
    printClass = class_new("print", fn_cast<method>(printNew), nullptr, sizeof(t_object), nullptr, A_GIMME, 0);
    class_addmethod(printClass, fn_cast<method>(printAnything), "anything", A_GIMME, 0);
    class_register(gensym("box"), printClass);
}

}  // namespace maxhost::detail

extern "C" void *object_alloc(t_class *c) {
    if (!c || c->internal) return nullptr;
    Session &st = state().session;
    if (st.failAllocs > 0) {
        --st.failAllocs;
        return nullptr;
    }
    auto *x = static_cast<t_object *>(std::calloc(1, static_cast<size_t>(c->size)));
    if (!x) return nullptr;
    x->o_class = c;
    x->o_host = new ObjInfo;
    st.live.push_back(x);
    st.liveSet.insert(x);
    return x;
}

extern "C" t_max_err object_free(void *p) {
    auto *x = static_cast<t_object *>(p);
    Session &st = state().session;
    if (isLive(x)) {
        freeUserObject(x);
        return MAX_ERR_NONE;
    }
    if (!x || !st.things.count(x)) return MAX_ERR_INVALID_PTR;
    st.things.erase(x);
    if (x->o_class && x->o_class->destroy) x->o_class->destroy(x);
    return MAX_ERR_NONE;
}

namespace maxhost {

t_object *newObject(const std::string &id, const std::string &className, const std::vector<t_atom> &args,
                    std::string &err) {
    Session &st = state().session;
    if (id.empty()) {
        err = "an object needs a name";
        return nullptr;
    }
    if (st.ids.count(id)) {
        err = "an object named " + id + " already exists";
        return nullptr;
    }
    if (!loadClass(className, err)) return nullptr;
    t_class *c = state().registry.box[className];
    if (!c->usable || !c->mnew) {
        err = "class " + className + " cannot make objects";
        return nullptr;
    }
    std::vector<t_atom> argv(args);
    const t_atom *a0 = argv.empty() ? nullptr : &argv[0];
    bool number = a0 && (a0->a_type == A_LONG || a0->a_type == A_FLOAT);
    void *made = nullptr;
    switch (c->newKind) {
    case A_NOTHING:
        made = fn_cast<void *(*)()>(c->mnew)();
        break;
    case A_LONG:
    case A_DEFLONG:
        if (a0 && !number) break;
        made = fn_cast<void *(*)(long)>(c->mnew)(a0 ? atom_getlong(a0) : 0);
        break;
    case A_FLOAT:
    case A_DEFFLOAT:
        if (a0 && !number) break;
        made = fn_cast<void *(*)(double)>(c->mnew)(a0 ? atom_getfloat(a0) : 0.0);
        break;
    case A_SYM:
    case A_DEFSYM:
        if (a0 && a0->a_type != A_SYM) break;
        made = fn_cast<void *(*)(t_symbol *)>(c->mnew)(atom_getsym(a0));
        break;
    case A_GIMME:
        made = fn_cast<void *(*)(t_symbol *, long, t_atom *)>(c->mnew)(gensym(className.c_str()),
                                                                       static_cast<long>(argv.size()), argv.data());
        break;
    }
    auto *x = static_cast<t_object *>(made);
    if (!x || !isLive(x)) {
        err = "could not make an object of class " + className;
        return nullptr;
    }
    info(x)->id = id;
    st.ids[id] = x;
    return x;
}

t_object *findObject(const std::string &id) {
    const Session &st = state().session;
    auto it = st.ids.find(id);
    return it == st.ids.end() ? nullptr : it->second;
}

std::string objectId(const t_object *x) {
    return isLive(x) ? info(x)->id : std::string();
}

void freeObject(t_object *x) {
    object_free(x);
}

size_t inletCount(const t_object *x) {
    if (!isLive(x)) return 0;
    const ObjInfo *in = info(x);
    long n = std::max(1L, in->signalInlets);
    for (const Proxy *p : in->proxies) n = std::max(n, p->id + 1);
    return static_cast<size_t>(n);
}

size_t outletCount(const t_object *x) {
    return isLive(x) ? info(x)->outlets.size() : 0;
}

void failNextAllocs(int n) {
    state().session.failAllocs = n;
}

void reset() {
    State &st = state();
    // objects first: their free routines still see the buffers and sinks
    while (!st.session.live.empty()) freeUserObject(st.session.live.back());
    Session old;
    {
        std::scoped_lock lock(st.bufferMutex, st.queueMutex, st.eventMutex);
        std::swap(st.session, old);
    }
    // host-made things their owners left behind
    for (const void *t : old.things) {
        auto *o = static_cast<t_object *>(const_cast<void *>(t));
        if (o->o_class && o->o_class->destroy) o->o_class->destroy(o);
    }
}

}  // namespace maxhost
