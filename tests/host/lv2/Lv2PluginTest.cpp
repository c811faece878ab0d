#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "common/AllocationCounter.h"
#include "engine/tessel/ProcessorRig.h"
#include "host/lv2/Lv2PluginAdapter.h"
#include "host/lv2/Lv2Ports.h"
#include "host/lv2/Lv2Turtle.h"
#include "lv2host/LilvHost.h"
#include "plugin/PresetDocument.h"

// Tessel's LV2 plug-ins driven through lilv as a strict host would: the bundle as built, every
// variant, any block length, state, presets, program changes and automation.

namespace tessel::testing {
namespace {

using Signal = std::vector<std::vector<float>>;
using lv2host::LilvHost;
constexpr const char* kStereo = "urn:tessel:stereo";

/// One instance with planar buffers, run in host blocks of any size.
struct PluginRig {
    explicit PluginRig(const char* uri = kStereo, double rateHz = 48000.0)
        : instance(host().instantiate(uri, rateHz, 8192)) {
        if (instance == nullptr) throw std::runtime_error(host().lastError());
    }
    static LilvHost& host() {
        // Only the bundle just built: never a copy installed in ~/.lv2.
        static const int onlyThisBundle = setenv("LV2_PATH", TESSEL_LV2_DIR, 1);
        static LilvHost shared(TESSEL_LV2_BUNDLE);
        (void)onlyThisBundle;
        return shared;
    }
    void set(const std::string& symbol, float value) { instance->setControl(symbol, value); }
    /// Four compressing bands, set through the ports in the units a user reads.
    void compress(float mode) {
        const float edges[] = {30.0f, 150.0f, 1000.0f, 5000.0f, 30000.0f};
        for (int b = 0; b < 4; ++b) {
            const std::string band = "band_" + std::to_string(b + 1) + "_";
            set(band + "state", 1.0f);
            set(band + "low_crossover", edges[b]);
            set(band + "high_crossover", edges[b + 1]);
            set(band + "threshold", -30.0f);
            set(band + "ratio", 4.0f);
            set(band + "range", -12.0f);
        }
        set("processing_mode", mode);
    }
    /// Runs `in` (as many channels as the plug-in's inputs) in blocks of `block`.
    Signal run(const Signal& in, uint32_t block, const float* sideChain = nullptr,
               bool inPlace = false) {
        Signal out(instance->audioOutputs(), std::vector<float>(in[0].size()));
        for (std::size_t at = 0; at < in[0].size(); at += block) {
            const auto n = static_cast<uint32_t>(std::min<std::size_t>(block, in[0].size() - at));
            const float* ins[2] = {};
            float* outs[2] = {};
            for (uint32_t c = 0; c < instance->audioOutputs(); ++c) {
                outs[c] = out[c].data() + at;
                if (inPlace) std::copy_n(in[c].data() + at, n, outs[c]);
            }
            for (uint32_t c = 0; c < instance->audioInputs(); ++c)
                ins[c] = inPlace ? outs[c] : in[c].data() + at;
            instance->run(ins, sideChain != nullptr ? sideChain + at : nullptr, outs, n);
        }
        return out;
    }
    std::unique_ptr<LilvHost::Instance> instance;
};

double maxDifference(const Signal& a, const Signal& b) {
    double d = 0.0;
    for (std::size_t c = 0; c < a.size(); ++c)
        for (std::size_t i = 0; i < a[c].size(); ++i)
            d = std::max(d, std::abs(static_cast<double>(a[c][i]) - b[c][i]));
    return d;
}

TEST(Lv2Plugin, PortsFollowTheParameterTable) {
    PresetDocument document;
    const lv2::ParameterPorts ports(document.tessel());
    std::set<std::string> symbols;
    for (const lv2::ParameterPort& port : ports.ports()) {
        ASSERT_FALSE(port.symbol.empty()) << port.name;
        EXPECT_TRUE(symbols.insert(port.symbol).second) << "duplicate " << port.symbol;
        // Minimum, default and maximum go to the port and back to the same text.
        const AbstractPluginParameter& p = *document.tessel().allParameters()[port.identifier];
        for (const float v : {p.minimum(), p.defaultValue(), p.maximum()}) {
            const float back =
                ports.valueOfPort(port.identifier, ports.portOfValue(port.identifier, v));
            EXPECT_EQ(p.textOfValue(back), p.textOfValue(v)) << port.name;
        }
    }
    for (const lv2::VariantInfo& variant : lv2::kVariants) {
        PluginRig rig(variant.uri);
        EXPECT_EQ(rig.instance->audioInputs(), variant.audioInputs);
        EXPECT_EQ(rig.instance->audioOutputs(), variant.audioOutputs);
        EXPECT_TRUE(rig.instance->hasSideChain());
        EXPECT_TRUE(rig.instance->hasMidiInput());
        for (const lv2::ParameterPort& port : ports.ports()) {
            ASSERT_TRUE(rig.instance->hasPort(port.symbol)) << port.symbol;
            EXPECT_EQ(rig.instance->range(port.symbol).defaultValue, port.defaultValue);
        }
    }
}

// Any block length gives the same output, at every rate, in every variant; so do in-place
// buffers; a missing side chain reads as silence. Dynamic Phase agrees within 2e-4 (-74 dBFS)
// rather than to the last bits: its shelving stages design their moving gains in batches that
// end where a block ends, and a batch's range picks the design's shortcut.
TEST(Lv2Plugin, BlockLengthsRatesAndVariantsAgree) {
    struct Case {
        const char* uri;
        double rateHz;
        float mode;
    };
    for (const Case& c :
         {Case{kStereo, 44100.0, 0}, Case{kStereo, 48000.0, 1}, Case{kStereo, 96000.0, 2},
          Case{"urn:tessel:mono", 48000.0, 0}, Case{"urn:tessel:mono-to-stereo", 48000.0, 1}}) {
        SCOPED_TRACE(std::string(c.uri) + " at " + std::to_string(c.rateHz));
        const auto in = ProcessorRig::noise(2, 12000, 0.5f, 3);
        const double tolerance = c.mode == 1 ? 2e-4 : 1e-6;
        Signal reference;
        for (const uint32_t block : {4096u, 1u, 7u, 64u, 333u}) {
            PluginRig rig(c.uri, c.rateHz);
            rig.compress(c.mode);
            const Signal out = rig.run(in, block);
            if (reference.empty()) {
                reference = out;
                // The bands compress: the loud noise comes out more than 3 dB quieter.
                double in2 = 0.0, out2 = 0.0;
                for (std::size_t i = 0; i < in[0].size(); ++i) {
                    in2 += in[0][i] * in[0][i];
                    out2 += out[0][i] * out[0][i];
                }
                ASSERT_LT(out2, 0.5 * in2);
                continue;
            }
            EXPECT_LT(maxDifference(out, reference), tolerance) << "block " << block;
        }
        PluginRig inPlace(c.uri, c.rateHz);
        inPlace.compress(c.mode);
        EXPECT_LT(maxDifference(inPlace.run(in, 333, nullptr, true), reference), tolerance);
        // The bypass crossfade and dry path in place too: bypassed from the third block on.
        PluginRig bypassed[2] = {PluginRig(c.uri, c.rateHz), PluginRig(c.uri, c.rateHz)};
        Signal outs[2];
        for (int k = 0; k < 2; ++k) {
            bypassed[k].compress(c.mode);
            bypassed[k].run(in, 333, nullptr, k == 1);
            bypassed[k].set("bypass", 1.0f);
            outs[k] = bypassed[k].run(in, 333, nullptr, k == 1);
        }
        EXPECT_LT(maxDifference(outs[0], outs[1]), 1e-6);
        const std::vector<float> silence(in[0].size());
        PluginRig silent(c.uri, c.rateHz);
        silent.compress(c.mode);
        EXPECT_LT(maxDifference(silent.run(in, 256, silence.data()), reference), tolerance);
    }
}

// The latency port is where an impulse comes out, from the first run on, and a run of zero
// frames reports it too.
TEST(Lv2Plugin, LatencyPortIsTheImpulseDelay) {
    struct Case {
        float mode, lookahead, oversampling;
    };
    for (const Case& c : {Case{0, 1, 0}, Case{1, 1, 0}, Case{2, 1, 0}, Case{2, 0, 0}, Case{0, 1, 2},
                          Case{1, 0, 1}}) {
        PluginRig rig;
        rig.set("processing_mode", c.mode);
        rig.set("lookahead_enabled", c.lookahead);
        rig.set("oversampling", c.oversampling);
        const float* noInput[2] = {};
        float* noOutput[2] = {};
        rig.instance->run(noInput, nullptr, noOutput, 0);
        const float latency = rig.instance->control("latency");
        const Signal out = rig.run(ProcessorRig::impulse(2, 16384, 100), 256);
        const auto peak = std::max_element(out[0].begin(), out[0].end(), [](float a, float b) {
            return std::abs(a) < std::abs(b);
        });
        EXPECT_NEAR(static_cast<float>(peak - out[0].begin()) - 100.0f, latency,
                    c.mode == 2 ? 1 : 0)
            << "mode " << c.mode << " lookahead " << c.lookahead << " oversampling "
            << c.oversampling;
    }
}

// Saved state restores every parameter bit for bit; a state without our blob (or with a foreign
// one) leaves the port values in charge.
TEST(Lv2Plugin, StateRoundTripsAndToleratesForeignBlobs) {
    std::mt19937 random(7);
    PluginRig original;
    const std::vector<std::string> symbols = original.instance->controlInputs();
    for (const std::string& symbol : symbols) {
        const LilvHost::Instance::Range r = original.instance->range(symbol);
        original.set(symbol, std::uniform_real_distribution<float>(r.minimum, r.maximum)(random));
    }
    const auto in = ProcessorRig::noise(2, 4096, 0.3f, 5);
    const Signal reference = original.run(in, 512);
    const std::string saved = original.instance->saveState();

    PluginRig restored;
    ASSERT_TRUE(restored.instance->restoreState(saved));
    restored.run(in, 512);
    EXPECT_EQ(restored.instance->saveState(), saved);

    // Without the blob, the restored port values make the state.
    const std::size_t key = saved.find("urn:tessel:state");
    ASSERT_NE(key, std::string::npos);
    for (const std::string replacement : {"urn:tessel:other", "urn:tessel:state"}) {
        std::string foreign = saved;
        foreign.replace(key, 16, replacement);
        if (replacement == std::string("urn:tessel:state")) {
            // Same key, damaged bytes: the base64 body (a long string) cut to a bare header.
            const std::size_t body = foreign.find("\"\"\"", key) + 3;
            foreign.replace(body, foreign.find("\"\"\"", body) - body, "VlRCUw==");
        }
        PluginRig fallback;
        ASSERT_TRUE(fallback.instance->restoreState(foreign));
        EXPECT_LT(maxDifference(fallback.run(in, 512), reference), 1e-4) << replacement;
    }
}

/// The output of a preset file's values through the processor itself.
Signal renderPreset(const std::string& file, const Signal& in) {
    PresetDocument document;
    EXPECT_EQ(document.load(file).code, 0) << file;
    ProcessorRig rig;
    const auto values = document.parameters().values();
    for (const bool indexed : {true, false})
        for (std::size_t i = 0; i < values.size(); ++i)
            if (document.tessel().allParameters()[i]->discrete() == indexed)
                rig.p().setParameter(static_cast<int32_t>(i), values[i],
                                     GenericPluginProcessor::kFromHost);
    return rig.run(in, 256);
}

// Every bundle preset loads through the host and sounds as its preset file does; MIDI program n
// selects the n-th preset (file-name order) at the message's sample.
TEST(Lv2Plugin, PresetsAndProgramChangesMatchThePresetFiles) {
    const auto presets = PluginRig::host().presets(kStereo);
    ASSERT_EQ(presets.size(), lv2::factoryPresets().size());
    const auto in = ProcessorRig::noise(2, 24000, 0.5f, 9);
    for (std::size_t n = 0; n < lv2::factoryPresets().size(); ++n) {
        const std::string name = lv2::factoryPresets()[n].name;
        SCOPED_TRACE(name);
        const Signal expected =
            renderPreset(std::string(TESSEL_PRESET_DIR) + "/" + name + ".vtp", in);
        PluginRig loaded;
        ASSERT_TRUE(loaded.instance->loadPreset(lv2::presetUri(name)));
        EXPECT_LT(maxDifference(loaded.run(in, 256), expected), 2e-4);
        PluginRig programmed;
        programmed.instance->queueMidi(0, {0xC0, static_cast<uint8_t>(n)});
        EXPECT_LT(maxDifference(programmed.run(in, 256), expected), 2e-4);
    }
}

// Random port values and automation over noise never give a non-finite or runaway output, and
// steady automation of continuous ports with MIDI traffic never allocates inside run().
TEST(Lv2Plugin, AutomationIsBoundedAndRealTimeSafe) {
    std::mt19937 random(11);
    PluginRig rig;
    rig.compress(1.0f);
    const std::vector<std::string> symbols = rig.instance->controlInputs();
    const auto in = ProcessorRig::noise(2, 256, 1.0f, 13);
    Signal out(2, std::vector<float>(256));
    const float* ins[2] = {in[0].data(), in[1].data()};
    float* outs[2] = {out[0].data(), out[1].data()};
    for (int block = 0; block < 600; ++block) {
        for (int k = 0; k < 4; ++k) {
            const std::string& symbol = symbols[random() % symbols.size()];
            const LilvHost::Instance::Range r = rig.instance->range(symbol);
            rig.set(symbol, std::uniform_real_distribution<float>(r.minimum, r.maximum)(random));
        }
        rig.instance->run(ins, nullptr, outs, 1 + random() % 256);
        for (const auto& channel : out)
            for (const float x : channel)
                ASSERT_TRUE(std::isfinite(x) && std::abs(x) < 1e7f) << "block " << block;
    }
    // Continuous ports automated every block, with MIDI controllers, in Dynamic Phase.
    PluginRig steady;
    steady.compress(1.0f);
    const std::string threshold = "band_1_threshold", crossover = "band_2_high_crossover";
    const std::string mix = "mix";
    const auto allocations = steadyStateAllocations(200, 400, [&](int i) {
        steady.set(threshold, -40.0f + static_cast<float>(i % 30));
        steady.set(crossover, 800.0f + static_cast<float>(i % 400));
        steady.set(mix, static_cast<float>(i % 150));
        steady.instance->queueMidi(5, {0xB0, 7, static_cast<uint8_t>(i % 128)});
        steady.instance->run(ins, ins[0], outs, 256);
    });
    EXPECT_EQ(allocations, 0u);
    // The counter sees inside the module: a switch to Linear Phase builds its filters.
    steady.set("processing_mode", 0.0f);
    const AllocationScope rebuild;
    steady.instance->run(ins, ins[0], outs, 256);
    EXPECT_GT(rebuild.allocations(), 0u);
}

}  // namespace
}  // namespace tessel::testing
