#pragma once

#include <cstdint>

namespace tessel::sr::kernels {

// The per-sample loops of the half-band stages. A stage's outputs are dot products of its taps
// with runs of history that start one sample apart, so the loops go over taps in passes of four
// and, inside a pass, over consecutive outputs: the compiler vectorises the output loop four
// outputs per register on baseline x86-64 (unit-stride loads, one broadcast coefficient per tap),
// and a pass reads and writes the partial sums once for four taps. (Keeping four outputs in a
// register across all taps instead makes GCC vectorise across the blocks of four and runs at less
// than half the speed.) Every output adds its taps in the same order, wherever it falls in a
// block, so results do not depend on how a signal was cut into blocks.

/// y[i] = sum over q < taps of c[q * stride] * x[i + q], for i < n. taps must be even.
inline void dot(const float* __restrict c, int32_t stride, int32_t taps, const float* __restrict x,
                float* __restrict y, int32_t n) noexcept {
    for (int32_t i = 0; i < n; ++i)
        y[i] = 0.0f;
    int32_t q = 0;
    for (; q + 4 <= taps; q += 4) {
        const float c0 = c[q * stride], c1 = c[(q + 1) * stride];
        const float c2 = c[(q + 2) * stride], c3 = c[(q + 3) * stride];
        const float* xq = x + q;
        for (int32_t i = 0; i < n; ++i)
            y[i] += (c0 * xq[i] + c1 * xq[i + 1]) + (c2 * xq[i + 2] + c3 * xq[i + 3]);
    }
    if (q < taps) {
        const float c0 = c[q * stride], c1 = c[(q + 1) * stride];
        const float* xq = x + q;
        for (int32_t i = 0; i < n; ++i)
            y[i] += c0 * xq[i] + c1 * xq[i + 1];
    }
}

/// y[i] += k * x[i], for i < n.
inline void addScaled(float k, const float* __restrict x, float* __restrict y, int32_t n) noexcept {
    for (int32_t i = 0; i < n; ++i)
        y[i] += k * x[i];
}

/// The decimating stage's output: out[i] = dot product of a full half-band table's odd-distance
/// taps with odd[i ..], plus the centre tap times centreEven[i] (the even sample k back, k =
/// (length - 1) / 4). The table's design evaluates itself through this same function.
inline void halfBand(const float* table, int32_t length, const float* __restrict odd,
                     const float* __restrict centreEven, float* __restrict out,
                     int32_t n) noexcept {
    const int32_t k = (length - 1) / 4;
    dot(table + 1, 2, 2 * k, odd, out, n);
    addScaled(table[2 * k], centreEven, out, n);
}

/// out[2i] = even[i], out[2i + 1] = odd[i], for i < n.
inline void interleave(const float* __restrict even, const float* __restrict odd,
                       float* __restrict out, int32_t n) noexcept {
    for (int32_t i = 0; i < n; ++i) {
        out[2 * i] = even[i];
        out[2 * i + 1] = odd[i];
    }
}

/// even[i] = in[2i], odd[i] = in[2i + 1], for i < n.
inline void deinterleave(const float* __restrict in, float* __restrict even, float* __restrict odd,
                         int32_t n) noexcept {
    for (int32_t i = 0; i < n; ++i) {
        even[i] = in[2 * i];
        odd[i] = in[2 * i + 1];
    }
}

}  // namespace tessel::sr::kernels
