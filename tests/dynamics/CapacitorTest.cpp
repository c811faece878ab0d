#include "dynamics/Capacitor.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "common/AllocationCounter.h"
#include "engine/TestSignals.h"

namespace tessel {
namespace {

using testing::ConstantSource;
using testing::kInf;
using testing::kNaN;
using testing::PatternSource;
using testing::runCycle;

constexpr float kRate = 48000.0f;

double coefficientFor(double seconds) {
    return 1.0 - std::exp(-2.3025851 / (seconds * kRate));
}

struct Rig {
    wave::Environment env{64, true};
    ConstantSource input{&env, 0.0f};
    Capacitor cap{&env};
    Rig() {
        env.setSampleRate(kRate);
        cap.setInput(&input);
    }
    /// Brings the state to `value` with an instant attack, then restores the attack time.
    void jumpTo(float value) {
        const float attack = cap.attackTime().target();
        cap.attackTime().setValue(0.0f, 0);
        input.setValue(value);
        runCycle(env, cap, 8);
        cap.attackTime().setValue(attack, 0);
    }
};

TEST(CapacitorStyle, TableMatchesTheExponentialAndIsSharedByAllInstances) {
    const int32_t before = Capacitor::Style::userCount();
    {
        wave::Environment env(64, true);
        Capacitor a(&env);
        Capacitor b(&env);
        EXPECT_EQ(Capacitor::Style::userCount(), before + 2);
        EXPECT_EQ(a.style(), b.style());
        const Capacitor::Style* style = a.style();
        // Linear interpolation at a step of 25/8191: relative error below h^2/8 = 1.2e-6.
        for (double x = -25.0; x <= 0.0; x += 0.0137)
            EXPECT_NEAR(style->lookup(x) / std::exp(x), 1.0, 1.3e-6) << x;
        EXPECT_EQ(style->lookup(0.0), 1.0);
        EXPECT_NEAR(style->lookup(-40.0), std::exp(-25.0), 1e-15);
        EXPECT_NEAR(style->lookup(std::nan("")), std::exp(-25.0), 1e-15);
    }
    EXPECT_EQ(Capacitor::Style::userCount(), before);
}

TEST(Capacitor, CoversNinetyPercentOfAStepInTheTimeConstant) {
    struct Case {
        const char* what;
        float attackS, releaseS, from, to;
        int samples;
    };
    const Case cases[] = {
        {"attack 10 ms", 0.01f, 0.1f, 0.0f, 1.0f, 480},
        {"attack 1 ms", 0.001f, 0.1f, 0.0f, 20.0f, 48},
        {"release 100 ms", 0.0005f, 0.1f, 10.0f, 0.0f, 4800},
        {"release 20 ms", 0.0005f, 0.02f, 1.0f, 0.0f, 960},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Rig r;
        r.cap.attackTime().setValue(c.attackS, 0);
        r.cap.releaseTime().parameter().setValue(c.releaseS, 0);
        r.jumpTo(c.from);
        r.input.setValue(c.to);
        std::vector<float> out;
        while (static_cast<int>(out.size()) < c.samples) {
            const std::vector<float> block = runCycle(r.env, r.cap, 64);
            out.insert(out.end(), block.begin(), block.end());
        }
        const float covered =
            (out[static_cast<std::size_t>(c.samples - 1)] - c.from) / (c.to - c.from);
        EXPECT_NEAR(covered, 0.9f, 1e-4f);
    }
}

TEST(Capacitor, ZeroAttackFollowsRisesExactlyAndRestingSilencePassesThrough) {
    Rig r;
    wave::Environment& env = r.env;
    env.beginCycle();
    EXPECT_EQ(r.cap.pull(32), r.input.pull(32));  // zeros into a resting state: untouched
    env.advance(32, 0);
    r.cap.attackTime().setValue(0.0f, 0);
    r.input.setValue(7.5f);
    EXPECT_EQ(runCycle(env, r.cap, 32)[0], 7.5f);
}

TEST(Capacitor, ReleaseShapeAndDependencyStretchTheReleaseTime) {
    // Coefficient of the first release sample = relative size of its step.
    struct Case {
        const char* what;
        float shape, dependencyS, fromDb;
        double expectedSeconds;
    };
    const double release = 0.05;
    const Case cases[] = {
        {"shape 0.3, 10 dB drop: plain release", 0.3f, 0.0f, 10.0f, release},
        {"shape 0.3, 20 dB drop: 1.7 times", 0.3f, 0.0f, 20.0f, release * 1.7},
        {"shape 0.3, 40 dB drop: 3.1 times", 0.3f, 0.0f, 40.0f, release * 3.1},
        {"dependency 0.2 s, 1 dB drop", 1.0f, 0.2f, 1.0f, release + std::exp(-1.0) * 0.2},
        {"dependency 0.2 s, 5 dB drop", 1.0f, 0.2f, 5.0f, release + std::exp(-5.0) * 0.2},
        {"dependency ignores drops past 10 dB", 1.0f, 0.2f, 12.0f, release},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Rig r;
        r.cap.releaseTime().parameter().setValue(static_cast<float>(release), 0);
        r.cap.releaseShape().setValue(c.shape, 0);
        r.cap.releaseDependency().setValue(c.dependencyS, 0);
        r.jumpTo(c.fromDb);
        r.input.setValue(0.0f);
        runCycle(r.env, r.cap, 1);
        EXPECT_TRUE(r.cap.inRelease());
        const double measured = (c.fromDb - r.cap.state()) / c.fromDb;
        // The release time is carried in single precision samples: 1e-6 relative.
        EXPECT_NEAR(measured / coefficientFor(c.expectedSeconds), 1.0, 1e-5);
    }
}

TEST(Capacitor, CachedDependencyLookupTracksAWholeRelease) {
    // The table value is refreshed every 16 samples or when the drop moved noticeably; over a
    // whole release that must stay close to evaluating e^drop at every sample.
    const double release = 0.02, dependency = 0.3, from = 9.0;
    Rig r;
    r.cap.releaseTime().parameter().setValue(static_cast<float>(release), 0);
    r.cap.releaseDependency().setValue(static_cast<float>(dependency), 0);
    r.jumpTo(static_cast<float>(from));
    r.input.setValue(0.0f);
    double s = from;
    float worst = 0.0f;
    for (int block = 0; block < 150; ++block) {
        for (float y : runCycle(r.env, r.cap, 64)) {
            const double t = release + std::exp(-s) * dependency;
            s -= s * coefficientFor(t);
            worst = std::max(worst, std::fabs(y - static_cast<float>(s)));
        }
    }
    EXPECT_LT(s, 0.5);  // the release has run most of its course
    EXPECT_LT(worst, 1e-3f);
}

// The scalar rule, written out in double precision for plain shape and no dependency.
std::vector<float> referenceEnvelope(const std::vector<float>& x, const std::vector<float>& attack,
                                     const std::vector<float>& release) {
    std::vector<float> y(x.size());
    double s = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double d = x[i] - s;
        const float t = (d <= -1.1920928955078125e-7 ? release[i] : attack[i]) * kRate;
        const double c = t > 1.1920929e-7f ? 1.0 - std::exp(-2.3025851 / t) : 1.0;
        s += d * c;
        y[i] = static_cast<float>(s);
    }
    return y;
}

TEST(Capacitor, VectorisedPathMatchesTheScalarRuleWhileTimesMove) {
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> level(0.0f, 30.0f);
    std::vector<float> pattern(4096);
    for (float& v : pattern)
        v = level(rng);
    wave::Environment env(64, true);
    env.setSampleRate(kRate);
    PatternSource input(&env, pattern);
    Capacitor cap(&env);
    cap.setInput(&input);
    std::vector<float> x, attack, release, out;
    std::uniform_real_distribution<float> attackS(0.0005f, 0.005f), releaseS(0.01f, 0.1f);
    for (int block = 0; block < 64; ++block) {
        if (block % 4 == 0) {
            // Ramps that span several blocks: every block has moving times.
            cap.attackTime().setValue(attackS(rng), 5.0f);
            cap.releaseTime().parameter().setValue(releaseS(rng), 5.0f);
        }
        const std::vector<float> y = runCycle(env, cap, 64);
        out.insert(out.end(), y.begin(), y.end());
        const float* a = cap.attackTime().block().data();
        const float* rel = cap.releaseTime().parameter().block().data();
        for (int i = 0; i < 64; ++i) {
            x.push_back(pattern[static_cast<std::size_t>(block * 64 + i)]);
            attack.push_back(a[i]);
            release.push_back(rel[i]);
        }
    }
    const std::vector<float> expected = referenceEnvelope(x, attack, release);
    // The fast single-precision exponential and float coefficients cost a few 1e-7 of each
    // coefficient; over levels up to 30 dB the envelope stays within 1e-4 dB (measured: 2e-5).
    for (std::size_t i = 0; i < out.size(); ++i)
        ASSERT_NEAR(out[i], expected[i], 1e-4f) << "sample " << i;
}

TEST(Capacitor, ResetStartsOverAndSettledMeansAtRest) {
    Rig r;
    EXPECT_TRUE(r.cap.isSettled());  // reset pending from construction
    r.jumpTo(12.0f);
    EXPECT_FALSE(r.cap.isSettled());
    r.cap.reset();
    EXPECT_TRUE(r.cap.isSettled());
    r.input.setValue(0.0f);
    r.env.beginCycle();
    EXPECT_EQ(r.cap.pull(16), r.input.pull(16));  // restarted from 0: zeros pass through
    r.env.advance(16, 0);
    EXPECT_EQ(r.cap.state(), 0.0);

    r.jumpTo(1e-7f);  // within 1e-6 of rest
    EXPECT_TRUE(r.cap.isSettled());
}

TEST(Capacitor, NonFiniteInputHoldsOrStaysFinite) {
    Rig r;
    r.cap.attackTime().setValue(0.001f, 0);
    r.jumpTo(6.0f);
    r.input.setValue(kNaN);
    for (float y : runCycle(r.env, r.cap, 64))
        EXPECT_EQ(y, 6.0f);
    for (float bad : {kInf, -kInf, kNaN, 3.0f}) {
        r.input.setValue(bad);
        for (int k = 0; k < 4; ++k)
            for (float y : runCycle(r.env, r.cap, 64))
                EXPECT_TRUE(std::isfinite(y));
    }
    EXPECT_TRUE(std::isfinite(r.cap.state()));
}

TEST(Capacitor, FilterDoesNotAllocate) {
    wave::Environment env(256, true);
    env.setSampleRate(kRate);
    PatternSource input(&env, {0.0f, 12.0f, 3.0f, 30.0f, kNaN, 1.0f, 0.5f});
    Capacitor cap(&env);
    cap.setInput(&input);
    runCycle(env, cap, 256);
    testing::AllocationScope scope;
    for (int i = 0; i < 40; ++i) {
        cap.attackTime().setValue(0.001f * static_cast<float>(1 + i % 3), 2.0f);
        cap.releaseShape().setValue(i % 2 ? 0.4f : 1.0f, 0);
        cap.releaseDependency().setValue(i % 4 < 2 ? 0.0f : 0.3f, 0);
        env.beginCycle();
        cap.pull(256);
        env.advance(256, 0);
    }
    EXPECT_EQ(scope.allocations(), 0u);
}

}  // namespace
}  // namespace tessel
