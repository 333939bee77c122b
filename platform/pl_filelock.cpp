#include "platform/pl_filelock.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>

namespace pl {

namespace {

bool SetLock(int fd, short type, int64_t offset, int64_t length, bool wait) {
    if (fd < 0 || offset < 0 || length < 0) return false;
    struct flock fl;
    std::memset(&fl, 0, sizeof(fl));  // OFD locks require l_pid == 0
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = static_cast<off_t>(offset);
    fl.l_len = static_cast<off_t>(length);
    const int cmd = wait ? F_OFD_SETLKW : F_OFD_SETLK;
    for (;;) {
        if (fcntl(fd, cmd, &fl) == 0) return true;
        if (errno != EINTR) return false;
    }
}

}  // namespace

bool LockFileRange(int fd, int64_t offset, int64_t length, bool exclusive, bool wait) {
    return SetLock(fd, exclusive ? F_WRLCK : F_RDLCK, offset, length, wait);
}

bool UnlockFileRange(int fd, int64_t offset, int64_t length) { return SetLock(fd, F_UNLCK, offset, length, false); }

}  // namespace pl
