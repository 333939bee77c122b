// A master instance in this process, its market served by stand-in
// sessions, against children played by raw sockets speaking the cascade
// protocol: logins and their refusals with their telemetry records, queries,
// children not logged in, subscriptions and the relay of pushed batches, a
// whole-market removal among single codes, the disconnect notice, broken and
// stalled frames, and the process-wide relay threads' owners.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "api/socket_data_manager.h"
#include "cascade/relay.h"
#include "include/kvo_records.h"
#include "tests/support/cascade_fixture.h"
#include "tests/support/net_wait.h"
#include "tests/support/peer_endpoint.h"
#include "tests/support/peer_writer.h"
#include "tests/support/process_figures.h"

using namespace kvotest;

namespace {

std::string LoginText(const std::string& id, const std::string& account, const std::string& pass,
                      const std::string& ips, const std::string& masks) {
    return "ReqType:51,id:" + id + ",account:" + account + ",pass:" + pass + ",IP:" + ips +
           ",Port:7777,ipMask:" + masks + ",";
}

class CascadeMasterTest : public CascadeInstanceTest {
protected:
    CascadeMasterTest() : CascadeInstanceTest("kvo_cascade_master") {}

    void SetUp() override {
        CascadeInstanceTest::SetUp();
        if (HasFatalFailure()) return;
        WriteToolIni("master=true\nsocket_port=0\n");
        master_ = std::make_unique<CSocketDataMananger>(&cfg_);
        ASSERT_EQ(master_->Mode(), kvoapi::kMaster);
        ASSERT_TRUE(master_->Started());
        ASSERT_NE(master_->CascadeListenPort(), 0);
        ASSERT_EQ(master_->RegisterAddrByMode("USH", "127.0.0.1", 1), 0);
        ASSERT_EQ(master_->LoginByMode("user1", "pw1").nstatuscode, 0);
    }
    void TearDown() override {
        master_.reset();
        CascadeInstanceTest::TearDown();
    }

    // A child connection that sent a login and read the answer.
    std::unique_ptr<PeerEndpoint> Child(const std::string& pass, const std::string& ips, PeerTestFrame* answer) {
        auto child = PeerEndpoint::Connect(master_->CascadeListenPort());
        if (!child) return nullptr;
        const std::string id = "0f1e2d3c-" + std::to_string(++logins_);
        child->SendFrame(2, LoginText(id, "user1", pass, ips, "255.255.255.0&"));
        if (!child->ReadReq(52, answer, 3000)) answer->body.clear();
        return child;
    }
    std::unique_ptr<PeerEndpoint> LoggedInChild() {
        PeerTestFrame answer;
        auto child = Child("pw1", "192.168.1.10&", &answer);
        EXPECT_EQ(PeerField(answer.body, "error"), "0") << answer.body;
        return child;
    }

