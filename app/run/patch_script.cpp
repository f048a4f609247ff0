#include "run/patch_script.hpp"

#include "run/atoms.hpp"
#include "run/plugin_dirs.hpp"
#include "run/sound_files.hpp"

#include <algorithm>
#include <climits>
#include <iostream>

namespace korvane {

namespace {

using Words = std::vector<std::string>;
constexpr double kDefaultRate = 44100.0;

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

bool doDsp(const Words &w, std::string &err) {
    if (w.size() != 2 || w[1] != "on") {
        err = "usage: dsp on";
        return false;
    }
    maxhost::dspOn();
    return true;
}

// A console line as the script's report shows it.
std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

}  // namespace

ScriptRun::ScriptRun(std::string name, std::ostream &errors, ScriptOptions options)
    : name_(std::move(name)), errors_(errors), options_(std::move(options)) {
    maxhost::setConsoleSink([this](const maxhost::ConsoleLine &line) { onConsole(line); });
    maxhost::setOutletSink([this](const std::string &obj, long outlet, t_symbol *sel, short argc, const t_atom *argv) {
        if (options_.outlet) options_.outlet(obj, outlet, sel, argc, argv);
        onOutlet(obj, outlet);
    });
}

ScriptRun::~ScriptRun() {
    maxhost::setConsoleSink(nullptr);
    maxhost::setOutletSink(nullptr);
}

void ScriptRun::onConsole(const maxhost::ConsoleLine &line) {
    if (options_.console) {
        options_.console(line);
    } else if (!line.error) {
        std::cout << line.text << '\n';
        std::cout.flush();
    }
    if (!line.error) return;
    ++objectErrors_;
    std::string text = trimmed(line.text);
    errors_ << name_;
    if (line_) errors_ << ':' << line_;
    errors_ << ": " << label(text) << text << std::endl;
}

// "CLASS: " unless the text names its class already
std::string ScriptRun::label(const std::string &text) const {
    for (const auto &c : classes_)
        if (text.rfind(c.second + ": ", 0) == 0) return std::string();
    return speaker_.empty() ? std::string() : speaker_ + ": ";
}

// The objects' own errors do not say who posted them; a message on its way
// to objects of one class makes that class the likely speaker.
void ScriptRun::onOutlet(const std::string &obj, long outlet) {
    auto wire = wires_.find({obj, outlet});
    if (wire == wires_.end()) return;
    std::string to;
    for (const std::string &id : wire->second) {
        auto c = classes_.find(id);
        if (c == classes_.end() || c->second == "print") continue;
        if (!to.empty() && to != c->second) return;
        to = c->second;
    }
    if (!to.empty()) speaker_ = to;
}

bool ScriptRun::doBuffer(const Words &w, std::string &err) {
    if (w.size() == 3) {
        forget(w[1]);
        if (!readSoundIntoBuffer(w[1], w[2], err)) return false;
        soundRead(w[1]);
        return true;
    }
    if (w.size() != 4 && w.size() != 5) {
        err = "usage: buffer NAME FILE | buffer NAME CHANNELS FRAMES [RATE]";
        return false;
    }
    long channels = 0, frames = 0;
    double rate = firstRate_.value_or(kDefaultRate);
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
    forget(w[1]);
    if (!maxhost::createBuffer(w[1], channels, frames, rate)) {
        err = "buffer: cannot make a buffer of that size";
        return false;
    }
    if (w.size() == 4 && !firstRate_) rateless_.push_back(w[1]);
    return true;
}

// A buffer made without a rate takes the rate of the first sound read.
void ScriptRun::soundRead(const std::string &buffer) {
    if (firstRate_) return;
    const maxhost::Buffer *b = maxhost::findBuffer(buffer);
    if (!b) return;
    firstRate_ = b->rate;
    for (const std::string &name : rateless_)
        if (maxhost::Buffer *waiting = maxhost::findBuffer(name)) waiting->rate = *firstRate_;
    rateless_.clear();
}

void ScriptRun::forget(const std::string &buffer) {
    rateless_.erase(std::remove(rateless_.begin(), rateless_.end(), buffer), rateless_.end());
}

bool ScriptRun::doNew(const Words &w, std::string &err) {
    if (w.size() < 3) {
        err = "usage: new ID CLASS [ARGS...]";
        return false;
    }
    std::vector<t_atom> args;
    for (size_t i = 3; i < w.size(); ++i) args.push_back(parseAtom(w[i]));
    speaker_ = w[2];
    if (!maxhost::newObject(w[1], w[2], args, err)) {
        err = withPluginSearch(err);
        return false;
    }
    classes_[w[1]] = w[2];
    return true;
}

bool ScriptRun::doConnect(const Words &w, std::string &err) {
    long outlet = 0, inlet = 0;
    if (w.size() != 5 || !wordToCount(w[2], outlet) || !wordToCount(w[4], inlet)) {
        err = "usage: connect ID OUTLET ID INLET";
        return false;
    }
    t_object *from = objectNamed(w[1], err);
    t_object *to = from ? objectNamed(w[3], err) : nullptr;
    if (!to || !maxhost::connect(from, outlet, to, inlet, err)) return false;
    wires_[{w[1], outlet}].push_back(w[3]);
    return true;
}

bool ScriptRun::doFree(const Words &w, std::string &err) {
    if (w.size() != 2) {
        err = "usage: free ID";
        return false;
    }
    t_object *x = objectNamed(w[1], err);
    if (!x) return false;
    maxhost::freeObject(x);
    classes_.erase(w[1]);
    for (auto it = wires_.begin(); it != wires_.end();) {
        auto &to = it->second;
        to.erase(std::remove(to.begin(), to.end(), w[1]), to.end());
        it = it->first.first == w[1] || to.empty() ? wires_.erase(it) : std::next(it);
    }
    return true;
}

bool ScriptRun::dispatch(const Words &w, std::string &err) {
    const std::string &verb = w[0];
    if (verb == "buffer") return doBuffer(w, err);
    if (verb == "new") return doNew(w, err);
    if (verb == "connect") return doConnect(w, err);
    if (verb == "send") return doSend(w, false, err);
    if (verb == "sched") return doSend(w, true, err);
    if (verb == "write") return doWrite(w, err);
    if (verb == "free") return doFree(w, err);
    if (verb == "dsp") return doDsp(w, err);
    err = "unknown statement \"" + verb + "\"";
    return false;
}

bool ScriptRun::statement(const Words &w, std::string &err) {
    if (w.empty()) return true;
    auto addressed = w.size() > 1 ? classes_.find(w[1]) : classes_.end();
    speaker_ = addressed == classes_.end() ? std::string() : addressed->second;
    const std::size_t before = objectErrors_;
    bool ok = dispatch(w, err);
    // the main thread's idle time: whatever was queued runs now
    maxhost::runDeferred();
    if (ok && options_.strict && objectErrors_ > before) {
        err = "an object reported an error (--strict)";
        return false;
    }
    return ok;
}

int ScriptRun::run(std::istream &in) {
    std::string line, err;
    for (line_ = 1; std::getline(in, line); ++line_) {
        if (!statement(splitWords(line), err)) {
            errors_ << "korvane run: " << name_ << ':' << line_ << ": " << err << std::endl;
            line_ = 0;
            speaker_.clear();
            return 1;
        }
    }
    line_ = 0;
    speaker_.clear();
    if (in.bad()) {
        errors_ << "korvane run: " << name_ << ": cannot read the script" << std::endl;
        return 1;
    }
    return 0;
}

int runScript(std::istream &in, const std::string &name, std::ostream &errors) {
    ScriptRun run(name, errors);
    return run.run(in);
}

}  // namespace korvane
