// Threads of the framework: the thread helpers and corvane::CTL_Thread.
//
// No thread is ever killed. Stopping a thread means: clear its running flag,
// wake whatever it waits on, and wait up to a timeout. A thread that has not
// ended by then is logged and detached: it ends by itself once the work it is
// busy with returns, and until then its object and everything it uses must
// be kept alive (deliberately leaked), never freed under it.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>

#include "framework/tl_object.h"
#include "framework/tl_sync.h"

using TLThreadRoutine = uint32_t (*)(void* context);

// Starts routine(context) on a new thread (default stack, started at once).
// The thread's id goes to *tid when tid is not null. Null on failure. Give the
// handle back with TL_CloseHandle.
TLHandle TL_CreateThread(TLThreadRoutine routine, void* context, uint32_t* tid);

// 1 when the thread ended within ms (1 also for a null handle), else 0.
int TL_WaitThread(TLHandle thread, uint32_t ms);

// Waits up to ms for the ended flag (checked every 20 ms; the wait also ends
// as soon as the thread itself ends). When the thread still runs afterwards it
// is abandoned (TL_TerminateThread). Returns 1 when the ended flag is set or
// the thread has already finished (1 also for a null handle), else 0.
int TL_WaitThreadExit(TLHandle thread, const std::atomic<uint8_t>* ended, uint32_t ms);

// The stand-in for killing a thread that was asked to stop: one that has not
// ended is logged at level 1 and detached; it runs on until its current work
// returns. Null is ignored. Returns 1 when the thread had already ended, 0
// when it was left running.
int TL_TerminateThread(TLHandle thread);

// Waits up to ms for the thread and reclaims it. 1 when it has ended (or h is
// null).
int TL_JoinThread(TLHandle thread, uint32_t ms);

void TL_Sleep(uint32_t ms);
uint32_t TL_GetCurrentProcessId();
uint32_t TL_GetCurrentThreadId();
// Monotonic milliseconds, for timeouts and intervals.
uint64_t TL_GetTickCount64();
// Current calendar time, also stored in *out when out is not null.
int64_t TL_Time(int64_t* out);
// Local broken-down time of t (a thread-local record), also copied to *out
// when out is not null.
struct tm* TL_LocalTime(int64_t t, struct tm* out);
// The C library's strtol for a 32-bit long: results saturate at INT32_MAX
// and INT32_MIN (errno ERANGE).
long TL_StrToLong(const char* text, char** end, int base);

namespace corvane {

// A framework thread. Start runs Run on a new thread and sets the ended flag
// when it returns. Run loops while IsRunning(), sleeping with WaitForStop so
// that Stop wakes it at once.
class CTL_Thread : public CTLObject {
public:
    CTL_Thread();
    // A thread still running here is a caller error (its Run would use a
    // destroyed object): it is logged, asked to stop and given 2000 ms to end
    // before the object goes.
    ~CTL_Thread() override;

    // Sets the running flag and starts the thread. 1 on success; 0 when the
    // thread cannot be created or the previous one still runs (also one that
    // an earlier Stop left running).
    int Start();

    // The thread body. The base form waits 1000 ms at a time while running.
    virtual void Run();

    // Clears the running flag, wakes WaitForStop, and waits up to ms for Run
    // to return. 1 when the thread has ended; 0 when it did not stop in time:
    // it is then logged and detached, and this object must not be deleted
    // (see StopAndRelease). A later Stop or Join of such a thread waits for
    // its ended flag and returns 1 only once it is set. Called from the
    // thread itself, Stop only raises the request and returns 0 at once.
    virtual int Stop(uint32_t ms = 2000);

    // Waits up to ms for the thread to end without asking it to stop.
    // 1 when it has ended (or was never started).
    int Join(uint32_t ms);

    // Stops the thread and deletes the object; when the thread does not end
    // within ms the object is left alive for the running thread (a deliberate
    // leak, logged). Null is ignored.
    static void StopAndRelease(CTL_Thread* thread, uint32_t ms = 2000);

    bool IsRunning() const { return m_bRunning.load(std::memory_order_acquire) != 0; }
    bool IsEnded() const { return m_bEnded.load(std::memory_order_acquire) != 0; }
    bool IsStarted() const { return m_hThread != nullptr; }
    // True after a Stop that timed out: the thread still uses this object.
    bool IsAbandoned() const { return m_bAbandoned; }

protected:
    // The interruptible wait of a Run loop: waits up to ms; returns 1 at once
    // when a stop has been requested, 0 when the time passed.
    int WaitForStop(uint32_t ms);

    TLHandle m_hThread = nullptr;
    std::atomic<uint8_t> m_bEnded{0};
    std::atomic<uint8_t> m_bRunning{0};

private:
    static uint32_t ThreadMain(void* self);
    // Polls the ended flag every 20 ms for up to ms; 1 once it is set.
    int WaitEnded(uint32_t ms);

    pl::Event m_stop{true, false};
    uint32_t m_nThreadId = 0;
    // Id of the thread running Run, written by that thread itself.
    std::atomic<uint32_t> m_nRunnerId{0};
    bool m_bAbandoned = false;
};

}  // namespace corvane
