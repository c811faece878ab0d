#include <gtest/gtest.h>

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

TEST(TesselCli, BadRequestsPrintOneLineAndExitNonZero) {
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"frobnicate"},
        {"latency", "--rate", "fast"},
        {"latency", "--rate", "nan"},
        {"latency", "--rate", "44100x"},
        {"latency", "--rate"},
        {"latency", "--mode", "linearish"},
        {"latency", "--oversampling", "8x"},
        {"latency", "--lookahead", "maybe"},
        {"latency", "--colour", "blue"},
        {"latency", "--help=yes"},
        {"latency", "extra"},
    };
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
