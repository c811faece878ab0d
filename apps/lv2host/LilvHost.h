#pragma once

// A small LV2 host on lilv for the tests and benchmarks that drive plug-ins as a host would:
// ours from their bundle, and other plug-ins installed on the machine for comparison.

#include <lilv/lilv.h>
#include <lv2/log/log.h>
#include <lv2/options/options.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>

#include <array>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tessel::lv2host {

/// Loads the LV2 world (every bundle on LV2_PATH, plus one bundle folder) and instantiates
/// plug-ins with the features a plain host gives: URID map and unmap, options with the block
/// lengths and sample rate, bounded block lengths, a log to stderr and state:makePath into a
/// scratch folder that lives as long as the host. One thread drives a host and its instances;
/// instances must not outlive their host. Failures are reported through lastError().
class LilvHost {
public:
    /// Loads every bundle on LV2_PATH (lilv_world_load_all), then `bundleDir` when not empty
    /// (a folder such as build/lv2/tessel.lv2).
    explicit LilvHost(const std::string& bundleDir = {});
    ~LilvHost();
    LilvHost(const LilvHost&) = delete;
    LilvHost& operator=(const LilvHost&) = delete;

    bool has(const std::string& pluginUri) const;
    /// The plug-in's name (doap:name), empty for an unknown plug-in.
    std::string name(const std::string& pluginUri) const;
    /// (preset URI, label) of every preset that applies to the plug-in (loads their resources).
    std::vector<std::pair<std::string, std::string>> presets(const std::string& pluginUri);

    class Instance;
    /// Null on failure (unknown plug-in, a required feature this host lacks, a bad rate or
    /// block length, the plug-in refusing), with the reason in lastError(). Activates it.
    std::unique_ptr<Instance> instantiate(const std::string& pluginUri, double sampleRate,
                                          uint32_t maxBlock);
    const std::string& lastError() const { return lastError_; }
    LilvWorld* world() { return world_; }
    /// The URID of `uri`, the same for the life of the host. [any thread, locks]
    uint32_t map(const char* uri);

private:
    friend class Instance;
    const LilvPlugin* plugin(const std::string& pluginUri) const;
    const char* unmap(uint32_t urid);
    char* makePath(const char* path);

    LilvWorld* world_;
    std::string lastError_;
    std::mutex mapMutex_;
    std::unordered_map<std::string, uint32_t> urids_;
    std::deque<std::string> uris_;  // by URID - 1; a deque never moves its strings
    std::filesystem::path scratchDir_;
    LV2_URID_Map mapData_;
    LV2_URID_Unmap unmapData_;
    LV2_Log_Log logData_;
    LV2_State_Make_Path makePathData_;
    LV2_Feature mapFeature_, unmapFeature_, logFeature_, makePathFeature_, boundedFeature_;
};

/// One activated plug-in instance. Every port is connected from instantiation on: control
/// ports to values that start at their defaults, CV inputs to silence, side-chain and extra
/// outputs to scratch blocks, atom inputs to (empty or MIDI) sequences and atom outputs to
/// buffers reset before each run. Only the main audio ports follow the caller's buffers.
class LilvHost::Instance {
public:
    ~Instance();  // deactivates, frees
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;

