#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "RenderSignals.h"
#include "common/AllocationCounter.h"

// Random-automation soak of the whole processor: low-frequency noise with kicks under random
// parameter changes, structural (mode, oversampling, solo/mute, band state, lookahead, band
// layout) and continuous (the rest). TESSEL_SOAK_SECONDS sets the audio length (default 8 s).

namespace tessel::testing {
namespace {

using Signal = ProcessorRig::Signal;
constexpr double kRateHz = 48000.0;
constexpr int32_t kBlock = 256;   // one processor cycle per call
constexpr int32_t kWindow = 480;  // 10 ms roughness windows
/// Output bound relative to the input's peak, +40 dB: the continuous gains drawn below reach
/// +3 dB (Input, Output and band Level) and Range +3 dB, each doubled by Mix at 200 %, so +24 dB,
/// +30 dB where a band's left/right and mid/side gains both act; 10 dB more for band-filter
/// overshoot. An unstable filter or a runaway gain passes it within milliseconds.
constexpr double kPeakBound = 100.0;
/// Roughness, a window's largest sample-to-sample step over its largest magnitude, is blind to
/// gain. The input stays below about 400 Hz, so its roughness is small (0.09 to 0.13, the
/// largest window of a run); fast envelopes on it add modulation products, which raised the
/// output's to 1.8 times the input's at most in three-minute runs without clicks. A gain that
/// jumps by 4 dB at a peak, or a spike, reaches three times.
constexpr double kRoughnessFactor = 3.0;
constexpr double kFloor = 1e-4;  // windows quieter than -80 dBFS are not judged

struct Change {
    const char* name;  // without "Band n " for band parameters
    bool band;
    float low, high;
    bool display;  // low and high in the display domain (dB, ratio)
};
const Change kContinuous[] = {
    {"Threshold", true, -60.0f, 0.0f, true},    {"Ratio", true, 1.0f, 20.0f, true},
    {"Range", true, -30.0f, 3.0f, true},        {"Attack", true, 0.0f, 100.0f, false},
    {"Release", true, 0.0f, 100.0f, false},     {"Knee", true, 0.0f, 48.0f, false},
    {"Level", true, -30.0f, 3.0f, true},        {"Pan", true, -1.0f, 1.0f, false},
    {"Stereo Link", true, 0.0f, 1.0f, false},   {"Mix", false, 0.0f, 2.0f, false},
    {"Input Level", false, -18.0f, 3.0f, true}, {"Output Level", false, -18.0f, 3.0f, true},
    {"Input Pan", false, -1.0f, 1.0f, false},   {"Output Pan", false, -1.0f, 1.0f, false},
};
/// Choices 0..high; band Lookahead moves the detection delay; "Layout" places 1 to 6 adjacent
/// bands anew.
const Change kStructural[] = {
    {"Processing Mode", false, 0, 2, false},
    {"Oversampling", false, 0, 2, false},
    {"Lookahead Enabled", false, 0, 1, false},
    {"Solo/Mute State", true, 0, 3, false},
    {"State", true, 0, 2, false},
    {"Dynamics Mode", true, 0, 1, false},
    {"Lookahead", true, 0.0f, 20.0f, false},
    {"Layout", false, 0, 0, false},
};

const AbstractPluginParameter& find(TesselProcessor& p, const Change& c, int32_t band) {
    const std::string name = c.band ? "Band " + std::to_string(band + 1) + " " + c.name : c.name;
    for (const AbstractPluginParameter* parameter : p.allParameters())
        if (parameter->name() == name) return *parameter;
    throw std::invalid_argument(name);
}

/// Low-passed noise (300 Hz, mostly common to the channels) under a slow swell between -14 and
/// 0 dB, and kicks of random strength every 0.2 to 0.8 s, each ringing out (8 at a time, so the
/// one dropped is too quiet to leave a step).
struct SoakInput {
    void fill(Signal& s, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i, t += 1.0 / kRateHz) {
            if (t >= nextKickS) {
                kicks[next] = {nextKickS, noise.uniform(0.2f, 0.6f)};
                next = (next + 1) % 8;
                nextKickS += noise.uniform(0.2f, 0.8f);
            }
            float x = 0.0f;
            for (const auto& [startS, gain] : kicks)
                x += gain * kick(t - startS);
            const float swell =
                0.9f + 0.6f * static_cast<float>(std::sin(2.0 * std::numbers::pi * 0.3 * t));
            const float common = lowPass[2](noise());
            for (std::size_t c = 0; c < s.size(); ++c)
                s[c][i] = x + swell * (0.8f * common + 0.4f * lowPass[c](noise()));
        }
    }
    WhiteNoise noise;
    Biquad lowPass[3] = {Biquad::lowPass(300.0, 0.7, kRateHz), Biquad::lowPass(300.0, 0.7, kRateHz),
                         Biquad::lowPass(300.0, 0.7, kRateHz)};
    std::pair<double, float> kicks[8] = {};
    std::size_t next = 0;
    double t = 0.0, nextKickS = 0.1;
};

double threadMicroseconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) * 1e-3;
}

