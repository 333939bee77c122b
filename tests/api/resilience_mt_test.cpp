// The library through its exported functions against the gateway simulator
// and its moving market, one gateway fault per test: killed mid-stream,
// restarted, stalled (no heartbeat answers), garbage and half frames, one
// address of two refusing, a kick by notification, one re-subscription
// refused, a close during a waiting query and during the login exchange.
//
// Every row checks the host's notifications and their texts, when the
// reconnect came (with the shortened timers: check-out 2 s, so 1 to 2 s
// after the last heartbeat answer), the re-subscriptions sent (the kept
// list, in order), that pushes arrive again for every kept subscription,
// that the process spends little CPU time once the market is idle, and that
// releasing the instance leaves no thread and no descriptor behind.
// An idle instance with the library's own timers does not poll (its threads'
// wakes are counted). Then instances are created, logged in, subscribed and
// released many times over with no growth in threads, descriptors or live
// heap.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "datapacket.pro.pb.h"
#include "include/kvoapi.h"
#include "platform/pl_netstate.h"
#include "session/session_util.h"
#include "simulator/frame_writer.h"
#include "simulator/gateway_sim.h"
#include "simulator/sim_market.h"
#include "tests/support/instance_cycle.h"
#include "tests/support/instance_dir.h"
#include "tests/support/net_wait.h"
#include "tests/support/process_figures.h"
#include "tests/support/session_fixture.h"

using kvotest::Eventually;
using kvotest::GatewaySim;
using kvotest::SimAnswer;
using kvotest::SimFrame;
using kvotest::SimMarket;
using Clock = std::chrono::steady_clock;

namespace {

// The host's subscriptions, in the order it makes them, with what the
// gateway sees of each.
struct Kept {
    uint32_t dataclass;
    const char* market;
    const char* codes;
    int32_t wireClass;
    const char* codeText;
};
constexpr Kept kKept[] = {
    {2, "USHA", "(600000,600036)", 1, "17(600000,600036)"},
    {1, "USHI", "(000001)", 2, "16(1A0001)"},
    {5, "USHA", "(601318)", 5, "17(601318)"},
};
// What the pushes of every kept subscription deliver: kind and code.
const std::set<std::string> kEveryPush = {"stock:600000", "stock:600036", "index:000001", "tran:601318"};

struct Notified {
    int32_t code;
    std::string text;
    std::string thread;
};

struct Resubscribed {
    uint32_t dataclass;
    std::string market;
    std::string codes;
    int32_t result;
};

// What the host was told, from every thread.
struct Host {
    std::mutex mutex;
    std::set<std::string> pushes;
    std::vector<Notified> notified;
    std::vector<Resubscribed> failedResubs;

