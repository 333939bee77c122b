#include "platform/pl_shared.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "platform/pl_never_destroyed.h"
#include "platform/pl_sysinfo.h"

namespace pl {

namespace {

// The named-object scope, never destroyed: a thread still running as the
// process exits may still name a shared object.
struct Scope {
    std::mutex mutex;  // the two below
    bool set = false;
    std::string text;
};

Scope& TheScope() {
    static NeverDestroyed<Scope> scope;
    return *scope;
}

// A name as one element of a path: separators become '_'.
std::string PathElement(const char* name) {
    std::string r = name ? name : "";
    for (char& c : r)
        if (c == '/' || c == '\\') c = '_';
    return r;
}

uint32_t ErrnoResult(int err) { return err == EEXIST ? kSharedExists : SystemErrorFromErrno(err); }

// Commits the object's memory; tmpfs reports a lack of room here rather than
// with SIGBUS when a page is first touched.
int Commit(int fd, uint64_t size) {
    int rc = posix_fallocate(fd, 0, off_t(size));
    if (rc == EOPNOTSUPP || rc == EINVAL) rc = ftruncate(fd, off_t(size)) == 0 ? 0 : errno;
    return rc;
}

}  // namespace

void SetNamedObjectScope(const char* scope) {
    Scope& s = TheScope();
    std::lock_guard<std::mutex> g(s.mutex);
    s.set = scope != nullptr;
    s.text = PathElement(scope);
}

std::string NamedObjectScope() {
    {
        Scope& s = TheScope();
        std::lock_guard<std::mutex> g(s.mutex);
        if (s.set) return s.text;
    }
    return PathElement(std::getenv("KVO_NAMED_SCOPE"));
}

std::string SharedObjectName(const char* name) { return "/" + NamedObjectScope() + PathElement(name); }

std::string NamedObjectFolder() {
    struct stat st;
    if (stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && access("/dev/shm", W_OK) == 0) return "/dev/shm";
    return "/tmp";
}

uint32_t CreateSharedMapping(const char* name, uint64_t size, SharedMapping* out) {
    if (out == nullptr || size == 0) return kSharedBadArgument;
    *out = SharedMapping{};
    if (size > uint64_t(INT64_MAX) || size > SIZE_MAX) return kSharedNoMemory;
    if (name == nullptr || *name == 0) {
        void* v = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (v == MAP_FAILED) return ErrnoResult(errno);
        *out = SharedMapping{static_cast<uint8_t*>(v), size, -1};
        return kSharedOk;
    }
    const std::string sys = SharedObjectName(name);
    int fd = shm_open(sys.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return ErrnoResult(errno);
    int err = Commit(fd, size);
    void* v = MAP_FAILED;
    if (err == 0) {
        v = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (v == MAP_FAILED) err = errno;
    }
    if (err != 0) {
        // Nobody else can have it yet: it goes again with the failure.
        shm_unlink(sys.c_str());
        close(fd);
        return err == ENOSPC ? kSharedNoMemory : ErrnoResult(err);
    }
    *out = SharedMapping{static_cast<uint8_t*>(v), size, fd};
    return kSharedOk;
}

uint32_t OpenSharedMapping(const char* name, SharedMapping* out) {
    if (out == nullptr || name == nullptr || *name == 0) return kSharedBadArgument;
    *out = SharedMapping{};
    int fd = shm_open(SharedObjectName(name).c_str(), O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) return errno == ENOENT ? kSharedNotFound : ErrnoResult(errno);
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size <= 0) {
        close(fd);
        return kSharedNotFound;
    }
    void* v = mmap(nullptr, size_t(st.st_size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (v == MAP_FAILED) {
        uint32_t e = ErrnoResult(errno);
        close(fd);
        return e;
    }
    *out = SharedMapping{static_cast<uint8_t*>(v), uint64_t(st.st_size), fd};
    return kSharedOk;
}

void CloseSharedMapping(SharedMapping* m) {
    if (m == nullptr) return;
    if (m->view != nullptr) munmap(m->view, m->size);
    if (m->fd >= 0) close(m->fd);
    *m = SharedMapping{};
}

bool RemoveSharedMapping(const char* name) {
    if (name == nullptr || *name == 0) return false;
    return shm_unlink(SharedObjectName(name).c_str()) == 0;
}

// ---- SystemMutex ----

SystemMutex::SystemMutex(const char* name) : name_(PathElement(name)), local_(new TimedMutex(false)) {}

SystemMutex::~SystemMutex() {
    if (fd_ >= 0) close(fd_);
    local_->Release();
}

std::string SystemMutex::LockFilePath() const {
    return NamedObjectFolder() + "/" + NamedObjectScope() + name_ + ".lock";
}

bool SystemMutex::Lock(uint32_t ms) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms == kInfinite ? 0 : ms);
    if (!local_->Lock(ms)) return false;
    if (depth_ > 0) {
        ++depth_;
        return true;
    }
    int fd = open(LockFilePath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    bool held = fd >= 0;
    if (held && ms == kInfinite) {
        while (flock(fd, LOCK_EX) != 0) {
            if (errno != EINTR) {
                held = false;
                break;
            }
        }
    } else if (held) {
        // A timed wait polls, with pauses that grow to 10 ms.
        std::chrono::milliseconds pause(1);
        while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            if ((errno != EWOULDBLOCK && errno != EINTR) || Clock::now() >= deadline) {
                held = false;
                break;
            }
            std::this_thread::sleep_for(pause);
            if (pause < std::chrono::milliseconds(10)) pause *= 2;
        }
    }
    if (!held) {
        if (fd >= 0) close(fd);
        local_->Unlock();
        return false;
    }
    fd_ = fd;
    depth_ = 1;
    return true;
}

bool SystemMutex::Unlock() {
    if (!local_->IsOwnedByCaller()) return false;
    if (--depth_ == 0) {
        flock(fd_, LOCK_UN);
        close(fd_);
        fd_ = -1;
    }
    local_->Unlock();
    return true;
}

}  // namespace pl