    std::unique_ptr<CSocketDataMananger> master_;
    int logins_ = 0;
};

TEST_F(CascadeMasterTest, LoginsAreAnsweredAndRefusalsDropped) {
    PeerTestFrame f;
    auto ok = Child("pw1", "192.168.1.10&", &f);
    ASSERT_TRUE(ok);
    EXPECT_EQ(f.type, 2u);
    EXPECT_EQ(f.body, "error:0,ReqType:52,id:0f1e2d3c-1,");

    // The right account with the wrong password: refused, told, dropped.
    auto wrong = Child("bad", "192.168.1.10&", &f);
    ASSERT_TRUE(wrong);
    EXPECT_EQ(f.body, "ReqType:52,id:0f1e2d3c-2,error:-1004,");
    ASSERT_TRUE(wrong->Read(&f, 2000));
    EXPECT_EQ(f.type, 4u);
    EXPECT_EQ(f.body, "error:0,ReqType:1001,");
    EXPECT_TRUE(wrong->WaitClosed(2000));

    // Another network and the wrong password: the network rule's code wins.
    auto foreign = Child("bad", "10.99.0.1&", &f);
    ASSERT_TRUE(foreign);
    EXPECT_EQ(f.body, "ReqType:52,id:0f1e2d3c-3,error:-1015,");
    EXPECT_TRUE(foreign->WaitClosed(2000));

    // A master that kept the answered logins' routes would grow with every
    // login; the accepted child alone stays connected.
    EXPECT_TRUE(Eventually([&] { return master_->Cascade()->ConnectionCount() == 1; }, 2000));
    EXPECT_EQ(master_->Cascade()->RouteCount(), 0u);
    // The log line of a refusal follows the drop.
    std::string log;
    EXPECT_TRUE(Eventually(
        [&] {
            log = ReadInstanceLog(dir_);
            return log.find("socket: IP:10.99.0.1&:7777 IpMask:255.255.255.0& success:-2!") != std::string::npos;
        },
        2000))
        << log;
    EXPECT_NE(log.find("socket: IP:192.168.1.10&:7777 IpMask:255.255.255.0& success:0!"), std::string::npos) << log;
    EXPECT_NE(log.find("socket: IP:192.168.1.10&:7777 IpMask:255.255.255.0& success:-1!"), std::string::npos);
    EXPECT_NE(log.find("socket_Disconnect:socket:"), std::string::npos);

    // Every login and every drop is a telemetry record of the "SH" session.
    ASSERT_TRUE(Market().WaitTelemetry(5, 2000));
    std::vector<std::string> outcomes;
    int drops = 0;
    for (const TelemetryCall& t : Market().Telemetry()) {
        EXPECT_EQ(t.prefix, "client@_socket");
        EXPECT_EQ(t.option, "need_mapparam");
        EXPECT_FALSE(t.fields.at("socket").empty());
        EXPECT_EQ(t.fields.at("father_socket_ip"), "192.168.1.77&");
        EXPECT_EQ(t.fields.at("father_socket_port"), "0");
        if (t.name == "socket_no_connect") {
            EXPECT_EQ(t.fields.size(), 3u);
            ++drops;
            continue;
        }
        ASSERT_EQ(t.name, "socket_connect");
        EXPECT_EQ(t.fields.size(), 6u);
        EXPECT_EQ(t.fields.at("socket_ip"), "");  // a peer on 127.0.0.1
        EXPECT_EQ(t.fields.at("socket_port"), "7777");
        outcomes.push_back(t.fields.at("is_success"));
    }
    EXPECT_EQ(outcomes, (std::vector<std::string>{"0", "-1", "-2"}));
    EXPECT_EQ(drops, 2);
}

// A connection is served only once its login was accepted: before that its
// queries and subscription changes are dropped unanswered.
TEST_F(CascadeMasterTest, ChildrenNotLoggedInAreNotServed) {
    auto stranger = PeerEndpoint::Connect(master_->CascadeListenPort());
    ASSERT_TRUE(stranger);
    stranger->SendFrame(2, "ReqType:101,id:u1,market:USHA,");
    stranger->SendFrame(2, "ReqType:20,msg_dataclass:2,subop_type:3,id:u2,market:USHA,codelist:(600000),");
    EXPECT_TRUE(stranger->Silent(300));
    EXPECT_TRUE(Market().Subscriptions().empty());
    EXPECT_EQ(master_->Cascade()->RouteCount(), 0u);
    SubscriberSet holders;
    EXPECT_FALSE(SubscriptionRegistry::Global().FindSubscribers("2|USHA:(600000)", &holders));
    EXPECT_TRUE(Eventually(
        [&] { return ReadInstanceLog(dir_).find("is not logged in, request 101 dropped") != std::string::npos; },
        2000));

    // The same connection is served once it logged in.
    PeerTestFrame f;
    stranger->SendFrame(2, LoginText("u3", "user1", "pw1", "192.168.1.10&", "255.255.255.0&"));
    ASSERT_TRUE(stranger->ReadReq(52, &f, 2000));
    EXPECT_EQ(f.body, "error:0,ReqType:52,id:u3,");
    stranger->SendFrame(2, "ReqType:101,id:u4,market:USHA,");
    ASSERT_TRUE(stranger->ReadReq(201, &f, 2000));
    EXPECT_EQ(PeerField(f.body, "id"), "u4");
    stranger->SendFrame(2, "ReqType:20,msg_dataclass:2,subop_type:3,id:u5,market:USHA,codelist:(600000),");
    ASSERT_TRUE(Market().WaitSubscriptions(1, 2000));
    EXPECT_EQ(Market().Subscriptions(), std::vector<SessionCall>{"2|3|USHA|(600000)"});

    // Quotes from a connection that did not log in never reach the host,
    // those of a logged-in child do.
    EXPECT_EQ(master_->SubScribe(2, 3, "USHA", "(600000)", true, true), 0);
    const std::string data = PeerDataBody(2, 1, PeerRecords(1, KVO_TICKSTOCK_SIZE, "60000"), PeerTimingBytes(1, 2, 3));
    auto intruder = PeerEndpoint::Connect(master_->CascadeListenPort());
    ASSERT_TRUE(intruder);
    intruder->SendFrame(4, data);
    EXPECT_FALSE(CallbackCapture::Get().WaitBatches(1, 300));
    EXPECT_TRUE(Eventually(
        [&] { return ReadInstanceLog(dir_).find("is not logged in, data 2 dropped") != std::string::npos; }, 2000));
    stranger->SendFrame(4, data);
    ASSERT_TRUE(CallbackCapture::Get().WaitBatches(1, 2000));
    EXPECT_EQ(CallbackCapture::Get().Batches()[0].count, 1u);
}

// A whole-market removal passed upstream ends the market's single codes
// there too: the codes others still hold one by one are subscribed again.
TEST_F(CascadeMasterTest, WholeMarketRemovalKeepsSingleCodesHeld) {
    auto a = LoggedInChild();
    auto b = LoggedInChild();
    ASSERT_TRUE(a && b);
    a->SendFrame(2, "ReqType:20,msg_dataclass:2,subop_type:3,id:w1,market:USHA,codelist:(600000),");
    ASSERT_TRUE(Market().WaitSubscriptions(1, 2000));
    EXPECT_EQ(master_->SubScribe(2, 3, "USHA", "(600005)", true, true), 0);
    b->SendFrame(2, "ReqType:20,msg_dataclass:2,subop_type:3,id:w2,market:USHA,codelist:(),");
    ASSERT_TRUE(Market().WaitSubscriptions(3, 2000));
    // Held under the whole market already: nothing goes up.
    a->SendFrame(2, "ReqType:20,msg_dataclass:2,subop_type:3,id:w3,market:USHA,codelist:(600001),");
    ASSERT_TRUE(Eventually(
        [] {
            const std::vector<std::string> keys = SubscriptionRegistry::Global().CodeKeysOfMarket("2", "USHA");
            return std::find(keys.begin(), keys.end(), "2|USHA:(600001)") != keys.end();
        },
        2000));
    b->SendFrame(2, "ReqType:20,msg_dataclass:2,subop_type:4,id:w4,market:USHA,codelist:(),");
    ASSERT_TRUE(Market().WaitSubscriptions(5, 2000));
    EXPECT_EQ(Market().Subscriptions(),
              (std::vector<SessionCall>{"2|3|USHA|(600000)", "2|3|USHA|(600005)", "2|3|USHA|()", "2|4|USHA|()",
                                        "2|3|USHA|(600000,600001,600005)"}));

    // The codes reach their holders afterwards.
    const std::string records = PeerRecords(6, KVO_TICKSTOCK_SIZE, "60000");
    ASSERT_EQ(Market().Push(2, records, 6, PushTiming{1, 2, 3}), 0);
    PeerTestFrame f;
    ASSERT_TRUE(a->ReadReq(2, &f, 2000));
    EXPECT_EQ(PeerIntField(f.body, "TickCount"), 2);
    EXPECT_TRUE(b->Silent(200));
    ASSERT_TRUE(CallbackCapture::Get().WaitBatches(1, 2000));
    EXPECT_EQ(RecordCodes(CallbackCapture::Get().Batches()[0].records, KVO_TICKSTOCK_SIZE),
              std::vector<std::string>{"600005"});
}

// Subscriptions no record could match are refused, by the host's calls and
// silently for a child: nothing reaches the session, and the next sound
// change goes through. A refusal at the session is only logged.
TEST_F(CascadeMasterTest, UnmatchableSubscriptionsAreRefused) {
    auto child = LoggedInChild();
    ASSERT_TRUE(child);
    ExpectUnmatchableSubscriptionsRefused(master_.get());
    child->SendFrame(2, "ReqType:20,msg_dataclass:7,subop_type:3,id:r1,market:USHA,codelist:(600000),");
    child->SendFrame(2, "ReqType:20,msg_dataclass:2,subop_type:3,id:r2,market:UXXA,codelist:(600000),");
    child->SendFrame(2, "ReqType:20,msg_dataclass:2,subop_type:3,id:r3,market:USHA,codelist:(600001),");
    ASSERT_TRUE(Market().WaitSubscriptions(1, 2000));
    EXPECT_EQ(KvoSubScribe(master_.get(), 6, 3, "USZA", "(000001)"), 0);  // no SZ session: kept here, refused there
    EXPECT_EQ(Market().Subscriptions(), std::vector<SessionCall>{"2|3|USHA|(600001)"});
    EXPECT_TRUE(Eventually(
        [&] {
            return ReadInstanceLog(dir_).find("change 3 of 6|USZA:(000001) refused upstream (-1007)") !=
                   std::string::npos;
        },
        2000));
}

// Changes made for children never wait on the gateway (1500 ms here): while
// one child subscribes and leaves, another child's query and a new login are
// served at once. The host's own change still waits.
TEST_F(CascadeMasterTest, ChildrenNeverWaitOnTheGateway) {
    Market().waitingSubscribeMs = 1500;
    auto a = LoggedInChild();
    auto b = LoggedInChild();
    ASSERT_TRUE(a && b);
    PeerTestFrame f;
    b->SendFrame(2, "ReqType:20,msg_dataclass:2,subop_type:3,id:w1,market:USHA,codelist:(600000),");
    ASSERT_TRUE(Market().WaitSubscriptions(1, 1000));
    a->SendFrame(2, "ReqType:101,id:z1,market:USHA,");
    EXPECT_TRUE(a->ReadReq(201, &f, 1000));
    EXPECT_TRUE(LoggedInChild());
    b->Close();
    ASSERT_TRUE(Market().WaitSubscriptions(2, 1000));
    a->SendFrame(2, "ReqType:101,id:z2,market:USHA,");
    EXPECT_TRUE(a->ReadReq(201, &f, 1000));
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(master_->SubScribe(2, 3, "USHA", "(600001)", true, true), 0);
    EXPECT_GE(MsSince(t0), 1500);
}

TEST_F(CascadeMasterTest, QueriesAreAnsweredFromTheSessions) {
    {
        std::lock_guard<std::mutex> lock(Market().mutex);
        Market().stockRecords = PeerRecords(2, KVO_TICKSTOCK_SIZE, "60000");
        Market().indexRecords = PeerRecords(3, KVO_TICKINDEX_SIZE, "00000");
    }
    auto child = LoggedInChild();
    ASSERT_TRUE(child);
    PeerTestFrame f;
    child->SendFrame(2, "ReqType:101,id:q1,market:USHA,");
    ASSERT_TRUE(child->ReadReq(201, &f, 2000));
    EXPECT_EQ(f.type, 2u);
    EXPECT_EQ(f.body, "strTextLength:20,id:q1,ReqType:201,TickCount:20,|||600000,600001,600002");

    child->SendFrame(2, "ReqType:103,id:q2,market:USHA, codelist:(600000,600001),");
    ASSERT_TRUE(child->ReadReq(203, &f, 2000));
    EXPECT_EQ(f.body,
              "strTextLength:1618,id:q2,ReqType:203,TickCount:2,|||" + PeerRecords(2, KVO_TICKSTOCK_SIZE, "60000"));

    // Nothing to answer: no reply at all, and the link serves on.
    child->SendFrame(2, "ReqType:104,id:q3,market:USHA, codelist:(600000),");
    EXPECT_TRUE(child->Silent(300));
    child->SendFrame(2, "ReqType:102,id:q4,market:USHA, codelist:(000001),");
    ASSERT_TRUE(child->ReadReq(202, &f, 2000));
    EXPECT_EQ(PeerIntField(f.body, "TickCount"), 3);
    // A query without an id is dropped unanswered.
    child->SendFrame(2, "ReqType:101,id:,market:USHA,");
    EXPECT_TRUE(child->Silent(200));
    EXPECT_EQ(master_->Cascade()->RouteCount(), 0u);
}

TEST_F(CascadeMasterTest, PushedBatchesReachEachSubscriberOnce) {
    auto a = LoggedInChild();
    auto b = LoggedInChild();
    ASSERT_TRUE(a && b);
    a->SendFrame(2, "ReqType:20,msg_dataclass:2,subop_type:3,id:s1,market:USHA,codelist:(600000,600001),");
    ASSERT_TRUE(Market().WaitSubscriptions(1, 2000));
    // B's 600001 is already held upstream: only 600003 goes up.
    b->SendFrame(2, "ReqType:20,msg_dataclass:2,subop_type:3,id:s2,market:USHA,codelist:(600001,600003),");
    ASSERT_TRUE(Market().WaitSubscriptions(2, 2000));
    EXPECT_EQ(master_->SubScribe(2, 3, "USHA", "(600005)", true, true), 0);
    a->SendFrame(2, "ReqType:20,msg_dataclass:3,subop_type:1,id:s3,market:USHA,codelist:(600000),");
    ASSERT_TRUE(Market().WaitSubscriptions(4, 2000));
    EXPECT_EQ(Market().Subscriptions(), (std::vector<SessionCall>{"2|3|USHA|(600000,600001)", "2|3|USHA|(600003)",
                                                                  "2|3|USHA|(600005)", "3|3|USHA|(600000)"}));

    const std::string records = PeerRecords(10, KVO_TICKSTOCK_SIZE, "60000");
    const PushTiming timing{11, 22, 33};
    ASSERT_EQ(Market().Push(2, records, 10, timing), 0);
    const auto rec = [&](size_t i) { return records.substr(i * KVO_TICKSTOCK_SIZE, KVO_TICKSTOCK_SIZE); };
    PeerTestFrame f;
    ASSERT_TRUE(a->ReadReq(2, &f, 2000));
    EXPECT_EQ(f.type, 4u);
    EXPECT_EQ(f.body, "ReqType:2,TickCount:2,|||" + rec(0) + rec(1) + PeerTimingBytes(11, 22, 33));
    ASSERT_TRUE(b->ReadReq(2, &f, 2000));
    EXPECT_EQ(f.body, "ReqType:2,TickCount:2,|||" + rec(1) + rec(3) + PeerTimingBytes(11, 22, 33));
    ASSERT_TRUE(CallbackCapture::Get().WaitBatches(1, 2000));
    std::vector<CapturedBatch> host = CallbackCapture::Get().Batches();
    ASSERT_EQ(host.size(), 1u);
    EXPECT_EQ(host[0].dataClass, 2);
    EXPECT_EQ(host[0].handle, static_cast<void*>(master_.get()));
    EXPECT_EQ(RecordCodes(host[0].records, KVO_TICKSTOCK_SIZE), std::vector<std::string>{"600005"});
    EXPECT_EQ(host[0].timing.send_time, 22u);

    // An order queue travels whole to its subscriber.
    std::string queue(KvoOrderQueueSize(2), '\0');
    std::memcpy(&queue[0], "USHA", 4);
    std::memcpy(&queue[5], "600000", 6);
    const int32_t volumes = 2;
    std::memcpy(&queue[KVO_ORDERQUEUE_HEAD_SIZE - 4], &volumes, 4);
    ASSERT_EQ(Market().Push(3, queue, 1, timing), 0);
    ASSERT_TRUE(a->ReadReq(3, &f, 2000));
    EXPECT_EQ(f.body, "ReqType:3,strTextLength:55,TickCount:1,|||" + queue + PeerTimingBytes(11, 22, 33));

    // Every other class reaches its own callback and travels as its own
    // ReqType with records of its size.
    const std::pair<int, size_t> classes[] = {
        {1, KVO_TICKINDEX_SIZE}, {4, KVO_ORDERDATA_SIZE}, {5, KVO_TRANSACTION_SIZE}, {6, KVO_SUPERSTOCK_SIZE}};
    for (const auto& [c, size] : classes) {
        EXPECT_EQ(master_->SubScribe(uint32_t(c), 3, "USHA", "(600001)", true, true), 0);
        b->SendFrame(
            2, "ReqType:20,msg_dataclass:" + std::to_string(c) + ",subop_type:3,id:s,market:USHA,codelist:(600000),");
    }
    ASSERT_TRUE(Market().WaitSubscriptions(12, 2000));
    for (const auto& [c, size] : classes) {
        ASSERT_EQ(Market().Push(c, PeerRecords(2, uint32_t(size), "60000"), 2, timing), 0);
        ASSERT_TRUE(b->ReadReq(c, &f, 2000)) << c;
        EXPECT_EQ(f.body, PeerDataBody(c, 1, PeerRecords(1, uint32_t(size), "60000"), PeerTimingBytes(11, 22, 33)));
    }
    ASSERT_TRUE(CallbackCapture::Get().WaitBatches(5, 2000));
    host = CallbackCapture::Get().Batches();
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(host[i + 1].dataClass, classes[i].first);
        EXPECT_EQ(RecordCodes(host[i + 1].records, classes[i].second), std::vector<std::string>{"600001"});
    }

