// The processor frame driven like a host: blocks, MIDI, bypass, silence, queued changes, hooks.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <deque>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "common/AllocationCounter.h"
#include "common/GraphRig.h"
#include "engine/GenericPluginProcessor.h"
#include "engine/wave/DelayFilter.h"
#include "params/FloatPluginParameter.h"

namespace tessel {
namespace {

using testing::kNaN;
using testing::ramp;
constexpr float kRate = 44100.0f;
constexpr int32_t kRampSamples = 2205;  // the bypass crossfade: 50 ms at 44.1 kHz
constexpr int32_t kThrowingIndex = 1;   // its hook throws like a rebuild that cannot allocate
constexpr int32_t kBypassIndex = 2;
using Frame = GenericPluginProcessor;

// Each channel runs input -> delay (the latency) -> gain. Parameter 0 (also set by MIDI) sets the
// gains; every hook and adapter callback records its calls.
class TestProcessor final : public GenericPluginProcessor,
                            FloatPluginParameter::Listener,
                            MidiEventReceiver,
                            GenericPluginProcessor::ProcessorAdapter {
public:
    explicit TestProcessor(int32_t layout = 1, uint32_t features = 0)
        : GenericPluginProcessor(layout, features, true) {
        initialize();
        environment()->setSampleRate(kRate);
        setBypassIndex(kBypassIndex);
        setMidiEventReceiver(this);
        setAdapter(this);
        gain.addValueListener(this);
        for (int32_t k = 0; k < channelCount(); ++k) {
            delays.emplace_back(environment(), 4096).setInput(&channel(k)->input());
            gains.emplace_back(environment()).setInput(&delays.back());
            environment()->addResettable(&gains.back());
            channel(k)->setOutput(&gains.back());
        }
        log.reserve(4096);
    }
    ~TestProcessor() override { exitInstance(); }

    void setTestLatency(int32_t samples) {
        setLatency(samples);
        for (auto& d : delays)
            d.setDelay(samples);
    }
    void linearValueChanged(float value) override {
        for (auto& g : gains)
            g.gain = value;
    }
    void receiveMidiMessage(const MidiMessage& m) override {
        setParameter(0, static_cast<float>(m.data2) / 100.0f, Frame::kFromHost);
        setLastMidiTarget(m.data1);
        ++midiReceived;
    }
    void midiControllerOut(int32_t, int32_t) override {}
    void notifyModel(int32_t value) override { ++notified, lastNotified = value; }
    void parameterChangedByProcessor(int32_t index) override { ++reported, lastReported = index; }

    std::deque<wave::DelayFilter> delays;
    std::deque<testing::GainFilter> gains;
    FloatPluginParameter gain{"Gain", this, 0.0f, 10.0f, 1.0f};
    FloatPluginParameter rebuild{"Rebuild", this};  // kThrowingIndex
    std::array<float, 8> lastValues{};              // per index above the bypass
    int32_t orderViolations = 0, midiReceived = 0, notified = 0, lastNotified = -1;
    std::atomic<int32_t> reported{0}, lastReported{-1}, willChangeCalls{0}, willChangeIndex{-1};
    std::atomic<float> willChangeValue{0.0f};
    // Hooks as letters: p change, f finished, s/t transport started/changed, r sample rate.
    std::string log;
    static inline int32_t firstInits = 0, lastExits = 0;

protected:
    void parameterChanged(int32_t index) override {
        if (index == kThrowingIndex && appliedValue() > 0.5f) throw std::bad_alloc();
        if (index > kBypassIndex && index < 8) {
            orderViolations += appliedValue() <= lastValues[index] ? 1 : 0;
            lastValues[index] = appliedValue();
        }
        log.push_back('p');
        requestUpdateNotification();
        GenericPluginProcessor::parameterChanged(index);
    }
    void parameterWillChange(int32_t index, float value) override {
        willChangeIndex = index, willChangeValue = value, ++willChangeCalls;
    }
    void parameterUpdateFinished() override { log.push_back('f'); }
    void transportStarted() override { log.push_back('s'); }
    void transportChanged(float, double) override { log.push_back('t'); }
    void sampleRateChanged() override { log.push_back('r'); }
    void firstInstanceInit() override { ++firstInits; }
    void lastInstanceExit() override { ++lastExits; }
};

struct ProcessorFrame : ::testing::Test {
    TestProcessor& make(int32_t layout = 1, uint32_t features = 0) {
        p = std::make_unique<TestProcessor>(layout, features);
        return *p;
    }
    /// One host block of `in` on every channel; returns channel 0's output, flags in `flags`.
    const std::vector<float>& run(const std::vector<float>& in, int32_t inFlags = 0) {
        const int32_t count = p->channelCount();
        std::array<const float*, Frame::kMaximumChannels> ins{};
        std::array<float*, Frame::kMaximumChannels> outs{};
        outputs.resize(static_cast<std::size_t>(count));
        for (int32_t k = 0; k < count; ++k) {
            outputs[k].resize(in.size());
            ins[k] = in.data(), outs[k] = outputs[k].data();
        }
        flags = inFlags;
        p->process(ins.data(), count, outs.data(), count, static_cast<int32_t>(in.size()), &flags);
        return outputs[0];
    }
    bool silentReported(int32_t frames) {
        run(std::vector<float>(static_cast<std::size_t>(frames), 0.0f), Frame::kInputSilent);
        return (flags & Frame::kOutputSilent) != 0;
    }

