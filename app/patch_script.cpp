#include "patch_script.hpp"

#include "atoms.hpp"
#include "maxhost.hpp"
#include "sound_files.hpp"

#include <climits>
#include <istream>
#include <ostream>

namespace korvane {

namespace {

using Words = std::vector<std::string>;

bool wordToCount(const std::string &w, long &out) {
    t_atom a = parseAtom(w);
    if (a.a_type != A_LONG || a.a_w.w_long < 0) return false;
    out = a.a_w.w_long;
    return true;
}

t_object *objectNamed(const std::string &id, std::string &err) {
    t_object *x = maxhost::findObject(id);
    if (!x) err = "no object named " + id;
    return x;
}

bool doBuffer(const Words &w, std::string &err) {
    if (w.size() == 3) return readSoundIntoBuffer(w[1], w[2], err);
    if (w.size() == 4 || w.size() == 5) {
        long channels = 0, frames = 0;
        double rate = 44100.0;
        if (!wordToCount(w[2], channels) || !wordToCount(w[3], frames)) {
            err = "buffer: channels and frames must be whole numbers of 0 or more";
            return false;
        }
        if (w.size() == 5) {
            t_atom r = parseAtom(w[4]);
            rate = atom_getfloat(&r);
            if (r.a_type == A_SYM || !(rate > 0)) {
                err = "buffer: the rate must be a number above 0";
                return false;
            }
        }
        if (!maxhost::createBuffer(w[1], channels, frames, rate)) {
            err = "buffer: cannot make a buffer of that size";
            return false;
        }
        return true;
    }
    err = "usage: buffer NAME FILE | buffer NAME CHANNELS FRAMES [RATE]";
    return false;
}

bool doNew(const Words &w, std::string &err) {
    if (w.size() < 3) {
        err = "usage: new ID CLASS [ARGS...]";
        return false;
    }
    std::vector<t_atom> args;
    for (size_t i = 3; i < w.size(); ++i) args.push_back(parseAtom(w[i]));
    return maxhost::newObject(w[1], w[2], args, err) != nullptr;
}

bool doConnect(const Words &w, std::string &err) {
    long outlet = 0, inlet = 0;
    if (w.size() != 5 || !wordToCount(w[2], outlet) || !wordToCount(w[4], inlet)) {
        err = "usage: connect ID OUTLET ID INLET";
        return false;
    }
    t_object *from = objectNamed(w[1], err);
    t_object *to = from ? objectNamed(w[3], err) : nullptr;
    return to && maxhost::connect(from, outlet, to, inlet, err);
}

// send and sched; a number in place of the selector makes an int, a float
// or a list, as a message box would.
bool doSend(const Words &w, bool fromScheduler, std::string &err) {
    long inlet = 0;
    if (w.size() < 4 || !wordToCount(w[2], inlet)) {
        err = "usage: " + w[0] + " ID INLET SELECTOR [ATOMS...]";
        return false;
    }
    t_object *x = objectNamed(w[1], err);
    if (!x) return false;
    if (static_cast<size_t>(inlet) >= maxhost::inletCount(x)) {
        err = w[1] + " has no inlet " + std::to_string(inlet);
        return false;
    }
    bool numeric = isNumberWord(w[3]);
    size_t first = numeric ? 3 : 4;
    if (w.size() - first > SHRT_MAX) {
        err = "a message holds at most " + std::to_string(SHRT_MAX) + " atoms";
        return false;
    }
    std::vector<t_atom> atoms;
    atoms.reserve(w.size() - first);
    for (size_t i = first; i < w.size(); ++i) atoms.push_back(parseAtom(w[i]));
    t_symbol *sel;
    if (!numeric)
        sel = gensym(w[3].c_str());
    else if (atoms.size() > 1)
        sel = gensym("list");
    else
        sel = gensym(atoms[0].a_type == A_LONG ? "int" : "float");
    short argc = static_cast<short>(atoms.size());
    if (fromScheduler)
        maxhost::sendFromScheduler(x, inlet, sel, argc, atoms.data());
    else
        maxhost::send(x, inlet, sel, argc, atoms.data());
    return true;
}

bool doWrite(const Words &w, std::string &err) {
    if (w.size() != 3) {
        err = "usage: write NAME FILE";
        return false;
    }
    return writeBufferAsWav(w[1], w[2], err);
}

bool doFree(const Words &w, std::string &err) {
    if (w.size() != 2) {
        err = "usage: free ID";
        return false;
    }
    t_object *x = objectNamed(w[1], err);
    if (x) maxhost::freeObject(x);
    return x != nullptr;
}

bool doDsp(const Words &w, std::string &err) {
    if (w.size() != 2 || w[1] != "on") {
        err = "usage: dsp on";
        return false;
    }
    maxhost::dspOn();
    return true;
}

}  // namespace

bool runStatement(const Words &w, std::string &err) {
    if (w.empty()) return true;
    const std::string &verb = w[0];
    bool ok;
    if (verb == "buffer") ok = doBuffer(w, err);
    else if (verb == "new") ok = doNew(w, err);
    else if (verb == "connect") ok = doConnect(w, err);
    else if (verb == "send") ok = doSend(w, false, err);
    else if (verb == "sched") ok = doSend(w, true, err);
    else if (verb == "write") ok = doWrite(w, err);
    else if (verb == "free") ok = doFree(w, err);
    else if (verb == "dsp") ok = doDsp(w, err);
    else {
        err = "unknown statement \"" + verb + "\"";
        return false;
    }
    // the main thread's idle time: whatever was queued runs now
    maxhost::runDeferred();
    return ok;
}

int runScript(std::istream &in, const std::string &name, std::ostream &errors) {
    std::string line, err;
    for (size_t number = 1; std::getline(in, line); ++number) {
        if (!runStatement(splitWords(line), err)) {
            errors << name << ':' << number << ": " << err << std::endl;
            return 1;
        }
    }
    if (in.bad()) {
        errors << name << ": cannot read the script" << std::endl;
        return 1;
    }
    return 0;
}

}  // namespace korvane
