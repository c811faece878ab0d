#include "lv2host/LilvHost.h"

#include <lv2/atom/atom.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/core/lv2.h>
#include <lv2/midi/midi.h>
#include <lv2/parameters/parameters.h>
#include <lv2/presets/presets.h>
#include <lv2/resize-port/resize-port.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace tessel::lv2host {
namespace {

// Not in every lv2 release's headers yet.
constexpr const char* kIsSideChain = LV2_CORE_PREFIX "isSideChain";
// Room for any sequence our plug-ins or the peers exchange in one block, unless a port asks for
// more (resize-port:minimumSize).
constexpr uint32_t kAtomBytes = 32768;

/// A lilv URI node freed with its scope.
class UriNode {
public:
    UriNode(LilvWorld* world, const char* uri) : node_(lilv_new_uri(world, uri)) {}
    ~UriNode() { lilv_node_free(node_); }
    UriNode(const UriNode&) = delete;
    UriNode& operator=(const UriNode&) = delete;
    operator const LilvNode*() const { return node_; }

private:
    LilvNode* node_;
};

std::string asString(LilvNode* node) {  // takes ownership
    std::string text = node ? lilv_node_as_string(node) : "";
    lilv_node_free(node);
    return text;
}

void clearSequence(std::vector<uint64_t>& buffer, uint32_t sequenceType) {
    auto* sequence = reinterpret_cast<LV2_Atom_Sequence*>(buffer.data());
    sequence->atom = {sizeof(LV2_Atom_Sequence_Body), sequenceType};
    sequence->body = {0, 0};
}

// The plug-ins' log: everything but traces to stderr, tagged with its kind.
int logVprintf(LV2_Log_Handle self, LV2_URID type, const char* format, va_list args) {
    auto* host = static_cast<LilvHost*>(self);
    if (type == host->map(LV2_LOG__Trace)) return 0;
    const char* kind = type == host->map(LV2_LOG__Error)     ? "error"
                       : type == host->map(LV2_LOG__Warning) ? "warning"
                                                             : "note";
    std::fprintf(stderr, "[plug-in %s] ", kind);
    return std::vfprintf(stderr, format, args);
}

int logPrintf(LV2_Log_Handle self, LV2_URID type, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int written = logVprintf(self, type, format, args);
    va_end(args);
    return written;
}

}  // namespace

LilvHost::LilvHost(const std::string& bundleDir) : world_(lilv_world_new()) {
    scratchDir_ = std::filesystem::temp_directory_path() /
                  ("tessel-lilv-" + std::to_string(::getpid()) + "-" +
                   std::to_string(reinterpret_cast<uintptr_t>(this)));
    // The C callbacks are lambdas in a member so that they may reach the private members.
    mapData_ = {this, [](LV2_URID_Map_Handle self, const char* uri) -> LV2_URID {
                    return static_cast<LilvHost*>(self)->map(uri);
                }};
    unmapData_ = {this, [](LV2_URID_Unmap_Handle self, LV2_URID urid) {
                      return static_cast<LilvHost*>(self)->unmap(urid);
                  }};
    logData_ = {this, &logPrintf, &logVprintf};
    makePathData_ = {this, [](LV2_State_Make_Path_Handle self, const char* path) {
                         return static_cast<LilvHost*>(self)->makePath(path);
                     }};
    mapFeature_ = {LV2_URID__map, &mapData_};
    unmapFeature_ = {LV2_URID__unmap, &unmapData_};
    logFeature_ = {LV2_LOG__log, &logData_};
    makePathFeature_ = {LV2_STATE__makePath, &makePathData_};
    boundedFeature_ = {LV2_BUF_SIZE__boundedBlockLength, nullptr};

    lilv_world_load_all(world_);
    if (bundleDir.empty()) return;
    std::error_code error;
    std::string path = std::filesystem::absolute(bundleDir, error).string();
    if (error || !std::filesystem::is_directory(path, error)) {
        lastError_ = "No bundle folder at " + bundleDir;
        return;
    }
    if (path.back() != '/') path += '/';  // lilv takes a bundle URI only with its slash
    LilvNode* bundle = lilv_new_file_uri(world_, nullptr, path.c_str());
    lilv_world_load_bundle(world_, bundle);
    lilv_node_free(bundle);
}

