#include "DemoSignal.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

namespace tessel::cli {

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;
constexpr double kStepSeconds = 0.125;  // sixteenth notes at 120 BPM
constexpr int kStepsPerBar = 16;
// Off-beat sixteenths come this much late, and every hit moves by up to kHumaniseSeconds: a
// loose, played groove rather than a grid.
constexpr double kSwingSeconds = 0.018;
constexpr double kHumaniseSeconds = 0.004;

enum Part { kKick, kSnare, kHat, kBass, kVoice, kPartCount };

// Where each section ends (fractions of the duration) and each part's level in it, dB relative to
// the part's loudest; kSilent parts do not play. The quiet sections sit 13 to 24 dB down, below
// the presets' thresholds, where upward compression works and downward compression rests.
constexpr double kSilent = -200.0;
constexpr std::array<double, 4> kSectionEnds = {0.2, 0.6, 0.8, 1.0};
constexpr double kSectionLevelDb[4][kPartCount] = {
    // kick, snare, hats, bass, voice
    {kSilent, kSilent, -14.0, -18.0, -16.0},    // intro
    {-1.0, -1.0, -2.0, -1.0, -2.0},             // the groove
    {kSilent, kSilent, -18.0, kSilent, -24.0},  // the break
    {0.0, 0.0, 0.0, 0.0, 0.0},                  // the ending
};
// Each part's level in the mix, dB relative to its own peak.
constexpr double kMixDb[kPartCount] = {-6.0, -5.0, -9.0, -1.0, 0.0};
// The mix's peak is driven to this level of a soft clipper (tanh), which rounds the drums' peaks
// by about 1.6 dB, as mastering would, so that the loud sections are a little denser.
constexpr double kDrive = 0.8;

double decibelsToGain(double db) {
    return db <= kSilent ? 0.0 : std::pow(10.0, db / 20.0);
}

/// A fixed-seed generator (xorshift32): the same numbers on every platform and library, which
/// the standard distributions do not promise.
class Random {
public:
    explicit Random(uint32_t seed) : state_(seed) {}
    /// Uniform in [0, 1).
    double uniform() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return state_ / 4294967296.0;
    }
    /// Uniform in [-1, 1).
    double bipolar() { return 2.0 * uniform() - 1.0; }
    double between(double low, double high) { return low + (high - low) * uniform(); }

private:
    uint32_t state_;
};

/// A second-order filter of the usual analog-matched designs (bilinear, prewarped), in transposed
/// direct form II with double state; `set` keeps the state, so a sweep stays continuous.
class Biquad {
public:
    enum class Shape { kLowPass, kHighPass, kBandPass };

    Biquad(Shape shape, double frequencyHz, double q, double rateHz) {
        set(shape, frequencyHz, q, rateHz);
    }

    void set(Shape shape, double frequencyHz, double q, double rateHz) {
        // Kept below Nyquist so that the low rates still give a stable filter.
        const double w = kTwoPi * std::min(frequencyHz, 0.45 * rateHz) / rateHz;
        const double cosine = std::cos(w), alpha = std::sin(w) / (2.0 * q);
        const double a0 = 1.0 + alpha;
        switch (shape) {
            case Shape::kLowPass:
                b0_ = b2_ = 0.5 * (1.0 - cosine) / a0;
                b1_ = (1.0 - cosine) / a0;
                break;
            case Shape::kHighPass:
                b0_ = b2_ = 0.5 * (1.0 + cosine) / a0;
                b1_ = -(1.0 + cosine) / a0;
                break;
            case Shape::kBandPass:  // 0 dB at the centre
                b0_ = alpha / a0;
                b1_ = 0.0;
                b2_ = -alpha / a0;
                break;
        }
        a1_ = -2.0 * cosine / a0;
        a2_ = (1.0 - alpha) / a0;
    }

    double operator()(double x) {
        const double y = b0_ * x + z1_;
        z1_ = b1_ * x - a1_ * y + z2_;
        z2_ = b2_ * x - a2_ * y;
        return y;
    }

private:
    double b0_ = 1.0, b1_ = 0.0, b2_ = 0.0, a1_ = 0.0, a2_ = 0.0;
    double z1_ = 0.0, z2_ = 0.0;
};

