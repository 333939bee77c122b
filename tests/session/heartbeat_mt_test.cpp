// Keeping a market session alive against the gateway simulator: heartbeats
// while logged in, the check-out of a gateway that stops answering them and
// the reconnect it queues (token, re-subscriptions in order, heartbeats
// again), the disconnect rule, reconnects that fail everywhere (with the
// network up and with the adapter down), every gateway notification, and
// frames already held by the packet filter on a quiet connection.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "datapacket.pro.pb.h"
#include "platform/pl_netstate.h"
#include "session/builtin_hosts.h"
#include "session/datafeed_manager.h"
#include "session/kvo_texts.h"
#include "simulator/frame_writer.h"
#include "tests/support/net_wait.h"
#include "tests/support/push_images.h"
#include "tests/support/session_fixture.h"

using kvotest::Eventually;
using kvotest::GatewaySim;
using kvotest::SimAnswer;
using kvotest::SimFrame;

namespace {

struct Notified {
    int32_t code;
    std::string text;  // up to the terminator
    std::string thread;
    void* handle;
    bool terminated;
};

std::mutex g_mutex;
std::vector<Notified> g_notified;
std::atomic<uint32_t> g_stockRecords{0};

void OnNotify(void* handle, const NotifyRecord* r) {
    Notified n{r->code, std::string(r->text, strnlen(r->text, sizeof r->text)), kvotest::ThreadNameOfCaller(), handle,
               strnlen(r->text, sizeof r->text) < sizeof r->text};
    std::lock_guard<std::mutex> g(g_mutex);
    g_notified.push_back(n);
}

std::vector<Notified> NotifiedSoFar() {
    std::lock_guard<std::mutex> g(g_mutex);
    return g_notified;
}

int32_t OnStock(void*, const void*, uint32_t count, const PushTiming*) {
    g_stockRecords += count;
    return 0;
}

size_t Count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

std::vector<datapacket::SubscribeReq> Subscriptions(const std::vector<SimFrame>& frames, size_t connection) {
    std::vector<datapacket::SubscribeReq> out;
    for (const SimFrame& f : frames) {
        datapacket::SubscribeReq r;
        if (f.type == kvotest::kSimSubscribeReq && f.connection == connection && f.Parse(&r)) out.push_back(r);
    }
    return out;
}

// Puts a network-state probe in force for its lifetime.
class ScopedProbe {
public:
    explicit ScopedProbe(pl::NetworkState state) : m_previous(pl::SetNetworkStateProbe([state] { return state; })) {}
    ~ScopedProbe() { pl::SetNetworkStateProbe(m_previous); }

private:
    pl::NetworkStateProbe m_previous;
};

class HeartbeatTest : public kvotest::SimSessionTest {
protected:
    void SetUp() override {
        kvotest::SimSessionTest::SetUp();
        ClearNotified();
        g_stockRecords = 0;
        cfg_.fncnotify = &OnNotify;
        cfg_.fnctickstock = &OnStock;
        cfg_.m_timeout = 500;
    }
    static void ClearNotified() {
        std::lock_guard<std::mutex> g(g_mutex);
        g_notified.clear();
    }

    ScopedProbe alive_{pl::NetworkState::kAlive};
};

}  // namespace

