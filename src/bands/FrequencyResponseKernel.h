#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "bands/Convolver.h"
#include "bands/FrequencyResponseSource.h"
#include "bands/GranularTask.h"
#include "engine/wave/AlignedBuffer.h"
#include "support/FFT.h"

namespace tessel {

/// The linear-phase kernel of one band, built from the band's response (a model band of the
/// layout, on a linear grid from 0 Hz to half the rate with kernel length / 2 points, as
/// `configureGrid` sets it). Every build runs three tasks before the partitions are transformed:
/// the response at bins 0..L/2 becomes a zero-phase packed spectrum, an inverse transform of size
/// L turns it into an impulse response centred on sample 0, and kernel sample j is transform
/// output (j + L/2) mod L times the Hamming window at j. A flat response of 1 gives a unit impulse
/// at L/2 (the window is 1 there), and responses that sum to 1 give kernels that sum to it, so
/// the band signals add up to the input delayed by L/2 plus the convolution's lag.
/// The kernel length must be a power of two (LinearPhaseSizing's always is). Without a source
/// the kernel is silent; a non-finite response value counts as 0. Audio thread, like its base:
/// reading the source (which may fill its caches) happens inside the build, on that thread.
class FrequencyResponseKernel : public Convolver::Kernel {
public:
    FrequencyResponseKernel(wave::Environment* environment,
                            std::shared_ptr<const Convolver::Configuration> configuration,
                            const DiscreteFrequencyResponseSource* source = nullptr);
    ~FrequencyResponseKernel() override;

    /// The response to build from (null: silence); a different source requests an update.
    void setResponseSource(const DiscreteFrequencyResponseSource* source) noexcept;
    const DiscreteFrequencyResponseSource* responseSource() const noexcept { return source_; }

    /// Sets a grid to the kernels' bins: linear, 0 Hz to half the rate, kernel length / 2
    /// points. Allocates when the grid grows; its sources drop their caches. [model's thread]
    static void configureGrid(DiscreteFrequencyResponseSource::Mapping& mapping,
                              const Convolver::Configuration& configuration);

protected:
    void configurationChanged() override;

private:
    /// Fetches the response at one bin (L/2 + 1 units) and packs it.
    class InitSpectrumTask : public GranularTask {
    public:
        explicit InitSpectrumTask(FrequencyResponseKernel* kernel) : kernel_(kernel) {}
        void prepare() noexcept override;
        void run(int32_t firstUnit, int32_t count) noexcept override;

    private:
        FrequencyResponseKernel* kernel_;
    };
    /// The inverse transform of size L, one stage per unit.
    using InverseFFTTask = FFTCalculateInverseTask;
    /// Stores one kernel sample, shifted by half the length and windowed (L units).
    class StoreResponseTask : public GranularTask {
    public:
        explicit StoreResponseTask(FrequencyResponseKernel* kernel) : kernel_(kernel) {}
        void prepare() noexcept override;
        void run(int32_t firstUnit, int32_t count) noexcept override;

    private:
        FrequencyResponseKernel* kernel_;
    };

    void resize();

    const DiscreteFrequencyResponseSource* source_;
    FFT fft_;                    // size L, Hamming window
    AlignedBuffer<float> work_;  // the packed spectrum, then the centred impulse response
    std::vector<FrequencyResponseSource::Complex> responses_;  // one batch of bins
    InitSpectrumTask initSpectrum_{this};
    InverseFFTTask inverseFFT_;
    StoreResponseTask storeResponse_{this};
};

}  // namespace tessel
