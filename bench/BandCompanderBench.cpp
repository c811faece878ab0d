// The band compander: the whole gain-computer graph of one band, per processed sample (for the
// stereo pair per sample frame, both channels together), 256-sample blocks at 48 kHz, optimised
// build, baseline x86-64. Medians of 7 repetitions on a quiet 2-core machine, before -> after the
// envelope rework (no library exponential per sample, release-step table, peak hold by doubling
// windows, constant-time take-over):
//   tone, default settings, mono                          32.0 -> 20.9 ns/sample
//   tone, stereo pair, identical detection (shares)       39.4 -> 23.9 ns/sample
//   tone, stereo pair, right 1 dB quieter (both run)      75.1 -> 46.5 ns/sample
//   drums, working setting, mono                          49.9 -> 24.1 ns/sample
//   drums, stereo pair, identical detection               51.1 -> 21.4 ns/sample
//   drums, stereo pair, different noise (both run)       101.0 -> 47.8 ns/sample
// Profile of the drums mono case before: fast envelope's scalar rule 24 %, library exp 20 %,
// coefficient and table look-up 11 %, peak hold 18 %, gain conversion 6 %, slow envelope 5 %,
// low-pass 4 %, level in dB 4 %, curve 3 %. After: fast envelope (table) 38 %, gain conversion
// 14 %, slow envelope 11 %, level in dB 9 %, low-pass 8 %, curve 7 %, peak hold 2.5 %.
// Take-over at 192 kHz, a cycle of both channels in which the second leaves the shared path
// (times of the median take-over cycle, and against the median other cycle):
//   drum setting, full band                  27.9 us (2.0 x 14.4 us) -> 12.3 us (1.9 x 6.4 us)
//   bass band, attack 0 %, release 50 %      57.7 us (4.2 x 13.7 us) -> 13.3 us (1.8 x 7.5 us)
//   the same with 20 ms lookahead            89.4 us (6.7 x 13.3 us) -> 13.3 us (1.8 x 7.4 us)
// Before, the second channel ran its hold window over a hold time and its low-pass over three
// periods of the cut-off to catch up; now both continue from the first channel in constant time,
// so a take-over cycle is just a cycle in which both chains run.
// Then the one-pass envelopes (slow and fast envelope in one loop, branch-predicted, the fast
// one's release table read in nodes), the level in dB taken by the curve's node with a cheaper
// logarithm, quiet blocks skipping the curve, and a gain factor with a cheaper range reduction.
// Medians of 9 runs (3 x 3, alternating builds, load average about 1):
//   tone, default settings, mono                          21.0 -> 12.6 ns/sample
//   steady tone, default settings, mono                   22.4 -> 14.1 ns/sample
//   silence, mono                                         12.9 ->  6.9 ns/sample
//   tone, stereo pair, identical detection (shares)       21.7 -> 13.3 ns/sample
//   tone, stereo pair, right 1 dB quieter (both run)      42.0 -> 26.1 ns/sample
//   drums, working setting, mono                          22.4 -> 13.8 ns/sample
//   drums, stereo pair, identical detection               22.2 -> 14.7 ns/sample
//   drums, stereo pair, different noise (both run)        44.1 -> 27.9 ns/sample
// Profile of the drums mono case now: the envelope pair 45 % (the fast envelope's recursion,
// about 19 cycles a sample, sets the pace; the slow one runs in its shadow), curve and level in
// dB 15 %, low-pass 14 %, gain conversion 9 %, peak hold 5 %, limit 0.7 %.
// Re-measure with scripts/bench.sh after changes to src/dynamics.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <initializer_list>
#include <random>
#include <utility>
#include <vector>

#include "NsPerSample.h"
#include "TableSource.h"
#include "dynamics/BandCompander.h"
#include "engine/wave/Environment.h"