/// The largest roughness over the windows of x[from, n).
double roughness(const std::vector<float>& x, std::size_t from, std::size_t n,
                 std::size_t* worstAt = nullptr) {
    double worst = 0.0;
    for (std::size_t at = from; at + kWindow <= n; at += kWindow) {
        double step = 0.0, peak = std::fabs(x[at]);
        for (std::size_t i = at + 1; i < at + kWindow; ++i)
            step = std::max<double>(step, std::fabs(x[i] - x[i - 1])),
            peak = std::max<double>(peak, std::fabs(x[i]));
        if (peak >= kFloor && step / peak > worst) {
            worst = step / peak;
            if (worstAt != nullptr) *worstAt = at;
        }
    }
    return worst;
}

struct SoakCase {
    int32_t layout;
    double share;  // of TESSEL_SOAK_SECONDS
    uint32_t seed;
    friend void PrintTo(const SoakCase& c, std::ostream* os) { *os << "layout " << c.layout; }
};
struct ProcessorSoak : ::testing::TestWithParam<SoakCase> {};

TEST_P(ProcessorSoak, StaysFiniteBoundedAndClickFreeUnderRandomAutomation) {
    const SoakCase& soak = GetParam();
    const char* env = std::getenv("TESSEL_SOAK_SECONDS");
    const double seconds = (env != nullptr ? std::atof(env) : 8.0) * soak.share;
    SCOPED_TRACE(::testing::Message() << "layout " << soak.layout << ", seed " << soak.seed);

    ProcessorRig rig(soak.layout);
    TesselProcessor& p = rig.p();
    const int32_t channels = rig.channels;
    WhiteNoise random{soak.seed};
    SoakInput input{{soak.seed + 1}};
    rig.set(p.expertMode, 1.0f);  // Stereo Link acts only in Expert Mode
    rig.useBands(4);

    std::vector<const float*> in(static_cast<std::size_t>(channels));
    std::vector<float*> out(static_cast<std::size_t>(channels));
    double inputPeak = 0.0, outputPeak = 0.0, inputRoughness = 0.0, outputRoughness = 0.0;
    std::string worstWhere;
    std::vector<double> steadyUs;
    // Each segment runs one configuration (mode, oversampling, layout): a cycle is compared with
    // the mean cycle of its own segment.
    double worstRatio = 0.0;
    double worstStructuralUs = 0.0;
    uint64_t steadyAllocations = 0;
    bool finite = true;
    for (double done = 0.0; done < seconds;) {
        const auto n = static_cast<std::size_t>(random.uniform(0.6f, 1.5f) * kRateHz);
        Signal x(static_cast<std::size_t>(channels), std::vector<float>(n));
        Signal y = x;
        input.fill(x, n);
        // A structural change in most segments (and the first settings); the judged part then
        // starts after the latency before and after it, the routers' crossfades (up to 200 ms)
        // and the envelopes' settling.
        const int32_t latency = p.latency();
        std::ostringstream structural;
        if (done > 0.0 && random.uniform(0.0f, 1.0f) < 0.7f) {
            const Change& c = kStructural[static_cast<std::size_t>(random.uniform(0.0f, 7.99f))];
            if (std::string(c.name) == "Layout") {
                const int32_t count = static_cast<int32_t>(random.uniform(1.0f, 6.99f));
                std::vector<float> edges(static_cast<std::size_t>(count + 1));
                for (float& e : edges)
                    e = random.uniform(std::log2(30.0f), std::log2(16000.0f));
                std::sort(edges.begin(), edges.end());
                for (int32_t b = 0; b < 6; ++b) {
                    rig.set(p.band(b).state, static_cast<float>(b < count ? BandState::kEnabled
                                                                          : BandState::kUnused));
                    if (b >= count) continue;
                    rig.set(p.band(b).lowCrossover, edges[b]);
                    rig.set(p.band(b).highCrossover, edges[b + 1]);
                    rig.set(p.band(b).lowSlope, random.uniform(0.0f, 1.0f));
                    rig.set(p.band(b).highSlope, random.uniform(0.0f, 1.0f));
                }
                structural << count << " bands from " << std::exp2(edges[0]) << " Hz";
            } else {
                const int32_t band = static_cast<int32_t>(random.uniform(0.0f, 5.99f));
                const AbstractPluginParameter& parameter = find(p, c, band);
                const float value = parameter.discrete()
                                        ? std::floor(random.uniform(c.low, c.high + 0.99f))
                                        : random.uniform(c.low, c.high);
                rig.set(parameter, value);
                structural << parameter.name() << " " << parameter.textOfValue(value);
            }
        }
        const auto judgedFrom =
            done > 0.0 && structural.str().empty()
                ? std::size_t{0}
                : static_cast<std::size_t>(std::max(latency, p.latency()) + 0.4 * kRateHz);
        std::vector<std::pair<std::size_t, std::string>> log{{0, structural.str()}};
        const std::size_t segmentStart = steadyUs.size();

        for (std::size_t at = 0; at < n; at += kBlock) {
            const auto frames = static_cast<int32_t>(std::min<std::size_t>(kBlock, n - at));
            // A continuous change every 20 ms on average, as host automation jumps.
            if (random.uniform(0.0f, 1.0f) < kBlock / (0.02f * kRateHz)) {
                const Change& c =
                    kContinuous[static_cast<std::size_t>(random.uniform(0.0f, 13.99f))];
                const AbstractPluginParameter& parameter =
                    find(p, c, static_cast<int32_t>(random.uniform(0.0f, 5.99f)));
                const float drawn = random.uniform(c.low, c.high);
                const float value = c.display ? parameter.valueFromDisplay(drawn) : drawn;
                rig.set(parameter, value);
                log.emplace_back(at, parameter.name() + " " + parameter.textOfValue(value));
            }
            for (int32_t c = 0; c < channels; ++c)
                in[c] = x[c].data() + at, out[c] = y[c].data() + at;
            const AllocationScope allocations;
            // The cycle's cost is this thread's CPU time: the machine's other work does not count.
            const double start = threadMicroseconds();
            p.process(in.data(), channels, out.data(), channels, frames, nullptr);
            const uint64_t allocated = allocations.allocations();
            const double us = threadMicroseconds() - start;
            if (at == 0 && !structural.str().empty()) {
                worstStructuralUs = std::max(worstStructuralUs, us);
            } else if (at >= judgedFrom && at > 0 && frames == kBlock) {
                // Not a segment's first cycle either: the checks between segments have just
                // swept the caches, which a host does not do.
                steadyUs.push_back(us);
            }
            if (at >= judgedFrom) steadyAllocations += allocated;
        }
        if (steadyUs.size() - segmentStart >= 20) {
            double segmentMean = 0.0;
            for (std::size_t k = segmentStart; k < steadyUs.size(); ++k)
                segmentMean += steadyUs[k] / static_cast<double>(steadyUs.size() - segmentStart);
            for (std::size_t k = segmentStart; k < steadyUs.size(); ++k)
                worstRatio = std::max(worstRatio, steadyUs[k] / segmentMean);
        }
        for (int32_t c = 0; c < channels; ++c) {
            for (std::size_t i = 0; i < n; ++i) {
                finite = finite && std::isfinite(y[c][i]);
                inputPeak = std::max<double>(inputPeak, std::fabs(x[c][i]));
                outputPeak = std::max<double>(outputPeak, std::fabs(y[c][i]));
            }
            inputRoughness = std::max(inputRoughness, roughness(x[c], 0, n));
            std::size_t worstAt = 0;
            // A soloed band may be a high one: its output is all high frequencies, rough by
            // nature, so roughness is judged only while no band is soloed.
            if (p.anyBandSoloed()) continue;
            if (const double r = roughness(y[c], judgedFrom, n, &worstAt); r > outputRoughness) {
                outputRoughness = r;
                worstWhere = "at " + std::to_string(done + worstAt / kRateHz) + " s, channel " +
                             std::to_string(c) + ", mode " +
                             std::to_string(static_cast<int32_t>(p.effectiveMode())) + ", " +
                             std::to_string(p.oversamplingFactor()) + "x, after:";
                for (const auto& [when, what] : log)
                    if (when + kRateHz / 10 >= worstAt && when < worstAt + kWindow)
                        worstWhere += " [" + what + "]";
            }
        }
        ASSERT_TRUE(finite) << "non-finite output in the segment at " << done << " s after "
                            << log[0].second;
        done += static_cast<double>(n) / kRateHz;
    }

    std::sort(steadyUs.begin(), steadyUs.end());
    double meanUs = 0.0;
    for (double us : steadyUs)
        meanUs += us / static_cast<double>(steadyUs.size());
    std::ostringstream report;
    report << seconds << " s, layout " << soak.layout << ": cycle mean " << meanUs << " us, 99.9 % "
           << steadyUs[steadyUs.size() * 999 / 1000] << " us, worst " << steadyUs.back() << " us ("
           << steadyUs.back() / meanUs << "x mean; against its own segment's mean " << worstRatio
           << "x), worst with a structural change " << worstStructuralUs << " us; peak in "
           << inputPeak << " out " << outputPeak << "; roughness in " << inputRoughness << " out "
           << outputRoughness << " " << worstWhere;
    std::cout << report.str() << "\n";
    RecordProperty("report", report.str());
    EXPECT_LE(outputPeak, kPeakBound * inputPeak);
    EXPECT_LE(outputRoughness, kRoughnessFactor * inputRoughness) << worstWhere;
    EXPECT_EQ(steadyAllocations, 0u)
        << "process() allocated while only continuous parameters moved";
}

INSTANTIATE_TEST_SUITE_P(Layouts, ProcessorSoak,
                         ::testing::Values(SoakCase{1, 0.75, 1}, SoakCase{0, 0.25, 2}),
                         [](const auto& info) {
                             return info.param.layout == 0 ? "Mono" : "Stereo";
                         });

}  // namespace
}  // namespace tessel::testing
