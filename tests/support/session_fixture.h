// Set-up shared by the market-session tests: shortened session timers, the
// socket engine, a gateway simulator, and market sessions connected to it.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "include/kvoapi.h"
#include "session/datafeed_manager.h"
#include "session/session_timers.h"
#include "tests/support/gateway_sim.h"
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