namespace {

using namespace tessel;

constexpr int32_t kFrames = 256;

// Band audio: a 1 kHz tone whose level swings between about -50 and 0 dB, so the compander
// alternates between attack, release and rest. Precomputed, so that the figures measure the
// compander and not the test signal.
std::vector<float> bandSignal(float gain) {
    constexpr int32_t kLength = 1 << 16;
    std::vector<float> table(kLength);
    for (int32_t n = 0; n < kLength; ++n) {
        const double levelDb = -25.0 + 25.0 * std::sin(6.283185307 * n / kLength * 3.0);
        table[static_cast<std::size_t>(n)] = static_cast<float>(
            gain * std::pow(10.0, levelDb / 20.0) * std::sin(6.283185307 * 1000.0 * n / 48000.0));
    }
    return table;
}

// Drums over a noise floor: four beats per table, a kick (a falling 60 Hz sine, 0 dB) on each,
// a snare (noise, -6 dB) between them and hi-hats (noise, -16 dB) on the eighths, all decaying
// exponentially, over noise at -40 dB. `seed` draws a different noise (a second channel that is
// close to the first but never bit-identical).
std::vector<float> drumSignal(float sampleRateHz, unsigned seed) {
    constexpr int32_t kLength = 1 << 17;
    const int32_t beat = kLength / 4;
    std::minstd_rand random(seed);
    std::uniform_real_distribution<float> noise(-1.0f, 1.0f);
    std::vector<float> table(kLength);
    for (int32_t n = 0; n < kLength; ++n) {
        const double t = static_cast<double>(n % beat) / sampleRateHz;  // since the beat
        const double half = static_cast<double>(n % (beat / 2)) / sampleRateHz;
        const double eighth = static_cast<double>(n % (beat / 4)) / sampleRateHz;
        const double kick = std::exp(-t / 0.08) *
                            std::sin(6.283185307 * (60.0 * t + 40.0 * t * std::exp(-t / 0.03)));
        const double snare =
            (n % beat) >= beat / 2 ? 0.5 * std::exp(-half / 0.06) * noise(random) : 0.0;
        const double hat = 0.16 * std::exp(-eighth / 0.015) * noise(random);
        table[static_cast<std::size_t>(n)] =
            static_cast<float>(kick + snare + hat + 0.01 * noise(random));
    }
    return table;
}

// One host cycle that pulls each compander once.
void cycle(wave::Environment& env, std::initializer_list<BandCompander*> companders) {
    env.beginCycle();
    for (BandCompander* k : companders)
        benchmark::DoNotOptimize(k->pull(kFrames)->data());
    env.advance(kFrames, 0);
}

// The working setting of the drum benchmarks: ratio 4 from -30 dB, attack 10 ms (35.7 %), release
// 100 ms (21.3 %; the fast envelope's release grows for small drops), lookahead on.
void drumSettings(BandCompander& k) {
    k.thresholdDb() = -30.0f;
    k.ratio() = 4.0f;
    k.attackPercent() = 35.7f;
    k.releasePercent() = 21.3f;
    k.lookaheadEnabled() = true;
}

void BM_BandCompanderMono(benchmark::State& state) {
    wave::Environment env(kFrames, true);
    env.setSampleRate(48000.0f);
    bench::TableSource input(&env, bandSignal(1.0f));
    BandCompander compander(&env);
    compander.setInput(&input);
    tessel::bench::NsPerSample timer(state, kFrames);
    for (auto _ : state)
        cycle(env, {&compander});
}
BENCHMARK(BM_BandCompanderMono);

// A steady tone (85 periods in the table: 996 Hz), 16 dB over the threshold at default settings, so
// that the compander rests at its curve's gain (arg 0), and silence, where nothing is compressed
// (arg 1).
void BM_BandCompanderSteady(benchmark::State& state) {
    wave::Environment env(kFrames, true);
    env.setSampleRate(48000.0f);
    std::vector<float> table(1 << 12);
    const float amplitude = state.range(0) == 0 ? 0.1f : 0.0f;  // -20 dB
    for (std::size_t n = 0; n < table.size(); ++n)
        table[n] = amplitude * static_cast<float>(std::sin(6.283185307 * 85.0 * n / 4096.0));
    bench::TableSource input(&env, std::move(table));
    BandCompander compander(&env);
    compander.setInput(&input);
    for (int32_t k = 0; k < 400; ++k)  // 2 s to settle
        cycle(env, {&compander});
    tessel::bench::NsPerSample timer(state, kFrames);
    for (auto _ : state)
        cycle(env, {&compander});
}
BENCHMARK(BM_BandCompanderSteady)->Arg(0)->Arg(1);

// Arg 0: both channels see the same detection signal (the second shares the first's gain);
// Arg 1: the right channel is 1 dB quieter (both chains run).
void BM_BandCompanderStereo(benchmark::State& state) {
    wave::Environment env(kFrames, true);
    env.setSampleRate(48000.0f);
    bench::TableSource left(&env, bandSignal(1.0f));
    bench::TableSource right(&env, bandSignal(state.range(0) == 0 ? 1.0f : 0.891f));
    BandCompander first(&env);
    BandCompander second(&env);
    first.setInput(&left);
    second.setInput(&right);
    second.setLinkedCompander(&first);
    first.smoothingFilter().link(&second.smoothingFilter(), BiquadProcessor::LinkKind::kFollow);
    int64_t shared = 0;
    {
        tessel::bench::NsPerSample timer(state, kFrames);
        for (auto _ : state) {
            cycle(env, {&first, &second});
            shared += second.isSharing() ? 1 : 0;
        }
    }
    state.counters["shared blocks %"] =
        benchmark::Counter(100.0 * static_cast<double>(shared) /
                           static_cast<double>(std::max<int64_t>(state.iterations(), 1)));
}
BENCHMARK(BM_BandCompanderStereo)->Arg(0)->Arg(1);

void BM_BandCompanderDrumsMono(benchmark::State& state) {
    wave::Environment env(kFrames, true);
    env.setSampleRate(48000.0f);
    bench::TableSource input(&env, drumSignal(48000.0f, 1));
    BandCompander compander(&env);
    compander.setInput(&input);
    drumSettings(compander);
    tessel::bench::NsPerSample timer(state, kFrames);
    for (auto _ : state)
        cycle(env, {&compander});
}
BENCHMARK(BM_BandCompanderDrumsMono);

// The linked pair on drums. Arg 0: identical detection (the second shares); arg 1: the right
// channel's noise differs (both chains run, as with partly linked stereo).
void BM_BandCompanderDrumsStereo(benchmark::State& state) {
    wave::Environment env(kFrames, true);
    env.setSampleRate(48000.0f);
    bench::TableSource left(&env, drumSignal(48000.0f, 1));
    bench::TableSource right(&env, drumSignal(48000.0f, state.range(0) == 0 ? 1 : 2));
    BandCompander first(&env);
    BandCompander second(&env);
    first.setInput(&left);
    second.setInput(&right);
    second.setLinkedCompander(&first);
    first.smoothingFilter().link(&second.smoothingFilter(), BiquadProcessor::LinkKind::kFollow);
    drumSettings(first);
    drumSettings(second);
    tessel::bench::NsPerSample timer(state, kFrames);
    for (auto _ : state)
        cycle(env, {&first, &second});
}
BENCHMARK(BM_BandCompanderDrumsStereo)->Arg(0)->Arg(1);

// A linked pair at 192 kHz whose second channel leaves the shared path every 8th cycle (its
// detection differs by 0.001 dB for one block) and takes its chain over from the first. Reports
// the median cost of a take-over cycle and of the other cycles (both channels), and their ratio.
// Arg 0: the drum setting on a full-range band; arg 1: a bass band (20 .. 120 Hz: 5 ms lookahead)
// at attack 0 % and release 50 % (a 57 ms hold window); arg 2: the same with the longest lookahead,
// 20 ms (a 74 ms hold, smoothing at 32.5 Hz).
void BM_BandCompanderTakeOver(benchmark::State& state) {
    constexpr float kRate = 192000.0f;
    wave::Environment env(kFrames, true);
    env.setSampleRate(kRate);
    std::vector<float> signal = drumSignal(kRate, 1);
    std::vector<float> nudged = signal;
    for (float& x : nudged)
        x *= 1.000115f;  // 0.001 dB
    bench::TableSource left(&env, signal);
    bench::TableSource same(&env, signal);
    bench::TableSource apart(&env, nudged);
    BandCompander first(&env);
    BandCompander second(&env);
    first.setInput(&left);
    second.setInput(&same);
    second.setLinkedCompander(&first);
    first.smoothingFilter().link(&second.smoothingFilter(), BiquadProcessor::LinkKind::kFollow);
    for (BandCompander* k : {&first, &second}) {
        drumSettings(*k);
        if (state.range(0) >= 1) {
            k->attackPercent() = 0.0f;
            k->releasePercent() = 50.0f;
            k->highCrossoverOctaves() = 6.9069f;  // 120 Hz
        }
        if (state.range(0) == 2) k->lookaheadMs() = 20.0f;
    }
    std::vector<double> takeOvers, others;
    takeOvers.reserve(1 << 16);
    others.reserve(1 << 20);
    int64_t cycle = 0;
    for (auto _ : state) {
        // Switch the detection one cycle ahead: the delayed blocks diverge for one block.
        second.setInput(cycle % 8 == 7 ? &apart : &same);
        const bool wasSharing = second.isSharing();
        const auto start = std::chrono::steady_clock::now();
        env.beginCycle();
        benchmark::DoNotOptimize(first.pull(kFrames)->data());
        benchmark::DoNotOptimize(second.pull(kFrames)->data());
        env.advance(kFrames, 0);
        const double us =
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                .count();
        (wasSharing && !second.isSharing() ? takeOvers : others).push_back(us);
        ++cycle;
    }
    const auto median = [](std::vector<double>& v) {
        if (v.empty()) return 0.0;
        std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
        return v[v.size() / 2];
    };
    const double mOthers = median(others);
    const double mTakeOvers = median(takeOvers);
    state.counters["take-over us"] = mTakeOvers;
    state.counters["other us"] = mOthers;
    state.counters["ratio"] = mOthers > 0.0 ? mTakeOvers / mOthers : 0.0;
    state.counters["take-overs"] = static_cast<double>(takeOvers.size());
}
BENCHMARK(BM_BandCompanderTakeOver)->Arg(0)->Arg(1)->Arg(2);

}  // namespace
