#pragma once

#include "support/NotifyEvent.h"

namespace tessel {

/// One change notification of an UpdatedObject: the event to fire, whether it is pending, and the
/// sender its handlers receive. The owner marks it pending when the change happens and the update
/// fires it once, however many changes a hold gathered. Neither allocates nor locks; used on the
/// owner's thread only. The event is not owned and must outlive the record's registration.
class DeferredEvent {
public:
    DeferredEvent(NotifyEvent* event, void* sender) noexcept : event_(event), sender_(sender) {}
    DeferredEvent(const DeferredEvent&) = delete;
    DeferredEvent& operator=(const DeferredEvent&) = delete;

    void markPending() noexcept { pending_ = true; }
    bool isPending() const noexcept { return pending_; }

    /// When pending: notifies the event's primary handler, then its listed handlers (last
    /// registered first) with the sender, and clears the pending flag. Otherwise nothing.
    void fireIfPending() {
        if (!pending_) return;
        if (event_ != nullptr) event_->fire(sender_);
        pending_ = false;
    }

    NotifyEvent* event() const noexcept { return event_; }
    void* sender() const noexcept { return sender_; }

private:
    NotifyEvent* event_;
    bool pending_ = false;
    void* sender_;
};

}  // namespace tessel
