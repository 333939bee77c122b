// Figures of the running test process: its threads and how often they woke,
// open descriptors, live heap bytes and CPU time, for checks that a road
// leaves nothing behind and does not spin or poll.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>

namespace kvotest {

// Threads of the process (entries of /proc/self/task).
size_t ThreadCount();
// The ids of the threads of the process (the names in /proc/self/task).
std::set<int> ThreadIds();
// How often the threads of the process were switched out so far, those in
// leaveOut not counted: the sum of their voluntary and involuntary context
// switches (/proc/self/task/*/status). A thread that sleeps and wakes adds
// at least one for each wake; a thread that ended no longer counts.
uint64_t ThreadWakes(const std::set<int>& leaveOut = {});
// Open file descriptors of the process (entries of /proc/self/fd).
size_t OpenDescriptors();
// Heap bytes in use: the sanitizer allocator's count under AddressSanitizer
// or ThreadSanitizer (freed blocks held in quarantine do not count), else
// the C library's (mallinfo2), which also counts freed blocks kept in the
// threads' caches and the header of every arena it has opened.
uint64_t LiveHeapBytes();
// CPU time of the whole process, in nanoseconds.
uint64_t ProcessCpuNs();

}  // namespace kvotest