// Heartbeats go out only while logged in, every period, with the body
// 08 d0 0f. A gateway that stops answering them is checked out once, 1 to 2
// whole seconds after its last answer; the reconnect logs in with the token,
// sends the kept subscriptions again in order and heartbeats resume.
TEST_F(HeartbeatTest, CheckOutReconnectsOnceAndResubscribes) {
    auto s = MakeSession("SH");
    s->AddAddress("127.0.0.1", sim_.Port(), false);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(sim_.CountOfType(kvotest::kSimHeartbeat), 0u);
    kvoapi::LoginAccountInfo account = GatewayAccount("trader");
    ASSERT_EQ(s->Login(account).nstatuscode, 0);
    const size_t first = sim_.Latest();
    ASSERT_EQ(s->SubScribe(2, 1, "USHA", "(600000,600036)", true), 0);
    ASSERT_EQ(s->SubScribe(1, 1, "USHI", "(000001)", true), 0);
    ASSERT_EQ(s->SubScribe(2, 4, "USHA", "(600036)", true), 0);
    ASSERT_TRUE(sim_.WaitForFrames(kvotest::kSimHeartbeat, 6, 2000));
    const auto beats = sim_.FramesOfType(kvotest::kSimHeartbeat);
    for (size_t i = 0; i < beats.size(); ++i) {
        EXPECT_EQ(kvotest::HexOf(beats[i].body), "08d00f");
        if (i > 0) {
            EXPECT_GE(beats[i].atMs - beats[i - 1].atMs, 30u);
        }
    }

    // The gateway stops answering heartbeats; it answers them again once the
    // reconnect's login arrives.
    sim_.SetObserver([this](const SimFrame& f) {
        if (f.type == kvotest::kSimLoginReq) sim_.SetAnswerHeartbeats(true);
    });
    sim_.SetAnswerHeartbeats(false);
    const uint64_t off = sim_.NowMs();
    ASSERT_TRUE(sim_.WaitForFrames(kvotest::kSimLoginReq, 2, 4000));
    const auto logins = sim_.FramesOfType(kvotest::kSimLoginReq);
    EXPECT_GE(logins[1].atMs - off, 900u);
    EXPECT_LE(logins[1].atMs - off, 2600u);
    datapacket::LoginReq again;
    ASSERT_TRUE(logins[1].Parse(&again));
    EXPECT_EQ(again.token(), "tok-1");
    const size_t second = logins[1].connection;
    EXPECT_NE(second, first);
    // (The predicate runs under the simulator's lock: it reads the frames it
    // is given.)
    ASSERT_TRUE(sim_.WaitFor(
        [&](const std::vector<SimFrame>& frames) { return Subscriptions(frames, second).size() == 3; }, 3000));
    const auto before = Subscriptions(sim_.Frames(), first);
    const auto after = Subscriptions(sim_.Frames(), second);
    ASSERT_EQ(before.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(after[i].codelist(), before[i].codelist());
        EXPECT_EQ(after[i].data_class(), before[i].data_class());
        EXPECT_EQ(after[i].suboper(), before[i].suboper());
    }
    EXPECT_EQ(after[2].suboper(), 4);
    // Heartbeats on the new connection; no second check-out.
    ASSERT_TRUE(sim_.WaitFor(
        [&](const std::vector<SimFrame>& frames) {
            size_t n = 0;
            for (const SimFrame& f : frames) n += f.type == kvotest::kSimHeartbeat && f.connection == second;
            return n >= 3;
        },
        2000));
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_EQ(sim_.CountOfType(kvotest::kSimLoginReq), 2u);
    EXPECT_EQ(Count(LogText(), "Type:SH-SendHeartBit[],HeartBit check out!"), 1u);
    EXPECT_NE(LogText().find("Type:SH-Reconnect[],session check, 127.0.0.1:" + std::to_string(sim_.Port()) + ", 0"),
              std::string::npos);
    EXPECT_TRUE(s->IsLoggedIn());
    EXPECT_TRUE(s->ReconnectOnDisconnect());
    EXPECT_TRUE(NotifiedSoFar().empty());
}

// A drop right after the first login queues nothing (the check-out comes
// later); a drop after a successful reconnect reconnects at once.
TEST_F(HeartbeatTest, DisconnectRules) {
    SessionTimers timers = kvotest::ShortSessionTimers();
    timers.checkOutSeconds = 3;
    kvotest::ScopedSessionTimers scoped(timers);
    auto s = LoggedInSession();
    EXPECT_FALSE(s->ReconnectOnDisconnect());
    const auto t0 = std::chrono::steady_clock::now();
    sim_.Close(sim_.Latest());
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(sim_.Accepted(), 1u);
    EXPECT_EQ(Count(LogText(), "session triming!"), 0u);
    ASSERT_TRUE(sim_.WaitForFrames(kvotest::kSimLoginReq, 2, 4000));
    EXPECT_GE(kvotest::MsSince(t0), 1900);
    EXPECT_EQ(Count(LogText(), "HeartBit check out!"), 1u);
    ASSERT_TRUE(Eventually([&] { return s->IsLoggedIn() && s->ReconnectOnDisconnect(); }));

    const auto t1 = std::chrono::steady_clock::now();
    sim_.Close(sim_.Latest());
    ASSERT_TRUE(sim_.WaitForFrames(kvotest::kSimLoginReq, 3, 2000));
    EXPECT_LT(kvotest::MsSince(t1), 1000);
    EXPECT_EQ(Count(LogText(), "Type:SH-OnDatafeedDisconnect[],session triming!"), 1u);
    EXPECT_EQ(Count(LogText(), "HeartBit check out!"), 1u);
    ASSERT_TRUE(Eventually([&] { return s->IsLoggedIn(); }));
    EXPECT_TRUE(NotifiedSoFar().empty());
}

