#include "api/release_reaper.h"

#include <dlfcn.h>
#include <link.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "api/api_support.h"
#include "cascade/relay.h"
#include "platform/pl_never_destroyed.h"
#include "platform/pl_thread.h"

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

    // Once: makes a child forked from now on know itself as one (it will
    // have none of the library's threads), keeps the library loaded, then
    // registers the exit wait. The wait is registered at the first
    // creation, before anything can be handed off, and only when the library
    // can no longer be unloaded: an unload would run it under the dynamic
    // loader's lock, joining teardowns that may need that very lock (a
    // thread's first thread-local with a destructor takes it).
    void Prepare() {
        std::call_once(m_prepared, [this] {
            pl::WatchForks();
            std::string unpinned = KeepLibraryLoaded();
            std::lock_guard<std::mutex> lock(m_mutex);
            m_unpinned = std::move(unpinned);
            if (!m_unpinned.empty()) return;
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
                // handlers run); a thread neither joined nor detached would
                // hold its resources to the end and is reported as leaked by
                // ThreadSanitizer. After the exit wait returned, a wait of
                // its own, registered now, runs after the exit handler under
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

    // Once the first instance's log is open: why the library could not be
    // kept loaded, if it could not.
    void LogUnpinned() {
        std::string unpinned;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            unpinned.swap(m_unpinned);
        }
        if (unpinned.empty()) return;
        WriteLog(1,
                 "KvoCreateInstance: the library cannot be kept loaded (%s); the end of the process waits for no "
                 "teardown",
                 unpinned.c_str());
    }

private:
    struct Entry {
        std::thread thread;
        bool finished = false;
        TeardownWaits waits;
    };

    // A child made by fork() has no teardown of its own to wait for: those
    // under way are its parent's, on threads the child does not have.
    static void AtExit() {
        if (!pl::InForkChild()) TheOne().WaitAtExit();
    }

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
    // is never unloaded. Empty when done, else why the object cannot be
    // pinned.
    static std::string KeepLibraryLoaded() {
        // The loaded object whose segments hold this code: the program's
        // comes first and has no name (found so in a static program too,
        // which dladdr cannot describe).
        struct Found {
            uintptr_t code = 0;
            bool found = false;
            std::string name;
        } self;
        self.code = reinterpret_cast<uintptr_t>(&RunTeardownLater);
        ::dl_iterate_phdr(
            [](dl_phdr_info* info, size_t, void* data) {
                auto* f = static_cast<Found*>(data);
                for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
                    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
                    const uintptr_t begin = info->dlpi_addr + ph.p_vaddr;
                    if (ph.p_type != PT_LOAD || f->code < begin || f->code - begin >= ph.p_memsz) continue;
                    f->found = true;
                    f->name = info->dlpi_name != nullptr ? info->dlpi_name : "";
                    return 1;
                }
                return 0;
            },
            &self);
        if (!self.found) return "its code lies in no loaded object";
        if (self.name.empty()) return std::string();  // the program
        if (::dlopen(self.name.c_str(), RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE) != nullptr) return std::string();
        const char* why = ::dlerror();
        return why != nullptr && *why != '\0' ? why : "dlopen failed";
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
    std::string m_unpinned;         // why the library is not kept loaded, until logged
    Clock::time_point m_deadline{};
};

}  // namespace

bool ReadyForInstance() {
    if (g_exiting.load(std::memory_order_seq_cst)) return false;
    Reaper::TheOne().Prepare();
    return !g_exiting.load(std::memory_order_seq_cst);
}

void LogUnpinned() { Reaper::TheOne().LogUnpinned(); }

bool ProcessExiting() { return g_exiting.load(std::memory_order_seq_cst); }

bool RunTeardownLater(std::function<void()> teardown, TeardownWaits waits) {
    return Reaper::TheOne().Run(std::move(teardown), std::move(waits));
}

}  // namespace kvoapi
