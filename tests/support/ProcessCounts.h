#pragma once
#include <sys/types.h>

// Entries of /proc/self/task (threads) and /proc/self/fd (open descriptors) of this process.
int CountThreads();
// The threads of another process (a child's); -1 once it is gone.
int CountThreadsOf(pid_t pid);
// The thread count once a sanitizer's helper thread, which starts with the process's first new
// thread, is there: counts taken after this are steady.
int SteadyThreadCount();
int CountOpenDescriptors();
// The calling thread's kernel id, and the state letter of a thread of this process
// (/proc/self/task/ID/stat: 'R' running, 'S' asleep in a wait, ...); '?' when unreadable.
long CurrentThreadId();
char ThreadState(long threadId);
