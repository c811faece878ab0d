// The module's one entry point: the LV2 descriptors of the three plug-ins. Everything else in
// the module is hidden (a version script keeps only `lv2_descriptor`).

#include <pthread.h>

#include <cstring>
#include <new>

#include "host/lv2/Lv2PluginAdapter.h"

namespace tessel::lv2 {

namespace {

Lv2PluginAdapter* adapter(LV2_Handle handle) {
    return static_cast<Lv2PluginAdapter*>(handle);
}

template <std::size_t V>
LV2_Handle instantiate(const LV2_Descriptor*, double sampleRateHz, const char*,
                       const LV2_Feature* const* features) {
    // Nothing may escape into the host: a failed construction is a refused instance.
    try {
        return Lv2PluginAdapter::create(kVariants[V], sampleRateHz, features).release();
    } catch (...) {
        return nullptr;
    }
}

void connectPort(LV2_Handle handle, uint32_t port, void* data) {
    adapter(handle)->connect(port, data);
}

void activate(LV2_Handle handle) {
    adapter(handle)->activate();
}

void run(LV2_Handle handle, uint32_t frames) {
    // A JACK host that closes cancels its process thread, asynchronously, wherever it is; inside
    // the processor that would unwind through frames that must not be left halfway (or stop in
    // the allocator's lock). Cancellation waits until the block is done. Both the type and the
    // state are set: this C library acts on an asynchronous cancellation whatever the state.
    // Flags in the thread's own descriptor, no system call.
    int previousType = 0;
    int previousState = 0;
    pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, &previousType);
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &previousState);
    adapter(handle)->run(frames);
    pthread_setcancelstate(previousState, nullptr);
    pthread_setcanceltype(previousType, nullptr);
}

void deactivate(LV2_Handle) {}

void cleanup(LV2_Handle handle) {
    delete adapter(handle);
}

LV2_State_Status saveState(LV2_Handle handle, LV2_State_Store_Function store,
                           LV2_State_Handle state, uint32_t, const LV2_Feature* const*) {
    try {
        return adapter(handle)->save(store, state);
    } catch (...) {
        return LV2_STATE_ERR_UNKNOWN;
    }
}

LV2_State_Status restoreState(LV2_Handle handle, LV2_State_Retrieve_Function retrieve,
                              LV2_State_Handle state, uint32_t, const LV2_Feature* const*) {
    try {
        return adapter(handle)->restore(retrieve, state);
    } catch (...) {
        return LV2_STATE_ERR_UNKNOWN;
    }
}

const LV2_State_Interface kStateInterface = {saveState, restoreState};

const void* extensionData(const char* uri) {
    return std::strcmp(uri, LV2_STATE__interface) == 0 ? &kStateInterface : nullptr;
}

template <std::size_t V>
constexpr LV2_Descriptor descriptor() {
    return {kVariants[V].uri, instantiate<V>, connectPort,  activate, run,
            deactivate,       cleanup,        extensionData};
}

const LV2_Descriptor kDescriptors[] = {descriptor<0>(), descriptor<1>(), descriptor<2>()};

}  // namespace

}  // namespace tessel::lv2

extern "C" LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(uint32_t index) {
    return index < std::size(tessel::lv2::kDescriptors) ? &tessel::lv2::kDescriptors[index]
                                                        : nullptr;
}
