// "dsp on": "dsp64" of every signal object, its perform routine once.
#include "host_fixture.hpp"
#include "z_dsp.h"

namespace {

struct Sig {
    t_pxobject ob;
    int performed;
    long frames, numins;
    double inputSum;
    void *user;
};

t_class *sigClass, *plainClass;
std::vector<std::string> dspCalls;

void *sigNew() {
    auto *x = static_cast<Sig *>(object_alloc(sigClass));
    if (x) z_dsp_setup(&x->ob, 2);
    return x;
}

void *plainNew() {
    return object_alloc(plainClass);
}

void perform(t_object *x, t_object *, double **ins, long numins, double **, long, long frames, long,
             void *user) {
    auto *s = reinterpret_cast<Sig *>(x);
    s->performed++;
    s->frames = frames;
    s->numins = numins;
    s->user = user;
    for (long i = 0; i < numins; ++i)
        for (long n = 0; n < frames; ++n) s->inputSum += ins[i][n] + 1.0;
}

void dsp64(Sig *x, t_object *chain, short *, double sr, long maxvec, long) {
    dspCalls.push_back(maxhost::objectId(&x->ob.z_ob) + " " + maxhost::formatFloat(sr) + " " +
                       std::to_string(maxvec));
    object_method_imp(chain, gensym("dsp_add64"), x, (void *)perform, nullptr,
                      reinterpret_cast<void *>(0x5), nullptr, nullptr, nullptr, nullptr);
}

void registerOnce() {
    if (sigClass) return;
    sigClass = class_new("t_sig", (method)sigNew, nullptr, sizeof(Sig), nullptr, 0);
    class_addmethod(sigClass, (method)dsp64, "dsp64", A_CANT, 0);
    class_dspinit(sigClass);
    class_register(gensym("box"), sigClass);
    // has the method but never called class_dspinit
    plainClass = class_new("t_plain", (method)plainNew, nullptr, sizeof(Sig), nullptr, 0);
    class_addmethod(plainClass, (method)dsp64, "dsp64", A_CANT, 0);
    class_register(gensym("box"), plainClass);
}

class Dsp : public HostTest {
protected:
    void SetUp() override {
        HostTest::SetUp();
        registerOnce();
        dspCalls.clear();
    }
};

}  // namespace

TEST_F(Dsp, SignalObjectsJoinTheChainAndRunOnce) {
    auto *s = reinterpret_cast<Sig *>(make("s", "t_sig"));
    auto *p = reinterpret_cast<Sig *>(make("p", "t_plain"));
    EXPECT_EQ(maxhost::inletCount(&s->ob.z_ob), 2u);
    EXPECT_EQ(s->ob.z_in, 2);
    maxhost::dspOn(48000.0, 32);
    EXPECT_EQ(dspCalls, std::vector<std::string>{"s 48000.0 32"});
    EXPECT_EQ(s->performed, 1);
    EXPECT_EQ(s->frames, 32);
    EXPECT_EQ(s->numins, 2);
    EXPECT_EQ(s->inputSum, 64.0);  // every input sample was 0
    EXPECT_EQ(s->user, reinterpret_cast<void *>(0x5));
    EXPECT_EQ(p->performed, 0);
    EXPECT_TRUE(lines.empty());
}
