// The sound file read, and the output folder made ready.
#include "decompose/decompose_steps.hpp"
#include "files/stdin_sound.hpp"

#include "files/file_hash.hpp"
#include "files/sound_check.hpp"
#include "files/tool_record.hpp"

#include <sys/stat.h>

#include <cstdlib>
#include <future>
#include <system_error>

namespace korvane {

namespace {

// Browsers play Web Audio at 3000 Hz and above; a page of a slower sound
// could not play.
constexpr int kPageLowestRate = 3000;

std::string baseName(const std::string &path) {
    std::string name = path;
    while (name.size() > 1 && name.back() == '/') name.pop_back();
    size_t slash = name.find_last_of('/');
    if (slash != std::string::npos) name = name.substr(slash + 1);
    size_t dot = name.find_last_of('.');
    if (dot != std::string::npos && dot > 0) name = name.substr(0, dot);
    return name.empty() ? std::string("sound") : name;
}

// Sounds above this many bytes as floats are read from the file pass by
// pass: KORVANE_STREAM_ABOVE (for tests), else 64 MB.
double streamAbove() {
    const char *v = std::getenv("KORVANE_STREAM_ABOVE");
    return v ? std::strtod(v, nullptr) : 64e6;
}

bool streamed(const Run &run) {
    return claimedSoundBytes(run.opt.input) > streamAbove();
}

bool openStream(Run &run, std::string &err) {
    run.stream = std::make_shared<SoundStream>();
    if (!run.stream->open(run.opt.input, err)) return false;
    if (run.opt.page) {
        err = "--page holds the whole sound in the page, and '" + shownInput(run.opt) +
              "' is read from its file as too large to hold; leave out --page";
        return false;
    }
    run.sound.channels = run.stream->channels;
    run.sound.sampleRate = run.stream->sampleRate;
    run.sound.frames = run.stream->frames;
    SoundStream *s = run.stream.get();
    run.streamAhead = std::make_shared<ReadAhead>(
        [s](long start, long count, double *const *ch) { return s->read(start, count, s->channels, ch); }, s->channels,
        s->frames);
    return true;
}

// A folder's record is replaced only when this tool wrote it for an input of
// the same name (whose files this run's would replace); any other record is
// another run's, or no run's, and stays.
int checkEarlierRecord(const Run &run, const std::string &path) {
    std::vector<FileStamp> stamps;
    RecordKind kind = readToolRecord(path, stamps);
    if (kind == RecordKind::Missing) return 0;
    nlohmann::ordered_json j;
    std::string err;
    if (kind == RecordKind::Ours && readJsonObject(path, j, err)) {
        const std::string input = j.contains("input") && j["input"].is_string() ? j["input"].get<std::string>() : "";
        if (baseName(input) == run.name) return 0;
        fail("'" + path + "' is the record of the run on '" + input +
             "' and is left as it is; choose another folder with -o");
        return 1;
    }
    fail("'" + path +
         "' was not written by korvane (or has changed) and is left as it is; choose another folder with -o");
    return 1;
}

}  // namespace

bool inputHashed(Run &run) {
    if (!run.inputHashing.valid()) return true;
    const std::string why = run.inputHashing.get();
    if (!why.empty()) fail(why);
    return why.empty();
}

std::string outputFolder(const DecomposeOptions &opt) {
    return opt.outDir.empty() ? runName(opt) : opt.outDir;
}

std::string runName(const DecomposeOptions &opt) {
    return opt.fromStdin ? std::string(kStdinStem) : baseName(opt.input);
}

int loadSound(Run &run, StagedSet &out) {
    std::string err;
    // the input as the run reads it: the record keeps this, and the run is
    // not committed unless it is still so at the end
    struct stat st;
    if (stat(run.opt.input.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        const int fd = openFingerprint(run.opt.input, run.inputPrint, err);
        if (fd < 0) {
            fail(err);
            return 1;
        }
        // the bytes are hashed on a thread of their own while the sound is
        // read and analysed (an hour's 635 MB took a second on its own)
        auto hash = [fd, path = run.opt.input, print = &run.inputPrint] {
            std::string why;
            return hashOpened(fd, path, *print, why) ? std::string() : why;
        };
        try {
            run.inputHashing = std::async(std::launch::async, hash);
        } catch (const std::system_error &) {
            run.inputHashing = std::async(std::launch::deferred, hash);
        }
    }
    if (!(streamed(run) ? openStream(run, err) : readSound(run.opt.input, run.sound, err))) {
        fail(run.opt.fromStdin ? stdinWording(err, run.opt.input) : err);
        return 1;
    }
    if (run.opt.page && run.sound.sampleRate < kPageLowestRate) {
        fail("--page: '" + shownInput(run.opt) + "' has " + std::to_string(run.sound.sampleRate) +
             " samples a second and a browser plays " + std::to_string(kPageLowestRate) +
             " or more, so its page could not play; leave out --page (or resample the sound)");
        return 1;
    }
    // said even with -q: the results are of less than the file promised
    const std::string cut = wavCutShort(run.opt.input);
    if (!cut.empty()) fail("warning: " + cut);
    run.name = runName(run.opt);
    if (int status = checkEarlierRecord(run, out.finalPath("components.json"))) return status;
    if (!out.prepare(err)) {
        fail(err);
        return 1;
    }
    out.protect(static_cast<dev_t>(run.inputPrint.dev), static_cast<ino_t>(run.inputPrint.ino));
    const SoundData &s = run.sound;
    say(run, "read buffer: %ld channels, %ld samples, %f sr", static_cast<long>(s.channels), s.frames,
        static_cast<double>(s.sampleRate));
    if (s.channels < 1) {
        fail("'" + shownInput(run.opt) + "' is too long or holds no channel");
        return 1;
    }
    return 0;
}

}  // namespace korvane