/// A sawtooth from -1 to 1 with its step smoothed by a polynomial band-limited step, so that it
/// does not alias audibly at voice and bass pitches. phase in [0, 1), increment in cycles per
/// sample.
double saw(double& phase, double increment) {
    double value = 2.0 * phase - 1.0;
    if (phase < increment) {
        const double t = phase / increment;
        value -= t + t - t * t - 1.0;
    } else if (phase > 1.0 - increment) {
        const double t = (phase - 1.0) / increment;
        value -= t * t + t + t + 1.0;
    }
    phase += increment;
    if (phase >= 1.0) phase -= 1.0;
    return value;
}

double noteHz(double midiNote) {
    return 440.0 * std::exp2((midiNote - 69.0) / 12.0);
}

/// One stereo part being written: hits are added at their times, each section's level applied.
struct Track {
    double rateHz;
    double seconds;
    std::array<std::vector<float>, 2> channels;

    Track(double rate, double duration, std::size_t frames)
        : rateHz(rate),
          seconds(duration),
          channels{std::vector<float>(frames), std::vector<float>(frames)} {}

    std::size_t frames() const { return channels[0].size(); }
    /// The part's gain at time t (its section's level).
    double level(Part part, double t) const {
        std::size_t section = 0;
        while (section + 1 < kSectionEnds.size() && t >= kSectionEnds[section] * seconds)
            ++section;
        return decibelsToGain(kSectionLevelDb[section][part]);
    }
    /// Adds render(t), a {left, right} pair, for t from 0 to lengthSeconds after `start`.
    template <typename Render>
    void add(double start, double lengthSeconds, Render&& render) {
        const auto first = static_cast<std::size_t>(std::max(0.0, std::round(start * rateHz)));
        const std::size_t count = static_cast<std::size_t>(lengthSeconds * rateHz);
        for (std::size_t i = 0; i < count && first + i < frames(); ++i) {
            const double t = static_cast<double>(i) / rateHz;
            const std::array<double, 2> v = render(t);
            channels[0][first + i] += static_cast<float>(v[0]);
            channels[1][first + i] += static_cast<float>(v[1]);
        }
    }
    /// Scales the part to peak at 1 (a silent part stays silent).
    void normalise() {
        float peak = 0.0f;
        for (const auto& channel : channels)
            for (const float v : channel)
                peak = std::max(peak, std::abs(v));
        if (peak == 0.0f) return;
        for (auto& channel : channels)
            for (float& v : channel)
                v /= peak;
    }
};

/// The time of sixteenth `step`, swung and humanised.
double stepTime(int step, Random& random) {
    return step * kStepSeconds + (step % 2 != 0 ? kSwingSeconds : 0.0) +
           kHumaniseSeconds * random.bipolar();
}

