#pragma once

namespace tivra::platform {

// Runs the calling thread at idle priority: it gets the processor only when no other thread
// wants it. Best effort; false when the system refused.
bool setIdlePriority();

}  // namespace tivra::platform
