#include "api/api_support.h"

#include <cstdarg>
#include <mutex>
#include <string>

#include "framework/net/tl_netengine.h"
#include "framework/tl_log.h"
#include "platform/pl_never_destroyed.h"

namespace kvoapi {
namespace {

struct NetState {
    std::recursive_mutex mutex;
    int users = 0;
};

NetState& Net() {
    static pl::NeverDestroyed<NetState> state;
    return *state;
}

}  // namespace

void OpenInstanceLog(const std::string& path, int level) {
    // Channel 0 with its usual flags: daily files (the date stamp goes before
    // ".log"), local time, process and thread ids.
    TL_OpenLog(TL_LOG_DEFAULT_FLAGS, path.c_str());
    TL_SetLogLevel(0, level);
}

void WriteLog(int level, const char* format, ...) {
    if (!format) return;
    va_list args;
    va_start(args, format);
    TL_WriteLogV(level, format, args);
    va_end(args);
}

int AcquireNetEngine() {
    std::lock_guard<std::recursive_mutex> lock(Net().mutex);
    // No settings file, not forced: the first user starts the engine, later
    // ones are counted by it.
    const int rc = TL_NetStartup(nullptr, 0);
    if (rc == 0) ++Net().users;
    return rc;
}

void ReleaseNetEngine() {
    std::lock_guard<std::recursive_mutex> lock(Net().mutex);
    if (Net().users == 0) return;
    --Net().users;
    TL_NetCleanup();  // the last user stops the engine
}

int NetEngineUsers() {
    std::lock_guard<std::recursive_mutex> lock(Net().mutex);
    return Net().users;
}

}  // namespace kvoapi
