// The stand-in host's own side: what the patch host and the tests use to
// load plug-ins, make objects, send messages and watch what comes out.
#pragma once

#include "ext.h"
#include "ext_buffer.h"

#include <functional>
#include <string>
#include <vector>

namespace maxhost {

// ---- text ----------------------------------------------------------------
// Shortest text that reads back to the same double, always with a decimal
// point or an exponent: "1.0", "0.30000001192092896", "48000.0"; exponent
// form outside 1e-4 <= |v| < 1e16: "1e-05", "1e+300" ("nan", "inf").
std::string formatFloat(double v);
// An int as an integer, a float as formatFloat, a symbol as its text.
std::string formatAtom(const t_atom &a);

// ---- console -------------------------------------------------------------
struct ConsoleLine {
    bool error;
    std::string text;
};
// Every console line goes to the sink, in order; the default prints posts on
// stdout and errors on stderr. Pass nullptr to restore the default.
// Sinks run one event at a time (from any thread) and must not post.
void setConsoleSink(std::function<void(const ConsoleLine &)> sink);

// ---- outlets -------------------------------------------------------------
// Called for every message that leaves an outlet, before it is delivered.
using OutletSink =
    std::function<void(const std::string &objId, long outlet, t_symbol *sel, short argc, const t_atom *argv)>;
void setOutletSink(OutletSink sink);

// ---- plug-ins and classes -------------------------------------------------
// Folders searched for CLASS.so, in order.
void setPluginPath(const std::vector<std::string> &dirs);
std::vector<std::string> pluginPath();  // as last set
// Makes sure the class is registered (loading its plug-in when needed).
bool loadClass(const std::string &name, std::string &err);
// Symbol exported by a loaded plug-in (nullptr when absent).
void *pluginSymbol(const std::string &className, const std::string &symbol);

// ---- objects -------------------------------------------------------------
// Makes an object of a registered or loadable class, or the host's own
// "print". Returns nullptr and sets err on failure.
t_object *newObject(const std::string &id, const std::string &className, const std::vector<t_atom> &args,
                    std::string &err);
t_object *findObject(const std::string &id);
std::string objectId(const t_object *x);
void freeObject(t_object *x);
size_t inletCount(const t_object *x);
size_t outletCount(const t_object *x);
bool connect(t_object *from, long outlet, t_object *to, long inlet, std::string &err);

// Delivers a message to an inlet on the calling thread (the main thread).
void send(t_object *x, long inlet, t_symbol *sel, short argc, const t_atom *argv);
// Delivers it from a second thread playing the scheduler, waits for it, then
// runs what was deferred on the main thread.
void sendFromScheduler(t_object *x, long inlet, t_symbol *sel, short argc, const t_atom *argv);
// Runs the deferred queue on the main thread.
void runDeferred();
// Calls waiting in the deferred queue.
size_t pendingDeferred();
// Builds the signal chain: "dsp64" of every signal object, then one vector.
void dspOn(double sampleRate = 44100.0, long vectorSize = 64);

// ---- buffers -------------------------------------------------------------
struct Buffer {
    std::string name;
    long channels = 0;
    long frames = 0;
    double rate = 44100.0;
    std::vector<float> samples;  // interleaved
};
// Creates (or replaces) a zeroed buffer~.
Buffer *createBuffer(const std::string &name, long channels, long frames, double rate = 44100.0);
Buffer *findBuffer(const std::string &name);
void removeBuffer(const std::string &name);
// Largest buffer~ in bytes the host makes; more is refused before anything
// is allocated. Defaults to the machine's memory; reset() restores that.
void setMemoryLimit(size_t bytes);
size_t memoryLimit();

// ---- test hooks ----------------------------------------------------------
// The next n calls of object_alloc fail.
void failNextAllocs(int n);
// Frees every object and buffer, empties the queue, restores the sinks.
void reset();

}  // namespace maxhost
