#include "remix/remix.hpp"

#include "files/compact_json.hpp"
#include "cli/component_list.hpp"
#include "files/factors_record.hpp"
#include "files/outputs.hpp"
#include "cli/progress.hpp"
#include "remix/remix_record.hpp"
#include "decompose/resynth_pass.hpp"
#include "files/name_bytes.hpp"
#include "files/stdin_sound.hpp"
#include "files/staged_set.hpp"
#include "files/file_hash.hpp"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>

namespace korvane {

namespace {

using json = nlohmann::ordered_json;

void fail(const std::string &msg) {
    std::fprintf(stderr, "korvane remix: %s\n", msg.c_str());
}

// What one remix works on, gathered before anything is written.
struct Remix {
    const RemixOptions &opt;
    json record;
    std::string recordPath, recordDir;     // components.json and its folder
    std::vector<std::vector<int>> groups;  // numbers from 1
    std::string input, name;
    SoundData sound;
    Factors factors;
    SampleFormat format = SampleFormat::Pcm24;
    std::string outDir;  // where the files went
};

// The record, the groups and the checked input; 0 or the exit status.
int readRun(Remix &r) {
    std::string err;
    if (!readRecord(r.opt.dir, r.record, r.recordPath, r.recordDir, err)) {
        fail(err);
        return 1;
    }
    const int K = static_cast<int>(r.record["components"].size());
    if (!parseGroups(r.opt.groups, K, r.groups, err)) {
        fail("--group: " + err);
        return 2;
    }
    if (!findInput(r.record, r.opt.input, r.input, err) || !readSound(r.input, r.sound, err) ||
        !chooseFormat(r.opt.format, r.input, r.format, err)) {
        fail(err);
        return 1;
    }
    if (!readFactors(r.record, r.sound.sampleRate, r.sound.frames, r.sound.channels, r.factors, err)) {
        fail("'" + r.recordPath + "' cannot be remixed: " + err);
        return 1;
    }
    const std::string recorded = recordedName(r.record, "input");
    std::string stem = recorded == kStdinName
                           ? std::string(kStdinStem)
                           : std::filesystem::path(recorded.empty() ? r.input : recorded).stem().string();
    r.name = stem.empty() ? "sound" : stem;
    return 0;
}

// remix.json: what each group file holds, and what it was made from.
json remixRecord(const Remix &r, const std::vector<PassFile> &files, double gain, StagedSet &out) {
    json groups = json::array();
    for (size_t g = 0; g < files.size(); ++g) groups.push_back({{"file", files[g].file}, {"components", r.groups[g]}});
    FileFingerprint input;
    std::string err;
    fingerprintFile(r.input, input, err);
    std::error_code ec;
    std::string record = std::filesystem::canonical(r.recordPath, ec).string();
    json j;
    j["generator"] = kGenerator;
    j["version"] = KORVANE_VERSION;
    j["record"] = ec ? r.recordPath : record;
    j["input"] = r.input;
    j["input_size"] = input.size;
    j["input_hash"] = hashText(input.hash);
    j["file_format"] = formatLabel(r.format);
    j["common_gain"] = gain;
    j["groups"] = groups;
    j["written"] = stampsJson(out.stamps());
    return j;
}

// Group files of the input's name: an earlier remix's that this one does not
// make again are its to remove.
bool remixFileName(const std::string &name, const std::string &stem) {
    return name.compare(0, stem.size() + 6, stem + "-group") == 0;
}

// The group files, and remix.json beside them.
bool writeGroups(Remix &r, StagedSet &out, std::string &err) {
    std::vector<PassFile> files;
    for (size_t g = 0; g < r.groups.size(); ++g) {
        std::string file = groupFile(r.name, g, r.groups.size(), fileExtension(r.format));
        files.push_back({file, out.stage(file), {}, -1});
        for (int n : r.groups[g])
            for (int i : r.factors.innerOf(n - 1)) files.back().comps.push_back(i);
    }
    const Factors &f = r.factors;
    PassSource src{&f.shape,
                   soundDataSource(r.sound),
                   f.W.data(),
                   f.H.data(),
                   f.inner,
                   r.sound.sampleRate,
                   "'" + r.opt.dir + "/components.json'"};
    src.maskPower = f.maskPower;
    // the precision of the run that made the factors
    const json *settings = r.record.contains("settings") ? &r.record["settings"] : nullptr;
    const bool single = !(settings && settings->is_object() && settings->value("precision", json()) == "double");
    // and its filter: records from before the spatial filter used the masks
    const kve_filter filter = r.record.value("mask", json()) == "spatial" ? KVE_SPATIAL : KVE_MASKS;
    PassSettings set{r.format, r.opt.quiet, !r.opt.quiet && stderrIsTerminal(), nullptr, single, filter};
    double gain = 1;
    if (!writeResynthesis(src, files, set, gain, err)) return false;
    out.flushAhead();
    const std::string stem = r.name;
    out.setRecord("remix.json", [stem](const std::string &name) { return remixFileName(name, stem); });
    std::ofstream rec(out.stage("remix.json"));
    rec << dumpCompact(remixRecord(r, files, gain, out)) << '\n';
    rec.close();
    if (!rec) err = "cannot write '" + out.finalPath("remix.json") + "'";
    return static_cast<bool>(rec);
}

int remixOnce(const RemixOptions &opt, Remix &r) {
    if (int status = readRun(r)) return status;
    StagedSet out(opt.outDir.empty() ? r.recordDir : opt.outDir);
    std::string err;
    if (!out.prepare(err)) {
        fail(err);
        return 1;
    }
    FileFingerprint input;
    if (fingerprintFile(r.input, input, err)) out.protect(static_cast<dev_t>(input.dev), static_cast<ino_t>(input.ino));
    if (!writeGroups(r, out, err) || !out.commit(err)) {
        fail(err);
        return 1;
    }
    r.outDir = out.dir();
    return 0;
}

}  // namespace

int runRemix(const RemixOptions &opt) {
    auto t0 = std::chrono::steady_clock::now();
    Remix r{opt, {}, {}, {}, {}, {}, {}, {}, {}, SampleFormat::Pcm24, {}};
    if (opt.groups.empty()) {
        fail("at least one --group is needed, e.g. --group 1,3");
        return 2;
    }
    try {
        if (int status = remixOnce(opt, r)) return status;
    } catch (const std::exception &e) {
        fail(describeFailure(r.recordPath.empty() ? opt.dir : r.recordPath, e));
        return 1;
    }
    if (!opt.quiet) {
        const size_t n = r.groups.size();
        std::printf("%zu group%s of %s in %s/ (resynthesis %.1f s)\n", n, n == 1 ? "" : "s", r.input.c_str(),
                    r.outDir.c_str(), std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
        std::fflush(stdout);
    }
    return 0;
}

Command remixCommand() {
    return Command{
        "remix", "Mix groups of an earlier decomposition's components again, without factorising",
        [](CLI::App &cmd) -> CommandRun {
            auto opt = std::make_shared<RemixOptions>();
            cmd.add_option("DIR", opt->dir, "Output folder of an earlier korvane decompose run, or its components.json")
                ->required();
            cmd.add_option("--group", opt->groups,
                           "Components mixed into NAME-group.wav; repeated, NAME-group1.wav ...")
                ->allow_extra_args(false);
            cmd.add_option("-o,--out", opt->outDir, "Output folder (default: DIR)");
            cmd.add_option("--input", opt->input, "The decomposed sound, when it has moved (checked by size and hash)");
            cmd.add_option("--format", opt->format, "Sample format of the sound files (same: the input's)")
                ->check(CLI::IsMember(formatNames()))
                ->capture_default_str();
            cmd.add_flag("-q,--quiet", opt->quiet, "Print nothing but errors");
            return [opt] { return runRemix(*opt); };
        }};
}

}  // namespace korvane
