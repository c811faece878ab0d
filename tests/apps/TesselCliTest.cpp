#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "TesselCli.h"

namespace tessel::cli {
namespace {

struct Result {
    int status;
    std::string out;
    std::string err;
};

Result runTessel(const std::vector<std::string>& words) {
    std::ostringstream out, err;
    const int status = run(words, out, err);
    return {status, out.str(), err.str()};
}

// Every option of every command reaches the model: latency totals, then lines of `param`.
TEST(TesselCli, OptionsReachTheLatencyAndTheParameterModel) {
    using Words = std::vector<std::string>;
    // clang-format off
    const std::pair<Words, std::string> cases[] = {
        {{"latency"}, "latency: 882 samples"},  // the defaults: Dynamic Phase, lookahead on
        {{"latency", "--lookahead", "off"}, "latency: 0 samples"},
        {{"latency", "--rate", "48000", "--mode=linear"}, "latency: 4032 samples"},
        {{"latency", "--rate", "48000", "--oversampling", "4x", "--mode", "minimum"},
         "latency: 1000 samples"},
        {{"param", "Band 1 Threshold", "--parse", "-20 dB"}, "linear:     -20\n"},
        {{"param", "6", "--parse", "-20 dB"}, "Band 1 Threshold (id 6)"},
        {{"param", "band 1 threshold"}, "Band 1 Threshold (id 6)"},
        {{"param", "Oversampling"}, "help:       The Oversampling button sets how many times"},
        {{"param", "Processing Mode", "--parse", "Minimum Phase"}, "text:       Minimum Phase\n"},
        {{"param", "Processing Mode", "--normalized", "0"}, "text:       Linear Phase\n"},
        {{"param", "Band 1 Low Slope", "--parse", "30"}, "text:       30.0 dB/oct\n"},
        {{"param", "Band 1 Low Slope", "--mode", "minimum", "--parse", "30"},
         "text:       36.0 dB/oct\n"},  // Minimum Phase snaps slopes
    };
    // clang-format on
    for (const auto& [words, line] : cases) {
        const Result r = runTessel(words);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
    }
    const Result unparsable = runTessel({"param", "Band 1 Threshold", "--parse", "loud"});
    EXPECT_TRUE(unparsable.status == 1 &&
                unparsable.err.find("does not parse") != std::string::npos);
    EXPECT_EQ(std::count(unparsable.err.begin(), unparsable.err.end(), '\n'), 1);
}

TEST(TesselCli, ParamsListsEveryParameterAsTextAndJson) {
    const Result text = runTessel({"params"});
    ASSERT_EQ(text.status, 0) << text.err;
    EXPECT_EQ(std::count(text.out.begin(), text.out.end(), '\n'), 151);
    EXPECT_NE(text.out.find("choices Linear Phase,Dynamic Phase,Minimum Phase"), std::string::npos);

    const Result json = runTessel({"params", "--json"});
    ASSERT_EQ(json.status, 0);
    // One object per parameter, identifiers in order, every object with its fields.
    std::size_t at = 0;
    for (int id = 0; id < 151; ++id) {
        at = json.out.find("{\"id\": " + std::to_string(id) + ",", at);
        ASSERT_NE(at, std::string::npos) << id;
    }
    EXPECT_EQ(json.out.find("{\"id\": 151,"), std::string::npos);
    EXPECT_TRUE(json.out.find("\"kind\": \"indexed\"") != std::string::npos &&
                json.out.find("\"automatable\": false") != std::string::npos);
}

TEST(TesselCli, LayoutShowsModelBandsCrossoversAndResponses) {
    // Inactive model bands either side of 100 Hz .. 1 kHz; 2 .. 3 kHz widened to 0.8 octave; the
    // gap between, wide enough, a band of its own.
    const Result r =
        runTessel({"layout", "--mode", "minimum", "--response", "100-1000@12/41.9", "2000-3000"});
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* expected :
         {"model bands: 5, crossovers: 4",
          "band 1      100.0 Hz .. 1000.0 Hz    active   user band 1",
          "band 2     1000.0 Hz .. 2.000 kHz    inactive", "3.482 kHz .. Nyquist      inactive",
          "crossover 1  at 1000.0 Hz    41.9 dB/oct (filters run at 36 dB/oct)",
          "response (dB):"}) {
        EXPECT_NE(r.out.find(expected), std::string::npos) << expected << "\n" << r.out;
    }
}

TEST(TesselCli, BadRequestsPrintOneLineAndExitNonZero) {
    // clang-format off
    const std::vector<std::vector<std::string>> bad = {
        {}, {"frobnicate"}, {"latency", "--rate", "fast"}, {"latency", "--rate", "nan"},
        {"latency", "--rate", "44100x"}, {"latency", "--rate"}, {"latency", "--mode", "linearish"},
        {"latency", "--oversampling", "8x"}, {"latency", "--lookahead", "maybe"},
        {"latency", "--colour", "blue"}, {"latency", "--help=yes"}, {"latency", "extra"},
        {"params", "--xml"}, {"params", "all"}, {"param"}, {"param", "No Such Parameter"},
        {"param", "9999"}, {"param", "Mix", "--normalized", "2"},
        {"param", "Mix", "--value", "lots"},
        {"param", "Mix", "--value", "1", "--parse", "50 %"}, {"param", "Mix", "--mode", "sideways"},
        {"layout", "100"}, {"layout", "100-1000@12"}, {"layout", "-100-1000"}, {"layout", "a-b"},
        {"layout", "1-2", "3-4", "5-6", "7-8", "9-10", "11-12", "13-14"},
    };
    // clang-format on
    for (const auto& words : bad) {
        const Result r = runTessel(words);
        EXPECT_TRUE(r.status != 0 && r.out.empty() && !r.err.empty()) << r.out << r.err;
    }
    const Result help = runTessel({"latency", "--help"});
    EXPECT_TRUE(help.status == 0 && help.out.find("usage: tessel latency") != std::string::npos);
}

}  // namespace
}  // namespace tessel::cli
