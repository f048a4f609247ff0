// Bookkeeping shared by the host's source files; not for plug-ins.
#pragma once

#include "ext.h"
#include "ext_buffer.h"
#include "maxhost.hpp"
#include "z_dsp.h"

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

// Handlers are stored untyped and called with the types their kind implies;
// the detour through void (*)() says the cast is meant.
template <typename To, typename From>
To fn_cast(From f) {
    return reinterpret_cast<To>(reinterpret_cast<void (*)()>(f));
}

// Calls an A_CANT handler of the host's own with its real type, given the
// eight arguments of object_method_imp.
using CantInvoker = void *(*)(method fn, void *x, void *const *args);

// One registered handler: its function and declared argument kind
// (A_NOTHING for none, else the single kind).
struct MethodEntry {
    method fn = nullptr;
    int kind = A_NOTHING;
    CantInvoker invoke = nullptr;  // host-made A_CANT handlers only
};

struct maxclass {
    std::string name;
    method mnew = nullptr;
    method mfree = nullptr;
    long size = 0;
    int newKind = A_NOTHING;  // kind of the creation argument
    std::unordered_map<t_symbol *, MethodEntry> methods;
    bool dsp = false;                       // class_dspinit was called
    bool internal = false;                  // a host-made thing (proxy, reference, chain)
    bool usable = true;                     // false when class_new was given kinds it refuses
    void *plugin = nullptr;                 // handle of the plug-in that made it
    void (*destroy)(t_object *) = nullptr;  // for host-made things

    const MethodEntry *find(t_symbol *sel) const {
        auto it = methods.find(sel);
        return it == methods.end() ? nullptr : &it->second;
    }
};

// A buffer~ of the host's own.
struct _buffer_obj {
    t_object ob;  // first, as in every host-made thing
    maxhost::Buffer data;
    bool locked = false;
};

namespace maxhost::detail {

struct Cord {
    t_object *to;
    long inlet;
};

struct Outlet {
    t_object *owner;
    std::string type;
    std::vector<Cord> cords;
};

struct Proxy {
    t_object ob;  // first, so object_free takes it
    t_object *owner;
    long id;
    long *stuffloc;
};

// What the host keeps for each object made by object_alloc.
struct ObjInfo {
    std::string id;
    std::vector<std::unique_ptr<Outlet>> outlets;  // left to right
    std::vector<Proxy *> proxies;
    long currentInlet = 0;
    long signalInlets = 0;
};

// A call waiting in the deferred queue.
struct Deferred {
    void *ob;
    method fn;
    t_symbol *s;
    std::vector<t_atom> atoms;
};

// Bytes of memory this machine has.
size_t physicalMemory();

// Everything made since the last reset; reset() frees the objects, then puts
// a fresh Session in place, so nothing added here can outlive a reset.
struct Session {
    std::vector<t_object *> live;  // creation order
    std::unordered_set<t_object *> liveSet;
    std::unordered_map<std::string, t_object *> ids;
    // host-made things alive now (proxies, references, chains), so that a
    // second object_free of one is refused without touching it
    std::unordered_set<const void *> things;
    std::map<std::string, std::unique_ptr<_buffer_obj>> buffers;  // under bufferMutex
    std::deque<Deferred> deferred;                                // under queueMutex
    std::function<void(const ConsoleLine &)> consoleSink;         // under eventMutex
    OutletSink outletSink;                                        // under eventMutex
    int failAllocs = 0;
    size_t memoryLimit = physicalMemory();
};

// What lasts as long as the process: classes point into plug-ins, which
// stay loaded.
struct Registry {
    std::unordered_map<std::string, t_class *> box;  // registered classes
    std::vector<std::unique_ptr<maxclass>> classes;
    std::vector<std::string> searchPath;
    void *loadingPlugin = nullptr;  // handle whose entry point is running
    t_class *printClass = nullptr;
};

struct State {
    Session session;
    Registry registry;
    std::mutex bufferMutex, queueMutex, eventMutex;
};

State &state();
// Handle of the plug-in whose entry point is running, else nullptr.
void *loadingPlugin();
// Makes a class record owned by the host.
t_class *makeClass(const std::string &name, method mnew, method mfree, long size);
ObjInfo *info(const t_object *x);
bool isLive(const t_object *x);
bool isMainThread();

// Host-made classes: proxies, buffer references, buffers, signal chains.
t_class *proxyClass();
t_class *bufferRefClass();
t_class *dspChainClass();

// Posts one console line (thread-safe, in order).
void console(bool error, const std::string &text);
std::string vformat(const char *fmt, va_list ap);

// Message delivery into an object's inlet, on the calling thread.
void deliver(t_object *x, long inlet, t_symbol *sel, long argc, t_atom *argv);
// Removes every cord that ends at x.
void disconnectAll(t_object *x);
void reportOutlet(t_object *owner, long outlet, t_symbol *sel, short argc, const t_atom *argv);

// Drops queued deferred calls for an object being deleted.
void dropDeferred(t_object *x);
void registerBuiltins();

}  // namespace maxhost::detail
