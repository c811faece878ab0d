#include "support/LockedObject.h"

namespace tessel {

LockedObject::LockedObject() : section_(CriticalSection::create()) {}

LockedObject::~LockedObject() = default;

}  // namespace tessel
