// The market session with the library's own timers, in real time (labelled
// slow): a gateway that stops answering heartbeats is left 14 seconds after
// its last answer.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>

#include "session/datafeed_manager.h"
#include "session/session_timers.h"
#include "tests/support/net_wait.h"
#include "tests/support/session_fixture.h"

class RealTimersTest : public kvotest::SimSessionTest {
protected:
    kvotest::ScopedSessionTimers real_{SessionTimers{}};
};

TEST_F(RealTimersTest, SilentGatewayIsLeftFourteenSecondsAfterItsLastAnswer) {
    auto s = MakeSession("SH");
    s->AddAddress("127.0.0.1", sim_.Port(), false);
    std::atomic<uint64_t> lastAnswer{0};
    sim_.SetObserver([&](const kvotest::SimFrame& f) {  // called after the frame was answered
        if (f.type != kvotest::kSimHeartbeat || lastAnswer.load() != 0) return;
        sim_.SetAnswerHeartbeats(false);
        lastAnswer.store(f.atMs);
    });
    kvoapi::LoginAccountInfo account = GatewayAccount("trader");
    ASSERT_EQ(s->Login(account).nstatuscode, 0);
    ASSERT_TRUE(sim_.WaitForFrames(kvotest::kSimLoginReq, 2, 25000));
    ASSERT_GE(sim_.FramesOfType(kvotest::kSimHeartbeat).size(), 6u);  // every 2 s
    const uint64_t left = sim_.FramesOfType(kvotest::kSimLoginReq)[1].atMs - lastAnswer.load();
    EXPECT_GE(left, 13500u);
    EXPECT_LE(left, 16000u);
}