LilvHost::~LilvHost() {
    lilv_world_free(world_);
    std::error_code ignored;
    std::filesystem::remove_all(scratchDir_, ignored);
}

const LilvPlugin* LilvHost::plugin(const std::string& pluginUri) const {
    UriNode uri(world_, pluginUri.c_str());
    if (!static_cast<const LilvNode*>(uri)) return nullptr;
    return lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world_), uri);
}

bool LilvHost::has(const std::string& pluginUri) const {
    return plugin(pluginUri) != nullptr;
}

std::string LilvHost::name(const std::string& pluginUri) const {
    const LilvPlugin* found = plugin(pluginUri);
    return found ? asString(lilv_plugin_get_name(found)) : std::string();
}

std::vector<std::pair<std::string, std::string>> LilvHost::presets(const std::string& pluginUri) {
    std::vector<std::pair<std::string, std::string>> result;
    const LilvPlugin* found = plugin(pluginUri);
    if (!found) return result;
    UriNode presetClass(world_, LV2_PRESETS__Preset);
    UriNode label(world_, LILV_NS_RDFS "label");
    LilvNodes* related = lilv_plugin_get_related(found, presetClass);
    LILV_FOREACH(nodes, i, related) {
        const LilvNode* preset = lilv_nodes_get(related, i);
        lilv_world_load_resource(world_, preset);
        std::string text = asString(lilv_world_get(world_, preset, label, nullptr));
        result.emplace_back(lilv_node_as_string(preset), std::move(text));
    }
    lilv_nodes_free(related);
    return result;
}

std::unique_ptr<LilvHost::Instance> LilvHost::instantiate(const std::string& pluginUri,
                                                          double sampleRate, uint32_t maxBlock) {
    lastError_.clear();
    const LilvPlugin* found = plugin(pluginUri);
    if (!found) {
        lastError_ = "Unknown plug-in " + pluginUri;
        return nullptr;
    }
    if (!(sampleRate >= 1.0 && sampleRate <= 1.0e7) || maxBlock == 0 || maxBlock > (1u << 20)) {
        lastError_ = "Bad sample rate or block length for " + pluginUri;
        return nullptr;
    }
    static const char* const kProvided[] = {LV2_URID__map,
                                            LV2_URID__unmap,
                                            LV2_OPTIONS__options,
                                            LV2_BUF_SIZE__boundedBlockLength,
                                            LV2_LOG__log,
                                            LV2_STATE__makePath,
                                            LV2_CORE__inPlaceBroken,
                                            LV2_CORE__isLive,
                                            LV2_CORE__hardRTCapable};
    LilvNodes* required = lilv_plugin_get_required_features(found);
    LILV_FOREACH(nodes, i, required) {
        const char* feature = lilv_node_as_uri(lilv_nodes_get(required, i));
        if (std::none_of(std::begin(kProvided), std::end(kProvided),
                         [&](const char* uri) { return std::strcmp(uri, feature) == 0; }))
            lastError_ = pluginUri + " requires " + feature + ", which this host lacks";
    }
    lilv_nodes_free(required);
    if (!lastError_.empty()) return nullptr;
    std::unique_ptr<Instance> instance(new Instance(*this, found, sampleRate, maxBlock));
    if (!instance->instance_) {
        lastError_ = "Instantiation of " + pluginUri + " failed";
        return nullptr;
    }
    return instance;
}

uint32_t LilvHost::map(const char* uri) {
    std::lock_guard lock(mapMutex_);
    const auto [it, added] = urids_.try_emplace(uri, static_cast<uint32_t>(uris_.size() + 1));
    if (added) uris_.emplace_back(uri);
    return it->second;
}

const char* LilvHost::unmap(uint32_t urid) {
    std::lock_guard lock(mapMutex_);
    return urid >= 1 && urid <= uris_.size() ? uris_[urid - 1].c_str() : nullptr;
}

