// The level meter: ballistics in simulated time, bad input, settings, and the thread hand-over.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "analysis/LevelMeter.h"
#include "common/AllocationCounter.h"
#include "common/GraphRig.h"

namespace tessel {
namespace {

using testing::kInf;
using testing::kNaN;
using Detection = LevelSource::Detection;
const auto db = [](float x) { return 20.0f * std::log10(x); };

struct FakeClock final : IntervalTimer {
    explicit FakeClock(const uint32_t* now) : nowMs(now), startMs(*now) {}
    uint32_t elapsed() const override { return *nowMs - startMs; }
    uint32_t restart() override { return startMs = *nowMs; }
    const uint32_t* nowMs;
    uint32_t startMs;
};

/// A meter at fs (taken by its reset) on a pattern source and a clock moved in 10 ms steps.
struct MeterRig {
    explicit MeterRig(float fs = 48000.0f)
        : env(1024, true), source(&env), meter(&env, std::make_unique<FakeClock>(&nowMs)) {
        meter.setInput(&source);
        env.setSampleRate(fs);
        meter.level(0);  // the editor side takes the rate (dropping blocks published before)
    }
    void cycle() { testing::pullCycle(env, static_cast<int32_t>(env.sampleRate() / 100), {}); }
    /// `ms` of audio repeating `pattern` (none when empty), read every 10 ms when `poll` is set.
    MeterRig& run(int ms, std::vector<float> pattern, bool poll = true) {
        source.pattern = std::move(pattern);
        for (int t = 0; t < ms; t += 10) {
            if (!source.pattern.empty()) cycle();
            nowMs += 10;
            if (poll) meter.level(0);
        }
        return *this;
    }
    void expect(const std::string& what, std::array<float, 3> want, bool clip = false) {
        for (int i = 0; i < 3; ++i)  // reading 0 takes the audio over, 1 and 2 follow
            EXPECT_NEAR(meter.level(i), want[i], 2e-3) << what << ", reading " << i;
        EXPECT_EQ(meter.clipped(), clip) << what;
    }

    uint32_t nowMs = 5;
    wave::Environment env;
    testing::PatternSource source;
    LevelMeter meter;
};

// After one peak, with silence or no audio: reading 0 holds 50 ms, falls 150 dB/s; reading 1
// holds 2 s, falls 15 dB/s; reading 2 stays. A gain-reduction meter rests at the top, rises back.
TEST(LevelMeter, ReadingsHoldThenFallAtTheirRatesWithSilenceOrWithoutAudio) {
    const std::tuple<float, bool, bool> cases[] = {
        {48000, false, false}, {44100, false, true}, {96000, true, false}, {48000, true, true}};
    for (const auto& [fs, gr, clockOnly] : cases) {
        MeterRig rig(fs);
        if (gr) rig.meter.detectionProperty() = Detection::kGainReduction, rig.meter.topDb() = 0;
        const float peak = db(gr ? 0.25f : 0.5f), rest = gr ? 0.0f : -90.0f;
        rig.expect("at rest", {rest, rest, rest});
        rig.run(10, {gr ? 0.25f : 0.5f});
        double t = 0.0;
        for (double check : {0.0, 0.04, 0.2, 1.0, 2.5, 4.0, 9.0}) {
            for (; t < check - 1e-9; t += 0.01)
                rig.run(10, clockOnly ? std::vector<float>{} : std::vector{gr ? 1.0f : 0.0f});
            const auto fall = [&](double holdS, double dbPerS) {
                const double moved = dbPerS * std::max(0.0, t - holdS);
                return float(gr ? std::min(peak + moved, 0.0) : std::max(peak - moved, -90.0));
            };
            rig.expect(std::to_string(fs) + " Hz at " + std::to_string(t) + " s",
                       {fall(0.05, 150.0), fall(2.0, 15.0), peak});
        }
    }
}

// One meter through clip, a 3 s pause in polling, the held peak, NaN, infinity and settings.
TEST(LevelMeter, ClipStalePollingBadInputAndSettingsFollowTheirRules) {
    MeterRig rig;
    const float a = db(1.5f), b = db(0.5f), c = db(0.25f), d = db(0.9f);
    rig.meter.floorDb() = -80.0f;
    rig.expect("a floor move resets an untouched meter", {-80, -80, -80});
    rig.run(10, {1.5f}).expect("above full scale clips", {a, a, a}, true);
    rig.run(10000, {0.0f}).env.setSampleRate(44100.0f);
    rig.expect("a clipped peak never falls, even across a rate change", {-80, a, a}, true);
    rig.meter.resetPeak(), rig.expect("resetPeak", {-80, a, -80});
    rig.run(1000, {0.0f}).expect("it ended the hold at once", {-80, a - 15, -80});
    rig.run(10, {0.5f}).run(1000, {0.25f}, false).run(10, {0.25f, -0.9f}, false);
    rig.run(1990, {0.25f}, false).expect("3 s unread: the fall, no stale peak", {-80, b - 15, d});
    rig.run(10, {kNaN, 0.5f, -kNaN}).expect("NaN ignored", {b, b, d});
    rig.run(1500, {kNaN}).run(10, {0.25f}).run(1000, {0.0f}).expect("held peak", {-80, c, d});
    rig.run(10, {-kInf}).expect("-inf reads the top", {6, 6, 6}, true);
    rig.meter.resetPeak(), rig.run(2100, {0.25f}).expect("and passes", {c, c, c});
    rig.meter.topDb() = -20.0f, rig.meter.topDb() = 6.0f, rig.expect("top clamps", {-20, -20, -20});
    rig.meter.outputDomain() = LevelMeter::LevelDomain::kLinear;
    rig.run(10, {-0.5f}).expect("a domain change restarts", {-0.5f, -0.5f, -0.5f});
    rig.meter.outputDomain() = LevelMeter::LevelDomain::kDecibels;
    rig.meter.detectionProperty() = Detection::kGainReduction;
    rig.expect("so does detection: at the top", {6, 6, 6});
    rig.run(10, {1e-10f, 1e-12f, 0.5f}).expect("1e-10 and below read the floor", {-80, -80, -80});
}

// A real audio thread publishes blocks of random loudness for a second while the editor polls at
// random rates: every sample arrives once, the loudest shows on reading 2, nothing allocates.
TEST(LevelMeter, HandOverAcrossThreadsLosesNothingAndNeverAllocatesOnTheAudioSide) {
    MeterRig rig;
    rig.source.pattern.assign(480, 0.0f);
    std::atomic<bool> done{false};
    float loudest = 0.0f;
    uint64_t allocations = 0;
    std::thread audio([&] {
        std::mt19937 random(11);
        std::uniform_real_distribution<float> sample(-1.0f, 1.0f);
        allocations = testing::steadyStateAllocations(8, 200000, [&](int) {  // about 1 s
            const float scale = sample(random);
            for (float& x : rig.source.pattern)
                loudest = std::max(loudest, std::fabs(x = scale * sample(random)));
            rig.cycle();
        });
        done = true;
    });
    std::mt19937 random(5);
    int polls = 0;
    for (; !done; ++polls) {
        rig.meter.level(polls % 3);
        if (polls % 16 == 0)  // bursts of back-to-back reads, then a pause
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
    }
    audio.join();
    EXPECT_EQ(allocations, 0u);
    EXPECT_NEAR(rig.meter.level(2), db(loudest), 1e-4);
    EXPECT_EQ(rig.meter.samplesTakenOver(), int64_t{480} * rig.source.calls);
    EXPECT_GT(polls, 1000);
}

}  // namespace
}  // namespace tessel
