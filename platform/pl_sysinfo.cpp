#include "platform/pl_sysinfo.h"

#include "platform/pl_time.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <dlfcn.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace pl {

bool GetOsName(std::string& out) {
    struct utsname u;
    if (uname(&u) != 0) return false;
    out = std::string(u.sysname) + " " + u.release + " " + u.machine;
    return true;
}

int GetProcessorCount() {
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    if (n < 1) return 1;
    if (n > INT_MAX) return INT_MAX;
    return static_cast<int>(n);
}

uint64_t GetHighResTickMs() { return TickMs(); }

bool GetExecutablePath(std::string& out) {
    char buf[PATH_MAX + 1];
    ssize_t n = readlink("/proc/self/exe", buf, PATH_MAX);
    if (n <= 0) return false;
    out.assign(buf, static_cast<size_t>(n));
    return true;
}

bool GetModulePathOf(const void* address, std::string& out) {
    Dl_info info;
    if (address == nullptr || dladdr(address, &info) == 0 || info.dli_fname == nullptr || info.dli_fname[0] == '\0') {
        return false;
    }
    std::string name = info.dli_fname;
    if (name[0] != '/') {
        // The main program is reported by the name it was started with.
        std::string exe;
        if (GetExecutablePath(exe)) name = exe;
    }
    out = name;
    return true;
}

bool GetProcessorTimes(uint64_t* idle, uint64_t* total) {
    FILE* f = std::fopen("/proc/stat", "r");
    if (f == nullptr) return false;
    unsigned long long v[8] = {};
    int n = std::fscanf(f, "cpu %llu %llu %llu %llu %llu %llu %llu %llu", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5],
                        &v[6], &v[7]);
    std::fclose(f);
    if (n < 4) return false;
    uint64_t sum = 0;
    for (int i = 0; i < n; ++i) sum += v[i];
    if (idle) *idle = v[3];
    if (total) *total = sum;
    return true;
}

uint32_t SystemErrorFromErrno(int err) {
    switch (err) {
    case 0:
        return 0;
    case ENOENT:
        return 2;  // file not found
    case ENOTDIR:
    case EINVAL:
    case ELOOP:
        return 3;  // path not found
    case ENAMETOOLONG:
        return 206;  // file name too long
    case EMFILE:
    case ENFILE:
        return 4;  // too many open files
    case EACCES:
    case EPERM:
    case EISDIR:
        return 5;  // access denied
    case EBADF:
        return 6;  // invalid handle
    case EXDEV:
        return 17;  // not the same device
    case EROFS:
        return 19;  // write protected
    case EIO:
        return 21;  // device not ready / I/O error
    case ESPIPE:
        return 25;  // seek error
    case EBUSY:
    case ETXTBSY:
        return 32;  // sharing violation
    case EAGAIN:
    case EDEADLK:
        return 33;  // lock violation
    case ENOLCK:
        return 36;  // sharing buffer exceeded
    case EEXIST:
        return 80;  // file exists
    case ENOSPC:
    case EDQUOT:
        return 112;  // disk full
    case ENOTEMPTY:
        return 145;  // directory not empty
    case EFBIG:
        return 223;  // file too large
    case ENOMEM:
        return 8;  // not enough memory
    default:
        return 31;  // general failure
    }
}

uint32_t LastSystemError() { return SystemErrorFromErrno(errno); }

}  // namespace pl