char* LilvHost::makePath(const char* path) {
    const std::filesystem::path full = scratchDir_ / path;
    std::error_code ignored;  // a failure shows when the plug-in opens the file
    std::filesystem::create_directories(full.parent_path(), ignored);
    return strdup(full.c_str());  // the plug-in frees it with free()
}

LilvHost::Instance::Instance(LilvHost& host, const LilvPlugin* plugin, double sampleRate,
                             uint32_t maxBlock)
    : host_(host), plugin_(plugin), maxBlock_(maxBlock), silence_(maxBlock, 0.0f) {
    LilvWorld* world = host.world_;
    urids_ = {host.map(LV2_ATOM__Sequence), host.map(LV2_ATOM__Chunk),    host.map(LV2_ATOM__Float),
              host.map(LV2_ATOM__Double),   host.map(LV2_ATOM__Int),      host.map(LV2_ATOM__Long),
              host.map(LV2_ATOM__Bool),     host.map(LV2_MIDI__MidiEvent)};
    UriNode audio(world, LV2_CORE__AudioPort), control(world, LV2_CORE__ControlPort),
        cv(world, LV2_CORE__CVPort), atom(world, LV2_ATOM__AtomPort),
        input(world, LV2_CORE__InputPort), output(world, LV2_CORE__OutputPort),
        sideChain(world, kIsSideChain), optional(world, LV2_CORE__connectionOptional),
        midiEvent(world, LV2_MIDI__MidiEvent), minimumSize(world, LV2_RESIZE_PORT__minimumSize),
        latency(world, LV2_CORE__latency), reportsLatency(world, LV2_CORE__reportsLatency),
        inPlaceBroken(world, LV2_CORE__inPlaceBroken);
    inPlaceBroken_ = lilv_plugin_has_feature(plugin, inPlaceBroken);

    const uint32_t count = lilv_plugin_get_num_ports(plugin);
    std::vector<float> minima(count), maxima(count), defaults(count);
    lilv_plugin_get_port_ranges_float(plugin, minima.data(), maxima.data(), defaults.data());
    const LilvPort* designatedLatency =
        lilv_plugin_get_port_by_designation(plugin, output, latency);
    for (uint32_t i = 0; i < count; ++i) {
        const LilvPort* lilvPort = lilv_plugin_get_port_by_index(plugin, i);
        Port port{Kind::kOther,
                  lilv_port_is_a(plugin, lilvPort, input),
                  lilv_port_has_property(plugin, lilvPort, sideChain),
                  lilv_port_has_property(plugin, lilvPort, optional),
                  lilv_node_as_string(lilv_port_get_symbol(plugin, lilvPort)),
                  {minima[i], maxima[i], defaults[i]},
                  {}};
        const auto floats = [&](std::size_t n) { port.buffer.assign((n + 1) / 2, 0); };
        if (lilv_port_is_a(plugin, lilvPort, audio)) {
            port.kind = Kind::kAudio;
            if (!port.input && port.sideChain)
                floats(maxBlock);  // an extra output: scratch
            else
                (port.input ? (port.sideChain ? sideChainIns_ : audioIns_) : audioOuts_)
                    .push_back(i);
            if (inPlaceBroken_ && port.input && !port.sideChain)
                inputCopies_.emplace_back(maxBlock);
        } else if (lilv_port_is_a(plugin, lilvPort, control)) {
            port.kind = Kind::kControl;
            floats(1);
            const Range& r = port.range;
            const float start = !std::isnan(r.defaultValue) ? r.defaultValue
                                : !std::isnan(r.minimum)    ? r.minimum
                                                            : 0.0f;
            *reinterpret_cast<float*>(port.buffer.data()) = port.input ? start : 0.0f;
            if (lilvPort == designatedLatency ||
                (!port.input && lilv_port_has_property(plugin, lilvPort, reportsLatency)))
                latencyPort_ = i;
        } else if (lilv_port_is_a(plugin, lilvPort, cv)) {
            port.kind = Kind::kCv;
            if (!port.input) floats(maxBlock);
        } else if (lilv_port_is_a(plugin, lilvPort, atom)) {
            port.kind = Kind::kAtom;
            LilvNode* minimum = lilv_port_get(plugin, lilvPort, minimumSize);
            const int asked = minimum && lilv_node_is_int(minimum) ? lilv_node_as_int(minimum) : 0;
            lilv_node_free(minimum);
            const uint32_t bytes =
                std::max<uint32_t>(kAtomBytes, static_cast<uint32_t>(std::max(asked, 0)));
            port.buffer.assign((bytes + 7) / 8, 0);
            sequenceBytes_ = std::max<int32_t>(sequenceBytes_, static_cast<int32_t>(bytes));
            (port.input ? atomIns_ : atomOuts_).push_back(i);
            if (port.input && midiPort_ == kNoPort &&
                lilv_port_supports_event(plugin, lilvPort, midiEvent))
                midiPort_ = i;
            if (port.input) clearSequence(port.buffer, urids_.sequence);
        } else if (!port.optional) {
            floats(std::max<std::size_t>(maxBlock, kAtomBytes / 4));  // unknown: zeros
        }
        bySymbol_.emplace(port.symbol, i);
        ports_.push_back(std::move(port));
    }

    maxBlockOption_ = static_cast<int32_t>(maxBlock);
    sampleRateOption_ = static_cast<float>(sampleRate);
    const uint32_t intType = urids_.intType;
    options_ = {{
        {LV2_OPTIONS_INSTANCE, 0, host.map(LV2_BUF_SIZE__minBlockLength), 4, intType, &minBlock_},
        {LV2_OPTIONS_INSTANCE, 0, host.map(LV2_BUF_SIZE__maxBlockLength), 4, intType,
         &maxBlockOption_},
        {LV2_OPTIONS_INSTANCE, 0, host.map(LV2_BUF_SIZE__nominalBlockLength), 4, intType,
         &maxBlockOption_},
        {LV2_OPTIONS_INSTANCE, 0, host.map(LV2_BUF_SIZE__sequenceSize), 4, intType,
         &sequenceBytes_},
        {LV2_OPTIONS_INSTANCE, 0, host.map(LV2_PARAMETERS__sampleRate), 4, urids_.floatType,
         &sampleRateOption_},
        {LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr},
    }};
    optionsFeature_ = {LV2_OPTIONS__options, options_.data()};
    features_ = {&host.mapFeature_, &host.unmapFeature_,    &optionsFeature_, &host.boundedFeature_,
                 &host.logFeature_, &host.makePathFeature_, nullptr};
    // Saving and restoring get their path features from lilv.
    stateFeatures_ = {&host.mapFeature_, &host.unmapFeature_, &optionsFeature_, &host.logFeature_,
                      nullptr};

    instance_ = lilv_plugin_instantiate(plugin, sampleRate, features_.data());
    if (!instance_) return;
    // Main audio ports follow the caller's buffers at every run; the rest is wired once.
    for (uint32_t i = 0; i < count; ++i) {
        Port& port = ports_[i];
        if (port.kind == Kind::kAudio && (port.input || !port.sideChain)) continue;
        void* data = port.buffer.empty() ? nullptr : port.buffer.data();
        if (port.kind == Kind::kCv && port.input) data = silence_.data();
        lilv_instance_connect_port(instance_, i, data);
    }
    lilv_instance_activate(instance_);
}

