// buffer~: named buffers of interleaved floats and the references to them.
#include "host_internal.hpp"

#include <new>
#include <unistd.h>

using namespace maxhost::detail;

struct _buffer_ref {
    t_object ob;
    t_symbol *name;
};

namespace {

void destroyRef(t_object *o) {
    delete reinterpret_cast<_buffer_ref *>(o);
}

// a zero-sized buffer still hands out a valid pointer; false when memory
// ran out, leaving b as it was
bool reshape(maxhost::Buffer &b, long channels, long frames) {
    try {
        std::vector<float> fresh(static_cast<size_t>(channels) * static_cast<size_t>(frames));
        fresh.reserve(1);
        b.samples.swap(fresh);
    } catch (const std::bad_alloc &) {
        return false;
    }
    b.channels = channels;
    b.frames = frames;
    return true;
}

// within the memory limit, checked before anything is allocated
bool sizeOk(long channels, long frames) {
    if (channels < 0 || frames < 0) return false;
    if (channels == 0) return true;
    size_t limit = maxhost::memoryLimit() / sizeof(float);
    return static_cast<unsigned long>(frames) <= limit / static_cast<unsigned long>(channels);
}

}  // namespace

namespace maxhost {

namespace detail {

t_class *bufferRefClass() {
    static maxclass *c = [] {
        auto *k = new maxclass;
        k->name = "buffer_ref";
        k->internal = true;
        k->destroy = destroyRef;
        return k;
    }();
    return c;
}

size_t physicalMemory() {
    long pages = sysconf(_SC_PHYS_PAGES), size = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || size <= 0) return SIZE_MAX;
    return static_cast<size_t>(pages) * static_cast<size_t>(size);
}

}  // namespace detail

void setMemoryLimit(size_t bytes) {
    state().session.memoryLimit = bytes;
}
size_t memoryLimit() {
    return state().session.memoryLimit;
}

Buffer *createBuffer(const std::string &name, long channels, long frames, double rate) {
    if (!sizeOk(channels, frames)) return nullptr;
    State &st = state();
    std::lock_guard<std::mutex> lock(st.bufferMutex);
    auto &buffers = st.session.buffers;
    auto it = buffers.find(name);
    if (it != buffers.end()) {  // a buffer made again keeps its identity
        if (!reshape(it->second->data, channels, frames)) return nullptr;
        it->second->data.rate = rate;
        return &it->second->data;
    }
    try {
        auto b = std::make_unique<_buffer_obj>();
        b->ob.o_class = nullptr;
        b->data.name = name;
        b->data.rate = rate;
        if (!reshape(b->data, channels, frames)) return nullptr;
        return &buffers.emplace(name, std::move(b)).first->second->data;
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

Buffer *findBuffer(const std::string &name) {
    State &st = state();
    std::lock_guard<std::mutex> lock(st.bufferMutex);
    auto it = st.session.buffers.find(name);
    return it == st.session.buffers.end() ? nullptr : &it->second->data;
}

void removeBuffer(const std::string &name) {
    State &st = state();
    std::lock_guard<std::mutex> lock(st.bufferMutex);
    st.session.buffers.erase(name);
}

}  // namespace maxhost

extern "C" t_buffer_ref *buffer_ref_new(t_object *, t_symbol *name) {
    auto *ref = new _buffer_ref{t_object{bufferRefClass(), nullptr}, name};
    state().session.things.insert(ref);
    return ref;
}

extern "C" void buffer_ref_set(t_buffer_ref *x, t_symbol *name) {
    if (x) x->name = name;
}

extern "C" t_buffer_obj *buffer_ref_getobject(t_buffer_ref *x) {
    if (!x || !x->name) return nullptr;
    State &st = state();
    std::lock_guard<std::mutex> lock(st.bufferMutex);
    auto it = st.session.buffers.find(x->name->s_name);
    return it == st.session.buffers.end() ? nullptr : it->second.get();
}

extern "C" t_atom_long buffer_getchannelcount(t_buffer_obj *b) {
    return b ? b->data.channels : 0;
}
extern "C" t_atom_long buffer_getframecount(t_buffer_obj *b) {
    return b ? b->data.frames : 0;
}
extern "C" t_atom_float buffer_getsamplerate(t_buffer_obj *b) {
    return b ? b->data.rate : 0.0;
}

extern "C" float *buffer_locksamples(t_buffer_obj *b) {
    if (!b) return nullptr;
    std::lock_guard<std::mutex> lock(state().bufferMutex);
    if (b->locked) return nullptr;
    b->locked = true;
    return b->data.samples.data();
}

extern "C" void buffer_unlocksamples(t_buffer_obj *b) {
    if (!b) return;
    std::lock_guard<std::mutex> lock(state().bufferMutex);
    b->locked = false;
}

extern "C" t_max_err buffer_setdirty(t_buffer_obj *b) {
    return b ? MAX_ERR_NONE : MAX_ERR_INVALID_PTR;
}

extern "C" t_max_err buffer_resize(t_buffer_obj *b, t_atom_long channels, t_atom_long frames) {
    if (!b) return MAX_ERR_INVALID_PTR;
    std::lock_guard<std::mutex> lock(state().bufferMutex);
    if (b->locked || !sizeOk(channels, frames)) return MAX_ERR_GENERIC;
    return reshape(b->data, channels, frames) ? MAX_ERR_NONE : MAX_ERR_GENERIC;
}