    std::unique_ptr<TestProcessor> p = std::make_unique<TestProcessor>();
    std::vector<std::vector<float>> outputs;
    int32_t flags = 0;
};

TEST_F(ProcessorFrame, LayoutsGiveChannelsAndFirstAndLastInstanceRunClassWideSetUp) {
    EXPECT_EQ(p->channelCount(), 2);
    EXPECT_TRUE(make(0).channelCount() == 1 && p->channel(1) == nullptr);
    const int32_t inits = TestProcessor::firstInits, exits = TestProcessor::lastExits;
    auto second = std::make_unique<TestProcessor>();
    EXPECT_TRUE(Frame::instanceCount() == 2 && TestProcessor::firstInits == inits);
    p.reset();
    EXPECT_EQ(TestProcessor::lastExits, exits);
    second.reset();
    EXPECT_TRUE(TestProcessor::lastExits == exits + 1 && Frame::instanceCount() == 0);
    make();
    EXPECT_EQ(TestProcessor::firstInits, inits + 1);
}

TEST_F(ProcessorFrame, CutsHostBlocksIntoProcessingBlocksAndAtMidiMessages) {
    make(1, Frame::kFeatureEditorMidi);
    ASSERT_TRUE(p->queueMidiMessage(MidiMessage{100, 0xB0, 7, 50}));
    ASSERT_TRUE(p->queueMidiMessage(MidiMessage{1200, 0xB0, 3, 20}));  // beyond the block
    const std::vector<float> in = ramp(1000);
    const std::vector<float>& out = run(in);
    const testing::GainFilter& chain = p->gains[0];
    // Cycles end on the stream's 256-sample grid and at the message, not 256 after it.
    EXPECT_EQ(std::vector<int32_t>(chain.frames.begin(), chain.frames.begin() + chain.calls),
              (std::vector<int32_t>{100, 156, 256, 256, 232}));
    for (int32_t i = 0; i < 1000; ++i)  // each sub-block read its own part of the host array
        ASSERT_FLOAT_EQ(out[i], i < 100 ? in[i] : 0.5f * in[i]) << i;
    EXPECT_TRUE(p->midiReceived == 2 && p->notified == 1 && p->lastNotified == 3);
    MidiMessage copy{};
    EXPECT_TRUE(p->popEditorMidiMessage(copy) && copy.sampleOffset == 100);
    const int32_t before = chain.calls;
    run(in);
    EXPECT_EQ(chain.frames[static_cast<std::size_t>(before)], 24)
        << "the next host block keeps the grid";
    EXPECT_EQ(p->notified, 1) << "a block without MIDI does not notify";
    EXPECT_EQ(p->reported.load(), 0) << "changes from the host are not reported back";
    p->setParameter(4, 0.3f, 0);
    EXPECT_TRUE(p->reported.load() == 1 && p->lastReported.load() == 4);
}

// Delayed input times a gain moving linearly 0.5 <-> 1 over 50 ms; the release waits the latency.
TEST_F(ProcessorFrame, BypassIsLatencyAlignedWithDelayedClickFreeReleaseAndEndsOnAReset) {
    constexpr int32_t kLatency = 3072, kBlock = 512;  // two processing blocks each
    constexpr int32_t kEngage = 16 * kBlock, kRelease = 40 * kBlock, kTotal = 64 * kBlock;
    p->setTestLatency(kLatency);
    p->setParameter(0, 0.5f, 0);
    const std::vector<float> in = ramp(kTotal, 1.0f);
    std::vector<float> out;
    for (int32_t b = 0; b < kTotal; b += kBlock) {
        if (b == kEngage || b == kRelease)
            p->setParameter(kBypassIndex, b == kEngage ? 1.0f : 0.0f, 0);
        const std::vector<float>& y = run(ramp(kBlock, in[b]));
        out.insert(out.end(), y.begin(), y.end());
    }
    const auto faded = [](int32_t t) {
        return std::clamp(t, 0, kRampSamples) / static_cast<float>(kRampSamples);
    };
    for (int32_t t = kLatency; t < kTotal; ++t) {
        const float expected = 0.5f + 0.5f * (faded(t - kEngage) - faded(t - kRelease - kLatency));
        ASSERT_NEAR(out[t] / in[t - kLatency], expected, 2e-5f) << "sample " << t;
    }
    // A reset (the host restarts playback) finishes a crossfade at once: fully dry.
    const std::vector<float> ones(256, 1.0f);
    p->setTestLatency(0);
    p->setParameter(kBypassIndex, 1.0f, 0);
    p->applyParameterChanges();
    p->reset();
    EXPECT_EQ(run(ones), ones);
}

// Bypassed, the output follows a latency change at the next block, without silence or allocation;
// non-finite host input earlier leaves no trace on the wet or the dry path.
TEST_F(ProcessorFrame, DryPathFollowsLatencyChangesWithoutDropoutAndRecoversFromNonFiniteInput) {
    const std::tuple<bool, int32_t, int32_t> cases[] = {
        {true, 100, 200}, {true, 300, 40}, {false, 100, 200}};  // bypassed, from, to
    for (const auto& [bypassedBefore, from, to] : cases) {
        SCOPED_TRACE(::testing::Message() << bypassedBefore << " " << from << " " << to);
        make(0);
        p->setTestLatency(from);
        p->setBypass(bypassedBefore, 0);
        p->bypassProcessor()->requestJump();
        run({kNaN, testing::kInf, -testing::kInf});
        for (int i = 0; i < 8; ++i)
            run(ramp(256, 256.0f * static_cast<float>(i)));
        EXPECT_EQ(outputs[0], ramp(256, 1792.0f - static_cast<float>(from)));
        const std::vector<float> in = ramp(256, 2048.0f),
                                 dry = ramp(256, 2048.0f - static_cast<float>(to));
        const testing::AllocationScope scope;
        p->setLatency(to);
        p->setBypass(true, 0);
        p->bypassProcessor()->requestJump();
        run(in);
        EXPECT_EQ(scope.allocations(), 0u);
        EXPECT_EQ(outputs[0], dry);
    }
}

TEST_F(ProcessorFrame, SilentInputRunsTailPlusLatencyThenUntilSettled) {
    p->setTestLatency(64);
    // 8192 + 64 samples are 32.25 blocks: 33 blocks still render, the 34th reports silence.
    int32_t rendered = 0;
    while (!silentReported(256) && rendered < 100)
        ++rendered;
    EXPECT_EQ(rendered, 33);
    // Sound, then silence with a node still ringing: rendering goes on until it settles.
    run(std::vector<float>(256, 0.25f));
    p->gains[1].settled = false;
    for (int32_t b = 0; b < 50; ++b)
        ASSERT_FALSE(silentReported(256)) << b;
    p->gains[1].settled = true;
    EXPECT_FALSE(silentReported(256));  // the block that finds every node settled renders
    EXPECT_TRUE(silentReported(256));
}

TEST_F(ProcessorFrame, ChangesFromManyThreadsArriveInOrderWithTheLastValue) {
    constexpr int32_t kFirst = kBypassIndex + 1, kThreads = 3, kChanges = 20000;
    std::atomic<int32_t> done{0};
    std::vector<std::thread> writers;
    for (int32_t t = kFirst; t < kFirst + kThreads; ++t) {
        writers.emplace_back([this, &done, t] {
            for (int32_t i = 1; i <= kChanges; ++i)
                p->setParameter(t, static_cast<float>(i), Frame::kFromHost);
            done.fetch_add(1);
        });
    }
    const std::vector<float> in(256, 0.1f);
    while (done.load() < kThreads)
        run(in);
    for (auto& w : writers)
        w.join();
    run(in);
    for (int32_t t = kFirst; t < kFirst + kThreads; ++t)
        EXPECT_EQ(p->lastValues[t], static_cast<float>(kChanges)) << "index " << t;
    EXPECT_TRUE(p->orderViolations == 0 && p->willChangeCalls.load() == kThreads * kChanges);
}

TEST_F(ProcessorFrame, QueuedChangesReachHooksListenersParametersAndResetsInOrder) {
    p->hold();
    p->setParameter(0, 2.5f, Frame::kFromHost);
    p->setParameter(0, 4.0f, Frame::kFromHost);
    EXPECT_TRUE(p->willChangeCalls.load() == 2 && p->willChangeIndex.load() == 0 &&
                p->willChangeValue.load() == 4.0f)
        << "the hook sees each new value before queueing";
    EXPECT_EQ(p->gain.currentValue(), 1.0f) << "nothing changes before the audio thread applies";
    run(ramp(64));
    EXPECT_EQ(p->log, "") << "held: nothing applies";
    p->release();
    EXPECT_EQ(run(ramp(64))[10], 40.0f) << "the value listener set the nodes";
    EXPECT_EQ(p->log, "ppf") << "both changes in order, one finished-notification after them";
    // Clamped; NaN ignored; an index beyond the collection changes nothing.
    for (float value : {99.0f, kNaN})
        p->setParameter(0, value, Frame::kFromHost);
    p->setParameter(7, 1.0f, Frame::kFromHost);
    p->applyParameterChanges();
    EXPECT_TRUE(p->gain.currentValue() == 10.0f && p->parameterCount() == 2);
    // Negative indices reset at the start of the next block: -1 the positions, -2 the nodes too.
    const wave::Environment& env = *p->environment();
    for (const auto& [index, nodeResets] : {std::pair{-1, 0}, std::pair{-2, 1}}) {
        const int64_t blockStart = env.samplePosition();
        const int32_t resets = p->gains[0].resets;
        p->setParameter(index, 0.0f, 0);
        run(ramp(64));
        EXPECT_TRUE(env.resetPosition() == blockStart && p->gains[0].resets == resets + nodeResets)
            << index;
    }
}

TEST_F(ProcessorFrame, ThrowingHookAndFullQueueAreCountedNotFatal) {
    p->setParameter(0, 3.0f, 0);
    p->setParameter(kThrowingIndex, 1.0f, 0);
    p->setParameter(0, 5.0f, 0);
    run(ramp(64));
    EXPECT_EQ(p->failedParameterChanges(), 1);
    EXPECT_EQ(p->log, "pf") << "the update before the throw finished";
    run(ramp(64));
    EXPECT_EQ(p->gain.currentValue(), 5.0f) << "the rest of the queue applies next block";

    p->hold();
    for (int64_t i = 0; i < Frame::kParameterQueueMaximumNodes + 100; ++i)
        p->setParameter(0, 1.0f, 0);
    EXPECT_TRUE(p->droppedParameterChanges() > 100 && p->droppedParameterChanges() < 200);
    p->release();
    run(ramp(64));
}

// Changes, MIDI, bypass toggles and silence in every block, and value listeners setting nodes.
TEST_F(ProcessorFrame, SteadyStateProcessDoesNotAllocate) {
    make(1, Frame::kFeatureEditorMidi);
    p->setTestLatency(300);
    const std::vector<float> in(1000, 0.2f);
    const std::uint64_t allocations = testing::steadyStateAllocations(50, 200, [&](int32_t i) {
        p->setParameter(0, 0.5f + 0.001f * static_cast<float>(i % 100), 0);
        p->queueMidiMessage(MidiMessage{(i * 37) % 1000, 0xB0, 1, 40});
        if (i % 10 == 0) p->setBypass(i % 20 == 0, 0);
        run(in, i % 7 == 0 ? Frame::kInputSilent : 0);
        MidiMessage m{};
        while (p->popEditorMidiMessage(m)) {
        }
    });
    EXPECT_EQ(allocations, 0u);
}

TEST_F(ProcessorFrame, SideChainRoutingFollowsPresenceAndConnection) {
    make(1, Frame::kFeatureSideChain);
    p->channel(0)->setOutput(&p->channel(0)->connectedSideChainInput());
    std::vector<float> main(64, 0.25f), side(64, -0.75f), out0(64), out1(64);
    const float* inputs[4] = {main.data(), main.data(), side.data(), side.data()};
    float* outs[2] = {out0.data(), out1.data()};
    // What the connected input passes on, and whether the plain one reads the side chain.
    const auto route = [&](bool present, bool connected) {
        p->setSideChainPresent(present);
        p->setSideChainConnected(connected);
        p->process(inputs, 4, outs, 2, 64, nullptr);
        return std::pair{out0[63], p->channel(1)->sideChainInput().readPointer() == side.data()};
    };
    EXPECT_EQ(route(false, false), std::pair(0.0f, false));  // no side chain in the host instance
    EXPECT_EQ(route(true, false), std::pair(0.0f, true));    // present but not connected
    EXPECT_EQ(route(true, true), std::pair(-0.75f, true));
    EXPECT_EQ(route(false, true), std::pair(0.0f, false)) << "the plain input falls back to main";
}

// Start on the call, a change at the next block; stopped, the transport keeps its own clock.
TEST_F(ProcessorFrame, TransportHooksAndTheClockOfAStoppedTransport) {
    p->setTransport(false, 0.0f, 10.0);
    EXPECT_EQ(p->tempo(), 120.0f);
    for (int32_t i = 0; i < 100; ++i)  // 100 blocks of 441 samples are one second
        run(std::vector<float>(441, 0.0f));
    p->setTransport(false, 120.0f, 10.0);  // the host repeats its stopped position
    EXPECT_NEAR(p->transportPosition(), 12.0, 1e-9);
    p->setTransport(true, 90.0f, 3.5);
    p->setTransport(true, 90.0f, 4.0);
    EXPECT_TRUE(p->transportPosition() == 4.0 && p->isPlaying());
    run(ramp(64));
    p->environment()->setSampleRate(96000.0f);
    EXPECT_EQ(p->log, "tstr");
}

}  // namespace
}  // namespace tessel
