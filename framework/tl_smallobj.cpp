// The only file that includes Loki. Loki 0.1.7's pthread threading header
// holds void functions that return a value, which g++ accepts only with
// -fpermissive (set for this file alone, see framework/CMakeLists.txt).
#include "framework/tl_smallobj.h"

// Loki's class-level locking (and its pthread mutex) exists only when asked
// for before the first Loki header.
#define LOKI_CLASS_LEVEL_THREADING
#include <loki/SmallObj.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>

#include "platform/pl_thread.h"

namespace {

using SharedAllocator = Loki::AllocatorSingleton<Loki::ClassLevelLockable, 4096, 29, 29,
                                                 Loki::LongevityLifetime::DieAsSmallObjectParent, Loki::Mutex>;
using AllocatorLock = SharedAllocator::MyThreadingModel::Lock;

// The allocator is destroyed by an exit handler that it registers when it is
// created, and its chunks go with it. Around that handler: one registered
// just after it runs just before it (the exit hooks, while blocks are still
// there), and one registered just before it runs just after it and marks the
// allocator gone, so that later calls leave it alone.
std::atomic<bool> g_gone{false};
bool g_created = false;  // under the lock
constexpr int kMaxExitHooks = 8;
void (*g_exitHooks[kMaxExitHooks])() = {};
int g_exitHookCount = 0;  // under the lock

void MarkGone() { g_gone.store(true); }

void RunExitHooks() {
    // A child made by fork() takes no lock at its exit: a thread of its
    // parent may have held this one at the fork.
    if (pl::InForkChild()) return;
    void (*hooks[kMaxExitHooks])();
    int n;
    {
        AllocatorLock lock;
        n = g_exitHookCount;
        std::copy(g_exitHooks, g_exitHooks + n, hooks);
    }
    // Outside the lock: the hooks give blocks back.
    while (n > 0) hooks[--n]();
}

// The allocator; the caller holds the lock, which also covers the
// singleton's creation.
SharedAllocator& Allocator() {
    if (!g_created) {
        g_created = true;
        std::atexit(MarkGone);
        SharedAllocator& a = SharedAllocator::Instance();
        std::atexit(RunExitHooks);
        return a;
    }
    return SharedAllocator::Instance();
}

static_assert(sizeof(AllocatorLock) <= 8 && alignof(AllocatorLock) <= 8);

}  // namespace

TLSmallObjLock::TLSmallObjLock() { new (m_lock) AllocatorLock; }

TLSmallObjLock::~TLSmallObjLock() { std::launder(reinterpret_cast<AllocatorLock*>(m_lock))->~AllocatorLock(); }

void* TL_SmallObjAllocate(std::size_t count) {
    if (g_gone.load()) return nullptr;
    return Allocator().Allocate(count, false);
}

void TL_SmallObjDeallocate(void* block, std::size_t count) {
    if (g_gone.load() || block == nullptr) return;
    Allocator().Deallocate(block, count);
}

bool TL_SmallObjGone() { return g_gone.load(); }

bool TL_SmallObjAtExit(void (*fn)()) {
    if (fn == nullptr || g_gone.load()) return false;
    AllocatorLock lock;
    if (g_exitHookCount == kMaxExitHooks) return false;
    g_exitHooks[g_exitHookCount++] = fn;
    return true;
}
