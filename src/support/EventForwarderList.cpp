#include "support/EventForwarderList.h"

#include <utility>

namespace tessel {

NotifyEvent::Handler* EventForwarderList::adoptHandler(
    std::unique_ptr<NotifyEvent::Handler> handler) {
    NotifyEvent::Handler* raw = handler.get();
    if (raw != nullptr) ownedHandlers_.push_back(std::move(handler));
    return raw;
}

void EventForwarderList::queue(Call& call, void* argument) {
    call.argument_ = argument;
    if (!call.pending_) {
        call.pending_ = true;
        queued_.push_back(&call);
    }
    requestUpdate();
}

void EventForwarderList::performUpdate() {
    UpdatedObject::performUpdate();
    // Indexed walk with the size re-read each step: a handler may queue further Calls, which run
    // in this same pass. Re-queueing the Call that is running is ignored (it is still pending),
    // so a handler cannot keep the pass going for ever.
    for (std::size_t i = 0; i < queued_.size(); ++i) {
        Call* call = queued_[i];
        if (call->handler_ != nullptr) call->handler_->notify(call->argument_);
        call->pending_ = false;
    }
    queued_.clear();
}

}  // namespace tessel
