#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>

#include "CommandLine.h"
#include "ProcessJob.h"
#include "SetOptions.h"
#include "TesselCli.h"
#include "plugin/PresetDocument.h"

namespace tessel::cli {

namespace {

constexpr const char* kProcessUsage =
    "usage: tessel process IN OUT [options]\n"
    "       tessel process IN... --output-dir DIR [--reports] [options]\n"
    "\n"
    "Runs audio files through Tessel as an offline host would: the output lines up with the\n"
    "input sample for sample and has its length, in the input's format and sample type.\n"
    "Several inputs are processed in parallel into DIR, each under its own name.\n"
    "\n"
    "options:\n"
    "  --preset FILE       start from a preset (.vtp, binary or text) instead of the defaults\n"
    "  --set \"NAME=TEXT\"   set a parameter from its display text, after the preset; repeatable\n"
    "                      (--set \"Band 1 Threshold=-24 dB\"; 'tessel params' lists the names)\n"
    "  --sidechain FILE    feed the external side-chain input (same rate and length as IN)\n"
    "  --block N           host block size, 1 to 65536 (default 512); the output does not\n"
    "                      depend on it\n"
    "  --format F          write wav, flac, aiff or ogg instead of the input's format\n"
    "  --report FILE.png   draw the waveforms, each band's gain change and the band layout\n"
    "  --reports           with --output-dir: a report beside each output (NAME.png)\n"
    "  --quiet             no progress bar and no summary\n";

// A progress bar on standard error, shared by parallel jobs: each job owns a slot of the total.
class ProgressBar {
public:
    ProgressBar(std::size_t jobs, bool shown) : fractions_(jobs), shown_(shown) {}

    void update(std::size_t job, double fraction) {
        if (!shown_) return;
        const std::lock_guard<std::mutex> lock(mutex_);
        fractions_[job] = fraction;
        double sum = 0.0;
        for (const double f : fractions_)
            sum += f;
        const int percent = static_cast<int>(100.0 * sum / static_cast<double>(fractions_.size()));
        if (percent == shownPercent_) return;
        shownPercent_ = percent;
        constexpr int kWidth = 40;
        const int filled = percent * kWidth / 100;
        std::fprintf(stderr, "\r[%s%s] %3d%%",
                     std::string(static_cast<std::size_t>(filled), '#').c_str(),
                     std::string(static_cast<std::size_t>(kWidth - filled), ' ').c_str(), percent);
        std::fflush(stderr);
    }
    void finish() {
        if (shown_ && shownPercent_ >= 0) std::fputs("\r\033[K", stderr);
    }

private:
    std::mutex mutex_;
    std::vector<double> fractions_;
    bool shown_;
    int shownPercent_ = -1;
};

}  // namespace

int runProcess(const std::vector<std::string>& words, std::ostream& out, std::ostream& err) {
    int status = 2;
    const auto line = CommandLine::parse(
        {"process",
         kProcessUsage,
         {"preset", "set", "sidechain", "block", "format", "report", "output-dir"},
         {"quiet", "reports"}},
        words, out, err, status);
    if (!line) return status;
    const std::vector<std::string>& paths = line->positional();
    const std::string* outputDir = line->value("output-dir");
    if (outputDir == nullptr && paths.size() != 2) {
        line->fail(err)
            << "needs IN and OUT, or inputs and --output-dir (try 'tessel process --help')\n";
        return 2;
    }
    if (outputDir != nullptr && paths.empty()) {
        line->fail(err) << "needs at least one input\n";
        return 2;
    }
    if (outputDir != nullptr && line->has("report")) {
        line->fail(err) << "--report draws one file; use --reports with --output-dir\n";
        return 2;
    }
    double block = 512.0;
    if (!line->number("block", 1.0, 65536.0, "the block size", block, err)) return 2;
    if (block != std::floor(block)) {
        line->fail(err) << "--block must be a whole number\n";
        return 2;
    }
    const std::string formatName = line->value("format") ? *line->value("format") : std::string();
    AudioFormat probe;
    if (!formatName.empty() && !AudioFormat::fromName(formatName, AudioFormat{}, probe)) {
        line->fail(err) << "--format must be wav, flac, aiff or ogg, not '" << formatName << "'\n";
        return 2;
    }

    // The settings: defaults, then the preset, then each --set in order.
    const auto settings = std::make_unique<PresetDocument>();
    std::string title = "defaults";
    if (const std::string* preset = line->value("preset")) {
        const PresetLoadResult loaded = settings->load(*preset);
        if (loaded.code != 0) {
            line->fail(err) << *preset << ": " << loaded.message << "\n";
            return 1;
        }
        title = std::filesystem::path(*preset).stem().string();
    }
    if (const int setStatus = applySetOptions(*line, *settings, err); setStatus != 0)
        return setStatus;

    std::vector<ProcessJob> jobs;
    for (const std::string& input : paths) {
        ProcessJob job;
        job.inputPath = input;
        job.settings = settings.get();
        job.blockSize = static_cast<int>(block);
        job.formatName = formatName;
        job.sideChainPath = line->value("sidechain") ? *line->value("sidechain") : std::string();
        if (outputDir != nullptr) {
            std::filesystem::path target =
                std::filesystem::path(*outputDir) / std::filesystem::path(input).filename();
            if (!formatName.empty())
                target.replace_extension(formatName == "aiff" ? ".aiff" : "." + formatName);
            job.outputPath = target.string();
            if (line->has("reports"))
                job.reportPath = std::filesystem::path(target).replace_extension(".png").string();
        } else {
            job.outputPath = paths[1];
            job.reportPath = line->value("report") ? *line->value("report") : std::string();
        }
        job.title = std::filesystem::path(input).filename().string() + " - " + title;
        jobs.push_back(std::move(job));
        if (outputDir == nullptr) break;
    }
    if (outputDir != nullptr) {
        std::error_code ec;
        if (!std::filesystem::is_directory(*outputDir, ec)) {
            line->fail(err) << "the output folder " << *outputDir << " does not exist\n";
            return 1;
        }
    }

    const bool quiet = line->has("quiet");
    ProgressBar progress(jobs.size(), !quiet && ::isatty(STDERR_FILENO) != 0);
    std::vector<ProcessOutcome> outcomes(jobs.size());
    runInParallel(jobs.size(), [&](std::size_t k) {
        outcomes[k] = runProcessJob(jobs[k], [&, k](double f) { progress.update(k, f); });
    });
    progress.finish();

    int result = 0;
    for (std::size_t k = 0; k < jobs.size(); ++k) {
        if (!outcomes[k].ok) {
            line->fail(err) << outcomes[k].error << "\n";
            result = 1;
            continue;
        }
        if (quiet) continue;
        out << jobs[k].inputPath << " -> " << jobs[k].outputPath << "\n"
            << formatSummary(outcomes[k].stats) << formatTimes(outcomes[k]);
        if (!jobs[k].reportPath.empty()) out << "report: " << jobs[k].reportPath << "\n";
    }
    return result;
}

}  // namespace tessel::cli