LilvHost::Instance::~Instance() {
    if (!instance_) return;
    lilv_instance_deactivate(instance_);
    lilv_instance_free(instance_);
}

uint32_t LilvHost::Instance::controlIndex(const std::string& symbol, bool inputOnly) const {
    const auto it = bySymbol_.find(symbol);
    if (it == bySymbol_.end() || ports_[it->second].kind != Kind::kControl ||
        (inputOnly && !ports_[it->second].input))
        throw std::out_of_range("No control " + std::string(inputOnly ? "input" : "port") +
                                " with the symbol " + symbol);
    return it->second;
}

float LilvHost::Instance::control(const std::string& symbol) const {
    return *reinterpret_cast<const float*>(ports_[controlIndex(symbol, false)].buffer.data());
}

void LilvHost::Instance::setControl(const std::string& symbol, float value) {
    *controlValue(controlIndex(symbol, true)) = value;
}

LilvHost::Instance::Range LilvHost::Instance::range(const std::string& symbol) const {
    return ports_[controlIndex(symbol, false)].range;
}

std::vector<std::string> LilvHost::Instance::controlInputs() const {
    std::vector<std::string> symbols;
    for (const Port& port : ports_)
        if (port.kind == Kind::kControl && port.input) symbols.push_back(port.symbol);
    return symbols;
}