// Three rounds over two gateways that refuse the login make six attempts,
// then fncnotify code 1 on "reconnectThread" and the flag set; with the
// adapter down code 2, the flag stays cleared and a later drop queues
// nothing. Refused connections fail the rounds without waiting.
TEST_F(HeartbeatTest, FailedReconnects) {
    GatewaySim second;
    ASSERT_TRUE(second.Start());
    auto s = LoggedInSession("SH", {&second});
    SimAnswer refuse;
    refuse.status = -3;
    sim_.SetAnswer(kvotest::kSimLoginReq, refuse);
    second.SetAnswer(kvotest::kSimLoginReq, refuse);
    ASSERT_TRUE(sim_.Write(sim_.Latest(), kvotest::NotifyFrame(3, "")));
    ASSERT_TRUE(Eventually([&] { return NotifiedSoFar().size() == 1; }, 8000));
    Notified n = NotifiedSoFar()[0];
    EXPECT_EQ(n.code, 1);
    EXPECT_EQ(kvotest::HexOf(n.text), "5348cdf8c2e7b6cfbfaa21");
    EXPECT_TRUE(n.terminated);
    EXPECT_EQ(n.thread, "reconnectThread");
    EXPECT_EQ(n.handle, nullptr);  // the session's owner: none here
    EXPECT_EQ(sim_.CountOfType(kvotest::kSimLoginReq), 4u);
    EXPECT_EQ(second.CountOfType(kvotest::kSimLoginReq), 3u);
    EXPECT_EQ(Count(LogText(), "Type:SH-Reconnect[],session check, 127.0.0.1:"), 6u);
    EXPECT_EQ(Count(LogText(), "Type:SH-Reconnect[],session disconnected!"), 1u);
    EXPECT_FALSE(s->IsLoggedIn());
    EXPECT_TRUE(s->ReconnectOnDisconnect());

    // Logged in again; the gateways go away and the adapter is down.
    sim_.SetAnswer(kvotest::kSimLoginReq, SimAnswer{});
    kvoapi::LoginAccountInfo account = GatewayAccount("trader");
    ASSERT_EQ(s->Login(account).nstatuscode, 0);
    const size_t accepted = sim_.Accepted() + second.Accepted();
    ScopedProbe down(pl::NetworkState::kNoConnectivity);
    sim_.StopListening();
    second.StopListening();
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(sim_.Write(sim_.Latest(), kvotest::NotifyFrame(4, "")));
    ASSERT_TRUE(Eventually([&] { return NotifiedSoFar().size() == 2; }, 8000));
    n = NotifiedSoFar()[1];
    EXPECT_EQ(n.code, 2);
    EXPECT_EQ(kvotest::HexOf(n.text), "5348cdf8c2e7b6cfbfaa2dcdf8bfa8b2bbd5fdb3a321");
    EXPECT_EQ(Count(LogText(), "Type:SH-Reconnect[],session network card disconnected!"), 1u);
    EXPECT_FALSE(s->ReconnectOnDisconnect());
    EXPECT_LT(kvotest::MsSince(t0), 3000);
    // Nothing more is queued: the gateways listen again and see no
    // connection.
    ASSERT_TRUE(sim_.ResumeListening());
    ASSERT_TRUE(second.ResumeListening());
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_EQ(sim_.Accepted() + second.Accepted(), accepted);
    EXPECT_EQ(NotifiedSoFar().size(), 2u);
}

