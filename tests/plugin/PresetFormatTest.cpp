#include <gtest/gtest.h>
#include <unistd.h>

#include <bit>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "common/ScratchFolder.h"
#include "plugin/PluginStateBlock.h"
#include "plugin/PresetDocument.h"
#include "plugin/PresetText.h"

namespace tessel {
namespace {

namespace fs = std::filesystem;

using Scratch = testing::ScratchFolder;

void writeFile(const std::string& path, std::string_view bytes) {
    std::ofstream(path, std::ios::binary).write(bytes.data(), std::ssize(bytes));
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

AbstractPluginParameter& parameter(PresetDocument& document, int identifier) {
    return *document.presetParameters().parameter(identifier);
}

// Every parameter at a random position of its range, so no value is its default by chance.
void randomise(PresetDocument& document, uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    for (int id = 0; id < TesselParameters::kParameterCount; ++id) {
        AbstractPluginParameter& p = parameter(document, id);
        p.setValue(p.valueOfNormalised(unit(random)), 0);
    }
}

std::vector<uint32_t> bitsOf(PresetDocument& document) {
    std::vector<uint32_t> bits;
    for (int id = 0; id < TesselParameters::kParameterCount; ++id)
        bits.push_back(std::bit_cast<uint32_t>(parameter(document, id).currentValue()));
    return bits;
}

PresetLoadResult loadBytes(PresetDocument& document, std::string_view bytes) {
    return document.load(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
}

// A binary preset of the given version holding `count` values from `value(index)`.
template <typename ValueOf>
std::string binaryPreset(std::string_view signature, int version, int count, ValueOf value) {
    BinaryDataWriter w;
    w.writeHeader(signature, version);
    w.writeInt32(count);
    for (int i = 0; i < count; ++i)
        w.writeFloat(value(i));
    return {w.bytes().begin(), w.bytes().end()};
}

// Random parameter sets survive a file in either form bit for bit, and the text form carries
// the descriptive entries and other settings with every character that needs escaping.
TEST(PresetFormat, RandomParameterSetsRoundTripBitForBitInBothForms) {
    const Scratch scratch;
    for (const bool text : {false, true}) {
        for (uint32_t seed = 1; seed <= 20; ++seed) {
            PresetDocument written;
            randomise(written, seed);
            written.settings() = {{"AUTHOR", "Ann \"Q\" Lee"},
                                  {"DESCRIPTION", "two\nlines\r\\ and\ttab"},
                                  {"TAGS", "bus,glue"},
                                  {"Colour", " padded "},
                                  {"key=with equals", "x"},
                                  {"[not a section", "y"},
                                  {" edges\t", "z"}};
            const std::string path = scratch(text ? "p.txt.vtp" : "p.vtp");
            ASSERT_TRUE(written.save(path, text).ok);
            PresetDocument read;
            randomise(read, seed + 100);
            const PresetLoadResult result = read.load(path);
            ASSERT_EQ(result.code, 0) << result.message << " seed " << seed;
            EXPECT_EQ(read.loadedText(), text);
            EXPECT_EQ(read.loadedVersion(), 3);
            EXPECT_EQ(bitsOf(read), bitsOf(written)) << "text " << text << " seed " << seed;
            // Binary presets of this product carry no settings: a load clears them.
            EXPECT_EQ(read.settings(), text ? written.settings() : CustomSettings{});
        }
    }
}

// Old binary presets are upgraded by the built-in maps: version 1 lacked every Ratio, Mix and
// three analyzer parameters; version 2 lacked Mix and Analyzer Side Chain.
TEST(PresetFormat, OldBinaryPresetsAreUpgradedByTheirMaps) {
    struct Case {
        int version, count;
        std::vector<std::pair<int, int>> moved;  // (old index, identifier now)
        std::vector<int> reset;
    };
    const Case cases[] = {
        {1,
         141,
         {{0, 0}, {7, 7}, {8, 9}, {21, 22}, {132, 140}, {140, 147}},
         {8, 30, 52, 74, 96, 118, 133, 148, 149, 150}},
        {2, 149, {{0, 0}, {132, 132}, {133, 134}, {148, 149}}, {133, 150}},
    };
    for (const Case& c : cases) {
        PresetDocument source;  // the values the old preset holds, placed where they go now
        randomise(source, 7);
        PresetDocument target;
        randomise(target, 8);
        std::vector<int> identifierOf;
        for (int id = 0; id < TesselParameters::kParameterCount; ++id)
            if (std::find(c.reset.begin(), c.reset.end(), id) == c.reset.end())
                identifierOf.push_back(id);
        ASSERT_EQ(std::ssize(identifierOf), c.count);
        const std::string bytes = binaryPreset("VTSl", c.version, c.count, [&](int i) {
            return parameter(source, identifierOf[i]).currentValue();
        });
        const PresetLoadResult result = loadBytes(target, bytes);
        ASSERT_EQ(result.code, 0) << result.message;
        EXPECT_EQ(target.loadedVersion(), c.version);
        for (const auto& [old, now] : c.moved)
            EXPECT_EQ(parameter(target, now).currentValue(), parameter(source, now).currentValue())
                << "version " << c.version << " old value " << old;
        for (const int id : c.reset)
            EXPECT_EQ(parameter(target, id).currentValue(), parameter(target, id).defaultValue())
                << "version " << c.version << " new parameter " << id;
        for (int id = 0; id < TesselParameters::kParameterCount; ++id) {
            if (std::find(c.reset.begin(), c.reset.end(), id) == c.reset.end()) {
                ASSERT_EQ(parameter(target, id).currentValue(),
                          parameter(source, id).currentValue());
            }
        }
    }
}

// Every way a file can be wrong gives its message; values applied before an error stay.
TEST(PresetFormat, BadFilesGiveTheirMessages) {
    const auto values = [](int) { return 0.5f; };
    const std::string v3 = binaryPreset("VTSl", 3, 151, values);
    const std::pair<std::string, std::string> cases[] = {
        {binaryPreset("VTSl", 4, 151, values), "Unsupported preset version: 4"},
        {binaryPreset("VTSl", 0, 151, values), "Unsupported preset version: 0"},
        {binaryPreset("ABCD", 2, 151, values),
         "Unknown preset signature (likely intended for another Vantrel plug-in): ABCD"},
        {v3.substr(0, 100), "Invalid file format."},
        {v3.substr(0, 8) + std::string("\xff\xff\xff\x7f", 4) + v3.substr(12, 30),
         "Invalid file format."},
        {"", "Invalid preset header."},
        {"VTSl", "Invalid preset header."},
        {"garbage\x01\xff that is no preset", "Invalid preset header."},
        {"[Parameters]\nBand 1 Threshold=-20\n", "Invalid preset header."},
        {"[Preset]\nSignature=VTSl\nVersion=2\n", "Unsupported preset version: 2"},
        {"[Preset]\nSignature=VTXX\nVersion=3\n",
         "Unknown preset signature (likely intended for another Vantrel plug-in): VTXX"},
        {"[Preset]\nSignature=VTSl\nVersion=3\n[Parameters]\nNo Such Thing=1\nMix=0.25\n",
         "Unknown parameter: No Such Thing"},
        {"[Preset]\nSignature=VTSl\nVersion=3\n[Parameters]\nMix=half\n", "Invalid file format."},
        {"[Preset]\nSignature=VTSl\nVersion=3\n[Settings]\n=x\n", "Invalid file format."},
        {v3.substr(0, 8) + std::string("\xff\xff\xff\xff", 4), "Invalid file format."},
    };
    for (const auto& [bytes, message] : cases) {
        PresetDocument document;
        const PresetLoadResult result = loadBytes(document, bytes);
        EXPECT_EQ(result.code, -1) << message;
        EXPECT_EQ(result.message, message) << bytes.substr(0, 40);
        for (int id = 0; id < TesselParameters::kParameterCount; ++id) {
            const float v = parameter(document, id).currentValue();
            ASSERT_TRUE(std::isfinite(v) && v >= parameter(document, id).minimum() &&
                        v <= parameter(document, id).maximum());
        }
    }
    PresetDocument document;  // the unknown name did not stop the load
    loadBytes(document, "[Preset]\nSignature=VTSl\nVersion=3\n[Parameters]\nWho=1\nMix=0.25\n");
    EXPECT_EQ(document.tessel().mix.currentValue(), 0.25f);
}

// The text reader: the last of two entries wins, an omitted parameter resets, any line ending
// and indentation reads, and each syntax error has its number.
TEST(PresetFormat, TextPresetsReadLeniently) {
    PresetDocument document;
    document.tessel().inputLevel.setValue(0.5f, 0);
    const PresetLoadResult result = loadBytes(
        document,
        "  [ Preset ]\r\n\tSignature = VTSl\rVersion=3\r\n\r\n[Parameters]\n Mix = 0.5\nMix=1.5\n"
        "Band 1 Threshold=" +
            std::to_string(parameter(document, 6).valueFromDisplay(-30.0f)) +
            "\n[Other]\nMix=0.1\n");
    ASSERT_EQ(result.code, 0) << result.message;
    EXPECT_TRUE(document.loadedText());
    EXPECT_EQ(document.tessel().mix.currentValue(), 1.5f);
    EXPECT_EQ(document.tessel().inputLevel.currentValue(),
              document.tessel().inputLevel.defaultValue());
    EXPECT_NEAR(parameter(document, 6).displayOfValue(parameter(document, 6).currentValue()),
                -30.0f, 1e-4f);

    const std::pair<std::string, int> syntax[] = {
        {"[A]\n=value\n", PresetTextReader::kEmptyKey},
        {"[ ]\n", PresetTextReader::kEmptySectionName},
        {"[A]\nkey only\n", PresetTextReader::kMissingEquals},
        {"[A\n", PresetTextReader::kMissingBracket},
        {"[A] x\n", PresetTextReader::kTextAfterBracket},
        {"[A]\nkey only\n[B\n", PresetTextReader::kMissingEquals},  // the first one is kept
        {"[A] \n k = \"quoted  value\" \n", PresetTextReader::kNoError},
    };
    for (const auto& [text, error] : syntax)
        EXPECT_EQ(PresetTextReader(text).error(), error) << text;
    EXPECT_EQ(PresetTextReader("[A]\nk = \"quoted  value\"\n").section("A")->entries[0].value,
              "quoted  value");
}

// The parameter and state blocks: exact round trips, foreign blocks change nothing, shorter
// and older blocks default or clear what they lack.
TEST(PresetFormat, StateBlocksRoundTripAndOldOnesClearWhatTheyLack) {
    PresetDocument saved;
    randomise(saved, 3);
    BinaryDataWriter w;
    saved.writeParameterBlock(w);
    PresetDocument restored;
    BinaryDataReader r(w.bytes());
    ASSERT_TRUE(restored.readParameterBlock(r));
    EXPECT_EQ(bitsOf(restored), bitsOf(saved));

    PresetDocument shorter;  // ten values: the rest go to their defaults
    randomise(shorter, 4);
    const std::string ten =
        binaryPreset("VTBS", 1, 10, [&](int i) { return parameter(saved, i).currentValue(); });
    BinaryDataReader tenReader(std::span(reinterpret_cast<const uint8_t*>(ten.data()), ten.size()));
    ASSERT_TRUE(shorter.readParameterBlock(tenReader));
    EXPECT_EQ(parameter(shorter, 9).currentValue(), parameter(saved, 9).currentValue());
    EXPECT_EQ(parameter(shorter, 10).currentValue(), parameter(shorter, 10).defaultValue());
    const std::vector<uint32_t> before = bitsOf(shorter);
    BinaryDataReader foreign(w.bytes());  // a preset header is not a parameter block
    BinaryDataWriter presetHeader;
    presetHeader.writeHeader("VTSl", 1);
    BinaryDataReader wrong(presetHeader.bytes());
    EXPECT_FALSE(shorter.readParameterBlock(wrong));
    EXPECT_EQ(bitsOf(shorter), before);

    PluginStateBlock block{"Drum Bus", 4, false, "Kick", true, {{"AUTHOR", "me"}, {"x", "y"}}};
    BinaryDataWriter stateWriter;
    writePluginStateBlock(stateWriter, "VTSl", block);
    PluginStateBlock read;
    BinaryDataReader stateReader(stateWriter.bytes());
    ASSERT_TRUE(readPluginStateBlock(stateReader, "VTSl", read));
    EXPECT_EQ(std::tie(read.presetName, read.instanceNumber, read.automaticInstanceName,
                       read.instanceName, read.presetModified, read.customSettings),
              std::tie(block.presetName, block.instanceNumber, block.automaticInstanceName,
                       block.instanceName, block.presetModified, block.customSettings));
    BinaryDataWriter v1;  // version 1: no modified flag, no settings
    v1.writeHeader("VTSl", 1);
    v1.writeString("Old");
    v1.writeInt32(-1);
    v1.writeInt32(1);
    v1.writeString("");
    BinaryDataReader v1Reader(v1.bytes());
    ASSERT_TRUE(readPluginStateBlock(v1Reader, "VTSl", read));
    EXPECT_EQ(read.presetName, "Old");
    EXPECT_FALSE(read.presetModified.has_value());
    EXPECT_TRUE(read.customSettings.empty());
    const std::vector<uint8_t> cut(stateWriter.bytes().begin(), stateWriter.bytes().end() - 3);
    BinaryDataReader cutReader(cut);
    EXPECT_FALSE(readPluginStateBlock(cutReader, "VTSl", read));
    EXPECT_EQ(read.presetName, "Old");  // untouched
}

// A range save replaces only its identifiers in the file already there, in either form; without
// a file it saves everything; a save that cannot happen leaves the old file as it was.
TEST(PresetFormat, RangeSavesReplaceOnlyTheirRange) {
    const Scratch scratch;
    for (const bool text : {false, true}) {
        const std::string path = scratch(text ? "range.txt" : "range.bin");
        PresetDocument old;
        randomise(old, 11);
        old.settings() = {{"AUTHOR", "kept"}};
        ASSERT_TRUE(old.save(path, text).ok);
        PresetDocument now;
        randomise(now, 12);
        const PresetFormat format = PresetDocument::format(text);
        ASSERT_TRUE(savePresetFile(path, now.presetParameters(), {}, format, 22, 22).ok);
        PresetDocument read;
        ASSERT_EQ(read.load(path).code, 0);
        for (int id = 0; id < TesselParameters::kParameterCount; ++id)
            ASSERT_EQ(parameter(read, id).currentValue(),
                      parameter(id >= 22 && id < 44 ? now : old, id).currentValue())
                << "text " << text << " id " << id;
        if (text) {
            EXPECT_EQ(read.settings().at("AUTHOR"), "kept");
        }

        const std::string missing = scratch(text ? "new.txt" : "new.bin");
        ASSERT_TRUE(savePresetFile(missing, now.presetParameters(), {}, format, 22, 22).ok);
        ASSERT_EQ(read.load(missing).code, 0);
        EXPECT_EQ(bitsOf(read), bitsOf(now));
    }
    const std::string kept = scratch("kept.vtp");
    writeFile(kept, "precious");
    fs::create_directories(scratch("kept.vtp.tmp-" + std::to_string(::getpid())));
    EXPECT_FALSE(PresetDocument().save(kept, true).ok);
    EXPECT_EQ(readFile(kept), "precious");
}

// A .vtpresetmap file the library knows replaces the built-in map; a broken one makes its
// version unsupported rather than loading values to the wrong places.
TEST(PresetFormat, MapFilesOverrideBuiltInMapsAndBrokenOnesRefuse) {
    const Scratch scratch;
    const std::string mapPath = scratch("PresetMap_VTSl_2.vtpresetmap");
    const PresetMapLocator locator = [&](std::string_view name) {
        return name == "PresetMap_VTSl_2" ? mapPath : std::string();
    };
    PresetMap reversed{151, 151, {}, {}};  // an old version that stored the values backwards
    for (int i = 150; i >= 0; --i)
        reversed.routes.push_back(i);
    BinaryDataWriter w;
    writePresetMap(w, reversed);
    writeFile(mapPath, std::string(w.bytes().begin(), w.bytes().end()));
    PresetDocument source;
    randomise(source, 5);
    const std::string bytes = binaryPreset(
        "VTSl", 2, 151, [&](int i) { return parameter(source, 150 - i).currentValue(); });
    PresetDocument read;
    ASSERT_EQ(
        read.load(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), locator)
            .code,
        0);
    EXPECT_EQ(bitsOf(read), bitsOf(source));

    for (const std::string& broken :
         {std::string("PMap"), std::string(w.bytes().begin(), w.bytes().end() - 4)}) {
        writeFile(mapPath, broken);
        const PresetLoadResult result = read.load(
            std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), locator);
        EXPECT_EQ(result.message, "Unsupported preset version: 2");
    }
}

// A band's component preset is written without the band's prefix and read into another band.
TEST(PresetFormat, ComponentPresetsMoveBetweenBands) {
    PresetDocument document;
    randomise(document, 9);
    PresetParameterCollection band2, band3;
    for (int i = 22; i < 44; ++i)
        band2.registerParameter(parameter(document, i));
    for (int i = 44; i < 66; ++i)
        band3.registerParameter(parameter(document, i));
    PresetFormat format{"VTSl", 1, 0, true, "Band 2 "};
    const std::vector<uint8_t> bytes = presetBytes(band2, {}, format);
    const std::string text(bytes.begin(), bytes.end());
    EXPECT_NE(text.find("\nThreshold="), std::string::npos);
    EXPECT_EQ(text.find("Band 2"), std::string::npos);
    CollectionPresetLoader loader(band3, "VTSl", 1, 0, "Band 3 ");
    PresetDocument unused;
    BinaryDataReader reader(bytes);
    SettingsLoadTarget target;
    ASSERT_EQ(loader.load(reader, target).code, 0) << loader.errorMessage();
    for (int i = 0; i < 22; ++i)
        EXPECT_EQ(band3.parameter(i)->currentValue(), band2.parameter(i)->currentValue()) << i;
}

}  // namespace
}  // namespace tessel
