// Set-up shared by the market-session tests: shortened session timers, the
// socket engine, a gateway simulator, and market sessions connected to it.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "include/kvoapi.h"
#include "session/datafeed_manager.h"
#include "session/session_timers.h"
#include "simulator/gateway_sim.h"
#include "tests/support/temp_dir.h"

namespace kvotest {

// Puts the session timers in force for its lifetime and the previous ones
// back afterwards.
class ScopedSessionTimers {
public:
    explicit ScopedSessionTimers(const SessionTimers& timers) : m_previous(SetSessionTimers(timers)) {}
    ~ScopedSessionTimers() { SetSessionTimers(m_previous); }
    ScopedSessionTimers(const ScopedSessionTimers&) = delete;
    ScopedSessionTimers& operator=(const ScopedSessionTimers&) = delete;

private:
    SessionTimers m_previous;
};

// The name the calling thread registered with the thread manager ("" when
// it has none): which worker runs a callback.
std::string ThreadNameOfCaller();

// Timers short enough for tests: heartbeat 50 ms, check-out 2 s (so between
// 1 and 2 s after the last answer, answer times being whole seconds), one login
// attempt 1000 ms, asynchronous check 50 ms, sampling 1 s, stop wait 3000 ms.
SessionTimers ShortSessionTimers();

// The frames of a type the simulator received, parsed (each must parse).
template <class Message>
std::vector<Message> ParsedFrames(const GatewaySim& sim, uint16_t type) {
    std::vector<Message> out;
    for (const SimFrame& f : sim.FramesOfType(type)) {
        Message m;
        EXPECT_TRUE(f.Parse(&m));
        out.push_back(m);
    }
    return out;
}

// The telemetry lines the simulator received, those of one index prefix
// only when prefix is not empty.
std::vector<std::string> ElkLines(const GatewaySim& sim, const std::string& prefix = "");

// An answer with the status, text and delay given.
SimAnswer StatusAnswer(int32_t status, const std::string& statusmsg = "", uint32_t delayMs = 0);
// An answer that never comes.
SimAnswer SilentAnswer();

// The socket engine and one started gateway simulator per test; the process
// log goes into a file of the test's own. Sessions made with MakeSession are
// destroyed before the engine stops.
class SimSessionTest : public ::testing::Test {
protected:
    SimSessionTest();
    void SetUp() override;
    void TearDown() override;

    // A session of market ("SH", "SZ", "OO") over cfg_.
    std::unique_ptr<CDatafeedSDKManager> MakeSession(const std::string& market = "SH");
    // Opens the session's connection to the simulator and waits until the
    // simulator accepted it; with loggedIn the receive routing is switched
    // to the logged-in state as a successful login would.
    ::testing::AssertionResult Connect(CDatafeedSDKManager& session, bool loggedIn);
    // An account the gateway checks itself (no authentication centre).
    static kvoapi::LoginAccountInfo GatewayAccount(const std::string& user);
    // A session of market logged in (as GatewayAccount("trader")) on the
    // simulator, with the more simulators as further addresses.
    std::unique_ptr<CDatafeedSDKManager> LoggedInSession(const std::string& market = "SH",
                                                         const std::vector<GatewaySim*>& more = {});
    // The text of the process log so far.
    std::string LogText() const { return m_log.Text(); }

    InstanceConfig cfg_{};
    GatewaySim sim_;
    ScopedSessionTimers timers_;

private:
    DefaultLogFile m_log;
    bool m_engine = false;
};

}  // namespace kvotest
