// The processor frame driven like a host: block cutting, MIDI timing, latency-compensated bypass
// and its crossfades, tail and silence reporting, queued parameter changes across threads, and
// the real-time contract of process.

#include <gtest/gtest.h>

#include <limits>

#include <array>
#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#include "common/AllocationCounter.h"
#include "engine/GenericPluginProcessor.h"
#include "engine/wave/DelayFilter.h"
#include "params/FloatPluginParameter.h"

namespace tessel {
namespace {

constexpr float kRate = 44100.0f;
constexpr int32_t kRampSamples = 2205;  // 50 ms at 44.1 kHz

// Multiplies by a gain and records the cycle lengths it ran with.
struct GainFilter final : wave::Filter {
    using wave::Filter::Filter;
    void filter(wave::BasicBlock<float>* in, wave::BasicBlock<float>* out, int32_t frames,
                int32_t) noexcept override {
        for (int32_t i = 0; i < frames; ++i)
            out->data()[i] = in->data()[i] * gain;
        out->setConstant(in->isConstant());
        if (cycleCount < cycles.size()) cycles[cycleCount++] = frames;
    }
    float gain = 1.0f;
    std::array<int32_t, 64> cycles{};
    std::size_t cycleCount = 0;
};

// Passes its input on; counts resets and answers isSettled as told.
struct TailNode final : wave::Filter {
    explicit TailNode(wave::Environment* env) : wave::Filter(env) { env->addResettable(this); }
    void filter(wave::BasicBlock<float>* in, wave::BasicBlock<float>* out, int32_t frames,
                int32_t) noexcept override {
        std::copy(in->data(), in->data() + frames, out->data());
        out->setConstant(in->isConstant());
    }
    void reset() override { ++resets; }
    bool isSettled() const override { return settled; }
    int32_t resets = 0;
    bool settled = true;
};

// Per channel: input -> delay (the latency) -> gain (parameter 0) -> tail node -> output.
class TestProcessor final : public GenericPluginProcessor {
public:
    explicit TestProcessor(int32_t layout = 1, uint32_t features = 0, bool sideChainOut = false)
        : GenericPluginProcessor(layout, features, true) {
        initialize();
        environment()->setSampleRate(kRate);
        for (int32_t k = 0; k < channelCount(); ++k) {
            auto& c = chains.emplace_back(std::make_unique<Chain>(environment()));
            c->delay.setInput(&channel(k)->input());
            c->gain.setInput(&c->delay);
            c->tail.setInput(&c->gain);
            channel(k)->setOutput(
                sideChainOut ? static_cast<wave::Producer*>(&channel(k)->connectedSideChainInput())
                             : &c->tail);
        }
    }
    ~TestProcessor() override { exitInstance(); }

    void setTestLatency(int32_t samples) {
        setLatency(samples);
        for (auto& c : chains)
            c->delay.setDelay(samples);
    }