    // A child that leaves gives up what nobody else holds.
    a->Close();
    ASSERT_TRUE(Market().WaitSubscriptions(14, 2000));
    const std::vector<SessionCall> calls = Market().Subscriptions();
    EXPECT_EQ(std::vector<SessionCall>(calls.begin() + 12, calls.end()),
              (std::vector<SessionCall>{"2|4|USHA|(600000)", "3|4|USHA|(600000)"}));
    EXPECT_TRUE(Eventually([&] { return master_->Cascade()->ConnectionCount() == 1; }, 2000));
}

// Children leaving while batches are relayed: each one's key goes upstream as
// a removal, and the child that stays gets every batch of its key.
TEST_F(CascadeMasterTest, ChildrenLeaveDuringTheRelay) {
    auto stays = LoggedInChild();
    ASSERT_TRUE(stays);
    stays->SendFrame(2, "ReqType:20,msg_dataclass:2,subop_type:3,id:s0,market:USHA,codelist:(600000),");
    ASSERT_TRUE(Market().WaitSubscriptions(1, 2000));
    std::thread pusher([] {
        for (int i = 0; i < 200; ++i) {
            EXPECT_EQ(Market().Push(2, PeerRecords(2, KVO_TICKSTOCK_SIZE, "60000"), 2, PushTiming{}), 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    int received = 0;
    PeerTestFrame f;
    for (size_t round = 1; round <= 4; ++round) {
        auto leaving = LoggedInChild();
        if (!leaving) break;
        leaving->SendFrame(2, "ReqType:20,msg_dataclass:2,subop_type:3,id:s1,market:USHA,codelist:(600001),");
        EXPECT_TRUE(Market().WaitSubscriptions(2 * round, 2000));
        leaving.reset();
        EXPECT_TRUE(Market().WaitSubscriptions(2 * round + 1, 2000));
        EXPECT_EQ(Market().Subscriptions().back(), "2|4|USHA|(600001)");
        while (stays->ReadReq(2, &f, 10)) ++received;
    }
    pusher.join();
    while (received < 200 && stays->ReadReq(2, &f, 2000)) ++received;
    EXPECT_EQ(received, 200);
}

TEST_F(CascadeMasterTest, BrokenPeersAreDroppedWithoutStallingOthers) {
    PeerTestFrame f;
    // The disconnect notice is answered with the master's own and a close.
    auto leaving = LoggedInChild();
    leaving->SendFrame(4, "error:0,ReqType:1001,");
    ASSERT_TRUE(leaving->Read(&f, 2000));
    EXPECT_EQ(f.body, "error:0,ReqType:1001,");
    EXPECT_TRUE(leaving->WaitClosed(2000));

    // Bytes that are no frame, and a body length beyond any message.
    auto badMagic = PeerEndpoint::Connect(master_->CascadeListenPort());
    badMagic->SendRaw(PeerHeaderBytes(0xAB, 2, 5) + "abcde" + std::string(1, '\0'));
    EXPECT_TRUE(badMagic->WaitClosed(2000));
    auto huge = PeerEndpoint::Connect(master_->CascadeListenPort());
    huge->SendRaw(PeerHeaderBytes(kPeerMagic, 2, 0xFFFFFFF0u));
    EXPECT_TRUE(huge->WaitClosed(2000));

    // A peer that stops in the middle of a frame is dropped after the frame
    // time-out; meanwhile the others are served at once.
    auto stalled = LoggedInChild();
    const std::string query = PeerFrameBytes(2, "ReqType:101,id:st,market:USHA,");
    stalled->SendRaw(query.substr(0, 20));
    auto other = LoggedInChild();
    const auto t0 = std::chrono::steady_clock::now();
    // A header that arrives in two pieces is waited for, not refused.
    const std::string split = PeerFrameBytes(2, "ReqType:101,id:o1,market:USHA,");
    other->SendRaw(split.substr(0, 5));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    other->SendRaw(split.substr(5));
    ASSERT_TRUE(other->ReadReq(201, &f, 2000));
    EXPECT_LT(MsSince(t0), static_cast<int64_t>(timers_.frameTimeoutMs));
    EXPECT_TRUE(stalled->WaitClosed(3000));

    // Data messages whose counts overstate what arrived are dropped; the
    // dispatcher goes on with the next one.
    EXPECT_EQ(master_->SubScribe(2, 3, "USHA", "()", true, true), 0);
    const std::string one = PeerRecords(1, KVO_TICKSTOCK_SIZE, "60000");
    other->SendFrame(4, PeerDataBody(2, 1000, one, PeerTimingBytes(1, 2, 3)));
    other->SendFrame(4, "ReqType:3,strTextLength:4000,TickCount:1,|||" + one);
    other->SendFrame(4, PeerDataBody(2, 1, one, PeerTimingBytes(1, 2, 3)));
    ASSERT_TRUE(CallbackCapture::Get().WaitBatches(1, 2000));
    EXPECT_FALSE(CallbackCapture::Get().WaitBatches(2, 200));
    EXPECT_EQ(CallbackCapture::Get().Batches()[0].count, 1u);
}

// A child that falls behind holds up nobody: while its link holds a
// backlog, the answer to its own query waits in its queue and another
// child's query is answered at once. Once it reads, it gets every frame
// whole and in order.
TEST_F(CascadeMasterTest, BackloggedChildHoldsUpNobody) {
    auto slow = LoggedInChild();
    ASSERT_TRUE(slow);
    const int small = 64 * 1024;
    ASSERT_EQ(setsockopt(slow->Fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
    slow->SendFrame(2, "ReqType:20,msg_dataclass:2,subop_type:3,id:s1,market:USHA,codelist:(600000),");
    ASSERT_TRUE(Market().WaitSubscriptions(1, 2000));
    auto other = LoggedInChild();
    ASSERT_TRUE(other);

    // 6.5 MB for the slow child, far more than the sockets hold.
    std::string records;
    for (int i = 0; i < 20; ++i) records += PeerRecords(1, KVO_TICKSTOCK_SIZE, "60000");
    const int kBatches = 400;
    for (int i = 0; i < kBatches; ++i) ASSERT_EQ(Market().Push(2, records, 20, PushTiming{uint64_t(i), 0, 0}), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    slow->SendFrame(2, "ReqType:101,id:q1,market:USHA,");
    const auto t0 = std::chrono::steady_clock::now();
    other->SendFrame(2, "ReqType:101,id:q2,market:USHA,");
    PeerTestFrame f;
    ASSERT_TRUE(other->ReadReq(201, &f, 2000));
    EXPECT_LT(MsSince(t0), 500);

    int batches = 0;
    bool answered = false;
    while (batches < kBatches || !answered) {
        ASSERT_TRUE(slow->Read(&f, 2000)) << batches << " batches";
        ASSERT_EQ(f.magic, kPeerMagic);
        if (PeerIntField(f.body, "ReqType") == 201) {
            EXPECT_EQ(PeerField(f.body, "id"), "q1");
            answered = true;
            continue;
        }
        ASSERT_EQ(f.body, PeerDataBody(2, 20, records, PeerTimingBytes(uint64_t(batches), 0, 0))) << batches;
        ++batches;
    }
    EXPECT_EQ(master_->Cascade()->ConnectionCount(), 2u);
}

// Before its login a peer is read only in frames the size of a login: a
// header announcing more drops the connection at once, and the bytes sent
// after it are never held. A login near that size is read, and once logged
// in a child's larger frames are read again.
TEST_F(CascadeMasterTest, LargeFramesBeforeTheLoginAreRefused) {
    CascadeTimers timers = timers_;
    timers.frameTimeoutMs = 20000;  // an accepted frame would be held this long
    SetCascadeTimers(timers);
    const uint64_t heapBefore = LiveHeapBytes();
    std::vector<std::unique_ptr<PeerEndpoint>> peers;
    for (int i = 0; i < 4; ++i) {
        peers.push_back(PeerEndpoint::Connect(master_->CascadeListenPort()));
        ASSERT_TRUE(peers.back());
        peers.back()->SendRaw(PeerHeaderBytes(kPeerMagic, 2, 64u << 20) + std::string(1 << 20, 'x'));
    }
    for (auto& peer : peers) EXPECT_TRUE(peer->WaitClosed(3000));
    EXPECT_LT(LiveHeapBytes(), heapBefore + (16u << 20));

    // A login of 7.6 KiB (280 adapters) is read and accepted.
    std::string ips;
    std::string masks;
    for (int i = 0; i < 280; ++i) {
        ips += "192.168.1.10&";
        masks += "255.255.255.0&";
    }
    auto child = PeerEndpoint::Connect(master_->CascadeListenPort());
    ASSERT_TRUE(child);
    child->SendFrame(2, LoginText("big", "user1", "pw1", ips, masks));
    PeerTestFrame f;
    ASSERT_TRUE(child->ReadReq(52, &f, 2000));
    EXPECT_EQ(f.body, "error:0,ReqType:52,id:big,");
    // A subscription of 2000 codes (14 KiB) after the login.
    std::string codes;
    for (int i = 0; i < 2000; ++i) codes += (i ? "," : "") + std::to_string(600000 + i);
    child->SendFrame(2, "ReqType:20,msg_dataclass:2,subop_type:3,id:s1,market:USHA,codelist:(" + codes + "),");
    ASSERT_TRUE(Market().WaitSubscriptions(1, 2000));
    EXPECT_EQ(Market().Subscriptions()[0], "2|3|USHA|(" + codes + ")");
}

// Releasing the master ends its threads and connections promptly.
TEST_F(CascadeMasterTest, ReleaseClosesChildren) {
    auto child = LoggedInChild();
    child->SendFrame(2, "ReqType:20,msg_dataclass:1,subop_type:3,id:s1,market:USHA,codelist:(000001),");
    ASSERT_TRUE(Market().WaitSubscriptions(1, 2000));
    const auto t0 = std::chrono::steady_clock::now();
    master_.reset();
    EXPECT_LT(MsSince(t0), 2000);
    EXPECT_TRUE(child->WaitClosed(2000));
    // The released master's children no longer count as subscribers.
    SubscriberSet holders;
    EXPECT_FALSE(SubscriptionRegistry::Global().FindSubscribers("1|USHA:(000001)", &holders));
}

// A second master of the process, created last, gets the host's data;
// releasing it leaves the first master's subscriptions in place, and the
// next instance created gets their data.
TEST_F(CascadeMasterTest, ReleasingASecondMasterKeepsTheRelay) {
    ASSERT_EQ(KvoSubScribe(master_.get(), 1, 3, "USHA", "(600001)"), 0);
    for (int i = 0; i < 2; ++i) {
        void* h = KvoCreateInstance(&cfg_);
        ASSERT_NE(h, nullptr);
        CallbackCapture::Get().Clear();
        ASSERT_EQ(Market().Push(1, PeerRecords(2, KVO_TICKINDEX_SIZE, "60000"), 2, PushTiming{}), 0);
        ASSERT_TRUE(CallbackCapture::Get().WaitBatches(1, 2000)) << i;
        const CapturedBatch b = CallbackCapture::Get().Batches()[0];
        EXPECT_EQ(b.handle, h);
        EXPECT_EQ(RecordCodes(b.records, KVO_TICKINDEX_SIZE), std::vector<std::string>{"600001"});
        EXPECT_EQ(KvoReleaseInstance(h), 0);
    }
}

// The process-wide threads run while an instance is attached; detaching an
// instance that is not the owner, or a second attach, changes nothing.
TEST(CascadeWorkerTest, AttachAndDetachRespectTheOwner) {
    CDataTransThread worker;
    int first = 0;
    int second = 0;
    ASSERT_TRUE(worker.Attach(&first));
    const TLHandle thread = worker.m_hThread;
    ASSERT_TRUE(worker.IsThreadAlive());
    ASSERT_TRUE(worker.Attach(&second));
    EXPECT_EQ(worker.m_hThread, thread);  // no second thread
    EXPECT_EQ(worker.Owner(), &second);
    worker.Detach(&first);
    EXPECT_TRUE(worker.IsThreadAlive());
    EXPECT_EQ(worker.Owner(), &second);
    worker.Detach(&first);
    EXPECT_TRUE(worker.IsThreadAlive());
    worker.Detach(&second);
    EXPECT_FALSE(worker.IsThreadAlive());
    EXPECT_EQ(worker.Owner(), nullptr);
    ASSERT_TRUE(worker.Attach(&first));
    EXPECT_TRUE(worker.IsThreadAlive());
    worker.Detach(&first);
}

}  // namespace
