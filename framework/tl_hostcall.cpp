#include "framework/tl_hostcall.h"

#include <chrono>

namespace corvane {
namespace {

thread_local uint32_t t_hostCallDepth = 0;

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
    if (m_entered) ++t_hostCallDepth;
}

HostCallScope::~HostCallScope() {
    if (!m_entered) return;
    --t_hostCallDepth;
    if (m_gate != nullptr) m_gate->Leave();
}

bool InsideHostCall() { return t_hostCallDepth > 0; }

}  // namespace corvane
