// The graph: buffers, blocks, delay lines, the environment and the plumbing nodes.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <numbers>
#include <numeric>
#include <string>
#include <tuple>
#include <vector>

#include "common/GraphRig.h"
#include "common/Spectrum.h"
#include "engine/wave/AlignedBuffer.h"
#include "engine/wave/BasicBlock.h"
#include "engine/wave/Delay.h"
#include "engine/wave/DelayFilter.h"
#include "engine/wave/Environment.h"
#include "engine/wave/Input.h"
#include "engine/wave/InputForwarder.h"
#include "engine/wave/MultiProducer.h"
#include "engine/wave/SubEnvironment.h"

namespace tessel::wave {
namespace {

using tessel::testing::GainFilter;
using tessel::testing::kInf;
using tessel::testing::kNaN;
using tessel::testing::pullCycle;
using tessel::testing::ramp;
using tessel::testing::runCycle;
using Ramp = tessel::testing::PatternSource;  // sample n of the stream holds n + 1
using Log = std::vector<std::string>;

TEST(Environment, RootListRunsUnpulledAttachedEntriesAtCycleEndAndFrontEntriesAlways) {
    Environment env(64, true);
    Log order;
    struct Named : Ramp {
        Named(Environment* e, Log* l, std::string n) : Ramp(e), name(std::move(n)), log(l) {}
        void process(BasicBlock<float>* block, int32_t frames, int32_t mode) noexcept override {
            log->push_back(name + ":" + std::to_string(mode));
            Ramp::process(block, frames, mode);
        }
        std::string name;
        Log* log;
    } end(&env, &order, "end"), pulled(&env, &order, "pulled"), front(&env, &order, "front"),
        after(&env, &order, "after"), loose(&env, &order, "x");
    env.addRoot(&end, 2);
    env.addRoot(&pulled, 2);
    env.addRoot(&front, 0);
    env.addRoot(&after, 1);  // after the front entries, though added after them
    env.addResettable(&end);
    env.addResettable(&end);  // a second registration is ignored
    EXPECT_EQ(env.resetCount(), 1u);
    const auto cycle = [&](std::initializer_list<Producer*> nodes, int32_t flags = 0) {
        order.clear();
        pullCycle(env, 8, nodes, flags);
        return order;
    };
    // Pulled entries are not run again, except front entries (mode 2); unlisted ones never run.
    EXPECT_EQ(cycle({&front, &pulled}),
              (Log{"front:0", "pulled:0", "front:2", "after:1", "end:1"}));
    EXPECT_EQ(cycle({}, Environment::kSkipRootList), Log{}) << "flag bit 0 skips the root list";
    EXPECT_EQ(env.samplePosition(), 16) << "but the position still advances";
    end.setAttached(false);
    EXPECT_EQ(cycle({}), (Log{"front:2", "after:1", "pulled:1"})) << "detached: not run";
    end.setAttached(true);
    EXPECT_EQ(end.resets, 1) << "attaching a resettable producer resets it";
    EXPECT_EQ(cycle({}), (Log{"front:2", "after:1", "pulled:1", "end:1"}));
}

TEST(Environment, ResetsAndRateChangesMovePositionsResetProducersAndRecurse) {
    // Reset mode (-1: a rate change); resets of an attached, a detached and a sub-environment's
    // entry; whether the discontinuity moves; the sub-environment's reset position.
    const std::tuple<int32_t, std::vector<int>, bool, int64_t> cases[] = {
        {Environment::kResetAttached, {1, 0, 1}, true, 20},
        {Environment::kResetAll, {1, 1, 1}, true, 20},
        {Environment::kResetPositionOnly, {0, 0, 0}, false, 20},
        {Environment::kResetLocal, {1, 0, 0}, true, 0},
        {-1, {1, 1, 1}, true, 20}};
    for (const auto& [mode, resets, movesDiscontinuity, subResetPosition] : cases) {
        SCOPED_TRACE(mode);
        Environment root(64, true);
        SubEnvironment sub(&root, 2, 0, false);
        Ramp attached(&root), detached(&root), inSub(&sub);
        root.addResettable(&attached);
        root.addResettable(&detached);
        sub.addResettable(&inSub);
        detached.setAttached(false);
        pullCycle(root, 10, {});
        mode < 0 ? root.setSampleRate(96000.0f) : root.reset(mode);
        EXPECT_TRUE(root.resetPosition() == 10 &&
                    root.discontinuityPosition() == (movesDiscontinuity ? 10 : 0));
        EXPECT_EQ((std::vector<int>{attached.resets, detached.resets, inSub.resets}), resets);
        EXPECT_EQ(sub.resetPosition(), subResetPosition);
    }
}

TEST(Environment, RateChangesNotifyDeeperEnvironmentsFirstWithTheNewRatesAndIgnoreNonRates) {
    Environment root(64, true);
    SubEnvironment sub(&root, 4, 0, false);
    std::vector<float> seen;
    root.sampleRateChangedEvent().addFunction([&](void*) { seen.push_back(root.sampleRate()); });
    sub.sampleRateChangedEvent().addFunction([&](void*) { seen.push_back(sub.sampleRate()); });
    for (float rate : {root.sampleRate(), 0.0f, kNaN, -1.0f, kInf, 48000.0f, 48000.0f})
        root.setSampleRate(rate);
    EXPECT_EQ(seen, (std::vector<float>{192000.0f, 48000.0f}));
}

TEST(Environment, SubEnvironmentTreeCyclesAdvancesAndReportsAsOne) {
    Environment root(64, true);
    SubEnvironment sub(&root, 2, 0, false);
    SubEnvironment subSub(&sub, 2, 0, false);
    Ramp a(&root), b(&sub), atFour(&subSub);
    subSub.addRoot(&atFour, 2);
    root.addResettable(&a);
    sub.addResettable(&b);
    EXPECT_EQ(subSub.maxBlockSize(), 256);
    root.beginCycle();
    EXPECT_TRUE(sub.cycleNumber() == root.cycleNumber() &&
                subSub.cycleNumber() == sub.cycleNumber());
    Ramp late(&subSub);  // created mid-run: computes on its first pull
    late.pull(64);
    EXPECT_EQ(late.calls, 1);
    root.advance(16, 0);
    EXPECT_EQ((std::vector<int64_t>{root.samplePosition(), sub.samplePosition(),
                                    subSub.samplePosition()}),
              (std::vector<int64_t>{16, 32, 64}));
    // Root lists of sub-environments run too, with frames at their own rate.
    EXPECT_TRUE(atFour.calls == 1 && atFour.outputBlock()->data()[63] == 64.0f);

    // Settledness asks every resettable producer, recursively.
    EXPECT_TRUE(root.allSettled());
    b.settled = false;
    EXPECT_FALSE(root.allSettled());
    std::swap(a.settled, b.settled);
    EXPECT_FALSE(root.allSettled());
    root.setDisplayActive(true);  // the display and shutdown flags reach the whole tree
    EXPECT_TRUE(subSub.displayActive());
    auto p = std::make_unique<Ramp>(&sub), q = std::make_unique<Ramp>(&sub);
    sub.addRoot(p.get(), 2);
    sub.addRoot(q.get(), 2);
    sub.addResettable(q.get());
    q.reset();
    EXPECT_TRUE(sub.rootCount() == 1u && sub.resetCount() == 1u)
        << "a destroyed producer leaves the lists";
    root.setShuttingDown(true);
    p.reset();
    EXPECT_TRUE(sub.shuttingDown() && sub.rootCount() == 1u)
        << "while shutting down, dying producers do not touch the lists";
}

TEST(Input, CopiesFromTheExternalArrayAndPadsWithSilence) {
    Environment env(16, true);
    Input input(&env);
    const std::vector<float> host = ramp(10, 1.0f);
    input.setSource(host.data(), 10);
    EXPECT_EQ(runCycle(env, input, 6), ramp(6, 1.0f));
    EXPECT_EQ(runCycle(env, input, 8), (std::vector<float>{7, 8, 9, 10, 0, 0, 0, 0}))
        << "4 left: then silence, not what follows in memory";
    input.setSource(nullptr, 100);
    EXPECT_EQ(runCycle(env, input, 8), std::vector<float>(8, 0.0f));
}

TEST(Forwarder, PassBlocksThroughAndFollowRewiring) {
    Environment env(16, true);
    Ramp a(&env), b(&env);
    Forwarder forwarder(&env);
    GainFilter consumer(&env);
    InputForwarder follower(&env, consumer.inputSlot());  // follows the consumer's slot
    const std::pair<Producer*, BasicBlock<float>*> steps[] = {
        {nullptr, env.zeroBlock()}, {&a, a.ownBlock()}, {&b, b.ownBlock()}};
    for (const auto& [input, expected] : steps) {
        forwarder.setInput(input);
        consumer.setInput(input);
        EXPECT_EQ(pullCycle(env, 16, {&forwarder, &follower}),
                  (std::vector<const BasicBlock<float>*>{expected, expected}));
    }
    EXPECT_EQ(a.calls, 1);
}

// Splits its input into sum and difference with 1; output 2 passes the input block on.
struct SplitterNode : MultiProducer, Consumer {
    explicit SplitterNode(Environment* environment) : MultiProducer(environment, 3) {}
    void process(BasicBlock<float>** blocks, int32_t frames, int32_t) noexcept override {
        ++calls;
        BasicBlock<float>* in = Producer::pullOrZero(input(), environment(), frames);
        for (int32_t i = 0; i < frames; ++i) {
            blocks[0]->data()[i] = in->data()[i] + 1.0f;
            blocks[1]->data()[i] = in->data()[i] - 1.0f;
        }
        blocks[2] = in;
    }
    int calls = 0;
};

TEST(MultiProducer, OnePullComputesEveryOutputOnce) {
    Environment env(16, true);
    Ramp source(&env);
    SplitterNode split(&env);
    split.setInput(&source);
    for (int cycle = 0; cycle < 3; ++cycle) {
        const auto out = pullCycle(env, 16, {split.output(1), split.output(0), split.output(2)});
        EXPECT_EQ(split.calls, cycle + 1);
        // An overwritten block pointer passes a block through.
        EXPECT_EQ(out, (std::vector<const BasicBlock<float>*>{split.block(1), split.block(0),
                                                              source.ownBlock()}));
        EXPECT_EQ(out[1]->data()[5], source.ownBlock()->data()[5] + 1.0f);
        EXPECT_EQ(split.output(1)->value(), source.value() - 1.0f);
    }
    split.setOutputCount(5);
    EXPECT_EQ(pullCycle(env, 16, {split.output(4)})[0], split.block(4))
        << "new outputs get their own blocks";
    EXPECT_EQ(split.calls, 4);
    EXPECT_EQ(split.value(5), 0.0f) << "out-of-range output index";
}

TEST(DelayFilter, ClampsTheDelayAndOutputsSilenceNotStaleAudioAfterAGapOrAReset) {
    Environment env(16, true);
    Ramp source(&env);
    DelayFilter delay(&env, 50);
    const std::pair<int32_t, int32_t> clamps[] = {{500, 50}, {-3, 0}, {30, 30}};
    for (const auto& [requested, delayed] : clamps) {
        delay.setDelay(requested);
        EXPECT_EQ(delay.delay(), delayed) << requested;
    }
    delay.setMaximumDelay(20);
    EXPECT_EQ(delay.delay(), 20) << "a smaller maximum clamps the delay";
    delay.setInput(&source);
    auto cycle = [&](bool pull) {  // the stream runs on whether or not the delay is pulled
        return pull ? pullCycle(env, 16, {&delay, &source})[0] : pullCycle(env, 16, {&source})[0];
    };
    const auto silentUpTo = [](const BasicBlock<float>* out, int n) {
        return std::all_of(out->data(), out->data() + n, [](float x) { return x == 0.0f; });
    };
    for (int i = 0; i < 4; ++i)
        cycle(true);
    cycle(false);  // not pulled: the line is stale from now on
    EXPECT_TRUE(silentUpTo(cycle(true), 16)) << "gap: the first delay samples are silent";
    const BasicBlock<float>* out = cycle(true);
    EXPECT_TRUE(silentUpTo(out, 4));
    EXPECT_EQ(out->data()[4], 81.0f) << "writing resumed at position 80, 20 samples ago";
    cycle(true);
    env.reset(Environment::kResetPositionOnly);  // positions only: the line survives
    EXPECT_NE(cycle(true)->data()[0], 0.0f);
    env.reset(Environment::kResetAttached);
    EXPECT_TRUE(silentUpTo(cycle(true), 16)) << "reset: the first delay samples are silent";
}

TEST(AlignedBuffer, ResizeKeepsPrefixZeroFillsAndAligns) {
    AlignedBuffer<float> b;
    for (int32_t n : {1, 3, 8, 13, 64, 1000}) {
        b.resize(n);
        ASSERT_EQ(b.size(), n);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(b.data()) % 32, 0u) << n;
    }
    std::iota(b.data(), b.data() + 1000, 0.0f);
    b.resize(10);
    b.resize(20);
    for (int32_t i = 0; i < 20; ++i)
        EXPECT_EQ(b[i], i < 10 ? static_cast<float>(i) : 0.0f) << "the grown part is zero";
    float* before = b.data();
    b.resize(20);
    EXPECT_EQ(b.data(), before) << "resizing to the current count must not reallocate";
    for (int32_t n : {0, -5}) {
        b.resize(n);
        EXPECT_TRUE(b.data() == nullptr && b.size() == 0) << n;
    }
}

TEST(BasicBlock, SizedByTheEnvironmentAndSubEnvironmentsFollowTheirFactorUnlessFixed) {
    Environment root(256, true);
    SubEnvironment following(&root, 2, 0, false);
    SubEnvironment fixed(&root, 1, 256, true);
    BasicBlock<double> rootBlock(&root);
    BasicBlock<float> block(&following), fixedBlock(&fixed);
    ConstValueBlock ones(&following, 1.0f);
    EXPECT_TRUE(rootBlock.size() == 256 && block.size() == 512 && !block.isConstant());
    following.setFactor(4);
    fixed.setFactor(4);
    EXPECT_TRUE(block.size() == 1024 && following.sampleRate() == 4.0f * root.sampleRate());
    // Constant blocks are refilled after a resize.
    const std::pair<ConstValueBlock*, float> constants[] = {
        {root.zeroBlock(), 0.0f}, {following.zeroBlock(), 0.0f}, {&ones, 1.0f}};
    for (const auto& [constant, value] : constants) {
        EXPECT_TRUE(constant->isConstant());
        ASSERT_EQ(constant->size(), constant == root.zeroBlock() ? 256 : 1024);
        for (int32_t i = 0; i < constant->size(); ++i)
            ASSERT_EQ(constant->data()[i], value) << i;
    }
    EXPECT_EQ(fixedBlock.size(), 256) << "fixed environments never resize";
    EXPECT_EQ(root.processingBlockSize(), 64) << "only a fixed sub-environment limits its parent";
    fixed.setFactor(2);
    EXPECT_EQ(root.processingBlockSize(), 128);
}

TEST(Delay, IntegerReadDelaysExactlyReadsSilenceBeforeWrittenAndStaysAlignedAsBlocksGrow) {
    Environment root(16, true);
    for (int32_t delay : {0, 1, 7, 63, 64, 65, 200}) {
        SubEnvironment sub(&root, 1, 0, false);
        Delay d(&sub, 200);
        float next = 1.0f;
        for (int block = 0; block < 16; ++block) {
            if (block == 4) sub.setFactor(4);  // blocks of up to 64 from now on: a longer line
            const int32_t frames = block < 4 ? 16 - block : 16 + (block * 13) % 49;
            const std::vector<float> in = ramp(frames, next);
            std::vector<float> out(static_cast<std::size_t>(frames));
            d.write(in.data(), frames);
            d.read(delay, out.data(), frames);
            for (int32_t i = 0; i < frames; ++i) {
                const float expected = in[static_cast<std::size_t>(i)] - static_cast<float>(delay);
                ASSERT_EQ(out[static_cast<std::size_t>(i)], expected >= 1.0f ? expected : 0.0f)
                    << "delay " << delay << " block " << block << " sample " << i;
            }
            next += static_cast<float>(frames);
        }
    }
}

TEST(Delay, LinearReadInterpolatesBetweenNeighboursAndFadesInFromUnwrittenSamples) {
    Environment env(64, true);
    Delay d(&env, 32);
    const std::vector<float> first = ramp(4, 1.0f);  // sample i reads position i - delay
    d.write(first.data(), 4);
    // Positions before 0 were never written: with one neighbour unwritten the read fades in.
    const float early[4] = {0.5f, 1.25f, 1.5f, 3.5f};
    float fading[4];
    d.readLinear(early, fading, 4);
    EXPECT_EQ(std::vector<float>(fading, fading + 4),
              (std::vector<float>{0.5f, 0.75f, 1.5f, 0.5f}));

    const std::vector<float> in = ramp(64, 5.0f);
    d.write(in.data(), 64);
    std::vector<float> delays(64), out(64);
    for (std::size_t i = 0; i < 64; ++i)
        delays[i] = 2.25f + 0.1f * static_cast<float>(i % 10);
    d.readLinear(delays.data(), out.data(), 64);
    for (std::size_t i = 0; i < 64; ++i)  // on a ramp linear interpolation is exact
        EXPECT_NEAR(out[i], in[i] - delays[i], 1e-4f) << i;
}

TEST(Delay, AllpassReadHasFlatMagnitudeTheRequestedPhaseDelayAndNoneBelowOneSample) {
    constexpr double kRate = 48000.0;
    constexpr int32_t n = 4096;
    for (float delay : {1.3f, 2.618f, 5.5f, 10.9f}) {
        Environment env(n, true);
        Delay d(&env, 16);
        const std::vector<float> impulse = tessel::testing::impulse(n);
        const std::vector<float> delays(n, delay);
        std::vector<float> h(n);
        float state = 0.0f;
        d.write(impulse.data(), n);
        d.readAllpass(delays.data(), h.data(), state, n);
        EXPECT_LT(tessel::testing::largestDeviationDb(h, kRate), 1e-3) << delay;
        for (double hz : {50.0, 500.0, 2000.0}) {
            // The phase delay approaches the requested delay towards low frequencies.
            const double phaseDelay = -std::arg(tessel::testing::responseAt(h, hz, kRate)) /
                                      (2.0 * std::numbers::pi * hz / kRate);
            EXPECT_NEAR(phaseDelay, delay, hz < 1000.0 ? 0.01 : 0.05) << delay << " at " << hz;
        }
    }
    // Delays up to 0.618 read the current sample; 1.0 gives coefficient 0, the previous sample.
    Environment env(8, true);
    Delay d(&env, 4);
    const std::vector<float> in = ramp(8, 1.0f);
    d.write(in.data(), 8);
    const float small[4] = {0.0f, 0.3f, 0.618f, 1.0f};
    float out[4], state = 123.0f;
    d.readAllpass(small, out, state, 4);
    EXPECT_EQ(std::vector<float>(out, out + 4), (std::vector<float>{5, 6, 7, 7}));
}

TEST(Delay, FaultyDelaysAndSamplesStayContained) {
    Environment env(16, true);
    Delay d(&env, 8);
    std::vector<float> in(16, 1.0f);
    in[15] = kNaN;
    d.write(in.data(), 16);
    // Non-finite delays are clamped into [0, maximum]: NaN and -inf read at delay 0, +inf at 8.
    float delays[16], out[16];
    for (int i = 0; i < 16; ++i)
        delays[i] = i % 3 == 0 ? kNaN : (i % 3 == 1 ? kInf : -kInf);
    d.readLinear(delays, out, 16);
    for (int i = 0; i < 15; ++i)
        EXPECT_EQ(out[i], i % 3 == 1 && i < 8 ? 0.0f : 1.0f) << i;
    EXPECT_TRUE(std::isnan(out[15])) << "a NaN sample read at delay 0 is passed on, not hidden";

    // The all-pass state, cleared at the end of the block, recovers once the NaN has left.
    const std::vector<float> fractional(16, 0.9f);
    float state = 0.0f;
    d.readAllpass(fractional.data(), out, state, 16);
    EXPECT_TRUE(std::isnan(out[15]) && state == 0.0f);
    in[15] = 1.0f;
    for (int block = 0; block < 3; ++block) {
        d.write(in.data(), 16);
        d.readAllpass(fractional.data(), out, state, 16);
    }
    EXPECT_TRUE(std::all_of(out, out + 16, [](float y) { return std::fabs(y - 1.0f) < 1e-3f; }));
}

}  // namespace
}  // namespace tessel::wave
