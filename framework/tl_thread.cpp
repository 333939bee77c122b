#include "framework/tl_thread.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "framework/tl_log.h"
#include "platform/pl_thread.h"
#include "platform/pl_time.h"

namespace {

pl::Thread* AsThread(TLHandle h) { return dynamic_cast<pl::Thread*>(h); }

}  // namespace

TLHandle TL_CreateThread(TLThreadRoutine routine, void* context, uint32_t* tid) {
    return pl::Thread::Start(routine, context, tid);
}

int TL_WaitThread(TLHandle thread, uint32_t ms) {
    if (thread == nullptr) return 1;
    return thread->Wait(ms) == TL_WAIT_OBJECT_0 ? 1 : 0;
}

int TL_WaitThreadExit(TLHandle thread, const std::atomic<uint8_t>* ended, uint32_t ms) {
    if (thread == nullptr) return 1;
    auto is_ended = [ended] { return ended != nullptr && ended->load(std::memory_order_acquire) != 0; };
    if (!is_ended()) {
        // Poll the flag every 20 ms; a thread that has returned ends the wait too.
        uint64_t counted = 0;
        while (!is_ended() && counted < ms) {
            const uint32_t step = (ms - counted) < 20 ? static_cast<uint32_t>(ms - counted) : 20;
            if (thread->Wait(step) == TL_WAIT_OBJECT_0) break;
            counted += step;
        }
    }
    // Ended means the flag is set or the thread has already returned (its
    // routine may leave without setting the flag).
    const int result = (is_ended() || TL_WaitThread(thread, 0)) ? 1 : 0;
    // A thread that set its flag is only unwinding: it is not abandoned.
    if (!result) TL_TerminateThread(thread);
    return result;
}

int TL_TerminateThread(TLHandle thread) {
    pl::Thread* t = AsThread(thread);
    if (t == nullptr) return 0;
    if (t->HasEnded()) return 1;
    // Every caller asked the thread to stop first: it ends as soon as the
    // work it is busy with (a callback into the host, say) returns.
    TL_WriteLog(1,
                "TL_TerminateThread: thread %u still busy when the stop wait ended; detached, it ends by itself "
                "once its current work returns",
                t->ThreadId());
    t->Detach();
    return 0;
}

int TL_JoinThread(TLHandle thread, uint32_t ms) {
    if (thread == nullptr) return 1;
    pl::Thread* t = AsThread(thread);
    if (t == nullptr) return 0;
    return t->Join(ms) ? 1 : 0;
}

void TL_Sleep(uint32_t ms) { pl::SleepMs(ms); }

uint32_t TL_GetCurrentProcessId() { return pl::CurrentProcessId(); }

uint32_t TL_GetCurrentThreadId() { return pl::CurrentThreadId(); }

uint64_t TL_GetTickCount64() { return pl::TickMs(); }

int64_t TL_Time(int64_t* out) {
    const int64_t now = pl::Now();
    if (out != nullptr) *out = now;
    return now;
}

struct tm* TL_LocalTime(int64_t t, struct tm* out) {
    thread_local struct tm local;
    pl::LocalTime(t, &local);
    if (out != nullptr) *out = local;
    return &local;
}

long TL_StrToLong(const char* text, char** end, int base) {
    if (text == nullptr) {
        if (end != nullptr) *end = nullptr;
        return 0;
    }
    // The framework's long is 32 bits wide: values beyond it saturate as the
    // C library's strtol does at its own limits (errno ERANGE), instead of
    // coming back as 64-bit numbers that callers storing an int would wrap.
    const long value = std::strtol(text, end, base);
    if (value > INT32_MAX) {
        errno = ERANGE;
        return INT32_MAX;
    }
    if (value < INT32_MIN) {
        errno = ERANGE;
        return INT32_MIN;
    }
    return value;
}

