#include "api/release_reaper.h"

#include <dlfcn.h>
#include <link.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <list>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "api/api_support.h"
#include "cascade/relay.h"
#include "platform/pl_never_destroyed.h"

namespace kvoapi {
namespace {

using Clock = std::chrono::steady_clock;

// Raised when the exit wait begins; from then on no instance is created, so
// no chain of releases and creates inside callbacks outlasts the wait.
std::atomic<bool> g_exiting{false};

class Reaper {
public:
    // Never destroyed: a teardown left running at exit still reaches it.
    static Reaper& TheOne() {
        static pl::NeverDestroyed<Reaper> reaper;
        return *reaper;
    }

    Reaper() = default;
    Reaper(const Reaper&) = delete;
    Reaper& operator=(const Reaper&) = delete;

    // Once: keeps the library loaded, then registers the exit wait. The wait
    // is registered at the first creation, before anything can be handed
    // off, and only when the library can no longer be unloaded: an unload
    // would run it under the dynamic loader's lock, joining teardowns that
    // may need that very lock (a thread's first thread-local with a
    // destructor takes it).
    void Prepare() {
        std::call_once(m_prepared, [this] {
            if (!KeepLibraryLoaded()) return;
            std::lock_guard<std::mutex> lock(m_mutex);
            m_handlerPending = std::atexit(&Reaper::AtExit) == 0;
        });
    }

    bool Run(std::function<void()> teardown, TeardownWaits waits) {
        JoinFinished();
        bool registerWait = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_entries.emplace_back();
            Entry* entry = &m_entries.back();
            entry->waits = std::move(waits);
            try {
                // The thread marks its entry only under the mutex, which is
                // held until the entry has its thread.
                entry->thread = std::thread([this, entry, work = std::move(teardown)] {
                    work();
                    std::lock_guard<std::mutex> done(m_mutex);
                    entry->finished = true;
                    m_finished.notify_all();
                });
            } catch (...) {  // no thread, or no memory for it
                m_entries.pop_back();
                return false;
            }
            if (m_exitBegan) {
                // Handed off while the process exits: waited for by its
                // finished mark, never joined, since the process may end
                // before the thread does (a release made as the last exit
                // handlers run). After the exit wait returned, a wait of its
                // own, registered now, runs after the exit handler under
                // way, within the same bound.
                entry->thread.detach();
                if (!m_waiting && !m_handlerPending) registerWait = m_handlerPending = true;
            }
        }
        if (registerWait && std::atexit(&Reaper::AtExit) != 0) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_handlerPending = false;
        }
        return true;
    }

private:
    struct Entry {
        std::thread thread;
        bool finished = false;
        TeardownWaits waits;
    };

    static void AtExit() { TheOne().WaitAtExit(); }

    // The process is exiting, on the calling thread: waits for every
    // teardown that does not wait for this thread, including those handed
    // off meanwhile, and joins their threads, until the deadline set when
    // the first such wait began. The others are left running; their entries
    // stay, so their last write still finds them.
    void WaitAtExit() {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_exitBegan) {
            m_exitBegan = true;
            g_exiting.store(true, std::memory_order_seq_cst);
            m_deadline = Clock::now() + std::chrono::milliseconds(kExitWaitMs);
        }
        m_handlerPending = false;
        m_waiting = true;
        for (;;) {
            std::vector<std::thread> finished;
            bool waiting = false;
            for (auto it = m_entries.begin(); it != m_entries.end();) {
                if (it->finished) {
                    finished.push_back(std::move(it->thread));
                    it = m_entries.erase(it);
                    continue;
                }
                if (!WaitsForThisThread(it->waits)) waiting = true;
                ++it;
            }
            if (!finished.empty()) {
                lock.unlock();
                for (std::thread& t : finished)
                    if (t.joinable()) t.join();
                lock.lock();
                continue;
            }
            if (!waiting) break;
            if (m_finished.wait_until(lock, m_deadline) == std::cv_status::timeout && Clock::now() >= m_deadline) {
                // Those left running are no longer joined: the process may
                // end before they do.
                for (Entry& e : m_entries)
                    if (!e.finished && e.thread.joinable()) e.thread.detach();
                if (!m_gaveUp) {
                    m_gaveUp = true;
                    lock.unlock();
                    WriteLog(1, "process exit: a teardown still runs after %u ms, the exit goes on without it",
                             static_cast<unsigned>(kExitWaitMs));
                    lock.lock();
                }
                break;
            }
        }
        m_waiting = false;
    }

    // Whether a teardown may wait for the calling thread (see the header).
    static bool WaitsForThisThread(const TeardownWaits& waits) {
        if (corvane::InsideHostCallOf(waits.gate.get())) return true;
        return OnRelayDispatcher() && waits.usedRelay && waits.usedRelay->load(std::memory_order_acquire);
    }

    // Pins the object the library's code is in (RTLD_NODELETE): from now on
    // dlclose only drops a reference. Code linked into the program itself
    // is never unloaded. False when the object cannot be pinned.
    static bool KeepLibraryLoaded() {
        Dl_info self{};
        link_map* map = nullptr;
        if (::dladdr1(reinterpret_cast<void*>(&RunTeardownLater), &self, reinterpret_cast<void**>(&map),
                      RTLD_DL_LINKMAP) == 0 ||
            map == nullptr)
            return false;
        if (map->l_name == nullptr || map->l_name[0] == '\0') return true;  // the program
        return ::dlopen(map->l_name, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE) != nullptr;
    }

    void JoinFinished() {
        std::vector<std::thread> finished;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            for (auto it = m_entries.begin(); it != m_entries.end();) {
                if (!it->finished) {
                    ++it;
                    continue;
                }
                finished.push_back(std::move(it->thread));
                it = m_entries.erase(it);
            }
        }
        for (std::thread& t : finished)
            if (t.joinable()) t.join();
    }

    std::once_flag m_prepared;
    std::mutex m_mutex;  // everything below
    std::condition_variable m_finished;
    std::list<Entry> m_entries;
    bool m_handlerPending = false;  // an exit wait is registered and has not begun
    bool m_exitBegan = false;       // an exit wait began; m_deadline is set
    bool m_waiting = false;         // an exit wait is under way
    bool m_gaveUp = false;          // the deadline passed (logged once)
    Clock::time_point m_deadline{};
};

// The library's finaliser: it runs as the process ends (or when a library
// never used is unloaded), after every exit handler. An instance asked for
// later is refused before anything would load the library again.
__attribute__((destructor)) void MarkFinalised() { g_exiting.store(true, std::memory_order_seq_cst); }

}  // namespace

bool ReadyForInstance() {
    if (g_exiting.load(std::memory_order_seq_cst)) return false;
    Reaper::TheOne().Prepare();
    return !g_exiting.load(std::memory_order_seq_cst);
}

bool RunTeardownLater(std::function<void()> teardown, TeardownWaits waits) {
    return Reaper::TheOne().Run(std::move(teardown), std::move(waits));
}

}  // namespace kvoapi
