#include "bands/Convolver.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "bands/LinearPhaseSizing.h"
#include "engine/wave/BasicBlock.h"
#include "engine/wave/Environment.h"

namespace tessel {

namespace {

// A time long before anything: no crossfade has been scheduled.
constexpr int64_t kLongAgo = std::numeric_limits<int64_t>::min() / 4;

}  // namespace

// ---- Configuration ----

std::shared_ptr<const Convolver::Configuration> Convolver::Configuration::create(
    int32_t kernelLength, float sampleRateHz, float crossfadeMs) {
    std::shared_ptr<Configuration> c(new Configuration);
    c->kernelLength_ = std::clamp(kernelLength, 1, kMaxKernelLength);
    c->sampleRateHz_ = sampleRateHz > 0.0f && std::isfinite(sampleRateHz) ? sampleRateHz : 44100.0f;
    const double ms = crossfadeMs > 0.0f ? std::min(crossfadeMs, 10000.0f) : 0.0f;
    c->crossfadeSamples_ = static_cast<int32_t>(std::lround(ms * 0.001 * c->sampleRateHz_));
    c->addLevels(c->kernelLength_);
    for (Level& level : c->levels_) {
        level.slotOffset = c->slotSize_;
        c->slotSize_ += level.partitionCount * level.transformSize;
    }
    const int32_t p = c->levels_.front().partitionSize;
    c->schedulingSamples_ = ((c->crossfadeSamples_ + p - 1) / p + 1) * p;
    return c;
}

std::shared_ptr<const Convolver::Configuration> Convolver::Configuration::forSampleRate(
    float sampleRateHz) {
    return create(LinearPhaseSizing::kernelLength(sampleRateHz), sampleRateHz);
}

void Convolver::Configuration::addLevels(int32_t length) {
    constexpr int32_t kTransformsPerKernel =
        LinearPhaseSizing::kCoarseLevelKernelLength / LinearPhaseSizing::kTransformSize;
    int32_t size = LinearPhaseSizing::kTransformSize;
    while (length >= kTransformsPerKernel * size)
        size *= LinearPhaseSizing::kCoarseGrowth;
    const int32_t p = size / 2;
    const int32_t partitions = (length + p - 1) / p;
    const bool finer = size > LinearPhaseSizing::kTransformSize;  // takes the first two partitions
    Level& level = levels_.emplace_back(size);
    level.transformSize = size;
    level.partitionSize = p;
    level.kernelOffset = finer ? size : 0;
    level.kernelEnd = length;
    level.partitionCount = finer ? partitions - 2 : partitions;
    if (finer) addLevels(size);
}

// ---- Kernel ----

/// Copies one partition of the impulse response into the first half of its transform buffer and
/// zeroes the second half (overlap-save's zero padding). One unit per sample position.
class Convolver::Kernel::StoreInputTask : public GranularTask {
public:
    StoreInputTask(const Kernel* kernel, int32_t level, int32_t index)
        : kernel_(kernel), level_(level), index_(index) {}

