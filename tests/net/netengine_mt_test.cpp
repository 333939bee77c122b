// The socket engine: start and stop, use counting, settings, send-delay
// accounting, and the check thread.
#include "framework/net/tl_netengine.h"
#include "framework/net/tl_netbuffer.h"
#include "framework/net/tl_socketlink.h"
#include "tests/support/loopback_server.h"
#include "tests/support/net_recorder.h"
#include "tests/support/net_wait.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <functional>
#include <future>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace corvane;
using kvotest::CheckPassesUntil;
// The callbacks record before the sink acts on their answer: tests poll for
// the sink's own state.
using kvotest::Eventually;
using kvotest::LoopbackServer;
using kvotest::NetEvents;
using kvotest::RecordingClient;

namespace {

struct TempIni {
    std::string path;
    explicit TempIni(const std::string& body) {
        char tmpl[] = "/tmp/kvo_net_ini_XXXXXX";
        int fd = ::mkstemp(tmpl);
        ::close(fd);
        path = tmpl;
        std::ofstream(path) << body;
    }
    ~TempIni() { std::remove(path.c_str()); }
};

// Tests of the engine's own log file, written into the test's folder.
class NetEngineLog : public kvotest::TempDirTest {
protected:
    NetEngineLog() : TempDirTest("kvo_net_log") {}
};

TEST(NetEngineSettings, DefaultsAndSectionValues) {
    TLNetSettings d = TL_NetReadSettings(nullptr);
    EXPECT_EQ(0, d.threadCount);
    EXPECT_EQ(1, d.nonagle);
    EXPECT_TRUE(d.logFileName.empty());
    EXPECT_EQ(0, d.thresholdCount);
    EXPECT_EQ(0, d.writeSendDelayTime);
    EXPECT_EQ(1, d.multiLinkNumDefault);

    TempIni ini(
        "[OTHER]\nThreadCount=9\n[TCP]\nThreadCount=3\nNonagle=0\nSendDelay=5,10,20\n"
        "WriteSendDelayTime=7\nMultiLinkNumDefault=4\n");
    TLNetSettings s = TL_NetReadSettings(ini.path.c_str());
    EXPECT_EQ(3, s.threadCount);
    EXPECT_EQ(0, s.nonagle);
    ASSERT_EQ(3, s.thresholdCount);
    EXPECT_EQ(5, s.thresholds[0]);
    EXPECT_EQ(20, s.thresholds[2]);
    EXPECT_EQ(0, s.writeSendDelayTime);  // read only with a log file named
    EXPECT_EQ(4, s.multiLinkNumDefault);

    TempIni zero("[TCP]\nThreadCount=0\n");
    EXPECT_EQ(0, TL_NetReadSettings(zero.path.c_str()).threadCount);
    TempIni neg("[TCP]\nThreadCount=-4\n");
    EXPECT_EQ(0, TL_NetReadSettings(neg.path.c_str()).threadCount);
}

TEST(NetEngineSettings, AtMostFourteenThresholds) {
    int32_t out[TL_NET_MAX_DELAY_THRESHOLDS];
    EXPECT_EQ(14, TL_NetParseSendDelay("1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20", out));
    EXPECT_EQ(14, out[13]);
    EXPECT_EQ(0, TL_NetParseSendDelay("", out));
    EXPECT_EQ(0, TL_NetParseSendDelay(nullptr, out));
    EXPECT_EQ(2, TL_NetParseSendDelay(" 7, 9", out));
    EXPECT_EQ(9, out[1]);
}

TEST(NetEngineDelay, BucketsAndLine) {
    const int32_t th[] = {5, 10, 20};
    EXPECT_EQ(0, TL_NetDelayBucket(th, 3, 3));
    EXPECT_EQ(1, TL_NetDelayBucket(th, 3, 10));
    EXPECT_EQ(2, TL_NetDelayBucket(th, 3, 15));
    EXPECT_EQ(3, TL_NetDelayBucket(th, 3, 50));
    EXPECT_EQ(-1, TL_NetDelayBucket(th, 0, 3));
    const int32_t stop[] = {5, 0, 20};
    EXPECT_EQ(3, TL_NetDelayBucket(stop, 3, 7));  // the walk ends at 0: last bucket
    const uint32_t a[] = {1, 1, 1, 1}, b[] = {0, 0, 0, 2};
    EXPECT_EQ("Delay,1,0,1,0,1,0,1,2,\r\n", TL_NetFormatDelayLine(a, b, 4));
}

TEST(NetEngine, StartStopUseCountAndRestart) {
    ASSERT_FALSE(TL_NetIsStarted());
    EXPECT_EQ(nullptr, TL_CreateSocketLink(nullptr, TL_LINK_KIND_DEFAULT, nullptr));
    ASSERT_EQ(0, TL_NetStartup(nullptr, 0));
    EXPECT_EQ(-1, TL_NetGetLogChannel());
    EXPECT_EQ(TL_NET_FLAG_NONAGLE, TL_NetGetFlags());
    EXPECT_NE(nullptr, TL_NetGetPort());
    // A second user: the engine keeps running after the first release.
    ASSERT_EQ(0, TL_NetStartup(nullptr, 0));
    EXPECT_EQ(TL_NET_E_PORT_EXISTS, TL_NetStartup(nullptr, 1));
    EXPECT_EQ(0, TL_NetCleanup());
    EXPECT_TRUE(TL_NetIsStarted());
    EXPECT_NE(nullptr, TL_NetGetPort());
    EXPECT_EQ(0, TL_NetCleanup());
    EXPECT_FALSE(TL_NetIsStarted());
    EXPECT_EQ(nullptr, TL_NetGetPort());
    EXPECT_EQ(nullptr, TL_CreateSocketLink(nullptr, TL_LINK_KIND_DEFAULT, nullptr));
    EXPECT_EQ(0, TL_NetCleanup());  // harmless when stopped
    // Start again.
    ASSERT_EQ(0, TL_NetStartup(nullptr, 0));
    ITLSocketLink* link = TL_CreateSocketLink(nullptr, TL_LINK_KIND_DEFAULT, nullptr);
    ASSERT_NE(nullptr, link);
    EXPECT_EQ(nullptr, TL_CreateSocketLink(nullptr, 0x12, nullptr));  // not a single link
    EXPECT_EQ(0, TL_NetCleanup());                                    // deletes the link left behind
}

TEST(NetEngine, SettingsFileStartsItsWorkers) {
    TempIni ini("[TCP]\nThreadCount=2\nNonagle=0\n");
    ASSERT_EQ(0, TL_NetStartup(ini.path.c_str(), 0));
    EXPECT_EQ(2, TL_NetGetSettings().threadCount);
    EXPECT_EQ(0u, TL_NetGetFlags());
    TL_NetCleanup();
}

TEST(NetEngine, QueuedBuffersReportTheirDelay) {
    TempIni ini("[TCP]\nSendDelay=1000000,2000000\n");
    TL_NetSetCheckThreadEnabled(false);
    ASSERT_EQ(0, TL_NetStartup(ini.path.c_str(), 0));
    uint32_t before = 0, second = 0;
    TL_NetGetDelayCounters(0, before, second);
    {
        SendQueue q;
        CTLSendBuffer b;
        b.AppendBlock("abc", 3);
        q.Push(b, 0);
        q.Push(b, 0);
    }  // both queued copies are released here
    uint32_t after = 0;
    TL_NetGetDelayCounters(0, after, second);
    EXPECT_EQ(before + 2, after);
    TL_NetCleanup();
    TL_NetSetCheckThreadEnabled(true);
}

TEST(NetEngine, CheckPassesMoveCheckIdleAndReleaseLinks) {
    TL_NetSetCheckThreadEnabled(false);
    TL_NetSetReleaseDelay(0);
    ASSERT_EQ(0, TL_NetStartup(nullptr, 0));
    LoopbackServer server;
    ASSERT_TRUE(server.Start());
    {
        RecordingClient c;
        c.ev.connectResult = 0;
        ASSERT_EQ(0, c.Connect("127.0.0.1", server.Port()));
        ASSERT_TRUE(c.WaitFor([](NetEvents& e) { return !e.connects.empty(); }));
        EXPECT_TRUE(Eventually([&] { return c.IsConfirmed(); }));
        EXPECT_EQ(1u, TL_NetLinkCount());
        auto* link = static_cast<CTLSocketSingleLink*>(c.GetLink());
        TL_NetCheckPass();
        TL_NetCheckPass();
        EXPECT_EQ(2u, link->GetCheckCount());
        EXPECT_EQ((std::vector<uint32_t>{1, 2}), c.Get<std::vector<uint32_t>>([](NetEvents& e) { return e.checks; }));
        TL_NetIdlePass();
        ASSERT_EQ(0, c.Disconnect(0));
        EXPECT_EQ(TL_NET_E_NO_LINK, c.Disconnect(0));
        // Released on a later pass once the port has finished with it.
        CheckPassesUntil([] { return TL_NetLinkCount() == 0; }, 15000, 5);
        EXPECT_EQ(0u, TL_NetLinkCount());
    }
    TL_NetCleanup();
    TL_NetSetCheckThreadEnabled(true);
    TL_NetSetReleaseDelay(15000);
}

TEST(NetEngine, UnconfirmedSinkDisconnectsAfterThirtyChecks) {
    TL_NetSetCheckThreadEnabled(false);
    ASSERT_EQ(0, TL_NetStartup(nullptr, 0));
    LoopbackServer server;
    ASSERT_TRUE(server.Start());
    {
        RecordingClient c;
        c.ev.connectResult = 1;  // bit 0 set: not confirmed
        ASSERT_EQ(0, c.Connect("127.0.0.1", server.Port()));
        ASSERT_TRUE(c.WaitFor([](NetEvents& e) { return !e.connects.empty(); }));
        // The first receive is posted once the connect step is over.
        ASSERT_TRUE(Eventually([&] { return c.GetLink() && !c.GetLink()->GetConnection()->IsSending(); }));
        EXPECT_FALSE(c.IsConfirmed());
        for (int i = 0; i < 29; ++i) TL_NetCheckPass();
        EXPECT_TRUE(c.Get<bool>([](NetEvents& e) { return e.disconnects.empty(); }));
        EXPECT_EQ(29u, c.Get<size_t>([](NetEvents& e) { return e.checks.size(); }));
        TL_NetCheckPass();
        ASSERT_TRUE(c.WaitFor([](NetEvents& e) { return !e.disconnects.empty(); }));
        EXPECT_EQ(TL_NET_REASON_OWNER, c.Get<uint32_t>([](NetEvents& e) { return e.disconnects[0]; }));
        EXPECT_EQ(29u, c.Get<size_t>([](NetEvents& e) { return e.checks.size(); }));

        // Data whose callback answers with bit 0 set confirms the sink.
        RecordingClient d;
        d.ev.connectResult = 1;
        d.ev.receiveResult = 1;
        ASSERT_EQ(0, d.Connect("127.0.0.1", server.Port()));
        ASSERT_TRUE(server.WaitForConnections(2, 5000));
        ASSERT_TRUE(d.WaitFor([](NetEvents& e) { return !e.connects.empty(); }));
        ASSERT_TRUE(server.Send(1, "hello"));
        ASSERT_TRUE(d.WaitFor([](NetEvents& e) { return e.data.size() == 5; }));
        EXPECT_TRUE(Eventually([&] { return d.IsConfirmed(); }));
        for (int i = 0; i < 35; ++i) TL_NetCheckPass();
        EXPECT_TRUE(d.Get<bool>([](NetEvents& e) { return e.disconnects.empty(); }));
    }
    TL_NetCleanup();
    TL_NetSetCheckThreadEnabled(true);
}

// The real check thread with four workers and fifty connections: every
// connection carries data both ways, closes, and is released.
TEST(NetEngine, ManyConnectionsUnderTheCheckThread) {
    TempIni ini("[TCP]\nThreadCount=4\n");
    TL_NetSetReleaseDelay(0);
    ASSERT_EQ(0, TL_NetStartup(ini.path.c_str(), 0));
    LoopbackServer server;
    ASSERT_TRUE(server.Start());
    server.SetGreeting(std::string(5000, 'g'));
    constexpr int kConns = 50;
    std::vector<std::unique_ptr<RecordingClient>> clients;
    for (int i = 0; i < kConns; ++i) {
        clients.push_back(std::make_unique<RecordingClient>());
        ASSERT_EQ(0, clients.back()->Connect("127.0.0.1", server.Port()));
    }
    ASSERT_TRUE(server.WaitForConnections(kConns, 10000));
    for (auto& c : clients) {
        ASSERT_TRUE(c->WaitFor([](NetEvents& e) { return e.data.size() == 5000; }));
        ASSERT_EQ(0, c->Send("ping", 4, 0));
    }
    for (int i = 0; i < kConns; ++i) ASSERT_TRUE(server.WaitForBytes(i, 4, 5000));
    for (int i = 0; i < kConns; i += 2) clients[i]->Disconnect(0);
    for (int i = 1; i < kConns; i += 2) server.Close(i);
    for (auto& c : clients) ASSERT_TRUE(c->WaitFor([](NetEvents& e) { return !e.disconnects.empty(); }));
    kvotest::Eventually([] { return TL_NetLinkCount() == 0; }, 15000);
    EXPECT_EQ(0u, TL_NetLinkCount());
    clients.clear();
    TL_NetCleanup();
    TL_NetSetReleaseDelay(15000);
}

// TCP_NODELAY is on with "Nonagle" 1 (the default), off with 0. With the
// link idle the check thread wakes once per 100 ms pass, not every 1 ms.
TEST(NetEngine, ConnectionsTheEngineMakesAndItsIdleCheckThread) {
    TempIni off("[TCP]\nNonagle=0\n");
    for (const char* settings : {static_cast<const char*>(nullptr), off.path.c_str()}) {
        ASSERT_EQ(0, TL_NetStartup(settings, 0));
        LoopbackServer server;
        ASSERT_TRUE(server.Start());
        RecordingClient c;
        ASSERT_EQ(0, c.Connect("127.0.0.1", server.Port()));
        ASSERT_TRUE(c.WaitFor([](NetEvents& e) { return !e.connects.empty(); }));
        const std::vector<int> fds = kvotest::SocketsConnectedTo(server.Port());
        ASSERT_EQ(1u, fds.size());
        int on = -1;
        socklen_t len = sizeof on;
        ASSERT_EQ(0, ::getsockopt(fds[0], IPPROTO_TCP, TCP_NODELAY, &on, &len));
        EXPECT_EQ(settings == nullptr, on != 0);
        uint64_t wakes0 = 0, idle0 = 0, wakes = 0, idle = 0;
        TL_NetGetCheckThreadStats(wakes0, idle0);
        ASSERT_TRUE(Eventually([&] { return TL_NetGetCheckThreadStats(wakes, idle), idle - idle0 >= 15; }, 10000));
        EXPECT_LE(wakes - wakes0, 10 * (idle - idle0));
        TL_NetCleanup();
    }
}

// Stopping with links still open deletes them; their sinks can still be
// destroyed afterwards.
TEST(NetEngine, CleanupWithOpenLinks) {
    ASSERT_EQ(0, TL_NetStartup(nullptr, 0));
    LoopbackServer server;
    ASSERT_TRUE(server.Start());
    RecordingClient c;
    ASSERT_EQ(0, c.Connect("127.0.0.1", server.Port()));
    ASSERT_TRUE(c.WaitFor([](NetEvents& e) { return !e.connects.empty(); }));
    ASSERT_TRUE(server.WaitForConnections(1, 5000));
    TL_NetCleanup();
    EXPECT_EQ(nullptr, c.GetLink());
    EXPECT_EQ(TL_NET_E_NO_LINK, c.Send("x", 1, 0));
    EXPECT_TRUE(server.WaitForPeerClose(0, 5000));
}

// The last release joins the completion threads with no lock held: a
// callback asking whether the engine runs must not hold the stop up for 5 s.
TEST(NetEngine, CallbackMayAskTheEngineWhileItStops) {
    TempIni ini("[TCP]\nThreadCount=1\n");
    ASSERT_EQ(0, TL_NetStartup(ini.path.c_str(), 0));
    std::atomic<int> step{0};  // 1 in the callback, 2 stopping, 3 asked while stopped
    RecordingClient listener;
    listener.SetDataCallback(&step, [](void* ctx, CTLNetNotify*, uint32_t, uint32_t, const void*) -> int32_t {
        auto* step = static_cast<std::atomic<int>*>(ctx);
        if (step->exchange(1) != 0) return 0;
        Eventually([step] { return step->load() == 2; });
        std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the stop is waiting for us
        step->store(TL_NetIsStarted() ? 4 : 3);
        return 0;
    });
    ITLSocketLink* link = TL_CreateSocketLink(&listener, TL_LINK_KIND_DEFAULT, nullptr);
    ASSERT_EQ(0, link->Listen(0, "127.0.0.1"));
    const int s =
        kvotest::ConnectToLoopback(static_cast<CTLWindowsTcpConnection*>(link->GetConnection())->GetListenPort());
    ASSERT_EQ(1, ::send(s, "x", 1, MSG_NOSIGNAL));
    ASSERT_TRUE(Eventually([&] { return step.load() == 1; }));
    step.store(2);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(0, TL_NetCleanup());
    EXPECT_LT(kvotest::MsSince(t0), 4000);
    EXPECT_EQ(3, step.load());
    ::close(s);
}

// A listening link closed on its own accept thread is joined by the pass
// that deletes it after that pass lets go of the link list, which the
// thread (through a helper it waits for) may still read.
TEST(NetEngine, ReleasedListeningLinkIsJoinedOutsideTheLinkList) {
    TL_NetSetCheckThreadEnabled(false);
    TL_NetSetReleaseDelay(0);
    ASSERT_EQ(0, TL_NetStartup(nullptr, 0));
    struct Listener : RecordingClient {
        std::atomic<bool> closed{false}, passing{false};
        std::future<size_t> count;
        bool countedInTime = false;
        CTLNetNotify* CreateNotify() override {
            Disconnect(0);
            closed.store(true);
            Eventually([this] { return passing.load(); });
            std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the pass is deleting the link
            count = std::async(std::launch::async, [] { return TL_NetLinkCount(); });
            countedInTime = count.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
            return nullptr;
        }
    } listener;
    ITLSocketLink* link = TL_CreateSocketLink(&listener, TL_LINK_KIND_DEFAULT, nullptr);
    ASSERT_EQ(0, link->Listen(0, "127.0.0.1"));
    const int s =
        kvotest::ConnectToLoopback(static_cast<CTLWindowsTcpConnection*>(link->GetConnection())->GetListenPort());
    ASSERT_TRUE(Eventually([&] { return listener.closed.load(); }));
    listener.passing.store(true);
    TL_NetCheckPass();
    listener.count.wait();
    EXPECT_TRUE(listener.countedInTime);
    EXPECT_EQ(0u, TL_NetLinkCount());
    ::close(s);
    TL_NetCleanup();
    TL_NetSetCheckThreadEnabled(true);
    TL_NetSetReleaseDelay(15000);
}

// A closed link whose cancelled receive has not been handled yet is kept:
// its completion still refers to it.
TEST(NetEngine, NoReleaseWhileACompletionIsQueued) {
    TempIni ini("[TCP]\nThreadCount=1\n");
    TL_NetSetCheckThreadEnabled(false);
    TL_NetSetReleaseDelay(0);
    ASSERT_EQ(0, TL_NetStartup(ini.path.c_str(), 0));
    LoopbackServer server;
    ASSERT_TRUE(server.Start());
    struct Latch {
        std::mutex m;
        std::condition_variable cv;
        bool entered = false, open = false;
    } latch;
    {
        RecordingClient a, b;
        a.SetDataCallback(&latch, [](void* ctx, CTLNetNotify*, uint32_t, uint32_t, const void*) -> int32_t {
            auto* l = static_cast<Latch*>(ctx);
            std::unique_lock<std::mutex> g(l->m);
            l->entered = true;
            l->cv.notify_all();
            l->cv.wait(g, [&] { return l->open; });
            return 0;
        });
        ASSERT_EQ(0, a.Connect("127.0.0.1", server.Port()));
        ASSERT_EQ(0, b.Connect("127.0.0.1", server.Port()));
        ASSERT_TRUE(server.WaitForConnections(2, 5000));
        ASSERT_TRUE(b.WaitFor([](NetEvents& e) { return !e.connects.empty(); }));
        TL_NetCheckPass();
        // The only completion thread is held inside a's callback.
        ASSERT_TRUE(server.Send(0, "x"));
        {
            std::unique_lock<std::mutex> g(latch.m);
            ASSERT_TRUE(latch.cv.wait_for(g, std::chrono::seconds(5), [&] { return latch.entered; }));
        }
        ASSERT_EQ(0, b.Disconnect(0));
        ASSERT_TRUE(b.WaitFor([](NetEvents& e) { return !e.disconnects.empty(); }));
        for (int i = 0; i < 5; ++i) TL_NetCheckPass();
        EXPECT_EQ(2u, TL_NetLinkCount());
        {
            std::lock_guard<std::mutex> g(latch.m);
            latch.open = true;
        }
        latch.cv.notify_all();
        CheckPassesUntil([] { return TL_NetLinkCount() <= 1; }, 10000, 2);
        EXPECT_EQ(1u, TL_NetLinkCount());
    }
    TL_NetCleanup();
    TL_NetSetCheckThreadEnabled(true);
    TL_NetSetReleaseDelay(15000);
}

// The last user released from a callback on a completion thread: that thread
// cannot be joined and is left behind with the links it may still use, but
// the other workers end at once and the stop does not wait for them one
// after another. (An accepted link: no connect thread is left unjoined.)
TEST(NetEngine, CleanupFromACompletionCallbackJoinsTheOtherWorkers) {
    TempIni ini("[TCP]\nThreadCount=4\n");
    ASSERT_EQ(0, TL_NetStartup(ini.path.c_str(), 0));
    std::atomic<int64_t> stopMs{-1};
    int s = -1;  // outlives the listener: closed once the engine is gone
    {
        RecordingClient listener;
        listener.SetDataCallback(&stopMs, [](void* ctx, CTLNetNotify*, uint32_t, uint32_t, const void*) -> int32_t {
            const auto t0 = std::chrono::steady_clock::now();
            TL_NetCleanup();
            static_cast<std::atomic<int64_t>*>(ctx)->store(
                std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count());
            return 0;
        });
        ITLSocketLink* link = TL_CreateSocketLink(&listener, TL_LINK_KIND_DEFAULT, nullptr);
        ASSERT_NE(nullptr, link);
        ASSERT_EQ(0, link->Listen(0, "127.0.0.1"));
        s = kvotest::ConnectToLoopback(static_cast<CTLWindowsTcpConnection*>(link->GetConnection())->GetListenPort());
        ASSERT_GE(s, 0);
        ASSERT_TRUE(listener.WaitFor([](NetEvents& e) { return !e.connects.empty(); }));
        ASSERT_EQ(1, ::send(s, "x", 1, MSG_NOSIGNAL));
        ASSERT_TRUE(Eventually([&] { return stopMs.load() >= 0; }, 30000));
        EXPECT_FALSE(TL_NetIsStarted());
        // Three idle workers waited for in turn took 5 s each.
        EXPECT_LT(stopMs.load(), 4000);
        // The thread left behind finds no port for its next receive and
        // closes its link; the sink hears it before it goes away.
        EXPECT_TRUE(listener.WaitFor([](NetEvents& e) { return !e.disconnects.empty(); }));
    }
    ::close(s);
    // The next start works beside what was left behind.
    ASSERT_EQ(0, TL_NetStartup(nullptr, 0));
    EXPECT_NE(nullptr, TL_NetGetPort());
    TL_NetCleanup();
}

// The last user released from a check callback on the check thread: the
// thread is left behind with the links, and its pass ends instead of walking
// on through the list the stop took away. The stopped engine gives up its
// log channel all the same.
TEST_F(NetEngineLog, CleanupFromACheckCallbackEndsThePass) {
    TempIni ini("[TCP]\nLogFileName=" + dir_ + "/net.log\n");
    ASSERT_EQ(0, TL_NetStartup(ini.path.c_str(), 0));
    EXPECT_GE(TL_NetGetLogChannel(), 0);
    // Checks are counted once all three links are up (a pass may come while
    // they are still being accepted); the first counted one stops the engine.
    struct Checks {
        std::atomic<bool> armed{false};
        std::atomic<int> count{0};
    } checks;
    std::vector<int> peers;
    {
        RecordingClient listener;
        listener.SetCheckCallback(&checks, [](void* ctx, CTLNetNotify*, uint32_t) -> int32_t {
            auto* c = static_cast<Checks*>(ctx);
            if (c->armed.load() && c->count.fetch_add(1) == 0) TL_NetCleanup();
            return 0;
        });
        ITLSocketLink* link = TL_CreateSocketLink(&listener, TL_LINK_KIND_DEFAULT, nullptr);
        ASSERT_NE(nullptr, link);
        ASSERT_EQ(0, link->Listen(0, "127.0.0.1"));
        const uint16_t port = static_cast<CTLWindowsTcpConnection*>(link->GetConnection())->GetListenPort();
        for (int i = 0; i < 3; ++i) {
            peers.push_back(kvotest::ConnectToLoopback(port));
            ASSERT_GE(peers.back(), 0);
        }
        ASSERT_TRUE(listener.WaitFor([](NetEvents& e) { return e.connects.size() == 3; }));
        checks.armed.store(true);
        ASSERT_TRUE(Eventually([&] { return !TL_NetIsStarted(); }, 30000));
        EXPECT_EQ(-1, TL_NetGetLogChannel());
        EXPECT_TRUE(Eventually([&] { return TL_NetLinkCount() == 0; }));
        // The check thread ends; nothing is checked any more.
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        EXPECT_EQ(1, checks.count.load());
    }
    for (int s : peers) ::close(s);
    ASSERT_EQ(0, TL_NetStartup(nullptr, 0));
    EXPECT_NE(nullptr, TL_NetGetPort());
    TL_NetCleanup();
}

// Log channels are few and cannot be removed: an engine started and stopped
// many times with the same log file keeps writing to one channel.
TEST_F(NetEngineLog, RestartsWithALogFileReuseItsChannel) {
    TempIni ini("[TCP]\nThreadCount=1\nLogFileName=" + dir_ + "/net.log\n");
    TempIni other("[TCP]\nThreadCount=1\nLogFileName=" + dir_ + "/other.log\n");
    TL_NetSetCheckThreadEnabled(false);
    int first = -1;
    for (int i = 0; i < 40; ++i) {
        ASSERT_EQ(0, TL_NetStartup(ini.path.c_str(), 0));
        const int channel = TL_NetGetLogChannel();
        if (i == 0) first = channel;
        ASSERT_GE(channel, 0) << "start " << i;
        EXPECT_EQ(first, channel);
        TL_NetCleanup();
        EXPECT_EQ(-1, TL_NetGetLogChannel());
    }
    // Another file gets a channel of its own.
    ASSERT_EQ(0, TL_NetStartup(other.path.c_str(), 0));
    EXPECT_GE(TL_NetGetLogChannel(), 0);
    EXPECT_NE(first, TL_NetGetLogChannel());
    TL_NetCleanup();
    TL_NetSetCheckThreadEnabled(true);
}

// A completion port that cannot be created leaves the engine stopped, so
// that the next start really starts it.
TEST(NetEngine, FailedStartLeavesTheEngineStopped) {
    // One normal start and stop first, so that nothing on the failing road
    // is run for the first time while no descriptor is left (the sanitizers'
    // own checks need descriptors too).
    ASSERT_EQ(0, TL_NetStartup(nullptr, 0));
    EXPECT_EQ(0, TL_NetCleanup());
    rlimit old{};
    ASSERT_EQ(0, ::getrlimit(RLIMIT_NOFILE, &old));
    rlimit low = old;
    low.rlim_cur = std::min<rlim_t>(old.rlim_cur, 256);
    ASSERT_EQ(0, ::setrlimit(RLIMIT_NOFILE, &low));
    // Every descriptor number in use: the port's epoll set cannot be made.
    std::vector<int> filler;
    for (int fd; (fd = ::dup(0)) >= 0;) filler.push_back(fd);
    const int rc = TL_NetStartup(nullptr, 0);
    for (int fd : filler) ::close(fd);
    ASSERT_EQ(0, ::setrlimit(RLIMIT_NOFILE, &old));
    EXPECT_EQ(TL_NET_E_PORT_CREATE, rc);
    EXPECT_FALSE(TL_NetIsStarted());
    EXPECT_EQ(nullptr, TL_NetGetPort());
    EXPECT_EQ(nullptr, TL_CreateSocketLink(nullptr, TL_LINK_KIND_DEFAULT, nullptr));
    ASSERT_EQ(0, TL_NetStartup(nullptr, 0));
    EXPECT_NE(nullptr, TL_NetGetPort());
    EXPECT_EQ(0, TL_NetCleanup());
    EXPECT_FALSE(TL_NetIsStarted());
}

// Start and stop while links carry data in both directions.
TEST(NetEngine, RestartWithTrafficInFlight) {
    LoopbackServer server;
    ASSERT_TRUE(server.Start());
    server.SetGreeting(std::string(200000, 'q'));
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(0, TL_NetStartup(nullptr, 0));
        std::vector<std::unique_ptr<RecordingClient>> clients;
        for (int i = 0; i < 5; ++i) {
            clients.push_back(std::make_unique<RecordingClient>());
            ASSERT_EQ(0, clients.back()->Connect("127.0.0.1", server.Port()));
        }
        std::atomic<bool> stop{false};
        std::thread sender([&] {
            std::string chunk(3000, 's');
            while (!stop.load()) {
                for (auto& c : clients) c->Send(chunk.data(), static_cast<uint32_t>(chunk.size()), 0);
                std::this_thread::yield();
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        stop.store(true);
        sender.join();
        EXPECT_EQ(0, TL_NetCleanup());
        for (auto& c : clients) EXPECT_EQ(nullptr, c->GetLink());
    }
    EXPECT_FALSE(TL_NetIsStarted());
}

// With a log file, thresholds and a period, the check thread writes the
// delay line to the engine's own channel.
TEST_F(NetEngineLog, CheckThreadWritesTheDelayLine) {
    TempIni ini("[TCP]\nSendDelay=100000,200000\nWriteSendDelayTime=1\nLogFileName=" + dir_ + "/net.log\n");
    ASSERT_EQ(0, TL_NetStartup(ini.path.c_str(), 0));
    EXPECT_GE(TL_NetGetLogChannel(), 0);
    {
        SendQueue q;
        CTLSendBuffer b;
        b.AppendBlock("abc", 3);
        q.Push(b, 0);
    }
    auto findLine = [&] {
        for (const auto& f : std::filesystem::directory_iterator(dir_)) {
            std::string text = kvotest::ReadWholeFile(f.path());
            if (text.find("Delay,") != std::string::npos) return text;
        }
        return std::string();
    };
    std::string text;
    kvotest::Eventually(
        [&] {
            text = findLine();
            return !text.empty();
        },
        15000);
    TL_NetCleanup();
    ASSERT_FALSE(text.empty());
    // Three buckets, each "%ld,%ld,"; the first counted at least our buffer.
    const std::string line = text.substr(text.find("Delay,"));
    EXPECT_EQ(0u, line.find("Delay,"));
    size_t commas = 0;
    for (char c : line.substr(0, line.find('\r'))) commas += c == ',';
    EXPECT_EQ(7u, commas);
    EXPECT_NE(0, line.compare(6, 2, "0,"));
}

}  // namespace
