#include "analysis/LevelMeter.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "support/Decibels.h"

namespace tessel {

namespace {

// The audio side's settings in one word: the seed's bits, two flags and the epoch.
constexpr uint64_t kAbsoluteBit = uint64_t{1} << 32;
constexpr uint64_t kMaximumBit = uint64_t{1} << 33;
constexpr int kEpochShift = 40;
constexpr uint32_t kEpochMask = 0xffffff;

constexpr int32_t kMagnitudeBits = 0x7fffffff;
constexpr int32_t kInfinityBits = 0x7f800000;

/// An integer image of a float's bits that keeps the order of the values: non-negative floats
/// keep their bits, negative ones get their magnitude bits inverted. The mapping is its own
/// inverse.
constexpr int32_t orderedKey(int32_t bits) noexcept {
    return bits ^ ((bits >> 31) & kMagnitudeBits);
}

/// The maximum (or minimum) of seed and the samples (or their magnitudes). The reduction runs on
/// order-preserving integer keys: GCC keeps a float maximum in program order (NaN and signed zeros
/// make it non-associative) and will not vectorise it, while an integer maximum vectorises on
/// SSE2. A minimum is the maximum of the inverted keys. NaN samples get the smallest key and are
/// ignored; infinities are ordinary extremes. The seed is finite, so the result is too or is an
/// infinite sample. Sixteen independent lanes (four vectors) keep the compare-and-blend chain of
/// one accumulator from limiting the speed.
float blockExtreme(const float* x, int32_t n, float seed, bool absolute, bool byMaximum) noexcept {
    constexpr int32_t kLanes = 16;
    const int32_t andMask = absolute ? kMagnitudeBits : -1;
    const int32_t xorMask = absolute ? 0 : kMagnitudeBits;
    const int32_t flip = byMaximum ? 0 : -1;
    const auto candidate = [=](float sample) {
        const int32_t b = std::bit_cast<int32_t>(sample);
        const int32_t nanMask = (kInfinityBits - (b & kMagnitudeBits)) >> 31;  // ones for NaN
        const int32_t key = ((b & andMask) ^ ((b >> 31) & xorMask)) ^ flip;
        // Masks, not a select: a select here becomes a conditional reduction GCC cannot vectorise.
        return (key & ~nanMask) | (nanMask & std::numeric_limits<int32_t>::min());
    };
    // The seed keeps its sign even for magnitudes: a negative resting value stays below them.
    int32_t m = orderedKey(std::bit_cast<int32_t>(seed)) ^ flip;
    int32_t lanes[kLanes];
    for (int32_t j = 0; j < kLanes; ++j)
        lanes[j] = m;
    int32_t i = 0;
    for (; i + kLanes <= n; i += kLanes) {
        for (int32_t j = 0; j < kLanes; ++j) {
            const int32_t c = candidate(x[i + j]);
            lanes[j] = c > lanes[j] ? c : lanes[j];
        }
    }
    for (; i < n; ++i) {
        const int32_t c = candidate(x[i]);
        m = c > m ? c : m;
    }
    for (int32_t j = 0; j < kLanes; ++j)
        m = lanes[j] > m ? lanes[j] : m;
    return std::bit_cast<float>(orderedKey(m ^ flip));
}

int32_t following(int32_t counter) noexcept {
    // Skips kEmpty (-1) on a wrap; the largest value is odd, so parity still alternates.
    return counter == std::numeric_limits<int32_t>::max() ? 0 : counter + 1;
}

bool isDecibels(LevelMeter::LevelDomain d) noexcept {
    return d == LevelMeter::LevelDomain::kDecibels;
}
bool isPower(LevelMeter::LevelDomain d) noexcept {
    return d == LevelMeter::LevelDomain::kPower;
}
bool isLinear(LevelMeter::LevelDomain d) noexcept {
    return !isDecibels(d) && !isPower(d);
}

}  // namespace

LevelMeter::LevelMeter(wave::Environment* environment, std::unique_ptr<IntervalTimer> clock)
    : wave::FilterBase(environment, false),
      detection_(this, Detection::kLevel),
      clipDetection_(this, true),
      fastHoldSeconds_(this, 0.0f, kMaximumHoldSeconds, 0.05f),
      timeOutMs_(this, 0.0f, kMaximumTimeOutMs, 100.0f),
      inputDomain_(this, LevelDomain::kLinear),
      topDb_(this, -kClampLimit, kClampLimit, 6.0f),
      floorDb_(this, -kClampLimit, kClampLimit, -90.0f),
      outputDomain_(this, LevelDomain::kDecibels),
      peakHoldSeconds_(this, 0.0f, kMaximumHoldSeconds, 2.0f),
      peakFallDbPerSecond_(this, 0.0f, kMaximumFallDbPerSecond, 15.0f),
      fastFallDbPerSecond_(this, 0.0f, kMaximumFallDbPerSecond, 150.0f),
      sampleRateHz_(environment->sampleRate()),
      clock_(clock ? std::move(clock) : IntervalTimer::create()) {
    static_assert(std::atomic<int32_t>::is_always_lock_free &&
                  std::atomic<float>::is_always_lock_free &&
                  std::atomic<uint64_t>::is_always_lock_free);
    updateDerived(true);
    resetReadings(true);
    environment->addRoot(this, 2);
    environment->addResettable(this);
}

// ---- Audio side ------------------------------------------------------------------------------

void LevelMeter::process(wave::BasicBlock<float>*, int32_t frames, int32_t) noexcept {
    wave::BasicBlock<float>* in = pullInput(frames);
    setOutputBlock(in);
    if (frames <= 0) return;
    const uint64_t config = audioConfig_.load(std::memory_order_acquire);
    const float seed = std::bit_cast<float>(static_cast<uint32_t>(config));
    const bool byMaximum = (config & kMaximumBit) != 0;
    const float extreme = blockExtreme(in->data(), in->isConstant() ? 1 : frames, seed,
                                       (config & kAbsoluteBit) != 0, byMaximum);
    publish(extreme, frames, config);
}

// The hand-over. The counter is kEmpty or the number of the latest published block, whose
// reduction (combined with everything the editor has not yet taken) sits in slot counter mod 2.
// - The audio thread is the only writer of slots, and it writes only slot (c + 1) mod 2, the one
//   the counter c it loaded does not designate; its compare-and-swap c -> c + 1 (release) makes
//   the slot current, so an editor that loads c + 1 (acquire) reads a finished slot.
// - The editor never writes a slot: it reads slot c mod 2 and takes it by compare-and-swap
//   c -> kEmpty. The audio thread rewrites that slot only after loading a later counter (c + 1 or
//   beyond), so the counter is no longer c and the editor's swap fails; it drops the values it
//   read (possibly torn) and retries with the newer slot. A successful swap proves the slot was
//   not rewritten while it was read (the counter takes 2^31 publishes to come back to c).
// - When the editor empties the hand-over while the audio thread is combining its block with
//   slot c, the audio thread's swap from c fails: it restarts from kEmpty without combining, so
//   the block the editor took is neither lost nor counted twice.
// Slot fields are relaxed atomics only so that a read that loses the race is defined; the
// counter's acquire/release operations order everything that counts.
void LevelMeter::publish(float extreme, int32_t frames, uint64_t config) noexcept {
    const bool byMaximum = (config & kMaximumBit) != 0;
    const uint32_t epoch = static_cast<uint32_t>(config >> kEpochShift);
    int32_t c = counter_.load(std::memory_order_acquire);
    for (;;) {
        float value = extreme;
        int32_t count = frames;
        if (c != kEmpty) {
            const Slot& pending = slots_[c & 1];
            // A block reduced under other settings (an older epoch) is replaced, not combined.
            if (pending.epoch.load(std::memory_order_relaxed) == epoch) {
                const float other = pending.extreme.load(std::memory_order_relaxed);
                value = byMaximum ? std::max(value, other) : std::min(value, other);
                const int64_t sum = int64_t{count} + pending.count.load(std::memory_order_relaxed);
                count = static_cast<int32_t>(
                    std::min<int64_t>(sum, std::numeric_limits<int32_t>::max()));
            }
        }
        const int32_t next = following(c);
        Slot& target = slots_[next & 1];
        target.extreme.store(value, std::memory_order_relaxed);
        target.count.store(count, std::memory_order_relaxed);
        target.epoch.store(epoch, std::memory_order_relaxed);
        if (counter_.compare_exchange_weak(c, next, std::memory_order_acq_rel,
                                           std::memory_order_acquire)) {
            return;
        }
        // Lost the race (the editor emptied the hand-over) or a spurious failure: c now holds
        // the current counter; start again from it.
    }
}

void LevelMeter::reset() {
    // Readings belong to the editor thread: store the rate and let it reset at its next call.
    sampleRateHz_.store(environment()->sampleRate(), std::memory_order_relaxed);
    resetRequested_.store(true, std::memory_order_release);
}

// ---- Editor side -----------------------------------------------------------------------------

LevelMeter::TakeOver LevelMeter::takeOver(float& extreme, int64_t& count) const noexcept {
    int32_t c = counter_.load(std::memory_order_acquire);
    while (c != kEmpty) {
        const Slot& slot = slots_[c & 1];
        const float value = slot.extreme.load(std::memory_order_relaxed);
        const int32_t n = slot.count.load(std::memory_order_relaxed);
        const uint32_t epoch = slot.epoch.load(std::memory_order_relaxed);
        if (counter_.compare_exchange_weak(c, kEmpty, std::memory_order_acq_rel,
                                           std::memory_order_acquire)) {
            if (epoch != editor_.epoch) return TakeOver::kStale;
            extreme = value;
            count = n;
            return TakeOver::kCurrent;
        }
    }
    return TakeOver::kEmpty;
}

bool LevelMeter::takePublished(float& extreme, int32_t& count) noexcept {
    serviceResetRequest();
    int64_t taken = 0;
    if (takeOver(extreme, taken) != TakeOver::kCurrent) return false;
    count = static_cast<int32_t>(taken);
    return true;
}

float LevelMeter::level(int32_t reading) const {
    serviceResetRequest();
    EditorState& s = editor_;
    float extreme = 0.0f;
    int64_t count = 0;
    switch (takeOver(extreme, count)) {
        case TakeOver::kCurrent:
            s.samplesTaken += count;
            feed(toOutputDomain(extreme), count);
            s.idleDecay = false;
            break;
        case TakeOver::kStale:
            s.idleDecay = false;
            break;
        case TakeOver::kEmpty: {
            // No audio: after the time-out, and then at every later call, the readings decay as
            // if the resting value had arrived for the time that passed.
            const uint32_t elapsedMs = clock_->elapsed();
            if (static_cast<float>(elapsedMs) > timeOutMs_ || (s.idleDecay && elapsedMs > 0)) {
                if (s.readings[0].value != s.rest || s.readings[1].value != s.rest) {
                    // ms * rate / 1000 is exact for whole rates; ms * 0.001 * rate may not be.
                    feed(s.rest, static_cast<int64_t>(elapsedMs * s.sampleRateHz / 1000.0));
                }
                s.idleDecay = true;
            }
            break;
        }
    }
    return reading >= 0 && reading < kReadings ? s.readings[reading].value : s.rest;
}

void LevelMeter::resetPeak() {
    serviceResetRequest();
    EditorState& s = editor_;
    s.clip = false;
    Reading& hold = s.readings[1];
    hold.samplesSincePeak = std::max(hold.samplesSincePeak, hold.holdSamples);
    s.readings[2].value = s.rest;
    s.heldPeak = s.rest;
}

float LevelMeter::toOutputDomain(float extreme) const noexcept {
    const EditorState& s = editor_;
    // A block that held nothing beyond the seed shows the resting value exactly (the seed's dB
    // value may differ from it in the last bit).
    if (extreme == s.seed) return s.rest;
    if (!s.convertToDb) return extreme;
    double a = std::fabs(static_cast<double>(extreme));
    if (s.powerInput) a = std::sqrt(a);
    if (!(a > 1e-10)) return kMinimumDb;
    return static_cast<float>(std::max(20.0 * std::log10(a), static_cast<double>(kMinimumDb)));
}

void LevelMeter::feed(float v, int64_t count) const noexcept {
    for (int32_t k = 0; k < kReadings; ++k)
        runBallistics(k, v, count);
    clock_->restart();
}

void LevelMeter::runBallistics(int32_t k, float v, int64_t count) const noexcept {
    EditorState& s = editor_;
    Reading& r = s.readings[k];
    r.samplesSincePeak += count;
    if (k == 1 && v > s.fullScale && clipDetection_ && s.byMaximum && topDb_ > s.fullScale) {
        s.clip = true;
    }
    const bool mayFall = k == 0 || (k == 1 && !s.clip);
    // More than a second since the last read: the extreme is stale for the falling readings.
    if (mayFall && static_cast<double>(count) > s.sampleRateHz) {
        v = s.rest;
        if (k == 1) s.heldPeak = s.rest;
    }
    if (stronger(v, r.value)) {
        r.value = clampReading(v);
        r.samplesSincePeak = 0;
    } else if (mayFall && r.samplesSincePeak > r.holdSamples) {
        // Only the samples past the end of the hold fall, so the fall starts when the hold ends
        // whatever the polling interval.
        const int64_t falling = std::min(count, r.samplesSincePeak - r.holdSamples);
        float next = r.value + static_cast<float>(falling) * r.fallPerSample;
        if (stronger(v, next)) next = v;  // never past the incoming value
        if (k == 1 && stronger(s.heldPeak, next)) {
            next = s.heldPeak;
            r.samplesSincePeak = 0;
            s.heldPeak = s.rest;
        }
        r.value = clampReading(next);
    } else if (k == 1 && r.samplesSincePeak > r.holdSamples / 2 &&
               r.samplesSincePeak < r.holdSamples) {
        // The second half of the hold collects the value reading 1 drops to when the hold ends.
        if (stronger(v, s.heldPeak)) s.heldPeak = v;
    }
}

float LevelMeter::clampReading(float v) const noexcept {
    const float top = topDb_;
    const float bottom = floorDb_;
    if (v > top) return top;
    if (v > bottom) return v;
    return std::min(bottom, top);  // also NaN, and a floor above the top
}

void LevelMeter::updateTiming() const noexcept {
    EditorState& s = editor_;
    s.sampleRateHz = sampleRateHz_.load(std::memory_order_relaxed);
    const double sign = s.byMaximum ? -1.0 : 1.0;
    const float holds[2] = {fastHoldSeconds_, peakHoldSeconds_};
    const float falls[2] = {fastFallDbPerSecond_, peakFallDbPerSecond_};
    for (int32_t k = 0; k < 2; ++k) {
        s.readings[k].holdSamples = static_cast<int64_t>(s.sampleRateHz * holds[k]);
        s.readings[k].fallPerSample = static_cast<float>(sign * falls[k] / s.sampleRateHz);
    }
}

void LevelMeter::updateDerived(bool newEpoch) noexcept {
    EditorState& s = editor_;
    const LevelDomain in = inputDomain_;
    const LevelDomain out = outputDomain_;
    s.byMaximum = detection_ == Detection::kLevel;
    s.rest = s.byMaximum ? floorDb_ : topDb_;
    s.convertToDb = !isDecibels(in) && isDecibels(out);
    s.powerInput = isPower(in);
    s.seed = s.convertToDb
                 ? static_cast<float>(std::pow(10.0, s.rest / (s.powerInput ? 10.0 : 20.0)))
                 : s.rest;
    s.fullScale = isDecibels(out) ? 0.0f : 1.0f;
    updateTiming();
    if (newEpoch) s.epoch = (s.epoch + 1) & kEpochMask;
    const bool absolute = isLinear(in) && !isLinear(out);
    audioConfig_.store(uint64_t{std::bit_cast<uint32_t>(s.seed)} | (absolute ? kAbsoluteBit : 0) |
                           (s.byMaximum ? kMaximumBit : 0) | (uint64_t{s.epoch} << kEpochShift),
                       std::memory_order_release);
}

void LevelMeter::resetReadings(bool restart) const noexcept {
    EditorState& s = editor_;
    if (restart) s.clip = false;
    for (Reading& r : s.readings)
        r.samplesSincePeak = 0;
    s.readings[0].value = s.rest;
    s.heldPeak = s.rest;
    if (!s.clip) s.readings[1].value = s.readings[2].value = s.rest;
    counter_.exchange(kEmpty, std::memory_order_acq_rel);
}

void LevelMeter::serviceResetRequest() const noexcept {
    if (!resetRequested_.exchange(false, std::memory_order_acq_rel)) return;
    updateTiming();
    resetReadings(false);
}

void LevelMeter::propertyChanged(AbstractProperty* property) {
    serviceResetRequest();
    const float previousRest = editor_.rest;
    const bool meaning =
        property == &detection_ || property == &inputDomain_ || property == &outputDomain_;
    updateDerived(meaning);
    if (meaning) {
        // The values in flight and the readings mean something else now: start over.
        resetReadings(true);
    } else if (property == &topDb_ || property == &floorDb_) {
        if (editor_.readings[2].value == previousRest) {
            resetReadings(false);  // nothing shown yet: rest at the new resting value
        } else {
            for (Reading& r : editor_.readings)
                r.value = clampReading(r.value);
        }
    }
}

}  // namespace tessel
