#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
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

TEST(TesselCli, LatencyAddsLookaheadLinearPhaseAndOversampling) {
    struct Case {
        std::vector<std::string> words;
        int total;
    };
    const Case cases[] = {
        {{"latency"}, 882},  // the plug-in's defaults: Dynamic Phase, lookahead on, no oversampling
        {{"latency", "--lookahead", "off"}, 0},
        {{"latency", "--mode", "linear"}, 882 + 3072},
        {{"latency", "--rate", "48000", "--mode=linear"}, 960 + 3072},
        {{"latency", "--rate", "96000", "--mode", "linear", "--lookahead", "off"}, 5120},
        {{"latency", "--oversampling", "2x", "--lookahead", "off"}, 62},
        {{"latency", "--rate", "48000", "--oversampling", "4x", "--mode", "minimum"}, 960 + 40},
    };
    for (const Case& c : cases) {
        const Result r = runTessel(c.words);
        SCOPED_TRACE(r.out + r.err);
        EXPECT_EQ(r.status, 0);
        EXPECT_NE(r.out.find("latency: " + std::to_string(c.total) + " samples"),
                  std::string::npos);
    }
}

TEST(TesselCli, ParamsListsEveryParameterAsTextAndJson) {
    const Result text = runTessel({"params"});
    ASSERT_EQ(text.status, 0) << text.err;
    EXPECT_EQ(std::count(text.out.begin(), text.out.end(), '\n'), 151);
    EXPECT_NE(text.out.find("Processing Mode"), std::string::npos);
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
    EXPECT_EQ(json.out.front(), '[');
    EXPECT_NE(json.out.find("\"kind\": \"indexed\""), std::string::npos);
    EXPECT_NE(json.out.find("\"automatable\": false"), std::string::npos);
}

TEST(TesselCli, ParamShowsValueDomainsAndParsesText) {
    struct Case {
        std::vector<std::string> words;
        std::string expected;  // a line the output must contain
    };
    const Case cases[] = {
        {{"param", "Band 1 Threshold", "--parse", "-20 dB"}, "linear:     -20\n"},
        {{"param", "6", "--parse", "-20 dB"}, "Band 1 Threshold (id 6)"},
        {{"param", "band 1 threshold"}, "Band 1 Threshold (id 6)"},
        {{"param", "Oversampling"}, "help:       The Oversampling button sets how many times"},
        {{"param", "Processing Mode", "--parse", "Minimum Phase"}, "text:       Minimum Phase\n"},
        {{"param", "Processing Mode", "--normalized", "0"}, "text:       Linear Phase\n"},
        {{"param", "Band 1 Low Slope", "--parse", "30"}, "text:       30.0 dB/oct\n"},
        // Minimum Phase snaps slopes to the crossover slopes.
        {{"param", "Band 1 Low Slope", "--mode", "minimum", "--parse", "30"},
         "text:       36.0 dB/oct\n"},
    };
    for (const Case& c : cases) {
        const Result r = runTessel(c.words);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find(c.expected), std::string::npos) << r.out;
    }
    const Result unparsable = runTessel({"param", "Band 1 Threshold", "--parse", "loud"});
    EXPECT_EQ(unparsable.status, 1);
    EXPECT_NE(unparsable.err.find("does not parse"), std::string::npos);
    EXPECT_EQ(std::count(unparsable.err.begin(), unparsable.err.end(), '\n'), 1);
}

TEST(TesselCli, LayoutShowsModelBandsCrossoversAndResponses) {
    // 100 Hz .. 1 kHz gets inactive model bands either side; 2 .. 3 kHz is widened to 0.8
    // octave; 1 kHz .. 2 kHz is a gap wide enough to be a band of its own.
    const Result r =
        runTessel({"layout", "--mode", "minimum", "--response", "100-1000@12/41.9", "2000-3000"});
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* expected :
         {"model bands: 5, crossovers: 4",
          "band 1      100.0 Hz .. 1000.0 Hz    active   user band 1",
          "band 2     1000.0 Hz .. 2.000 kHz    inactive", "3.482 kHz .. Nyquist      inactive",
          "crossover 1  at 1000.0 Hz    41.9 dB/oct (filters run at 36 dB/oct)"}) {
        EXPECT_NE(r.out.find(expected), std::string::npos) << expected << "\n" << r.out;
    }
    // Every response row ends with the sum of the model bands: 0 dB.
    const std::size_t table = r.out.find("response (dB):");
    ASSERT_NE(table, std::string::npos);
    int rows = 0;
    for (std::size_t at = r.out.find(" 0.00\n", table); at != std::string::npos;
         at = r.out.find(" 0.00\n", at + 1))
        ++rows;
    EXPECT_EQ(rows, 10);
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
        EXPECT_NE(r.status, 0) << r.out;
        EXPECT_TRUE(r.out.empty());
        EXPECT_FALSE(r.err.empty());
    }
    const Result help = runTessel({"latency", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("usage: tessel latency"), std::string::npos);
}

}  // namespace
}  // namespace tessel::cli