/// Kick (a sine falling from 138 to 48 Hz with a click), snare (two tones and noise that differs
/// between the channels) and closed and open hats (high-passed noise, placed right and left).
void drums(Track& kick, Track& snare, Track& hats) {
    Random random(0x5EED0001u);
    const double rate = kick.rateHz;
    const int steps = static_cast<int>(kick.seconds / kStepSeconds);
    for (int step = 0; step < steps; ++step) {
        const int bar = step / kStepsPerBar, inBar = step % kStepsPerBar;
        const double t0 = stepTime(step, random);
        const bool busyBar = bar % 2 == 1;
        const bool kickHere =
            inBar == 0 || inBar == 7 || inBar == 8 || (busyBar && (inBar == 10 || inBar == 14));
        if (const double g = kick.level(kKick, t0) * (inBar % 4 == 0 ? 1.0 : 0.8);
            kickHere && g > 0.0) {
            double phase = 0.0;
            kick.add(t0, 0.45, [&, g](double t) {
                phase += kTwoPi * (48.0 + 90.0 * std::exp(-t / 0.035)) / rate;
                const double body =
                    std::sin(phase) * std::min(1.0, t / 0.002) * std::exp(-t / 0.16);
                const double click = 0.3 * std::exp(-t / 0.004) * random.bipolar();
                const double v = g * (body + click);
                return std::array<double, 2>{v, v};
            });
        }
        const bool ghost = (inBar == 7 || inBar == 15) && random.uniform() < 0.5;
        if (const double g =
                snare.level(kSnare, t0) * (ghost ? 0.16 : 1.0 + 0.1 * random.bipolar());
            (inBar == 4 || inBar == 12 || ghost) && g > 0.0) {
            Biquad left(Biquad::Shape::kHighPass, 1200.0, 0.7, rate);
            Biquad right(Biquad::Shape::kHighPass, 1200.0, 0.7, rate);
            snare.add(t0, 0.35, [&, g](double t) {
                const double tone = 0.5 * std::sin(kTwoPi * 185.0 * t) * std::exp(-t / 0.05) +
                                    0.25 * std::sin(kTwoPi * 330.0 * t) * std::exp(-t / 0.03);
                const double common = random.bipolar(), envelope = std::exp(-t / 0.11);
                const double l = left(0.8 * common + 0.2 * random.bipolar());
                const double r = right(0.8 * common + 0.2 * random.bipolar());
                return std::array<double, 2>{g * (tone + envelope * l), g * (tone + envelope * r)};
            });
        }
        const bool open = busyBar && inBar == 14;
        const double accent = inBar % 4 == 0 ? 1.0 : (inBar % 2 == 0 ? 0.62 : 0.36);
        if (const double g = hats.level(kHat, t0) * accent * (1.0 + 0.15 * random.bipolar());
            g > 0.0) {
            Biquad first(Biquad::Shape::kHighPass, 7500.0, 0.7, rate);
            Biquad second(Biquad::Shape::kHighPass, 7500.0, 0.7, rate);
            const double decaySeconds = open ? 0.15 : 0.03;
            const std::array<double, 2> pan =
                open ? std::array<double, 2>{1.0, 0.7} : std::array<double, 2>{0.7, 1.0};
            hats.add(t0, open ? 0.45 : 0.12, [&, g, decaySeconds, pan](double t) {
                const double v = g * std::exp(-t / decaySeconds) * second(first(random.bipolar()));
                return std::array<double, 2>{pan[0] * v, pan[1] * v};
            });
        }
    }
}

/// A bass line in A minor, a bar on each of A, F, C and G: saw and sine under a low-pass whose
/// cut-off falls after each attack, with attack, decay and release.
void bassLine(Track& bass) {
    struct Note {
        int step, lengthSteps, interval;
    };
    static constexpr Note kPattern[] = {{0, 3, 0},  {3, 1, 0},  {6, 2, 12}, {8, 2, 0},
                                        {10, 2, 7}, {12, 2, 0}, {14, 2, 10}};
    static constexpr int kRoots[] = {33, 29, 36, 31};
    Random random(0x5EED0002u);
    const double rate = bass.rateHz;
    const int bars = static_cast<int>(bass.seconds / (kStepSeconds * kStepsPerBar)) + 1;
    for (int bar = 0; bar < bars; ++bar) {
        for (const Note& note : kPattern) {
            const int step = bar * kStepsPerBar + note.step;
            const double t0 = stepTime(step, random);
            const double g = bass.level(kBass, t0) * (note.step % 4 == 0 ? 1.0 : 0.85);
            if (g <= 0.0) continue;
            const double hz = noteHz(kRoots[bar % 4] + note.interval);
            const double gateSeconds = 0.9 * note.lengthSteps * kStepSeconds;
            Biquad tone(Biquad::Shape::kLowPass, 1650.0, 1.1, rate);
            double sawPhase = 0.0, sinePhase = 0.0;
            std::size_t sample = 0;
            bass.add(t0, gateSeconds + 0.04, [&, g, hz, gateSeconds](double t) {
                if (sample++ % 32 == 0)
                    tone.set(Biquad::Shape::kLowPass, 250.0 + 1400.0 * std::exp(-t / 0.08), 1.1,
                             rate);
                const double body =
                    tone(0.6 * saw(sawPhase, hz / rate)) + 0.8 * std::sin(sinePhase);
                sinePhase += kTwoPi * hz / rate;
                const double envelope = std::min(1.0, t / 0.004) *
                                        (0.7 + 0.3 * std::exp(-t / 0.12)) *
                                        std::clamp((gateSeconds + 0.04 - t) / 0.04, 0.0, 1.0);
                const double v = g * envelope * body;
                return std::array<double, 2>{v, v};
            });
        }
    }
}

