// The market session with the library's own timers, as every host runs it:
// the defaults where the session reads them, the 5-second wait of a login
// attempt, and a gateway that stops answering heartbeats being left 14
// seconds after its last answer. These tests take the real time they
// measure (labelled slow).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
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
// period workers run with them (heartbeat 2000 ms, asynchronous check 1000
// ms); the other two are read per check-out and per attempt.
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

// A gateway that never answers the login: the attempt gives up after 5 s.
TEST_F(RealTimersTest, LoginAttemptWaitsFiveSeconds) {
    cfg_.m_timeout = 20000;  // the login request's own wait is longer
    auto s = MakeSession("SH");
    s->AddAddress("127.0.0.1", sim_.Port(), false);
    sim_.SetAnswer(kvotest::kSimLoginReq, kvotest::SilentAnswer());
    kvoapi::LoginAccountInfo account = GatewayAccount("trader");
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(s->Login(account).nstatuscode, -1002);
    EXPECT_GE(kvotest::MsSince(t0), 4900);
    EXPECT_LT(kvotest::MsSince(t0), 7000);
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