    uint32_t audioInputs() const { return static_cast<uint32_t>(audioIns_.size()); }
    uint32_t audioOutputs() const { return static_cast<uint32_t>(audioOuts_.size()); }
    bool hasSideChain() const { return !sideChainIns_.empty(); }
    bool hasMidiInput() const { return midiPort_ != kNoPort; }
    bool hasPort(const std::string& symbol) const { return bySymbol_.count(symbol) != 0; }
    /// Control port value (input or output) by symbol; throws std::out_of_range for unknown.
    float control(const std::string& symbol) const;
    /// Sets a control input, passed as is (NaN included); std::out_of_range for anything else.
    void setControl(const std::string& symbol, float value);
    /// The value the control port (input or output) is connected to, for the life of the
    /// instance: loops that must not allocate look it up once (a symbol of more than 15
    /// characters turned into a std::string allocates). std::out_of_range for unknown.
    float& controlRef(const std::string& symbol) {
        return *controlValue(controlIndex(symbol, false));
    }
    struct Range {
        float minimum, maximum, defaultValue;  // NaN where the plug-in states none
    };
    Range range(const std::string& symbol) const;
    /// Symbols of every control input port in port order.
    std::vector<std::string> controlInputs() const;
    /// The latency in frames from the output port designated lv2:latency (or marked
    /// lv2:reportsLatency), if there is one; it is current after a run.
    std::optional<float> latency() const;
    /// Queues a short MIDI message (1 to 3 bytes) for the next run, at a frame offset; events
    /// are kept in time order. Ignored without a MIDI input; std::length_error when the
    /// sequence is full. Does not allocate.
    void queueMidi(uint32_t frameOffset, std::initializer_list<uint8_t> bytes);
    /// Connects the main audio buffers (in: audioInputs() pointers, out: audioOutputs(); in and
    /// out may be the same) and the side chain (null: an optional side-chain port is left
    /// unconnected, a required one reads silence), then runs `frames` (0..maxBlock; more throws
    /// std::out_of_range) and clears the MIDI queue. Never allocates, locks or makes a system
    /// call itself. [audio thread]
    void run(const float* const* in, const float* sideChain, float* const* out, uint32_t frames);
    /// The state (port values, then the plug-in's own properties; POD + portable) as Turtle.
    /// Port values are written as doubles, so that they read back bit for bit.
    std::string saveState();
    /// Restores a state made by saveState (port values included); false when the text does not
    /// parse or holds no state of this plug-in.
    bool restoreState(const std::string& turtle);
    /// Loads a preset by URI (from the world, then restored): port values set.
    bool loadPreset(const std::string& presetUri);
    LilvInstance* instance() { return instance_; }

private:
    friend class LilvHost;
    enum class Kind { kAudio, kControl, kCv, kAtom, kOther };
    struct Port {
        Kind kind;
        bool input, sideChain, optional;
        std::string symbol;
        Range range;
        std::vector<uint64_t> buffer;  // 8-byte aligned; holds floats or an atom
    };
    static constexpr uint32_t kNoPort = ~0u;
    static constexpr uint32_t kMidiEventBytes = 24;  // event header 16 + message padded to 8

    Instance(LilvHost& host, const LilvPlugin* plugin, double sampleRate, uint32_t maxBlock);
    uint32_t controlIndex(const std::string& symbol, bool inputOnly) const;
    float* controlValue(uint32_t port) {
        return reinterpret_cast<float*>(ports_[port].buffer.data());
    }
    bool restore(LilvState* state, const std::string& what, const LilvNode* preset);
    static void setPortValue(const char* symbol, void* self, const void* value, uint32_t size,
                             uint32_t type);
    static const void* getPortValue(const char* symbol, void* self, uint32_t* size, uint32_t* type);

    LilvHost& host_;
    const LilvPlugin* plugin_;
    LilvInstance* instance_ = nullptr;
    uint32_t maxBlock_;
    bool inPlaceBroken_;
    std::vector<Port> ports_;
    std::unordered_map<std::string, uint32_t> bySymbol_;
    std::vector<uint32_t> audioIns_, audioOuts_, sideChainIns_, atomIns_, atomOuts_;
    uint32_t midiPort_ = kNoPort, latencyPort_ = kNoPort;
    std::vector<float> silence_;
    std::vector<std::vector<float>> inputCopies_;  // for plug-ins that cannot run in place
    struct {
        uint32_t sequence, chunk, floatType, doubleType, intType, longType, boolType, midiEvent;
    } urids_;
    int32_t minBlock_ = 0, maxBlockOption_, sequenceBytes_ = 0;
    float sampleRateOption_;
    double savedValue_ = 0.0;  // the port value lilv is copying while it saves
    std::array<LV2_Options_Option, 6> options_;
    LV2_Feature optionsFeature_;
    std::vector<const LV2_Feature*> features_, stateFeatures_;
};

}  // namespace tessel::lv2host
