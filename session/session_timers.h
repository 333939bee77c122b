// The timers of the feed session, in one place so that tests can shorten
// them: the heartbeat period, the heartbeat check-out age, the wait of one
// login attempt, the period of the asynchronous subscription check, the
// push-sampling interval, and how long the session waits for each of its
// threads when it stops before it logs that the thread is late.
//
// The library always runs with the defaults; only test programs change them
// (these functions are not exported from the shared library).
#pragma once

#include <cstdint>

struct SessionTimers {
    uint32_t heartbeatMs = 2000;      // "heartbitThread" period
    uint32_t checkOutSeconds = 14;    // heartbeat answer age that queues a reconnect
    uint32_t loginWaitMs = 5000;      // one connect-and-login attempt
    uint32_t asyncCheckMs = 1000;     // "SubAsyncCallBackThread" period
    uint32_t samplingSeconds = 300;   // push-sampling interval of a channel
    uint32_t stopWaitMs = 3000;       // per-thread stop wait before the lateness is logged
    uint32_t defaultAnswerMs = 5000;  // answer wait when m_timeout is not positive
};

// The timers in force.
SessionTimers GetSessionTimers();
// Replaces them (tests); returns the previous ones.
SessionTimers SetSessionTimers(const SessionTimers& timers);
