#include "support/FFT.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <numbers>
#include <utility>

// The real transform of size N runs as a complex transform of size M = N/2 on
// z_n = x_2n + i x_2n+1, held in split form: real parts at data[0..M), imaginary parts at
// data[M..N). Reversing the log2 N bits of every index turns the interleaved signal into z in
// radix-2 bit-reversed order at once (the low bit, even or odd sample, becomes the half), so one
// in-place exchange pass both splits and reorders; it also runs the first, twiddle-free radix-4
// butterflies while the values are in registers. Decimation-in-time passes then give Z in natural
// order, and the split stage turns Z into the packed real spectrum.
// The inverse mirrors it: the split stage rebuilds Z (scaled by 1/M) from the packed spectrum,
// decimation-in-frequency passes run with real and imaginary halves swapped (swapping them
// conjugates the transform, so the forward twiddles serve), leaving z bit-reversed, and the last
// butterflies run in the same exchange pass, which interleaves z back into the signal.
// Split form keeps every butterfly pass a plain loop over contiguous floats, which GCC vectorises
// with SSE2; the reorder works on 4 x 4 blocks in GCC vector registers.

namespace tessel {
namespace {

/// Twiddles of a radix-4 pass with span q: w^j, w^2j and w^3j (w = e^(-2 pi i / 4q)) for j < q,
/// as six arrays of q floats (real, imaginary).
struct Twiddles {
    const float* __restrict w1r;
    const float* __restrict w1i;
    const float* __restrict w2r;
    const float* __restrict w2i;
    const float* __restrict w3r;
    const float* __restrict w3i;

