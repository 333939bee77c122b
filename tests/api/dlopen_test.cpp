// Loads the built libkvoapi.so the way a host does and drives it through the
// symbols it resolves. This program links none of the library's code (only
// the protobuf runtime the library shares with it), so whatever it finds of
// the library came with the shared object.
#include <dlfcn.h>
#include <google/protobuf/descriptor.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "include/kvoapi.h"
#include "tests/support/library_path.h"

namespace {

const char* const kExports[] = {
    "KvoCreateInstance", "KvoReleaseInstance",   "KvoRegisterAddr", "KvoLogin",         "KvoGetCodelist",
    "KvoGetCodeInfo",    "KvoGetTickIndex",      "KvoGetTickStock", "KvoGetSuperStock", "KvoSubScribe",
    "KvoSubScribeAsync", "KvoStartOfflineDebug", "KvoFreeMem",
};

using kvotest::LibraryPath;

// The library stays loaded, as in a host: its process-wide state lives until
// the process ends.
class DlopenTest : public ::testing::Test {
protected:
    void SetUp() override {
        lib_ = dlopen(LibraryPath().c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(lib_, nullptr) << dlerror();
    }
    template <typename F>
    F Get(const char* name) {
        return reinterpret_cast<F>(dlsym(lib_, name));
    }
    void* lib_ = nullptr;
};

}  // namespace

TEST_F(DlopenTest, AllThirteenFunctionsResolve) {
    for (const char* name : kExports) EXPECT_NE(dlsym(lib_, name), nullptr) << name;
    // Nothing internal leaks out.
    EXPECT_EQ(dlsym(lib_, "_ZN6kvoapi8WriteLogEiPKcz"), nullptr);
    EXPECT_EQ(dlsym(lib_, "kvoapi_c_header_check"), nullptr);
}

TEST_F(DlopenTest, HostRoundTrip) {
    auto create = Get<void* (*)(const InstanceConfig*)>("KvoCreateInstance");
    auto release = Get<int32_t (*)(void*)>("KvoReleaseInstance");
    auto login = Get<LoginResult* (*)(void*, const char*, const char*)>("KvoLogin");
    auto freemem = Get<int32_t (*)(void*)>("KvoFreeMem");
    auto reg = Get<int32_t (*)(void*, const char*, const char*, uint16_t)>("KvoRegisterAddr");
    auto offline = Get<int32_t (*)(void*, const OfflineDebugConfig*)>("KvoStartOfflineDebug");
    ASSERT_TRUE(create && release && login && freemem && reg && offline);

    LoginResult* r = login(nullptr, "u", "p");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->nstatuscode, -1009);
    EXPECT_STREQ(r->statusmsg, "\xce\xde\xd0\xa7\x68\x61\x6e\x64\x6c\x65");
    EXPECT_EQ(freemem(r), 0);
    EXPECT_EQ(freemem(nullptr), -1010);
    EXPECT_EQ(offline(nullptr, nullptr), -1);
    EXPECT_EQ(reg(nullptr, "USH", "1.2.3.4", 1), -1009);

    char tmpl[] = "/tmp/kvo_dlopen_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    InstanceConfig cfg;
    InstanceConfig_SetDefaults(&cfg);
    std::strncpy(cfg.m_logpath, tmpl, sizeof(cfg.m_logpath) - 1);
    cfg.m_loglevel = 5;
    for (int i = 0; i < 3; ++i) {
        void* h = create(&cfg);
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(reg(h, "USH", nullptr, 1), -1006);
        // A registration creates the market's session inside the library;
        // release stops its threads.
        EXPECT_EQ(reg(h, "USH", "127.0.0.1", 1), 0);
        EXPECT_EQ(reg(h, "USZ", "127.0.0.1", 2), 0);
        EXPECT_EQ(release(h), 0);
    }
    // The instance log holds the level-5 lines of the calls.
    std::string cmd = std::string("grep -q 'KvoCreateInstance:' ") + tmpl + "/kvolog/kvoapi*.log";
    EXPECT_EQ(system(cmd.c_str()), 0);
    cmd = std::string("grep -q 'KvoRegisterAddr  pmarket:USH  paddr:(null)  port:1!' ") + tmpl + "/kvolog/kvoapi*.log";
    EXPECT_EQ(system(cmd.c_str()), 0);
    cmd = std::string("rm -rf '") + tmpl + "'";
    EXPECT_EQ(system(cmd.c_str()), 0);
}

// What the library registers while it loads (here: the gateway message
// schema, registered in the protobuf runtime the host shares) is there once
// the library is loaded, though nothing of the library has been called.
TEST(LibraryLoad, RegistrationsMadeAtLoadAreVisible) {
    const google::protobuf::DescriptorPool* pool = google::protobuf::DescriptorPool::generated_pool();
    const bool loaded = dlopen(LibraryPath().c_str(), RTLD_NOW | RTLD_NOLOAD) != nullptr;
    if (!loaded) {
        EXPECT_EQ(pool->FindFileByName("datapacket.pro"), nullptr);
    }
    void* lib = dlopen(LibraryPath().c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    const google::protobuf::FileDescriptor* file = pool->FindFileByName("datapacket.pro");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->package(), "datapacket");
    for (const char* name : {"datapacket.LoginReq", "datapacket.PushData", "datapacket.GatewayNotify"}) {
        EXPECT_NE(pool->FindMessageTypeByName(name), nullptr) << name;
    }
}

