#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "tests/support/net_wait.h"

extern char** environ;

namespace kvotest {

ChildProcess::~ChildProcess() {
    if (m_in >= 0) ::close(m_in);
    if (m_pid > 0 && Wait(0) == -1 && m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        Wait(5000);
    }
    if (m_out >= 0) ::close(m_out);
}

bool ChildProcess::Start(const std::string& path, const std::vector<std::string>& args) {
    // Its standard input is a socket, so that writing to a process that
    // ended fails instead of raising SIGPIPE in the test.
    int in[2];
    int out[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in) != 0) return false;
    if (::pipe2(out, O_CLOEXEC) != 0) {
        ::close(in[0]);
        ::close(in[1]);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const int r = ::posix_spawn(&m_pid, path.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    m_in = in[1];
    m_out = out[0];
    if (r != 0) m_pid = -1;
    return r == 0;
}

bool ChildProcess::WriteLine(const std::string& line) {
    const std::string bytes = line + "\n";
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(m_in, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool ChildProcess::ReadLine(std::string* line, int timeoutMs) {
    const auto t0 = std::chrono::steady_clock::now();
    while (true) {
        const size_t end = m_buffer.find('\n');
        if (end != std::string::npos) {
            *line = m_buffer.substr(0, end);
            m_buffer.erase(0, end + 1);
            return true;
        }
        const int64_t left = timeoutMs - MsSince(t0);
        pollfd p{m_out, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) return false;
        char buf[4096];
        const ssize_t n = ::read(m_out, buf, sizeof buf);
        if (n <= 0) return false;
        m_buffer.append(buf, static_cast<size_t>(n));
    }
}

std::string ChildProcess::Ask(const std::string& line, int timeoutMs) {
    std::string answer;
    if (!WriteLine(line) || !ReadLine(&answer, timeoutMs)) return std::string();
    return answer;
}

int ChildProcess::Wait(int timeoutMs) {
    const auto t0 = std::chrono::steady_clock::now();
    while (m_pid > 0) {
        int status = 0;
        const pid_t r = ::waitpid(m_pid, &status, WNOHANG);
        if (r == m_pid) {
            m_pid = -1;
            return status;
        }
        if (r < 0 || MsSince(t0) >= timeoutMs) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return -1;
}

bool ChildProcess::Signal(int signal) { return m_pid > 0 && ::kill(m_pid, signal) == 0; }

}  // namespace kvotest
