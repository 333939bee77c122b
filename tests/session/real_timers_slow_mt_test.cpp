// The market session with the library's own timers, as every host runs it:
// the defaults where the session reads them, and a gateway that stops
// answering heartbeats being left 14 seconds after its last answer, in real
// time (labelled slow).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>

#include "session/datafeed_manager.h"
#include "session/session_threads.h"
#include "session/session_timers.h"
#include "tests/support/net_wait.h"
#include "tests/support/session_fixture.h"

using kvotest::SimFrame;
using M = CDatafeedSDKManager;

namespace {

// The session fixture with the timers put back to the library's.
class RealTimersTest : public kvotest::SimSessionTest {
protected:
    kvotest::ScopedSessionTimers real_{SessionTimers{}};
};

uint32_t PeriodOf(const M& s, M::WorkerSlot slot) {
    const auto* worker = static_cast<const CHeartBitThread*>(s.Worker(slot));
    return worker != nullptr ? worker->Period() : 0;
}

}  // namespace

// Nothing changed: the timers in force are the library's, and the session's
// period workers run with them.
TEST(SessionTimersTest, TheLibraryRunsItsDefaults) {
    const SessionTimers t = GetSessionTimers();
    EXPECT_EQ(t.heartbeatMs, 2000u);
    EXPECT_EQ(t.checkOutSeconds, 14u);
    EXPECT_EQ(t.loginWaitMs, 5000u);
    EXPECT_EQ(t.asyncCheckMs, 1000u);
    InstanceConfig cfg{};
    InstanceConfig_SetDefaults(&cfg);
    M s(&cfg, nullptr, "SH");
    EXPECT_EQ(PeriodOf(s, M::kHeartbitThread), 2000u);
    EXPECT_EQ(s.SubScribe(2, 3, "USHA", "(600000)", false), 0);
    EXPECT_EQ(PeriodOf(s, M::kSubAsyncCallBackThread), 1000u);
}

// Heartbeats every 2 s; the gateway answers the first one and no more: the
// client logs in again 14 s after that answer, not before.
TEST_F(RealTimersTest, SilentGatewayIsLeftFourteenSecondsAfterItsLastAnswer) {
    auto s = MakeSession("SH");
    s->AddAddress("127.0.0.1", sim_.Port(), false);
    std::atomic<uint64_t> lastAnswer{0};
    sim_.SetObserver([&](const SimFrame& f) {
        // Called after the frame was answered.
        if (f.type != kvotest::kSimHeartbeat || lastAnswer.load() != 0) return;
        sim_.SetAnswerHeartbeats(false);
        lastAnswer.store(f.atMs);
    });
    kvoapi::LoginAccountInfo account = GatewayAccount("trader");
    ASSERT_EQ(s->Login(account).nstatuscode, 0);
    ASSERT_TRUE(sim_.WaitForFrames(kvotest::kSimLoginReq, 2, 25000));
    const auto beats = sim_.FramesOfType(kvotest::kSimHeartbeat);
    ASSERT_GE(beats.size(), 6u);
    EXPECT_GE(beats[1].atMs - beats[0].atMs, 1900u);
    EXPECT_LE(beats[1].atMs - beats[0].atMs, 2500u);
    const uint64_t left = sim_.FramesOfType(kvotest::kSimLoginReq)[1].atMs - lastAnswer.load();
    EXPECT_GE(left, 13500u);
    EXPECT_LE(left, 16000u);
}
