#include "analysis/SpectrumDisplay.h"

#include <algorithm>
#include <cmath>

namespace tessel {

namespace {
// ln(10) / 1000: with dt in ms and T in seconds, T is the time to cover 90 % of the distance.
constexpr double kLn10PerMs = 0.0023025852;
constexpr float kActiveLevel = 3.1622778e-5f;  // -90 dB
}  // namespace

SpectrumDisplay::SpectrumDisplay(int32_t columns) : requestedColumns_(std::max(columns, 1)) {
    layOut();
}

void SpectrumDisplay::setSettings(const Settings& settings) {
    const bool relayout = settings.transformSize != settings_.transformSize ||
                          settings.sampleRateHz != settings_.sampleRateHz ||
                          settings.tiltDbPerOctave != settings_.tiltDbPerOctave;
    const bool restartAverage = settings.averaging != settings_.averaging;
    settings_ = settings;
    settings_.transformSize = std::max(settings_.transformSize, 2);
    if (!(settings_.sampleRateHz > 0.0f)) settings_.sampleRateHz = 44100.0f;
    if (relayout) layOut();
    if (restartAverage || relayout) {
        averagedSpectra_ = 0;
        for (Column& c : columns_)
            c.sum = 0.0;
    }
}

void SpectrumDisplay::layOut() {
    const int32_t n = settings_.transformSize;
    const double binHz = settings_.sampleRateHz / n;
    const int32_t lastBin = n / 2;
    std::vector<Column> columns;
    int32_t previous = 0;
    for (int32_t i = 0; i < requestedColumns_; ++i) {
        const double edgeHz = 20.0 * std::pow(1000.0, (i + 1.0) / requestedColumns_);
        const int32_t bin =
            std::clamp(static_cast<int32_t>(std::lround(edgeHz / binHz)), 0, lastBin);
        if (bin <= previous && !columns.empty()) continue;  // low columns narrower than a bin
        Column c;
        c.firstBin = columns.empty() ? std::max(1, bin) : previous + 1;
        c.lastBin = std::max(bin, c.firstBin);
        c.centreHz = std::sqrt(std::max(c.firstBin, 1) * binHz * c.lastBin * binHz);
        c.tiltDb = std::log2(c.centreHz / 1000.0) * settings_.tiltDbPerOctave;
        previous = c.lastBin;
        columns.push_back(c);
    }
    // Keep the current levels of a re-laid curve where the column count allows.
    for (std::size_t i = 0; i < columns.size() && i < columns_.size(); ++i)
        columns[i].currentDb = columns_[i].currentDb;
    columns_ = std::move(columns);
}

void SpectrumDisplay::takeSpectrum(const float* bins, int32_t binCount) {
    float loudest = 0.0f;
    ++averagedSpectra_;
    for (Column& c : columns_) {
        float peak = 0.0f;
        for (int32_t k = c.firstBin; k <= std::min(c.lastBin, binCount - 1); ++k)
            peak = std::max(peak, bins[k]);  // NaN bins lose against any number
        loudest = std::max(loudest, peak);
        if (settings_.averaging) {
            c.sum += peak;
            continue;
        }
        const double db = peak > 1e-10f ? std::max(20.0 * std::log10(peak), -180.0) : -180.0;
        c.targetDb = std::max(db + c.tiltDb, static_cast<double>(kFloorDb));
    }
    if (loudest > kActiveLevel) ++activeFrames_;
}

void SpectrumDisplay::update(const SpectrumSource& source, double dtMs) {
    if (!(dtMs >= 0.0)) dtMs = 0.0;
    // Freeze fades the release out in 350 ms and back in over 1 s.
    freezeFactor_ = settings_.freeze ? std::max(0.0, freezeFactor_ - dtMs * 0.0028571428)
                                     : std::min(1.0, freezeFactor_ + dtMs * 0.001);
    const bool fresh = source.spectrum() != nullptr && source.sequenceNumber() != lastSequence_;
    if (fresh) {
        lastSequence_ = source.sequenceNumber();
        msSinceSpectrum_ = 0.0;
        takeSpectrum(source.spectrum(), source.binCount());
    } else {
        msSinceSpectrum_ += dtMs;
        const double period =
            std::clamp(std::max(settings_.transformSize, 8192) * 1000.0 / 44100.0, 20.0, 500.0);
        if (msSinceSpectrum_ > 3.0 * period)
            for (Column& c : columns_)
                c.targetDb = kFloorDb;
    }

    const double fs = settings_.sampleRateHz;
    const double n = settings_.transformSize;
    if (settings_.averaging) {
        const double count = static_cast<double>(std::max<uint64_t>(averagedSpectra_, 1));
        const double weight = std::min(1.0, 2.0 * n * count / fs) / count;
        for (Column& c : columns_) {
            const double mean = c.sum * weight;
            const double db = mean > 1e-10 ? 20.0 * std::log10(mean) : -180.0;
            c.currentDb = static_cast<float>(std::max(db + c.tiltDb, double{kFloorDb}));
        }
        return;
    }
    const double attackSeconds = n * kAttackFactor * 21.533203 / fs;
    const double releaseSeconds = std::max(static_cast<double>(settings_.releaseValue), 0.001);
    const double rise = 1.0 - std::exp(-dtMs * kLn10PerMs / attackSeconds);
    const double fall = (1.0 - std::exp(-dtMs * kLn10PerMs / releaseSeconds)) * freezeFactor_;
    for (Column& c : columns_) {
        const double current = c.currentDb;
        const double k = c.targetDb > current ? rise : fall;
        c.currentDb = static_cast<float>(current + k * (c.targetDb - current));
    }
}

}  // namespace tessel