// Every gateway notification: 1 and 5 end the session for good without
// closing the link (the next login answers -1016, heartbeats stop); 2
// prunes the built-in SH host; 3 and 4 reconnect; others are ignored.
TEST_F(HeartbeatTest, GatewayNotifications) {
    kvoapi::BuiltinHosts hosts = kvoapi::GetBuiltinHosts();
    hosts.shGatewayHost = "sh-gateway.invalid";
    const kvoapi::BuiltinHosts previous = kvoapi::SetBuiltinHosts(hosts);
    kvoapi::LoginAccountInfo account = GatewayAccount("trader");

    const std::string maintenance = "\xe7\xb3\xbb\xe7\xbb\x9f\xe7\xbb\xb4\xe6\x8a\xa4";  // UTF-8 "maintenance"
    const std::string maintenanceGbk = "cfb5cdb3ceacbba4";
    struct Row {
        int32_t status;
        std::string statusmsg;
        int32_t notifyCode;     // 0: none
        std::string notifyHex;  // after "SH"
    };
    std::string longMessage;
    for (int i = 0; i < 10; ++i) longMessage += maintenance;
    std::string longHex;
    for (int i = 0; i < 6; ++i) longHex += maintenanceGbk;  // 48 bytes: the 25th character would pass 51
    const Row rows[] = {
        {1, "", 3, "cdf8c2e7b6cfbfaa2dd6d8b8b4b5c7c2bcb1bb54cfc2cfdf21"},
        {5, maintenance, 1, maintenanceGbk},
        {5, longMessage, 1, longHex},
        {3, "", 0, ""},
        {4, "", 0, ""},
        {99, "ignored", 0, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.status);
        ClearNotified();
        sim_.ClearFrames();
        auto s = LoggedInSession();
        const size_t c = sim_.Latest();
        ASSERT_TRUE(sim_.Write(c, kvotest::NotifyFrame(row.status, row.statusmsg)));
        if (row.notifyCode != 0) {
            ASSERT_TRUE(Eventually([&] { return NotifiedSoFar().size() == 1; }));
            const Notified n = NotifiedSoFar()[0];
            EXPECT_EQ(n.code, row.notifyCode);
            EXPECT_EQ(kvotest::HexOf(n.text), "5348" + row.notifyHex);
            EXPECT_TRUE(n.terminated);
            EXPECT_TRUE(s->IsKicked());
            EXPECT_FALSE(s->IsLoggedIn());
            // Heartbeats stop; the link stays open; logins are refused.
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            const size_t beats = sim_.CountOfType(kvotest::kSimHeartbeat);
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            EXPECT_EQ(sim_.CountOfType(kvotest::kSimHeartbeat), beats);
            EXPECT_TRUE(sim_.IsOpen(c));
            EXPECT_EQ(s->Login(account).nstatuscode, -1016);
            EXPECT_EQ(sim_.CountOfType(kvotest::kSimLoginReq), 1u);
        } else if (row.status == 3 || row.status == 4) {
            ASSERT_TRUE(sim_.WaitForFrames(kvotest::kSimLoginReq, 2, 3000));
            ASSERT_TRUE(Eventually([&] { return s->IsLoggedIn(); }));
            EXPECT_NE(LogText().find("Type:SH-GatewayReconnect[],Gateway Reconnect!"), std::string::npos);
            EXPECT_TRUE(NotifiedSoFar().empty());
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            EXPECT_TRUE(s->IsLoggedIn());
            EXPECT_EQ(sim_.CountOfType(kvotest::kSimLoginReq), 1u);
            EXPECT_TRUE(NotifiedSoFar().empty());
        }
    }
    EXPECT_NE(LogText().find("Type:SH-CustomDisconnect[],\xcf\xb5\xcd\xb3\xce\xac\xbb\xa4!"), std::string::npos);
    EXPECT_NE(LogText().find("Type:SH-ActiveDisconnect[],Active Disconnect!"), std::string::npos);

    // 2 removes every entry of the built-in SH host, and only those.
    auto s = MakeSession("SH");
    s->AddAddress(hosts.shGatewayHost.c_str(), 1, false);
    s->AddAddress("other.invalid", 3, false);
    s->AddAddress(hosts.shGatewayHost.c_str(), 2, false);
    s->AddAddress("127.0.0.1", sim_.Port(), true);
    ASSERT_EQ(s->Login(account).nstatuscode, 0);
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(sim_.Write(sim_.Latest(), kvotest::NotifyFrame(2, "")));
        ASSERT_TRUE(Eventually([&] { return Count(LogText(), "Type:SH-GatewayRemoveSH[],size:2!") == size_t(i) + 1; }));
        const auto list = s->Addresses();
        ASSERT_EQ(list.size(), 2u);
        EXPECT_EQ(list[0].second, sim_.Port());
        EXPECT_EQ(list[1], (std::pair<std::string, uint16_t>("other.invalid", 3)));
    }
    EXPECT_TRUE(s->IsLoggedIn());
    kvoapi::SetBuiltinHosts(previous);
}

// Frames the packet filter already holds reach the host without any further
// byte on the connection: the frame behind a bad byte, behind stray bytes,
// and the rest of a frame split across writes. No heartbeat runs here (the
// session never logged in), so nothing else arrives.
TEST_F(HeartbeatTest, HeldFramesArriveOnAQuietConnection) {
    auto s = MakeSession("SH");
    ASSERT_TRUE(Connect(*s, true));
    s->CreatePushWorker(2, "USHA");
    const size_t c = sim_.Latest();
    auto push = [](uint32_t records) {
        std::vector<std::string> codes;
        for (uint32_t i = 0; i < records; ++i) codes.push_back(std::to_string(600000 + i));
        return kvotest::PushFrame(kvotest::MakePush("USHA", 1, kvotest::StockTickImage(17, codes, 93000000)));
    };
    // A frame followed by a byte that starts no frame is itself dropped.
    ASSERT_TRUE(sim_.Write(c, push(1) + "\x42" + push(2)));
    ASSERT_TRUE(Eventually([] { return g_stockRecords.load() == 2; }, 1000));
    ASSERT_TRUE(sim_.WriteFrames(c, {push(4), push(8)}, kvotest::SimWrite::kGarbageFirst));
    ASSERT_TRUE(Eventually([] { return g_stockRecords.load() == 14; }, 1000));
    ASSERT_TRUE(sim_.WriteFrames(c, {push(16), push(32)}, kvotest::SimWrite::kSplit, 30, 100));
    ASSERT_TRUE(Eventually([] { return g_stockRecords.load() == 62; }, 1000));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(g_stockRecords.load(), 62u);
    EXPECT_EQ(sim_.Accepted(), 1u);
}
