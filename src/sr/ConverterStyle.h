#pragma once

#include <cstdint>
#include <memory>

#include "engine/wave/AlignedBuffer.h"
#include "engine/wave/SubEnvironment.h"
#include "sr/ConverterStyleBase.h"
#include "support/Property.h"

namespace tessel::sr {

/// The half-band FIR converter family used around the oversampled band processing. Every stage
/// is a 2:1 half-band low-pass designed with a Kaiser window from two numbers: the stop-band
/// attenuation (dB) and the pass-band edge (Hz). The first stage (host rate to twice it) is steep,
/// its transition band running from the edge to the host rate minus the edge; the stages above it
/// only have to remove images far from the audio band and use a relaxed transition.
/// Tables (float taps that the kernels add up to exactly 1, so a constant passes unchanged) are
/// designed in double precision lazily, when a converter is set up after the host rate or a
/// property moved; each redesign bumps `designGeneration`, which tells
/// converters to re-point their stages. The factor is the attached sub-environment's when there is
/// one, otherwise the stored one. The static sizing functions are pure and callable from any
/// thread before any converter exists (the plug-in's latency report uses them).
class ConverterStyle : public ConverterStyleBase, private PropertyOwner {
public:
    /// The four coefficient tables. Full tables have 4k + 1 taps; reduced tables hold the 2k taps
    /// at odd distances from the centre, doubled and renormalised (the interpolator's odd phase;
    /// its even phase is the centre tap alone, a plain copy).
    enum class TableKind : int32_t {
        kRelaxed = 0,         ///< decimator stages above the first
        kSteep = 1,           ///< decimator first stage
        kSteepReduced = 2,    ///< interpolator first stage
        kRelaxedReduced = 3,  ///< interpolator stages above the first
    };

    /// A designed table: taps (32-byte aligned) and their count. Valid until the next redesign.
    struct Table {
        const float* taps = nullptr;
        int32_t length = 0;
    };

    static constexpr double kDefaultAttenuationDb = 90.0;
    static constexpr double kDefaultPassBandEdgeHz = 20000.0;
    /// Transition width (fraction of a stage's input rate) of the stages above the first.
    static constexpr double kRelaxedTransition = 0.5;
    /// Floor of the first stage's transition width: bounds the table at high edge-to-rate ratios
    /// (125 taps at 44.1 kHz and 90 dB) and keeps an edge above the host Nyquist rate usable.
    static constexpr double kMinimumTransition = 0.09;
    /// Five stages at most: the converters keep their stages in a fixed array.
    static constexpr int32_t kMaximumFactor = 32;

    /// subEnvironment may be null; the stored factor applies then.
    ConverterStyle(wave::Environment* hostEnvironment, wave::SubEnvironment* subEnvironment);
    ~ConverterStyle() override;

    /// Stop-band attenuation in dB, 20 .. 200 (90 by default).
    LimitedProperty<float>& attenuationDb() noexcept { return attenuationDb_; }
    /// Pass-band edge in Hz, 100 .. 100000 (20000 by default).
    LimitedProperty<float>& passBandEdgeHz() noexcept { return passBandEdgeHz_; }
    wave::SubEnvironment* subEnvironment() const noexcept { return subEnvironment_; }

    std::unique_ptr<ConverterBase> createDecimator() override;
    std::unique_ptr<ConverterBase> createInterpolator() override;
    /// At the host environment's rate and the current properties.
    int32_t latency(int32_t factor) const override;
    int32_t maximumFactor() const noexcept override { return kMaximumFactor; }
    int32_t currentFactor() const noexcept override;
    /// With a sub-environment attached, sets its factor (which resizes its blocks and resets it).
    void setFactor(int32_t factor) override;

    /// Designs all four tables unless they are current. Allocates when it designs.
    void design();
    /// True when the tables were designed for the current host rate and properties.
    bool isDesignCurrent() const noexcept;
    /// Incremented by every design; converters compare it with the one they were set up with.
    uint32_t designGeneration() const noexcept { return designGeneration_; }
    /// A table of the last design (empty before the first).
    Table table(TableKind kind) const noexcept;

    /// k of a half-band table of 4k + 1 taps for an attenuation (dB) and a transition width t
    /// (fraction of the stage's input rate): Kaiser's length estimate (A - 7.95) / (7.18 t),
    /// rounded to the nearest 4k + 1 form; at least 1.
    static int32_t tableOrder(double attenuationDb, double transition) noexcept;
    /// Transition width of the first stage at host rate sampleRateHz, floored at 0.09.
    static double firstStageTransition(double sampleRateHz, double passBandEdgeHz) noexcept;
    /// Latency in host-rate samples of interpolating by factor and decimating back: the sum over
    /// the stages f = factor, factor / 2, ..., 2 of 2 * ceil(2 k_f / f), each stage's delay being
    /// rounded up to whole host samples. 0 for factor 1. A rate that is not a positive finite
    /// number counts as 44100 Hz.
    static int32_t conversionLatency(int32_t factor, double sampleRateHz,
                                     double passBandEdgeHz = kDefaultPassBandEdgeHz,
                                     double attenuationDb = kDefaultAttenuationDb) noexcept;

private:
    void propertyChanged(AbstractProperty*) override { designStale_ = true; }

    LimitedProperty<float> attenuationDb_;
    LimitedProperty<float> passBandEdgeHz_;
    wave::SubEnvironment* subEnvironment_;
    AlignedBuffer<float> tables_[4];
    float designedRateHz_ = 0.0f;
    bool designStale_ = true;
    uint32_t designGeneration_ = 0;
};

}  // namespace tessel::sr