    void Clear() {
        std::lock_guard<std::mutex> g(mutex);
        pushes.clear();
        notified.clear();
        failedResubs.clear();
    }
    template <class Rec>
    void Add(const char* kind, const void* records, uint32_t count) {
        std::lock_guard<std::mutex> g(mutex);
        for (uint32_t i = 0; i < count; ++i) {
            const Rec& r = static_cast<const Rec*>(records)[i];
            pushes.insert(std::string(kind) + ":" + kvoapi::BoundedText(r.code));
        }
    }
    bool SawEveryPush() {
        std::lock_guard<std::mutex> g(mutex);
        for (const std::string& p : kEveryPush) {
            if (pushes.count(p) == 0) return false;
        }
        return true;
    }
    bool Saw(const std::string& push) {
        std::lock_guard<std::mutex> g(mutex);
        return pushes.count(push) != 0;
    }
    std::vector<Notified> Notifications() {
        std::lock_guard<std::mutex> g(mutex);
        return notified;
    }
    std::vector<Resubscribed> FailedResubs() {
        std::lock_guard<std::mutex> g(mutex);
        return failedResubs;
    }
};

Host g_host;

int32_t OnStock(void*, const void* r, uint32_t n, const PushTiming*) {
    g_host.Add<TickStock>("stock", r, n);
    return 0;
}
int32_t OnIndex(void*, const void* r, uint32_t n, const PushTiming*) {
    g_host.Add<TickIndex>("index", r, n);
    return 0;
}
int32_t OnTran(void*, const void* r, uint32_t n, const PushTiming*) {
    g_host.Add<Transaction>("tran", r, n);
    return 0;
}
void OnNotify(void*, const NotifyRecord* r) {
    Notified n{r->code, kvoapi::BoundedText(r->text), kvotest::ThreadNameOfCaller()};
    std::lock_guard<std::mutex> g(g_host.mutex);
    g_host.notified.push_back(n);
}
void OnSubscribe(uint32_t dataclass, uint32_t, const char* market, const char* codes, int32_t result, int32_t kind) {
    if (kind != 2) return;
    std::lock_guard<std::mutex> g(g_host.mutex);
    g_host.failedResubs.push_back({dataclass, market, codes, result});
}

// "SH" + "network lost!" and "SH" + "network lost - logged off by a
// repeated login!", GBK.
constexpr char kLostHex[] = "5348cdf8c2e7b6cfbfaa21";
constexpr char kKickedHex[] = "5348cdf8c2e7b6cfbfaa2dd6d8b8b4b5c7c2bcb1bb54cfc2cfdf21";

class ResilienceTest : public kvotest::InstanceDirTest {
protected:
    ResilienceTest() : InstanceDirTest("kvo_resilience"), timers_(kvotest::ShortSessionTimers()) {}

    void SetUp() override {
        InstanceDirTest::SetUp();
        if (HasFatalFailure()) return;
        g_host.Clear();
        cfg_.m_authtype = 1;
        cfg_.m_timeout = 1000;
        cfg_.m_connectsubscribe = 1;
        cfg_.fnctickstock = &OnStock;
        cfg_.fnctickindex = &OnIndex;
        cfg_.fnctransacton = &OnTran;
        cfg_.fncnotify = &OnNotify;
        cfg_.fncsubscribe = &OnSubscribe;
        // What lives until the process ends (the log writer) starts before
        // the baseline is taken.
        KvoReleaseInstance(KvoCreateInstance(&cfg_));
        threads_ = kvotest::ThreadCount();
        descriptors_ = kvotest::OpenDescriptors();
        const std::set<int> before = kvotest::ThreadIds();
        ASSERT_TRUE(sim_.Start());
        for (const int tid : kvotest::ThreadIds()) {
            if (before.count(tid) == 0) simThreads_.insert(tid);
        }
        market_.Attach(sim_);
    }

    void TearDown() override {
        market_.Stop();
        if (handle_ != nullptr) KvoReleaseInstance(handle_);
        sim_.Stop();
        pl::SetNetworkStateProbe(nullptr);
        InstanceDirTest::TearDown();
    }

    // Creates the instance with the gateways given (registered in this
    // order, so the last is tried first), logs in, subscribes the kept list
    // and waits until every subscription is pushed.
    void Begin(const std::vector<uint16_t>& ports) {
        pl::SetNetworkStateProbe([] { return pl::NetworkState::kAlive; });
        handle_ = KvoCreateInstance(&cfg_);
        ASSERT_NE(handle_, nullptr);
        for (uint16_t port : ports) ASSERT_EQ(KvoRegisterAddr(handle_, "USH", "127.0.0.1", port), 0);
        const Clock::time_point t0 = Clock::now();
        ASSERT_EQ(LogIn(), 0);
        loginMs_ = kvotest::MsSince(t0);
        for (const Kept& k : kKept) ASSERT_EQ(KvoSubScribe(handle_, k.dataclass, 1, k.market, k.codes), 0);
        market_.Start(40);
        ExpectEveryPushAgain("after the subscriptions");
    }
    void Begin() { Begin({sim_.Port()}); }

