// buffer~: references looked up by name every time, interleaved samples
// behind a lock, resizing.
#include "ext_buffer.h"
#include "host_fixture.hpp"

class Buffers : public HostTest {};

TEST_F(Buffers, AReferenceFindsABufferMadeAfterIt) {
    t_buffer_ref *ref = buffer_ref_new(nullptr, gensym("drums"));
    EXPECT_EQ(buffer_ref_getobject(ref), nullptr);
    maxhost::createBuffer("drums", 2, 5, 48000.0);
    t_buffer_obj *b = buffer_ref_getobject(ref);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(buffer_getchannelcount(b), 2);
    EXPECT_EQ(buffer_getframecount(b), 5);
    EXPECT_EQ(buffer_getsamplerate(b), 48000.0);
    maxhost::removeBuffer("drums");
    EXPECT_EQ(buffer_ref_getobject(ref), nullptr);
    buffer_ref_set(ref, gensym("other"));
    maxhost::createBuffer("other", 1, 1);
    EXPECT_NE(buffer_ref_getobject(ref), nullptr);
    EXPECT_EQ(object_free(ref), MAX_ERR_NONE);
}

TEST_F(Buffers, SamplesAreInterleavedAndWritesStay) {
    maxhost::createBuffer("b", 3, 4);
    t_buffer_ref *ref = buffer_ref_new(nullptr, gensym("b"));
    t_buffer_obj *b = buffer_ref_getobject(ref);
    float *s = buffer_locksamples(b);
    ASSERT_NE(s, nullptr);
    for (int f = 0; f < 4; ++f)
        for (int ch = 0; ch < 3; ++ch) {
            EXPECT_EQ(s[f * 3 + ch], 0.0f);  // a new buffer is silent
            s[f * 3 + ch] = static_cast<float>(10 * f + ch);
        }
    buffer_unlocksamples(b);
    const maxhost::Buffer *view = maxhost::findBuffer("b");
    EXPECT_EQ(view->samples[2 * 3 + 1], 21.0f);  // frame 2, channel 1
    EXPECT_EQ(view->samples[3 * 3 + 2], 32.0f);
    object_free(ref);
}

TEST_F(Buffers, LockingFailsForMissingOrLockedBuffers) {
    EXPECT_EQ(buffer_locksamples(nullptr), nullptr);
    t_buffer_ref *ref = buffer_ref_new(nullptr, gensym("absent"));
    EXPECT_EQ(buffer_locksamples(buffer_ref_getobject(ref)), nullptr);
    maxhost::createBuffer("empty", 1, 0);
    buffer_ref_set(ref, gensym("empty"));
    t_buffer_obj *b = buffer_ref_getobject(ref);
    float *s = buffer_locksamples(b);
    EXPECT_NE(s, nullptr);  // an empty buffer can still be locked
    EXPECT_EQ(buffer_locksamples(b), nullptr);
    buffer_unlocksamples(b);
    EXPECT_NE(buffer_locksamples(b), nullptr);
    buffer_unlocksamples(b);
    object_free(ref);
}

TEST_F(Buffers, ResizeZeroesAndIsRefusedWhileLocked) {
    maxhost::createBuffer("r", 1, 3);
    t_buffer_ref *ref = buffer_ref_new(nullptr, gensym("r"));
    t_buffer_obj *b = buffer_ref_getobject(ref);
    float *s = buffer_locksamples(b);
    s[0] = 1.0f;
    EXPECT_EQ(buffer_resize(b, 2, 8), MAX_ERR_GENERIC);
    buffer_unlocksamples(b);
    EXPECT_EQ(buffer_resize(b, 2, 8), MAX_ERR_NONE);
    EXPECT_EQ(buffer_getchannelcount(b), 2);
    EXPECT_EQ(buffer_getframecount(b), 8);
    const maxhost::Buffer *view = maxhost::findBuffer("r");
    EXPECT_EQ(view->samples, std::vector<float>(16, 0.0f));
    EXPECT_EQ(buffer_resize(b, -1, 8), MAX_ERR_GENERIC);
    EXPECT_EQ(buffer_resize(nullptr, 1, 1), MAX_ERR_INVALID_PTR);
    // made again under the same name, it is the same buffer to its users
    maxhost::createBuffer("r", 1, 2);
    EXPECT_EQ(buffer_ref_getobject(ref), b);
    EXPECT_EQ(buffer_getframecount(b), 2);
    object_free(ref);
}

TEST_F(Buffers, ResetRemovesEveryBuffer) {
    maxhost::createBuffer("a", 1, 1);
    maxhost::reset();
    EXPECT_EQ(maxhost::findBuffer("a"), nullptr);
}

TEST_F(Buffers, SizesBeyondTheMemoryLimitAreRefusedBeforeAllocating) {
    const size_t machine = maxhost::memoryLimit();
    maxhost::setMemoryLimit(4096);  // 1024 samples
    EXPECT_NE(maxhost::createBuffer("a", 2, 512), nullptr);
    EXPECT_EQ(maxhost::createBuffer("a", 2, 513), nullptr);
    EXPECT_EQ(maxhost::findBuffer("a")->frames, 512) << "a refused remake keeps the buffer";
    t_buffer_ref *ref = buffer_ref_new(nullptr, gensym("a"));
    EXPECT_EQ(buffer_resize(buffer_ref_getobject(ref), 1, 1025), MAX_ERR_GENERIC);
    EXPECT_EQ(buffer_resize(buffer_ref_getobject(ref), 1, 1024), MAX_ERR_NONE);
    // a reference its maker forgot goes at the reset, and so does the limit
    maxhost::reset();
    EXPECT_EQ(maxhost::memoryLimit(), machine);
    EXPECT_EQ(object_free(ref), MAX_ERR_INVALID_PTR);
}
