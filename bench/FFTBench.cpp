// The real transform, per point (ns/sample counts transform points), on one core of the
// development machine (Release, baseline x86-64 SSE2; every iteration first copies the input into
// the work buffer, the in-place transform's usual use, and FFTW gets the same copy). Best of 15
// repetitions on a shared, busy 2-core machine:
//             forward  inverse   FFTW r2c  FFTW c2r  (FFTW_MEASURE; its plans pick AVX codelets)
//   1024      0.93     0.84      0.67      0.60
//   4096      1.05     1.02      0.63      0.65
//   8192      1.10     1.10      0.96      0.69
// In a quieter moment, 8192: forward 0.95, inverse 0.96, FFTW r2c 0.66 (1.4 times faster).
// The packed multiply-accumulate of one 1024-point partition: 0.16 ns per point.
// The FFTW figures appear when pkg-config finds fftw3f (scripts/setup.sh installs it); the library
// itself never uses FFTW.

#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "NsPerSample.h"
#include "support/FFT.h"

#ifdef TESSEL_BENCH_FFTW
#include <fftw3.h>
#endif

namespace {

using tessel::FFT;

std::vector<float> noise(int32_t n) {
    std::mt19937 random(7);
    std::normal_distribution<float> gauss;
    std::vector<float> x(static_cast<std::size_t>(n));
    for (float& v : x)
        v = gauss(random);
    return x;
}

// Argument: transform size.
void BM_FFTForward(benchmark::State& state) {
    const auto n = static_cast<int32_t>(state.range(0));
    const FFT fft(n);
    const std::vector<float> input = noise(n);
    std::vector<float> work(input.size());
    tessel::bench::NsPerSample timer(state, n);
    for (auto _ : state) {
        std::memcpy(work.data(), input.data(), input.size() * sizeof(float));
        fft.forward(work.data());
        benchmark::DoNotOptimize(work.data());
    }
}
BENCHMARK(BM_FFTForward)->Arg(1024)->Arg(4096)->Arg(8192);

void BM_FFTInverse(benchmark::State& state) {
    const auto n = static_cast<int32_t>(state.range(0));
    const FFT fft(n);
    std::vector<float> spectrum = noise(n);
    fft.forward(spectrum.data());
    std::vector<float> work(spectrum.size());
    tessel::bench::NsPerSample timer(state, n);
    for (auto _ : state) {
        std::memcpy(work.data(), spectrum.data(), spectrum.size() * sizeof(float));
        fft.inverse(work.data());
        benchmark::DoNotOptimize(work.data());
    }
}
BENCHMARK(BM_FFTInverse)->Arg(1024)->Arg(4096)->Arg(8192);

// One partition's multiply-accumulate as the convolution runs it (1024-point spectra).
void BM_FFTMultiplyAccumulate(benchmark::State& state) {
    constexpr int32_t kSize = 1024;
    const std::vector<float> x = noise(kSize), h = noise(2 * kSize);
    std::vector<float> acc(x.size());
    tessel::bench::NsPerSample timer(state, kSize);
    for (auto _ : state) {
        FFT::multiplyAccumulate(x.data(), h.data() + kSize, acc.data(), kSize, false);
        benchmark::DoNotOptimize(acc.data());
    }
}
BENCHMARK(BM_FFTMultiplyAccumulate);

#ifdef TESSEL_BENCH_FFTW
// Arguments: transform size, direction (0 r2c, 1 c2r).
void BM_FFTW(benchmark::State& state) {
    const auto n = static_cast<int32_t>(state.range(0));
    const bool inverse = state.range(1) != 0;
    float* real = fftwf_alloc_real(static_cast<std::size_t>(n));
    fftwf_complex* complex = fftwf_alloc_complex(static_cast<std::size_t>(n / 2 + 1));
    fftwf_plan plan = inverse ? fftwf_plan_dft_c2r_1d(n, complex, real, FFTW_MEASURE)
                              : fftwf_plan_dft_r2c_1d(n, real, complex, FFTW_MEASURE);
    const std::vector<float> input = noise(n + 2);
    float* source = inverse ? reinterpret_cast<float*>(complex) : real;
    const std::size_t bytes = static_cast<std::size_t>(inverse ? n + 2 : n) * sizeof(float);
    tessel::bench::NsPerSample timer(state, n);
    for (auto _ : state) {
        std::memcpy(source, input.data(), bytes);
        fftwf_execute(plan);
        benchmark::DoNotOptimize(real);
    }
    fftwf_destroy_plan(plan);
    fftwf_free(complex);
    fftwf_free(real);
}
BENCHMARK(BM_FFTW)->ArgsProduct({{1024, 4096, 8192}, {0, 1}});
#endif

}  // namespace