    int32_t LogIn() {
        LoginResult* r = KvoLogin(handle_, "trader", "pw");
        const int32_t code = r != nullptr ? r->nstatuscode : 1;
        KvoFreeMem(r);
        return code;
    }

    // Pushes of every kept subscription arrive (again).
    void ExpectEveryPushAgain(const char* when) {
        {
            std::lock_guard<std::mutex> g(g_host.mutex);
            g_host.pushes.clear();
        }
        EXPECT_TRUE(Eventually([] { return g_host.SawEveryPush(); }, 5000)) << when;
    }

    // The subscriptions a connection of a simulator received equal the kept
    // list, in order.
    static void ExpectResubscribed(const GatewaySim& sim, size_t connection) {
        ASSERT_TRUE(sim.WaitFor(
            [&](const std::vector<SimFrame>& frames) {
                size_t n = 0;
                for (const SimFrame& f : frames) n += f.type == kvotest::kSimSubscribeReq && f.connection == connection;
                return n >= 3;
            },
            5000));
        std::vector<datapacket::SubscribeReq> got;
        for (const SimFrame& f : sim.FramesOfType(kvotest::kSimSubscribeReq)) {
            datapacket::SubscribeReq r;
            if (f.connection == connection && f.Parse(&r)) got.push_back(r);
        }
        ASSERT_EQ(got.size(), 3u);
        for (size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(got[i].data_class(), kKept[i].wireClass) << i;
            EXPECT_EQ(got[i].codelist(), kKept[i].codeText) << i;
            EXPECT_EQ(got[i].suboper(), 1) << i;
        }
    }

    // The connection of the n-th login request a simulator received (from
    // 1), once it arrived, and when it arrived.
    static size_t LoginConnection(const GatewaySim& sim, size_t n, uint64_t* atMs = nullptr) {
        EXPECT_TRUE(sim.WaitForFrames(kvotest::kSimLoginReq, n, 6000)) << "login " << n;
        const auto logins = sim.FramesOfType(kvotest::kSimLoginReq);
        if (logins.size() < n) return SIZE_MAX;
        if (atMs != nullptr) *atMs = logins[n - 1].atMs;
        return logins[n - 1].connection;
    }

    // The window in which a check-out reconnect comes after the gateway's
    // last heartbeat answer (at or before lastAnswerMs).
    static void ExpectCheckOutWindow(uint64_t lastAnswerMs, uint64_t loginMs) {
        EXPECT_GE(loginMs, lastAnswerMs + 900);
        EXPECT_LE(loginMs, lastAnswerMs + 3000);
    }

    // The gateway stops answering heartbeats on the logged-in connection:
    // the check-out's reconnect logs in again (the second login) in its
    // window, on a new connection, which is returned.
    size_t StallUntilReconnect() {
        const size_t first = sim_.Latest();
        sim_.SetAnswerHeartbeats(false);
        const uint64_t stalled = sim_.NowMs();
        uint64_t at = 0;
        const size_t second = LoginConnection(sim_, 2, &at);
        sim_.SetAnswerHeartbeats(true);
        ExpectCheckOutWindow(stalled, at);
        EXPECT_NE(second, first);
        return second;
    }

    // The idle part (market stopped): the process spends little CPU time.
    // Then the release, after which no thread and no descriptor is left.
    void End(std::vector<GatewaySim*> more = {}) {
        market_.Stop();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const uint64_t cpu0 = kvotest::ProcessCpuNs();
        const Clock::time_point t0 = Clock::now();
        std::this_thread::sleep_for(std::chrono::milliseconds(800));
        const double cpuMs = double(kvotest::ProcessCpuNs() - cpu0) / 1e6;
        const double wallMs = double(kvotest::MsSince(t0));
        EXPECT_LT(cpuMs, 0.25 * wallMs) << "CPU time while idle: " << cpuMs << " ms in " << wallMs << " ms";
        EXPECT_EQ(KvoReleaseInstance(handle_), 0);
        handle_ = nullptr;
        sim_.Stop();
        for (GatewaySim* g : more) g->Stop();
        EXPECT_TRUE(Eventually([&] { return kvotest::ThreadCount() == threads_; }, 3000))
            << kvotest::ThreadCount() << " threads, " << threads_ << " before";
        EXPECT_EQ(kvotest::OpenDescriptors(), descriptors_);
    }

