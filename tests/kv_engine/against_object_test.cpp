// The engine beside korvane~: the object driven through the stand-in host
// and the engine called directly give the same lists and the same sound.
#include "engine_fixture.hpp"
#include "maxhost.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

using engtest::Record;

class AgainstObject : public ::testing::TestWithParam<int> {
protected:
    std::vector<std::vector<double>> acts, bases;
    int bangs = 0;
    t_object *obj = nullptr;

    void SetUp() override {
        maxhost::reset();
        maxhost::setPluginPath({KV_PLUGIN_DIR});
        maxhost::setConsoleSink([](const maxhost::ConsoleLine &) {});
        maxhost::setOutletSink(
            [this](const std::string &, long outlet, t_symbol *, short argc, const t_atom *argv) {
                if (outlet == 2) {
                    ++bangs;
                    return;
                }
                std::vector<double> v;
                for (short i = 0; i < argc; ++i) v.push_back(atom_getfloat(argv + i));
                (outlet == 0 ? acts : bases).push_back(v);
            });
        std::string err;
        obj = maxhost::newObject("k", "korvane~", {}, err);
        ASSERT_NE(obj, nullptr) << err;
    }
    void TearDown() override { maxhost::reset(); }

    void send(long inlet, const char *sel, std::vector<t_atom> atoms = {}) {
        maxhost::send(obj, inlet, gensym(sel), static_cast<short>(atoms.size()), atoms.data());
    }
    void sendList(long inlet, const std::vector<double> &v) {
        std::vector<t_atom> atoms(v.size());
        for (size_t i = 0; i < v.size(); ++i) atom_setfloat(&atoms[i], v[i]);
        send(inlet, "list", atoms);
    }
};

TEST_P(AgainstObject, ListsAndSoundAreTheObjects) {
    const int channels = GetParam(), frames = 30000, K = 3;
    const double rate = 22050;
    std::vector<float> s = engtest::sound(channels, frames, rate, 11);
    maxhost::Buffer *b = maxhost::createBuffer("in", channels, frames, rate);
    ASSERT_NE(b, nullptr);
    b->samples = s;
    ASSERT_NE(maxhost::createBuffer("in_out", 2, 1, rate), nullptr);

    // the object, from srand(5)
    t_atom a;
    atom_setsym(&a, gensym("in"));
    send(0, "loadBuffer", {a});
    atom_setlong(&a, K);
    send(0, "int", {a});
    atom_setfloat(&a, 0.05);
    send(0, "setWin", {a});
    std::srand(5);
    send(0, "decomp");
    ASSERT_EQ(acts.size(), size_t(K));
    ASSERT_EQ(bases.size(), size_t(K));

    // the engine, from the same start without rand()
    Record r;
    ASSERT_EQ(kve_loadSound(&r.e, s.data(), channels, frames, rate), KVE_OK);
    r.e.settings.window = static_cast<float>(0.05);
    ASSERT_EQ(kve_analyse(&r.e, nullptr), KVE_OK);
    kve_start start{KVE_START_SEEDED, 5, nullptr, nullptr};
    ASSERT_EQ(kve_factorize(&r.e, K, &start, nullptr, nullptr), KVE_OK);
    const size_t bins = r.e.numBins, nFrames = r.e.numFrames;
    for (int i = 0; i < K; ++i) {
        int k = static_cast<int>(r.e.order[i]);
        std::vector<double> h(nFrames), w(bins), v(bins);
        kve_activation(&r.e, k, h.data());
        kve_basis(&r.e, k, w.data());
        kve_encodeBasis(w.data(), static_cast<long>(bins), v.data());
        EXPECT_EQ(h, acts[i]) << i;  // bit for bit
        EXPECT_EQ(v, bases[i]) << i;
    }

    // the last two components back through the mask, then a bang
    for (int i = 1; i < K; ++i) {
        sendList(1, acts[i]);
        sendList(2, bases[i]);
        std::vector<double> w(bins);
        kve_decodeBasis(bases[i].data(), static_cast<long>(bins), w.data());
        ASSERT_EQ(kve_addLayer(&r.e, w.data(), static_cast<long>(bins), acts[i].data(),
                               static_cast<long>(acts[i].size())),
                  KVE_OK);
    }
    send(2, "bang");
    ASSERT_EQ(bangs, 1);
    ASSERT_EQ(kve_resynthesise(&r.e), KVE_OK);
    maxhost::Buffer *out = maxhost::findBuffer("in_out");
    ASSERT_NE(out, nullptr);
    ASSERT_EQ(out->channels, 2);
    ASSERT_EQ(out->frames, frames);
    const double *right = channels > 1 ? r.e.outR : r.e.outL;
    long differ = 0;
    for (int i = 0; i < frames; ++i) {
        differ += out->samples[2 * static_cast<size_t>(i)] != static_cast<float>(r.e.outL[i]);
        differ += out->samples[2 * static_cast<size_t>(i) + 1] != static_cast<float>(right[i]);
    }
    EXPECT_EQ(differ, 0);
    double peak = 0;
    for (int i = 0; i < frames; ++i) peak = std::max(peak, std::fabs(r.e.outL[i]));
    EXPECT_GT(peak, 0.01);
}

INSTANTIATE_TEST_SUITE_P(Channels, AgainstObject, ::testing::Values(1, 2));

}  // namespace
