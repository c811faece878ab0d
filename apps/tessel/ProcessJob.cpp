#include "ProcessJob.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "OfflineRenderer.h"
#include "engine/tessel/TesselProcessor.h"
#include "plugin/PresetDocument.h"

namespace tessel::cli {

namespace {

// Rates the processor is built and tested for.
constexpr double kMinimumRateHz = 8000.0;
constexpr double kMaximumRateHz = 384000.0;

std::string decibelText(double db, const char* unit) {
    if (!std::isfinite(db)) return std::string("-inf ") + unit;
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", db, unit);
    return text;
}

// Measures the input and output chunks on a second thread while the main one renders, so that
// the loudness measurement stays off the processing's path on a machine with two cores or more.
class MeasuringThread {
public:
    MeasuringThread(int channels, double sampleRateHz)
        : input_(channels, sampleRateHz),
          output_(channels, sampleRateHz),
          thread_([this] { run(); }) {}
    ~MeasuringThread() { finish(); }

    /// Hands over copies of a chunk of input and the output that came with it; waits while
    /// the queue is full, so a slow measurement cannot make it hold the whole signal.
    void add(const OfflineRenderer::Planar& in, const OfflineRenderer::Planar& out) {
        std::unique_lock<std::mutex> lock(mutex_);
        room_.wait(lock, [this] { return queue_.size() < kMaximumQueued; });
        queue_.emplace_back(in, out);
        ready_.notify_one();
    }
    /// Waits until every chunk is measured.
    void finish() {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            finished_ = true;
            ready_.notify_one();
        }
        if (thread_.joinable()) thread_.join();
    }
    SignalSummary input() const { return input_.summary(); }
    SignalSummary output() const { return output_.summary(); }

private:
    void run() {
        for (;;) {
            std::pair<OfflineRenderer::Planar, OfflineRenderer::Planar> chunk;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                ready_.wait(lock, [this] { return finished_ || !queue_.empty(); });
                if (queue_.empty()) return;
                chunk = std::move(queue_.front());
                queue_.pop_front();
                room_.notify_one();
            }
            const auto frames = [](const OfflineRenderer::Planar& p) {
                return p.empty() ? std::size_t{0} : p[0].size();
            };
            input_.add(chunk.first, frames(chunk.first));
            output_.add(chunk.second, frames(chunk.second));
        }
    }

    static constexpr std::size_t kMaximumQueued = 64;

    SignalMeter input_;
    SignalMeter output_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::condition_variable room_;
    std::deque<std::pair<OfflineRenderer::Planar, OfflineRenderer::Planar>> queue_;
    bool finished_ = false;
    std::thread thread_;
};

void applySettings(OfflineRenderer& renderer, const PresetDocument& settings) {
    const PresetParameterCollection& parameters = settings.presetParameters();
    for (int id = 0; id < static_cast<int>(parameters.size()); ++id)
        renderer.set(id, parameters.parameter(id)->currentValue());
}

// What a render leaves for the report and the summary besides the signals.
void collectBands(const OfflineRenderer& renderer, double sampleRateHz, RenderOutcome& outcome) {
    outcome.report.gainTracesDb = renderer.gainTraces();
    outcome.report.traceWindowSeconds =
        static_cast<double>(OfflineRenderer::kTraceWindow) / sampleRateHz;
    for (int b = 0; b < TesselProcessor::kBandCount; ++b) {
        const bool used = renderer.bandInUse(b);
        outcome.report.bandInUse.push_back(used);
        if (!used) continue;
        double largest = 0.0;
        for (const float db : renderer.gainTraces()[static_cast<std::size_t>(b)])
            if (std::abs(db) > std::abs(largest)) largest = db;
        outcome.stats.bands.push_back({b, largest});
    }
}

}  // namespace

