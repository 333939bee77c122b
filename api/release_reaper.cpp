#include "api/release_reaper.h"

#include <dlfcn.h>

#include <condition_variable>
#include <cstdlib>
#include <list>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "cascade/relay.h"

namespace kvoapi {
namespace {

class Reaper {
public:
    // Never destroyed: a teardown left running at exit still reaches it.
    static Reaper& TheOne() {
        static Reaper* reaper = new Reaper;
        return *reaper;
    }

    Reaper(const Reaper&) = delete;
    Reaper& operator=(const Reaper&) = delete;

    bool Run(std::function<void()> teardown, TeardownWaits waits) {
        KeepLibraryLoaded();
        WaitAtExitFromNowOn();
        JoinFinished();
        std::lock_guard<std::mutex> lock(m_mutex);
        m_entries.emplace_back();
        Entry* entry = &m_entries.back();
        entry->waits = std::move(waits);
        try {
            // The thread marks its entry only under the mutex, which is held
            // until the entry has its thread.
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
        return true;
    }

    // The process is exiting, on the calling thread: waits for every
    // teardown that does not wait for this thread, including those handed
    // off meanwhile, and joins their threads. The others are left running;
    // their entries stay, so their last write still finds them.
    void WaitAtExit() {
        std::unique_lock<std::mutex> lock(m_mutex);
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
                for (std::thread& t : finished) t.join();
                lock.lock();
                continue;
            }
            if (!waiting) return;
            m_finished.wait(lock);
        }
    }

private:
    Reaper() = default;

    struct Entry {
        std::thread thread;
        bool finished = false;
        TeardownWaits waits;
    };

    // Whether a teardown may wait for the calling thread (see the header).
    static bool WaitsForThisThread(const TeardownWaits& waits) {
        if (corvane::InsideHostCallOf(waits.gate.get())) return true;
        return OnRelayDispatcher() && waits.usedRelay && waits.usedRelay->load(std::memory_order_acquire);
    }

    // Registered once, at the first hand-off: exit handlers run in the reverse
    // order of their registration, so the wait comes before every handler
    // registered earlier, among them the destructors of whatever existed
    // when the first teardown was handed off. What a teardown touches that
    // may be made later lives until the process ends.
    static void WaitAtExitFromNowOn() {
        static std::once_flag once;
        std::call_once(once, [] { std::atexit([] { TheOne().WaitAtExit(); }); });
    }

    // A host may unload the library right after the callback that released
    // an instance returned, while the teardown still runs. Unloading runs the
    // library's exit handlers under the dynamic loader's lock, and the wait
    // above would join a teardown that waits for a worker which may need that
    // very lock (a thread's first thread-local with a destructor takes it):
    // the process would hang, and the library's code would go while the
    // teardown runs it. So from the first such release on the library stays
    // loaded until the process exits (whose handlers run without that lock
    // held), and an unload only drops the host's reference.
    static void KeepLibraryLoaded() {
        static const bool kept = [] {
            Dl_info self{};
            if (::dladdr(reinterpret_cast<void*>(&RunTeardownLater), &self) == 0 || self.dli_fname == nullptr)
                return false;
            return ::dlopen(self.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE) != nullptr;
        }();
        (void)kept;
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
        for (std::thread& t : finished) t.join();
    }

    std::mutex m_mutex;  // the entries
    std::condition_variable m_finished;
    std::list<Entry> m_entries;
};

}  // namespace

bool RunTeardownLater(std::function<void()> teardown, TeardownWaits waits) {
    return Reaper::TheOne().Run(std::move(teardown), std::move(waits));
}

}  // namespace kvoapi
