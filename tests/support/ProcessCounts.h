#pragma once

// Entries of /proc/self/task (threads) and /proc/self/fd (open descriptors) of this process.
int CountThreads();
int CountOpenDescriptors();