RenderOutcome renderAudio(const AudioData& input, const AudioData* sideChain,
                          const PresetDocument& settings, int blockSize) {
    OfflineRenderer renderer(static_cast<int>(input.channels.size()), input.sampleRateHz,
                             sideChain != nullptr);
    applySettings(renderer, settings);
    RenderOutcome outcome;
    using Clock = std::chrono::steady_clock;
    const auto started = Clock::now();
    outcome.stats.latencySamples = renderer.latency();
    outcome.stats.durationSeconds = static_cast<double>(input.frames()) / input.sampleRateHz;
    outcome.output = renderer.render(input, sideChain, blockSize);
    const auto rendered = Clock::now();
    outcome.stats.input = SignalSummary::of(input);
    outcome.stats.output = SignalSummary::of(outcome.output);
    outcome.renderSeconds = std::chrono::duration<double>(rendered - started).count();
    outcome.measureSeconds = std::chrono::duration<double>(Clock::now() - rendered).count();
    collectBands(renderer, input.sampleRateHz, outcome);
    outcome.report.layout = layoutResponses(renderer.processor());
    return outcome;
}

ProcessOutcome runProcessJob(const ProcessJob& job, const std::function<void(double)>& progress) {
    ProcessOutcome outcome;
    using Clock = std::chrono::steady_clock;
    auto started = Clock::now();
    const auto lap = [&started](double& seconds) {
        const auto now = Clock::now();
        seconds += std::chrono::duration<double>(now - started).count();
        started = now;
    };
    const auto fail = [&outcome](std::string error) {
        outcome.error = std::move(error);
        return outcome;
    };

    AudioFileReader input(job.inputPath);
    if (!input.good()) return fail(input.error());
    const std::string rate = std::to_string(static_cast<long>(input.sampleRateHz()));
    if (input.channels() > 2)
        return fail(job.inputPath + ": " + std::to_string(input.channels()) +
                    " channels; Tessel processes mono and stereo files");
    if (input.sampleRateHz() < kMinimumRateHz || input.sampleRateHz() > kMaximumRateHz)
        return fail(job.inputPath + ": a sample rate of " + rate +
                    " Hz is outside 8000 to 384000 Hz");
    std::unique_ptr<AudioFileReader> side;
    if (!job.sideChainPath.empty()) {
        side = std::make_unique<AudioFileReader>(job.sideChainPath);
        if (!side->good()) return fail(side->error());
        if (side->sampleRateHz() != input.sampleRateHz())
            return fail(job.sideChainPath + ": the side chain runs at " +
                        std::to_string(static_cast<long>(side->sampleRateHz())) +
                        " Hz, the input at " + rate + " Hz");
        if (side->frames() != input.frames())
            return fail(job.sideChainPath + ": the side chain has " +
                        std::to_string(side->frames()) + " frames, the input " +
                        std::to_string(input.frames()));
        if (side->channels() > 2)
            return fail(job.sideChainPath + ": a side chain is mono or stereo");
    }
    AudioFormat outputFormat = input.format();
    if (!job.formatName.empty() &&
        !AudioFormat::fromName(job.formatName, input.format(), outputFormat))
        return fail("unknown output format '" + job.formatName + "'");

    OfflineRenderer renderer(input.channels(), input.sampleRateHz(), side != nullptr);
    applySettings(renderer, *job.settings);
    AudioFileWriter output(job.outputPath, input.channels(), input.sampleRateHz(), outputFormat);
    if (!output.good()) return fail(output.error());
    MeasuringThread meters(input.channels(), input.sampleRateHz());
    // The report's waveforms, reduced as the signals stream by.
    const bool report = !job.reportPath.empty();
    WaveformEnvelope inputWave(report ? input.frames() : 0, input.sampleRateHz());
    WaveformEnvelope outputWave = inputWave;
    RenderOutcome rendered;
    rendered.stats.latencySamples = renderer.latency();
    rendered.stats.durationSeconds = static_cast<double>(input.frames()) / input.sampleRateHz();
    renderer.begin(job.blockSize);
    lap(outcome.readSeconds);

    // Chunks of about 85 ms at 48 kHz: small enough to stay in the cache on their way through.
    constexpr std::size_t kChunkFrames = 4096;
    OfflineRenderer::Planar in, sideChain, out;
    std::size_t done = 0;
    for (bool last = false; !last;) {
        const std::size_t n = input.read(in, kChunkFrames);
        if (side != nullptr) side->read(sideChain, n);
        if (!input.good()) return fail(input.error());
        if (side != nullptr && !side->good()) return fail(side->error());
        lap(outcome.readSeconds);
        last = n == 0;
        if (last)
            renderer.finish(out);
        else
            renderer.push(in, sideChain, n, out);
        lap(outcome.renderSeconds);
        const std::size_t m = out.empty() ? 0 : out[0].size();
        meters.add(in, out);
        if (report) {
            inputWave.add(in, n);
            outputWave.add(out, m);
        }
        lap(outcome.measureSeconds);
        if (!output.write(out, m)) return fail(output.error());
        lap(outcome.writeSeconds);
        done += n;
        if (progress && input.frames() > 0)
            progress(static_cast<double>(done) / static_cast<double>(input.frames()));
    }
    if (!output.commit()) return fail(output.error());
    lap(outcome.writeSeconds);
    meters.finish();
    rendered.stats.input = meters.input();
    rendered.stats.output = meters.output();
    collectBands(renderer, input.sampleRateHz(), rendered);
    lap(outcome.measureSeconds);
    if (report) {
        rendered.report.layout = layoutResponses(renderer.processor());
        rendered.report.title = job.title;
        rendered.report.input = std::move(inputWave);
        rendered.report.output = std::move(outputWave);
        if (!writeProcessReport(job.reportPath, rendered.report, outcome.error)) return outcome;
        lap(outcome.writeSeconds);
    }
    outcome.stats = rendered.stats;
    outcome.ok = true;
    return outcome;
}

