// Linear-phase convolution: level sizes, exactness at every level configuration, flat kernels and
// band sums, kernel crossfades, even work per block and no allocation while kernels rebuild.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <numeric>
#include <tuple>

#include "BandsTestRig.h"
#include "bands/Convolver.h"
#include "bands/CrossoverMultiBandModel.h"
#include "bands/FrequencyResponseKernel.h"
#include "bands/LinearPhaseSizing.h"
#include "common/AllocationCounter.h"
#include "common/StepMeter.h"

namespace tessel {
namespace {

using namespace testing;  // tessel::testing
using Config = Convolver::Configuration;

/// Plays a signal from its start as it is pulled (then silence), whatever the position.
struct Feed : wave::Source {
    using wave::Source::Source;
    void process(wave::BasicBlock<float>* block, int32_t frames, int32_t) noexcept override {
        for (int32_t i = 0; i < frames; ++i, ++at)
            block->data()[i] = at < signal.size() ? signal[at] : 0.0f;
    }
    std::vector<float> signal;
    std::size_t at = 0;
};

/// Convolvers on one feed, pulled together in host blocks; counts allocations inside cycles.
struct ConvolverRig : GraphRig {
    explicit ConvolverRig(float rateHz) : GraphRig(256, rateHz), feed(&env) {}
    Convolver& add(Convolver::Kernel& kernel) {
        nodes.push_back(std::make_unique<Convolver>(&env, &kernel));
        nodes.back()->setInput(&feed);
        outputs.emplace_back();
        return *nodes.back();
    }
    /// Blocks of `frames` (random sizes up to it with a generator); `each` runs before a cycle.
    void run(int64_t samples, int32_t frames, std::mt19937* random = nullptr,
             const std::function<void(int64_t)>& each = {}) {
        std::vector<const wave::BasicBlock<float>*> blocks(nodes.size());
        for (int64_t end = env.samplePosition() + samples; env.samplePosition() < end;) {
            const int32_t n = random ? 1 + static_cast<int32_t>((*random)() % frames) : frames;
            const AllocationScope allocations;  // band moves and kernel updates count too
            if (each) each(env.samplePosition());
            env.beginCycle();
            for (std::size_t i = 0; i < nodes.size(); ++i)
                blocks[i] = nodes[i]->pull(n);
            env.advance(n, 0);
            cycleAllocations += allocations.allocations();
            for (std::size_t i = 0; i < nodes.size(); ++i)
                outputs[i].insert(outputs[i].end(), blocks[i]->data(), blocks[i]->data() + n);
        }
    }
    /// Silence until every kernel's last build has long been active; then a fresh start.
    void settle() {
        for (auto& node : nodes)
            for (Convolver::Kernel* k = node->kernel();
                 k->building() || k->updatePending() ||
                 env.samplePosition() <
                     k->activationTime() + 2 * k->configuration()->schedulingSamples();)
                run(block, block);
        for (auto& n : nodes)
            n->reset();
        for (auto& o : outputs)
            o.clear();
        feed.at = 0;
    }
    Feed feed;
    std::vector<std::unique_ptr<Convolver>> nodes;
    std::vector<std::vector<float>> outputs;
    uint64_t cycleAllocations = 0;
};

/// sum of h[m] x[n - lag - m] over input samples from `from` on.
double direct(const std::vector<float>& h, const std::vector<float>& x, int64_t n, int32_t lag,
              int64_t from) {
    double y = 0.0;
    for (int64_t m = 0, i = n - lag; m < static_cast<int64_t>(h.size()) && i >= from; ++m, --i)
        if (i < static_cast<int64_t>(x.size())) y += static_cast<double>(h[m]) * x[i];
    return y;
}

/// A band layout whose grid is set for the kernels of one rate (linear-phase mode).
struct ModelRig {
    explicit ModelRig(float rateHz) : config(Config::forSampleRate(rateHz)), layout(&model) {
        model.sampleRate() = rateHz;
        FrequencyResponseKernel::configureGrid(model.mapping(), *config);
    }
    void place(double lowHz, double highHz) {
        UpdatedObject::ScopedHold hold(layout);
        layout.band(0).used() = true;
        layout.band(0).setRange(static_cast<float>(std::log2(lowHz)),
                                static_cast<float>(std::log2(highHz)));
    }
    std::shared_ptr<const Config> config;
    CrossoverMultiBandModel model;
    FloatingMultiBandModel layout;
};

TEST(Convolver, LevelsAndSizesFollowTheKernelLength) {
    struct Case {
        std::shared_ptr<const Config> config;
        int32_t kernelLength;
        std::vector<std::array<int32_t, 3>> levels;  // transform size, partitions, first sample
        std::array<int32_t, 3> crossfadeSchedulingSlots;
    };
    const Case cases[] = {
        {Config::forSampleRate(44100), 4096, {{1024, 8, 0}}, {882, 1536, 4}},
        {Config::forSampleRate(96000), 8192, {{1024, 16, 0}}, {1920, 2560, 4}},
        {Config::forSampleRate(192000), 16384, {{1024, 32, 0}}, {3840, 4608, 4}},
        {Config::create(5000, 48000, 0.0f), 5000, {{1024, 10, 0}}, {0, 512, 3}},
        {Config::create(32768, 48000), 32768, {{8192, 6, 8192}, {1024, 16, 0}}, {960, 8192, 4}},
        {Config::create(1 << 18, 48000),
         1 << 18,
         {{65536, 6, 65536}, {8192, 14, 8192}, {1024, 16, 0}},
         {960, 65536, 4}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kernelLength);
        EXPECT_EQ(c.config->kernelLength(), c.kernelLength);
        ASSERT_EQ(c.config->levelCount(), static_cast<int32_t>(c.levels.size()));
        for (int32_t l = 0; l < c.config->levelCount(); ++l) {
            const Config::Level& level = c.config->level(l);
            EXPECT_EQ((std::array{level.transformSize, level.partitionCount, level.kernelOffset}),
                      c.levels[l]);
        }
        EXPECT_EQ(c.config->latencySamples(), c.kernelLength / 2 + 1024);
        EXPECT_EQ(c.config->lagSamples(), LinearPhaseSizing::kKernelOffset);
        EXPECT_EQ((std::array{c.config->crossfadeSamples(), c.config->schedulingSamples(),
                              c.config->slotCount()}),
                  c.crossfadeSchedulingSlots);
    }
}

// Random kernels and signals in random host blocks. A reset (or skipped cycles) in the middle
// silences the output for two partitions and forgets the earlier input; a NaN leaves the output
// after the kernel length and three partitions.
TEST(Convolver, MatchesDirectConvolutionAtEveryLevelConfiguration) {
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    std::mt19937 random(seed);
    enum Flags { kNone = 0, kNaN = 1, kGap = 2 };
    struct Case {
        int32_t kernelLength, samples, checks, flags;  // checks: outputs compared (0: all)
    };
    for (const Case& c : {Case{100, 6000, 0, kGap}, Case{4096, 20000, 0, kNaN},
                          Case{5000, 20000, 0, kGap}, Case{8192, 30000, 4000, kNone},
                          Case{32768, 80000, 3000, kNone}, Case{1 << 18, 600000, 400, kGap}}) {
        SCOPED_TRACE(c.kernelLength);
        ConvolverRig rig(48000);
        Convolver::Kernel kernel(&rig.env, Config::create(c.kernelLength, 48000));
        Convolver& convolver = rig.add(kernel);
        std::normal_distribution<float> gauss(0.0f, 1.0f / std::sqrt(float(c.kernelLength)));
        std::vector<float> h(static_cast<std::size_t>(c.kernelLength));
        for (float& v : h)
            v = gauss(random);
        kernel.setImpulseResponse(h.data(), c.kernelLength);
        rig.settle();
        rig.feed.signal = noise(random, c.samples);
        const int32_t nanAt = c.samples / 8, lag = convolver.configuration()->lagSamples();
        if (c.flags & kNaN) rig.feed.signal[nanAt] = kNaN;
        rig.run(c.samples / 2, 256, &random);
        const auto resetAt = static_cast<int64_t>(rig.outputs[0].size());
        (c.flags & kGap) ? rig.idle(3) : convolver.reset();
        rig.run(c.samples - resetAt, 256, &random);
        EXPECT_EQ(rig.cycleAllocations, 0u);
        double error = 0.0, signal = 0.0;
        for (int32_t i = 0; i < (c.checks ? c.checks : c.samples); ++i) {
            const int64_t n = c.checks ? random() % c.samples : i;
            const float y = rig.outputs[0][n];
            if (n >= resetAt && n < resetAt + lag) {
                ASSERT_EQ(y, 0.0f) << n;
            }
            if ((c.flags & kNaN) && n >= nanAt && n < nanAt + c.kernelLength + 3 * lag / 2)
                continue;
            const double expected = direct(h, rig.feed.signal, n, lag, n >= resetAt ? resetAt : 0);
            ASSERT_NEAR(y, expected, 2e-5) << n;
            error += (y - expected) * (y - expected);
            signal += expected * expected;
        }
        EXPECT_LT(10.0 * std::log10(error / signal), -120.0);
    }
}

// A flat response is a unit impulse at L/2 at every rate (one kernel, reconfigured per rate);
// the bands of random layouts add up to the input delayed by L/2 + 2P = 3072 at 44.1 kHz.
TEST(FrequencyResponseKernel, FlatResponseIsAnImpulseAndBandsSumToTheDelayedInput) {
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    std::mt19937 random(seed);
    ConvolverRig flatRig(44100.0f);
    FrequencyResponseKernel flatKernel(&flatRig.env, Config::forSampleRate(44100.0f));
    flatRig.add(flatKernel);
    for (const float rate : {44100.0f, 96000.0f, 192000.0f}) {
        ModelRig m(rate);
        DiscreteFrequencyResponseSource flat(&m.model.mapping());
        flatRig.env.setSampleRate(rate);
        flatKernel.setConfiguration(m.config);
        flatKernel.setResponseSource(&flat);
        flatRig.settle();
        flatRig.feed.signal = impulse(1);
        flatRig.run(m.config->latencySamples() + 1024, 256);
        const int32_t latency = LinearPhaseSizing::latencySamples(rate);
        for (int32_t n = 0; n < static_cast<int32_t>(flatRig.outputs[0].size()); ++n)
            ASSERT_NEAR(flatRig.outputs[0][n], n == latency ? 1.0 : 0.0, 1e-6) << rate << " " << n;
    }
    for (int trial = 0; trial < 6; ++trial) {
        ModelRig m(44100.0f);
        randomLayout(m.layout, random, trial == 0);
        ConvolverRig rig(44100.0f);
        std::vector<std::unique_ptr<FrequencyResponseKernel>> kernels;
        for (int32_t b = 0; b < m.model.bandCount(); ++b)
            rig.add(*kernels.emplace_back(
                std::make_unique<FrequencyResponseKernel>(&rig.env, m.config, &m.model.band(b))));
        rig.settle();
        rig.feed.signal = noise(random, 16384);
        rig.run(16384 + 3072, 128, &random);
        double error = 0.0, signal = 0.0;
        for (int32_t n = 0; n < 16384 + 3072; ++n) {
            const double expected = n >= 3072 ? rig.feed.signal[n - 3072] : 0.0;
            double sum = -expected;
            for (const auto& o : rig.outputs)
                sum += o[n];
            error += sum * sum;
            signal += expected * expected;
        }
        EXPECT_LT(10.0 * std::log10(error / signal), -100.0) << m.model.bandCount().get();
        EXPECT_EQ(rig.cycleAllocations, 0u) << "kernel builds allocate";
    }
}

// The band moves while noise runs: the moving kernel's output follows the old kernel's exactly,
// crossfades linearly to the new kernel's over 20 ms, then follows that.
TEST(FrequencyResponseKernel, MovingABandCrossfadesLinearlyOver20Ms) {
    ModelRig m(44100.0f);
    ConvolverRig rig(44100.0f);
    FrequencyResponseKernel before(&rig.env, m.config, &m.model.band(1)),
        after(&rig.env, m.config, &m.model.band(1)), moving(&rig.env, m.config, &m.model.band(1));
    for (auto* k : {&before, &after, &moving})
        rig.add(*k);
    m.place(400.0, 4000.0);
    rig.settle();
    m.place(200.0, 2000.0);
    before.markForUpdate();
    moving.markForUpdate();
    rig.settle();
    std::mt19937 random(5);
    rig.feed.signal = noise(random, 12000);
    int64_t movedAt = -1;
    rig.run(12000, 64, nullptr, [&](int64_t) {  // then rebuilds of the same kernel, back to back
        if (rig.outputs[0].size() < 3000) return;
        if (movedAt < 0) movedAt = static_cast<int64_t>(rig.outputs[0].size());
        m.place(400.0, 4000.0);
        moving.markForUpdate();
    });
    const auto& [a, b, c] = std::tie(rig.outputs[0], rig.outputs[1], rig.outputs[2]);
    int64_t first = 0;  // the first sample that differs from the old kernel's
    while (first < 12000 && c[first] == a[first])
        ++first;
    const int32_t fade = m.config->crossfadeSamples(), p = m.config->level(0).partitionSize;
    EXPECT_EQ(fade, 882);
    EXPECT_GE(first - movedAt, m.config->schedulingSamples() + p);
    EXPECT_LE(first - movedAt, m.config->schedulingSamples() + 2 * p + 64);
    StepMeter steps[3];
    for (int64_t n = 0; n < 12000; ++n) {
        const double g = std::clamp(double(n - first + 1) / fade, 0.0, 1.0);
        ASSERT_NEAR(c[n], a[n] * (1.0 - g) + b[n] * g, 1e-6) << n - first;
        for (int i = 0; i < 3; ++i)
            steps[i].add(rig.outputs[i][n]);
    }
    EXPECT_LT(steps[2].largestStep, 1.05 * std::max(steps[0].largestStep, steps[1].largestStep));
    EXPECT_GE(moving.buildCount() - before.buildCount(), 4);
    EXPECT_EQ(rig.cycleAllocations, 0u);
}

// Stereo convolvers of one band whose layout moves every block, so builds follow each other at
// once: the work (runner cost) in any 64 samples stays within 2x of the mean, allocation-free.
TEST(FrequencyResponseKernel, WorkPerBlockStaysEvenWhileKernelsRebuild) {
    for (const int32_t block : {32, 64, 100, 256}) {
        SCOPED_TRACE(block);
        ModelRig m(44100.0f);
        ConvolverRig rig(44100.0f);
        FrequencyResponseKernel kernel(&rig.env, m.config, &m.model.band(1));
        Convolver &left = rig.add(kernel), &right = rig.add(kernel);
        std::mt19937 random(block);
        rig.feed.signal = noise(random, 44100);
        std::vector<double> cost;
        cost.reserve(44100 / block + 2);
        rig.run(44100 + block, block, nullptr, [&](int64_t position) {
            m.place(300.0 * std::exp2(std::sin(position * 1e-4)), 1200.0);
            kernel.markForUpdate();
            cost.push_back(
                double(left.lifetimeCost() + right.lifetimeCost() + kernel.lifetimeCost()));
        });
        const int32_t per = std::max(1, 64 / block);  // cycles per window
        std::vector<double> work;
        for (std::size_t i = 4096 / block; i + per < cost.size(); i += per)
            work.push_back((cost[i + per] - cost[i]) * 64.0 / (per * block));
        const double mean = std::accumulate(work.begin(), work.end(), 0.0) / work.size();
        EXPECT_LE(*std::max_element(work.begin(), work.end()), 2.0 * mean);
        EXPECT_GE(*std::min_element(work.begin(), work.end()), 0.5 * mean);
        EXPECT_NEAR(kernel.buildCount(), 44100 / m.config->schedulingSamples(), 1);
        EXPECT_GE(left.crossfadeCount(), 20);
        EXPECT_EQ(rig.cycleAllocations, 0u);
    }
}

}  // namespace
}  // namespace tessel
