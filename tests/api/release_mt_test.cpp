// Releasing an instance inside its callbacks (each thread the library calls
// the host on: push worker, reconnect thread, socket engine, asynchronous
// answers, relay thread during playback) and while other host threads wait
// in calls on it, through the exported functions against the gateway
// simulator and the offline sample files.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "cascade/cascade_timers.h"
#include "cascade/offline_playback.h"
#include "include/kvoapi.h"
#include "simulator/frame_writer.h"
#include "simulator/gateway_sim.h"
#include "simulator/sim_market.h"
#include "tests/support/instance_dir.h"
#include "tests/support/net_wait.h"
#include "tests/support/process_figures.h"
#include "tests/support/session_fixture.h"

using kvotest::Eventually;

namespace {

// The release a callback makes, once, with what the host saw of it.
struct InCallbackRelease {
    std::atomic<void*> handle{nullptr};
    std::atomic<int> state{0};  // 1 releasing, 2 released
    std::atomic<int32_t> result{-1};
    std::atomic<int> after{0};  // callbacks of the instance begun after the release returned
    std::string thread;

    void Hit() {
        if (state.load() == 2) {
            ++after;
            return;
        }
        void* h = handle.exchange(nullptr);
        if (h == nullptr) return;
        state = 1;
        thread = kvotest::ThreadNameOfCaller();
        result = KvoReleaseInstance(h);
        state = 2;
    }
};
InCallbackRelease g_release;

int32_t ReleaseOnData(void*, const void*, uint32_t, const PushTiming*) {
    g_release.Hit();
    return 0;
}
void ReleaseOnNotify(void*, const NotifyRecord*) { g_release.Hit(); }
void ReleaseOnSubscribe(uint32_t, uint32_t, const char*, const char*, int32_t, int32_t kind) {
    if (kind == 1) g_release.Hit();
}

// A release that never returns leaves the process wedged: it fails instead.
void AwaitOrDie(const std::function<bool()>& done, int ms, const char* what) {
    if (Eventually(done, ms)) return;
    std::fprintf(stderr, "FAILED: %s did not happen within %d ms\n", what, ms);
    std::fflush(stderr);
    std::_Exit(1);
}

class ReleaseTest : public kvotest::InstanceDirTest {
protected:
    ReleaseTest() : InstanceDirTest("kvo_release"), timers_(kvotest::ShortSessionTimers()) {}

    void SetUp() override {
        InstanceDirTest::SetUp();
        if (HasFatalFailure()) return;
        g_release.state = 0;
        g_release.after = 0;
        g_release.result = -1;
        cfg_.m_authtype = 1;
        cfg_.m_timeout = 1000;
        // What lives until the process ends (the log writer) starts before
        // the baseline is taken; the simulator's threads come after it.
        KvoReleaseInstance(KvoCreateInstance(&cfg_));
        threads_ = kvotest::ThreadCount();
        ASSERT_TRUE(sim_.Start());
        CascadeTimers cascade = GetCascadeTimers();
        previousCascade_ = cascade;
        cascade.playbackPollMs = 20;
        cascade.playbackLeadMs = 300;
        cascade.playbackTailMs = 20;
        SetCascadeTimers(cascade);
    }

    void TearDown() override {
        market_.Stop();
        sim_.Stop();
        SetCascadeTimers(previousCascade_);
        InstanceDirTest::TearDown();
    }

    void* LoggedIn() {
        void* h = KvoCreateInstance(&cfg_);
        EXPECT_NE(h, nullptr);
        EXPECT_EQ(KvoRegisterAddr(h, "USH", "127.0.0.1", sim_.Port()), 0);
        LoginResult* r = KvoLogin(h, "trader", "pw");
        EXPECT_TRUE(r != nullptr && r->nstatuscode == 0);
        KvoFreeMem(r);
        return h;
    }

    // The callback released the instance: 0 at once, on the thread named,
    // then nothing more of it, and no thread of it left.
    void ExpectReleasedInCallback(const char* thread) {
        AwaitOrDie([] { return g_release.state.load() == 2; }, 15000, "the release inside the callback");
        EXPECT_EQ(g_release.result.load(), 0);
        if (thread != nullptr) {
            EXPECT_EQ(g_release.thread, thread);
        }
        market_.Stop();
        sim_.Stop();
        EXPECT_TRUE(Eventually([&] { return kvotest::ThreadCount() == threads_; }, 5000))
            << kvotest::ThreadCount() << " threads, " << threads_ << " before";
        EXPECT_EQ(g_release.after.load(), 0);
    }

    kvotest::ScopedSessionTimers timers_;
    kvotest::GatewaySim sim_;
    kvotest::SimMarket market_{7};
    CascadeTimers previousCascade_;
    size_t threads_ = 0;
};

}  // namespace

