#include <cairo.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "AudioFile.h"
#include "DemoSignal.h"
#include "ReportPlot.h"
#include "TesselCli.h"

// The demo end to end, in its quick (5-second) form: each run's output loudness and each band's
// largest gain change against a committed table, and every picture a PNG of its stated size.
// TESSEL_APPROVE_GOLDEN=1 rewrites the table instead (review the diff before committing it).

namespace tessel::cli {
namespace {

namespace fs = std::filesystem;
const fs::path kDir = fs::temp_directory_path() / ("tessel-demo-" + std::to_string(getpid()));
const std::string kTable = std::string(TESSEL_APPS_DATA_DIR) + "/demo-summary.txt";
// The summaries print 0.1 steps, and builds differ by far less (Release against the sanitizer
// build: not at all), so a value may flip by one step. Each of these moves some value by more:
// Mix Bus Glue's band 1 threshold 2 dB higher (loudness +0.2 LU, band 1 +0.3 dB), its range
// -2 dB for -4 dB, the De-Esser's threshold 2 dB higher (+0.8 dB).
constexpr double kToleranceLu = 0.15;
constexpr double kToleranceDb = 0.25;

struct Summary {
    std::string name;  ///< the output file's stem; "demo-input" for the input's row
    double loudnessLufs = 0.0;
    std::vector<std::pair<int, double>> bandsDb;  ///< (band number, largest gain change)
};

/// The number after `key` in line, NaN when absent.
double after(const std::string& line, const std::string& key) {
    const std::size_t at = line.find(key);
    return at == std::string::npos ? NAN : std::strtod(line.c_str() + at + key.size(), nullptr);
}

bool isPngOfSize(const std::string& path, int width, int height) {
    cairo_surface_t* png = cairo_image_surface_create_from_png(path.c_str());
    const bool ok = cairo_surface_status(png) == CAIRO_STATUS_SUCCESS &&
                    cairo_image_surface_get_width(png) == width &&
                    cairo_image_surface_get_height(png) == height;
    cairo_surface_destroy(png);
    return ok;
}

TEST(Demo, QuickDemoMatchesTheApprovedSummariesAndDrawsEveryReport) {
    std::ostringstream out, err;
    ASSERT_EQ(run({"demo", kDir.string(), "--quick"}, out, err), 0) << err.str();
    std::vector<Summary> runs(1, Summary{"demo-input", 0.0, {}});
    std::istringstream lines(out.str());
    int reports = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("== ")) runs.push_back({fs::path(line).stem().string(), 0.0, {}});
        if (line.starts_with("in ") && runs.size() == 2) {
            runs[0].loudnessLufs = after(line, "loudness");
            EXPECT_NEAR(after(line, "peak"), kDemoPeakDb, 0.05) << line;
        }
        if (line.starts_with("out ")) runs.back().loudnessLufs = after(line, "loudness");
        if (line.starts_with("band "))
            runs.back().bandsDb.emplace_back(std::stoi(line.substr(5)), after(line, "change"));
        if (line.starts_with("report: ")) {
            ++reports;
            EXPECT_TRUE(isPngOfSize(line.substr(8), kReportWidth, kReportHeight)) << line;
        }
    }
    EXPECT_EQ(reports, 5);
    AudioData input;
    AudioFormat format;
    std::string error;
    ASSERT_TRUE(readAudioFile((kDir / "demo-input.wav").string(), input, format, error)) << error;
    EXPECT_TRUE(input.channels.size() == 2 && input.sampleRateHz == 48000.0 &&
                input.frames() == 5 * 48000);
    fs::remove_all(kDir);

    const char* approve = std::getenv("TESSEL_APPROVE_GOLDEN");
    if (approve != nullptr && std::string(approve) == "1") {
        std::ofstream file(kTable);
        file << std::fixed << std::setprecision(1);
        file << "# tessel demo --quick: per run, the output's integrated loudness (LUFS) and each\n"
                "# band's largest gain change (band:dB); the first row is the input.\n";
        for (const Summary& r : runs) {
            file << r.name << ' ' << r.loudnessLufs;
            for (const auto& [band, db] : r.bandsDb)
                file << ' ' << band << ':' << db;
            file << '\n';
        }
        ASSERT_TRUE(file.good()) << kTable;
        std::cout << "TESSEL_APPROVE_GOLDEN=1: wrote " << kTable << " instead of comparing\n";
        return;
    }
    std::ifstream file(kTable);
    ASSERT_TRUE(file.good()) << "no table " << kTable
                             << "; approve one with TESSEL_APPROVE_GOLDEN=1";
    std::size_t k = 0;
    for (std::string line; std::getline(file, line);) {
        if (line.starts_with("#")) continue;
        ASSERT_LT(k, runs.size()) << "approved runs the demo no longer makes: " << line;
        const Summary& r = runs[k++];
        std::istringstream fields(line);
        std::string name, cell;
        double lufs = 0.0;
        fields >> name >> lufs;
        EXPECT_EQ(r.name, name);
        EXPECT_NEAR(r.loudnessLufs, lufs, kToleranceLu) << name;
        std::size_t b = 0;
        for (; fields >> cell; ++b) {
            ASSERT_LT(b, r.bandsDb.size()) << name << ": band " << cell << " missing";
            EXPECT_EQ(r.bandsDb[b].first, std::stoi(cell)) << name;
            EXPECT_NEAR(r.bandsDb[b].second, std::stod(cell.substr(cell.find(':') + 1)),
                        kToleranceDb)
                << name << " band " << r.bandsDb[b].first;
        }
        EXPECT_EQ(b, r.bandsDb.size()) << name;
    }
    EXPECT_EQ(k, runs.size());
}

// The layout plot, and the failures of both commands: one line on stderr, status 1, no picture.
TEST(Demo, LayoutPlotIsDrawnAndFailuresPrintOneLine) {
    fs::create_directories(kDir);
    const std::string plot = (kDir / "layout.png").string();
    std::ostringstream out, err;
    ASSERT_EQ(run({"layout", "--mode", "minimum", "100-1000@12/48", "2000-3000", "--plot", plot},
                  out, err),
              0)
        << err.str();
    EXPECT_TRUE(isPngOfSize(plot, kLayoutPlotWidth, kLayoutPlotHeight));
    const std::vector<std::string> failures[] = {
        {"layout", "100-1000", "--plot", (kDir / "missing" / "x.png").string()},
        {"demo", (kDir / "d").string(), "--quick", "--presets", (kDir / "none").string()},
        {"demo", (kDir / "layout.png" / "d").string(), "--quick"},  // a file in the way
    };
    for (const std::vector<std::string>& words : failures) {
        std::ostringstream o, e;
        EXPECT_EQ(run(words, o, e), 1) << words[0];
        const std::string message = e.str();
        EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 1) << message;
    }
    EXPECT_FALSE(fs::exists(kDir / "d"));  // a missing preset stops the demo before it writes
    fs::remove_all(kDir);
}

}  // namespace
}  // namespace tessel::cli
