#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "ReportPlot.h"
#include "TesselCli.h"
#include "bands/CrossoverFilter.h"
#include "bands/CrossoverMultiBandModel.h"
#include "bands/FloatingMultiBandModel.h"

namespace tessel::cli {

namespace {

constexpr const char* kLayoutUsage =
    "usage: tessel layout [--mode linear|dynamic|minimum] [--rate HZ] [--response]\n"
    "                    [--plot FILE.png] BAND...\n"
    "\n"
    "Lays out up to six bands the way the plug-in does and prints the contiguous model bands\n"
    "and the crossovers between them. Each BAND is LOW-HIGH in Hz, optionally followed by\n"
    "@LOWSLOPE/HIGHSLOPE in dB/oct (1 to 48, default 24), e.g. 100-1000@12/48.\n"
    "Bands narrower than 0.8 octave are widened, touching or overlapping bands share a\n"
    "crossover, and gaps wider than 0.1 octave become inactive model bands.\n"
    "--response adds each model band's level in dB at octave frequencies and their sum.\n"
    "--plot draws each model band's response and their sum from 20 Hz to 20 kHz as a PNG.\n"
    "Defaults: --rate 44100 --mode dynamic.\n";

struct PlacedBand {
    double lowHz = 0.0, highHz = 0.0;
    double lowSlope = FloatingMultiBandModel::kDefaultSlopeDbPerOctave;
    double highSlope = FloatingMultiBandModel::kDefaultSlopeDbPerOctave;
};

bool parseBand(const std::string& text, PlacedBand& band) {
    const std::size_t at = text.find('@');
    const std::string range = text.substr(0, at);
    const std::size_t dash = range.find('-', 1);
    if (dash == std::string::npos) return false;
    const auto low = parseNumber(range.substr(0, dash));
    const auto high = parseNumber(range.substr(dash + 1));
    if (!low || !high || *low <= 0.0 || *high <= 0.0) return false;
    band.lowHz = *low;
    band.highHz = *high;
    if (at == std::string::npos) return true;
    const std::string slopes = text.substr(at + 1);
    const std::size_t slash = slopes.find('/');
    if (slash == std::string::npos) return false;
    const auto lowSlope = parseNumber(slopes.substr(0, slash));
    const auto highSlope = parseNumber(slopes.substr(slash + 1));
    if (!lowSlope || !highSlope) return false;
    band.lowSlope = *lowSlope;
    band.highSlope = *highSlope;
    return true;
}

std::string hertz(float octaves) {
    char text[32];
    const double hz = std::exp2(static_cast<double>(octaves));
    std::snprintf(text, sizeof text, hz < 1000.0 ? "%.1f Hz" : "%.3f kHz",
                  hz < 1000.0 ? hz : hz / 1000.0);
    return text;
}

// dB per octave the minimum-phase splitter actually runs for a model slope.
int runningSlope(float dbPerOctave) {
    static constexpr int kDbPerOctave[] = {6, 12, 24, 36, 48};
    return kDbPerOctave[static_cast<int>(CrossoverFilter::slopeForDbPerOctave(dbPerOctave))];
}

}  // namespace

int runLayout(const std::vector<std::string>& words, std::ostream& out, std::ostream& err) {
    int status = 2;
    const auto line = CommandLine::parse(
        {"layout", kLayoutUsage, {"rate", "mode", "plot"}, {"response"}}, words, out, err, status);
    if (!line) return status;
    const std::vector<std::string>& bands = line->positional();
    if (bands.size() > FloatingMultiBandModel::kBandCount) {
        line->fail(err) << "at most " << FloatingMultiBandModel::kBandCount << " bands, not "
                        << bands.size() << "\n";
        return 2;
    }
    double rateHz = 44100.0;
    ProcessingMode mode = ProcessingMode::kDynamicPhase;
    if (!parseRateOption(*line, rateHz, err) || !parseModeOption(*line, mode, err)) return 2;

    std::vector<PlacedBand> placed(bands.size());
    for (std::size_t i = 0; i < bands.size(); ++i) {
        if (!parseBand(bands[i], placed[i])) {
            line->fail(err) << "a band is LOW-HIGH[@LOWSLOPE/HIGHSLOPE] in Hz and dB/oct, not '"
                            << bands[i] << "'\n";
            return 2;
        }
    }

    CrossoverMultiBandModel model;
    model.sampleRate() = static_cast<float>(rateHz);
    model.processingMode() = mode;
    model.mapping().configure(true, 20.0, 20000.0, 255);
    FloatingMultiBandModel layout(&model);
    {
        const UpdatedObject::ScopedHold hold(layout);  // one layout pass for all the bands
        for (std::size_t i = 0; i < placed.size(); ++i) {
            FloatingMultiBandModel::Band& band = layout.band(static_cast<int32_t>(i));
            band.used() = true;
            band.setRange(static_cast<float>(std::log2(placed[i].lowHz)),
                          static_cast<float>(std::log2(placed[i].highHz)));
            band.lowSlopeDbPerOctave() = static_cast<float>(placed[i].lowSlope);
            band.highSlopeDbPerOctave() = static_cast<float>(placed[i].highSlope);
        }
    }

    const int32_t count = model.bandCount();
    out << "model bands: " << count << ", crossovers: " << count - 1 << "\n";
    for (int32_t j = 0; j < count; ++j) {
        std::string users;
        for (int32_t i = 0; i < FloatingMultiBandModel::kBandCount; ++i) {
            if (!layout.band(i).used() || layout.band(i).modelBandIndex() != j) continue;
            if (!users.empty()) users += ',';
            users += std::to_string(i + 1);
        }
        const std::string from = j == 0 ? "0 Hz" : hertz(model.crossover(j - 1).frequencyOctaves());
        const std::string to =
            j == count - 1 ? "Nyquist" : hertz(model.crossover(j).frequencyOctaves());
        char row[160];
        std::snprintf(row, sizeof row, "  band %-2d %12s .. %-12s %-8s%s%s\n", j, from.c_str(),
                      to.c_str(), model.band(j).active() ? "active" : "inactive",
                      users.empty() ? "" : " user band ", users.c_str());
        out << row;
    }
    for (int32_t k = 0; k + 1 < count; ++k) {
        const CrossoverMultiBandModel::Crossover& c = model.crossover(k);
        char row[160];
        std::snprintf(row, sizeof row, "  crossover %-2d at %-12s %4.1f dB/oct", k,
                      hertz(c.frequencyOctaves()).c_str(),
                      static_cast<double>(c.slopeDbPerOctave().get()));
        out << row;
        if (mode != ProcessingMode::kLinearPhase)
            out << " (filters run at " << runningSlope(c.slopeDbPerOctave()) << " dB/oct)";
        out << "\n";
    }
    if (line->has("response")) {
        out << "response (dB):\n       Hz";
        for (int32_t j = 0; j < count; ++j) {
            char head[32];
            std::snprintf(head, sizeof head, " %8s", ("band " + std::to_string(j)).c_str());
            out << head;
        }
        out << "      sum\n";
        for (double hz = 31.25; hz < 20000.0; hz *= 2.0) {
            char cell[32];
            std::snprintf(cell, sizeof cell, "%9.0f", hz);
            out << cell;
            FrequencyResponseSource::Complex sum = 0.0;
            for (int32_t j = 0; j < count; ++j) {
                const FrequencyResponseSource::Complex r = model.band(j).responseAtFrequency(hz);
                sum += r;
                std::snprintf(cell, sizeof cell, " %8.2f", 20.0 * std::log10(std::abs(r) + 1e-12));
                out << cell;
            }
            std::snprintf(cell, sizeof cell, " %8.2f\n", 20.0 * std::log10(std::abs(sum) + 1e-12));
            out << cell;
        }
    }
    if (const std::string* plot = line->value("plot")) {
        static constexpr const char* kModeNames[] = {"Linear Phase", "Dynamic Phase",
                                                     "Minimum Phase"};
        char title[96];
        std::snprintf(title, sizeof title, "Band layout: %s, %.0f Hz",
                      kModeNames[static_cast<int>(mode)], rateHz);
        std::string error;
        if (!writeLayoutPlot(*plot, layoutResponses(layout), title, error)) {
            line->fail(err) << error << "\n";
            return 1;
        }
        out << "plot: " << *plot << "\n";
    }
    return 0;
}

}  // namespace tessel::cli