    struct Chain {
        explicit Chain(wave::Environment* env) : delay(env, 4096), gain(env), tail(env) {}
        wave::DelayFilter delay;
        GainFilter gain;
        TailNode tail;
    };
    std::vector<std::unique_ptr<Chain>> chains;
    std::array<float, 4> lastValues{-1.0f, -1.0f, -1.0f, -1.0f};
    int32_t orderViolations = 0;
    static inline int32_t firstInits = 0;
    static inline int32_t lastExits = 0;

protected:
    void setParameterValue(int32_t index, float value) override {
        if (index == 0) {
            for (auto& c : chains)
                c->gain.gain = value;
        }
        if (index >= 0 && index < 4) {
            if (value <= lastValues[index] && index > 0) ++orderViolations;
            lastValues[index] = value;
        }
    }
    void firstInstanceInit() override { ++firstInits; }
    void lastInstanceExit() override { ++lastExits; }
};

// Runs stereo host blocks; both channels get the same input, output channel 0 is kept.
struct Host {
    explicit Host(TestProcessor& p) : processor(p) {}
    int32_t run(const float* in, float* out, int32_t frames, int32_t flags = 0) {
        std::vector<float> right(out, out + frames);
        const float* inputs[2] = {in, in};
        float* outputs[2] = {out, right.data()};
        processor.process(inputs, 2, outputs, 2, frames, &flags);
        return flags;
    }
    TestProcessor& processor;
};

TEST(GenericPluginProcessor, LayoutTableAndChannels) {
    const int32_t counts[16] = {1, 2, 3, 4, 4, 5, 6, 6, 7, 7, 7, 8, 8, 8, 10, 9};
    const uint32_t stems[16] = {0x1,     0x10002,  0x20003,  0x40004, 0x30004, 0x50005,
                                0x60006, 0x70006,  0x80007,  0x90007, 0xB0007, 0xA0008,
                                0xC0008, 0x160008, 0x18000A, 0x140009};
    for (int32_t i = 0; i < 16; ++i) {
        EXPECT_EQ(GenericPluginProcessor::layoutChannelCount(i), counts[i]) << i;
        EXPECT_EQ(GenericPluginProcessor::layoutStemFormat(i), stems[i]) << i;
        // Stem formats carry the channel count in their low bits.
        EXPECT_EQ(static_cast<int32_t>(stems[i] & 0xFFFF), counts[i]) << i;
    }
    TestProcessor mono(0);
    EXPECT_EQ(mono.channelCount(), 1);
    EXPECT_EQ(mono.channel(1), nullptr);
}

TEST(GenericPluginProcessor, FirstAndLastInstanceRunClassWideSetUpOnce) {
    const int32_t before = GenericPluginProcessor::instanceCount();
    ASSERT_EQ(before, 0);
    const int32_t inits = TestProcessor::firstInits, exits = TestProcessor::lastExits;
    {
        auto a = std::make_unique<TestProcessor>();
        auto b = std::make_unique<TestProcessor>();
        EXPECT_EQ(GenericPluginProcessor::instanceCount(), 2);
        a.reset();
        EXPECT_EQ(TestProcessor::lastExits, exits);
    }
    EXPECT_EQ(TestProcessor::firstInits, inits + 1);
    EXPECT_EQ(TestProcessor::lastExits, exits + 1);
    EXPECT_EQ(GenericPluginProcessor::instanceCount(), 0);
}

TEST(GenericPluginProcessor, CutsHostBlocksIntoProcessingBlocks) {
    TestProcessor p;
    Host host(p);
    std::vector<float> in(1000), out(1000);
    for (int32_t i = 0; i < 1000; ++i)
        in[i] = static_cast<float>(i);
    host.run(in.data(), out.data(), 1000);
    const auto& g = p.chains[0]->gain;
    ASSERT_EQ(g.cycleCount, 4u);
    EXPECT_EQ(g.cycles[0], 256);
    EXPECT_EQ(g.cycles[1], 256);
    EXPECT_EQ(g.cycles[2], 256);
    EXPECT_EQ(g.cycles[3], 232);
    EXPECT_EQ(out, in);  // every sub-block read its own part of the host array
}

struct ParameterFromMidi final : MidiEventReceiver {
    explicit ParameterFromMidi(TestProcessor& p) : processor(p) {}
    void receiveMidiMessage(const MidiMessage& m) override {
        processor.setParameter(0, static_cast<float>(m.data2) / 100.0f,
                               GenericPluginProcessor::kFromHost);
        processor.setLastMidiTarget(m.data1);
        ++received;
    }
    TestProcessor& processor;
    int32_t received = 0;
};

struct RecordingAdapter final : GenericPluginProcessor::ProcessorAdapter {
    void midiControllerOut(int32_t, int32_t) override {}
    void notifyModel(int32_t value) override { notified.push_back(value); }
    void parameterChangedByProcessor(int32_t index) override { reported.push_back(index); }
    std::vector<int32_t> notified, reported;
};

TEST(GenericPluginProcessor, MidiMessageSplitsTheBlockAndActsAtItsOffset) {
    TestProcessor p(1, GenericPluginProcessor::kFeatureEditorMidi);
    ParameterFromMidi receiver(p);
    RecordingAdapter adapter;
    p.setMidiEventReceiver(&receiver);
    p.setAdapter(&adapter);
    Host host(p);
    std::vector<float> in(256, 1.0f), out(256);
    ASSERT_TRUE(p.queueMidiMessage(MidiMessage{100, 0xB0, 7, 50}));
    host.run(in.data(), out.data(), 256);

    const auto& g = p.chains[0]->gain;
    ASSERT_EQ(g.cycleCount, 2u);
    EXPECT_EQ(g.cycles[0], 100);
    EXPECT_EQ(g.cycles[1], 156);
    for (int32_t i = 0; i < 256; ++i)
        ASSERT_FLOAT_EQ(out[i], i < 100 ? 1.0f : 0.5f) << i;
    EXPECT_EQ(adapter.notified, std::vector<int32_t>{7});
    EXPECT_TRUE(adapter.reported.empty());  // the change came with kFromHost
    MidiMessage copy{};
    ASSERT_TRUE(p.popEditorMidiMessage(copy));
    EXPECT_EQ(copy.sampleOffset, 100);

    // A block without MIDI does not notify; a message beyond the block is still dispatched.
    host.run(in.data(), out.data(), 256);
    EXPECT_EQ(adapter.notified.size(), 1u);
    p.queueMidiMessage(MidiMessage{900, 0xB0, 3, 20});
    host.run(in.data(), out.data(), 256);
    EXPECT_EQ(receiver.received, 2);
    EXPECT_EQ(adapter.notified.back(), 3);
    p.setParameter(1, 0.3f, 0);
    EXPECT_EQ(adapter.reported, std::vector<int32_t>{1});
}

// Bypass engaged and released through the bypass parameter with latency 3072: the output is
// always the input delayed by the latency times a gain g(t) that moves linearly between the
// processed gain (0.5) and 1 (dry) over 50 ms; the release waits 3072 samples first.
TEST(GenericPluginProcessor, BypassIsLatencyAlignedWithDelayedClickFreeRelease) {
    constexpr int32_t kLatency = 3072, kBlock = 256;
    constexpr int32_t kEngage = 16 * kBlock, kRelease = 40 * kBlock, kTotal = 64 * kBlock;
    TestProcessor p;
    p.setBypassIndex(2);
    p.setTestLatency(kLatency);
    p.setParameter(0, 0.5f, 0);
    Host host(p);
    std::vector<float> in(kTotal), out(kTotal);
    for (int32_t i = 0; i < kTotal; ++i)
        in[i] = 1.0f + 0.5f * std::sin(0.01f * static_cast<float>(i));
    for (int32_t b = 0; b < kTotal; b += kBlock) {
        if (b == kEngage) p.setParameter(2, 1.0f, 0);
        if (b == kRelease) p.setParameter(2, 0.0f, 0);
        host.run(in.data() + b, out.data() + b, kBlock);
    }
    const int32_t fadeOut = kRelease + kLatency;
    for (int32_t t = kLatency; t < kTotal; ++t) {
        float expected = 0.5f;
        if (t >= kEngage)
            expected = 0.5f + 0.5f * std::min(t - kEngage, kRampSamples) / kRampSamples;
        if (t >= fadeOut)
            expected = 1.0f - 0.5f * std::min(t - fadeOut, kRampSamples) / kRampSamples;
        ASSERT_NEAR(out[t] / in[t - kLatency], expected, 2e-5f) << "sample " << t;
    }
    EXPECT_FALSE(p.bypassProcessor()->unbypassPending());
}

TEST(GenericPluginProcessor, SilentInputRunsTailPlusLatencyThenUntilSettled) {
    constexpr int32_t kLatency = 64, kBlock = 256;
    TestProcessor p;
    p.setTestLatency(kLatency);
    Host host(p);
    std::vector<float> in(kBlock, 0.0f), out(kBlock);
    const auto silentReported = [&] {
        return (host.run(in.data(), out.data(), kBlock, GenericPluginProcessor::kInputSilent) &
                GenericPluginProcessor::kOutputSilent) != 0;
    };
    // 8192 + 64 samples are 32.25 blocks: 33 blocks still render, the 34th reports silence.
    int32_t rendered = 0;
    while (!silentReported() && rendered < 100)
        ++rendered;
    EXPECT_EQ(rendered, 33);

    // Sound again, then silence with a node that keeps ringing: rendering goes on until it settles.
    in.assign(kBlock, 0.25f);
    EXPECT_FALSE(host.run(in.data(), out.data(), kBlock) & GenericPluginProcessor::kOutputSilent);
    in.assign(kBlock, 0.0f);
    for (auto& c : p.chains)
        c->tail.settled = false;
    for (int32_t b = 0; b < 50; ++b)
        ASSERT_FALSE(silentReported()) << b;
    for (auto& c : p.chains)
        c->tail.settled = true;
    EXPECT_FALSE(silentReported());  // the block that finds every node settled still renders
    EXPECT_TRUE(silentReported());
}

TEST(GenericPluginProcessor, NegativeIndicesResetPositionsOrNodes) {
    TestProcessor p;
    Host host(p);
    std::vector<float> in(512, 0.1f), out(512);
    host.run(in.data(), out.data(), 512);
    wave::Environment& env = *p.environment();
    const int32_t resets = p.chains[0]->tail.resets;
    EXPECT_LT(env.resetPosition(), env.samplePosition());

    p.setParameter(-1, 0.0f, 0);
    host.run(in.data(), out.data(), 512);
    EXPECT_EQ(env.resetPosition(), 512);  // applied at the start of the block
    EXPECT_EQ(p.chains[0]->tail.resets, resets);

    p.setParameter(-2, 0.0f, 0);
    host.run(in.data(), out.data(), 512);
    EXPECT_EQ(env.resetPosition(), 1024);
    EXPECT_EQ(p.chains[0]->tail.resets, resets + 1);
}

TEST(GenericPluginProcessor, ChangesFromManyThreadsArriveInOrderWithTheLastValue) {
    constexpr int32_t kThreads = 3, kChanges = 20000;
    TestProcessor p;
    Host host(p);
    std::vector<float> in(256, 0.1f), out(256);
    std::atomic<int32_t> done{0};
    std::vector<std::thread> writers;
    for (int32_t t = 1; t <= kThreads; ++t) {
        writers.emplace_back([&p, &done, t] {
            for (int32_t i = 1; i <= kChanges; ++i)
                p.setParameter(t, static_cast<float>(i), GenericPluginProcessor::kFromHost);
            done.fetch_add(1);
        });
    }
    while (done.load() < kThreads)
        host.run(in.data(), out.data(), 256);
    for (auto& w : writers)
        w.join();
    host.run(in.data(), out.data(), 256);
    for (int32_t t = 1; t <= kThreads; ++t)
        EXPECT_EQ(p.lastValues[t], static_cast<float>(kChanges)) << "thread " << t;
    EXPECT_EQ(p.orderViolations, 0);
}

TEST(GenericPluginProcessor, SteadyStateProcessDoesNotAllocate) {
    TestProcessor p(1, GenericPluginProcessor::kFeatureEditorMidi);
    ParameterFromMidi receiver(p);
    p.setMidiEventReceiver(&receiver);
    p.setTestLatency(300);
    Host host(p);
    std::vector<float> in(1000, 0.2f), out(1000), right(1000);
    const float* inputs[2] = {in.data(), in.data()};
    float* outputs[2] = {out.data(), right.data()};
    const auto block = [&](int32_t i) {
        p.setParameter(0, 0.5f + 0.001f * static_cast<float>(i % 100), 0);
        p.queueMidiMessage(MidiMessage{(i * 37) % 1000, 0xB0, 1, 40});
        if (i % 10 == 0) p.setBypass(i % 20 == 0, 0);
        int32_t flags = i % 7 == 0 ? GenericPluginProcessor::kInputSilent : 0;
        p.process(inputs, 2, outputs, 2, 1000, &flags);
        MidiMessage m{};
        while (p.popEditorMidiMessage(m)) {
        }
    };
    for (int32_t i = 0; i < 50; ++i)
        block(i);
    testing::AllocationScope scope;
    for (int32_t i = 50; i < 250; ++i)
        block(i);
    EXPECT_EQ(scope.allocations(), 0u);
}

TEST(GenericPluginProcessor, NonFiniteHostInputDoesNotBreakProcessing) {
    TestProcessor p;
    p.setTestLatency(100);
    Host host(p);
    std::vector<float> bad(256), good(256, 0.5f), out(256);
    for (int32_t i = 0; i < 256; ++i)
        bad[i] = i % 3 == 0 ? NAN : (i % 3 == 1 ? INFINITY : -INFINITY);
    for (bool bypassed : {false, true}) {
        p.setBypass(bypassed, 0);
        host.run(bad.data(), out.data(), 256);
        for (int32_t b = 0; b < 4; ++b)
            host.run(good.data(), out.data(), 256);
        for (float v : out)
            ASSERT_TRUE(std::isfinite(v)) << "bypassed " << bypassed;
    }
}

TEST(GenericPluginProcessor, SideChainRoutingFollowsPresenceAndConnection) {
    TestProcessor p(1, GenericPluginProcessor::kFeatureSideChain, /*sideChainOut=*/true);
    std::vector<float> main(64, 0.25f), side(64, -0.75f), out0(64), out1(64);
    const float* inputs[4] = {main.data(), main.data(), side.data(), side.data()};
    float* outputs[2] = {out0.data(), out1.data()};
    const auto run = [&] {
        p.process(inputs, 4, outputs, 2, 64, nullptr);
        return out0[63];
    };
    EXPECT_EQ(run(), 0.0f);  // no side chain in the host instance
    p.setSideChainPresent(true);
    EXPECT_EQ(run(), 0.0f);  // present but not connected
    p.setSideChainConnected(true);
    EXPECT_EQ(run(), -0.75f);
    EXPECT_EQ(p.channel(1)->sideChainInput().readPointer(), side.data());
    p.setSideChainPresent(false);  // the plain side-chain input falls back to the main input
    EXPECT_EQ(run(), 0.0f);
    EXPECT_EQ(p.channel(1)->sideChainInput().readPointer(), main.data());
}

TEST(GenericPluginProcessor, QueuedChangesReachTheProcessorsOwnParameters) {
    struct CollectionProcessor final : GenericPluginProcessor {
        CollectionProcessor() : GenericPluginProcessor(0, 0, true) { initialize(); }
        ~CollectionProcessor() override { exitInstance(); }
        // The processor's own copy of the parameters registers with the processor itself.
        FloatPluginParameter level{"Level", this, -10.0f, 10.0f, 0.0f};
        FloatPluginParameter mix{"Mix", this, 0.0f, 2.0f, 1.0f};
    } p;
    p.setParameter(1, 1.5f, GenericPluginProcessor::kFromHost);
    p.setParameter(0, 99.0f, GenericPluginProcessor::kFromHost);
    p.setParameter(7, 1.0f, GenericPluginProcessor::kFromHost);  // no such parameter: ignored
    EXPECT_EQ(p.parameterCount(), 2);
    EXPECT_EQ(p.identifierOfName("Mix"), 1);
    EXPECT_EQ(p.mix.currentValue(), 1.0f) << "nothing changes before the audio thread applies it";
    p.applyParameterChanges();
    EXPECT_EQ(p.mix.currentValue(), 1.5f);
    EXPECT_EQ(p.level.currentValue(), 10.0f) << "clamped by the parameter";
    p.setParameter(0, std::numeric_limits<float>::quiet_NaN(), GenericPluginProcessor::kFromHost);
    p.applyParameterChanges();
    EXPECT_EQ(p.level.currentValue(), 10.0f) << "a NaN leaves the value as it was";
}

TEST(GenericPluginProcessor, DisplayStaysActiveOnlyWhileTheEditorFetchesData) {
    TestProcessor p;
    Host host(p);
    std::vector<float> in(256, 0.25f), out(256);
    host.run(in.data(), out.data(), 256);
    EXPECT_TRUE(p.environment()->displayActive());
    for (int32_t done = 256; done <= static_cast<int32_t>(kRate); done += 256)
        host.run(in.data(), out.data(), 256);
    EXPECT_FALSE(p.environment()->displayActive()) << "a second without a fetch";
    std::vector<uint8_t> stream;
    p.writeDisplayData(stream);
    host.run(in.data(), out.data(), 256);
    EXPECT_TRUE(p.environment()->displayActive());
}

TEST(GenericPluginProcessor, ResetFinishesTheCrossfadeAndGeneratorsBypassToSilence) {
    TestProcessor p;
    p.setBypassIndex(2);
    p.setParameter(0, 0.5f, 0);
    Host host(p);
    std::vector<float> in(256, 1.0f), out(256);
    host.run(in.data(), out.data(), 256);
    p.setParameter(2, 1.0f, 0);
    p.applyParameterChanges();
    p.reset();  // e.g. the host restarts playback: no 50 ms fade from here
    host.run(in.data(), out.data(), 256);
    for (float v : out)
        ASSERT_EQ(v, 1.0f) << "fully dry at once";

    struct Generator final : GenericPluginProcessor {
        Generator() : GenericPluginProcessor(0, 0, false) { initialize(); }
        ~Generator() override { exitInstance(); }
    } generator;
    generator.setBypass(true, 0);
    generator.reset();
    const float* inputs[1] = {in.data()};
    float* outputs[1] = {out.data()};
    generator.process(inputs, 1, outputs, 1, 256, nullptr);
    for (float v : out)
        ASSERT_EQ(v, 0.0f) << "a bypassed generator outputs silence, not its input";
}

TEST(GenericPluginProcessor, StoppedTransportKeepsItsOwnClock) {
    TestProcessor p;
    Host host(p);
    std::vector<float> in(441, 0.0f), out(441);
    p.setTransport(false, 0.0f, 10.0);
    EXPECT_EQ(p.tempo(), 120.0f);
    for (int32_t i = 0; i < 100; ++i)
        host.run(in.data(), out.data(), 441);  // one second
    p.setTransport(false, 120.0f, 10.0);       // the host repeats its stopped position
    EXPECT_NEAR(p.transportPosition(), 12.0, 1e-9);
    p.setTransport(true, 90.0f, 3.5);
    EXPECT_EQ(p.transportPosition(), 3.5);
    EXPECT_TRUE(p.isPlaying());
}

}  // namespace
}  // namespace tessel
