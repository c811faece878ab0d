#include "support/UpdatedObject.h"

#include <cassert>

namespace tessel {

void UpdatedObject::requestUpdate() {
    if (holdDepth_ != 0) {
        state_ = UpdateState::RequestedWhileHeld;
        return;
    }
    if (state_ != UpdateState::Running) runUpdate();
}

void UpdatedObject::releaseUpdates() {
    assert(holdDepth_ > 0 && "releaseUpdates without holdUpdates");
    if (holdDepth_ == 0) return;
    if (--holdDepth_ == 0 && state_ == UpdateState::RequestedWhileHeld) runUpdate();
}

void UpdatedObject::performUpdate() {
    // Indexed walk: a handler may register further events on this object while it runs.
    for (std::size_t i = 0; i < deferredEvents_.size(); ++i)
        deferredEvents_[i]->fireIfPending();
}

void UpdatedObject::runUpdate() {
    state_ = UpdateState::Running;
    performUpdate();
    state_ = UpdateState::Idle;
}

}  // namespace tessel
