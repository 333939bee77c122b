// How a process may end while the library works: kvo_exit_host, a host
// linked against libkvoapi.so, ends its process in each order a host may
// choose, against the gateway simulator of this process. Every run ends with
// status 0 (a sanitizer's report ends it otherwise) within the exit wait's
// bound, and the exit waits for a teardown exactly where kvoapi.h says: the
// host's own exit handler, which runs after the library's, finds the
// releasing callback returned and the torn-down instance's threads gone, or,
// where the teardown waits for the exiting thread, that callback still
// running.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "api/release_reaper.h"
#include "simulator/gateway_sim.h"
#include "simulator/sim_market.h"
#include "tests/support/child_process.h"
#include "tests/support/offline_sample.h"
#include "tests/support/temp_dir.h"

namespace {

// The hosts log in on a simulated market whose prices move every 10 ms.
class ProcessExitTest : public kvotest::TempDirTest {
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

    kvotest::GatewaySim sim_;
    kvotest::SimMarket market_{3};
};

// The lines of the log files in folder/kvolog that contain text.
int LogLinesWith(const std::string& folder, const std::string& text) {
    int n = 0;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(folder + "/kvolog", ec)) {
        std::ifstream in(e.path());
        for (std::string line; std::getline(in, line);) n += line.find(text) != std::string::npos;
    }
    return n;
}

TEST_F(ProcessExitTest, EveryOrderEndsCleanlyAndWaitsWhereItCan) {
    const std::string playback = dir_ + "/play/";
    ASSERT_EQ(mkdir(playback.c_str(), 0700), 0);
    ASSERT_TRUE(kvotest::WriteOfflineSample(kvotest::BuildOfflineSample(), playback));

    // main-returns, thread-exits, other-exits: a callback releases its
    // instance and goes on for 300 ms while main returns, a host thread calls
    // exit, or another instance's callback calls exit. releasing-exits: that
    // callback calls exit. relay-exits: a data callback on the relay thread
    // releases the playing instance and calls exit. unreleased: main returns
    // while a gateway's and a playback's data flow. replacing: data callbacks
    // replace their instance (release, 100 ms, create, log in, subscribe)
    // while main returns. handler-awaited: the releasing callback returns
    // only once the host's exit handler ran, which the library's wait comes
    // before: the wait gives up at its bound and logs it. late-release: after
    // an earlier release, complete, a callback releases its instance 30 ms
    // into the exit and goes on for 100 ms. release-races-exit: the first
    // release inside a callback comes while a host thread calls exit.
    const struct {
        const char* order;
        int returned;  // -1: not checked
        bool threadsGone;
        int runs;
    } kOrders[] = {{"main-returns", 1, true, 1},   {"thread-exits", 1, true, 1},
                   {"other-exits", 1, true, 1},    {"releasing-exits", 0, false, 1},
                   {"relay-exits", 0, false, 1},   {"unreleased", 0, false, 1},
                   {"replacing", -1, false, 1},    {"handler-awaited", 0, false, 1},
                   {"late-release", -1, false, 1}, {"release-races-exit", -1, false, 12}};
    const char* const kGaveUp = "process exit: a teardown still runs after";
    for (const auto& [order, waits, threadsGone, runs] : kOrders) {
        for (int run = 0; run < runs; ++run) {
            SCOPED_TRACE(std::string(order) + " run " + std::to_string(run));
            const std::string logs = dir_ + "/" + order + std::to_string(run);
            ASSERT_EQ(mkdir(logs.c_str(), 0700), 0);
            kvotest::ChildProcess host;
            ASSERT_TRUE(host.Start(KVO_EXIT_HOST, {order, std::to_string(sim_.Port()), logs, playback}));
            std::string line, atExit;
            bool lateReturned = false;
            std::chrono::steady_clock::time_point ending{};
            while (host.ReadLine(&line, 40000)) {
                if (line == "ending") ending = std::chrono::steady_clock::now();
                if (line == "late returned") lateReturned = true;
                if (line.rfind("at exit ", 0) == 0) atExit = line;
            }
            const int status = host.Wait(10000);
            const auto ms =
                std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - ending)
                    .count();
            std::printf("%s: ends %lld ms after its exit began\n", order, static_cast<long long>(ms));
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
            ASSERT_NE(ending.time_since_epoch().count(), 0);
            // ThreadSanitizer adds a second at exit while threads still run.
            EXPECT_LT(ms, kvoapi::kExitWaitMs + 2500);
            int returned = -1, threads = -1, base = -2;
            ASSERT_EQ(std::sscanf(atExit.c_str(), "at exit %d %d %d", &returned, &threads, &base), 3) << atExit;
            if (waits >= 0) {
                EXPECT_EQ(returned, waits);
            }
            if (threadsGone) {
                EXPECT_EQ(threads, base);
            }
            const bool gaveUp = std::string(order) == "handler-awaited";
            EXPECT_EQ(LogLinesWith(logs, kGaveUp), gaveUp ? 1 : 0);
            if (gaveUp) {
                EXPECT_GE(ms, kvoapi::kExitWaitMs - 100);
            }
            if (std::string(order) == "late-release") {
                EXPECT_TRUE(lateReturned);
            }
        }
    }
}

// Children of a host with a live instance end with exit(0), one with the
// library's exit work alone, one whose global owner also releases the
// inherited instance: neither waits for the parent's threads, and the
// parent's data go on. ThreadSanitizer's own sleep at exit is turned off in
// the host: it would add a second to every child's end.
TEST_F(ProcessExitTest, ForkedChildrenEndAtOnceAndTheParentGoesOn) {
    const char* tsan = std::getenv("TSAN_OPTIONS");
    const std::string options = tsan != nullptr ? tsan : "";
    setenv("TSAN_OPTIONS", (options + ":atexit_sleep_ms=0").c_str(), 1);
    kvotest::ChildProcess host;
    const bool started = host.Start(KVO_EXIT_HOST, {"fork", std::to_string(sim_.Port()), dir_, dir_ + "/"});
    tsan != nullptr ? setenv("TSAN_OPTIONS", options.c_str(), 1) : unsetenv("TSAN_OPTIONS");
    ASSERT_TRUE(started);
    int ended = 0, received = -1;
    for (std::string line; host.ReadLine(&line, 20000);) {
        char kind[16] = {};
        long long ms = -1;
        int status = -1;
        if (std::sscanf(line.c_str(), "fork %15s %lld %d", kind, &ms, &status) == 3) {
            std::printf("forked child, %s: ends %lld ms after the fork\n", kind, ms);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << line;
            EXPECT_LT(ms, 400) << line;
            ++ended;
        }
        std::sscanf(line.c_str(), "parent received %d", &received);
    }
    const int status = host.Wait(10000);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(ended, 2);
    EXPECT_GE(received, 3);
}

}  // namespace