void runInParallel(std::size_t count, const std::function<void(std::size_t)>& task) {
    std::atomic<std::size_t> next{0};
    const auto worker = [&] {
        for (std::size_t k = next++; k < count; k = next++)
            task(k);
    };
    const std::size_t threads =
        std::min<std::size_t>(count, std::max(1u, std::thread::hardware_concurrency()));
    std::vector<std::thread> pool;
    for (std::size_t t = 1; t < threads; ++t)
        pool.emplace_back(worker);
    worker();
    for (std::thread& thread : pool)
        thread.join();
}

std::string formatTimes(const ProcessOutcome& outcome) {
    const double audioSeconds = outcome.stats.durationSeconds;
    char line[200];
    std::snprintf(line, sizeof line,
                  "time: read %.2f s, process %.2f s (%.0fx realtime), measure %.2f s, write "
                  "%.2f s\n",
                  outcome.readSeconds, outcome.renderSeconds,
                  outcome.renderSeconds > 0.0 ? audioSeconds / outcome.renderSeconds : 0.0,
                  outcome.measureSeconds, outcome.writeSeconds);
    return line;
}

std::string formatSummary(const RenderStats& stats) {
    std::string text = "latency: " + std::to_string(stats.latencySamples) + " samples (removed)\n";
    const auto row = [](const char* name, const SignalSummary& s) {
        char line[160];
        std::snprintf(line, sizeof line, "%-4s peak %-12s RMS %-12s loudness %-12s range %s\n",
                      name, decibelText(s.peakDb, "dBFS").c_str(),
                      decibelText(s.rmsDb, "dBFS").c_str(),
                      decibelText(s.loudnessLufs, "LUFS").c_str(),
                      decibelText(s.loudnessRangeLu, "LU").c_str());
        return std::string(line);
    };
    text += row("in", stats.input);
    text += row("out", stats.output);
    for (const RenderStats::BandChange& band : stats.bands) {
        char line[80];
        std::snprintf(line, sizeof line, "band %d: largest gain change %+.1f dB\n", band.band + 1,
                      band.largestDb);
        text += line;
    }
    return text;
}

}  // namespace tessel::cli
