#pragma once

// CPU seconds (user and system) this process, or the calling thread, has used so far.
double ProcessCpuSeconds();
double ThreadCpuSeconds();
