// The process-wide socket engine: one completion port with its completion
// threads, the check thread that drives every link (a check once a second, an
// idle call every 100 ms, release of closed links), the registry of links,
// the "TCP" settings and the send-delay accounting.
//
// Start and cleanup are counted: every user starts the engine and releases
// it, and the engine stops only when the last user releases it.
//
// Locks, in the order they may be taken:
//   1. the link list lock   the links the check thread drives; held for a
//                           whole check or idle pass, while each link runs
//                           its check and may call its sink
//   2. the new-link lock    links created since the last pass
// and, apart from them, the engine lock (start and stop), then the
// settings lock. The engine lock is never held while 1 or 2 is taken. A
// link's own locks come after 1 and are held while it calls its sink; the
// check thread's sleep lock is taken alone.
//
// No lock of the engine is held while a thread is joined:
//   - The last cleanup marks the engine as stopping under the engine lock,
//     takes its threads out of it and lets the lock go; then it waits
//     (bounded waits: a thread still busy is left behind, never terminated)
//     for the check and completion threads and deletes the links, taking 1
//     and 2 only to empty the lists. A start or another release meanwhile
//     waits until the stop has finished; one made by the stopping thread
//     itself (from a callback it runs) finds the port still there. On a
//     thread the stop waits for, TL_NetIsStarted and TL_NetCleanup answer
//     at once (the engine is stopped for them); a start there still waits.
//   - A check pass takes released links off the list under 1 and deletes
//     them once 1 is let go: deleting a listening link joins its accept
//     thread, which may take 1 or 2 meanwhile.
// The engine never calls the host itself. A sink called from a pass runs
// under 1, so it must not start or release the engine while another thread
// stops it: it would wait for that stop, which needs 1 to empty the lists.
#pragma once

#include <cstdint>
#include <string>

namespace pl {
class IoPort;
}

namespace corvane {
class CTLNetNotify;
class ITLConnection;
class ITLSocketLink;
}  // namespace corvane

// Result codes of the engine.
constexpr int32_t TL_NET_E_PORT_EXISTS = static_cast<int32_t>(0x80070005);
constexpr int32_t TL_NET_E_PORT_CREATE = static_cast<int32_t>(0x80070006);

// Engine flag: connections the engine accepts or makes get TCP_NODELAY.
constexpr uint32_t TL_NET_FLAG_NONAGLE = 0x8;
// At most this many send-delay thresholds are used.
constexpr int TL_NET_MAX_DELAY_THRESHOLDS = 14;

// Starts the engine (settings path or null for defaults). Returns 0, or
// 0x80070005 / 0x80070006 when the completion port cannot be started (the
// engine then stays stopped). A second call while started only counts the
// user; forced, it reads the settings again and answers 0x80070005.
int TL_NetStartup(const char* settingsPath, int force);
// Releases one user; the last one stops the engine: the completion threads
// and the check thread are woken and joined, then the remaining links and
// their connections are deleted. Returns 0.
int TL_NetCleanup();
// While the engine stops, TL_NetStartup, TL_NetCleanup and TL_NetIsStarted
// wait until the stop has finished, except on a thread the stop waits for
// (a callback on one of the engine's threads): there the last two answer at
// once, the engine being stopped.
bool TL_NetIsStarted();

// Creates and registers a link for a sink. Only kinds whose low four bits
// are 1 are served. A given connection is attached to the link. Null when
// the engine is not started or the kind is not served.
corvane::ITLSocketLink* TL_CreateSocketLink(corvane::CTLNetNotify* sink, uint32_t kind,
                                            corvane::ITLConnection* connection);

// The engine clock (ms of the monotonic clock, read at the call): send
// buffers stamp their queueing time with it.
uint32_t TL_NetGetClock();
// Milliseconds of a monotonic clock, truncated to 32 bits.
uint32_t TL_TickMs();
// The engine's completion port while started, else null.
pl::IoPort* TL_NetGetPort();
uint32_t TL_NetGetFlags();
// The engine's log channel, -1 when none.
int TL_NetGetLogChannel();

// Counts the delay of a queued send buffer that was released.
void TL_NetReportSendDelay(uint32_t queuedAt, int32_t flags);

// Accepted connections and the milliseconds spent accepting them, counted
// since the process started.
void TL_NetNoteAccept(uint32_t ms);
void TL_NetGetAcceptStats(uint64_t& accepted, uint64_t& totalMs);

// ---- settings -------------------------------------------------------------

struct TLNetSettings {
    int threadCount = 0;  // completion threads (the processor count by default)
    int nonagle = 1;
    std::string logFileName;
    int32_t thresholds[TL_NET_MAX_DELAY_THRESHOLDS] = {0};
    int thresholdCount = 0;
    int writeSendDelayTime = 0;
    int multiLinkNumDefault = 1;
};

// The settings in effect (defaults when the engine is not started).
TLNetSettings TL_NetGetSettings();
// Reads section "TCP" of an INI file; a null or empty path gives the
// defaults. Settings that need the log channel are resolved by the engine.
TLNetSettings TL_NetReadSettings(const char* path);

// ---- pure helpers of the send-delay accounting -------------------------------

// Comma-separated thresholds; at most TL_NET_MAX_DELAY_THRESHOLDS are kept.
int TL_NetParseSendDelay(const char* text, int32_t* out);
// The bucket (0 .. count) of one delay: the first threshold not below it,
// walking while thresholds are at least 1; above them all, the last bucket.
// -1 with no thresholds.
int TL_NetDelayBucket(const int32_t* thresholds, int count, uint32_t delay);
// "Delay," then "%ld,%ld," per bucket, then "\r\n".
std::string TL_NetFormatDelayLine(const uint32_t* first, const uint32_t* second, int buckets);
// The counters of one bucket (tests and diagnostics).
void TL_NetGetDelayCounters(int bucket, uint32_t& first, uint32_t& second);

// ---- check thread -------------------------------------------------------------

// One check pass: moves new links to the active list, releases the links
// ready to be released and checks the others. The check thread runs it
// every 100th 10 ms step. It sleeps from one idle pass to the next (the
// steps between have no work) and wakes at once when the engine stops.
void TL_NetCheckPass();
// One idle pass over the active links (every 10th step); it also finishes
// the sockets that a close waiting for its sends left lingering in the port
// once their peers have the data (or their time is up).
void TL_NetIdlePass();
// Number of registered links (active and new).
size_t TL_NetLinkCount();
// Times the check thread woke and idle passes it ran, counted since the
// process started (an idle engine wakes about once per idle pass).
void TL_NetGetCheckThreadStats(uint64_t& wakes, uint64_t& idlePasses);

// Test hooks. With the check thread disabled before TL_NetStartup, no check
// thread runs and the passes above are driven by the caller. The release
// delay is the time a closed connection waits before it may be released
// (15000 ms).
void TL_NetSetCheckThreadEnabled(bool enabled);
void TL_NetSetReleaseDelay(uint32_t ms);
uint32_t TL_NetGetReleaseDelay();
