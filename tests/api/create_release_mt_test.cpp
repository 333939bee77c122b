// Instances created and released from several host threads at once: the
// process-wide slots, the socket engine's use count and the log stay sound.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "api/api_support.h"
#include "api/process_state.h"
#include "framework/net/tl_netengine.h"
#include "include/kvoapi.h"
#include "tests/support/instance_dir.h"

namespace {

int32_t DataCb(void*, const void*, uint32_t, const PushTiming*) { return 0; }

}  // namespace

TEST(CreateRelease, ConcurrentLoops) {
    char tmpl[] = "/tmp/kvo_mt_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    InstanceConfig cfg = kvotest::ConfigLoggingTo(tmpl);
    cfg.m_loglevel = 5;
    cfg.fnctickindex = &DataCb;
    const int before = kvoapi::NetEngineUsers();

    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 25; ++i) {
                void* h = KvoCreateInstance(&cfg);
                if (!h) {
                    ++failures;
                    continue;
                }
                if (KvoRegisterAddr(h, "UOO", "10.0.0.1", 1) != -1007) ++failures;
                LoginResult* r = KvoLogin(h, "9d41c2e-user", "pw");
                if (!r || r->nstatuscode != 0) ++failures;
                KvoFreeMem(r);
                if (KvoGetCodeInfo(h) != 0) ++failures;
                if (KvoReleaseInstance(h) != 0) ++failures;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(kvoapi::NetEngineUsers(), before);
    EXPECT_FALSE(TL_NetIsStarted());
    // Every instance is gone, so no callback context is left behind.
    EXPECT_EQ(kvoapi::GetCallbackContext(), nullptr);
    EXPECT_EQ(kvoapi::GetDataCallbackSlots().fnctickindex, nullptr);
    std::string cmd = std::string("rm -rf '") + tmpl + "'";
    EXPECT_EQ(system(cmd.c_str()), 0);
}
