#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>

#include "analysis/AudioSourceProxy.h"
#include "analysis/DisplayData.h"
#include "common/AllocationCounter.h"
#include "engine/tessel/ProcessorRig.h"

namespace tessel {
namespace {

using testing::ProcessorRig;
using Signal = ProcessorRig::Signal;

constexpr float kLinear = 0.0f, kDynamic = 1.0f, kMinimum = 2.0f;

std::size_t peakIndex(const std::vector<float>& x) {
    std::size_t at = 0;
    for (std::size_t i = 1; i < x.size(); ++i)
        if (std::fabs(x[i]) > std::fabs(x[at])) at = i;
    return at;
}

/// Magnitude response (dB) of a response at frequency f.
double magnitudeDb(const std::vector<float>& h, std::size_t from, double f, double fs) {
    std::complex<double> sum = 0.0;
    const double w = -2.0 * M_PI * f / fs;
    for (std::size_t i = from; i < h.size(); ++i)
        sum += static_cast<double>(h[i]) * std::polar(1.0, w * static_cast<double>(i - from));
    return 20.0 * std::log10(std::abs(sum));
}

double largestStep(const std::vector<float>& x, std::size_t from, std::size_t to) {
    double step = 0.0;
    for (std::size_t i = from + 1; i < to; ++i)
        step = std::max(step, static_cast<double>(std::fabs(x[i] - x[i - 1])));
    return step;
}

// The reported latency is where an impulse comes out: every mode, lookahead on and off, every
// oversampling factor, three rates. Linear and Dynamic Phase run with bands in use (their band
// paths are delays); Minimum Phase bands add an all-pass, so its delay is read on the path that
// no band takes, through the same delays and converters.
TEST(TesselProcessorTest, ReportedLatencyIsTheImpulseDelay) {
    for (float fs : {44100.0f, 48000.0f, 96000.0f})
        for (float mode : {kLinear, kDynamic, kMinimum})
            for (float lookahead : {0.0f, 1.0f})
                for (float oversampling : {0.0f, 1.0f, 2.0f}) {
                    ProcessorRig rig(0, fs);
                    rig.set(rig.p().processingMode, mode);
                    rig.set(rig.p().lookaheadEnabled, lookahead);
                    rig.set(rig.p().oversampling, oversampling);
                    if (mode != kMinimum) rig.useBands(4);
                    rig.run(Signal(1, std::vector<float>(static_cast<std::size_t>(fs / 2))));
                    const int32_t latency = rig.p().latency();
                    const Signal out = rig.run(ProcessorRig::impulse(1, 16384, 100));
                    SCOPED_TRACE(::testing::Message()
                                 << "fs " << fs << " mode " << mode << " lookahead " << lookahead
                                 << " os " << oversampling);
                    EXPECT_EQ(latency, rig.p().latencyParts().total());
                    EXPECT_EQ(peakIndex(out[0]), static_cast<std::size_t>(100 + latency));
                    // The converters cut what lies above 20 kHz, a little of a full-band impulse.
                    EXPECT_NEAR(out[0][static_cast<std::size_t>(100 + latency)], 1.0f,
                                oversampling > 0.0f ? 0.15f : 2e-3f);
                }
    // A rate change while running rebuilds the kernels, delays and converters for the new rate.
    ProcessorRig rig(1, 48000.0f);
    rig.set(rig.p().processingMode, kLinear);
    rig.set(rig.p().oversampling, 1.0f);
    rig.useBands(4);
    rig.run(ProcessorRig::noise(2, 24000));
    rig.p().environment()->setSampleRate(96000.0f);
    rig.run(Signal(2, std::vector<float>(48000)));
    const Signal out = rig.run(ProcessorRig::impulse(2, 16384, 10));
    EXPECT_EQ(rig.p().latency(), 1920 + 5120 + rig.p().latencyParts().oversamplingSamples);
    EXPECT_EQ(peakIndex(out[1]), static_cast<std::size_t>(10 + rig.p().latency()));
}

// With every band in use and no gain change the processor is the input delayed: within -100 dB
// in Linear Phase and -120 dB in Dynamic Phase, and a flat magnitude within 0.01 dB in Minimum
// Phase and with oversampling (whose converters are flat to far less than that below 20 kHz).
TEST(TesselProcessorTest, NoGainChangeIsTransparent) {
    struct Case {
        float mode;
        float oversampling;
        double boundDb;  // time-domain error bound, or 0 for the magnitude check
        int32_t layout = 1;
        int32_t inputs = 2;  // 1 into a stereo layout: mono to stereo
    };
    const Case cases[] = {{kLinear, 0, -100.0},        {kDynamic, 0, -120.0},
                          {kMinimum, 0, 0.0},          {kLinear, 1, 0.0},
                          {kDynamic, 1, 0.0},          {kMinimum, 2, 0.0},
                          {kDynamic, 0, -120.0, 0, 1}, {kLinear, 0, -100.0, 1, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "mode " << c.mode << " os " << c.oversampling
                                          << " layout " << c.layout << " inputs " << c.inputs);
        ProcessorRig rig(c.layout, 48000.0f);
        rig.set(rig.p().processingMode, c.mode);
        rig.set(rig.p().oversampling, c.oversampling);
        rig.useBands(6);
        for (int32_t b = 0; b < 6; ++b)
            rig.set(rig.p().band(b).threshold, 0.1f);  // -72 dB: far below the signal, ratio 1
        for (int32_t b = 0; b < 6; ++b)
            rig.set(rig.p().band(b).ratio, 0.0f);
        const Signal noise = ProcessorRig::noise(c.inputs, 48000);
        const Signal out = rig.run(noise);
        const auto latency = static_cast<std::size_t>(rig.p().latency());
        if (c.boundDb < 0.0) {
            double error = 0.0;
            for (std::size_t ch = 0; ch < out.size(); ++ch)
                for (std::size_t i = latency + 8192; i < out[0].size(); ++i)
                    error = std::max(
                        error,
                        static_cast<double>(std::fabs(
                            out[ch][i] - noise[std::min(ch, noise.size() - 1)][i - latency])));
            EXPECT_LT(20.0 * std::log10(error / 0.25), c.boundDb);
            continue;
        }
        rig.run(Signal(2, std::vector<float>(48000)));  // the noise's tail out first
        const Signal h = rig.run(ProcessorRig::impulse(2, 16384));
        for (double f = 20.0; f < 20000.0; f *= 1.1)
            EXPECT_NEAR(magnitudeDb(h[1], 0, f, 48000.0), 0.0, 0.01) << f << " Hz";
    }
}

// Linear Phase stops the convolvers of bands out of use once they are silent and restarts them
// when a band comes into use: through both, the parts still sum to the delayed input.
TEST(TesselProcessorTest, LinearPhaseBandsComingAndGoingKeepTheSumWhole) {
    ProcessorRig rig(0, 48000.0f);
    rig.set(rig.p().processingMode, kLinear);
    rig.useBand(0, 100.0f, 1000.0f);
    const Signal noise = ProcessorRig::noise(1, 48000);
    rig.run(noise);
    const auto latency = static_cast<std::size_t>(rig.p().latency());
    for (int32_t step = 0; step < 3; ++step) {
        if (step == 0) rig.useBand(1, 2000.0f, 8000.0f);  // a stopped convolver restarts
        if (step == 1) rig.set(rig.p().band(0).state, static_cast<float>(BandState::kUnused));
        const Signal out = rig.run(noise);
        double error = 0.0;
        for (std::size_t i = latency; i < out[0].size(); ++i)
            error =
                std::max(error, static_cast<double>(std::fabs(out[0][i] - noise[0][i - latency])));
        EXPECT_LT(20.0 * std::log10(error / 0.25), -100.0) << "step " << step;
    }
}

TEST(TesselProcessorTest, MixAndInputLevelEdgeCases) {
    ProcessorRig rig(1, 48000.0f);
    rig.set(rig.p().inputLevel, -1.0f);
    rig.set(rig.p().outputLevel, 0.7f);
    rig.set(rig.p().outputPan, 0.5f);
    rig.useBands(4);
    const Signal noise = ProcessorRig::noise(2, 24000);
    Signal out = rig.run(noise);
    for (int32_t ch = 0; ch < 2; ++ch)
        EXPECT_EQ(largestStep(out[ch], 12000, 24000), 0.0)
            << "input level at its minimum is silence";

    rig.set(rig.p().mix, 0.0f);
    out = rig.run(noise);
    for (int32_t ch = 0; ch < 2; ++ch) {
        auto& channel = rig.p().tesselChannel(ch);
        EXPECT_EQ(channel.inputGain().gain().parameter().target(), 1.0f);
        EXPECT_EQ(channel.outputGain().gain().parameter().target(), 1.0f);
    }
    // Dynamic Phase at Mix 0 %: the chain's gains are all 1, so the output is the input exactly.
    const auto latency = static_cast<std::size_t>(rig.p().latency());
    out = rig.run(noise);
    for (std::size_t i = latency + 4096; i < noise[0].size(); ++i)
        ASSERT_NEAR(out[0][i], noise[0][i - latency], 1e-6f) << i;
}

// Soloing a band in Dynamic Phase moves the output to the band sum of the minimum-phase split,
// without a rebuild: the band sum first runs unheard for the lookahead and a block (so that its
// delays hold signal), then the output crossfades over 70 ms; unsoloing moves it back alike.
TEST(TesselProcessorTest, SoloInDynamicPhaseCrossfadesWithoutRebuild) {
    ProcessorRig rig(1, 48000.0f);
    rig.useBands(4);
    rig.run(ProcessorRig::noise(2, 4800));
    const int32_t rebuilds = rig.p().style().rebuildCount();
    auto& path = rig.p().tesselChannel(0).pathRouter();
    for (const auto& [solo, to] :
         {std::pair{SoloMuteState::kSolo, 0}, {SoloMuteState::kNormal, 1}}) {
        rig.set(rig.p().band(1).soloMuteState, static_cast<float>(solo));
        rig.run(ProcessorRig::noise(2, 1280));  // warming: 960 + 256 samples
        EXPECT_EQ(path.passThroughInput(), 1 - to);
        EXPECT_EQ(rig.p().effectiveMode(),
                  to == 0 ? ProcessingMode::kMinimumPhase : ProcessingMode::kDynamicPhase);
        rig.run(ProcessorRig::noise(2, 256));
        EXPECT_EQ(path.passThroughInput(), -1) << "crossfading";
        EXPECT_NEAR(path.weight(to)->rampLength(), 0.07f * 48000.0f, 2.0f);
        rig.run(ProcessorRig::noise(2, 3600));
        EXPECT_EQ(path.passThroughInput(), to);
        EXPECT_EQ(rig.p().tesselChannel(0).band(0).muted(), to == 0);
    }
    EXPECT_EQ(rig.p().style().rebuildCount(), rebuilds);
}

TEST(TesselProcessorTest, OversamplingShortensTheHostCycle) {
    ProcessorRig rig(1, 48000.0f);
    for (float os : {0.0f, 1.0f, 2.0f}) {
        rig.set(rig.p().oversampling, os);
        rig.run(ProcessorRig::noise(2, 512));
        const int32_t factor = 1 << static_cast<int32_t>(os);
        EXPECT_EQ(rig.p().environment()->processingBlockSize(), 256 / factor);
        EXPECT_EQ(rig.p().bandEnvironment()->processingBlockSize(), 256);
        EXPECT_FLOAT_EQ(rig.p().bandEnvironment()->sampleRate(), 48000.0f * factor);
    }
}

// A change in the number of bands rewires the crossover tree; the two splitters crossfade, so
// the output moves no faster than the signal itself does.
TEST(TesselProcessorTest, BandCountChangeDoesNotClick) {
    ProcessorRig rig(0, 48000.0f);
    rig.set(rig.p().processingMode, kMinimum);
    rig.useBand(0, 30.0f, 200.0f);
    rig.useBand(1, 200.0f, 2000.0f);
    Signal tone(1, std::vector<float>(48000));
    for (std::size_t i = 0; i < tone[0].size(); ++i)
        tone[0][i] = 0.4f * std::sin(2.0 * M_PI * 90.0 * i / 48000.0) +
                     0.3f * std::sin(2.0 * M_PI * 700.0 * i / 48000.0);
    // The bound is the output's own largest step while nothing changes, before and after (an
    // all-pass of the tone steps further than the tone does, and each tree is another all-pass);
    // rewiring without the crossfade steps ten times that.
    double before = largestStep(rig.run(tone)[0], 9600, tone[0].size());
    for (int32_t change = 0; change < 3; ++change) {
        if (change == 0) rig.useBand(2, 2000.0f, 30000.0f);  // a band more
        if (change == 1) rig.set(rig.p().band(1).state, static_cast<float>(BandState::kUnused));
        if (change == 2) rig.useBand(1, 400.0f, 900.0f);  // a gap between bands
        const uint32_t switches = rig.p().style().switchGeneration();
        const Signal out = rig.run(tone);
        EXPECT_EQ(rig.p().style().switchGeneration(), switches + 1) << "change " << change;
        const double after = largestStep(rig.run(tone)[0], 9600, tone[0].size());
        EXPECT_LT(largestStep(out[0], 1, 9600), 1.2 * std::max(before, after))
            << "change " << change;
        before = after;
    }
}

// One band over the whole spectrum at +6.02 dB: the band sum (Minimum Phase) and the shelving
// chain (Dynamic Phase) both double the signal; auditioning the band plays its detection signal,
// which the level does not touch. The host meters and the display stream see the result.
TEST(TesselProcessorTest, BandLevelAuditionMetersAndDisplay) {
    for (float mode : {kDynamic, kMinimum}) {
        SCOPED_TRACE(::testing::Message() << "mode " << mode);
        ProcessorRig rig(1, 48000.0f);
        rig.set(rig.p().processingMode, mode);
        rig.useBand(0, 30.0f, 30000.0f);
        rig.setText(rig.p().band(0).level, "6.0206");
        rig.set(rig.p().band(0).stereoLink, 0.0f);  // audition each channel's own signal
        const Signal noise = ProcessorRig::noise(2, 24000);
        std::vector<uint8_t> stream;
        rig.p().writeDisplayData(stream);  // the display is active for a second from here
        rig.run(noise);
        const auto latency = static_cast<std::size_t>(rig.p().latency());
        auto expectGain = [&](const Signal& out, float gain) {
            for (std::size_t i = latency + 9600; i < noise[1].size(); ++i)
                ASSERT_NEAR(out[1][i], gain * noise[1][i - latency], 1e-5f) << i;
        };
        // The meters' first reading after a rate change only takes up the new settings.
        for (auto meter : {TesselProcessor::kOutputMeter, TesselProcessor::kInputMeter})
            rig.p().hostMeter(meter);
        expectGain(rig.run(noise), 2.0f);
        EXPECT_NEAR(rig.p().hostMeter(TesselProcessor::kOutputMeter), 0.5f, 0.01f);
        EXPECT_NEAR(rig.p().hostMeter(TesselProcessor::kInputMeter), 0.25f, 0.01f);
        EXPECT_EQ(rig.p().hostMeter(TesselProcessor::kGainChangeMeter), 0.0f);

        rig.set(rig.p().expertMode, 1.0f);
        rig.set(rig.p().auditionSideChain, 1.0f);
        expectGain(rig.run(noise), 1.0f);

        stream.clear();
        rig.p().writeDisplayData(stream);
        AudioSourceProxy pre(2, RealTimeAudioBuffer::kBlockLength, 64),
            post(2, RealTimeAudioBuffer::kBlockLength, 64),
            side(2, RealTimeAudioBuffer::kBlockLength, 64);
        const auto outcome = DisplayDataReader::read(stream, {&pre, &post, &side}, {});
        EXPECT_EQ(outcome.result, DisplayDataReader::Result::kOk);
        EXPECT_GT(outcome.blocks, 0);
    }
}

double rmsDb(const std::vector<float>& x, std::size_t from) {
    double sum = 0.0;
    for (std::size_t i = from; i < x.size(); ++i)
        sum += static_cast<double>(x[i]) * x[i];
    return 10.0 * std::log10(sum / static_cast<double>(x.size() - from) + 1e-30);
}

// In Expert Mode a band set to the external input compresses when the side chain is loud, not
// when the (quiet) input is; both channels alike, in every mode.
TEST(TesselProcessorTest, ExternalSideChainDrivesTheBand) {
    for (float mode : {kLinear, kDynamic, kMinimum}) {
        ProcessorRig rig(1, 48000.0f, true);
        rig.set(rig.p().processingMode, mode);
        rig.useBand(0, 30.0f, 30000.0f);
        const BandParameterSet& band = rig.p().band(0);
        rig.setText(band.threshold, "-40");
        rig.setText(band.range, "-12");
        rig.set(band.ratio, 1.0f);
        rig.set(rig.p().expertMode, 1.0f);
        rig.set(band.sideChainInput, 1.0f);
        const Signal quiet = ProcessorRig::noise(2, 48000, 0.02f);
        for (float sideLevel : {0.0f, 0.5f}) {
            const Signal out = rig.run(quiet, 256, ProcessorRig::noise(2, 48000, sideLevel, 9));
            for (int32_t ch = 0; ch < 2; ++ch)
                EXPECT_NEAR(rmsDb(out[ch], 24000) - rmsDb(quiet[ch], 24000),
                            sideLevel > 0.0f ? -12.0 : 0.0, 0.5)
                    << "mode " << mode << " side " << sideLevel << " channel " << ch;
        }
    }
}

// NaN and infinity in the input or side chain never reach the output, in any mode, and the
// output is finite again with the first finite block.
TEST(TesselProcessorTest, NonFiniteInputNeverReachesTheOutput) {
    for (float mode : {kLinear, kDynamic, kMinimum}) {
        ProcessorRig rig(1, 48000.0f, true);
        rig.set(rig.p().processingMode, mode);
        rig.useBands(4);
        rig.set(rig.p().expertMode, 1.0f);
        rig.set(rig.p().band(0).sideChainInput, 1.0f);
        Signal in = ProcessorRig::noise(2, 9600);
        Signal side = ProcessorRig::noise(2, 9600, 0.5f, 7);
        for (std::size_t i = 2000; i < 2300; ++i) {
            in[0][i] = std::numeric_limits<float>::quiet_NaN();
            in[1][i] = std::numeric_limits<float>::infinity();
            side[0][i] = -std::numeric_limits<float>::infinity();
        }
        const Signal out = rig.run(in, 256, side);
        for (const auto& ch : out)
            for (float x : ch)
                ASSERT_TRUE(std::isfinite(x)) << "mode " << mode;
        EXPECT_GT(largestStep(out[0], 9000, 9600), 0.0);
    }
}

// Steady state never allocates, in every mode, with continuous parameters moving.
TEST(TesselProcessorTest, SteadyStateDoesNotAllocate) {
    for (float mode : {kLinear, kDynamic, kMinimum})
        for (float oversampling : {0.0f, 1.0f}) {
            ProcessorRig rig(1, 48000.0f, true);
            rig.set(rig.p().processingMode, mode);
            rig.set(rig.p().oversampling, oversampling);
            rig.useBands(6);
            const Signal noise = ProcessorRig::noise(2, 256);
            Signal out = noise;
            int32_t step = 0;
            const auto allocations = tessel::testing::steadyStateAllocations(200, 200, [&](int) {
                const float t = static_cast<float>(step++ % 100) / 100.0f;
                rig.set(rig.p().band(step % 6).threshold, 0.3f + 0.5f * t);
                rig.set(rig.p().band((step + 3) % 6).stereoLink, t);
                rig.set(rig.p().outputLevel, 0.2f * t);
                rig.runInto(noise, out);
            });
            EXPECT_EQ(allocations, 0u) << "mode " << mode << " os " << oversampling;
        }
}

}  // namespace
}  // namespace tessel
