#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "params/TesselParameters.h"

namespace tessel::lv2 {

/// The three plug-ins of the bundle: one per processing variant a host can insert.
enum class Variant : int32_t { kStereo = 0, kMono = 1, kMonoToStereo = 2 };

struct VariantInfo {
    Variant variant;
    const char* uri;
    const char* name;
    uint32_t audioInputs;
    uint32_t audioOutputs;
    int32_t layout;  ///< the processor's channel layout
};

inline constexpr VariantInfo kVariants[] = {
    {Variant::kStereo, "urn:tessel:stereo", "Tessel", 2, 2, 1},
    {Variant::kMono, "urn:tessel:mono", "Tessel (mono)", 1, 1, 0},
    {Variant::kMonoToStereo, "urn:tessel:mono-to-stereo", "Tessel (mono to stereo)", 1, 2, 2},
};

/// The state blob's key and type, and the prefix of the bundle's preset URIs.
inline constexpr const char* kStateKeyUri = "urn:tessel:state";
inline constexpr const char* kStateTypeUri = "urn:tessel:state-blob";
inline constexpr const char* kPresetUriPrefix = "urn:tessel:preset:";

/// Port indices of one variant, the same order in the description and the plug-in: audio
/// inputs, the side-chain input, audio outputs, the MIDI input, the host's enable switch, the
/// latency, the three meters, then one control input per parameter in identifier order.
struct PortLayout {
    explicit constexpr PortLayout(const VariantInfo& info) noexcept
        : audioInputs(info.audioInputs), audioOutputs(info.audioOutputs) {}
    uint32_t audioInputs;
    uint32_t audioOutputs;
    constexpr uint32_t sideChain() const noexcept { return audioInputs; }
    constexpr uint32_t firstOutput() const noexcept { return audioInputs + 1; }
    constexpr uint32_t midiInput() const noexcept { return firstOutput() + audioOutputs; }
    constexpr uint32_t enabled() const noexcept { return midiInput() + 1; }
    constexpr uint32_t latency() const noexcept { return enabled() + 1; }
    /// meter 0 gain reduction, 1 input level, 2 output level (dB).
    constexpr uint32_t meter(uint32_t k) const noexcept { return latency() + 1 + k; }
    constexpr uint32_t firstParameter() const noexcept { return meter(3); }
};

inline constexpr const char* kMeterSymbols[3] = {"gain_reduction", "input_level_meter",
                                                 "output_level_meter"};
inline constexpr const char* kMeterNames[3] = {"Gain Reduction", "Input Level", "Output Level"};
/// The meters' ranges in dB; a reading outside is written as the nearer end.
inline constexpr float kMeterMinimumDb[3] = {-60.0f, -90.0f, -90.0f};
inline constexpr float kMeterMaximumDb[3] = {30.0f, 12.0f, 12.0f};

/// What a host shows for a parameter's port.
enum class PortUnit { kNone, kDb, kHz, kMs, kPercent, kRatio, kSlope };

/// One parameter as an LV2 control input: the number on the port is what a user reads (Hz, dB,
/// ms, %, the ratio, dB/oct), or the choice's index for an indexed parameter.
struct ParameterPort {
    int32_t identifier = 0;
    std::string symbol;
    std::string name;
    float minimum = 0.0f;
    float maximum = 1.0f;
    float defaultValue = 0.0f;
    PortUnit unit = PortUnit::kNone;
    /// The port shows the parameter's display number times this (pan and stereo link show
    /// their -1..1 and 0..1 as percent).
    float displayScale = 1.0f;
    bool integer = false;
    bool enumeration = false;
    bool logarithmic = false;
    /// Changes the latency: hosts should not automate it.
    bool notAutomatic = false;
    std::vector<std::pair<float, std::string>> scalePoints;
};

/// The symbol of parameter `identifier`'s port. Symbols were derived once from the parameter
/// names (lower case, every run of other characters one underscore) and are fixed from then on:
/// a saved session finds its ports by symbol, so renaming a parameter must not move them.
/// Empty for an identifier outside the table.
std::string portSymbol(int32_t identifier);

/// Every parameter's port, built from the parameter table, and the conversions between a
/// port's number and a parameter's value. Immutable after construction. [any thread]
class ParameterPorts {
public:
    explicit ParameterPorts(const TesselParameters& parameters);

    const std::vector<ParameterPort>& ports() const noexcept { return ports_; }
    const ParameterPort& port(int32_t identifier) const noexcept {
        return ports_[static_cast<std::size_t>(identifier)];
    }
    std::size_t size() const noexcept { return ports_.size(); }

    /// The port's number for a parameter value.
    float portOfValue(int32_t identifier, float value) const;
    /// The parameter value for a port's number: clamped to the port's range, rounded for an
    /// indexed parameter. A NaN gives NaN (the caller ignores it).
    float valueOfPort(int32_t identifier, float portValue) const;

private:
    const TesselParameters& parameters_;
    std::vector<ParameterPort> ports_;
};

}  // namespace tessel::lv2
