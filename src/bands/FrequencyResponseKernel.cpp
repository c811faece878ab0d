#include "bands/FrequencyResponseKernel.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace tessel {

FrequencyResponseKernel::FrequencyResponseKernel(
    wave::Environment* environment, std::shared_ptr<const Convolver::Configuration> configuration,
    const DiscreteFrequencyResponseSource* source)
    : Convolver::Kernel(environment, std::move(configuration)),
      source_(source),
      fft_(this->configuration()->kernelLength(), FFT::WindowType::kHamming, 60.0f) {
    resize();
    setResponseTasks({&initSpectrum_, &inverseFFT_, &storeResponse_});
}

FrequencyResponseKernel::~FrequencyResponseKernel() = default;

void FrequencyResponseKernel::setResponseSource(
    const DiscreteFrequencyResponseSource* source) noexcept {
    if (source == source_) return;
    source_ = source;
    markForUpdate();
}

void FrequencyResponseKernel::configureGrid(DiscreteFrequencyResponseSource::Mapping& mapping,
                                            const Convolver::Configuration& configuration) {
    mapping.configure(false, 0.0, 0.5 * configuration.sampleRateHz(),
                      configuration.kernelLength() / 2);
}

void FrequencyResponseKernel::configurationChanged() {
    resize();
}

void FrequencyResponseKernel::resize() {
    fft_.resize(configuration()->kernelLength());  // keeps the Hamming window
    work_.resize(fft_.size());
    responses_.resize(static_cast<std::size_t>(fft_.size() / 2 + 1));
    inverseFFT_.set(&fft_, work_.data());
}

// ---- Tasks ----

void FrequencyResponseKernel::InitSpectrumTask::prepare() noexcept {
    setUnits(kernel_->fft_.size() / 2 + 1, kResponseBinCost);
}

void FrequencyResponseKernel::InitSpectrumTask::run(int32_t firstUnit, int32_t count) noexcept {
    const int32_t half = kernel_->fft_.size() / 2;
    float* packed = kernel_->work_.data();
    const DiscreteFrequencyResponseSource* source = kernel_->source_;
    FrequencyResponseSource::Complex* r = kernel_->responses_.data() + firstUnit;
    const int32_t end = firstUnit + count;
    if (source == nullptr) {
        std::fill(r, r + count, FrequencyResponseSource::Complex{});
    } else {
        // Bins past the grid (the Nyquist bin of a grid of L/2 points) take its last point.
        const int32_t last = source->mapping()->size() - 1;
        const int32_t inGrid = std::max(firstUnit, std::min(end, last + 1));
        if (inGrid > firstUnit) source->responses(firstUnit, inGrid - firstUnit, r);
        for (int32_t i = inGrid; i < end; ++i)
            r[i - firstUnit] = source->response(last);
    }
    for (int32_t i = firstUnit; i < end; ++i) {
        const FrequencyResponseSource::Complex v = r[i - firstUnit];
        const bool finite = std::isfinite(v.real()) && std::isfinite(v.imag());
        packed[i] = finite ? static_cast<float>(v.real()) : 0.0f;
        if (i > 0 && i < half) packed[half + i] = finite ? static_cast<float>(-v.imag()) : 0.0f;
    }
}

void FrequencyResponseKernel::StoreResponseTask::prepare() noexcept {
    setUnits(kernel_->fft_.size(), kSampleCost);
}

void FrequencyResponseKernel::StoreResponseTask::run(int32_t firstUnit, int32_t count) noexcept {
    const int32_t n = kernel_->fft_.size();
    const int32_t length = std::min(n, kernel_->configuration()->kernelLength());
    const float* centred = kernel_->work_.data();
    const float* window = kernel_->fft_.window();
    float* kernel = kernel_->impulseResponse();
    const int32_t end = std::min(firstUnit + count, length);
    for (int32_t j = firstUnit; j < end; ++j)
        kernel[j] = centred[(j + n / 2) & (n - 1)] * window[j];
}

}  // namespace tessel