    kvotest::ScopedSessionTimers timers_;
    GatewaySim sim_;
    SimMarket market_{11};
    void* handle_ = nullptr;
    int64_t loginMs_ = 0;  // how long Begin's login took
    size_t threads_ = 0;
    size_t descriptors_ = 0;
    std::set<int> simThreads_;  // the simulator's threads (they poll)
};

}  // namespace

// Killed mid-stream: gone for good as far as the session can tell. The
// check-out's reconnect finds no gateway in three rounds and tells the host
// (code 1, "SH" + "network lost!", on "reconnectThread"); the host's next
// login, once the gateway is back, sends the kept subscriptions again.
TEST_F(ResilienceTest, KilledMidStream) {
    Begin();
    const uint64_t killed = sim_.NowMs();
    sim_.StopListening();
    sim_.CloseAll();
    ASSERT_TRUE(Eventually([] { return !g_host.Notifications().empty(); }, 6000));
    const uint64_t told = sim_.NowMs();
    ExpectCheckOutWindow(killed, told);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto notified = g_host.Notifications();
    ASSERT_EQ(notified.size(), 1u);
    EXPECT_EQ(notified[0].code, 1);
    EXPECT_EQ(kvotest::HexOf(notified[0].text), kLostHex);
    EXPECT_EQ(notified[0].thread, "reconnectThread");
    EXPECT_EQ(sim_.Accepted(), 1u);

    ASSERT_TRUE(sim_.ResumeListening());
    ASSERT_EQ(LogIn(), 0);
    ExpectResubscribed(sim_, LoginConnection(sim_, 2));
    ExpectEveryPushAgain("after the host's new login");
    EXPECT_EQ(g_host.Notifications().size(), 1u);
    End();
}

// Restarted: the gateway drops every connection and listens again a moment
// later. The first drop after the login waits for the check-out; the drop
// after that reconnect reconnects at once. Nothing reaches fncnotify.
TEST_F(ResilienceTest, Restarted) {
    Begin();
    const uint64_t killed = sim_.NowMs();
    sim_.StopListening();
    sim_.CloseAll();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_TRUE(sim_.ResumeListening());
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_EQ(sim_.Accepted(), 1u) << "a drop after the first login queues no reconnect";
    uint64_t at = 0;
    const size_t second = LoginConnection(sim_, 2, &at);
    ExpectCheckOutWindow(killed, at);
    ExpectResubscribed(sim_, second);
    ExpectEveryPushAgain("after the check-out's reconnect");

    const uint64_t dropped = sim_.NowMs();
    sim_.CloseAll();
    const size_t third = LoginConnection(sim_, 3, &at);
    EXPECT_LT(at - dropped, 800u) << "a drop after a reconnect reconnects at once";
    ExpectResubscribed(sim_, third);
    ExpectEveryPushAgain("after the immediate reconnect");
    EXPECT_TRUE(g_host.Notifications().empty());
    End();
}

// Stalled: the gateway stops answering heartbeats while the link stays up.
// One check-out, one reconnect on a new connection, the old one closed.
TEST_F(ResilienceTest, StalledHeartbeats) {
    Begin();
    const size_t first = sim_.Latest();
    const size_t second = StallUntilReconnect();
    EXPECT_TRUE(sim_.WaitForPeerClose(first, 2000));
    ExpectResubscribed(sim_, second);
    ExpectEveryPushAgain("after the reconnect");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(sim_.CountOfType(kvotest::kSimLoginReq), 2u);
    EXPECT_TRUE(g_host.Notifications().empty());
    End();
}

