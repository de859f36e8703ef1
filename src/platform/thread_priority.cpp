#include "platform/thread_priority.h"

#include <pthread.h>
#include <sched.h>

namespace tivra::platform {

bool setIdlePriority() {
  sched_param param{};
  param.sched_priority = 0;
  return ::pthread_setschedparam(::pthread_self(), SCHED_IDLE, &param) == 0;
}

bool setBatchPriority() {
  sched_param param{};
  param.sched_priority = 0;
  return ::pthread_setschedparam(::pthread_self(), SCHED_BATCH, &param) == 0;
}

}  // namespace tivra::platform
