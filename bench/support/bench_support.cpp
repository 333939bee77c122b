#include "bench/support/bench_support.h"

#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "session/clock.h"
#include "simulator/frame_writer.h"
#include "simulator/gateway_sim.h"

namespace kvobench {

// ---- the simulator's process ----

bool SimProcess::Start(Serve serve) {
    int toChild[2];
    int fromChild[2];
    if (::pipe(toChild) != 0) return false;
    if (::pipe(fromChild) != 0) {
        ::close(toChild[0]);
        ::close(toChild[1]);
        return false;
    }
    m_pid = ::fork();
    if (m_pid < 0) return false;
    if (m_pid == 0) {
        ::close(toChild[1]);
        ::close(fromChild[0]);
        int rc = 1;
        {
            kvotest::GatewaySim sim;
            if (sim.Start()) {
                const uint16_t port = sim.Port();
                if (::write(fromChild[1], &port, sizeof port) == sizeof port) {
                    if (serve != nullptr) {
                        rc = serve(sim, toChild[0], fromChild[1]);
                    } else {
                        char c;
                        while (::read(toChild[0], &c, 1) > 0) {
                        }
                        rc = 0;
                    }
                }
                sim.Stop();
            }
        }
        ::_exit(rc);
    }
    ::close(toChild[0]);
    ::close(fromChild[1]);
    m_to = toChild[1];
    m_from = fromChild[0];
    return ::read(m_from, &m_port, sizeof m_port) == sizeof m_port;
}

SimProcess::~SimProcess() {
    if (m_to >= 0) ::close(m_to);
    if (m_from >= 0) ::close(m_from);
    if (m_pid > 0) ::waitpid(m_pid, nullptr, 0);
}

bool SimProcess::Send(const void* command, size_t length) { return ::write(m_to, command, length) == ssize_t(length); }

bool SimProcess::Reply(char* byte) { return ::read(m_from, byte, 1) == 1; }

SimProcess& SharedSimProcess(SimProcess::Serve serve) {
    static SimProcess* sim = [serve] {
        auto* s = new SimProcess;
        if (!s->Start(serve)) {
            std::fprintf(stderr, "the simulator's process did not start\n");
            std::exit(1);
        }
        std::atexit([] { delete &SharedSimProcess(); });
        return s;
    }();
    return *sim;
}

// ---- the plain threaded road ----

PlainPipeline::PlainPipeline(int fd, Handler handler)
    : m_fd(fd),
      m_epoll(::epoll_create1(EPOLL_CLOEXEC)),
      m_wake(::eventfd(0, EFD_CLOEXEC)),
      m_handler(std::move(handler)) {
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.fd = m_fd;
    ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_fd, &e);
    e.data.fd = m_wake;
    ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_wake, &e);
    m_reader = std::thread([this] { Read(); });
    m_worker = std::thread([this] { Work(); });
    ::pthread_getcpuclockid(m_reader.native_handle(), &m_clocks[0]);
    ::pthread_getcpuclockid(m_worker.native_handle(), &m_clocks[1]);
}

PlainPipeline::~PlainPipeline() {
    const uint64_t one = 1;
    if (::write(m_wake, &one, sizeof one) != sizeof one) std::abort();
    m_reader.join();
    m_worker.join();
    if (m_fd >= 0) ::close(m_fd);
    ::close(m_epoll);
    ::close(m_wake);
}

uint64_t PlainPipeline::CpuNs() const {
    uint64_t ns = 0;
    for (clockid_t clock : m_clocks) {
        timespec t{};
        ::clock_gettime(clock, &t);
        ns += uint64_t(t.tv_sec) * 1000000000ull + uint64_t(t.tv_nsec);
    }
    return ns;
}

void PlainPipeline::Read() {
    std::vector<char> buffer(64 * 1024);
    std::string held;
    for (;;) {
        epoll_event e{};
        if (::epoll_wait(m_epoll, &e, 1, -1) != 1) continue;
        if (e.data.fd == m_wake) break;
        const ssize_t n = ::recv(m_fd, buffer.data(), buffer.size(), 0);
        if (n <= 0) break;
        held.append(buffer.data(), size_t(n));
        std::vector<std::string> frames = kvotest::SplitGatewayStream(held, &held);
        if (frames.empty()) continue;
        {
            std::lock_guard<std::mutex> g(m_mutex);
            for (std::string& f : frames) m_queued.push_back(std::move(f));
        }
        m_cv.notify_one();
    }
    std::lock_guard<std::mutex> g(m_mutex);
    m_ended = true;
    m_cv.notify_one();
}

void PlainPipeline::Work() {
    std::vector<std::string> taken;
    for (;;) {
        {
            std::unique_lock<std::mutex> g(m_mutex);
            m_cv.wait(g, [&] { return !m_queued.empty() || m_ended; });
            if (m_queued.empty()) return;
            taken.swap(m_queued);
        }
        m_handler(taken);
        taken.clear();
    }
}

// ---- figures ----

uint64_t ResidentBytes() {
    uint64_t resident = 0;
    return SessionClock::GetMemoryInfo(&resident, nullptr) == 0 ? resident : 0;
}

}  // namespace kvobench
