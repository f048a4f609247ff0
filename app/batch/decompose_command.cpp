// `korvane decompose IN... [options]`: the options, then one run or a batch.
#include "batch/decompose_command.hpp"

#include "batch/batch.hpp"
#include "decompose/decompose.hpp"
#include "files/sample_format.hpp"

#include <CLI/CLI.hpp>

#include <memory>

namespace korvane {

Command decomposeCommand() {
    return Command{
        "decompose", "Split a sound file into K components, each written as a sound", [](CLI::App &cmd) -> CommandRun {
            auto opt = std::make_shared<DecomposeOptions>();
            cmd.add_option("IN", opt->inputs,
                           "Sound files (WAV, AIFF, FLAC, OGG, ...) or folders of them to decompose; - reads one "
                           "from standard input")
                ->required();
            cmd.add_option("-k,--components", opt->components, "Number of components (1-64)")->capture_default_str();
            cmd.add_option("--win", opt->win, "Analysis window length in seconds (default 0.08)");
            cmd.add_option("--fft", opt->fft,
                           "FFT size, a power of two at or above the window (default: the next one); the window is "
                           "zero-padded to it");
            cmd.add_option("--hop", opt->hop, "Hop as a fraction of the window (default 0.25)");
            cmd.add_option("-o,--out", opt->outDir,
                           "Output folder (default: a folder named after the input; for several, korvane-out)");
            cmd.add_option("--jobs", opt->jobs, "Inputs decomposed side by side (default: one per processor)");
            cmd.add_option("--only", opt->only, "Components to write, e.g. 1,3-4 (numbered from 1, brightest first)");
            cmd.add_option("--group", opt->groups,
                           "Components mixed through one mask into NAME-group.wav; repeated, NAME-group1.wav ...")
                ->allow_extra_args(false);
            cmd.add_flag("--plot", opt->plot, "Also draw decomposition.png");
            cmd.add_flag("--page", opt->page, "Also write index.html, a page to hear and choose the components");
            cmd.add_option("--seed", opt->seed, "Seed of the factorisation's start (default: from the clock)");
            cmd.add_option("--start", opt->start, "Start of the factorisation")
                ->check(CLI::IsMember({"nndsvda", "random"}))
                ->capture_default_str();
            cmd.add_option("--iterations", opt->iterations,
                           "Most rounds of the factorisation (default 200 plain rounds' worth: 115 of the default "
                           "model's relaxed rounds, 200 with --plain or --relax 1; with --bands 10 more on every "
                           "bin; with --span, 50 convolutive rounds after the default model's, and as many after the "
                           "fit of a kit's hits)");
            cmd.add_option("--tol", opt->tol,
                           "Stop when 10 rounds improve the divergence by less than this fraction (0: never)")
                ->capture_default_str();
            cmd.add_option("--channels", opt->channels,
                           "Stereo analysed as the channels' sum or stacked (default stack)")
                ->check(CLI::IsMember({"sum", "stack"}));
            cmd.add_option("--format", opt->format, "Sample format of the sound files (same: the input's)")
                ->check(CLI::IsMember(formatNames()))
                ->capture_default_str();
            cmd.add_option("--bases", opt->bases, "Start from the bases of earlier runs: A/components.json or A,...")
                ->delimiter(',');
            cmd.add_flag("--fix-bases", opt->fixBases, "Keep the given bases fixed; learn only activations");
            cmd.add_option("--extra", opt->extra, "Free components beside the given bases")->capture_default_str();
            cmd.add_option("--cost", opt->cost, "Cost the factorisation lowers (is: Itakura-Saito; default kl)")
                ->check(CLI::IsMember({"kl", "euclidean", "is"}));
            cmd.add_option("--beta", opt->beta,
                           "Lower the beta-divergence of this beta instead (0 is, 1 kl, 2 euclidean)");
            cmd.add_option("--sparse-h", opt->l1H, "L1 penalty on the activations, sparser in time (default 0)");
            cmd.add_option("--sparse-w", opt->l1W, "L1 penalty on the bases, sparser spectra (default 0)");
            cmd.add_option("--l2-h", opt->l2H, "L2 penalty on the activations (default 0)");
            cmd.add_option("--l2-w", opt->l2W, "L2 penalty on the bases (default 0)");
            cmd.add_option(
                "--continuity", opt->continuity,
                "Temporal continuity of the activations, for held sounds (default 0.02 on one row a bin, else 0)");
            cmd.add_option("--span", opt->span,
                           "Frames of each basis; above 1, convolutive bases, started from the default model's "
                           "factorisation, costing about 1 + span / 3 times its time (with --plain from the start, "
                           "about span times; default 1; on one row a bin, 6 when the k components fitted first all "
                           "rise like hits, as a kit's pieces do)");
            cmd.add_option(
                "--pool", opt->pool,
                "Factorise this many components and group them into -k sources, costing about pool/k "
                "times the rounds (0: none; default: 3 k, at most k + 6, for stacked channels; on one row a bin, "
                "4 k when k components alone leave much of the sound unexplained, as a tune or a voice "
                "does, after that first factorisation; else 0)");
            cmd.add_option("--relax", opt->relax,
                           "Over-relaxed rounds: each update's exponent times this, 1 to 2, a round going about as "
                           "many times as far (default 1.75; 1 with --plain; bases of one frame only)");
            cmd.add_option(
                "--bands", opt->bands,
                "Run the rounds but the last 10 on bands of bins, one bin wide below twice this "
                "frequency in Hz and twice as wide each octave above, about 3 times as fast (0: every "
                "round on every bin; default 400 for stacked channels, else 250; the model's rounds on bases "
                "of one frame only)");
            cmd.add_option("--channel-spectra", opt->channelSpectra,
                           "Stacked channels: shared, each component one spectrum with a gain per channel (a "
                           "panned source; the default), or own, a spectrum per channel (with --plain)")
                ->check(CLI::IsMember({"shared", "own"}));
            cmd.add_option("--filter", opt->filter,
                           "Two stacked channels: spatial, each component cut from both channels together as a "
                           "source at its place (the default; the resynthesis about 1.1 times as long), or masks, "
                           "each channel by its own ratio masks (with --plain)")
                ->check(CLI::IsMember({"spatial", "masks"}));
            cmd.add_flag("--plain", opt->plain, "Plain NMF (kl, no pool): every model option not given is off");
            cmd.add_option("--precision", opt->precision,
                           "Keep the factors in single precision during the rounds (convolutive bases too) and "
                           "resynthesise in it, about twice as fast, or in double")
                ->check(CLI::IsMember({"single", "double"}))
                ->capture_default_str();
            cmd.add_option("--order", opt->order, "Order of the components (after any given ones)")
                ->check(CLI::IsMember({"centroid", "peak", "energy", "onset"}))
                ->capture_default_str();
            cmd.parse_complete_callback([opt, &cmd] { opt->componentsSet = cmd.count("--components") > 0; });
            cmd.add_flag("-q,--quiet", opt->quiet, "Print nothing but errors and warnings about the input");
            cmd.add_flag("-v,--verbose", opt->verbose, "Show each step of the analysis and factorisation");
            return [opt, &cmd] { return runDecomposeInputs(*opt, forwardedOptions(cmd)); };
        }};
}

}  // namespace korvane
