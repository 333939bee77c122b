// The waits of the cascade roles and of offline playback, in one place so
// that tests can shorten them. The library always runs with the defaults;
// only test programs change them (these functions are not exported from the
// shared library).
#pragma once

#include <cstdint>

struct CascadeTimers {
    uint32_t connectMs = 5000;        // a child's connect to its master
    uint32_t loginWaitMs = 6000;      // a child's wait for the master's login answer
    uint32_t queryWaitMs = 3000;      // a child's wait for the answer to a snapshot query
    uint32_t frameTimeoutMs = 10000;  // a frame that began and is still incomplete drops its connection
    uint32_t sendTimeoutMs = 10000;   // a frame that cannot be sent whole ends its connection
    uint32_t masterIdleMs = 100;      // receive-loop wait without traffic, master role
    // The same in the other roles. Readable sockets and new connections end
    // the wait at once, so it only paces the stall and route checks.
    uint32_t otherIdleMs = 100;
    uint32_t acceptWaitMs = 200;     // accept-thread wait between checks of its stop flag
    uint32_t routeMaxAgeMs = 60000;  // a request route whose answer never came is forgotten
    uint32_t playbackPollMs = 5000;  // playback thread's sleep while it has no start request
    uint32_t playbackLeadMs = 2000;  // pause before the first file of a playback
    uint32_t playbackTailMs = 3000;  // pause after the last file, before the thread ends
    // Playback waits before a batch while more than this of its earlier
    // batches waits for the relay dispatcher (offline_playback.h).
    uint32_t playbackBacklogBytes = 4u << 20;
};

// The timers in force.
CascadeTimers GetCascadeTimers();
// Replaces them (tests); returns the previous ones.
CascadeTimers SetCascadeTimers(const CascadeTimers& timers);
