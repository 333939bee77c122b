// Objects shared between processes: named shared-memory mappings (POSIX
// shared memory) and named mutexes held across processes (a lock on a file).
//
// Every system-wide name is placed in the process's name scope, a prefix
// that is empty unless $KVO_NAMED_SCOPE or SetNamedObjectScope gives one, so
// that test runs on one machine do not see each other's objects.
//
// Lifetime differs from page-file mappings on Windows: a named mapping lives
// until it is removed (RemoveSharedMapping) or the machine restarts, not
// only while some process holds it; a later process that opens the name gets
// the content left in it.
//
// Results are Windows error numbers, as in the key store: 0 success, 2 no
// such mapping, 8 not enough memory, 87 bad argument, 183 a mapping of that
// name already exists, others from errno.
#pragma once

#include <cstdint>
#include <string>

#include "platform/pl_sync.h"

namespace pl {

constexpr uint32_t kSharedOk = 0;
constexpr uint32_t kSharedNotFound = 2;
constexpr uint32_t kSharedNoMemory = 8;
constexpr uint32_t kSharedBadArgument = 87;
constexpr uint32_t kSharedExists = 183;

// One mapped view of a mapping: its start, its size, and the descriptor of
// the shared-memory object (-1 for an unnamed mapping).
struct SharedMapping {
    uint8_t* view = nullptr;
    uint64_t size = 0;
    int fd = -1;
};

// Creates a mapping of `size` bytes, zero-filled, and maps it whole for
// reading and writing. A null or empty name gives an unnamed mapping, shared
// only with children forked after its creation. The memory is committed at
// creation, so a lack of room is reported here and not later on access.
uint32_t CreateSharedMapping(const char* name, uint64_t size, SharedMapping* out);

// Opens an existing named mapping and maps it whole.
uint32_t OpenSharedMapping(const char* name, SharedMapping* out);

// Unmaps the view and closes the descriptor; *m becomes empty.
void CloseSharedMapping(SharedMapping* m);

// Removes a named mapping from the system (views stay valid until unmapped).
// False when there was none.
bool RemoveSharedMapping(const char* name);

// The name scope ("" by default) and its override (null: back to the
// environment's).
void SetNamedObjectScope(const char* scope);
std::string NamedObjectScope();

// The system name of a shared-memory object ("/" + scope + name) and the
// folder where such objects and the lock files of system mutexes live.
std::string SharedObjectName(const char* name);
std::string NamedObjectFolder();

// A recursive mutex held across processes. Within the process the owning
// thread may lock again; across processes an exclusive lock on the file
// "<scope><name>.lock" in NamedObjectFolder() excludes other holders. The
// file is opened by the first lock and closed by the last unlock, so a
// forked child locks through a file description of its own, and the system
// releases the lock of a process that dies holding it. As with any lock, a
// process forked while one of its threads holds the mutex must not use it.
class SystemMutex : public Waitable {
public:
    explicit SystemMutex(const char* name);

    // True when acquired within ms (kInfinite: no limit); false also when the
    // lock file cannot be opened.
    bool Lock(uint32_t ms);
    // False when the calling thread does not own the mutex.
    bool Unlock();
    uint32_t Wait(uint32_t ms) override { return Lock(ms) ? kWaitSignaled : kWaitTimeout; }

    // The lock file's path for this process's scope.
    std::string LockFilePath() const;

protected:
    ~SystemMutex() override;

private:
    std::string name_;
    TimedMutex* local_;  // the in-process part; its owner also owns fd_ and depth_
    int fd_ = -1;
    uint32_t depth_ = 0;
};

}  // namespace pl
