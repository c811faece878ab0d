#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "AudioFile.h"
#include "TesselCli.h"
#include "common/ScratchFolder.h"

// `tessel process` end to end, through files: alignment and length in every mode, formats kept,
// output independent of the block size, and every bad input refused without an output file.

namespace tessel::cli {
namespace {

namespace fs = std::filesystem;

using Scratch = tessel::testing::ScratchFolder;

std::tuple<int, std::string, std::string> tessel(std::vector<std::string> words) {
    std::ostringstream out, err;
    words.insert(words.begin(), "process");
    const int status = run(words, out, err);
    return {status, out.str(), err.str()};
}

// Noise bursts over a quiet bed, with an impulse at `impulseAt` (none when 0).
AudioData signal(int channels, double rateHz, std::size_t frames, std::size_t impulseAt = 0) {
    AudioData a{rateHz, std::vector<std::vector<float>>(static_cast<std::size_t>(channels),
                                                        std::vector<float>(frames))};
    uint32_t seed = 12345;
    for (std::size_t n = 0; n < frames; ++n) {
        const float gain = (n / 4800) % 2 == 0 ? 0.5f : 0.02f;
        for (auto& ch : a.channels) {
            seed = seed * 1664525u + 1013904223u;
            ch[n] =
                impulseAt != 0 ? 0.0f : gain * (static_cast<float>(seed >> 8) / 8388608.0f - 1.0f);
        }
    }
    for (auto& ch : a.channels)
        if (impulseAt != 0) ch[impulseAt] = 0.9f;
    return a;
}

void write(const std::string& path, const AudioData& audio, int format) {
    std::string error;
    ASSERT_TRUE(writeAudioFile(path, audio, AudioFormat{format}, error)) << error;
}

AudioData read(const std::string& path, AudioFormat* format = nullptr) {
    AudioData audio;
    AudioFormat f;
    std::string error;
    EXPECT_TRUE(readAudioFile(path, audio, f, error)) << error;
    if (format != nullptr) *format = f;
    return audio;
}

const std::vector<std::string> kBand = {"--set", "Band 1 State=Enabled",
                                        "--set", "Band 1 Low Crossover=200 Hz",
                                        "--set", "Band 1 High Crossover=2000 Hz",
                                        "--set", "Band 1 Threshold=-40 dB",
                                        "--set", "Band 1 Range=-12 dB"};

// An impulse comes out at its own sample, in every mode, with lookahead and oversampling, at
// 44.1 and 48 kHz, and the output has the input's length and channel count.
TEST(ProcessCommand, OutputLinesUpWithTheInputInEveryMode) {
    const Scratch file;
    constexpr std::size_t kAt = 3000;
    write(file("impulse.wav"), signal(2, 48000.0, 24000, kAt), SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    write(file("mono.wav"), signal(1, 44100.0, 20000, kAt), SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    for (const char* mode : {"Linear Phase", "Minimum Phase", "Dynamic Phase"}) {
        for (const char* oversampling : {"Off", "4x"}) {
            for (const char* input : {"impulse.wav", "mono.wav"}) {
                std::vector<std::string> words = {file(input),
                                                  file("out.wav"),
                                                  "--quiet",
                                                  "--set",
                                                  std::string("Processing Mode=") + mode,
                                                  "--set",
                                                  std::string("Oversampling=") + oversampling,
                                                  "--set",
                                                  "Lookahead Enabled=On"};
                words.insert(words.end(), kBand.begin(), kBand.end());
                const auto [status, out, err] = tessel(words);
                ASSERT_EQ(status, 0) << err;
                const AudioData in = read(file(input)), result = read(file("out.wav"));
                ASSERT_EQ(result.channels.size(), in.channels.size());
                for (const std::vector<float>& ch : result.channels) {
                    ASSERT_EQ(ch.size(), in.frames());
                    const auto peak = std::max_element(ch.begin(), ch.end(), [](float a, float b) {
                        return std::abs(a) < std::abs(b);
                    });
                    // The crossover tree's sum is an all-pass: its peak may trail by a sample.
                    const std::ptrdiff_t slack = std::string(mode) == "Minimum Phase" ? 1 : 0;
                    EXPECT_LE(std::abs(peak - ch.begin() - static_cast<std::ptrdiff_t>(kAt)), slack)
                        << mode << ", oversampling " << oversampling << ", " << input;
                }
            }
        }
    }
}

// The input's container and sample type are kept unless --format says otherwise, and any block
// size gives the same output.
TEST(ProcessCommand, FormatsAreKeptAndBlockSizesDoNotMatter) {
    const Scratch file;
    const AudioData noise = signal(2, 48000.0, 30000);
    const std::tuple<const char*, int, std::vector<std::string>, int> formats[] = {
        {"pcm24.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, {}, SF_FORMAT_WAV | SF_FORMAT_PCM_24},
        {"pcm16.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, {}, SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
        {"float.aiff", SF_FORMAT_AIFF | SF_FORMAT_FLOAT, {}, SF_FORMAT_AIFF | SF_FORMAT_FLOAT},
        {"to-flac.wav",
         SF_FORMAT_WAV | SF_FORMAT_PCM_24,
         {"--format", "flac"},
         SF_FORMAT_FLAC | SF_FORMAT_PCM_24},
    };
    for (const auto& [name, format, extra, expected] : formats) {
        write(file(name), noise, format);
        std::vector<std::string> words = {file(name), file(std::string("out-") + name), "--quiet"};
        words.insert(words.end(), extra.begin(), extra.end());
        ASSERT_EQ(std::get<0>(tessel(words)), 0) << name;
        AudioFormat written;
        EXPECT_EQ(read(file(std::string("out-") + name), &written).frames(), noise.frames());
        EXPECT_EQ(written.code, expected) << name;
    }

    write(file("noise.wav"), noise, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    std::vector<std::vector<float>> first;
    for (const char* block : {"512", "1", "17", "4096"}) {
        std::vector<std::string> words = {file("noise.wav"),
                                          file("block.wav"),
                                          "--quiet",
                                          "--block",
                                          block,
                                          "--set",
                                          "Processing Mode=Linear Phase"};
        words.insert(words.end(), kBand.begin(), kBand.end());
        ASSERT_EQ(std::get<0>(tessel(words)), 0);
        const AudioData out = read(file("block.wav"));
        if (first.empty()) first = out.channels;
        float worst = 0.0f;
        for (std::size_t c = 0; c < 2; ++c)
            for (std::size_t n = 0; n < noise.frames(); ++n)
                worst = std::max(worst, std::abs(out.channels[c][n] - first[c][n]));
        EXPECT_LT(worst, 1e-6f) << "block " << block;
    }
}

// Each bad input gives one line with its reason, a non-zero status and no output file.
TEST(ProcessCommand, BadInputIsRefusedWithoutAnOutputFile) {
    const Scratch file;
    write(file("in.wav"), signal(2, 48000.0, 4800), SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    write(file("three.wav"), signal(3, 48000.0, 4800), SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    write(file("side44.wav"), signal(2, 44100.0, 4800), SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    write(file("short.wav"), signal(1, 48000.0, 4000), SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    std::ofstream(file("text.wav")) << "not audio";
    std::ofstream(file("broken.vtp")) << "[Preset]\nSignature=VTSl\nVersion=9\n";
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        {{file("missing.wav"), file("out.wav")}, "cannot read"},
        {{file("text.wav"), file("out.wav")}, "cannot read"},
        {{file("three.wav"), file("out.wav")}, "3 channels"},
        {{file("in.wav"), file("out.wav"), "--sidechain", file("side44.wav")}, "44100 Hz"},
        {{file("in.wav"), file("out.wav"), "--sidechain", file("short.wav")}, "4000 frames"},
        {{file("in.wav"), file("out.wav"), "--set", "Band 9 Threshold=-3 dB"},
         "Unknown parameter: Band 9 Threshold"},
        {{file("in.wav"), file("out.wav"), "--set", "Mix=loud"}, "does not parse for Mix"},
        {{file("in.wav"), file("out.wav"), "--preset", file("broken.vtp")},
         "Unsupported preset version: 9"},
        {{file("in.wav"), file("out.wav"), "--format", "mp9"}, "--format must be"},
        {{file("in.wav"), file("out.wav"), "--block", "0"}, "--block"},
    };
    for (const auto& [words, message] : cases) {
        const auto [status, out, err] = tessel(words);
        EXPECT_NE(status, 0) << message;
        EXPECT_NE(err.find(message), std::string::npos) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        EXPECT_FALSE(fs::exists(file("out.wav"))) << message;
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(file.dir), {}), 6);  // no temporaries left
}

}  // namespace
}  // namespace tessel::cli
