#pragma once

#include <array>
#include <cstdint>

namespace tessel {

/// How a shelving edge of a given steepness is split into shelf sections: per slope in dB per
/// octave, the weights and shape values a, b, c, d that ShelfBand turns into at most four first-
/// and second-order sections whose gains add up to the edge's full gain. The rows were tuned by
/// ear and by measurement so that each slope range sounds as steep as it says; values between
/// rows are interpolated linearly. One table per process, shared by every ShelfBand through
/// SharedResource; read-only after construction, so [any thread].
class ShelfSlopeTable {
public:
    struct Row {
        float slopeDbPerOctave;
        float a, b, c, d;
    };

    static constexpr std::size_t kRowCount = 29;

    ShelfSlopeTable() noexcept
        : rows_{{{0.0f, 0.0f, 0.0f, 0.0f, 1.0f},          {8.0f, 0.0f, 0.0f, 0.0f, 1.0f},
                 {10.0f, 0.1f, 0.0f, 0.0f, 0.67f},        {10.5f, 0.2f, 0.0f, 0.0f, 0.39f},
                 {11.0f, 0.3f, 0.0f, 0.0f, 0.18f},        {11.5f, 0.4f, 0.0f, 0.0f, 0.05f},
                 {12.0f, 0.5f, 0.5f, 0.92f, 0.0f},        {12.5f, 0.47f, 0.43f, 0.92f, 0.122f},
                 {13.0f, 0.44f, 0.37f, 0.92f, 0.199f},    {13.5f, 0.42f, 0.19f, 0.92f, 0.278f},
                 {13.75f, 0.37f, 0.1f, 0.92f, 0.262f},    {14.0f, 0.33f, 0.0f, 0.92f, 0.166f},
                 {15.0f, 0.33f, 0.0f, 0.86f, 0.118f},     {16.5f, 0.33f, 0.0f, 0.78f, 0.0677f},
                 {18.0f, 0.33f, 0.0f, 0.72f, 0.0198f},    {19.5f, 0.16f, 0.13f, 0.71f, 0.0392f},
                 {21.0f, 0.08f, 0.25f, 0.707f, 0.0488f},  {22.5f, 0.04f, 0.34f, 0.707f, 0.0296f},
                 {23.5f, 0.013f, 0.45f, 0.707f, 0.0198f}, {24.0f, 0.0f, 0.5f, 0.707f, 0.0f},
                 {27.0f, 0.05f, 0.437f, 0.65f, 0.0296f},  {28.5f, 0.08f, 0.4f, 0.62f, 0.0411f},
                 {30.0f, 0.1f, 0.37f, 0.6f, 0.0354f},     {36.0f, 0.0f, 0.333f, 0.5f, 0.0f},
                 {40.0f, 0.025f, 0.307f, 0.46f, 0.05f},   {42.0f, 0.038f, 0.285f, 0.43f, 0.085f},
                 {45.0f, 0.057f, 0.27f, 0.41f, 0.14f},    {48.0f, 0.076f, 0.25f, 0.383f, 0.25f},
                 {60.0f, 0.076f, 0.25f, 0.383f, 0.25f}}} {}

    /// The values at slopeDbPerOctave: interpolated between the first row whose slope is not
    /// below it and the row before; the first and the last row hold beyond the table.
    Row lookup(float slopeDbPerOctave) const noexcept {
        const float s = slopeDbPerOctave;
        std::size_t i = 0;
        while (i + 1 < kRowCount && rows_[i].slopeDbPerOctave < s)
            ++i;
        const Row& hi = rows_[i];
        if (i == 0 || !(hi.slopeDbPerOctave >= s)) return Row{s, hi.a, hi.b, hi.c, hi.d};
        const Row& lo = rows_[i - 1];
        const float t = (s - lo.slopeDbPerOctave) / (hi.slopeDbPerOctave - lo.slopeDbPerOctave);
        return Row{s, lo.a + t * (hi.a - lo.a), lo.b + t * (hi.b - lo.b), lo.c + t * (hi.c - lo.c),
                   lo.d + t * (hi.d - lo.d)};
    }

    const std::array<Row, kRowCount>& rows() const noexcept { return rows_; }

private:
    std::array<Row, kRowCount> rows_;
};

}  // namespace tessel
