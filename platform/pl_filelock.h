// Byte-range locks on open files. The locks belong to the open file
// description (fcntl OFD locks), so two descriptors opened on one file in the
// same process exclude each other, as separate opens should.
#pragma once

#include <cstdint>

namespace pl {

// Locks length bytes from offset (length 0: up to any end of the file).
// Without wait the call fails at once when another open file description
// holds a conflicting lock. True on success.
bool LockFileRange(int fd, int64_t offset, int64_t length, bool exclusive, bool wait);

// Releases a range locked through the same descriptor. True on success.
bool UnlockFileRange(int fd, int64_t offset, int64_t length);

}  // namespace pl