std::optional<float> LilvHost::Instance::latency() const {
    if (latencyPort_ == kNoPort) return std::nullopt;
    return *reinterpret_cast<const float*>(ports_[latencyPort_].buffer.data());
}

void LilvHost::Instance::queueMidi(uint32_t frameOffset, std::initializer_list<uint8_t> bytes) {
    if (bytes.size() < 1 || bytes.size() > 3)
        throw std::invalid_argument("A queued MIDI message has 1 to 3 bytes");
    if (midiPort_ == kNoPort) return;
    std::vector<uint64_t>& buffer = ports_[midiPort_].buffer;
    auto* sequence = reinterpret_cast<LV2_Atom_Sequence*>(buffer.data());
    if (sizeof(LV2_Atom) + sequence->atom.size + kMidiEventBytes > buffer.size() * 8)
        throw std::length_error("The MIDI sequence is full");
    // Every event is kMidiEventBytes long, so the sequence is an array kept sorted by time.
    auto* events = reinterpret_cast<uint8_t*>(sequence + 1);
    const uint32_t queued =
        (sequence->atom.size - sizeof(LV2_Atom_Sequence_Body)) / kMidiEventBytes;
    const auto eventAt = [&](uint32_t n) {
        return reinterpret_cast<LV2_Atom_Event*>(events + n * kMidiEventBytes);
    };
    uint32_t at = queued;
    while (at > 0 && eventAt(at - 1)->time.frames > static_cast<int64_t>(frameOffset))
        --at;
    std::memmove(eventAt(at + 1), eventAt(at), (queued - at) * kMidiEventBytes);
    LV2_Atom_Event* event = eventAt(at);
    event->time.frames = frameOffset;
    event->body = {static_cast<uint32_t>(bytes.size()), urids_.midiEvent};
    auto* message = reinterpret_cast<uint8_t*>(event + 1);
    std::memset(message, 0, 8);
    std::copy(bytes.begin(), bytes.end(), message);
    sequence->atom.size += kMidiEventBytes;
}

void LilvHost::Instance::run(const float* const* in, const float* sideChain, float* const* out,
                             uint32_t frames) {
    if (frames > maxBlock_) throw std::out_of_range("More frames than the instance's block");
    for (std::size_t k = 0; k < audioIns_.size(); ++k) {
        const float* data = in[k];
        if (inPlaceBroken_) data = std::copy_n(data, frames, inputCopies_[k].data()) - frames;
        lilv_instance_connect_port(instance_, audioIns_[k], const_cast<float*>(data));
    }
    for (std::size_t k = 0; k < audioOuts_.size(); ++k)
        lilv_instance_connect_port(instance_, audioOuts_[k], out[k]);
    for (std::size_t k = 0; k < sideChainIns_.size(); ++k) {
        const bool optional = ports_[sideChainIns_[k]].optional;
        const float* data = k == 0 && sideChain ? sideChain : optional ? nullptr : silence_.data();
        lilv_instance_connect_port(instance_, sideChainIns_[k], const_cast<float*>(data));
    }
    for (uint32_t port : atomIns_)
        if (port != midiPort_) clearSequence(ports_[port].buffer, urids_.sequence);
    for (uint32_t port : atomOuts_) {
        auto* atom = reinterpret_cast<LV2_Atom*>(ports_[port].buffer.data());
        *atom = {static_cast<uint32_t>(ports_[port].buffer.size() * 8 - sizeof(LV2_Atom)),
                 urids_.chunk};
    }
    lilv_instance_run(instance_, frames);
    if (midiPort_ != kNoPort) clearSequence(ports_[midiPort_].buffer, urids_.sequence);
}

