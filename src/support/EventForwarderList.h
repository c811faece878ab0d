#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "support/NotifyEvent.h"
#include "support/UpdatedObject.h"

namespace tessel {

/// An UpdatedObject that also forwards queued handler calls: a Call names a handler and, once
/// queued, carries a pending flag and an argument. The update (after the base's deferred events)
/// calls every queued Call's handler with its argument in queue order and empties the queue, so a
/// hold turns any number of queueings into one call per Call, with the newest argument. The list
/// owns the handlers adopted into it. Not locked (one thread); queueing may allocate only until
/// the queue's storage has grown to the most Calls ever queued at once (see reserveQueue).
class EventForwarderList : public UpdatedObject {
public:
    /// One forwardable call. Lives with whoever queues it (normally a member next to the list);
    /// it must stay alive while queued.
    class Call {
    public:
        explicit Call(NotifyEvent::Handler* handler) noexcept : handler_(handler) {}
        Call(const Call&) = delete;
        Call& operator=(const Call&) = delete;

        bool isPending() const noexcept { return pending_; }
        void* argument() const noexcept { return argument_; }
        NotifyEvent::Handler* handler() const noexcept { return handler_; }

    private:
        friend class EventForwarderList;
        NotifyEvent::Handler* handler_;
        bool pending_ = false;
        void* argument_ = nullptr;
    };

    EventForwarderList() = default;

    /// Takes ownership of a handler for the list's lifetime and returns it for use in Calls.
    NotifyEvent::Handler* adoptHandler(std::unique_ptr<NotifyEvent::Handler> handler);

    template <typename T>
    NotifyEvent::Handler* adoptHandler(T* target, void (T::*function)(void*)) {
        return adoptHandler(std::make_unique<NotifyEvent::HandlerImpl<T>>(target, function));
    }

    /// Queues the call with the argument and requests an update. A call already pending is not
    /// queued again: it keeps its place and takes the newer argument.
    void queue(Call& call, void* argument);

    /// Pre-sizes the queue so that queueing up to `calls` Calls at once never allocates.
    void reserveQueue(std::size_t calls) { queued_.reserve(calls); }

    std::size_t queuedCount() const noexcept { return queued_.size(); }

protected:
    void performUpdate() override;

private:
    std::vector<Call*> queued_;
    std::vector<std::unique_ptr<NotifyEvent::Handler>> ownedHandlers_;
};

}  // namespace tessel
