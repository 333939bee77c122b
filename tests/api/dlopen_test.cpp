// Loads the built libkvoapi.so the way a host does and drives it through the
// symbols it resolves. This program links none of the library's code (only
// the protobuf runtime the library shares with it), so whatever it finds of
// the library came with the shared object.
#include <dlfcn.h>
#include <google/protobuf/descriptor.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "include/kvoapi.h"

namespace {

const char* const kExports[] = {
    "KvoCreateInstance", "KvoReleaseInstance",   "KvoRegisterAddr", "KvoLogin",         "KvoGetCodelist",
    "KvoGetCodeInfo",    "KvoGetTickIndex",      "KvoGetTickStock", "KvoGetSuperStock", "KvoSubScribe",
    "KvoSubScribeAsync", "KvoStartOfflineDebug", "KvoFreeMem",
};

// The library beside the test programs: <build>/api/libkvoapi.so, or the
// file named by KVO_LIBRARY.
std::string LibraryPath() {
    if (const char* env = getenv("KVO_LIBRARY")) return env;
    char exe[4096];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    if (n <= 0) return "libkvoapi.so";
    std::string dir(exe, static_cast<size_t>(n));
    dir = dir.substr(0, dir.rfind('/'));
    return dir + "/../api/libkvoapi.so";
}

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
