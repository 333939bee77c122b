// What several benchmarks share: the gateway simulator in a process of its
// own, and the plain threaded road that is the floor of the library's push
// road.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kvotest {
class GatewaySim;
}

namespace kvobench {

// A gateway simulator in a child process forked before the library starts
// anything, so that the CPU time and the memory of this process are the
// library's (and the benchmark's own, mostly sleeping, main thread).
class SimProcess {
public:
    // Runs in the child with its simulator listening: reads commands from
    // `commands` and answers on `replies` until `commands` closes. Its result
    // is the child's exit code.
    using Serve = int (*)(kvotest::GatewaySim& sim, int commands, int replies);

    SimProcess() = default;
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;
    // Closes the command pipe, which ends the child, and waits for it.
    ~SimProcess();

    // Forks the child; true once its simulator listens. Without a serve
    // function the child only waits for the command pipe to close.
    bool Start(Serve serve = nullptr);
    uint16_t Port() const { return m_port; }
    bool Send(const void* command, size_t length);
    // One byte the child answered; false when none came.
    bool Reply(char* byte);

private:
    pid_t m_pid = -1;
    int m_to = -1;
    int m_from = -1;
    uint16_t m_port = 0;
};

// The program's simulator process, forked by the first call (which names
// the serve function) and ended at exit. The program exits when it cannot
// start.
SimProcess& SharedSimProcess(SimProcess::Serve serve = nullptr);

// The plain threaded road: a reading thread (epoll_wait, recv and the
// cutting of gateway frames) hands the frames through a mutex and a
// condition variable to a worker thread, which takes every frame queued at
// the time and hands them, in order, to the handler.
class PlainPipeline {
public:
    using Handler = std::function<void(std::vector<std::string>& frames)>;

    // Reads the connected socket fd, which it owns from then on.
    PlainPipeline(int fd, Handler handler);
    PlainPipeline(const PlainPipeline&) = delete;
    PlainPipeline& operator=(const PlainPipeline&) = delete;
    // Stops reading, lets the worker hand on what was read, and joins both.
    ~PlainPipeline();

    bool Running() const { return m_fd >= 0 && m_epoll >= 0 && m_wake >= 0; }
    // CPU time its two threads have used so far, in nanoseconds.
    uint64_t CpuNs() const;

private:
    void Read();
    void Work();

    int m_fd = -1;
    int m_epoll = -1;
    int m_wake = -1;
    Handler m_handler;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<std::string> m_queued;
    bool m_ended = false;
    clockid_t m_clocks[2] = {};
    std::thread m_reader;
    std::thread m_worker;
};

// Resident bytes of the process (the session clock's working set); 0 when
// they cannot be read.
uint64_t ResidentBytes();

}  // namespace kvobench