    Twiddles(const float* table, int32_t q) noexcept
        : w1r(table),
          w1i(table + q),
          w2r(table + 2 * q),
          w2i(table + 3 * q),
          w3r(table + 4 * q),
          w3i(table + 5 * q) {}
};

/// The butterflies of one group of a radix-4 decimation-in-time pass. The quarters hold the
/// transforms of the inputs with index 0, 2, 1 and 3 mod 4 (bit-reversed order). Separate
/// restrict parameters tell GCC that the quarters never overlap, so the loop vectorises.
inline void ditGroup(float* __restrict r0, float* __restrict r1, float* __restrict r2,
                     float* __restrict r3, float* __restrict i0, float* __restrict i1,
                     float* __restrict i2, float* __restrict i3, const Twiddles& w,
                     int32_t q) noexcept {
    for (int32_t j = 0; j < q; ++j) {
        const float ar = r0[j], ai = i0[j];
        const float cr = r1[j] * w.w2r[j] - i1[j] * w.w2i[j];
        const float ci = r1[j] * w.w2i[j] + i1[j] * w.w2r[j];
        const float br = r2[j] * w.w1r[j] - i2[j] * w.w1i[j];
        const float bi = r2[j] * w.w1i[j] + i2[j] * w.w1r[j];
        const float dr = r3[j] * w.w3r[j] - i3[j] * w.w3i[j];
        const float di = r3[j] * w.w3i[j] + i3[j] * w.w3r[j];
        const float s0r = ar + cr, s0i = ai + ci, s1r = ar - cr, s1i = ai - ci;
        const float s2r = br + dr, s2i = bi + di, s3r = br - dr, s3i = bi - di;
        r0[j] = s0r + s2r;
        i0[j] = s0i + s2i;
        r1[j] = s1r + s3i;  // s1 - i s3
        i1[j] = s1i - s3r;
        r2[j] = s0r - s2r;
        i2[j] = s0i - s2i;
        r3[j] = s1r - s3i;  // s1 + i s3
        i3[j] = s1i + s3r;
    }
}

/// The butterflies of one group of a radix-4 decimation-in-frequency pass: the transpose of
/// ditGroup (natural order in, the sub-sequences out in bit-reversed quarter order 0, 2, 1, 3).
inline void difGroup(float* __restrict r0, float* __restrict r1, float* __restrict r2,
                     float* __restrict r3, float* __restrict i0, float* __restrict i1,
                     float* __restrict i2, float* __restrict i3, const Twiddles& w,
                     int32_t q) noexcept {
    for (int32_t j = 0; j < q; ++j) {
        const float t0r = r0[j] + r2[j], t0i = i0[j] + i2[j];
        const float t1r = r0[j] - r2[j], t1i = i0[j] - i2[j];
        const float t2r = r1[j] + r3[j], t2i = i1[j] + i3[j];
        const float t3r = r1[j] - r3[j], t3i = i1[j] - i3[j];
        const float er = t0r - t2r, ei = t0i - t2i;  // times w^2j
        const float br = t1r + t3i, bi = t1i - t3r;  // t1 - i t3, times w^j
        const float dr = t1r - t3i, di = t1i + t3r;  // t1 + i t3, times w^3j
        r0[j] = t0r + t2r;
        i0[j] = t0i + t2i;
        r1[j] = er * w.w2r[j] - ei * w.w2i[j];
        i1[j] = er * w.w2i[j] + ei * w.w2r[j];
        r2[j] = br * w.w1r[j] - bi * w.w1i[j];
        i2[j] = br * w.w1i[j] + bi * w.w1r[j];
        r3[j] = dr * w.w3r[j] - di * w.w3i[j];
        i3[j] = dr * w.w3i[j] + di * w.w3r[j];
    }
}

/// One radix-4 pass over all groups of 4q. kSpan, when not 0, is q known at compile time: the
/// span-4 pass then runs as one vector per quarter without loop overhead.
template <bool kDecimateInTime, int32_t kSpan>
void radix4(float* re, float* im, int32_t m, int32_t span, const float* table) noexcept {
    const int32_t q = kSpan != 0 ? kSpan : span;
    const Twiddles w(table, q);
    for (int32_t g = 0; g < m; g += 4 * q) {
        float* r = re + g;
        float* i = im + g;
        if (kDecimateInTime)
            ditGroup(r, r + q, r + 2 * q, r + 3 * q, i, i + q, i + 2 * q, i + 3 * q, w, q);
        else
            difGroup(r, r + q, r + 2 * q, r + 3 * q, i, i + q, i + 2 * q, i + 3 * q, w, q);
    }
}

/// Radix-2 pass over the two halves (h values each) with twiddles w^j = (wr, wi)[j],
/// w = e^(-2 pi i / 2h): decimation in time b -> w^j b first, in frequency w^j (a - b) last.
template <bool kDecimateInTime>
void radix2(float* __restrict ar, float* __restrict ai, float* __restrict br, float* __restrict bi,
            const float* __restrict wr, const float* __restrict wi, int32_t h) noexcept {
    for (int32_t j = 0; j < h; ++j) {
        if (kDecimateInTime) {
            const float tr = br[j] * wr[j] - bi[j] * wi[j];
            const float ti = br[j] * wi[j] + bi[j] * wr[j];
            br[j] = ar[j] - tr;
            bi[j] = ai[j] - ti;
            ar[j] += tr;
            ai[j] += ti;
        } else {
            const float dr = ar[j] - br[j], di = ai[j] - bi[j];
            ar[j] += br[j];
            ai[j] += bi[j];
            br[j] = dr * wr[j] - di * wi[j];
            bi[j] = dr * wi[j] + di * wr[j];
        }
    }
}

/// The first decimation-in-time (`dit`) or last decimation-in-frequency butterflies for N < 16,
/// where the reorder swaps single floats: one twiddle-free size-2 or size-4 transform.
void smallTransform(float* re, float* im, int32_t m, bool dit) noexcept {
    if (m == 2) {
        const float dr = re[0] - re[1], di = im[0] - im[1];
        re[0] += re[1];
        im[0] += im[1];
        re[1] = dr;
        im[1] = di;
        return;
    }
    // Decimation in frequency reads and writes the middle two in swapped order.
    const int32_t in[4] = {0, dit ? 1 : 2, dit ? 2 : 1, 3};
    const int32_t* out = in;
    const float s0r = re[in[0]] + re[in[1]], s0i = im[in[0]] + im[in[1]];
    const float s1r = re[in[0]] - re[in[1]], s1i = im[in[0]] - im[in[1]];
    const float s2r = re[in[2]] + re[in[3]], s2i = im[in[2]] + im[in[3]];
    const float s3r = re[in[2]] - re[in[3]], s3i = im[in[2]] - im[in[3]];
    re[out[0]] = s0r + s2r;
    im[out[0]] = s0i + s2i;
    re[out[1]] = s1r + s3i;
    im[out[1]] = s1i - s3r;
    re[out[2]] = s0r - s2r;
    im[out[2]] = s0i - s2i;
    re[out[3]] = s1r - s3i;
    im[out[3]] = s1i + s3r;
}

/// Reverses the low `bits` bits of i.
uint32_t reverseBits(uint32_t i, int32_t bits) noexcept {
    i = ((i >> 1) & 0x55555555u) | ((i & 0x55555555u) << 1);
    i = ((i >> 2) & 0x33333333u) | ((i & 0x33333333u) << 2);
    i = ((i >> 4) & 0x0f0f0f0fu) | ((i & 0x0f0f0f0fu) << 4);
    i = ((i >> 8) & 0x00ff00ffu) | ((i & 0x00ff00ffu) << 8);
    return bits == 0 ? 0 : ((i >> 16) | (i << 16)) >> (32 - bits);
}

/// Four floats as one SSE2 register (GCC vector extension: portable shuffles, no intrinsics).
using Float4 = float __attribute__((vector_size(16)));

/// out[j] = lane j of r0..r3.
inline void transpose(Float4 r0, Float4 r1, Float4 r2, Float4 r3, Float4* out) noexcept {
    const Float4 t0 = __builtin_shufflevector(r0, r1, 0, 4, 1, 5);
    const Float4 t1 = __builtin_shufflevector(r0, r1, 2, 6, 3, 7);
    const Float4 t2 = __builtin_shufflevector(r2, r3, 0, 4, 1, 5);
    const Float4 t3 = __builtin_shufflevector(r2, r3, 2, 6, 3, 7);
    out[0] = __builtin_shufflevector(t0, t2, 0, 1, 4, 5);
    out[1] = __builtin_shufflevector(t0, t2, 2, 3, 6, 7);
    out[2] = __builtin_shufflevector(t1, t3, 0, 1, 4, 5);
    out[3] = __builtin_shufflevector(t1, t3, 2, 3, 6, 7);
}

// The bit reversal of N = 4Q floats maps the 4 x 4 block of rows r (at r Q) and columns c (at
// p + c, p = 4 mid) to the block at 4 rev(mid), transposed with rows and columns bit-reversed:
// element (r, c) lands at (rev c, rev r). Rows 0 and 2 of a block are the real and imaginary
// parts of four consecutive complex values, and so are rows 1 and 3.

/// Reorder plus the first radix-4 butterflies of one block, `in` its rows as read, `out` the rows
/// to store at the partner block. A destination group (row) is a source column, so the
/// butterflies run down the columns, lanes holding (re, im, re, im) of two groups.
inline void forwardBlock(const Float4* in, Float4* out) noexcept {
    const Float4 s0 = in[0] + in[2], s1 = in[0] - in[2], s2 = in[1] + in[3], s3 = in[1] - in[3];
    const Float4 minusIS3 = __builtin_shufflevector(s3, s3, 1, 0, 3, 2) * Float4{1, -1, 1, -1};
    Float4 t[4];
    transpose(s0 + s2, s1 + minusIS3, s0 - s2, s1 - minusIS3, t);
    out[0] = t[0];
    out[1] = t[2];
    out[2] = t[1];
    out[3] = t[3];
}

/// The last radix-4 decimation-in-frequency butterflies of one block plus the reorder (the
/// transpose of forwardBlock): after the transpose the lanes hold (im, im, re, re) of two groups
/// (real parts are in the upper half while the halves are swapped).
inline void inverseBlock(const Float4* in, Float4* out) noexcept {
    Float4 c[4];
    transpose(in[0], in[1], in[2], in[3], c);
    const Float4 t0 = c[0] + c[2], t1 = c[0] - c[2], t2 = c[1] + c[3], t3 = c[1] - c[3];
    const Float4 minusIT3 = __builtin_shufflevector(t3, t3, 2, 3, 0, 1) * Float4{-1, -1, 1, 1};
    const Float4 y[4] = {t0 + t2, t1 + minusIT3, t0 - t2, t1 - minusIT3};
    for (int32_t r = 0; r < 4; ++r)
        out[r] = __builtin_shufflevector(y[r], y[r], 0, 2, 1, 3);
}

/// Runs `block` on the blocks at p and q and stores each result at the other's place.
template <typename Block>
inline void exchangeBlocks(float* data, int32_t quarter, uint32_t p, uint32_t q,
                           Block block) noexcept {
    Float4 a[4], b[4], ta[4], tb[4];
    for (int32_t r = 0; r < 4; ++r) {
        std::memcpy(&a[r], data + r * quarter + p, sizeof(Float4));
        std::memcpy(&b[r], data + r * quarter + q, sizeof(Float4));
    }
    block(a, ta);
    block(b, tb);
    for (int32_t r = 0; r < 4; ++r) {
        std::memcpy(data + r * quarter + q, &ta[r], sizeof(Float4));
        std::memcpy(data + r * quarter + p, &tb[r], sizeof(Float4));
    }
}

/// The bin pairs (k, m - k), 0 < k < m/2, of the split stage: low[k] is bin k and high[half - k]
/// bin m - k (the two ranges never overlap). Forward: Z to packed X; inverse: packed X to Z.
template <bool kForward>
void splitPairs(float* __restrict lowR, float* __restrict lowI, float* __restrict highR,
                float* __restrict highI, const float* __restrict cosine,
                const float* __restrict sine, int32_t half, float scale) noexcept {
    for (int32_t k = 1; k < half; ++k) {
        const float ar = lowR[k], ai = lowI[k], br = highR[half - k], bi = highI[half - k];
        if (kForward) {
            const float er = scale * (ar + br), ei = scale * (ai - bi);
            const float orr = scale * (ai + bi), oi = scale * (br - ar);
            const float tr = cosine[k] * orr + sine[k] * oi;
            const float ti = cosine[k] * oi - sine[k] * orr;
            lowR[k] = er + tr;
            lowI[k] = -(ei + ti);
            highR[half - k] = er - tr;
            highI[half - k] = ei - ti;
        } else {
            // Stored imaginary parts are negated: X_k = ar - i ai, X_m-k = br - i bi.
            const float er = scale * (ar + br), ei = scale * (bi - ai);
            const float dr = scale * (ar - br), di = -scale * (ai + bi);
            const float orr = cosine[k] * dr - sine[k] * di;
            const float oi = sine[k] * dr + cosine[k] * di;
            lowR[k] = er - oi;
            lowI[k] = ei + orr;
            highR[half - k] = er + oi;
            highI[half - k] = orr - ei;
        }
    }
}

/// I0(x) by its power series, stopped when a term falls below 1e-9 of the sum.
double besselI0(double x) {
    const double quarterSquare = 0.25 * x * x;
    double sum = 1.0;
    double term = 1.0;
    for (int32_t k = 1; term >= 1e-9 * sum; ++k) {
        term *= quarterSquare / (static_cast<double>(k) * static_cast<double>(k));
        sum += term;
    }
    return sum;
}

/// The products of bins [first, end) of two packed spectra of m complex bins (bin 0 holds the
/// real DC and Nyquist values).
template <bool kOverwrite>
void multiplyBins(const float* x, const float* h, float* acc, int32_t m, int32_t first,
                  int32_t end) noexcept {
    if (first == 0) {
        const float dc = x[0] * h[0], nyquist = x[m] * h[m];
        acc[0] = kOverwrite ? dc : acc[0] + dc;
        acc[m] = kOverwrite ? nyquist : acc[m] + nyquist;
        first = 1;
    }
    const float* __restrict xr = x;
    const float* __restrict xi = x + m;
    const float* __restrict hr = h;
    const float* __restrict hi = h + m;
    float* __restrict ar = acc;
    float* __restrict ai = acc + m;
    // Both imaginary parts are stored negated; conjugating both factors conjugates the product,
    // so the stored (negated) imaginary part comes out with the same formula.
    for (int32_t k = first; k < end; ++k) {
        const float pr = xr[k] * hr[k] - xi[k] * hi[k];
        const float pi = xr[k] * hi[k] + xi[k] * hr[k];
        ar[k] = kOverwrite ? pr : ar[k] + pr;
        ai[k] = kOverwrite ? pi : ai[k] + pi;
    }
}

}  // namespace

FFT::FFT(int32_t size, WindowType type, float parameterDb)
    : windowType_(type), windowParameterDb_(parameterDb) {
    resize(size);
}

void FFT::resize(int32_t size) {
    size = std::bit_ceil(static_cast<uint32_t>(std::clamp(size, kMinimumSize, kMaximumSize)));
    if (size == size_) return;
    size_ = size;
    const int32_t m = size / 2;
    const int32_t bits = std::countr_zero(static_cast<uint32_t>(m));

    // Radix-4 passes with twiddles after the first, then radix 2 when log2 M is odd.
    passes_.clear();
    twiddles_.clear();
    const auto addTwiddles = [this](int32_t count, int32_t power, int32_t period) {
        const double step = -2.0 * std::numbers::pi * power / period;
        for (int32_t j = 0; j < count; ++j)
            twiddles_.push_back(static_cast<float>(std::cos(step * j)));
        for (int32_t j = 0; j < count; ++j)
            twiddles_.push_back(static_cast<float>(std::sin(step * j)));
    };
    int32_t span = 4;
    for (; 4 * span <= m; span *= 4) {
        passes_.push_back({4, span, twiddles_.size()});
        for (int32_t power = 1; power <= 3; ++power)
            addTwiddles(span, power, 4 * span);
    }
    if (bits % 2 == 1 && m > 2) {
        passes_.push_back({2, m / 2, twiddles_.size()});
        addTwiddles(m / 2, 1, m);
    }

    splitTwiddles_.assign(static_cast<std::size_t>(m), 0.0f);
    for (int32_t k = 1; k < m / 2; ++k) {
        const double angle = 2.0 * std::numbers::pi * k / size;
        splitTwiddles_[static_cast<std::size_t>(k)] = static_cast<float>(std::cos(angle));
        splitTwiddles_[static_cast<std::size_t>(m / 2 + k)] = static_cast<float>(std::sin(angle));
    }

    // Reorder: 4 x 4 blocks by their middle index bits from N = 16 on, single swaps below.
    swaps_.clear();
    const int32_t midBits = bits + 1 - 4;
    if (midBits >= 0) {
        for (uint32_t mid = 0; mid < (1u << midBits); ++mid) {
            const uint32_t partner = reverseBits(mid, midBits);
            if (mid <= partner) {
                swaps_.push_back(4 * mid);
                swaps_.push_back(4 * partner);
            }
        }
    } else {
        for (uint32_t i = 0; i < static_cast<uint32_t>(size); ++i) {
            const uint32_t partner = reverseBits(i, bits + 1);
            if (i < partner) {
                swaps_.push_back(i);
                swaps_.push_back(partner);
            }
        }
    }

    window_.assign(static_cast<std::size_t>(size), 0.0f);
    setWindow(windowType_, windowParameterDb_);
}

void FFT::forwardStage(float* data, int32_t stage) const noexcept {
    const int32_t m = size_ / 2;
    const auto passes = static_cast<int32_t>(passes_.size());
    if (stage == 0) {
        reorderForward(data);
    } else if (stage <= passes) {
        const Pass& pass = passes_[static_cast<std::size_t>(stage - 1)];
        const float* table = twiddles_.data() + pass.twiddleAt;
        const int32_t h = pass.span;
        if (pass.radix == 2)
            radix2<true>(data, data + m, data + h, data + m + h, table, table + h, h);
        else if (pass.span == 4)
            radix4<true, 4>(data, data + m, m, 4, table);
        else
            radix4<true, 0>(data, data + m, m, pass.span, table);
    } else if (stage == passes + 1) {
        splitForward(data);
    }
}

void FFT::inverseStage(float* data, int32_t stage) const noexcept {
    const int32_t m = size_ / 2;
    const auto passes = static_cast<int32_t>(passes_.size());
    if (stage == 0) {
        splitInverse(data);
    } else if (stage <= passes) {
        const Pass& pass = passes_[static_cast<std::size_t>(passes - stage)];
        const float* table = twiddles_.data() + pass.twiddleAt;
        const int32_t h = pass.span;
        // Real and imaginary halves swapped: the forward twiddles then give the inverse.
        if (pass.radix == 2)
            radix2<false>(data + m, data, data + m + h, data + h, table, table + h, h);
        else if (pass.span == 4)
            radix4<false, 4>(data + m, data, m, 4, table);
        else
            radix4<false, 0>(data + m, data, m, pass.span, table);
    } else if (stage == passes + 1) {
        reorderInverse(data);
    }
}

void FFT::forward(float* data) const noexcept {
    for (int32_t stage = 0; stage < stageCount(); ++stage)
        forwardStage(data, stage);
}

void FFT::inverse(float* data) const noexcept {
    for (int32_t stage = 0; stage < stageCount(); ++stage)
        inverseStage(data, stage);
}

void FFT::reorderForward(float* data) const noexcept {
    const uint32_t* pair = swaps_.data();
    const uint32_t* end = pair + swaps_.size();
    if (size_ >= 16) {
        for (; pair != end; pair += 2)
            exchangeBlocks(data, size_ / 4, pair[0], pair[1], forwardBlock);
        return;
    }
    for (; pair != end; pair += 2)
        std::swap(data[pair[0]], data[pair[1]]);
    smallTransform(data, data + size_ / 2, size_ / 2, true);
}

void FFT::reorderInverse(float* data) const noexcept {
    const uint32_t* pair = swaps_.data();
    const uint32_t* end = pair + swaps_.size();
    if (size_ >= 16) {
        for (; pair != end; pair += 2)
            exchangeBlocks(data, size_ / 4, pair[0], pair[1], inverseBlock);
        return;
    }
    smallTransform(data + size_ / 2, data, size_ / 2, false);
    for (; pair != end; pair += 2)
        std::swap(data[pair[0]], data[pair[1]]);
}

// Z_k (split form) to the packed X: with E = (Z_k + conj Z_m-k) / 2, O = (Z_k - conj Z_m-k) / 2i
// and T = e^(-2 pi i k / N) O, X_k = E + T and X_m-k = conj(E - T). Bins k and m - k share their
// inputs, so each pair is done in place; bin m/2 is its own partner and needs nothing
// (X = conj Z, which the negated imaginary storage already is).
void FFT::splitForward(float* data) const noexcept {
    const int32_t m = size_ / 2;
    const int32_t half = m / 2;
    const float z0r = data[0], z0i = data[m];
    data[0] = z0r + z0i;
    data[m] = z0r - z0i;
    const float* cosine = splitTwiddles_.data();
    splitPairs<true>(data, data + m, data + half, data + m + half, cosine, cosine + half, half,
                     0.5f);
}

// The packed X back to Z_k / M (split form): E = (X_k + conj X_m-k) / 2,
// O = e^(2 pi i k / N) (X_k - conj X_m-k) / 2 and Z_k = E + i O. The 1/M of the inverse complex
// transform is folded in here.
void FFT::splitInverse(float* data) const noexcept {
    const int32_t m = size_ / 2;
    const int32_t half = m / 2;
    const float scale = 1.0f / static_cast<float>(size_);  // 1/2 of E and O times 1/M
    const float x0 = data[0], xm = data[m];
    data[0] = (x0 + xm) * scale;
    data[m] = (x0 - xm) * scale;
    data[half] *= 2.0f * scale;
    data[m + half] *= 2.0f * scale;
    const float* cosine = splitTwiddles_.data();
    splitPairs<false>(data, data + m, data + half, data + m + half, cosine, cosine + half, half,
                      scale);
}

void FFT::setWindow(WindowType type, float parameterDb) {
    windowType_ = type;
    windowParameterDb_ = parameterDb;
    const double a = parameterDb == parameterDb ? std::min(parameterDb, 1000.0f) : 0.0;
    double beta = 0.0;
    if (a >= 60.0)
        beta = 0.12438 * a + 0.783594;
    else if (a >= 13.26)
        beta = 0.76609 * std::pow(a - 13.26, 0.4) + 0.09834 * (a - 13.26);
    const double n = static_cast<double>(size_);
    const double i0Beta = besselI0(beta);
    double kaiserSum = 0.0;
    for (int32_t i = 0; i < size_; ++i) {
        const double c = std::cos(2.0 * std::numbers::pi * i / n);
        double w = 1.0;
        switch (type) {
            case WindowType::kHann:
                w = 0.5 - 0.5 * c;
                break;
            case WindowType::kHamming:
                w = 0.54 - 0.46 * c;
                break;
            case WindowType::kKaiser: {
                const double u = 2.0 * i / n - 1.0;
                w = besselI0(beta * std::sqrt(1.0 - u * u)) / i0Beta;
                kaiserSum += w;
                break;
            }
            default:
                break;
        }
        window_[static_cast<std::size_t>(i)] = static_cast<float>(w);
    }
    double sum = n;
    if (type == WindowType::kHann)
        sum = (n - 1.0) / 2.0;
    else if (type == WindowType::kHamming)
        sum = 0.54 * (n - 1.0) + 0.08;
    else if (type == WindowType::kKaiser)
        sum = kaiserSum;
    windowNormalisation_ = static_cast<float>(2.0 / sum);
}

void FFT::applyWindow(const float* in, float* out) const noexcept {
    const float* w = window_.data();
    for (int32_t i = 0; i < size_; ++i)
        out[i] = in[i] * w[i];
}

void FFT::magnitudes(const float* packed, float* out, float scale) const noexcept {
    const int32_t m = size_ / 2;
    out[0] = scale * std::fabs(packed[0]);
    out[m] = scale * std::fabs(packed[m]);
    for (int32_t k = 1; k < m; ++k)
        out[k] = scale * std::sqrt(packed[k] * packed[k] + packed[m + k] * packed[m + k]);
}

void FFT::multiplyAccumulate(const float* x, const float* h, float* acc, int32_t size,
                             bool overwrite) noexcept {
    multiplyAccumulate(x, h, acc, size, 0, size, overwrite);
}

void FFT::multiplyAccumulate(const float* x, const float* h, float* acc, int32_t size,
                             int32_t firstUnit, int32_t unitCount, bool overwrite) noexcept {
    const int32_t m = size / 2;
    const int64_t last = static_cast<int64_t>(firstUnit) + unitCount;
    // Group g (bins 4g..4g+3, units 8g..8g+7) belongs to the call that covers unit 8g + 7; the
    // call that reaches the last unit also takes a short final group (sizes below 8).
    const auto groupStart = [&](int64_t unit) {
        if (unit >= size) return m;
        return std::clamp(static_cast<int32_t>(unit / 8) * 4, 0, m);
    };
    const int32_t first = groupStart(firstUnit);
    const int32_t end = groupStart(last);
    if (first >= end) return;
    if (overwrite)
        multiplyBins<true>(x, h, acc, m, first, end);
    else
        multiplyBins<false>(x, h, acc, m, first, end);
}

}  // namespace tessel
