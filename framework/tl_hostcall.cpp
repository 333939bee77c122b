#include "framework/tl_hostcall.h"

#include <chrono>

namespace corvane {
namespace {

// Plain values: a thread-local with a destructor would register it with the
// dynamic loader on the thread's first call.
thread_local uint32_t t_hostCallDepth = 0;
thread_local HostCallScope* t_innermost = nullptr;

}  // namespace

bool HostCallGate::Enter() {
    // Counted first, then checked: a Close that stored its flag before this
    // check sees the count, and one after it is seen here.
    m_active.fetch_add(1, std::memory_order_seq_cst);
    if (!m_closed.load(std::memory_order_seq_cst)) return true;
    Leave();
    return false;
}

void HostCallGate::Leave() {
    if (m_active.fetch_sub(1, std::memory_order_seq_cst) == 1 && m_closed.load(std::memory_order_seq_cst)) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_idle.notify_all();
    }
}

void HostCallGate::Close() { m_closed.store(true, std::memory_order_seq_cst); }

bool HostCallGate::WaitIdle(uint32_t ms) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_idle.wait_for(lock, std::chrono::milliseconds(ms), [this] { return Active() == 0; });
}

HostCallScope::HostCallScope(HostCallGate* gate) : m_gate(gate), m_entered(gate == nullptr || gate->Enter()) {
    if (!m_entered) return;
    ++t_hostCallDepth;
    m_outer = t_innermost;
    t_innermost = this;
}

HostCallScope::~HostCallScope() {
    if (!m_entered) return;
    --t_hostCallDepth;
    t_innermost = m_outer;
    if (m_gate != nullptr) m_gate->Leave();
}

bool InsideHostCall() { return t_hostCallDepth > 0; }

bool InsideHostCallOf(const HostCallGate* gate) {
    if (gate == nullptr) return false;
    for (const HostCallScope* s = t_innermost; s != nullptr; s = s->m_outer) {
        if (s->m_gate == gate) return true;
    }
    return false;
}

}  // namespace corvane