const void* LilvHost::Instance::getPortValue(const char* symbol, void* self, uint32_t* size,
                                             uint32_t* type) {
    auto* instance = static_cast<Instance*>(self);
    const auto it = instance->bySymbol_.find(symbol);
    if (it == instance->bySymbol_.end() || instance->ports_[it->second].kind != Kind::kControl)
        return nullptr;
    // As a double: lilv writes a float with 8 decimals but a double with 16, which reads back
    // as the same float (a float's 8 decimals would round small values).
    instance->savedValue_ = *instance->controlValue(it->second);  // lilv copies it at once
    *size = sizeof(double);
    *type = instance->urids_.doubleType;
    return &instance->savedValue_;
}

void LilvHost::Instance::setPortValue(const char* symbol, void* self, const void* value,
                                      uint32_t size, uint32_t type) {
    auto* instance = static_cast<Instance*>(self);
    const auto it = instance->bySymbol_.find(symbol);
    if (it == instance->bySymbol_.end() || instance->ports_[it->second].kind != Kind::kControl ||
        !instance->ports_[it->second].input)
        return;  // a port this version of the plug-in does not have
    const auto& u = instance->urids_;
    const auto read = [&]<typename T>(T) {
        T v;
        std::memcpy(&v, value, sizeof v);
        *instance->controlValue(it->second) = static_cast<float>(v);
    };
    if (type == u.floatType && size == 4) read(0.0f);
    if (type == u.doubleType && size == 8) read(0.0);
    if ((type == u.intType || type == u.boolType) && size == 4) read(int32_t{});
    if (type == u.longType && size == 8) read(int64_t{});
}

std::string LilvHost::Instance::saveState() {
    LilvState* state = lilv_state_new_from_instance(
        plugin_, instance_, &host_.mapData_, nullptr, nullptr, nullptr, nullptr, &getPortValue,
        this, LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE, stateFeatures_.data());
    char* text = lilv_state_to_string(host_.world_, &host_.mapData_, &host_.unmapData_, state,
                                      "urn:tessel:testing:state", nullptr);
    std::string turtle = text ? text : "";
    lilv_free(text);
    lilv_state_free(state);
    return turtle;
}

bool LilvHost::Instance::restore(LilvState* state, const std::string& what,
                                 const LilvNode* preset) {
    // A preset may apply to several plug-ins while lilv keeps only one of them in the state, so
    // a preset is checked against the world; a state text against the plug-in it names.
    const LilvNode* self = lilv_plugin_get_uri(plugin_);
    UriNode appliesTo(host_.world_, LV2_CORE__appliesTo);
    const LilvNode* named = state ? lilv_state_get_plugin_uri(state) : nullptr;
    const bool fits = state && (preset ? lilv_world_ask(host_.world_, preset, appliesTo, self)
                                       : named && lilv_node_equals(named, self));
    if (fits)
        lilv_state_restore(state, instance_, &setPortValue, this, 0, stateFeatures_.data());
    else
        host_.lastError_ = what + " holds no state of " + lilv_node_as_uri(self);
    lilv_state_free(state);
    return fits;
}

bool LilvHost::Instance::restoreState(const std::string& turtle) {
    return restore(lilv_state_new_from_string(host_.world_, &host_.mapData_, turtle.c_str()),
                   "The state text", nullptr);
}

bool LilvHost::Instance::loadPreset(const std::string& presetUri) {
    UriNode preset(host_.world_, presetUri.c_str());
    if (!static_cast<const LilvNode*>(preset)) return restore(nullptr, presetUri, nullptr);
    lilv_world_load_resource(host_.world_, preset);
    return restore(lilv_state_new_from_world(host_.world_, &host_.mapData_, preset),
                   "The preset " + presetUri, preset);
}

}  // namespace tessel::lv2host