// fnctickstock on the stock push worker, with pushes still coming.
TEST_F(ReleaseTest, InsideAPushCallback) {
    cfg_.fnctickstock = &ReleaseOnData;
    market_.Attach(sim_);
    void* h = LoggedIn();
    ASSERT_EQ(KvoSubScribe(h, 2, 1, "USHA", "(600000,600036)"), 0);
    g_release.handle = h;
    market_.Start(20);
    ExpectReleasedInCallback("ProcessStockTick");
}

// fncnotify on the reconnect thread, once the gateway is gone for good.
TEST_F(ReleaseTest, InsideANotification) {
    cfg_.fncnotify = &ReleaseOnNotify;
    void* h = LoggedIn();
    g_release.handle = h;
    sim_.StopListening();
    sim_.CloseAll();
    ExpectReleasedInCallback("reconnectThread");
}

// fncnotify on the socket engine's receiving thread, kicked by the gateway.
TEST_F(ReleaseTest, InsideAKickNotification) {
    cfg_.fncnotify = &ReleaseOnNotify;
    void* h = LoggedIn();
    g_release.handle = h;
    ASSERT_TRUE(sim_.Write(sim_.Latest(), kvotest::NotifyFrame(1, "")));
    ExpectReleasedInCallback(nullptr);
}

// fncsubscribe answering an asynchronous subscription.
TEST_F(ReleaseTest, InsideASubscriptionAnswer) {
    cfg_.fncsubscribe = &ReleaseOnSubscribe;
    void* h = LoggedIn();
    g_release.handle = h;
    ASSERT_EQ(KvoSubScribeAsync(h, 2, 1, "USHA", "(600000)"), 0);
    ExpectReleasedInCallback("SubAsyncCallBackThread");
}

// A data callback on the relay thread during offline playback.
TEST_F(ReleaseTest, InsideAPlaybackCallback) {
    cfg_.fnctickstock = &ReleaseOnData;
    void* h = KvoCreateInstance(&cfg_);
    ASSERT_NE(h, nullptr);
    OfflineDebugConfig off{};
    const char* source = std::getenv("KVO_SOURCE_DIR");
    std::snprintf(off.path, sizeof off.path, "%s/examples/offline/", source ? source : ".");
    std::snprintf(off.subtype, sizeof off.subtype, "stock");
    off.push_count = 1;
    off.push_space = 5;
    off.playback_times = 50;
    ASSERT_EQ(KvoStartOfflineDebug(h, &off), 0);
    ASSERT_EQ(KvoSubScribe(h, 2, 1, "USHA", "()"), 0);
    g_release.handle = h;
    ExpectReleasedInCallback(nullptr);
    EXPECT_FALSE(OfflineDebugMode().Busy());
}

// Eight host threads wait in queries and subscriptions the gateway never
// answers (the wait would last 20 s); the release wakes them: every call
// comes back with its failure, and the release returns.
TEST_F(ReleaseTest, WhileCallsWait) {
    cfg_.m_timeout = 20000;
    void* h = LoggedIn();
    using kvotest::kSimCodelistReq, kvotest::kSimQuotaReq, kvotest::kSimSubscribeReq;
    for (uint16_t type : {kSimCodelistReq, kSimQuotaReq, kSimSubscribeReq})
        sim_.SetAnswer(type, kvotest::SilentAnswer());
    std::atomic<int> failed{0};  // calls that came back with their usual failure
    auto call = [&](int i) {
        uint32_t n = 0;
        void* block = nullptr;
        if (i >= 6) {
            failed += KvoSubScribe(h, 2, 1, "USHA", i == 6 ? "(600000)" : "(600036)") == KVO_ERR_TIMEOUT;
            return;
        }
        if (i < 2) block = KvoGetTickStock(h, "USHA", "(600000)", &n);
        if (i == 2 || i == 3) block = KvoGetTickIndex(h, "USHI", "(000001)", &n);
        if (i == 4) block = KvoGetSuperStock(h, "USHA", "(600000)", &n);
        if (i == 5) block = KvoGetCodelist(h, "USHA", &n);
        failed += block == nullptr;
        KvoFreeMem(block);
    };
    std::vector<std::future<void>> waiting;
    for (int i = 0; i < 8; ++i) waiting.push_back(std::async(std::launch::async, call, i));
    ASSERT_TRUE(Eventually([&] {
        return sim_.CountOfType(kSimCodelistReq) + sim_.CountOfType(kSimQuotaReq) +
                   sim_.CountOfType(kSimSubscribeReq) >=
               8;
    }));
    std::atomic<bool> released{false};
    std::thread releasing([&] {
        EXPECT_EQ(KvoReleaseInstance(h), 0);
        released = true;
    });
    AwaitOrDie([&] { return released.load(); }, 10000, "the release with calls waiting");
    releasing.join();
    for (auto& w : waiting) EXPECT_EQ(w.wait_for(std::chrono::seconds(0)), std::future_status::ready);
    for (auto& w : waiting) w.get();
    EXPECT_EQ(failed.load(), 8);
    sim_.Stop();
    EXPECT_TRUE(Eventually([&] { return kvotest::ThreadCount() == threads_; }, 5000));
}
