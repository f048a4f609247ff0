// Fuzz target: message sequences to korvane~ and kv_lsProd through the host,
// on small buffers, with failing allocations injected in the host and in
// the object. Each input byte picks an action; the bytes after it are its
// arguments.
#include "support.hpp"

#include "maxhost.hpp"

#include <cstring>
#include <string>
#include <vector>

namespace {

// Read in order, one statement a read (see step): an input must mean the
// same to the fuzzer (clang) and to the replay (GCC).
class Bytes {
public:
    Bytes(const uint8_t *d, size_t n) : d_(d), n_(n) {}
    bool more() const { return i_ < n_; }
    uint8_t byte() { return i_ < n_ ? d_[i_++] : 0; }
    long small(long lo, long hi) { return lo + byte() % (hi - lo + 1); }
    double number() {
        static const double kNice[] = {0,    1,     -1,    0.5,   0.25, 0.08, 1e-9,   1e9,
                                       2e38, -2e38, 1e308, 0.001, 3,    64,   1e-300, 44100};
        uint8_t b = byte();
        if (b < 16) return kNice[b];
        float f;
        uint8_t raw[4] = {byte(), byte(), byte(), byte()};
        std::memcpy(&f, raw, 4);
        return f;  // NaN and infinities included
    }

private:
    const uint8_t *d_;
    size_t n_, i_ = 0;
};

using KvFail = void (*)(long);

t_atom num(Bytes &in) {
    t_atom a;
    atom_setfloat(&a, in.number());
    if (in.byte() & 1) atom_setlong(&a, atom_getlong(&a));  // saturated
    return a;
}

t_atom name(Bytes &in) {
    t_atom a;
    atom_setsym(&a, gensym(in.byte() & 1 ? "a" : "b"));
    return a;
}

std::vector<t_atom> numbers(Bytes &in, long most) {
    std::vector<t_atom> v(static_cast<size_t>(in.small(0, most)));
    for (t_atom &a : v) a = num(in);
    return v;
}

// The buffers the objects may read; small, of 0 to 3 channels.
void makeBuffer(Bytes &in) {
    static const char *names[] = {"a", "b", "a_out"};
    static const double rates[] = {44100, 8000, 1, 0, -1, 1e9, 22050, 0.5};
    const char *name = names[in.small(0, 2)];
    long channels = in.small(0, 3), frames = in.small(0, 255) * 32;
    maxhost::Buffer *b = maxhost::createBuffer(name, channels, frames, rates[in.small(0, 7)]);
    if (!b) return;
    for (size_t i = 0; i < b->samples.size(); ++i) b->samples[i] = static_cast<float>(((i * 7919) % 201) / 100.0 - 1.0);
}

// Decompositions left to this input: each one is honest work of up to a
// few seconds here, and sixty-four of them in a row make a slow unit, not a
// finding.
int decompsLeft = 0;

void sendTo(t_object *x, long inlet, const char *sel, const std::vector<t_atom> &args, bool sched) {
    if (!x) return;
    if (std::strncmp(sel, "decomp", 6) == 0 && decompsLeft-- <= 0) return;
    if (sched)
        maxhost::sendFromScheduler(x, inlet, gensym(sel), static_cast<short>(args.size()), args.data());
    else
        maxhost::send(x, inlet, gensym(sel), static_cast<short>(args.size()), args.data());
}

t_object *make(const char *id, const char *cls, Bytes &in) {
    if (t_object *old = maxhost::findObject(id)) maxhost::freeObject(old);
    maxhost::failNextAllocs(in.small(0, 7) == 0 ? 1 : 0);
    std::vector<t_atom> args;
    if (in.byte() & 1) args = numbers(in, 2);
    std::string err;
    return maxhost::newObject(id, cls, args, err);
}

void step(Bytes &in, KvFail kvFail) {
    static const char *sels[] = {"loadBuffer", "int",  "setWin", "setHop",   "decomp", "decompNoOut",
                                 "list",       "bang", "float",  "anything", "dsp64",  "free"};
    t_object *k = maxhost::findObject("k"), *p = maxhost::findObject("p");
    // a call's arguments are read into locals first: the order in which
    // they are evaluated is up to the compiler
    const uint8_t op = in.byte();
    const bool sched = op & 0x80;
    switch (op % 16) {
    case 0: {
        const long inlet = in.small(0, 2);
        sendTo(k, inlet, "loadBuffer", {name(in)}, sched);
        break;
    }
    case 1: {
        t_atom a;
        atom_setlong(&a, in.small(-2, 20));
        sendTo(k, 0, "int", {a}, sched);
        break;
    }
    case 2:
        sendTo(k, 0, "setWin", {num(in)}, sched);
        break;
    case 3:
        sendTo(k, 0, "setHop", {num(in)}, sched);
        break;
    case 4:
        sendTo(k, 0, in.byte() & 1 ? "decomp" : "decompNoOut", {}, sched);
        break;
    case 5: {
        const long inlet = in.small(0, 2);
        sendTo(k, inlet, "list", numbers(in, 40), sched);
        break;
    }
    case 6:
        sendTo(k, in.small(0, 2), "bang", {}, sched);
        break;
    case 7: {
        const long inlet = in.small(0, 1);
        sendTo(p, inlet, "list", numbers(in, 40), sched);
        break;
    }
    case 8: {
        const long inlet = in.small(0, 1);
        const char *sel = in.byte() & 1 ? "float" : "int";
        sendTo(p, inlet, sel, {num(in)}, sched);
        break;
    }
    case 9:
        makeBuffer(in);
        break;
    case 10: {
        const double rate = in.byte() & 1 ? 44100.0 : in.number();
        maxhost::dspOn(rate, in.small(0, 128));
        break;
    }
    case 11:
        make("k", "korvane~", in);
        break;
    case 12:
        make("p", "kv_lsProd", in);
        break;
    case 13:
        if (kvFail) kvFail(in.small(-1, 30));
        break;
    case 14: {
        std::string err;
        if (k && p) {
            const long from = in.small(0, 2);
            maxhost::connect(k, from, p, in.small(0, 1), err);
        }
        if (k && p) maxhost::connect(p, 0, k, in.small(0, 2), err);
        break;
    }
    default: {
        t_object *to = in.byte() & 1 ? k : p;
        const long inlet = in.small(0, 2);
        const char *sel = sels[in.small(0, 11)];
        sendTo(to, inlet, sel, numbers(in, 3), sched);
    }
    }
    maxhost::runDeferred();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    kvfuzz::quietHost();
    std::string err;
    maxhost::loadClass("korvane~", err);
    maxhost::loadClass("kv_lsProd", err);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    kvfuzz::quietHost();
    auto kvFail = reinterpret_cast<KvFail>(maxhost::pluginSymbol("korvane~", "kv_setAllocFailure"));
    Bytes in(data, size);
    decompsLeft = 4;
    make("k", "korvane~", in);
    make("p", "kv_lsProd", in);
    for (int steps = 0; in.more() && steps < 64; ++steps) step(in, kvFail);
    if (kvFail) kvFail(-1);
    maxhost::reset();
    return 0;
}