/// A synthetic voice: syllables on an A minor pentatonic melody, the pitch gliding from note to
/// note with a delayed vibrato, a sawtooth through three formant resonators moving between five
/// vowels, and sibilants (high-passed noise bursts) before or after some syllables. Centred, with
/// two short reflections that give it some width.
void voice(Track& track) {
    struct Syllable {
        double start, length, pitchHz;
        int vowel;
    };
    struct Sibilant {
        double start, length, centreHz;
    };
    // Formant frequencies (Hz) of the vowels a, e, i, o, u.
    static constexpr double kFormantsHz[5][3] = {{730.0, 1090.0, 2440.0},
                                                 {530.0, 1840.0, 2480.0},
                                                 {290.0, 2250.0, 3010.0},
                                                 {570.0, 840.0, 2410.0},
                                                 {310.0, 870.0, 2240.0}};
    static constexpr double kFormantGains[3] = {1.0, 1.0, 0.8};
    static constexpr double kFormantQ[3] = {8.0, 12.0, 16.0};
    static constexpr int kScale[] = {57, 60, 62, 64, 67, 69, 72};
    const double rate = track.rateHz;

    Random random(0x5EED0003u);
    std::vector<Syllable> syllables;
    std::vector<Sibilant> sibilants;
    int degree = 3;
    for (double t = 0.15; t < track.seconds;) {
        const int phraseLength = 3 + static_cast<int>(random.uniform() * 4.0);
        for (int k = 0; k < phraseLength && t < track.seconds; ++k) {
            degree = std::clamp(degree + static_cast<int>(random.between(-2.0, 3.0)), 0, 6);
            const Syllable s{t, random.between(0.18, 0.5), noteHz(kScale[degree]),
                             static_cast<int>(random.uniform() * 5.0)};
            syllables.push_back(s);
            const double sibilantSeconds = random.between(0.07, 0.15);
            if (random.uniform() < 0.35 && s.start >= sibilantSeconds)
                sibilants.push_back({s.start - sibilantSeconds, sibilantSeconds + 0.02,
                                     random.between(6000.0, 8000.0)});
            if (random.uniform() < 0.2)
                sibilants.push_back(
                    {s.start + s.length - 0.02, sibilantSeconds, random.between(3500.0, 7500.0)});
            t += s.length + random.between(0.03, 0.09);
        }
        t += random.between(0.3, 0.7);
    }
    if (syllables.empty()) return;

    // Voiced sound: one pass, the oscillator and the resonators running throughout.
    std::vector<float> voiced(track.frames());
    std::array<Biquad, 3> formants = {Biquad(Biquad::Shape::kBandPass, 700.0, 8.0, rate),
                                      Biquad(Biquad::Shape::kBandPass, 1200.0, 12.0, rate),
                                      Biquad(Biquad::Shape::kBandPass, 2500.0, 16.0, rate)};
    std::array<double, 3> formantHz = {700.0, 1200.0, 2500.0};
    const double glide = 1.0 - std::exp(-1.0 / (0.045 * rate));
    const double formantGlide = 1.0 - std::exp(-16.0 / (0.03 * rate));  // per 16-sample update
    double pitchHz = syllables[0].pitchHz, phase = 0.0;
    std::size_t k = 0;
    for (std::size_t n = 0; n < voiced.size(); ++n) {
        const double t = static_cast<double>(n) / rate;
        while (k + 1 < syllables.size() && t >= syllables[k + 1].start)
            ++k;
        const Syllable& s = syllables[k];
        const double age = t - s.start;
        pitchHz += (s.pitchHz - pitchHz) * glide;
        const double vibrato =
            1.0 + 0.006 * std::clamp((age - 0.15) / 0.1, 0.0, 1.0) * std::sin(kTwoPi * 5.5 * t);
        if (n % 16 == 0) {
            for (int f = 0; f < 3; ++f) {
                formantHz[f] += (kFormantsHz[s.vowel][f] - formantHz[f]) * formantGlide;
                formants[f].set(Biquad::Shape::kBandPass, formantHz[f], kFormantQ[f], rate);
            }
        }
        const double source = saw(phase, std::min(pitchHz * vibrato / rate, 0.25));
        double v = 0.0;
        for (int f = 0; f < 3; ++f)
            v += kFormantGains[f] * formants[f](source);
        const double envelope =
            age < 0.0 || age > s.length
                ? 0.0
                : std::min(1.0, age / 0.025) * std::min(1.0, (s.length - age) / 0.05);
        voiced[n] = static_cast<float>(v * envelope * track.level(kVoice, s.start));
    }
    float peak = 0.0f;
    for (const float v : voiced)
        peak = std::max(peak, std::abs(v));
    const float scale = peak > 0.0f ? 1.0f / peak : 0.0f;
    // Reflections after 17 ms on the left and 11 ms on the right.
    const auto left = static_cast<std::size_t>(0.017 * rate);
    const auto right = static_cast<std::size_t>(0.011 * rate);
    for (std::size_t n = 0; n < voiced.size(); ++n) {
        const float v = scale * voiced[n];
        track.channels[0][n] += v + (n >= left ? 0.22f * scale * voiced[n - left] : 0.0f);
        track.channels[1][n] += v + (n >= right ? 0.22f * scale * voiced[n - right] : 0.0f);
    }

    // Sibilants: noise high-passed at 4 kHz and peaked at the burst's centre, about 8 dB below
    // the voiced peak, so a de-esser's band is well above its threshold during each one.
    for (const Sibilant& s : sibilants) {
        const double g = 0.4 * track.level(kVoice, s.start);
        if (g <= 0.0) continue;
        Biquad high(Biquad::Shape::kHighPass, 4000.0, 0.7, rate);
        Biquad peakBand(Biquad::Shape::kBandPass, s.centreHz, 2.0, rate);
        const double length = s.length;
        track.add(s.start, length, [&, g, length](double t) {
            const double x = high(random.bipolar());
            const double envelope =
                std::min(1.0, t / 0.02) * std::clamp((length - t) / 0.04, 0.0, 1.0);
            const double v = g * envelope * (0.5 * x + 1.2 * peakBand(x));
            return std::array<double, 2>{v, v};
        });
    }
}

}  // namespace