// Garbage and half frames between pushes: the frames around them arrive
// (stock ticks of 601318, which the market itself never pushes), the link
// stays up and nothing reconnects.
TEST_F(ResilienceTest, GarbageAndHalfFrames) {
    Begin();
    const size_t c = sim_.Latest();
    auto push = [&](const char* code) {
        return kvotest::PushFrame(kvotest::MakePush("USHA", 1, market_.StockImage(17, {code})));
    };
    ASSERT_TRUE(sim_.Write(c, std::string(300, '\x5a')));
    ASSERT_TRUE(sim_.WriteFrames(c, {push("601318")}, kvotest::SimWrite::kGarbageFirst));
    ASSERT_TRUE(Eventually([] { return g_host.Saw("stock:601318"); }));
    {
        std::lock_guard<std::mutex> g(g_host.mutex);
        g_host.pushes.erase("stock:601318");
    }
    // Halves of frames with pauses between them. The market's pushes and the
    // heartbeat answers pause meanwhile: they would land between the halves.
    market_.Stop();
    sim_.SetAnswerHeartbeats(false);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // an answer being written is out
    ASSERT_TRUE(sim_.WriteFrames(c, {push("601318"), push("601318")}, kvotest::SimWrite::kSplit, 7, 50));
    ASSERT_TRUE(Eventually([] { return g_host.Saw("stock:601318"); }, 500));
    sim_.SetAnswerHeartbeats(true);
    market_.Start(40);
    // A frame cut off by garbage is lost; the one behind the garbage comes.
    std::string cut = push("600000");
    cut.resize(cut.size() / 2);
    ASSERT_TRUE(sim_.Write(c, cut + std::string(20, '\x01') + push("601318")));
    ExpectEveryPushAgain("after the garbage");
    EXPECT_EQ(sim_.Accepted(), 1u);
    EXPECT_TRUE(sim_.IsOpen(c));
    EXPECT_EQ(sim_.CountOfType(kvotest::kSimLoginReq), 1u);
    EXPECT_TRUE(g_host.Notifications().empty());
    End();
}

// One address of two refuses: the gateway the session logged in on goes
// away; the check-out's reconnect is refused there at once and logs in on
// the other, which gets the kept subscriptions and pushes its market.
TEST_F(ResilienceTest, OneAddressOfTwoRefuses) {
    GatewaySim other;
    ASSERT_TRUE(other.Start());
    SimMarket otherMarket(12);
    otherMarket.Attach(other);
    Begin({other.Port(), sim_.Port()});  // sim_ registered last: tried first
    ASSERT_EQ(sim_.CountOfType(kvotest::kSimLoginReq), 1u);
    ASSERT_EQ(other.Accepted(), 0u);
    otherMarket.Start(40);
    const uint64_t killedAt = sim_.NowMs();
    const Clock::time_point killed = Clock::now();
    sim_.StopListening();
    sim_.CloseAll();
    ASSERT_TRUE(other.WaitForFrames(kvotest::kSimLoginReq, 1, 6000));
    const int64_t ms = kvotest::MsSince(killed);
    ExpectCheckOutWindow(killedAt, killedAt + uint64_t(ms));
    ExpectResubscribed(other, LoginConnection(other, 1));
    ExpectEveryPushAgain("from the other gateway");
    EXPECT_TRUE(g_host.Notifications().empty());
    otherMarket.Stop();
    End({&other});
}

