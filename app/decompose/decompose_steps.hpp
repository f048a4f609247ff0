// The steps of `korvane decompose`, each over one Run: options, load,
// analyse, factorise, resynthesise and write, picture, JSON.
#pragma once

#include <future>
#include <memory>
#include <string>
#include <vector>

#include "decompose/decompose.hpp"
#include "files/file_hash.hpp"
#include "files/large_buffer.hpp"
#include "files/read_ahead.hpp"
#include "kv_engine.h"
#include "files/staged_set.hpp"
#include "files/outputs.hpp"
#include "page/page_encoder.hpp"

namespace korvane {

// One component as the outputs show it, in the engine's order.
struct Component {
    std::vector<double> activation;  // largest value of all components 1
    std::vector<double> listForm;    // the basis as -log(1 + w)
    std::vector<double> shown;       // the basis as read back from the list form
    double centroidHz = 0;
    double peakHz = 0;       // frequency of the basis's largest value
    double energyShare = 0;  // of the sum of all components' energy, 0..1
    std::string pageAudio;   // its sound for the page, encoded (with --page)
};

struct Run {
    const DecomposeOptions &opt;
    std::vector<int> chosen;               // component numbers from 1
    std::vector<std::vector<int>> groups;  // each --group's numbers, in order
    SampleFormat format = SampleFormat::Pcm16;
    bool progress = false;  // draw progress bars
    SoundData sound;
    std::shared_ptr<SoundStream> stream;     // a large sound, read from its file pass by pass (no samples held)
    std::shared_ptr<ReadAhead> streamAhead;  // the stream read a block ahead of the engine (soundSource)
    std::string name;                        // the input's base name
    kve_streamShape shape{};                 // the padded framing of the analysis
    LargeVector<float> V;                    // rows x frames, as floats (filled by the analysis)
    kve_model model{};                       // what the factorisation lowers
    int pool = 0;                            // components factorised before grouping; 0: none
    bool poolFromFit = false;                // no pool given: the engine may choose one from the fit (kve_richPool)
    double bandsHz = 0;                      // the first rounds on bands from this (kve_bandLayout); 0: none
    std::vector<int> bandOf;                 // each row's band; empty: no bands
    int bands = 0;                           // how many
    int inner = 0;                           // rank-one components in W and H
    std::vector<double> W, H;                // rows x inner, inner x frames
    std::vector<std::vector<int>> members;   // each component's inner ones; empty: component k is inner k
    std::vector<double> spanBases;           // with --span: each component's span spectra, shown (K x span x bins)
    std::vector<Component> components;
    std::unique_ptr<PageAudioEncoder> pageAudio;  // the page's sounds being encoded (with --page)
    std::string pageOriginal;                     // the input's sound for the page, encoded
    std::vector<std::string> written;             // files made, in writing order
    FileFingerprint inputPrint;                   // the input as read (size 0 and no hash for a pipe)
    std::future<std::string> inputHashing;        // its bytes being hashed beside the run: "" or why not
    double factorSeconds = 0, resynthSeconds = 0;
    // what components.json records of the factorisation and the files
    int rounds = 200;                 // most rounds (resolveModel)
    int warmRounds = 0;               // with --span: the one-frame model's rounds first (kve_spanWarmModel)
    kve_model warmModel{};            // that one-frame model
    int iterationsRun = 0;            // rounds actually run
    int roundsRelaxed = 0;            // of them, run over-relaxed
    double divergence = 0;            // final cost of the factorisation
    std::string start = "nndsvda";    // how W and H started
    int starts = 1;                   // fits made (more for mostly held sounds)
    int startKept = 0;                // the fit kept: 0 from `start`, i from a random start, seed + i
    std::string channelMode = "sum";  // stereo analysed as "sum" or "stack"
    std::string maskKind = "ratio";   // how components are cut from the mix: "ratio" or "spatial"
    kve_filter filter = KVE_MASKS;    // the same for the engine (resolveModel)
    double maskPower = 1;             // the masks share (w_k h_k)^maskPower (factorise)
    double commonGain = 1.0;          // applied to every file of the run
    unsigned seedUsed = 1;            // the seed a repeat would pass
    bool seedDrawn = false;           // seedUsed holds the run's seed (a second factorisation keeps it)
    std::string precision;            // of the rounds and the resynthesis: --precision's, or
                                      // "double" where single ran out of range

    explicit Run(const DecomposeOptions &o) : opt(o), precision(o.precision) {}
};

// The most components --pool factorises.
constexpr int kMaxPool = 256;
// "kl", "euclidean", "is" or "beta" (then the record gives the value)
std::string costName(const kve_model &m);
// Component k's inner components (from 0): itself when nothing is grouped.
std::vector<int> innerOf(const Run &run, int k);

// The sound (held, or read from its file) as a source of all its channels.
kve_source soundSource(const Run &run);
// V as the picture and page show it: bins x frames, stacked channels summed.
std::vector<double> shownMagnitude(const Run &run);

// Each returns 0 to go on, else the exit status (the message is shown).
int checkOptions(Run &run);
int chooseModel(Run &run);    // checks the model options
void resolveModel(Run &run);  // run.model and run.pool, once the framing is known
int loadSound(Run &run, StagedSet &out);
// the input's hash waited for: false, said, when its bytes could not be read
bool inputHashed(Run &run);
int analyseSound(Run &run);
// onRound (when given) sees each round instead of the progress bar, and
// may stop the rounds (1, no message).
int factorise(Run &run, kve_progressFn onRound = nullptr, void *user = nullptr);
// With --page the page's sounds go on being encoded after it returns, until
// finishPageAudio (writeListeningPage) waits for them.
int resynthesiseAndWrite(Run &run, StagedSet &out);
int finishPageAudio(Run &run);
int drawPicture(Run &run, StagedSet &out);
int writeListeningPage(Run &run, StagedSet &out);
int writeComponentsJson(Run &run, StagedSet &out);

// "korvane decompose: MSG" on standard error.
void fail(const std::string &msg);
// A console line of the pipeline, shown with -v.
void say(const Run &run, const char *format, ...) __attribute__((format(printf, 2, 3)));

// The output folder: -o, else one named after the input.
std::string outputFolder(const DecomposeOptions &opt);
// The input's base name that the files are named by ("stdin" for "-").
std::string runName(const DecomposeOptions &opt);
// NAME-cNN.wav (or another extension)
std::string componentFile(const std::string &name, int number, const char *ext = ".wav");

}  // namespace korvane