namespace {

// The unload test's host side: the instance released by its first stock
// tick batch, from inside that callback, which then goes on for a while.
struct ReleasingHost {
    int32_t (*release)(void*) = nullptr;
    std::atomic<void*> handle{nullptr};
    std::atomic<bool> released{false};
    std::atomic<bool> returned{false};
};
ReleasingHost g_releasing;

int32_t ReleaseOnFirstBatch(void*, const void*, uint32_t, const PushTiming*) {
    void* h = g_releasing.handle.exchange(nullptr);
    if (h == nullptr) return 0;
    g_releasing.released = g_releasing.release(h) == 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    g_releasing.returned = true;
    return 0;
}

size_t ThreadCount() {
    size_t n = 0;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/task")) n += e.is_directory() ? 1 : 0;
    return n;
}

}  // namespace

// A host that unloads the library as soon as the callback that released an
// instance has made its release, while that callback still runs and the
// instance's teardown waits for it. The unload returns (the library stays
// loaded until the teardown no longer needs it, here until the process
// ends) and the teardown ends all the same; it must not hang on the loader.
TEST(LibraryLoad, UnloadRightAfterAReleaseInsideACallback) {
    const std::string lib = LibraryPath();
    const std::string sim = lib.substr(0, lib.rfind("/api/")) + "/simulator/kvo_gateway_sim";
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    char* argv[] = {const_cast<char*>(sim.c_str()), const_cast<char*>("--push-ms"), const_cast<char*>("20"), nullptr};
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, sim.c_str(), &actions, nullptr, argv, environ), 0) << sim;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    struct Stop {
        pid_t pid;
        int fd;
        ~Stop() {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
            close(fd);
        }
    } stop{pid, out[0]};
    std::string line;
    pollfd p{out[0], POLLIN, 0};
    char c;
    while (line.find('\n') == std::string::npos && poll(&p, 1, 10000) == 1 && read(out[0], &c, 1) == 1) line += c;
    const size_t colon = line.rfind(':');
    ASSERT_NE(colon, std::string::npos) << line;
    const uint16_t port = static_cast<uint16_t>(std::atoi(line.c_str() + colon + 1));

    void* handle = dlopen(lib.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    auto create = reinterpret_cast<void* (*)(const InstanceConfig*)>(dlsym(handle, "KvoCreateInstance"));
    auto reg =
        reinterpret_cast<int32_t (*)(void*, const char*, const char*, uint16_t)>(dlsym(handle, "KvoRegisterAddr"));
    auto login = reinterpret_cast<LoginResult* (*)(void*, const char*, const char*)>(dlsym(handle, "KvoLogin"));
    auto subscribe = reinterpret_cast<int32_t (*)(void*, uint32_t, uint32_t, const char*, const char*)>(
        dlsym(handle, "KvoSubScribe"));
    auto freemem = reinterpret_cast<int32_t (*)(void*)>(dlsym(handle, "KvoFreeMem"));
    g_releasing.release = reinterpret_cast<int32_t (*)(void*)>(dlsym(handle, "KvoReleaseInstance"));
    ASSERT_TRUE(create && reg && login && subscribe && freemem && g_releasing.release);

    char dir[] = "/tmp/kvo_unload_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    InstanceConfig cfg;
    InstanceConfig_SetDefaults(&cfg);
    std::strncpy(cfg.m_logpath, dir, sizeof(cfg.m_logpath) - 1);
    cfg.m_authtype = 1;
    // The process-wide log writer starts with the first instance and stays.
    g_releasing.release(create(&cfg));
    const size_t base = ThreadCount();
    cfg.fnctickstock = &ReleaseOnFirstBatch;
    void* h = create(&cfg);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(reg(h, "USH", "127.0.0.1", port), 0);
    LoginResult* r = login(h, "trader", "pw");
    ASSERT_TRUE(r != nullptr && r->nstatuscode == 0);
    freemem(r);
    g_releasing.handle = h;
    ASSERT_EQ(subscribe(h, 2, 1, "USHA", "(600000)"), 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!g_releasing.released && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(g_releasing.released);

    // An unload that never returns fails the test instead of hanging it.
    std::atomic<bool> unloaded{false};
    std::thread watchdog([&] {
        for (int i = 0; i < 200 && !unloaded; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (!unloaded) {
            std::fprintf(stderr, "FAILED: dlclose did not return within 10 s\n");
            std::_Exit(1);
        }
    });
    EXPECT_EQ(dlclose(handle), 0);
    unloaded = true;
    watchdog.join();
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while ((!g_releasing.returned || ThreadCount() > base) && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(ThreadCount(), base);
    std::string cmd = std::string("rm -rf '") + dir + "'";
    EXPECT_EQ(system(cmd.c_str()), 0);
}
