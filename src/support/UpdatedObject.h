#pragma once

#include <cstdint>
#include <vector>

#include "support/DeferredEvent.h"

namespace tessel {

/// Base of objects whose change handling is deferred and coalesced (band layout models, settings,
/// the controller map, the preset cache). A change marks a DeferredEvent pending and requests an
/// update; outside a hold the update runs at once, inside one it runs once when the outermost
/// hold ends, so ten changes in a hold give one performUpdate and one notification per event.
/// A request made while an update runs is dropped: the running update covers it.
/// Not locked: an object is changed from one thread at a time. Requests, holds and the base
/// update never allocate; registering a DeferredEvent does.
class UpdatedObject {
public:
    enum class UpdateState : std::uint32_t { Idle = 0, RequestedWhileHeld = 1, Running = 2 };

    /// Holds updates for its lifetime; the end of the outermost hold runs a requested update.
    class ScopedHold {
    public:
        explicit ScopedHold(UpdatedObject& object) : object_(object) { object_.holdUpdates(); }
        ~ScopedHold() { object_.releaseUpdates(); }
        ScopedHold(const ScopedHold&) = delete;
        ScopedHold& operator=(const ScopedHold&) = delete;

    private:
        UpdatedObject& object_;
    };

    UpdatedObject() = default;
    virtual ~UpdatedObject() = default;
    UpdatedObject(const UpdatedObject&) = delete;
    UpdatedObject& operator=(const UpdatedObject&) = delete;

    /// Runs the update now, or marks it requested when held, or drops it when one is running.
    void requestUpdate();
    void holdUpdates() noexcept { ++holdDepth_; }
    /// Ends one hold; the end of the outermost runs the update once if one was requested.
    void releaseUpdates();

    /// Marks the event pending and requests an update.
    void raise(DeferredEvent& event) {
        event.markPending();
        requestUpdate();
    }

    UpdateState updateState() const noexcept { return state_; }
    std::uint32_t holdDepth() const noexcept { return holdDepth_; }

protected:
    /// Adds an event to the list fired by the base performUpdate, in registration order. The
    /// record is not owned and must live as long as this object (normally a member of it).
    void registerDeferredEvent(DeferredEvent& event) { deferredEvents_.push_back(&event); }

    /// Fires every pending DeferredEvent in registration order. Derived classes call this first,
    /// then do their own work (rebuild a layout, write the settings).
    virtual void performUpdate();

private:
    void runUpdate();

    std::vector<DeferredEvent*> deferredEvents_;
    UpdateState state_ = UpdateState::Idle;
    std::uint32_t holdDepth_ = 0;
};

}  // namespace tessel