// One address of two refuses the login (the gateway there answers every
// login request with a refusal) while the other accepts. The address tried
// first refuses the host's login and then the check-out's reconnect; both go
// on to the other address at once, without a login wait, and the reconnect
// sends it the kept subscriptions.
TEST_F(ResilienceTest, OneAddressOfTwoRefusesTheLogin) {
    GatewaySim refusing;
    ASSERT_TRUE(refusing.Start());
    SimAnswer refusal;
    refusal.status = -1;
    refusing.SetAnswer(kvotest::kSimLoginReq, refusal);
    Begin({sim_.Port(), refusing.Port()});  // refusing registered last: tried first
    EXPECT_LT(loginMs_, 900) << "a refusal ends its attempt at once";
    EXPECT_EQ(refusing.CountOfType(kvotest::kSimLoginReq), 1u);
    EXPECT_TRUE(refusing.WaitForPeerClose(0, 2000));
    EXPECT_EQ(sim_.CountOfType(kvotest::kSimLoginReq), 1u);

    const size_t second = StallUntilReconnect();
    EXPECT_EQ(refusing.CountOfType(kvotest::kSimLoginReq), 2u) << "the reconnect tried the refusing address first";
    EXPECT_EQ(refusing.CountOfType(kvotest::kSimSubscribeReq), 0u);
    ExpectResubscribed(sim_, second);
    ExpectEveryPushAgain("after the reconnect past the refusing address");
    EXPECT_EQ(sim_.CountOfType(kvotest::kSimLoginReq), 2u);
    EXPECT_TRUE(g_host.Notifications().empty());
    End({&refusing});
}

// Kicked by notification 1: fncnotify code 3 on the receiving thread; the
// session stays down (the check-out's reconnect does nothing), and the next
// login answers -1016 without asking the gateway.
TEST_F(ResilienceTest, KickedByNotification) {
    Begin();
    const size_t c = sim_.Latest();
    ASSERT_TRUE(sim_.Write(c, kvotest::NotifyFrame(1, "")));
    ASSERT_TRUE(Eventually([] { return !g_host.Notifications().empty(); }));
    const auto notified = g_host.Notifications();
    ASSERT_EQ(notified.size(), 1u);
    EXPECT_EQ(notified[0].code, 3);
    EXPECT_EQ(kvotest::HexOf(notified[0].text), kKickedHex);
    EXPECT_NE(notified[0].thread, "reconnectThread");
    EXPECT_EQ(LogIn(), -1016);
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // past the check-out
    EXPECT_EQ(sim_.CountOfType(kvotest::kSimLoginReq), 1u);
    EXPECT_EQ(sim_.Accepted(), 1u);
    EXPECT_TRUE(sim_.IsOpen(c));
    EXPECT_EQ(g_host.Notifications().size(), 1u);
    End();
}

// One re-subscription refused: after the reconnect that notification 3 asks
// for, the gateway refuses the index subscription. The host hears of it
// through fncsubscribe (kind 2, -10002); the entries after it are still
// sent and pushed.
TEST_F(ResilienceTest, OneResubscriptionRefused) {
    Begin();
    sim_.SetRule(kvotest::kSimSubscribeReq, [](const SimFrame& f) {
        datapacket::SubscribeReq r;
        SimAnswer a;
        if (f.Parse(&r) && r.data_class() == 2) a.status = 2;
        return a;
    });
    ASSERT_TRUE(sim_.Write(sim_.Latest(), kvotest::NotifyFrame(3, "")));
    ExpectResubscribed(sim_, LoginConnection(sim_, 2));
    ASSERT_TRUE(Eventually([] { return !g_host.FailedResubs().empty(); }));
    const auto failed = g_host.FailedResubs();
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].dataclass, 1u);
    EXPECT_EQ(failed[0].market, "USHI");
    EXPECT_EQ(failed[0].codes, "(000001)");
    EXPECT_EQ(failed[0].result, -10002);
    ExpectEveryPushAgain("after the reconnect");
    EXPECT_TRUE(g_host.Notifications().empty());
    End();
}

