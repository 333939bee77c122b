// How a process may end while the library works: kvo_exit_host, a host
// linked against libkvoapi.so, ends its process in each order a host may
// choose, against the gateway simulator of this process. Every run ends with
// status 0 (a sanitizer's report ends it otherwise), and the exit waits for a
// teardown exactly where kvoapi.h says: the host's own exit handler, which
// runs after the library's, finds the releasing callback returned and the
// torn-down instance's threads gone, or, where the teardown waits for the
// exiting thread, that callback still running.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "simulator/gateway_sim.h"
#include "simulator/sim_market.h"
#include "tests/support/child_process.h"
#include "tests/support/offline_sample.h"
#include "tests/support/temp_dir.h"

namespace {

class ProcessExitTest : public kvotest::TempDirTest {
protected:
    ProcessExitTest() : TempDirTest("kvo_exit") {}
};

TEST_F(ProcessExitTest, EveryOrderEndsCleanlyAndWaitsWhereItCan) {
    kvotest::GatewaySim sim;
    ASSERT_TRUE(sim.Start());
    kvotest::SimMarket market(3);
    market.Attach(sim);
    market.Start(10);
    const std::string playback = dir_ + "/play/";
    ASSERT_EQ(mkdir(playback.c_str(), 0700), 0);
    ASSERT_TRUE(kvotest::WriteOfflineSample(kvotest::BuildOfflineSample(), playback));

    // main-returns, thread-exits, other-exits: a callback releases its
    // instance and goes on for 300 ms while main returns, a host thread calls
    // exit, or another instance's callback calls exit. releasing-exits: that
    // callback calls exit. relay-exits: a data callback on the relay thread
    // releases the playing instance and calls exit. unreleased: main returns
    // while a gateway's and a playback's data flow.
    const struct {
        const char* order;
        int waits;
    } kOrders[] = {{"main-returns", 1},    {"thread-exits", 1}, {"other-exits", 1},
                   {"releasing-exits", 0}, {"relay-exits", 0},  {"unreleased", 0}};
    for (const auto& [order, waits] : kOrders) {
        SCOPED_TRACE(order);
        kvotest::ChildProcess host;
        ASSERT_TRUE(host.Start(KVO_EXIT_HOST, {order, std::to_string(sim.Port()), dir_, playback}));
        std::string line, atExit;
        while (host.ReadLine(&line, 40000))
            if (line.rfind("at exit ", 0) == 0) atExit = line;
        const int status = host.Wait(10000);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        int returned = -1, threads = -1, base = -2;
        ASSERT_EQ(std::sscanf(atExit.c_str(), "at exit %d %d %d", &returned, &threads, &base), 3) << atExit;
        EXPECT_EQ(returned, waits);
        if (waits) {
            EXPECT_EQ(threads, base);
        }
    }
    market.Stop();
    sim.Stop();
}

}  // namespace
