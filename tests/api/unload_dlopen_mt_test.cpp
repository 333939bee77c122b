// dlclose while an instance lives: the library, loaded the way a host loads
// it, stays loaded under the instance's threads. Runs in a process of its
// own, where nothing else holds the library.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "include/kvoapi.h"
#include "tests/support/library_path.h"

namespace {

using kvotest::LibraryPath;

// An instance with a market session, then dlclose: the process-wide socket
// engine the instance started goes on (its check thread wakes every 100 ms),
// and the process ends normally later.
[[noreturn]] void UnloadUnderALiveInstance() {
    void* handle = dlopen(LibraryPath().c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) std::_Exit(5);
    auto create = reinterpret_cast<void* (*)(const InstanceConfig*)>(dlsym(handle, "KvoCreateInstance"));
    auto reg =
        reinterpret_cast<int32_t (*)(void*, const char*, const char*, uint16_t)>(dlsym(handle, "KvoRegisterAddr"));
    char dir[] = "/tmp/kvo_unload_live_XXXXXX";
    if (!create || !reg || mkdtemp(dir) == nullptr) std::_Exit(6);
    InstanceConfig cfg;
    InstanceConfig_SetDefaults(&cfg);
    std::strncpy(cfg.m_logpath, dir, sizeof(cfg.m_logpath) - 1);
    cfg.m_authtype = 1;
    void* h = create(&cfg);
    if (h == nullptr || reg(h, "USH", "127.0.0.1", 1) != 0) std::_Exit(7);
    if (dlclose(handle) != 0) std::_Exit(8);
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    const std::string rm = std::string("rm -rf '") + dir + "'";
    std::exit(std::system(rm.c_str()) == 0 ? 0 : 9);
}

}  // namespace

TEST(LibraryUnload, DlcloseUnderALiveInstanceKeepsTheLibrary) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(UnloadUnderALiveInstance(), ::testing::ExitedWithCode(0), "");
}
