// The page's sounds encoded piecewise on worker threads must come out as the
// same bytes as each sound encoded whole, whatever the blocks and their order
// across sounds, and also after the encoder is started again.
#include "page/page.hpp"
#include "page/page_encoder.hpp"
#include "ogg_pages.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace {

using korvane::PageAudioEncoder;

std::vector<float> tone(long frames, int channels, double hz, int rate) {
    std::vector<float> v(static_cast<size_t>(frames) * channels);
    for (long i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c)
            v[static_cast<size_t>(i * channels + c)] =
                static_cast<float>(0.3 * std::sin(6.283185307179586 * hz * (c + 1) * i / rate));
    return v;
}

std::string whole(const std::vector<float> &s, int channels, int rate, int bitrate) {
    std::string ogg, err;
    EXPECT_TRUE(korvane::encodePageAudio(s.data(), static_cast<long>(s.size()) / channels, channels,
                                         rate, bitrate, ogg, err))
        << err;
    const std::string bare = kvtest::oggWithoutSerials(ogg);
    EXPECT_FALSE(bare.empty());
    return bare;
}

TEST(PageEncoder, BlocksOfAnySizeGiveTheBytesOfTheSoundEncodedWhole) {
    const int rate = 22050;
    const std::vector<float> s = tone(30000, 2, 440, rate);
    const std::string want = whole(s, 2, rate, 48000);
    // one frame at a time across a block's edge, a block and a frame, then the rest
    for (const std::vector<long> &sizes :
         {std::vector<long>{1, 4095, 1, 1}, {4097, 3, 8191}, {30000}, {0, 29999}}) {
        korvane::OpusStream v;
        std::string err, ogg;
        ASSERT_TRUE(v.open(2, rate, 48000, 1, err)) << err;
        long at = 0;
        for (long n : sizes) {
            ASSERT_TRUE(v.add(s.data() + at * 2, n, err)) << err;
            at += n;
        }
        ASSERT_TRUE(v.add(s.data() + at * 2, 30000 - at, err)) << err;
        ASSERT_TRUE(v.finish(ogg, err)) << err;
        EXPECT_EQ(kvtest::oggWithoutSerials(ogg), want) << "blocks from " << sizes[0];
    }
}

TEST(PageEncoder, StreamsOnWorkersComeOutAsEachEncodedAloneAlsoAfterARestart) {
    const int rate = 16000;
    const long frames = 20000;
    // mono and stereo streams at two bitrates; stream 0 held by the caller
    const std::vector<PageAudioEncoder::Stream> kinds = {
        {2, 48000}, {1, 32000}, {2, 32000}, {1, 48000}};
    std::vector<std::vector<float>> sounds;
    for (size_t s = 0; s < kinds.size(); ++s)
        sounds.push_back(tone(frames, kinds[s].channels, 200.0 * (s + 1), rate));
    for (int threads : {1, 2, 3}) {
        SCOPED_TRACE(std::to_string(threads) + " threads");
        PageAudioEncoder e(kinds, rate, threads);
        std::string err;
        ASSERT_TRUE(e.start(err)) << err;
        // something else first, voided by the restart
        const std::vector<float> noise = tone(5000, 2, 3000, rate);
        for (int s = 0; s < 4; ++s) e.add(s, noise.data(), 2500);
        ASSERT_TRUE(e.restart(err)) << err;
        e.add(0, sounds[0].data(), frames, true);
        // the others in blocks of uneven sizes, taking turns
        const long sizes[] = {1000, 1, 4096, 777, 3000};
        std::vector<long> at(4, 0);
        for (size_t turn = 0; at[1] < frames || at[2] < frames || at[3] < frames; ++turn)
            for (int s = 1; s < 4; ++s) {
                const int ch = kinds[static_cast<size_t>(s)].channels;
                const long n = std::min(sizes[(turn + static_cast<size_t>(s)) % 5],
                                        frames - at[static_cast<size_t>(s)]);
                if (n > 0)
                    e.add(s,
                          sounds[static_cast<size_t>(s)].data() + at[static_cast<size_t>(s)] * ch,
                          n);
                at[static_cast<size_t>(s)] += n;
            }
        long lastDone = -1, lastTotal = 0;
        std::vector<std::string> out;
        ASSERT_TRUE(e.finish(out, err, [&](long done, long total) {
            EXPECT_GE(done, lastDone);
            lastDone = done;
            lastTotal = total;
        })) << err;
        EXPECT_EQ(lastDone, lastTotal);
        EXPECT_EQ(lastTotal, 4 * frames);
        ASSERT_EQ(out.size(), 4u);
        for (size_t s = 0; s < 4; ++s)
            EXPECT_EQ(kvtest::oggWithoutSerials(out[s]),
                      whole(sounds[s], kinds[s].channels, rate, kinds[s].bitrate))
                << "stream " << s;
    }
}

TEST(PageEncoder, AStreamThatCannotBeEncodedIsRefusedAndAnAbandonedEncoderEnds) {
    std::string err;
    PageAudioEncoder bad({{2, 48000}, {0, 48000}}, 22050, 2);
    EXPECT_FALSE(bad.start(err));
    EXPECT_NE(err.find("Ogg Opus"), std::string::npos) << err;

    // work still queued when the encoder goes: its workers are stopped and joined
    const std::vector<float> s = tone(200000, 2, 330, 44100);
    PageAudioEncoder left({{2, 48000}, {2, 48000}}, 44100, 2);
    ASSERT_TRUE(left.start(err)) << err;
    for (int i = 0; i < 20; ++i) left.add(i % 2, s.data(), 200000, true);
}

}  // namespace
