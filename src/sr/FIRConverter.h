#pragma once

#include <array>
#include <cstdint>

#include "engine/wave/AlignedBuffer.h"
#include "sr/ConverterBase.h"
#include "sr/ConverterStyle.h"

namespace tessel::sr {

/// A converter made of log2(factor) cascaded 2:1 half-band FIR stages whose tables belong to a
/// `ConverterStyle`: stage s runs between 2^s and 2^(s+1) times the host rate, the first stage
/// with the first-stage table kind and the others with the later-stage kind. Each stage's delay is
/// padded to whole host-rate samples, so a round trip through an interpolator and a decimator of
/// the same style delays by exactly the style's `latency`.
/// Non-finite input: a NaN or infinity makes the outputs whose taps reach it non-finite for as
/// long as it stays in a stage's history (about one table length); then the output is clean again
/// by itself. `setUp` (a reset of the owning node) clears it at once.
/// `process` follows the style: a changed factor or redesigned tables trigger `setUp` first (which
/// then allocates, once); otherwise it never allocates. Blocks longer than the host environment's
/// maximum block size run in pieces of that size.
class FIRConverter : public ConverterBase {
public:
    using TableKind = ConverterStyle::TableKind;

    enum class Direction : int32_t { kDecimate, kInterpolate };

    FIRConverter(ConverterStyle* style, TableKind firstStageKind, TableKind laterStageKind,
                 Direction direction);

    bool process(const float* in, float* out, int32_t n) noexcept final;
    void setUp() override;

    ConverterStyle* style() const noexcept { return style_; }
    /// log2 of the factor the converter is set up for.
    int32_t stageCount() const noexcept { return stageCount_; }
    /// Host-rate samples converted per piece.
    int32_t capacity() const noexcept { return capacity_; }

protected:
    /// One 2:1 stage: its table, and a history of the previous inputs followed by room for the
    /// inputs of one piece. Interpolating stages keep their input as it comes (and room for their
    /// odd outputs); decimating stages keep it split into even and odd samples, so that both
    /// kernels read unit-stride runs. A longer history delays the stage by up to f - 1 extra
    /// samples of its higher rate (f its stage factor, the ratio of that rate to the host rate),
    /// so that the stage's delay is a whole number of host-rate samples.
    class Stage {
    public:
        /// Sizes the stage for the table and pieces of hostCapacity samples at the host rate and
        /// clears it. Allocates only when the size changes.
        void setUp(int32_t stageFactor, ConverterStyle::Table table, int32_t hostCapacity,
                   Direction direction);
        void clear() noexcept;
        /// Reads n inputs and writes 2n outputs. `in` may be inputArea() (nothing is copied).
        void interpolate(const float* in, float* out, int32_t n) noexcept;
        /// Reads 2n inputs and writes n outputs. `in` and `out` may be the same buffer.
        void decimate(const float* in, float* out, int32_t n) noexcept;
        /// Where an interpolating stage's next input is expected.
        float* inputArea() noexcept { return buffer_.data() + history_; }

    private:
        const float* taps_ = nullptr;
        int32_t length_ = 0;
        int32_t history_ = 0;  // samples kept per phase between pieces
        int32_t span_ = 0;     // history plus one piece, per phase
        AlignedBuffer<float> buffer_;
    };

    /// Converts one piece of n <= capacity() host-rate samples through the stages.
    virtual void convert(const float* in, float* out, int32_t n) noexcept = 0;

    Stage& stage(int32_t s) noexcept { return stages_[s]; }
    /// Room for the output of the top decimating stage (none for interpolators).
    float* scratch() noexcept { return scratch_.data(); }

private:
    static constexpr int32_t kMaximumStages = 5;
    static_assert(1 << kMaximumStages == ConverterStyle::kMaximumFactor);

    int32_t effectiveFactor() const noexcept;

    ConverterStyle* style_;
    TableKind firstStageKind_;
    TableKind laterStageKind_;
    Direction direction_;
    int32_t factor_ = 0;
    int32_t stageCount_ = 0;
    int32_t capacity_ = 0;
    uint32_t designGeneration_ = 0;
    AlignedBuffer<float> scratch_;
    std::array<Stage, kMaximumStages> stages_;
};

}  // namespace tessel::sr
