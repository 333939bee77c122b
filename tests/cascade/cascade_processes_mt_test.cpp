// A master and a child in two processes on loopback. The master is an
// instance in this process whose market is served by a stand-in session or
// by a real session on the gateway simulator; the child is a host program
// linked against libkvoapi.so, started with a tool.ini of its own and driven
// line by line. Both use the machine's own adapter lists, so the
// same-network rule runs as on a trading floor.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "api/socket_data_manager.h"
#include "include/kvo_records.h"
#include "simulator/gateway_sim.h"
#include "simulator/sim_market.h"
#include "tests/support/cascade_fixture.h"
#include "tests/support/child_process.h"
#include "tests/support/net_wait.h"
#include "tests/support/peer_writer.h"

using namespace kvotest;

namespace {

class CascadeProcessesTest : public CascadeInstanceTest {
protected:
    CascadeProcessesTest() : CascadeInstanceTest("kvo_cascade_procs") {}
    void SetUp() override {
        CascadeInstanceTest::SetUp();
        if (HasFatalFailure()) return;
        pl::SetIPv4EntrySource(nullptr);    // the machine's own adapters, as the child sees them
        SetCascadeTimers(CascadeTimers());  // real waits: the child runs with them too
    }

    // Starts the child host in a folder of its own as a cascade child.
    ::testing::AssertionResult StartChild(ChildProcess& child, const std::string& name = "child") {
        const std::string folder = dir_ + "/" + name;
        if (mkdir(folder.c_str(), 0700) != 0) return ::testing::AssertionFailure() << "mkdir " << folder;
        std::ofstream(folder + "/tool.ini") << "master=false\nsocket_port=0\n";
        if (!child.Start(KVO_CHILD_HOST, {folder})) return ::testing::AssertionFailure() << "child did not start";
        return ::testing::AssertionSuccess();
    }

    // Registers the stand-in market on a master of this process and logs it
    // in; its listening port, 0 when any step failed.
    static uint16_t LogInMaster(CSocketDataMananger& master) {
        if (master.RegisterAddrByMode("USH", "127.0.0.1", 1) != 0) return 0;
        if (master.LoginByMode("user1", "pw1").nstatuscode != 0) return 0;
        return master.CascadeListenPort();
    }

