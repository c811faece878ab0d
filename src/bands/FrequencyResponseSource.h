#pragma once

#include <complex>
#include <cstdint>
#include <limits>
#include <vector>

#include "support/Property.h"

namespace tessel {

/// Anything that can describe a filter shape as a complex response over frequency: the model
/// bands of the band layout, drawn by the editor and turned into linear-phase kernels. The base
/// answers 1 + 0j everywhere (a band that passes everything). Frequencies here are in hertz, not
/// octave values, because the grids that sample them are linear as often as logarithmic.
/// Not locked: a source is read and changed on one thread at a time (the thread that owns its
/// model); reading may fill a cache, so it may not run concurrently with anything else.
class FrequencyResponseSource {
public:
    using Complex = std::complex<double>;

    FrequencyResponseSource() = default;
    virtual ~FrequencyResponseSource() = default;
    FrequencyResponseSource(const FrequencyResponseSource&) = delete;
    FrequencyResponseSource& operator=(const FrequencyResponseSource&) = delete;

    /// Complex response at frequencyHz.
    virtual Complex responseAtFrequency(double frequencyHz) const {
        (void)frequencyHz;
        return {1.0, 0.0};
    }
};

/// A response sampled on a shared frequency grid (its Mapping): index i stands for the grid
/// frequency of i. Many sources share one grid; changing the grid tells each of them through
/// mappingChanged, which cached sources use to drop their caches. The Mapping must outlive
/// every source that uses it.
class DiscreteFrequencyResponseSource : public FrequencyResponseSource {
public:
    /// A frequency grid of N points, logarithmic or linear between the lowest and the highest
    /// frequency (Hz). The step is ln(highest / lowest) / N or (highest - lowest) / N, so the
    /// highest frequency itself is one step beyond the last point (a logarithmic grid needs
    /// positive bounds; with a bound at or below 0 Hz it is laid out linearly, which is what a
    /// kernel grid starting at 0 Hz wants anyway). Changing any property recomputes the step, the
    /// frequency table and its octave values (log2 Hz, so that per-point responses on a log
    /// frequency axis need no logarithm) and notifies every registered source. Changes allocate
    /// when the point count grows; reading never allocates.
    class Mapping : public PropertyOwner {
    public:
        static constexpr double kDefaultLowestHz = 20.0;
        static constexpr double kDefaultHighestHz = 20000.0;
        static constexpr int32_t kDefaultPointCount = 255;
        /// The octave value that stands for 0 Hz and below: minus the largest double, so any
        /// nonzero multiple of it sends a continuous slope 2^(k * octaves) to its limit (0 or
        /// infinity) as a power of 0 Hz would.
        static constexpr double kZeroHzOctaves = -std::numeric_limits<double>::max();

        Mapping();
        ~Mapping() override;
        Mapping(const Mapping&) = delete;
        Mapping& operator=(const Mapping&) = delete;

        Property<bool>& logarithmic() noexcept { return logarithmic_; }
        Property<double>& lowestHz() noexcept { return lowestHz_; }
        Property<double>& highestHz() noexcept { return highestHz_; }
        /// At least 1 (smaller values act as 1).
        Property<int32_t>& pointCount() noexcept { return pointCount_; }

        /// Sets all four at once with one notification.
        void configure(bool logarithmic, double lowestHz, double highestHz, int32_t points);

        int32_t size() const noexcept { return static_cast<int32_t>(frequenciesHz_.size()); }
        double step() const noexcept { return step_; }
        /// Grid frequency of index i in Hz (i within 0..size()-1).
        double frequencyHz(int32_t index) const noexcept {
            return frequenciesHz_[static_cast<std::size_t>(index)];
        }
        /// Octave values (log2 Hz) of indices 0..size()-1; kZeroHzOctaves at or below 0 Hz.
        const double* frequenciesOctaves() const noexcept { return frequenciesOctaves_.data(); }
        /// Nearest grid index of frequencyHz, limited to 0..size()-1.
        int32_t indexOf(double frequencyHz) const noexcept;

        void addSource(DiscreteFrequencyResponseSource* source);
        void removeSource(DiscreteFrequencyResponseSource* source) noexcept;

        void propertyChanged(AbstractProperty* property) override;

    private:
        void rebuild();

        Property<bool> logarithmic_;
        Property<double> lowestHz_;
        Property<double> highestHz_;
        Property<int32_t> pointCount_;
        double step_ = 0.0;
        std::vector<double> frequenciesHz_;
        std::vector<double> frequenciesOctaves_;
        std::vector<DiscreteFrequencyResponseSource*> sources_;
        bool configuring_ = false;
    };

    explicit DiscreteFrequencyResponseSource(Mapping* mapping);
    ~DiscreteFrequencyResponseSource() override;

    /// Snaps to the nearest grid index and returns the response there.
    Complex responseAtFrequency(double frequencyHz) const override;
    /// Called after the grid changed (the grid is already updated).
    virtual void mappingChanged() {}
    /// Complex response at grid index i (default 1 + 0j).
    virtual Complex response(int32_t index) const {
        (void)index;
        return {1.0, 0.0};
    }
    /// Responses of indices first .. first + count - 1 into out.
    virtual void responses(int32_t first, int32_t count, Complex* out) const;
    /// |response(i)|^2.
    virtual double squaredMagnitude(int32_t index) const { return std::norm(response(index)); }
    /// Squared magnitudes of indices first .. first + count - 1 into out.
    virtual void squaredMagnitudes(int32_t first, int32_t count, double* out) const;

    Mapping* mapping() const noexcept { return mapping_; }

private:
    Mapping* mapping_;
};

/// A discrete source that remembers what it computed: values are stored in index order, so a
/// sweep from index 0 upwards fills the cache and later sweeps read it back. A miss beyond the
/// fill count is computed without being stored. `invalidate` (and any grid change) empties it.
/// The cache is sized with the grid: only grid changes allocate.
class CachedDiscreteFrequencyResponseSource : public DiscreteFrequencyResponseSource {
public:
    explicit CachedDiscreteFrequencyResponseSource(Mapping* mapping);

    Complex response(int32_t index) const override;
    void mappingChanged() override;

    /// Forgets every stored value (the response changed).
    void invalidate() noexcept { fillCount_ = 0; }
    int32_t fillCount() const noexcept { return fillCount_; }

protected:
    /// The value at a grid index, computed afresh (called on a cache miss).
    virtual Complex computeResponse(int32_t index) const = 0;

private:
    mutable std::vector<Complex> cache_;
    mutable int32_t fillCount_ = 0;
};

}  // namespace tessel
