#pragma once
#include <cstdint>
#include <functional>

// The pauses of the device workflows (between reconnect attempts, while a rebooting device
// drops its link, between update attempts) go through one replaceable sleep, so that tests can
// record them and let a simulated device come back at the moment the workflow waits for it.
// Reply waits are not pauses: they stay real.
using WorkflowSleepProc = std::function<void(uint32_t ms)>;

void WorkflowSleep(uint32_t ms);
// An empty procedure restores the real sleep (aTime_MSSleep). Set it while no workflow runs.
void SetWorkflowSleep(WorkflowSleepProc sleep);
