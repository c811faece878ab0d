#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "RenderSignals.h"
#include "support/FFT.h"

// Golden renders: three short musical signals through the whole processor in each Processing
// Mode with one fixed four-band setting; the output's levels per window and frequency region are
// compared with committed tables. TESSEL_APPROVE_GOLDEN=1 rewrites the tables instead (review
// the diff before committing it).

namespace tessel::testing {
namespace {

using Signal = ProcessorRig::Signal;
constexpr double kRateHz = 48000.0;
constexpr std::size_t kLength = 96000;  // 2 s
constexpr std::size_t kPadding = 8192;  // beyond the largest latency (4072 samples at 48 kHz)
constexpr int32_t kWindow = 2048;       // 42.7 ms
/// Region edges: the bands' own crossovers, so each region shows one band's work.
constexpr std::array<double, 5> kRegionEdgesHz = {0.0, 150.0, 1000.0, 5000.0, 24000.0};
/// Levels below the floor are compared as the floor: there they are window leakage and decay
/// tails whose dB values swing with any rounding.
constexpr double kFloorDb = -70.0;
/// Per window and column. Builds differ by far less (Release against the sanitizer build: below
/// 0.01 dB), and each of these moves some window by more: a threshold 1 dB off (compressing or
/// expanding), a ratio of 3.5:1 for 3:1, a band level 0.5 dB off, a Range of +5 dB for +6 dB, an
/// attack of 15 % for 10 %. The latency must match exactly.
constexpr double kToleranceDb = 0.25;
constexpr int32_t kColumns = static_cast<int32_t>(kRegionEdgesHz.size());  // all, then regions
using Row = std::array<double, kColumns>;

Signal stereo() {
    return Signal(2, std::vector<float>(kLength + kPadding));
}

/// Eighth-note drums at 120 BPM: kicks on the beats, snares between them (noise differs per
/// channel), hats on every eighth, louder on the left.
Signal drums() {
    Signal s = stereo();
    WhiteNoise noise{11};
    for (std::size_t n = 0; n < kLength; ++n) {
        const double t = static_cast<double>(n) / kRateHz;
        const double beat = std::fmod(t, 0.5), eighth = std::fmod(t, 0.125);
        const double snare = std::fmod(t + 0.25, 0.5);
        const float k = 0.8f * kick(beat);
        const float tone =
            0.3f * static_cast<float>(std::exp(-snare / 0.08) *
                                      std::sin(2.0 * std::numbers::pi * 190.0 * snare));
        const float hat = 0.2f * static_cast<float>(std::exp(-eighth / 0.015));
        const float hatNoise = noise() - noise();  // differenced: a high-frequency noise
        for (int32_t c = 0; c < 2; ++c)
            s[c][n] = k + tone + 0.35f * static_cast<float>(std::exp(-snare / 0.06)) * noise() +
                      hat * hatNoise * (c == 0 ? 1.0f : 0.6f);
    }
    return s;
}

/// A bass line of eighth notes: a saw and a sub sine under a plucked envelope, low-passed.
Signal bass() {
    static const double kNotesHz[] = {55.0, 55.0, 65.41, 73.42, 49.0, 49.0, 82.41, 73.42};
    Signal s = stereo();
    Biquad tone = Biquad::lowPass(900.0, 1.2, kRateHz);
    double phase = 0.0;
    for (std::size_t n = 0; n < kLength; ++n) {
        const double t = static_cast<double>(n) / kRateHz, inNote = std::fmod(t, 0.25);
        const double hz = kNotesHz[static_cast<std::size_t>(t / 0.25) % 8];
        phase = std::fmod(phase + hz / kRateHz, 1.0);
        const double envelope = std::min(inNote / 0.005, 1.0) * std::exp(-inNote / 0.3) *
                                std::min((0.25 - inNote) / 0.02, 1.0);
        const float x = tone(static_cast<float>(0.4 * (2.0 * phase - 1.0) +
                                                0.3 * std::sin(2.0 * std::numbers::pi * phase)));
        s[0][n] = s[1][n] = static_cast<float>(envelope) * x;
    }
    return s;
}

/// A voice: a glottal pulse train at 140 Hz with 5.5 Hz vibrato and a little breath through two
/// formant resonators, four syllables on the vowels a, i, u, a; the right channel 2 dB lower.
Signal voice() {
    static const double kFormantsHz[][2] = {
        {730.0, 1090.0}, {270.0, 2290.0}, {300.0, 870.0}, {730.0, 1090.0}};
    Signal s = stereo();
    WhiteNoise breath{5};
    double phase = 0.0;
    for (std::size_t syllable = 0; syllable < 4; ++syllable) {
        Biquad f1 = Biquad::bandPass(kFormantsHz[syllable][0], 8.0, kRateHz);
        Biquad f2 = Biquad::bandPass(kFormantsHz[syllable][1], 12.0, kRateHz);
        for (std::size_t n = syllable * kLength / 4; n < (syllable + 1) * kLength / 4; ++n) {
            const double t = static_cast<double>(n) / kRateHz, inSyllable = std::fmod(t, 0.5);
            phase += 140.0 * (1.0 + 0.03 * std::sin(2.0 * std::numbers::pi * 5.5 * t)) / kRateHz;
            const float pulse = phase >= 1.0 ? 1.0f : 0.0f;
            phase -= std::floor(phase);
            const float excitation = pulse + 0.02f * breath();
            const double envelope =
                inSyllable < 0.45 ? std::pow(std::sin(std::numbers::pi * inSyllable / 0.45), 2.0)
                                  : 0.0;
            const float x =
                static_cast<float>(envelope) * (30.0f * f1(excitation) + 20.0f * f2(excitation));
            s[0][n] = x;
            s[1][n] = 0.794f * x;
        }
    }
    return s;
}

/// Four bands at the rig's edges (30, 150, 1000, 5000 Hz, 30 kHz): a compressed low band, a
/// downward-expanding low mid, a compressed high mid with make-up level and an upward-compressed
/// top.
void configure(ProcessorRig& rig, int32_t mode) {
    struct Band {
        DynamicsMode dynamics;
        float thresholdDb, ratio, rangeDb, attackPercent, releasePercent, levelDb;
    };
    static const Band kBands[] = {
        {DynamicsMode::kCompression, -24.0f, 4.0f, -24.0f, 10.0f, 30.0f, 0.0f},
        {DynamicsMode::kExpansion, -20.0f, 3.0f, -18.0f, 20.0f, 40.0f, 0.0f},
        {DynamicsMode::kCompression, -30.0f, 3.0f, -9.0f, 20.0f, 20.0f, 2.0f},
        {DynamicsMode::kCompression, -40.0f, 2.0f, 6.0f, 40.0f, 50.0f, -1.0f},
    };
    TesselProcessor& p = rig.p();
    rig.set(p.processingMode, static_cast<float>(mode));
    rig.useBands(4);
    for (int32_t b = 0; b < 4; ++b) {
        const Band& s = kBands[b];
        const BandParameterSet& band = p.band(b);
        rig.set(band.dynamicsMode, static_cast<float>(s.dynamics));
        setDisplay(rig, band.threshold, s.thresholdDb);
        setDisplay(rig, band.ratio, s.ratio);
        setDisplay(rig, band.range, s.rangeDb);
        setDisplay(rig, band.attack, s.attackPercent);
        setDisplay(rig, band.release, s.releasePercent);
        setDisplay(rig, band.level, s.levelDb);
    }
}

/// Per window of the output (latency removed): the level of everything and of each region in dB,
/// the mean power of the channels from a Hann-windowed FFT, floored at kFloorDb.
std::vector<Row> levels(const Signal& out, int32_t latency) {
    FFT fft(kWindow, FFT::WindowType::kHann);
    std::vector<float> buffer(kWindow);
    std::vector<Row> rows;
    for (std::size_t at = 0; at + kWindow <= kLength; at += kWindow) {
        Row power{};
        for (const std::vector<float>& channel : out) {
            fft.applyWindow(channel.data() + at + latency, buffer.data());
            fft.forward(buffer.data());
            for (int32_t k = 1; k < kWindow / 2; ++k) {
                const double re = buffer[k], im = buffer[kWindow / 2 + k];
                const double hz = k * kRateHz / kWindow;
                const auto region =
                    std::upper_bound(kRegionEdgesHz.begin() + 1, kRegionEdgesHz.end() - 1, hz) -
                    kRegionEdgesHz.begin();
                power[0] += re * re + im * im;
                power[region] += re * re + im * im;
            }
        }
        // Parseval with the Hann window's power (3/8): a full-scale sine reads -3 dB.
        for (double& p : power)
            p = std::max(
                10.0 * std::log10(p * 2.0 / (kWindow * kWindow * 0.375 * out.size()) + 1e-30),
                kFloorDb);
        rows.push_back(power);
    }
    return rows;
}

using Case = std::tuple<int32_t, int32_t>;  // signal, Processing Mode
struct GoldenRender : ::testing::TestWithParam<Case> {};

TEST_P(GoldenRender, WindowLevelsMatchTheApprovedTable) {
    static const std::pair<const char*, Signal (*)()> kSignals[] = {
        {"drums", drums}, {"bass", bass}, {"voice", voice}};
    static const char* const kModes[] = {"linear", "dynamic", "minimum"};
    const auto [signal, mode] = GetParam();
    const std::string path =
        std::string(TESSEL_GOLDEN_DIR) + "/" + kSignals[signal].first + "-" + kModes[mode] + ".txt";

    ProcessorRig rig;
    configure(rig, mode);
    const Signal out = rig.run(kSignals[signal].second());
    const int32_t latency = rig.p().latency();
    ASSERT_LT(latency, static_cast<int32_t>(kPadding));
    const std::vector<Row> rows = levels(out, latency);

    const char* approve = std::getenv("TESSEL_APPROVE_GOLDEN");
    if (approve != nullptr && std::string(approve) == "1") {
        std::ofstream file(path);
        file << "# " << kSignals[signal].first << ", " << kModes[mode]
             << " phase, 4 bands: output level (dB) per " << kWindow
             << "-sample window after the latency, floored at " << kFloorDb << "\n"
             << "latency " << latency << "\n# all <150Hz 150-1k 1k-5k >5kHz\n";
        for (const Row& row : rows) {
            for (double v : row)
                file << ' ' << std::fixed << std::setprecision(2) << v;
            file << '\n';
        }
        ASSERT_TRUE(file.good()) << path;
        std::cout << "TESSEL_APPROVE_GOLDEN=1: wrote " << path << " instead of comparing\n";
        RecordProperty("approved", path);
        return;
    }

    std::ifstream file(path);
    ASSERT_TRUE(file.good()) << "no table " << path << "; approve one with TESSEL_APPROVE_GOLDEN=1";
    std::string line, word;
    int32_t approvedLatency = -1;
    std::vector<Row> approved;
    while (std::getline(file, line)) {
        std::istringstream fields(line);
        if (line.starts_with("#")) continue;
        if (line.starts_with("latency")) {
            fields >> word >> approvedLatency;
            continue;
        }
        Row& row = approved.emplace_back();
        for (double& v : row)
            fields >> v;
    }
    EXPECT_EQ(latency, approvedLatency);
    ASSERT_EQ(rows.size(), approved.size()) << path;
    int32_t failures = 0;
    double worstDb = 0.0;
    for (std::size_t w = 0; w < rows.size(); ++w)
        for (int32_t c = 0; c < kColumns; ++c) {
            worstDb = std::max(worstDb, std::fabs(rows[w][c] - approved[w][c]));
            if (std::fabs(rows[w][c] - approved[w][c]) > kToleranceDb && ++failures <= 8)
                ADD_FAILURE() << path << ": window " << w << " column " << c << ": " << rows[w][c]
                              << " dB, approved " << approved[w][c] << " dB";
        }
    RecordProperty("worstDeviationDb", std::to_string(worstDb));
    EXPECT_EQ(failures, 0) << "windows beyond " << kToleranceDb << " dB (worst " << worstDb
                           << " dB)";
}

INSTANTIATE_TEST_SUITE_P(SignalsAndModes, GoldenRender,
                         ::testing::Combine(::testing::Range(0, 3), ::testing::Range(0, 3)));

}  // namespace
}  // namespace tessel::testing