AudioData demoSignal(double sampleRateHz, double durationSeconds) {
    const double seconds = std::clamp(durationSeconds, 1.0, 60.0);
    const auto frames = static_cast<std::size_t>(seconds * sampleRateHz);
    AudioData mix;
    mix.sampleRateHz = sampleRateHz;
    mix.channels.assign(2, std::vector<float>(frames));
    const auto addPart = [&](Track& part, Part which) {
        part.normalise();
        const auto gain = static_cast<float>(decibelsToGain(kMixDb[which]));
        for (std::size_t c = 0; c < 2; ++c)
            for (std::size_t n = 0; n < frames; ++n)
                mix.channels[c][n] += gain * part.channels[c][n];
    };
    {
        Track kick(sampleRateHz, seconds, frames), snare(sampleRateHz, seconds, frames),
            hats(sampleRateHz, seconds, frames);
        drums(kick, snare, hats);
        addPart(kick, kKick);
        addPart(snare, kSnare);
        addPart(hats, kHat);
    }
    {
        Track bass(sampleRateHz, seconds, frames);
        bassLine(bass);
        addPart(bass, kBass);
    }
    {
        Track vocal(sampleRateHz, seconds, frames);
        voice(vocal);
        addPart(vocal, kVoice);
    }

    // The soft clipper, a short fade in and a fade out over the last quarter second, then the
    // peak brought to kDemoPeakDb.
    float peak = 0.0f;
    for (const auto& channel : mix.channels)
        for (const float v : channel)
            peak = std::max(peak, std::abs(v));
    const double drive = kDrive / std::max(static_cast<double>(peak), 1e-9);
    peak = 0.0f;
    for (auto& channel : mix.channels) {
        for (std::size_t n = 0; n < frames; ++n) {
            const double t = static_cast<double>(n) / sampleRateHz;
            const double fade = std::min({1.0, t / 0.005, (seconds - t) / 0.25});
            channel[n] = static_cast<float>(std::tanh(drive * channel[n]) * fade);
            peak = std::max(peak, std::abs(channel[n]));
        }
    }
    const auto scale = static_cast<float>(decibelsToGain(kDemoPeakDb) / std::max(peak, 1e-9f));
    for (auto& channel : mix.channels)
        for (float& v : channel)
            v *= scale;
    return mix;
}

}  // namespace tessel::cli
