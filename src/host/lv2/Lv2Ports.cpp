#include "host/lv2/Lv2Ports.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <typeinfo>

#include "params/FloatPluginParameter.h"
#include "params/ParameterUnits.h"
#include "params/StereoLinkParameter.h"
#include "params/StereoPanParameter.h"

namespace tessel::lv2 {

namespace {

// Fixed for good: see portSymbol.
constexpr std::array<const char*, 22> kBandSymbols = {
    "state",
    "low_crossover",
    "low_slope",
    "high_crossover",
    "high_slope",
    "dynamics_mode",
    "threshold",
    "range",
    "ratio",
    "attack",
    "release",
    "knee",
    "lookahead",
    "level",
    "pan",
    "side_chain_filtering",
    "side_chain_low_frequency",
    "side_chain_high_frequency",
    "side_chain_input",
    "stereo_link",
    "stereo_link_mode",
    "solo_mute_state",
};
constexpr std::array<const char*, 19> kGlobalSymbols = {
    "audition_side_chain",
    "mix",
    "input_level",
    "input_pan",
    "output_level",
    "output_pan",
    "bypass",
    "processing_mode",
    "oversampling",
    "lookahead_enabled",
    "expert_mode",
    "midi_state",
    "display_range",
    "analyzer",
    "analyzer_resolution",
    "analyzer_speed",
    "analyzer_tilt",
    "analyzer_freeze",
    "analyzer_side_chain",
};
constexpr int32_t kBandPorts = static_cast<int32_t>(kBandSymbols.size());
constexpr int32_t kBands = 6;

/// Six significant digits: what a host shows for a range and a default ("30" Hz, not the float
/// nearest the octave value's image, 30.00001).
float tidy(float v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", static_cast<double>(v));
    return std::strtof(text, nullptr);
}

template <typename T>
bool unitIs(const FloatPluginParameter& p) {
    const FloatPluginParameterUnit* unit = p.textFormat().unit();
    return unit != nullptr && dynamic_cast<const T*>(unit) != nullptr;
}

/// The unit, scale and taper of a continuous parameter's port.
void describeContinuous(const AbstractPluginParameter& parameter, ParameterPort& port) {
    const auto* p = dynamic_cast<const FloatPluginParameter*>(&parameter);
    if (p == nullptr) return;
    if (unitIs<ExpFreqParameterUnit>(*p) || unitIs<FreqParameterUnit>(*p)) {
        port.unit = PortUnit::kHz;
        port.logarithmic = port.minimum > 0.0f;
    } else if (unitIs<DBParameterUnitBase>(*p)) {
        port.unit = PortUnit::kDb;
    } else if (unitIs<MsParameterUnit>(*p)) {
        port.unit = PortUnit::kMs;
    } else if (unitIs<PercentParameterUnit>(*p)) {
        port.unit = PortUnit::kPercent;
    } else if (unitIs<RatioParameterUnit>(*p)) {
        port.unit = PortUnit::kRatio;
        port.logarithmic = true;
    } else if (unitIs<SlopeParameterUnit>(*p)) {
        port.unit = PortUnit::kSlope;
    } else if (dynamic_cast<const StereoPanParameter*>(p) != nullptr) {
        // -100 % is all left, +100 % all right.
        port.unit = PortUnit::kPercent;
        port.displayScale = 100.0f;
    } else if (dynamic_cast<const StereoLinkParameter*>(p) != nullptr) {
        // 0 to 100 % links the channels; 100 to 200 % moves on to mid-only (or side-only).
        port.unit = PortUnit::kPercent;
        port.displayScale = 200.0f;
    }
}

}  // namespace

std::string portSymbol(int32_t identifier) {
    if (identifier < 0) return {};
    if (identifier < kBands * kBandPorts) {
        return "band_" + std::to_string(identifier / kBandPorts + 1) + "_" +
               kBandSymbols[static_cast<std::size_t>(identifier % kBandPorts)];
    }
    const int32_t global = identifier - kBands * kBandPorts;
    if (global >= static_cast<int32_t>(kGlobalSymbols.size())) return {};
    return kGlobalSymbols[static_cast<std::size_t>(global)];
}

ParameterPorts::ParameterPorts(const TesselParameters& parameters) : parameters_(parameters) {
    for (const AbstractPluginParameter* p : parameters.allParameters()) {
        ParameterPort port;
        port.identifier = p->identifier();
        port.symbol = portSymbol(port.identifier);
        port.name = p->name();
        port.notAutomatic = !p->automatable();
        if (p->discrete()) {
            port.minimum = p->minimum();
            port.maximum = p->maximum();
            port.defaultValue = p->defaultValue();
            port.integer = true;
            port.enumeration = p->hasChoiceNames();
            if (port.enumeration) {
                for (float v = p->minimum(); v <= p->maximum(); v += 1.0f)
                    port.scalePoints.emplace_back(v, p->textOfValue(v));
            }
        } else {
            describeContinuous(*p, port);
            port.minimum = tidy(p->displayOfValue(p->minimum()) * port.displayScale);
            port.maximum = tidy(p->displayOfValue(p->maximum()) * port.displayScale);
            port.defaultValue = tidy(p->displayOfValue(p->defaultValue()) * port.displayScale);
            if (port.minimum > port.maximum) std::swap(port.minimum, port.maximum);
            port.defaultValue = std::clamp(port.defaultValue, port.minimum, port.maximum);
        }
        ports_.push_back(std::move(port));
    }
}

float ParameterPorts::portOfValue(int32_t identifier, float value) const {
    const ParameterPort& port = this->port(identifier);
    const AbstractPluginParameter& p =
        *parameters_.allParameters()[static_cast<std::size_t>(identifier)];
    if (p.discrete()) return value;
    return std::clamp(p.displayOfValue(value) * port.displayScale, port.minimum, port.maximum);
}

float ParameterPorts::valueOfPort(int32_t identifier, float portValue) const {
    if (std::isnan(portValue)) return std::numeric_limits<float>::quiet_NaN();
    const ParameterPort& port = this->port(identifier);
    const AbstractPluginParameter& p =
        *parameters_.allParameters()[static_cast<std::size_t>(identifier)];
    const float clamped = std::clamp(portValue, port.minimum, port.maximum);
    if (p.discrete()) return std::round(clamped);
    const float value = p.valueFromDisplay(clamped / port.displayScale);
    return std::clamp(value, std::min(p.minimum(), p.maximum()),
                      std::max(p.minimum(), p.maximum()));
}

}  // namespace tessel::lv2
