#include "bands/GranularTask.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace tessel {

// ---- GranularTaskRunner ----

void GranularTaskRunner::setTasks(std::vector<GranularTask*> tasks) {
    tasks_ = std::move(tasks);
    current_ = tasks_.size();
    begun_ = false;
    complete_ = true;
}

void GranularTaskRunner::reset(int64_t periodSamples) noexcept {
    period_ = std::max<int64_t>(periodSamples, 1);
    elapsed_ = 0;
    done_ = 0;
    total_ = 0;
    for (GranularTask* task : tasks_) {
        if (!task->enabled()) continue;
        task->prepare();
        total_ += static_cast<int64_t>(task->units()) * task->costPerUnit();
    }
    current_ = 0;
    nextUnit_ = 0;
    begun_ = false;
    complete_ = false;
}

bool GranularTaskRunner::run(int32_t samples) noexcept {
    if (complete_) return true;
    elapsed_ = std::min(elapsed_ + std::max(samples, 0), period_);
    work(elapsed_ >= period_);
    return complete_;
}

void GranularTaskRunner::work(bool flush) noexcept {
    if (complete_) return;
    // total <= a few 1e8 and the period <= a few 1e6 samples: the product fits easily.
    int64_t budget =
        flush ? std::numeric_limits<int64_t>::max() : total_ * elapsed_ / period_ - done_;
    while (current_ < tasks_.size()) {
        GranularTask& task = *tasks_[current_];
        if (!begun_) {
            if (!task.enabled()) {
                ++current_;
                continue;
            }
            task.begin();
            begun_ = true;
            nextUnit_ = 0;
        }
        const int32_t left = task.units() - nextUnit_;
        const int64_t cost = task.costPerUnit();
        const auto count = static_cast<int32_t>(std::min<int64_t>(left, budget / cost));
        if (count > 0) {
            task.run(nextUnit_, count);
            nextUnit_ += count;
            if (!flush) budget -= count * cost;
            done_ += count * cost;
            lifetimeCost_ += count * cost;
            lifetimeUnits_ += count;
        }
        if (nextUnit_ < task.units()) return;  // the rest is carried to the next block
        task.end();
        begun_ = false;
        ++current_;
    }
    complete_ = true;
}

// ---- Task families ----

void FFTStoreInputTask::set(const float* previous, const float* current, float* destination,
                            int32_t partitionSize) noexcept {
    previous_ = previous;
    current_ = current;
    destination_ = destination;
    partitionSize_ = partitionSize;
}

void FFTStoreInputTask::run(int32_t firstUnit, int32_t count) noexcept {
    const int32_t end = firstUnit + count;
    float* __restrict low = destination_;
    float* __restrict high = destination_ + partitionSize_;
    for (int32_t i = firstUnit; i < end; ++i) {
        low[i] = previous_[i];
        high[i] = current_[i];
    }
}

void FFTCalculateTask::prepare() noexcept {
    const int32_t size = fft_ != nullptr ? fft_->size() : 0;
    setUnits(fft_ != nullptr && data_ != nullptr ? fft_->stageCount() : 0, stageCost(size));
}

void FFTCalculateTask::run(int32_t firstUnit, int32_t count) noexcept {
    for (int32_t stage = firstUnit; stage < firstUnit + count; ++stage)
        fft_->forwardStage(data_, stage);
}

void FFTCalculateInverseTask::run(int32_t firstUnit, int32_t count) noexcept {
    for (int32_t stage = firstUnit; stage < firstUnit + count; ++stage)
        fft_->inverseStage(data_, stage);
}

void FFTMultiplyTask::set(const float* x, const float* h, float* acc, int32_t size,
                          bool overwrite) noexcept {
    x_ = x;
    h_ = h;
    acc_ = acc;
    size_ = size;
    overwrite_ = overwrite;
}

void FFTMultiplyTask::run(int32_t firstUnit, int32_t count) noexcept {
    FFT::multiplyAccumulate(x_, h_, acc_, size_, firstUnit, count, overwrite_);
}

}  // namespace tessel
