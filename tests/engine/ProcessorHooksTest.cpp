// The hooks a product builds on: parameter application with value listeners, hold and release,
// the update-finished callback, transport and sample-rate hooks, the dry path across latency
// changes, the drop counter, and the exception boundary of process.

#include <gtest/gtest.h>

#include <new>
#include <string>
#include <utility>
#include <vector>

#include "common/AllocationCounter.h"
#include "engine/GenericPluginProcessor.h"
#include "params/FloatPluginParameter.h"

namespace tessel {
namespace {

constexpr int32_t kThrowingIndex = 1;

// A mono pass-through product whose hooks write a log; parameter 0 is a real registered
// parameter with a value listener, parameter 1 throws like a rebuild that cannot allocate.
class HookProcessor final : public GenericPluginProcessor, FloatPluginParameter::Listener {
public:
    HookProcessor() : GenericPluginProcessor(0, 0, true), gain("Gain", this, 0.0f, 10.0f, 1.0f) {
        initialize();
        environment()->setSampleRate(48000.0f);
        channel(0)->setOutput(&channel(0)->input());
        gain.addValueListener(this);
        log.reserve(4096);
        willChange.reserve(4096);
    }
    ~HookProcessor() override { exitInstance(); }

    void linearValueChanged(float valueLinear) override { listened = valueLinear; }
    void parameterChanged(int32_t index) override {
        if (index == kThrowingIndex && appliedValue() > 0.5f) throw std::bad_alloc();
        log.push_back('p');
        requestUpdateNotification();
        GenericPluginProcessor::parameterChanged(index);
    }
    void parameterWillChange(int32_t index, float value) override {
        willChange.push_back({index, value});
    }
    void parameterUpdateFinished() override { log.push_back('f'); }
    void transportStarted() override { log.push_back('s'); }
    void transportChanged(float, double) override { log.push_back('t'); }
    void sampleRateChanged() override { log.push_back('r'); }

    // One host block of n samples of a ramp starting at `start`; returns the output.
    const std::vector<float>& run(int32_t n, float start = 0.0f) {
        for (int32_t i = 0; i < n; ++i)
            in[static_cast<std::size_t>(i)] = start + static_cast<float>(i);
        const float* inputs[1] = {in.data()};
        float* outputs[1] = {out.data()};
        process(inputs, 1, outputs, 1, n, nullptr);
        return out;
    }

    FloatPluginParameter gain;
    FloatPluginParameter rebuild{"Rebuild", this};  // identifier 1: the throwing index
    std::string log;
    std::vector<std::pair<int32_t, float>> willChange;
    float listened = -1.0f;
    std::vector<float> in = std::vector<float>(4096), out = std::vector<float>(4096);
};

TEST(ProcessorHooks, QueuedChangesReachHooksAndListenersInOrder) {
    HookProcessor p;
    p.run(64);
    p.log.clear();
    p.hold();
    p.setParameter(0, 2.5f, 0);
    p.setParameter(0, 4.0f, 0);
    EXPECT_EQ(p.willChange.size(), 2u);
    EXPECT_EQ(p.willChange.back(), (std::pair<int32_t, float>{0, 4.0f}))
        << "the new value reaches the calling thread's hook before queueing";
    p.run(64);
    EXPECT_EQ(p.log, "") << "held: nothing applies";
    p.release();
    p.run(64);
    EXPECT_EQ(p.log, "ppf") << "both changes in order, one finished-notification after the burst";
    EXPECT_FLOAT_EQ(p.gain.currentValue(), 4.0f);
    EXPECT_FLOAT_EQ(p.listened, 4.0f) << "value listeners hear the applied change";

    p.log.clear();
    p.setTransport(true, 100.0f, 8.0);
    p.run(64);
    p.environment()->setSampleRate(96000.0f);
    EXPECT_EQ(p.log, "str") << "start on the call, change at the next block, then the rate";

    // Steady state with changes: applying a change and telling its listener never allocates.
    testing::AllocationScope scope;
    p.willChange.clear();
    for (int i = 0; i < 200; ++i) {
        p.setParameter(0, static_cast<float>(i % 10), 0);
        p.run(256);
    }
    EXPECT_EQ(scope.allocations(), 0u);
}

TEST(ProcessorHooks, ThrowingHookAndFullQueueAreCountedNotFatal) {
    HookProcessor p;
    p.setParameter(0, 3.0f, 0);
    p.setParameter(kThrowingIndex, 1.0f, 0);
    p.setParameter(0, 5.0f, 0);
    p.log.clear();
    p.run(64);
    EXPECT_EQ(p.failedParameterChanges(), 1);
    EXPECT_EQ(p.log, "pf") << "the update before the throw finished";
    p.run(64);
    EXPECT_FLOAT_EQ(p.gain.currentValue(), 5.0f) << "the rest of the queue applies next block";

    p.hold();
    const int64_t pushes = GenericPluginProcessor::kParameterQueueMaximumNodes + 100;
    for (int64_t i = 0; i < pushes; ++i)
        p.setParameter(0, 1.0f, 0);
    EXPECT_GT(p.droppedParameterChanges(), 100);
    EXPECT_LT(p.droppedParameterChanges(), 200);
    p.release();
    p.run(64);
}

// A latency change moves the dry path's read position: bypassed, the output is the input
// delayed by the new latency from the next block on, with no silence and no allocation.
TEST(ProcessorHooks, DryPathFollowsLatencyChangesWithoutDropout) {
    struct Case {
        const char* name;
        bool bypassedBefore;
        int32_t from, to;
    };
    const Case cases[] = {{"bypassed, longer", true, 100, 200},
                          {"bypassed, shorter", true, 300, 40},
                          {"processing, then bypass", false, 100, 200}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HookProcessor p;
        p.setLatency(c.from);
        if (c.bypassedBefore) p.setBypass(true, 0);
        p.bypassProcessor()->requestJump();
        float position = 0.0f;
        for (int i = 0; i < 8; ++i, position += 256.0f)
            p.run(256, position);
        testing::AllocationScope scope;
        p.setLatency(c.to);
        if (!c.bypassedBefore) p.setBypass(true, 0);
        p.bypassProcessor()->requestJump();
        const std::vector<float>& out = p.run(256, position);
        EXPECT_EQ(scope.allocations(), 0u);
        for (int32_t i = 0; i < 256; ++i)
            ASSERT_FLOAT_EQ(out[static_cast<std::size_t>(i)], position + i - c.to) << i;
    }
}

}  // namespace
}  // namespace tessel