    void setDestination(float* destination) noexcept { destination_ = destination; }
    void prepare() noexcept override {
        setUnits(kernel_->configuration_->level(level_).partitionSize, kSampleCost);
    }
    void run(int32_t firstUnit, int32_t count) noexcept override {
        const Configuration& c = *kernel_->configuration_;
        const Level& level = c.level(level_);
        const int32_t p = level.partitionSize;
        const int32_t start = level.kernelOffset + index_ * p;
        const int32_t end = std::min(level.kernelEnd, c.kernelLength());
        const float* h = kernel_->impulse_.data();
        for (int32_t i = firstUnit; i < firstUnit + count; ++i) {
            destination_[i] = start + i < end ? h[start + i] : 0.0f;
            destination_[p + i] = 0.0f;
        }
    }

private:
    using Level = Configuration::Level;
    const Kernel* kernel_;
    int32_t level_;
    int32_t index_;
    float* destination_ = nullptr;
};

Convolver::Kernel::Kernel(wave::Environment* environment,
                          std::shared_ptr<const Configuration> configuration)
    : wave::Component(environment) {
    install(std::move(configuration));
}

Convolver::Kernel::~Kernel() {
    for (Convolver* c : convolvers_) {
        c->kernel_ = nullptr;
        c->newSlot_ = c->oldSlot_ = -1;
    }
}

void Convolver::Kernel::setConfiguration(std::shared_ptr<const Configuration> configuration) {
    install(std::move(configuration));
    configurationChanged();
    for (Convolver* c : convolvers_)
        c->configure(configuration_);
}

void Convolver::Kernel::install(std::shared_ptr<const Configuration> configuration) {
    configuration_ = configuration ? std::move(configuration)
                                   : Configuration::forSampleRate(environment()->sampleRate());
    const Configuration& c = *configuration_;
    slots_.resize(0);
    slots_.resize(c.slotCount() * c.slotSize());
    users_.assign(static_cast<std::size_t>(c.slotCount()), 0);
    impulse_.resize(c.kernelLength());
    stores_.clear();
    transforms_.clear();
    for (int32_t l = 0; l < c.levelCount(); ++l) {
        for (int32_t k = 0; k < c.level(l).partitionCount; ++k) {
            stores_.push_back(std::make_unique<StoreInputTask>(this, l, k));
            transforms_.push_back(std::make_unique<FFTCalculateTask>());
            transforms_.back()->set(&c.level(l).fft, nullptr);
        }
    }
    runner_.stop();
    activeSlot_ = pendingSlot_ = buildSlot_ = -1;
    building_ = false;
    updatePending_ = true;
    setResponseTasks(responseTasks_);
}

void Convolver::Kernel::setResponseTasks(std::vector<GranularTask*> tasks) {
    responseTasks_ = std::move(tasks);
    std::vector<GranularTask*> all = responseTasks_;
    for (std::size_t p = 0; p < stores_.size(); ++p) {
        all.push_back(stores_[p].get());
        all.push_back(transforms_[p].get());
    }
    runner_.setTasks(std::move(all));
    building_ = false;
}

void Convolver::Kernel::setImpulseResponse(const float* samples, int32_t count) noexcept {
    const int32_t n = std::clamp(count, 0, impulse_.size());
    std::copy_n(samples, n, impulse_.data());
    std::fill(impulse_.data() + n, impulse_.data() + impulse_.size(), 0.0f);
    runner_.stop();
    building_ = false;  // the slot being built is free again
    updatePending_ = true;
}

void Convolver::Kernel::advance(int32_t frames) noexcept {
    const uint32_t cycle = environment()->cycleNumber();
    if (advanced_ && cycle == lastCycle_) return;
    advanced_ = true;
    lastCycle_ = cycle;
    const int64_t position = environment()->samplePosition();
    if (pendingSlot_ >= 0 && position >= activationTime_) {
        activeSlot_ = pendingSlot_;
        pendingSlot_ = -1;
    }
    // Builds run back to back: one that finishes inside this block hands the rest of the block
    // to the next, so the work per block stays even while the layout keeps moving.
    int64_t from = position;
    const int64_t end = position + frames;
    while (from < end) {
        if (!building_ && updatePending_) startBuild();
        if (!building_) return;
        const auto n = static_cast<int32_t>(
            std::min<int64_t>(end - from, configuration_->schedulingSamples() - buildElapsed_));
        buildElapsed_ += n;
        from += n;
        if (!runner_.run(n)) return;
        // A pending slot not yet active is superseded; convolvers that picked it up hold it.
        building_ = false;
        pendingSlot_ = buildSlot_;
        activationTime_ = from;
        ++buildCount_;
    }
}

void Convolver::Kernel::startBuild() noexcept {
    const auto count = static_cast<int32_t>(users_.size());
    int32_t slot = -1;
    for (int32_t i = 1; i <= count && slot < 0; ++i) {
        const int32_t s = (std::max(activeSlot_, 0) + i) % count;
        if (s != activeSlot_ && s != pendingSlot_ && users_[static_cast<std::size_t>(s)] == 0)
            slot = s;
    }
    if (slot < 0) return;  // every slot in use: try again next block
    float* base = slots_.data() + static_cast<std::ptrdiff_t>(slot) * configuration_->slotSize();
    std::size_t p = 0;
    for (int32_t l = 0; l < configuration_->levelCount(); ++l) {
        const Configuration::Level& level = configuration_->level(l);
        for (int32_t k = 0; k < level.partitionCount; ++k, ++p) {
            float* spectrum = base + level.slotOffset + k * level.transformSize;
            stores_[p]->setDestination(spectrum);
            transforms_[p]->setData(spectrum);
        }
    }
    updatePending_ = false;
    building_ = true;
    buildSlot_ = slot;
    buildElapsed_ = 0;
    runner_.reset(configuration_->schedulingSamples());
}

const float* Convolver::Kernel::partition(int32_t slot, int32_t level,
                                          int32_t index) const noexcept {
    const Configuration::Level& l = configuration_->level(level);
    return slots_.data() + static_cast<std::ptrdiff_t>(slot) * configuration_->slotSize() +
           l.slotOffset + index * l.transformSize;
}

void Convolver::Kernel::acquireSlot(int32_t slot) noexcept {
    if (slot >= 0) ++users_[static_cast<std::size_t>(slot)];
}

void Convolver::Kernel::releaseSlot(int32_t slot) noexcept {
    if (slot >= 0 && users_[static_cast<std::size_t>(slot)] > 0)
        --users_[static_cast<std::size_t>(slot)];
}

void Convolver::Kernel::attach(Convolver* convolver) {
    convolvers_.push_back(convolver);
}

void Convolver::Kernel::detach(Convolver* convolver) noexcept {
    const auto it = std::find(convolvers_.begin(), convolvers_.end(), convolver);
    if (it != convolvers_.end()) convolvers_.erase(it);
}

// ---- Convolver ----

/// One partition level of the running convolution. The work set up at a boundary runs during the
/// next partition and is read out during the one after: index 0 of work/ready is the new (or
/// only) kernel's output, index 1 the old kernel's during a crossfade.
struct Convolver::Level {
    Level(const Configuration::Level& c, int32_t levelIndex)
        : config(c),
          index(levelIndex),
          p(c.partitionSize),
          f(c.transformSize),
          k(std::max(c.partitionCount, 1)),
          ring(k * f),
          inputs(3 * p),
          outputs(4 * f),
          multiply{std::make_unique<FFTMultiplyTask[]>(static_cast<std::size_t>(k)),
                   std::make_unique<FFTMultiplyTask[]>(static_cast<std::size_t>(k))} {
        forward.set(&c.fft, nullptr);
        std::vector<GranularTask*> tasks{&store, &forward};
        for (int32_t which = 0; which < 2; ++which) {
            inverse[which].set(&c.fft, nullptr);
            for (int32_t j = 0; j < k; ++j)
                tasks.push_back(&multiply[which][j]);
        }
        tasks.push_back(&inverse[0]);
        tasks.push_back(&inverse[1]);
        runner.setTasks(std::move(tasks));
    }

