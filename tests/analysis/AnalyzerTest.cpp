// The analyser path: audio-thread hand-over, display stream, spectra and the display curve.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <numbers>
#include <random>
#include <thread>

#include "analysis/AudioSourceProxy.h"
#include "analysis/DisplayData.h"
#include "analysis/LevelMeter.h"
#include "analysis/RealTimeAudioBuffer.h"
#include "analysis/RealTimeFrequencyAnalyzer.h"
#include "analysis/SpectrumDisplay.h"
#include "common/AllocationCounter.h"
#include "common/GraphRig.h"

namespace tessel {
namespace {

using Buffer = RealTimeAudioBuffer;

// A stereo graph feeding the buffer's three measurements from pattern sources, the display
// stream between the two sides, and the editor's proxies and analyser reading it.
struct AnalyserRig {
    explicit AnalyserRig(float rateHz = 44100.0f, std::vector<float> pattern = {})
        : rig(256, rateHz), left(&rig.env, pattern), right(&rig.env, pattern), buffer(&rig.env) {
        rig.env.setDisplayActive(true);
        buffer.configure(2, rateHz);
        for (int32_t m = 0; m < Buffer::kMeasurementCount; ++m) {
            buffer.measurement(m).setInput(0, &left);
            buffer.measurement(m).setInput(1, &right);
            analyser.setSource(m, &proxies[m]);
        }
    }
    void run(int64_t samples) {
        for (int64_t done = 0; done < samples; done += rig.block) {
            rig.env.beginCycle();
            buffer.node()->pull(rig.block);
            rig.env.advance(rig.block, 0);
        }
    }
    DisplayDataReader::Outcome fetch() {
        DisplayDataWriter::write(buffer, {}, stream);
        return DisplayDataReader::read(stream, {&proxies[0], &proxies[1], &proxies[2]}, {});
    }
    testing::GraphRig rig;
    testing::PatternSource left, right;
    Buffer buffer;
    std::array<AudioSourceProxy, 3> proxies{AudioSourceProxy(2, 256, 160),
                                            AudioSourceProxy(2, 256, 160),
                                            AudioSourceProxy(2, 256, 160)};
    RealTimeFrequencyAnalyzer analyser;
    std::vector<uint8_t> stream;
};

std::vector<float> sine(double cyclesPerSample, int32_t period, float amplitude = 1.0f) {
    std::vector<float> v(static_cast<std::size_t>(period));
    for (int32_t n = 0; n < period; ++n)
        v[n] =
            amplitude * static_cast<float>(std::sin(2.0 * std::numbers::pi * cyclesPerSample * n));
    return v;
}

// Per resolution: N/2 + 1 bins, one spectrum per N/4 samples, and a full-scale sine on a bin
// centre reading 0 dB with the window's sidelobes below -100 dB (once the history holds no more
// of the silence before the sine, whose onset spreads over every bin).
TEST(Analyzer, ResolutionsGiveTheirBinsAndHopsAndAFullScaleSineReadsZeroDb) {
    for (const int32_t n : {1024, 2048, 4096, 8192}) {
        AnalyserRig a(44100.0f, sine(128.0 / 8192.0, 64));  // bin 128 of 8192, 16 of 1024
        a.right.pattern = {0.0f};
        a.analyser.setTransformSize(n - 100);  // rounds up to n
        auto& post = a.analyser.measurement(Buffer::kPost);
        for (uint32_t read = 1; read <= 2; ++read) {
            a.run(8192);
            ASSERT_EQ(a.fetch().blocks, 3 * 8192 / 256);
            post.lock();
            EXPECT_EQ(post.binCount(), n / 2 + 1);
            EXPECT_EQ(post.sequenceNumber(), read * 8192u / (n / 4u)) << n;
            post.unlock();
        }
        post.lock();
        const int32_t bin = 128 * n / 8192;
        EXPECT_NEAR(20.0 * std::log10(post.spectrum()[bin]), 0.0, 0.01) << n;
        for (int32_t k = 0; k < post.binCount(); ++k)
            if (std::abs(k - bin) >= 6) {
                ASSERT_LT(post.spectrum()[k], 1e-5f) << n << " bin " << k;
            }
        post.unlock();
    }
}

// With the reader gone the pool runs dry: the audio thread keeps running without allocating, sets
// the overflow flag and drops audio (or, told so, reuses the oldest block); after the next fetch
// writing resumes where the audio is.
TEST(Analyzer, DryPoolDropsOrRecyclesWithoutAllocatingAndRecoversAfterAFetch) {
    for (const bool stop : {true, false}) {
        AnalyserRig a(48000.0f);
        a.buffer.stopOnOverflow() = stop;
        const int32_t pool = a.buffer.poolBlocks();
        EXPECT_EQ(pool, 36);
        const auto allocations =
            testing::steadyStateAllocations(0, pool * 3, [&](int) { a.run(a.rig.block); });
        EXPECT_EQ(allocations, 0u);
        EXPECT_TRUE(a.buffer.overflowed());
        const auto first = a.fetch();
        EXPECT_TRUE(first.overflow);
        a.proxies[0].lock();
        ASSERT_EQ(a.proxies[0].blocksAvailable(), pool);
        // Pattern sources count samples from 1: stopping keeps the oldest audio, recycling the
        // newest (the block being filled is not yet in the queue).
        EXPECT_EQ(a.proxies[0].blockData(0, 0)[0], stop ? 1.0f : float(pool * 2 * 256 + 1));
        a.proxies[0].unlock();
        a.run(256);
        EXPECT_FALSE(a.buffer.overflowed());
        EXPECT_EQ(a.fetch().blocks, 3);
    }
    EXPECT_EQ(Buffer::poolBlocksFor(192000.0f), 72);
    EXPECT_EQ(Buffer::poolBlocksFor(1e9f), 288);
}

// A real audio thread writes a counting signal while a reader thread fetches at random intervals
// for a second: every sample arrives once and in order (gaps only right after the blocks of a
// stream that reported an overflow, or in the one that reports it), and the audio thread never
// allocates.
TEST(AnalyzerThreads, AudioAndReaderThreadsHandOverEverySampleInOrder) {
    AnalyserRig a(48000.0f);
    a.buffer.measurement(Buffer::kSideChain).enabled() = false;
    std::atomic<bool> done{false};
    std::atomic<uint64_t> audioAllocations{0};
    std::thread audio([&] {
        const testing::AllocationScope scope;
        for (int i = 0; i < 4000; ++i) {
            a.run(256);
            std::this_thread::sleep_for(std::chrono::microseconds(250));
        }
        audioAllocations = scope.allocations();
        done = true;
    });
    std::mt19937 rng(11);
    std::uniform_int_distribution<int> pause(0, 6000);
    float expected = 1.0f;
    int64_t received = 0, gaps = 0;
    bool overflowBefore = false;  // the audio lost in an overflow follows that stream's blocks
    for (bool last = false; !last;) {
        last = done.load();
        std::this_thread::sleep_for(std::chrono::microseconds(pause(rng)));
        const auto got = a.fetch();
        ASSERT_EQ(got.result, DisplayDataReader::Result::kOk);
        auto& pre = a.proxies[Buffer::kPre];
        pre.lock();
        EXPECT_EQ(a.proxies[Buffer::kSideChain].blocksAvailable(), 0);
        for (int32_t b = 0; b < pre.blocksAvailable(); ++b) {
            const float* data = pre.blockData(b, 1);
            if (data[0] != expected && (got.overflow || overflowBefore)) ++gaps, expected = data[0];
            for (int32_t i = 0; i < 256; ++i)
                ASSERT_EQ(data[i], expected++) << received;
            received += 256;
        }
        pre.unlock();
        overflowBefore = got.overflow;
    }
    audio.join();
    EXPECT_EQ(audioAllocations.load(), 0u);
    EXPECT_GT(received, 4000 * 256 - a.buffer.poolBlocks() * 256 * (gaps + 1));
}

// The stream carries analyser blocks and meter reductions (a mirror meter shows what the
// audio-side meter measured), and the reader takes garbage without reading outside the bytes:
// valid records before an error stay applied, and the error says what went wrong.
TEST(Analyzer, DisplayStreamCarriesBlocksAndMeterValuesAndRejectsMalformedInput) {
    AnalyserRig a(44100.0f, {0.5f, -0.25f});
    LevelMeter meter(&a.rig.env);
    meter.setInput(&a.left);
    a.run(1024);
    LevelMeter* const meters[] = {&meter};
    DisplayDataWriter::write(a.buffer, meters, a.stream);
    AnalyserRig b;
    LevelMeter mirror(&b.rig.env);
    LevelMeter* const mirrors[] = {nullptr, &mirror};  // a second meter the stream does not carry
    const auto both = DisplayDataReader::read(
        a.stream, {&b.proxies[0], &b.proxies[1], &b.proxies[2]}, std::span(mirrors, 1));
    EXPECT_TRUE(both.result == DisplayDataReader::Result::kOk && both.meterValues == 1);
    LevelMeter* const direct[] = {&mirror};
    DisplayDataReader::read(a.stream, {nullptr, nullptr, nullptr}, direct);
    EXPECT_NEAR(mirror.level(2), -6.0206f, 1e-3f);
    EXPECT_EQ(mirror.samplesTakenOver(), 1024);
    a.run(1024);
    a.fetch();
    const std::vector<uint8_t> good = a.stream;
    using R = DisplayDataReader::Result;
    const auto readBack = [&](std::vector<uint8_t> bytes) {
        return DisplayDataReader::read(bytes, {&b.proxies[0], &b.proxies[1], &b.proxies[2]}, {});
    };
    EXPECT_EQ(readBack(good).blocks, 12);
    EXPECT_EQ(readBack({'T', 'D', 'D'}).result, R::kBadMagic);
    auto cut = good;
    cut.resize(good.size() - 5);
    const auto truncated = readBack(cut);
    EXPECT_EQ(truncated.result, R::kTruncated);
    EXPECT_EQ(truncated.blocks, 11);
    auto wrongType = good;
    wrongType[4] = 9;
    EXPECT_EQ(readBack(wrongType).result, R::kBadRecord);
    auto tooLong = good;
    tooLong[7] = 0xff, tooLong[8] = 0xff;
    EXPECT_EQ(readBack(tooLong).result, R::kBadRecord);
    std::mt19937 rng(3);
    for (int trial = 0; trial < 2000; ++trial) {  // random damage never crashes
        auto damaged = good;
        for (int k = 0; k < 4; ++k)
            damaged[rng() % damaged.size()] = static_cast<uint8_t>(rng());
        damaged.resize(rng() % (damaged.size() + 1));
        readBack(damaged);
    }
}

// A fixed spectrum for the display tests: one bin per column edge at a settable level.
struct FixedSpectrum final : SpectrumSource {
    void lock() override {}
    void unlock() override {}
    int32_t lockCount() const override { return 0; }
    const float* spectrum() const override { return bins.data(); }
    int32_t binCount() const override { return static_cast<int32_t>(bins.size()); }
    uint32_t sequenceNumber() const override { return sequence; }
    void set(float level) {
        std::fill(bins.begin(), bins.end(), level);
        ++sequence;
    }
    std::vector<float> bins = std::vector<float>(4097, 0.0f);
    uint32_t sequence = 0;
};

// Ballistics over simulated frames of 10 ms: the rise takes the attack time to cover 90 %, the
// fall the release time; tilt pivots at 1 kHz; freeze holds a transient; silence drops the curve
// to the floor after three spectrum periods; averaging converges to the mean.
TEST(SpectrumDisplay, BallisticsFreezeFallAwayTiltAndAveraging) {
    SpectrumDisplay d(120);
    SpectrumDisplay::Settings s;  // 8192 at 44.1 kHz: attack 40 ms, release 1.5 s
    d.setSettings(s);
    FixedSpectrum x;
    const int32_t mid = d.columnCount() / 2;
    const auto frames = [&](int count, float level, bool fresh = true) {
        for (int i = 0; i < count; ++i) {
            if (fresh) x.set(level);
            d.update(x, 10.0);
        }
    };
    frames(4, 0.1f);  // 40 ms: 90 % of the way from -120 to -20 dB
    EXPECT_NEAR(d.levelDb(mid), -20.0 - 10.0, 0.05);
    frames(100, 0.1f);
    frames(150, 0.001f);  // 1.5 s: 90 % of the way down from -20 to -60 dB
    EXPECT_NEAR(d.levelDb(mid), -60.0 + 4.0, 0.05);

    s.tiltDbPerOctave = 3.0f;
    d.setSettings(s);
    frames(600, 0.1f);
    for (int32_t c = 0; c < d.columnCount(); c += 17)
        EXPECT_NEAR(d.levelDb(c), -20.0 + 3.0 * std::log2(d.columnFrequencyHz(c) / 1000.0), 0.01);

    s.tiltDbPerOctave = 0.0f;
    s.freeze = true;
    d.setSettings(s);
    frames(35, 0.001f);  // the release fades out over 350 ms ...
    const float held = d.levelDb(mid);
    frames(300, 0.001f);  // ... and then nothing falls
    EXPECT_EQ(d.levelDb(mid), held);
    EXPECT_GT(held, -30.0f);
    s.freeze = false;
    d.setSettings(s);
    frames(100, 0.001f);  // released again within 1 s
    EXPECT_LT(d.levelDb(mid), held - 10.0f);

    frames(1, 0.1f);
    frames(55, 0.1f, false);  // 550 ms without spectra: still up (timeout 3 x 185.8 ms)
    EXPECT_GT(d.levelDb(mid), -25.0f);
    frames(600, 0.1f, false);
    EXPECT_NEAR(d.levelDb(mid), SpectrumDisplay::kFloorDb, 0.1);

    s.averaging = true;  // 8192 at 44.1 kHz: faded in over 2.7 spectra
    d.setSettings(s);
    for (int i = 0; i < 400; ++i) {
        x.set(i % 2 ? 0.3f : 0.1f);
        d.update(x, 10.0);
    }
    EXPECT_NEAR(d.levelDb(mid), 20.0 * std::log10(0.2), 0.01);
    EXPECT_GT(d.activeFrames(), 1000u);
}

}  // namespace
}  // namespace tessel