// Closed during a waiting query: the query waits its full timeout and
// answers null with the count untouched; the check-out reconnects, and the
// next query is answered.
TEST_F(ResilienceTest, ClosedDuringAWaitingQuery) {
    Begin();
    std::atomic<int> quotas{0};
    sim_.SetRule(kvotest::kSimQuotaReq, [&](const SimFrame& f) {
        SimAnswer a;
        if (quotas++ == 0) {
            a.mode = SimAnswer::kClose;
            return a;
        }
        datapacket::GetQuotaReq r;
        uint32_t marketByte = 0;
        std::set<std::string> codes;
        if (f.Parse(&r) && kvotest::ParseCodeText(r.codelist(), &marketByte, &codes)) {
            a.databuf = market_.StockImage(marketByte, codes);
        }
        return a;
    });
    const uint64_t closed = sim_.NowMs();
    const Clock::time_point t0 = Clock::now();
    uint32_t count = 777;
    EXPECT_EQ(KvoGetTickStock(handle_, "USHA", "(600000)", &count), nullptr);
    EXPECT_GE(kvotest::MsSince(t0), 950);
    EXPECT_EQ(count, 777u);
    uint64_t at = 0;
    const size_t second = LoginConnection(sim_, 2, &at);
    ExpectCheckOutWindow(closed, at);
    ExpectResubscribed(sim_, second);
    ExpectEveryPushAgain("after the reconnect");
    TickStock* records = KvoGetTickStock(handle_, "USHA", "(600000)", &count);
    ASSERT_NE(records, nullptr);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(kvoapi::BoundedText(records[0].code), "600000");
    EXPECT_EQ(KvoFreeMem(records), 0);
    EXPECT_TRUE(g_host.Notifications().empty());
    End();
}

// Closed during the login exchange of a reconnect (asked for by
// notification 4): that attempt times out and the next round logs in.
TEST_F(ResilienceTest, ClosedDuringTheLoginExchange) {
    Begin();
    std::atomic<int> logins{1};
    sim_.SetRule(kvotest::kSimLoginReq, [&](const SimFrame&) {
        SimAnswer a;
        if (++logins == 2) a.mode = SimAnswer::kClose;
        return a;
    });
    const Clock::time_point t0 = Clock::now();
    ASSERT_TRUE(sim_.Write(sim_.Latest(), kvotest::NotifyFrame(4, "")));
    const size_t third = LoginConnection(sim_, 3);
    EXPECT_GE(kvotest::MsSince(t0), 900) << "the closed attempt waits its login wait";
    EXPECT_LT(kvotest::MsSince(t0), 3000);
    EXPECT_EQ(sim_.Accepted(), 3u);
    ExpectResubscribed(sim_, third);
    ExpectEveryPushAgain("after the reconnect");
    EXPECT_TRUE(g_host.Notifications().empty());
    End();
}

