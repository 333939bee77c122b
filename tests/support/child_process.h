// A program started by a test as a second process, talked to over its
// standard input and output one line at a time.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace kvotest {

class ChildProcess {
public:
    ChildProcess() = default;
    // Kills the process when it still runs (by its own pid) and reaps it.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts path with args (argv[0] is path); its standard error stays the
    // test's. False when it cannot be started.
    bool Start(const std::string& path, const std::vector<std::string>& args);
    bool WriteLine(const std::string& line);
    // The next line of its output (without the line end) within timeoutMs;
    // false on time-out or end of output.
    bool ReadLine(std::string* line, int timeoutMs);
    // Sends a line and returns the answer line ("" when none came).
    std::string Ask(const std::string& line, int timeoutMs);
    // Waits up to timeoutMs for the process to end: its exit status as
    // waitpid gives it, or -1 when it still runs.
    int Wait(int timeoutMs);
    // Sends the signal to the process (SIGSTOP, SIGCONT); false when it is
    // not running.
    bool Signal(int signal);

private:
    pid_t m_pid = -1;
    int m_in = -1;   // its standard input
    int m_out = -1;  // its standard output
    std::string m_buffer;
};

}  // namespace kvotest
