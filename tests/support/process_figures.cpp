#include "tests/support/process_figures.h"

#include <dirent.h>
#include <malloc.h>
#include <time.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KVO_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KVO_TEST_SANITIZED 1
#endif
#endif

#ifdef KVO_TEST_SANITIZED
// The sanitizer runtimes' allocator statistics (declared here: g++ ships no
// header of them).
extern "C" size_t __sanitizer_get_current_allocated_bytes(void);
#endif

namespace kvotest {
namespace {

// Names of the entries of a folder other than "." and "..".
std::vector<std::string> Entries(const char* path) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(path);
    if (dir == nullptr) return names;
    while (const dirent* e = ::readdir(dir)) {
        if (e->d_name[0] == '.' && (e->d_name[1] == '\0' || (e->d_name[1] == '.' && e->d_name[2] == '\0'))) continue;
        names.emplace_back(e->d_name);
    }
    ::closedir(dir);
    return names;
}

}  // namespace

size_t ThreadCount() { return Entries("/proc/self/task").size(); }

std::set<int> ThreadIds() {
    std::set<int> ids;
    for (const std::string& name : Entries("/proc/self/task")) ids.insert(std::atoi(name.c_str()));
    return ids;
}

uint64_t ThreadWakes(const std::set<int>& leaveOut) {
    uint64_t sum = 0;
    for (const int tid : ThreadIds()) {
        if (leaveOut.count(tid) != 0) continue;
        // A thread that ended meanwhile has no file left: it counts nothing.
        std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
        std::string word;
        uint64_t n = 0;
        while (status >> word) {
            if ((word == "voluntary_ctxt_switches:" || word == "nonvoluntary_ctxt_switches:") && status >> n) sum += n;
        }
    }
    return sum;
}

size_t OpenDescriptors() {
    // The listing's own descriptor is counted while it is open.
    const size_t n = Entries("/proc/self/fd").size();
    return n > 0 ? n - 1 : 0;
}

uint64_t LiveHeapBytes() {
#ifdef KVO_TEST_SANITIZED
    return __sanitizer_get_current_allocated_bytes();
#else
    const struct mallinfo2 info = ::mallinfo2();
    return uint64_t(info.uordblks) + uint64_t(info.hblkhd);
#endif
}

uint64_t ProcessCpuNs() {
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return uint64_t(t.tv_sec) * 1000000000ull + uint64_t(t.tv_nsec);
}

}  // namespace kvotest