// Closed during the exchange of the host's first login: the gateway tried
// first closes the connection on every login request, the other on the
// first only. The first KvoLogin answers the timeout after one login wait
// per address (it does not hang); the host's second login goes past the
// closing address and logs in on the other, and the subscriptions made then
// are pushed.
TEST_F(ResilienceTest, ClosedDuringTheFirstLogin) {
    GatewaySim closing;
    ASSERT_TRUE(closing.Start());
    SimAnswer close;
    close.mode = SimAnswer::kClose;
    closing.SetAnswer(kvotest::kSimLoginReq, close);
    std::atomic<int> logins{0};
    sim_.SetRule(kvotest::kSimLoginReq, [&](const SimFrame&) {
        SimAnswer a;
        if (logins++ == 0) a.mode = SimAnswer::kClose;
        return a;
    });
    pl::SetNetworkStateProbe([] { return pl::NetworkState::kAlive; });
    handle_ = KvoCreateInstance(&cfg_);
    ASSERT_NE(handle_, nullptr);
    ASSERT_EQ(KvoRegisterAddr(handle_, "USH", "127.0.0.1", sim_.Port()), 0);
    ASSERT_EQ(KvoRegisterAddr(handle_, "USH", "127.0.0.1", closing.Port()), 0);
    Clock::time_point t0 = Clock::now();
    EXPECT_EQ(LogIn(), KVO_ERR_TIMEOUT);
    EXPECT_GE(kvotest::MsSince(t0), 2 * 900);
    EXPECT_LT(kvotest::MsSince(t0), 2 * 1000 + 1500);
    EXPECT_EQ(closing.CountOfType(kvotest::kSimLoginReq), 1u);
    EXPECT_EQ(sim_.CountOfType(kvotest::kSimLoginReq), 1u);

    t0 = Clock::now();
    EXPECT_EQ(LogIn(), 0);
    EXPECT_GE(kvotest::MsSince(t0), 900);
    EXPECT_LT(kvotest::MsSince(t0), 1000 + 1500);
    EXPECT_EQ(closing.CountOfType(kvotest::kSimLoginReq), 2u);
    EXPECT_EQ(LoginConnection(sim_, 2), 1u);
    for (const Kept& k : kKept) ASSERT_EQ(KvoSubScribe(handle_, k.dataclass, 1, k.market, k.codes), 0);
    market_.Start(40);
    ExpectEveryPushAgain("after the second login");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(sim_.Accepted(), 2u) << "no reconnect after the second login";
    EXPECT_EQ(closing.Accepted(), 2u);
    EXPECT_TRUE(g_host.Notifications().empty());
    End({&closing});
}

// An idle instance does not poll: logged in and subscribed, with the
// library's own session timers and no pushes, its threads wake a few dozen
// times in 2 s (idle passes of the socket engine, a heartbeat, the
// subscription check), where one thread waking every millisecond would add
// some 2,000. The simulator's threads are not counted.
TEST_F(ResilienceTest, IdleInstanceDoesNotPoll) {
    const kvotest::ScopedSessionTimers libraryTimers{SessionTimers{}};
    pl::SetNetworkStateProbe([] { return pl::NetworkState::kAlive; });
    handle_ = KvoCreateInstance(&cfg_);
    ASSERT_NE(handle_, nullptr);
    ASSERT_EQ(KvoRegisterAddr(handle_, "USH", "127.0.0.1", sim_.Port()), 0);
    ASSERT_EQ(LogIn(), 0);
    for (const Kept& k : kKept) ASSERT_EQ(KvoSubScribe(handle_, k.dataclass, 1, k.market, k.codes), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const uint64_t before = kvotest::ThreadWakes(simThreads_);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const int64_t wakes = int64_t(kvotest::ThreadWakes(simThreads_) - before);
    EXPECT_LT(wakes, 200) << "wakes in 2 s of idling";
}

// Many lives of an instance in one process: threads and descriptors come
// back to where they were, and the live heap does not grow with the count.
// (bench_session_cycles runs 1,000 of them.)
TEST_F(ResilienceTest, CreateLoginSubscribeReleaseCycles) {
    market_.Stop();
    sim_.Stop();
    constexpr int kWarmUp = 3;
    constexpr int kCycles = 25;
    for (int i = 0; i < kWarmUp; ++i) ASSERT_EQ(kvotest::InstanceCycle(cfg_), "") << i;
    const size_t threads = kvotest::ThreadCount();
    const size_t descriptors = kvotest::OpenDescriptors();
    const uint64_t heap = kvotest::LiveHeapBytes();
    for (int i = 0; i < kCycles; ++i) ASSERT_EQ(kvotest::InstanceCycle(cfg_), "") << i;
    EXPECT_EQ(kvotest::ThreadCount(), threads);
    EXPECT_EQ(kvotest::OpenDescriptors(), descriptors);
    const uint64_t now = kvotest::LiveHeapBytes();
    EXPECT_LT(now, heap + 64 * 1024) << (now - std::min(now, heap)) << " bytes more after " << kCycles << " cycles";
}