    // Tells the child to quit and checks that it ended well.
    static void Quit(ChildProcess& child, int waitMs) {
        // Releasing the last instance stops the socket engine, which says so
        // on standard output before the program's own line.
        ASSERT_TRUE(child.WriteLine("quit"));
        std::string line;
        while (child.ReadLine(&line, waitMs) && line != "bye") {
        }
        EXPECT_EQ(line, "bye");
        const int status = child.Wait(waitMs);
        ASSERT_TRUE(WIFEXITED(status)) << status;
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
};

TEST_F(CascadeProcessesTest, ChildInAnotherProcessQueriesAndReceives) {
    WriteToolIni("master=true\nsocket_port=0\n");
    CSocketDataMananger master(&cfg_);
    const uint16_t port = LogInMaster(master);
    ASSERT_NE(port, 0);
    {
        std::lock_guard<std::mutex> lock(Market().mutex);
        Market().stockRecords = PeerRecords(2, KVO_TICKSTOCK_SIZE, "60000");
    }

    ChildProcess child;
    ASSERT_TRUE(StartChild(child));

    const int kWait = 10000;
    EXPECT_EQ(child.Ask("addr 127.0.0.1 " + std::to_string(port), kWait), "addr 0");
    EXPECT_EQ(child.Ask("login user1 wrong", kWait), "login -1004 d3c3bba7c3fbc3dcc2ebb4edcef3");
    EXPECT_EQ(child.Ask("login user1 pw1", kWait), "login 0 b5c7c2bdb3c9b9a6");
    EXPECT_EQ(child.Ask("codelist USHA", kWait), "codelist 20 600000,600001,600002");
    EXPECT_EQ(child.Ask("stock USHA (600000,600001)", kWait), "stock 2 600000,600001");

    EXPECT_EQ(child.Ask("sub 2 1 USHA (600000,600002)", kWait), "sub 0");
    ASSERT_TRUE(Market().WaitSubscriptions(1, kWait));
    EXPECT_EQ(Market().Subscriptions()[0], "2|3|USHA|(600000,600002)");
    // Pushes reach the child's callback with its codes only.
    ASSERT_EQ(Market().Push(2, PeerRecords(4, KVO_TICKSTOCK_SIZE, "60000"), 4, PushTiming{1, 2, 3}), 0);
    ASSERT_EQ(Market().Push(2, PeerRecords(1, KVO_TICKSTOCK_SIZE, "60000"), 1, PushTiming{4, 5, 6}), 0);
    EXPECT_EQ(child.Ask("wait 2 3 " + std::to_string(kWait), kWait + 2000), "data 2 3 600000,600002,600000");

    // The child leaves: the master drops it and gives up its codes.
    Quit(child, kWait);
    ASSERT_TRUE(Market().WaitSubscriptions(3, kWait));
    const std::vector<SessionCall> calls = Market().Subscriptions();
    EXPECT_EQ(std::vector<SessionCall>(calls.begin() + 1, calls.end()),
              (std::vector<SessionCall>{"2|4|USHA|(600000)", "2|4|USHA|(600002)"}));
    EXPECT_TRUE(Eventually([&] { return master.Cascade()->ConnectionCount() == 0; }, kWait));
}

// A child whose process stops (SIGSTOP) holds up its own connection only:
// while the gateway pushes every 5 ms, with far more records for the
// stopped child than for the other, so that the stopped child's socket
// buffers fill within a second, the other child's batches keep their pace;
// the stopped child is dropped once its connection took nothing for the
// send time-out, and its code is given up upstream.
TEST_F(CascadeProcessesTest, StoppedChildDelaysNoOther) {
    CascadeTimers timers;
    timers.sendTimeoutMs = 3000;
    SetCascadeTimers(timers);
    WriteToolIni("master=true\nsocket_port=0\n");
    CSocketDataMananger master(&cfg_);
    const uint16_t port = LogInMaster(master);
    ASSERT_NE(port, 0);

    const int kWait = 10000;
    ChildProcess good;
    ChildProcess stopped;
    ASSERT_TRUE(StartChild(good, "good"));
    ASSERT_TRUE(StartChild(stopped, "stopped"));
    ChildProcess* children[] = {&good, &stopped};
    for (int i = 0; i < 2; ++i) {
        ChildProcess& child = *children[i];
        EXPECT_EQ(child.Ask("addr 127.0.0.1 " + std::to_string(port), kWait), "addr 0");
        EXPECT_EQ(child.Ask("login user1 pw1", kWait), "login 0 b5c7c2bdb3c9b9a6");
        EXPECT_EQ(child.Ask("sub 2 1 USHA (60000" + std::to_string(i) + ")", kWait), "sub 0");
    }
    ASSERT_TRUE(Market().WaitSubscriptions(2, kWait));
    // Each push: one record of 600000 (the good child's) and 50 of 600001.
    const std::string two = PeerRecords(2, KVO_TICKSTOCK_SIZE, "60000");
    std::string batch = two.substr(0, KVO_TICKSTOCK_SIZE);
    for (int i = 0; i < 50; ++i) batch += two.substr(KVO_TICKSTOCK_SIZE);
    ASSERT_EQ(Market().Push(2, batch, 51, PushTiming{1, 2, 3}), 0);
    ASSERT_EQ(good.Ask("wait 2 1 " + std::to_string(kWait), kWait + 2000), "data 2 1 600000");
    ASSERT_EQ(stopped.Ask("wait 2 50 " + std::to_string(kWait), kWait + 2000).substr(0, 10), "data 2 50 ");

    ASSERT_TRUE(stopped.Signal(SIGSTOP));
    const auto t0 = std::chrono::steady_clock::now();
    const int64_t limit = timers.sendTimeoutMs + 5000;
    int64_t droppedAt = -1;
    uint32_t pushes = 0;
    while (MsSince(t0) < limit && (droppedAt < 0 || MsSince(t0) < droppedAt + 500)) {
        ASSERT_EQ(Market().Push(2, batch, 51, PushTiming{1, 2, 3}), 0);
        ++pushes;
        if (droppedAt < 0 && master.Cascade()->ConnectionCount() == 1) droppedAt = MsSince(t0);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    stopped.Signal(SIGCONT);
    // Its buffers fill within a second; then the send time-out runs.
    EXPECT_GE(droppedAt, 0) << "the stopped child was not dropped";
    EXPECT_LT(droppedAt, timers.sendTimeoutMs + 2000);

    // Every batch reached the good child, none held up for long.
    const std::string all = std::to_string(pushes + 1);
    ASSERT_EQ(good.Ask("wait 2 " + all + " " + std::to_string(kWait), kWait + 2000).substr(0, 8 + all.size()),
              "data 2 " + all + " ");
    std::string gap = good.Ask("gap 2", kWait);
    ASSERT_EQ(gap.substr(0, 4), "gap ");
    EXPECT_LT(std::stol(gap.substr(4)), static_cast<long>(timers.sendTimeoutMs / 6)) << gap;
    // The stopped child's code went upstream as a removal; the good one's stays.
    const std::vector<SessionCall> calls = Market().Subscriptions();
    EXPECT_EQ(std::vector<SessionCall>(calls.begin() + 2, calls.end()),
              (std::vector<SessionCall>{"2|4|USHA|(600001)"}));
    EXPECT_EQ(master.Cascade()->ConnectionCount(), 1u);
    Quit(good, kWait);
}

// A child keeps no change it cannot send: without a connection to a master
// (before its login, and once its master went) a subscription gives -1014,
// so the same code subscribed after the login goes up and its data flow.
// subop_type 8 looks at the market first in the child role too.
TEST_F(CascadeProcessesTest, ChildWithoutMasterKeepsNoSubscription) {
    WriteToolIni("master=true\nsocket_port=0\n");
    ChildProcess child;
    ASSERT_TRUE(StartChild(child));
    const int kWait = 10000;
    EXPECT_EQ(child.Ask("sub 2 8 UXXA ()", kWait), "sub -1007");
    for (int round = 0; round < 2; ++round) {  // the second with a restarted master
        EXPECT_TRUE(Eventually([&] { return child.Ask("sub 2 3 USHA (600002)", kWait) == "sub -1014"; }, kWait));
        CSocketDataMananger master(&cfg_);
        const uint16_t port = LogInMaster(master);
        ASSERT_NE(port, 0);
        EXPECT_EQ(child.Ask("addr 127.0.0.1 " + std::to_string(port), kWait), "addr 0");
        EXPECT_EQ(child.Ask("login user1 pw1", kWait), "login 0 b5c7c2bdb3c9b9a6");
        EXPECT_EQ(child.Ask("sub 2 3 USHA (600002)", kWait), "sub 0");
        ASSERT_TRUE(Market().WaitSubscriptions(size_t(round) + 1, kWait));
        ASSERT_EQ(Market().Push(2, PeerRecords(4, KVO_TICKSTOCK_SIZE, "60000"), 4, PushTiming{}), 0);
        EXPECT_EQ(child.Ask("wait 2 " + std::to_string(round + 1) + " 10000", kWait + 2000),
                  round == 0 ? "data 2 1 600002" : "data 2 2 600002,600002");
    }
    Quit(child, kWait);
}

// The whole road: the gateway simulator feeds a master whose session logged
// in there; the child in its own process logs in through the master, has its
// queries answered by the simulator and receives the simulator's pushes of
// its codes, and its leaving ends the master's subscription at the gateway.
TEST_F(CascadeProcessesTest, ChildOfAMasterOnTheGatewaySimulator) {
    kvoapi::SetMarketSessionFactory(nullptr);  // real market sessions (TearDown puts the stand-in back)
    GatewaySim sim;
    ASSERT_TRUE(sim.Start());
    SimMarket market(7);
    market.Attach(sim);
    market.Start(100);

    WriteToolIni("master=true\nsocket_port=0\n");
    void* master = KvoCreateInstance(&cfg_);
    ASSERT_NE(master, nullptr);
    const int kWait = 10000;
    ChildProcess child;
    {
        ASSERT_EQ(KvoRegisterAddr(master, "USH", "127.0.0.1", sim.Port()), 0);
        LoginResult* login = KvoLogin(master, "user1", "pw1");
        ASSERT_NE(login, nullptr);
        const int32_t status = login->nstatuscode;
        KvoFreeMem(login);
        ASSERT_EQ(status, 0);
        const uint16_t port = static_cast<CSocketDataMananger*>(master)->CascadeListenPort();
        ASSERT_NE(port, 0);

        ASSERT_TRUE(StartChild(child));
        EXPECT_EQ(child.Ask("addr 127.0.0.1 " + std::to_string(port), kWait), "addr 0");
        EXPECT_EQ(child.Ask("login user1 pw1", kWait), "login 0 b5c7c2bdb3c9b9a6");
        EXPECT_EQ(child.Ask("codelist USHA", kWait), "codelist 20 600000,600036,601318");
        EXPECT_EQ(child.Ask("stock USHA (600000,601318)", kWait), "stock 2 600000,601318");

        const size_t before = sim.FramesOfType(kSimSubscribeReq).size();
        EXPECT_EQ(child.Ask("sub 2 1 USHA (600036)", kWait), "sub 0");
        // Ticks of 600036 only, as the simulator pushes them.
        EXPECT_EQ(child.Ask("wait 2 3 " + std::to_string(kWait), kWait + 2000), "data 2 3 600036,600036,600036");
        EXPECT_EQ(sim.FramesOfType(kSimSubscribeReq).size(), before + 1);

        Quit(child, kWait);
        // The master gives the code up at the gateway.
        EXPECT_TRUE(Eventually([&] { return sim.FramesOfType(kSimSubscribeReq).size() == before + 2; }, kWait));
    }
    EXPECT_EQ(KvoReleaseInstance(master), 0);
    market.Stop();
}

}  // namespace
