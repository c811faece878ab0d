#pragma once

#include <cstdint>
#include <vector>

#include "support/FFT.h"
#include "support/Property.h"

namespace tessel {

/// A piece of heavy work (a transform, a spectrum product, a kernel build) cut into units, so
/// that a GranularTaskRunner can spread it evenly over audio blocks. `prepare` sizes the work
/// (units and cost per unit), then the runner calls `begin`, `run` over consecutive unit ranges
/// and `end`. Cost is counted in multiply-accumulate positions (one float of a packed spectrum
/// product, about 0.16 ns): one unit of a task costs its cost per unit. Costs are relative times,
/// measured once (bench/ConvolverBench.cpp); they only need to be right within a factor of about
/// two for the work per block to stay even. Audio thread: run, begin, end and prepare never
/// allocate, lock or throw.
class GranularTask {
public:
    /// Copying one sample (with its zero or its second half).
    static constexpr int32_t kSampleCost = 1;
    /// Fetching one bin of a band's response: a walk up the crossover tree, computed afresh from
    /// the grid's tabulated log frequencies (about 13 ns, some 80 sample copies).
    static constexpr int32_t kResponseBinCost = 80;
    /// One stage of a transform of `size` points sweeps all of them: about one position each.
    static constexpr int32_t stageCost(int32_t size) noexcept { return size; }

    GranularTask() = default;
    virtual ~GranularTask() = default;
    GranularTask(const GranularTask&) = delete;
    GranularTask& operator=(const GranularTask&) = delete;

    /// A disabled task is skipped when the runner resets (it counts nothing towards the total).
    Property<bool>& enabled() noexcept { return enabled_; }
    const Property<bool>& enabled() const noexcept { return enabled_; }
    /// Units and cost of one unit as the last `prepare` computed them.
    int32_t units() const noexcept { return units_; }
    int32_t costPerUnit() const noexcept { return costPerUnit_; }

    /// After the last unit.
    virtual void end() noexcept {}
    /// Before the first unit.
    virtual void begin() noexcept {}
    /// Units firstUnit .. firstUnit + count - 1.
    virtual void run(int32_t firstUnit, int32_t count) noexcept = 0;
    /// Computes units and cost per unit for the next run.
    virtual void prepare() noexcept = 0;

protected:
    void setUnits(int32_t units, int32_t costPerUnit) noexcept {
        units_ = units > 0 ? units : 0;
        costPerUnit_ = costPerUnit > 0 ? costPerUnit : 1;
    }

private:
    Property<bool> enabled_{nullptr, true};
    int32_t units_ = 0;
    int32_t costPerUnit_ = 1;
};

/// Runs a fixed list of tasks over a period of S samples: after a block of n samples the cost due
/// is total * min(elapsed + n, S) / S, and whole units run, task by task in list order, until the
/// cost run reaches it; what is left of a unit's cost is carried to the next block. When the
/// period is over, everything left runs at once. The cost per block is therefore the block's
/// share of the total within one unit, whatever the block size. Audio thread, except `setTasks`.
class GranularTaskRunner {
public:
    /// The tasks, in running order; the runner does not own them. Allocates.
    void setTasks(std::vector<GranularTask*> tasks);
    /// Prepares every enabled task, sums the total cost and restarts from the first enabled task,
    /// due over periodSamples samples (at least 1).
    void reset(int64_t periodSamples) noexcept;
    /// After a block of `samples` samples: runs the work due. True once every task has ended.
    bool run(int32_t samples) noexcept;
    /// Runs everything left now.
    void finish() noexcept { work(true); }
    /// Drops what is left (no further unit, begin or end runs) until the next reset.
    void stop() noexcept {
        current_ = tasks_.size();
        begun_ = false;
        complete_ = true;
    }

    bool complete() const noexcept { return complete_; }
    int64_t totalCost() const noexcept { return total_; }
    /// Cost run since the last reset.
    int64_t costRun() const noexcept { return done_; }
    /// Cost and units run since construction (for tests and benchmarks).
    int64_t lifetimeCost() const noexcept { return lifetimeCost_; }
    int64_t lifetimeUnits() const noexcept { return lifetimeUnits_; }

private:
    /// Runs units while the budget (cost due minus cost run) pays for them; all with `flush`.
    void work(bool flush) noexcept;

    std::vector<GranularTask*> tasks_;
    int64_t period_ = 1;
    int64_t elapsed_ = 0;
    int64_t total_ = 0;
    int64_t done_ = 0;
    std::size_t current_ = 0;
    int32_t nextUnit_ = 0;
    bool begun_ = false;
    bool complete_ = true;
    int64_t lifetimeCost_ = 0;
    int64_t lifetimeUnits_ = 0;
};

/// Copies one partition of input into a transform buffer for overlap-save: the previous
/// partition into the first half, the new one into the second. One unit per sample position.
class FFTStoreInputTask : public GranularTask {
public:
    void set(const float* previous, const float* current, float* destination,
             int32_t partitionSize) noexcept;
    void run(int32_t firstUnit, int32_t count) noexcept override;
    void prepare() noexcept override { setUnits(partitionSize_, kSampleCost); }

private:
    const float* previous_ = nullptr;
    const float* current_ = nullptr;
    float* destination_ = nullptr;
    int32_t partitionSize_ = 0;
};

/// A forward transform in place, one stage per unit.
class FFTCalculateTask : public GranularTask {
public:
    void set(const FFT* fft, float* data) noexcept {
        fft_ = fft;
        data_ = data;
    }
    void setData(float* data) noexcept { data_ = data; }
    void run(int32_t firstUnit, int32_t count) noexcept override;
    void prepare() noexcept override;

protected:
    const FFT* fft_ = nullptr;
    float* data_ = nullptr;
};

/// An inverse transform in place, one stage per unit.
class FFTCalculateInverseTask : public FFTCalculateTask {
public:
    void run(int32_t firstUnit, int32_t count) noexcept override;
};

/// acc (+)= x * h for packed spectra of `size` floats: one unit per float (two per bin), bins
/// in groups of four; the first product of a sum overwrites the accumulator.
class FFTMultiplyTask : public GranularTask {
public:
    void set(const float* x, const float* h, float* acc, int32_t size, bool overwrite) noexcept;
    void run(int32_t firstUnit, int32_t count) noexcept override;
    void prepare() noexcept override { setUnits(size_, 1); }

private:
    const float* x_ = nullptr;
    const float* h_ = nullptr;
    float* acc_ = nullptr;
    int32_t size_ = 0;
    bool overwrite_ = false;
};

}  // namespace tessel
