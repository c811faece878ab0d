#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <tuple>

#include "TesselCli.h"

namespace tessel::cli {
namespace {

namespace fs = std::filesystem;
const std::string kDir = fs::temp_directory_path() / ("tessel-preset-" + std::to_string(getpid()));

std::tuple<int, std::string, std::string> preset(std::vector<std::string> words) {
    fs::create_directories(kDir);
    words.insert(words.begin(), "preset");
    std::ostringstream out, err;
    return {run(words, out, err), out.str(), err.str()};  // evaluated in this order
}

TEST(PresetCommand, NewAndShowGiveTypedTextsBackAndBadInputFailsWithOneLineWritingNothing) {
    const std::string a = kDir + "/a", out = kDir + "/out";
    // Processing Mode comes first, so the slope typed after it snaps from 30 to 36 dB/oct.
    preset({"new", a, "--set", "Processing Mode=Minimum Phase", "--set", "Band 2 Low Slope=30",
            "--set", "band 2 state=enabled", "--tags", "x,y"});
    EXPECT_EQ(std::get<1>(preset({"show", a, "--changed"})),
              "form: text\nversion: 3\ntags: x,y\nchanged parameters: 3 of 151\n"
              " 22  Band 2 State                      Enabled\n"
              " 24  Band 2 Low Slope                  36.0 dB/oct\n"
              "139  Processing Mode                   Minimum Phase\n");
    std::ofstream(kDir + "/foreign").write("VTBS\1\0\0\0\0\0\0\0", 12);  // a parameter block
    const std::pair<std::vector<std::string>, const char*> bad[] = {
        {{"convert", kDir + "/missing", out}, "cannot open"},
        {{"convert", __FILE__, out}, "Invalid preset header."},  // this source file
        {{"convert", kDir + "/foreign", out}, "Unknown preset signature"},
        {{"new", out, "--set", "Mix=50 %", "--set", "Gain=1"}, "Unknown parameter: Gain"},
        {{"new", out, "--set", "Band 1 Threshold=nan"}, "does not parse for Band 1 Threshold"}};
    for (const auto& [words, message] : bad) {
        const auto [status, output, error] = preset(words);
        EXPECT_TRUE(status == 1 && output.empty() && error.find(message) < error.size()) << error;
        EXPECT_TRUE(std::count(error.begin(), error.end(), '\n') == 1 && !fs::exists(out));
    }
    fs::remove_all(kDir);
}

// Our starting presets load and describe themselves, and text to binary to text keeps every value.
TEST(PresetCommand, StartingPresetsLoadDescribeThemselvesAndConvertWithoutLoss) {
    for (const fs::directory_entry& entry : fs::directory_iterator(TESSEL_PRESET_DIR)) {
        const std::string file = entry.path().string(), binary = kDir + "/b", text = kDir + "/t";
        const auto [status, out, err] = preset({"show", file});
        EXPECT_EQ(out.find("form: text\nversion: 3\nauthor: Tessel\ndescription: "), 0u) << err;
        EXPECT_TRUE(out.find("\ntags: ") < out.size()) << file;
        EXPECT_NE(std::get<2>(preset({"convert", file, binary})).find("not keep Author"), out.npos);
        preset({"convert", binary, text});
        const std::string back = std::get<1>(preset({"show", text}));
        EXPECT_EQ(out.substr(out.find("parameters:")), back.substr(back.find("parameters:")));
    }
    EXPECT_GE(std::distance(fs::directory_iterator(TESSEL_PRESET_DIR), {}), 5);
    fs::remove_all(kDir);
}

}  // namespace
}  // namespace tessel::cli