namespace corvane {

namespace {

// How long a destructor waits for a thread that is still running.
constexpr uint32_t kDestroyWaitMs = 2000;

}  // namespace

CTL_Thread::CTL_Thread() = default;

CTL_Thread::~CTL_Thread() {
    if (m_hThread == nullptr && !m_bAbandoned) return;
    if (!IsEnded()) {
        // Deleted without a successful Stop. Ask the thread to stop and give it
        // the usual time to leave before its object goes: a Run that honours the
        // flag ends here instead of running on a freed object.
        TL_WriteLog(1, "CTL_Thread: object of thread %u deleted while the thread runs; stopping it", m_nThreadId);
        m_bRunning.store(0, std::memory_order_release);
        m_stop.Set();
        if (!WaitEnded(kDestroyWaitMs))
            TL_WriteLog(1, "CTL_Thread: thread %u did not stop; its object is freed under it", m_nThreadId);
    }
    if (m_hThread != nullptr) TL_CloseHandle(m_hThread);
    m_hThread = nullptr;
}

uint32_t CTL_Thread::ThreadMain(void* self) {
    auto* t = static_cast<CTL_Thread*>(self);
    t->m_nRunnerId.store(TL_GetCurrentThreadId(), std::memory_order_release);
    t->Run();
    t->m_bEnded.store(1, std::memory_order_release);
    return 0;
}

int CTL_Thread::Start() {
    // A thread left running by Stop still uses this object until it ends.
    if (m_bAbandoned) {
        if (!IsEnded()) return 0;
        m_bAbandoned = false;
    }
    if (m_hThread != nullptr) {
        if (!IsEnded()) return 0;
        TL_CloseHandle(m_hThread);
        m_hThread = nullptr;
    }
    m_bEnded.store(0, std::memory_order_release);
    m_nRunnerId.store(0, std::memory_order_release);
    m_stop.Reset();
    m_bRunning.store(1, std::memory_order_release);
    m_hThread = TL_CreateThread(&CTL_Thread::ThreadMain, this, &m_nThreadId);
    if (m_hThread == nullptr) {
        m_bRunning.store(0, std::memory_order_release);
        return 0;
    }
    return 1;
}

void CTL_Thread::Run() {
    while (IsRunning()) WaitForStop(1000);
}

int CTL_Thread::WaitEnded(uint32_t ms) {
    uint64_t counted = 0;
    while (!IsEnded() && counted < ms) {
        TL_Sleep(20);
        counted += 20;
    }
    return IsEnded() ? 1 : 0;
}

int CTL_Thread::WaitForStop(uint32_t ms) {
    if (!IsRunning()) return 1;
    return m_stop.Wait(ms) == TL_WAIT_OBJECT_0 ? 1 : 0;
}

int CTL_Thread::Stop(uint32_t ms) {
    m_bRunning.store(0, std::memory_order_release);
    m_stop.Set();
    // Run stopping its own thread cannot wait for itself: the loop ends when
    // Run returns, and the owner's Stop or Join reclaims the thread then.
    if (!IsEnded() && m_nRunnerId.load(std::memory_order_acquire) == TL_GetCurrentThreadId()) return 0;
    // A thread left running by an earlier Stop has no handle any more; only its
    // ended flag tells whether it has gone since.
    if (m_hThread == nullptr) return m_bAbandoned ? WaitEnded(ms) : 1;
    const int ended = TL_WaitThreadExit(m_hThread, &m_bEnded, ms);
    if (!ended) m_bAbandoned = true;
    // Joined when it ended; detached (and left running) otherwise.
    TL_CloseHandle(m_hThread);
    m_hThread = nullptr;
    return ended;
}

int CTL_Thread::Join(uint32_t ms) {
    if (m_hThread == nullptr) return m_bAbandoned ? WaitEnded(ms) : 1;
    if (!TL_JoinThread(m_hThread, ms)) return 0;
    return 1;
}

void CTL_Thread::StopAndRelease(CTL_Thread* thread, uint32_t ms) {
    if (thread == nullptr) return;
    if (thread->Stop(ms)) {
        delete thread;
        return;
    }
    TL_WriteLog(1, "CTL_Thread: thread %u did not stop within %u ms; its object is kept alive", thread->m_nThreadId,
                ms);
}

}  // namespace corvane
