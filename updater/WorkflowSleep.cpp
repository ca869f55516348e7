#include "WorkflowSleep.h"

#include "unix_time.h"

namespace {

WorkflowSleepProc& sSleep() {
  static WorkflowSleepProc sleep;
  return sleep;
}

}  // namespace

void WorkflowSleep(uint32_t ms) {
  const WorkflowSleepProc& sleep = sSleep();
  if (sleep) {
    sleep(ms);
    return;
  }
  aTime_MSSleep(ms);
}

void SetWorkflowSleep(WorkflowSleepProc sleep) { sSleep() = std::move(sleep); }
