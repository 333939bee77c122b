#include "api/release_reaper.h"

#include <dlfcn.h>

#include <list>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "framework/tl_hostcall.h"

namespace kvoapi {
namespace {

class Reaper {
public:
    Reaper() = default;
    Reaper(const Reaper&) = delete;
    Reaper& operator=(const Reaper&) = delete;

    ~Reaper() {
        std::vector<std::thread> left;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            for (Entry& e : m_entries) left.push_back(std::move(e.thread));
            m_entries.clear();
        }
        // A process that exits from inside a host callback cannot wait for a
        // teardown, which waits for that very callback to return.
        const bool inside = corvane::InsideHostCall();
        for (std::thread& t : left) {
            if (!t.joinable()) continue;
            if (inside) {
                t.detach();
            } else {
                t.join();
            }
        }
    }

    bool Run(std::function<void()> teardown) {
        KeepLibraryLoaded();
        JoinFinished();
        std::lock_guard<std::mutex> lock(m_mutex);
        m_entries.emplace_back();
        Entry* entry = &m_entries.back();
        try {
            // The thread marks its entry only under the mutex, which is held
            // until the entry has its thread.
            entry->thread = std::thread([this, entry, work = std::move(teardown)] {
                work();
                std::lock_guard<std::mutex> done(m_mutex);
                entry->finished = true;
            });
        } catch (...) {  // no thread, or no memory for it
            m_entries.pop_back();
            return false;
        }
        return true;
    }

private:
    struct Entry {
        std::thread thread;
        bool finished = false;
    };

    // A host may unload the library right after the callback that released
    // an instance returned, while the teardown still runs. Unloading runs the
    // library's static destructors under the dynamic loader's lock, and this
    // one would join a teardown that waits for a worker which may need that
    // very lock (a thread's first thread-local with a destructor takes it):
    // the process would hang. So from the first such release on the library
    // stays loaded until the process exits (whose destructors run without
    // that lock held), and an unload only drops the host's reference.
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
    std::list<Entry> m_entries;
};

Reaper& TheReaper() {
    static Reaper reaper;
    return reaper;
}

}  // namespace

bool RunTeardownLater(std::function<void()> teardown) { return TheReaper().Run(std::move(teardown)); }

}  // namespace kvoapi
