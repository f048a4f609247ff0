// buffer~: named buffers of interleaved floats and the references to them.
#include "host_internal.hpp"

#include <map>
#include <new>

using namespace maxhost::detail;

struct _buffer_obj {
    t_object ob;   // first, as in every host-made thing
    maxhost::Buffer data;
    bool locked = false;
};

struct _buffer_ref {
    t_object ob;
    t_symbol *name;
};

namespace {

std::mutex bufferMutex;
std::map<std::string, std::unique_ptr<_buffer_obj>> buffers;

void destroyRef(t_object *o) { delete reinterpret_cast<_buffer_ref *>(o); }

// a zero-sized buffer still hands out a valid pointer
void reshape(maxhost::Buffer &b, long channels, long frames) {
    b.samples.assign(static_cast<size_t>(channels) * static_cast<size_t>(frames), 0.0f);
    b.samples.reserve(1);
    b.channels = channels;
    b.frames = frames;
}

bool sizeOk(long channels, long frames) {
    return channels >= 0 && frames >= 0 &&
           (channels == 0 || static_cast<unsigned long>(frames) <=
                                 (1UL << 40) / static_cast<unsigned long>(channels));
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

void clearBuffers() {
    std::lock_guard<std::mutex> lock(bufferMutex);
    buffers.clear();
}

}  // namespace detail

Buffer *createBuffer(const std::string &name, long channels, long frames, double rate) {
    if (!sizeOk(channels, frames)) return nullptr;
    std::lock_guard<std::mutex> lock(bufferMutex);
    auto &slot = buffers[name];
    if (!slot) {   // a buffer made again keeps its identity
        slot = std::make_unique<_buffer_obj>();
        slot->ob.o_class = nullptr;
    }
    slot->data.name = name;
    slot->data.rate = rate;
    reshape(slot->data, channels, frames);
    return &slot->data;
}

Buffer *findBuffer(const std::string &name) {
    std::lock_guard<std::mutex> lock(bufferMutex);
    auto it = buffers.find(name);
    return it == buffers.end() ? nullptr : &it->second->data;
}

void removeBuffer(const std::string &name) {
    std::lock_guard<std::mutex> lock(bufferMutex);
    buffers.erase(name);
}

}  // namespace maxhost

extern "C" t_buffer_ref *buffer_ref_new(t_object *, t_symbol *name) {
    auto *ref = new _buffer_ref{t_object{bufferRefClass(), nullptr}, name};
    state().things.insert(ref);
    return ref;
}

extern "C" void buffer_ref_set(t_buffer_ref *x, t_symbol *name) {
    if (x) x->name = name;
}

extern "C" t_buffer_obj *buffer_ref_getobject(t_buffer_ref *x) {
    if (!x || !x->name) return nullptr;
    std::lock_guard<std::mutex> lock(bufferMutex);
    auto it = buffers.find(x->name->s_name);
    return it == buffers.end() ? nullptr : it->second.get();
}

extern "C" t_atom_long buffer_getchannelcount(t_buffer_obj *b) { return b ? b->data.channels : 0; }
extern "C" t_atom_long buffer_getframecount(t_buffer_obj *b) { return b ? b->data.frames : 0; }
extern "C" t_atom_float buffer_getsamplerate(t_buffer_obj *b) { return b ? b->data.rate : 0.0; }

extern "C" float *buffer_locksamples(t_buffer_obj *b) {
    if (!b) return nullptr;
    std::lock_guard<std::mutex> lock(bufferMutex);
    if (b->locked) return nullptr;
    b->locked = true;
    return b->data.samples.data();
}

extern "C" void buffer_unlocksamples(t_buffer_obj *b) {
    if (!b) return;
    std::lock_guard<std::mutex> lock(bufferMutex);
    b->locked = false;
}

extern "C" t_max_err buffer_setdirty(t_buffer_obj *b) {
    return b ? MAX_ERR_NONE : MAX_ERR_INVALID_PTR;
}

extern "C" t_max_err buffer_resize(t_buffer_obj *b, t_atom_long channels, t_atom_long frames) {
    if (!b) return MAX_ERR_INVALID_PTR;
    std::lock_guard<std::mutex> lock(bufferMutex);
    if (b->locked || !sizeOk(channels, frames)) return MAX_ERR_GENERIC;
    try {
        reshape(b->data, channels, frames);
    } catch (const std::bad_alloc &) {
        return MAX_ERR_GENERIC;
    }
    return MAX_ERR_NONE;
}
