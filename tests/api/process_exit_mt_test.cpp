// How a process may end while the library works: a host program linked
// against libkvoapi.so (exit_host) ends its process in each order a host may
// choose, against the gateway simulator running in this process. Each run
// must end with status 0 (a sanitizer's report ends it otherwise), and the
// exit must wait for a teardown exactly when kvoapi.h says it does: the
// host's own exit handler, which runs after the library's, finds the
// releasing callback returned and the torn-down instance's threads gone.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <sstream>
#include <string>
#include <vector>

#include "simulator/gateway_sim.h"
#include "simulator/sim_market.h"
#include "tests/support/child_process.h"
#include "tests/support/offline_sample.h"
#include "tests/support/temp_dir.h"

using namespace kvotest;

namespace {

// What one run of the host printed, and how it ended.
struct HostRun {
    std::vector<std::string> lines;
    int status = -1;
    bool Has(const std::string& line) const {
        for (const std::string& l : lines)
            if (l == line) return true;
        return false;
    }
    // The "at exit <returned> <threads> <base>" line's numbers.
    bool AtExit(int* returned, int* threads, int* base) const {
        for (const std::string& l : lines) {
            if (l.rfind("at exit ", 0) != 0) continue;
            std::istringstream in(l.substr(8));
            return static_cast<bool>(in >> *returned >> *threads >> *base);
        }
        return false;
    }
    std::string Text() const {
        std::string out;
        for (const std::string& l : lines) out += l + " | ";
        return out + "status " + std::to_string(status);
    }
};

class ProcessExitTest : public TempDirTest {
protected:
    ProcessExitTest() : TempDirTest("kvo_exit") {}
    void SetUp() override {
        TempDirTest::SetUp();
        ASSERT_TRUE(sim_.Start());
        market_.Attach(sim_);
        market_.Start(10);
    }
    void TearDown() override {
        market_.Stop();
        sim_.Stop();
        TempDirTest::TearDown();
    }

    HostRun Run(const std::string& order, const std::vector<std::string>& more = {}) {
        std::vector<std::string> args = {order, std::to_string(sim_.Port()), dir_};
        args.insert(args.end(), more.begin(), more.end());
        HostRun run;
        ChildProcess host;
        if (!host.Start(KVO_EXIT_HOST, args)) return run;
        std::string line;
        while (host.ReadLine(&line, 40000)) run.lines.push_back(line);
        run.status = host.Wait(10000);
        return run;
    }

    static void EndedWell(const HostRun& run) {
        ASSERT_TRUE(WIFEXITED(run.status)) << run.Text();
        EXPECT_EQ(WEXITSTATUS(run.status), 0) << run.Text();
    }

    GatewaySim sim_;
    SimMarket market_{3};
};

// The process ends while a teardown begun inside a callback runs: main
// returns, a host thread calls exit, or another instance's callback calls
// exit. Each waits for the teardown: the releasing callback returns and the
// instance's threads are gone before the host's own exit handler runs.
TEST_F(ProcessExitTest, ExitWaitsForATeardownThatDoesNotWaitForTheExitingThread) {
    for (const char* order : {"main-returns", "thread-exits", "other-exits"}) {
        SCOPED_TRACE(order);
        const HostRun run = Run(order);
        EndedWell(run);
        EXPECT_TRUE(run.Has("released")) << run.Text();
        EXPECT_TRUE(run.Has("callback returned")) << run.Text();
        int returned = 0, threads = 0, base = 0;
        EXPECT_TRUE(run.AtExit(&returned, &threads, &base)) << run.Text();
        EXPECT_EQ(returned, 1) << run.Text();
        EXPECT_EQ(threads, base) << run.Text();
        EXPECT_FALSE(run.Has("main returns") && std::string(order) == "other-exits") << run.Text();
    }
}

// Orders in which the exit cannot wait, or has nothing to wait for, end at
// once and cleanly: the callback that made the release exits (its teardown
// waits for that very callback), a data callback on the relay thread exits
// after releasing the playing instance (whose teardown stops that thread),
// and main returns while instances that were never released still receive
// data, from a gateway and from a playback.
TEST_F(ProcessExitTest, ExitThatCannotWaitEndsAtOnce) {
    const std::string playback = dir_ + "/play/";
    ASSERT_EQ(mkdir(playback.c_str(), 0700), 0);
    ASSERT_TRUE(WriteOfflineSample(BuildOfflineSample(), playback));
    const std::vector<std::pair<std::string, std::vector<std::string>>> orders = {
        {"releasing-exits", {}}, {"relay-exits", {playback}}, {"unreleased", {playback}}};
    for (const auto& [order, more] : orders) {
        SCOPED_TRACE(order);
        const HostRun run = Run(order, more);
        EndedWell(run);
        EXPECT_FALSE(run.Has("main returns") && order != "unreleased") << run.Text();
        int returned = 1, threads = 0, base = 0;
        EXPECT_TRUE(run.AtExit(&returned, &threads, &base)) << run.Text();
        if (order != "unreleased") {
            EXPECT_TRUE(run.Has("released")) << run.Text();
            EXPECT_EQ(returned, 0) << run.Text();
        }
    }
}

}  // namespace
