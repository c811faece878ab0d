#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tessel {

/// Real transform of size N (a power of two) with a window table, shared by the linear-phase
/// convolution and the spectrum analyzer. Single-precision data, tables computed in double.
///
/// Packed spectrum (N floats): positions 0..N/2-1 hold the real parts of bins 0..N/2-1, position
/// N/2 the real value of bin N/2 (Nyquist), positions N/2+1..N-1 the imaginary parts of bins
/// 1..N/2-1 with their sign inverted. `forward` is unscaled (X_k = sum x_n e^(-2 pi i k n / N));
/// `inverse` scales by 1/N, so inverse(forward(x)) == x and a flat spectrum of 1 inverts to a
/// unit impulse at sample 0.
///
/// Every transform is cut into `stageCount()` stages that run in place on the caller's buffer and
/// keep no state in this object, so one FFT serves many buffers and their stages may interleave
/// (a convolver spreads them over audio blocks). One stage is one sweep over the N floats: the
/// reorder (bit reversal, fused with the first, twiddle-free radix-4 butterflies), one radix-4
/// butterfly pass with twiddles (a radix-2 pass when log2 N is even), or the split between the
/// half-size complex transform and the real spectrum. Forward runs reorder, passes, split;
/// inverse runs them backwards. floor(log2(N) / 2) + 1 stages: 6 at 1024, 7 at 4096 and 8192,
/// 8 at 16384. Up to 8192 the stages cost about the same (each 1/stageCount() of the transform,
/// within about 20 %); above, the reorder's scattered accesses cost more: 1.5 to 2 passes at
/// 16384, about 7 at 65536.
///
/// Real-time contract: construction, `resize` and `setWindow` may allocate or take time (owner's
/// thread, while no transform runs); everything const is `noexcept`, never allocates and may run
/// on any thread, on different buffers at the same time. Non-finite data propagates, it never
/// crashes.
class FFT {
public:
    enum class WindowType : int32_t { kRectangular = 0, kHann = 1, kHamming = 2, kKaiser = 3 };

    static constexpr int32_t kMinimumSize = 4;
    static constexpr int32_t kMaximumSize = 1 << 20;

    /// Sizes are rounded up to a power of two within [kMinimumSize, kMaximumSize].
    explicit FFT(int32_t size, WindowType type = WindowType::kRectangular,
                 float parameterDb = 60.0f);

    /// Rebuilds the tables and the window for a new size; nothing happens when it is unchanged.
    void resize(int32_t size);
    int32_t size() const noexcept { return size_; }

    int32_t stageCount() const noexcept { return static_cast<int32_t>(passes_.size()) + 2; }
    /// Runs forward stage `stage` (0..stageCount()-1, others do nothing) on N floats in place.
    void forwardStage(float* data, int32_t stage) const noexcept;
    void inverseStage(float* data, int32_t stage) const noexcept;
    /// Signal to packed spectrum, in place: every forward stage in order.
    void forward(float* data) const noexcept;
    /// Packed spectrum to signal, in place: every inverse stage in order.
    void inverse(float* data) const noexcept;

    /// Window over n = 0..N-1 with a cosine period of N. The parameter is the Kaiser sidelobe
    /// level in dB (kept for the other types); NaN counts as 0 dB, levels beyond 1000 dB as
    /// 1000 dB, and an unknown type gives the rectangular window.
    void setWindow(WindowType type, float parameterDb);
    WindowType windowType() const noexcept { return windowType_; }
    float windowParameterDb() const noexcept { return windowParameterDb_; }
    const float* window() const noexcept { return window_.data(); }
    /// 2 / window sum: scales magnitudes so that a sine of amplitude 1 on a bin centre reads 1.
    /// The sum is N (rectangular), (N - 1) / 2 (Hann), 0.54 (N - 1) + 0.08 (Hamming) or the
    /// table's actual sum (Kaiser).
    float windowNormalisation() const noexcept { return windowNormalisation_; }
    /// out[n] = in[n] * window[n]; `in` may equal `out`.
    void applyWindow(const float* in, float* out) const noexcept;

    /// N/2 + 1 magnitudes scale * |X_k| of a packed spectrum (bins 0 and N/2 from their values).
    void magnitudes(const float* packed, float* out, float scale) const noexcept;

    /// acc (+)= x * h bin by bin for packed spectra of `size` floats: bins 0 and N/2 multiply as
    /// real numbers, every other bin k as the complex pair (k, N/2 + k). `overwrite` stores the
    /// products instead of adding them. `acc` must not overlap `x` or `h`.
    static void multiplyAccumulate(const float* x, const float* h, float* acc, int32_t size,
                                   bool overwrite) noexcept;
    /// The part of the multiply-accumulate due for units [firstUnit, firstUnit + unitCount) of
    /// `size` units: one unit per float, two per bin, whole groups of four bins. A group runs in
    /// the call that covers its last unit, so calls over consecutive ranges do each bin once.
    static void multiplyAccumulate(const float* x, const float* h, float* acc, int32_t size,
                                   int32_t firstUnit, int32_t unitCount, bool overwrite) noexcept;

private:
    /// One butterfly pass with twiddles over the half-size complex transform: radix 4 over
    /// quarters of `span` values, or radix 2 over its two halves (the last decimation-in-time
    /// pass when log2 N is even). The first radix-4 pass has no twiddles and runs in the reorder.
    struct Pass {
        int32_t radix = 4;
        int32_t span = 4;           // distance between the inputs of one butterfly
        std::size_t twiddleAt = 0;  // w^j, then w^2j and w^3j for radix 4 (cosines, then sines)
    };

    void reorderForward(float* data) const noexcept;
    void reorderInverse(float* data) const noexcept;
    void splitForward(float* data) const noexcept;
    void splitInverse(float* data) const noexcept;

    int32_t size_ = 0;
    std::vector<Pass> passes_;          // in decimation-in-time order
    std::vector<float> twiddles_;       // of the passes
    std::vector<float> splitTwiddles_;  // cos, sin of 2 pi k / N for k < N/4
    std::vector<uint32_t> swaps_;       // reorder: pairs of 4 x 4 blocks (N >= 16) or floats
    std::vector<float> window_;
    WindowType windowType_ = WindowType::kRectangular;
    float windowParameterDb_ = 60.0f;
    float windowNormalisation_ = 0.0f;
};

}  // namespace tessel
