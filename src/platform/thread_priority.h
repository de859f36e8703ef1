#pragma once

namespace tivra::platform {

// Runs the calling thread at idle priority: it gets the processor only when no other thread
// wants it. Best effort; false when the system refused.
bool setIdlePriority();

// Runs the calling thread as throughput work: when it wakes it does not cut short the thread
// that has the processor, but waits for that one's turn to end. Threads that each take one short
// request thereby finish it without being displaced by the next one's wake-up. Best effort;
// false when the system refused.
bool setBatchPriority();

}  // namespace tivra::platform
