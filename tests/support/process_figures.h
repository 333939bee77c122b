// Figures of the running test process: its threads, open descriptors, live
// heap bytes and CPU time, for checks that a road leaves nothing behind and
// does not spin.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kvotest {

// Threads of the process (entries of /proc/self/task).
size_t ThreadCount();
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