    const Configuration::Level& config;
    const int32_t index, p, f, k;
    AlignedBuffer<float> ring;     // input spectra of the last k partitions
    AlignedBuffer<float> inputs;   // three partitions of input: filling, completed, previous
    AlignedBuffer<float> outputs;  // work and ready buffers of both kernels
    float* filling = nullptr;
    float* completed = nullptr;
    float* previous = nullptr;
    std::array<float*, 2> work{};
    std::array<float*, 2> ready{};
    std::array<bool, 2> workAudible{};
    std::array<bool, 2> readyAudible{};
    bool workDual = false;
    bool readyDual = false;
    int32_t position = 0;  // within the filling partition
    int32_t completedCount = 0;
    int32_t newest = 0;  // ring index of the latest spectrum
    FFTStoreInputTask store;
    FFTCalculateTask forward;
    std::array<std::unique_ptr<FFTMultiplyTask[]>, 2> multiply;
    std::array<FFTCalculateInverseTask, 2> inverse;
    GranularTaskRunner runner;
};

Convolver::Convolver(wave::Environment* environment, Kernel* kernel) : wave::Filter(environment) {
    setKernel(kernel);
}

Convolver::~Convolver() {
    setKernel(nullptr);
}

void Convolver::setKernel(Kernel* kernel) {
    if (kernel == kernel_) return;
    if (kernel_ != nullptr) {
        releaseSlots();
        kernel_->detach(this);
    }
    kernel_ = kernel;
    if (kernel_ != nullptr) {
        kernel_->attach(this);
        configure(kernel_->configuration());
    } else {
        levels_.clear();
        configuration_.reset();
    }
}

void Convolver::configure(std::shared_ptr<const Configuration> configuration) {
    levels_.clear();  // before the configuration they refer to goes
    configuration_ = std::move(configuration);
    for (int32_t l = 0; l < configuration_->levelCount(); ++l)
        levels_.push_back(std::make_unique<Level>(configuration_->level(l), l));
    delay_.resize(configuration_->inputDelaySamples());
    newSlot_ = oldSlot_ = -1;  // the kernel's slots were emptied with the new configuration
    clear();
}

void Convolver::releaseSlots() noexcept {
    if (kernel_ == nullptr) return;
    kernel_->releaseSlot(newSlot_);
    kernel_->releaseSlot(oldSlot_);
    newSlot_ = oldSlot_ = -1;
}

int64_t Convolver::lifetimeCost() const noexcept {
    int64_t cost = 0;
    for (const auto& level : levels_)
        cost += level->runner.lifetimeCost();
    return cost;
}

void Convolver::clear() noexcept {
    for (const auto& level : levels_) {
        Level& l = *level;
        l.ring.fill(0.0f);
        l.inputs.fill(0.0f);
        l.outputs.fill(0.0f);
        l.previous = l.inputs.data();
        l.completed = l.previous + l.p;
        l.filling = l.completed + l.p;
        for (int32_t which = 0; which < 2; ++which) {
            l.work[which] = l.outputs.data() + which * 2 * l.f;
            l.ready[which] = l.work[which] + l.f;
        }
        l.workAudible = l.readyAudible = {false, false};
        l.workDual = l.readyDual = false;
        l.position = 0;
        l.completedCount = 0;
        l.newest = l.k - 1;
        l.runner.stop();
    }
    delay_.fill(0.0f);
    delayIndex_ = 0;
    if (kernel_ != nullptr) kernel_->releaseSlot(oldSlot_);
    oldSlot_ = -1;
    crossfadeStart_ = crossfadeEnd_ = gainsUntil_ = kLongAgo;
    gain_ = 0.0;
    gainRemaining_ = 0;
}

void Convolver::filter(wave::BasicBlock<float>* in, wave::BasicBlock<float>* out, int32_t frames,
                       int32_t) noexcept {
    if (kernel_ == nullptr || levels_.empty()) {
        setOutputBlock(environment()->zeroBlock());
        return;
    }
    kernel_->advance(frames);
    const int64_t start = environment()->samplePosition();
    if (start != nextPosition_) clear();  // a skipped cycle or a new start: no stale input
    nextPosition_ = start + frames;

    float* o = out->data();
    out->setConstant(false);
    const float* input = in->data();
    if (in->isConstant()) {
        // Only the first sample is sure; spread it over the output block, which is read only
        // ahead of where the finest level (run first below) writes its output.
        std::fill_n(o, frames, input[0]);
        input = o;
    }
    const float* delayed = input;
    if (levels_.size() > 1) {
        float* d = environment()->scratchBlock(0)->data();
        delayInput(input, d, frames);
        delayed = d;
    }
    float* gains = environment()->scratchBlock(1)->data();

    // Segments end at the coarsest level's partition boundaries, where a new kernel is picked up
    // (they are boundaries of every finer level too).
    const Level& coarsest = *levels_.front();
    for (int32_t done = 0; done < frames;) {
        const int64_t t = start + done;
        const int32_t phase = coarsest.position % coarsest.p;
        if (phase == 0) pickKernel(t);
        const int32_t n = std::min(frames - done, coarsest.p - phase);
        if (t < gainsUntil_) fillGains(t, n, gains + done);
        const auto finest = levels_.size() - 1;
        for (std::size_t l = finest + 1; l-- > 0;)
            runLevel(*levels_[l], (l == finest ? input : delayed) + done, o + done, n, t,
                     l != finest, gains + done);
        done += n;
    }
}

void Convolver::pickKernel(int64_t position) noexcept {
    if (oldSlot_ >= 0 && position >= crossfadeEnd_) {
        kernel_->releaseSlot(oldSlot_);
        oldSlot_ = -1;
    }
    const int32_t slot = kernel_->slotAt(position);
    if (slot == newSlot_ || position < crossfadeEnd_) return;  // a crossfade must end first
    kernel_->acquireSlot(slot);
    const int32_t samples = configuration_->crossfadeSamples();
    if (levels_.back()->completedCount == 0 || samples <= 0) {
        // No work has been set up since the reset, so nothing computed with the old kernel will
        // be heard (or no crossfade is wanted).
        kernel_->releaseSlot(newSlot_);
        newSlot_ = slot;
        return;
    }
    // Works set up from here on compute both kernels where their output falls into the
    // crossfade, which starts when the coarsest level's first such output is read.
    oldSlot_ = newSlot_;
    newSlot_ = slot;
    crossfadeStart_ = position + levels_.front()->p;
    crossfadeEnd_ = crossfadeStart_ + samples;
    gainsUntil_ = crossfadeEnd_ + levels_.front()->p;
    gain_ = 0.0;
    gainRemaining_ = samples;
    ++crossfadeCount_;
}

void Convolver::fillGains(int64_t position, int32_t n, float* gains) noexcept {
    // Outside the crossfade only outputs of its own works can be mixed, which are all new.
    for (int32_t i = 0; i < n; ++i) {
        const int64_t t = position + i;
        if (t < crossfadeStart_ || t >= crossfadeEnd_) {
            gains[i] = 1.0f;
            continue;
        }
        gains[i] = static_cast<float>(gain_);
        gain_ += (1.0 - gain_) / gainRemaining_;
        --gainRemaining_;
    }
}

void Convolver::runLevel(Level& level, const float* in, float* out, int32_t n, int64_t position,
                         bool accumulate, const float* gains) noexcept {
    for (int32_t done = 0; done < n;) {
        if (level.position == level.p) startWork(level, position + done);
        const int32_t m = std::min(n - done, level.p - level.position);
        std::memcpy(level.filling + level.position, in + done,
                    static_cast<std::size_t>(m) * sizeof(float));
        level.runner.run(m);
        emit(level, out + done, m, accumulate, gains + done);
        level.position += m;
        done += m;
    }
}

void Convolver::startWork(Level& level, int64_t position) noexcept {
    level.runner.finish();  // all due by now; a no-op unless the period was cut short
    std::swap(level.work, level.ready);
    level.readyAudible = level.workAudible;
    level.readyDual = level.workDual;
    float* reused = level.previous;
    level.previous = level.completed;
    level.completed = level.filling;
    level.filling = reused;
    level.completedCount = std::min(level.completedCount + 1, level.k + 2);
    level.newest = (level.newest + 1) % level.k;
    float* spectrum = level.ring.data() + level.newest * level.f;
    level.store.set(level.previous, level.completed, spectrum, level.p);
    level.forward.setData(spectrum);

    // This work's output is read from one partition on, for one partition.
    const int64_t from = position + level.p;
    const int64_t to = from + level.p;
    const bool before = to <= crossfadeStart_;
    level.workDual = !before && from < crossfadeEnd_;
    setProducts(level, 0, before ? oldSlot_ : newSlot_);
    setProducts(level, 1, level.workDual ? oldSlot_ : -1);
    level.runner.reset(level.p);
    level.position = 0;
}

void Convolver::setProducts(Level& level, int32_t which, int32_t slot) noexcept {
    const bool on = slot >= 0;
    level.workAudible[which] = on;
    level.inverse[which].enabled() = on;
    level.inverse[which].setData(level.work[which]);
    for (int32_t j = 0; j < level.k; ++j) {
        FFTMultiplyTask& task = level.multiply[which][j];
        task.enabled() = on && j < level.config.partitionCount;
        if (!on) continue;
        const int32_t age = (level.newest - j + level.k) % level.k;
        task.set(level.ring.data() + age * level.f, kernel_->partition(slot, level.index, j),
                 level.work[which], level.f, j == 0);
    }
}

void Convolver::emit(const Level& level, float* out, int32_t n, bool accumulate,
                     const float* gains) const noexcept {
    const int32_t at = level.p + level.position;
    const float* a = level.readyAudible[0] ? level.ready[0] + at : nullptr;
    const float* b = level.readyDual && level.readyAudible[1] ? level.ready[1] + at : nullptr;
    if (!level.readyDual || (b == nullptr && a == nullptr)) {
        if (a == nullptr) {
            if (!accumulate) std::fill_n(out, n, 0.0f);
        } else if (accumulate) {
            for (int32_t i = 0; i < n; ++i)
                out[i] += a[i];
        } else {
            std::memcpy(out, a, static_cast<std::size_t>(n) * sizeof(float));
        }
        return;
    }
    // new * g + old * (1 - g); a silent side counts as zeros.
    for (int32_t i = 0; i < n; ++i) {
        const float v = (a != nullptr ? a[i] * gains[i] : 0.0f) +
                        (b != nullptr ? b[i] * (1.0f - gains[i]) : 0.0f);
        out[i] = accumulate ? out[i] + v : v;
    }
}

void Convolver::delayInput(const float* in, float* out, int32_t n) noexcept {
    const int32_t size = delay_.size();
    float* ring = delay_.data();
    for (int32_t done = 0; done < n;) {
        const int32_t m = std::min(n - done, size - delayIndex_);
        std::memcpy(out + done, ring + delayIndex_, static_cast<std::size_t>(m) * sizeof(float));
        std::memcpy(ring + delayIndex_, in + done, static_cast<std::size_t>(m) * sizeof(float));
        delayIndex_ = (delayIndex_ + m) % size;
        done += m;
    }
}

}  // namespace tessel
