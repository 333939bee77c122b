// A child instance in this process against a master played by a raw socket
// speaking the cascade protocol: the login and its outcomes, that an idle
// child does not poll, queries through the master, requests that cannot
// leave, subscriptions and relayed data, a second login, and a middle
// instance passing a child of its own up and the answers and data down.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "api/socket_data_manager.h"
#include "include/kvo_records.h"
#include "include/kvoapi.h"
#include "session/kvo_texts.h"
#include "session/subscription_registry.h"
#include "tests/support/cascade_fixture.h"
#include "tests/support/net_wait.h"
#include "tests/support/peer_endpoint.h"
#include "tests/support/peer_writer.h"
#include "tests/support/process_figures.h"

using namespace kvotest;

namespace {

class CascadeChildTest : public CascadeInstanceTest {
protected:
    CascadeChildTest() : CascadeInstanceTest("kvo_cascade_child") {}

    void SetUp() override {
        CascadeInstanceTest::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_TRUE(master_.Ok());
        WriteToolIni("master=false\nsocket_port=0\n");
        child_ = std::make_unique<CSocketDataMananger>(&cfg_);
        ASSERT_EQ(child_->Mode(), kvoapi::kChild);
        ASSERT_EQ(child_->RegisterAddrByMode("USH", "127.0.0.1", master_.Port()), 0);
    }
    void TearDown() override {
        child_.reset();
        CascadeInstanceTest::TearDown();
    }

    std::future<LoginResult> LoginAsync(const char* user = "user1", const char* pass = "pw1") {
        return std::async(std::launch::async, [this, user, pass] { return child_->LoginByMode(user, pass); });
    }
    // Accepts the child's connection and reads its login.
    std::unique_ptr<PeerEndpoint> AcceptLogin(PeerTestFrame* login) {
        auto link = master_.Accept(3000);
        if (link && !link->ReadReq(51, login, 3000)) link.reset();
        return link;
    }
    // A child logged in on the fake master.
    std::unique_ptr<PeerEndpoint> LoggedIn() {
        auto result = LoginAsync();
        PeerTestFrame login;
        auto link = AcceptLogin(&login);
        if (link) link->SendFrame(2, "error:0,ReqType:52,id:" + PeerField(login.body, "id") + ",");
        EXPECT_EQ(result.get().nstatuscode, 0);
        return link;
    }

    PeerListener master_;
    std::unique_ptr<CSocketDataMananger> child_;
};

// The registry keys a subscriber holds, sorted.
std::vector<std::string> KeysOf(Subscriber subscriber) {
    SubscriptionKeySet keys;
    SubscriptionRegistry::Global().GetSubscriberKeys(subscriber, &keys);
    return std::vector<std::string>(keys.begin(), keys.end());
}

TEST_F(CascadeChildTest, LoginOutcomes) {
    // Nobody listening: refused at once.
    const uint16_t port = master_.Port();
    ASSERT_EQ(child_->RegisterAddrByMode("USH", "127.0.0.1", UnusedLoopbackPort()), 0);
    auto t0 = std::chrono::steady_clock::now();
    LoginResult r = child_->LoginByMode("user1", "pw1");
    EXPECT_EQ(r.nstatuscode, -1014);
    EXPECT_STREQ(r.statusmsg, kvoapi::kTextCascadeMasterDown);
    EXPECT_LT(MsSince(t0), 1000);
    ASSERT_EQ(child_->RegisterAddrByMode("USH", "127.0.0.1", port), 0);

    // A master that never answers: the login wait runs out.
    auto pending = LoginAsync();
    PeerTestFrame login;
    auto silent = AcceptLogin(&login);
    ASSERT_TRUE(silent);
    EXPECT_EQ(login.type, 2u);
    const std::string id = PeerField(login.body, "id");
    EXPECT_EQ(id.size(), 36u);
    EXPECT_EQ(login.body,
              "ReqType:51,id:" + id + ",account:user1,pass:pw1,IP:192.168.1.77&,Port:0,ipMask:255.255.255.0&,");
    t0 = std::chrono::steady_clock::now();
    r = pending.get();
    EXPECT_EQ(r.nstatuscode, -1002);
    EXPECT_STREQ(r.statusmsg, kvoapi::kTextTimeout);
    EXPECT_GE(MsSince(t0) + 50, static_cast<int64_t>(timers_.loginWaitMs) / 2);

    // A second login drops the first connection (with its notice) before it
    // connects again; the master refuses this one for its network.
    pending = LoginAsync();
    PeerTestFrame f;
    ASSERT_TRUE(silent->ReadReq(1001, &f, 3000));
    EXPECT_EQ(f.type, 4u);
    EXPECT_TRUE(silent->WaitClosed(2000));
    auto refusing = AcceptLogin(&login);
    ASSERT_TRUE(refusing);
    refusing->SendFrame(2, "ReqType:52,id:" + PeerField(login.body, "id") + ",error:-1015,");
    refusing->SendFrame(4, "error:0,ReqType:1001,");
    r = pending.get();
    EXPECT_EQ(r.nstatuscode, -1015);
    EXPECT_STREQ(r.statusmsg, kvoapi::kTextCascadeSameLan);
    EXPECT_STREQ(r.expire_date, "");
    // The child answers the notice with its own and lets the connection go.
    ASSERT_TRUE(refusing->ReadReq(1001, &f, 2000));
    EXPECT_TRUE(Eventually([&] { return child_->Cascade()->ConnectionCount() == 0; }, 2000));

    // The master refuses the account.
    pending = LoginAsync("user1", "wrong");
    auto refusingAccount = AcceptLogin(&login);
    ASSERT_TRUE(refusingAccount);
    EXPECT_EQ(PeerField(login.body, "pass"), "wrong");
    refusingAccount->SendFrame(2, "ReqType:52,id:" + PeerField(login.body, "id") + ",error:-1004,");
    r = pending.get();
    EXPECT_EQ(r.nstatuscode, -1004);
    EXPECT_STREQ(r.statusmsg, kvoapi::kTextBadAccount);

    // Accepted; any other error code comes back as it is, with empty texts.
    auto link = LoggedIn();
    ASSERT_TRUE(link);
    pending = LoginAsync();
    ASSERT_TRUE(link->WaitClosed(2000));
    auto odd = AcceptLogin(&login);
    ASSERT_TRUE(odd);
    odd->SendFrame(2, "ReqType:52,id:" + PeerField(login.body, "id") + ",error:-1016,");
    r = pending.get();
    EXPECT_EQ(r.nstatuscode, -1016);
    EXPECT_STREQ(r.statusmsg, "");

    // A master that closes without an answer (as one refusing the login
    // frame at its header does): -1014 at once, not after the login wait.
    pending = LoginAsync();
    auto closing = AcceptLogin(&login);
    ASSERT_TRUE(closing);
    closing->Close();
    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(pending.get().nstatuscode, -1014);
    EXPECT_LT(MsSince(t0), static_cast<int64_t>(timers_.loginWaitMs) / 2);
}

// An idle child does not poll: with the library's own cascade waits,
// logged in on its master with nothing moving, its threads wake a few dozen
// times in 2 s (idle passes of the receive loop and the accept thread),
// where a wait of 1 ms would add some 2,000.
TEST_F(CascadeChildTest, IdleChildDoesNotPoll) {
    SetCascadeTimers(CascadeTimers{});
    auto link = LoggedIn();
    ASSERT_TRUE(link);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const uint64_t before = ThreadWakes();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const int64_t wakes = int64_t(ThreadWakes() - before);
    EXPECT_LT(wakes, 200) << "wakes in 2 s of idling";
}

TEST_F(CascadeChildTest, QueriesThroughTheMaster) {
    auto link = LoggedIn();
    ASSERT_TRUE(link);
    PeerTestFrame f;

    auto codes = std::async(std::launch::async, [this] {
        uint32_t n = 0;
        char* p = child_->GetCodelist("USHA", &n, "", true);
        std::string text = p ? std::string(p, n + 1) : std::string("null");
        std::free(p);
        return std::make_pair(text, n);
    });
    ASSERT_TRUE(link->ReadReq(101, &f, 2000));
    std::string id = PeerField(f.body, "id");
    EXPECT_EQ(f.body, "ReqType:101,id:" + id + ",market:USHA,");
    link->SendFrame(2, PeerAnswerBody(201, id, 7, "abc,def"));
    const auto [text, length] = codes.get();
    EXPECT_EQ(text, std::string("abc,def\0", 8));
    EXPECT_EQ(length, 7u);

    const std::string records = PeerRecords(2, KVO_TICKSTOCK_SIZE, "60000");
    auto stock = std::async(std::launch::async, [this] {
        uint32_t n = 0;
        void* p = child_->GetTickStock("USHA", "(600000,600001)", &n, "", true);
        std::string bytes = p ? std::string(static_cast<char*>(p), size_t(n) * KVO_TICKSTOCK_SIZE) : "";
        std::free(p);
        return std::make_pair(bytes, n);
    });
    ASSERT_TRUE(link->ReadReq(103, &f, 2000));
    id = PeerField(f.body, "id");
    EXPECT_EQ(f.body, "ReqType:103,id:" + id + ",market:USHA, codelist:(600000,600001),");
    link->SendFrame(2, PeerAnswerBody(203, id, 2, records));
    EXPECT_EQ(stock.get(), std::make_pair(records, 2u));

    // An answer that claims more bytes than it carries gives nothing.
    auto lying = std::async(std::launch::async, [this] {
        uint32_t n = 0;
        return child_->GetSuperStock("USHA", "(600000)", &n, "", true) == nullptr;
    });
    ASSERT_TRUE(link->ReadReq(104, &f, 2000));
    id = PeerField(f.body, "id");
    link->SendFrame(2, "strTextLength:714,id:" + id + ",ReqType:204,TickCount:2,|||" +
                           PeerRecords(1, KVO_SUPERSTOCK_SIZE, "60000"));
    EXPECT_TRUE(lying.get());

    // An answer of another kind than the question gives nothing either.
    auto otherKind = std::async(std::launch::async, [this] {
        uint32_t n = 0;
        return child_->GetTickStock("USHA", "(600000)", &n, "", true) == nullptr;
    });
    ASSERT_TRUE(link->ReadReq(103, &f, 2000));
    link->SendFrame(2, PeerAnswerBody(202, PeerField(f.body, "id"), 1, PeerRecords(1, KVO_TICKINDEX_SIZE)));
    EXPECT_TRUE(otherKind.get());

    // A request text of a child of this instance goes up unchanged, and
    // nobody here waits for its answer.
    const std::string relayed = "ReqType:102,id:abc,market:USHA, codelist:(000001),";
    uint32_t n = 0;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(child_->GetTickIndex("USHA", "", &n, relayed.c_str(), false), nullptr);
    EXPECT_LT(MsSince(t0), static_cast<int64_t>(timers_.queryWaitMs));
    ASSERT_TRUE(link->ReadReq(102, &f, 2000));
    EXPECT_EQ(f.body, relayed);
    EXPECT_EQ(child_->Cascade()->PendingCount(), 0u);

    // No answer: null after the query wait; the late answer finds nobody
    // waiting and is not sent back up.
    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(child_->GetTickIndex("USHA", "(000001)", &n, "", true), nullptr);
    EXPECT_GE(MsSince(t0) + 50, static_cast<int64_t>(timers_.queryWaitMs));
    ASSERT_TRUE(link->ReadReq(102, &f, 2000));
    link->SendFrame(2, PeerAnswerBody(202, PeerField(f.body, "id"), 1, PeerRecords(1, KVO_TICKINDEX_SIZE)));
    EXPECT_TRUE(link->Silent(300));
    EXPECT_EQ(child_->Cascade()->PendingCount(), 0u);
}

TEST_F(CascadeChildTest, SubscriptionsGoUpAndDataComesDown) {
    auto link = LoggedIn();
    ASSERT_TRUE(link);
    PeerTestFrame f;
    EXPECT_EQ(child_->SubScribe(2, 1, "USHA", "(600000,600001)", true, true), 0);
    ASSERT_TRUE(link->ReadReq(20, &f, 2000));
    const std::string id = PeerField(f.body, "id");
    EXPECT_EQ(id.size(), 36u);
    EXPECT_EQ(f.body, "ReqType:20,msg_dataclass:2,subop_type:3,id:" + id + ",market:USHA,codelist:(600000,600001),");
    // The host's keys are held under its connection to the master.
    const Subscriber local = child_->Cascade()->MasterConnection();
    ASSERT_NE(local, 0u);
    EXPECT_EQ(KeysOf(local), (std::vector<std::string>{"2|USHA:(600000)", "2|USHA:(600001)"}));

    link->SendFrame(4, PeerDataBody(2, 3, PeerRecords(3, KVO_TICKSTOCK_SIZE, "60000"), PeerTimingBytes(5, 6, 7)));
    ASSERT_TRUE(CallbackCapture::Get().WaitBatches(1, 2000));
    const CapturedBatch batch = CallbackCapture::Get().Batches()[0];
    EXPECT_EQ(batch.dataClass, 2);
    EXPECT_EQ(RecordCodes(batch.records, KVO_TICKSTOCK_SIZE), (std::vector<std::string>{"600000", "600001"}));
    EXPECT_EQ(batch.timing.produce_time, 5u);

    EXPECT_EQ(child_->SubScribe(2, 4, "USHA", "(600001)", true, true), 0);
    ASSERT_TRUE(link->ReadReq(20, &f, 2000));
    EXPECT_EQ(PeerField(f.body, "subop_type"), "4");
    EXPECT_EQ(PeerField(f.body, "codelist"), "(600001)");
    // subop_type 8 does nothing in the child role.
    EXPECT_EQ(child_->SubScribe(2, 8, "USHA", "", true, true), 0);
    EXPECT_TRUE(link->Silent(200));
    EXPECT_EQ(KeysOf(local), std::vector<std::string>{"2|USHA:(600000)"});

    // When the master lets the child go, the host's keys leave with the
    // connection they were held under.
    link->SendFrame(4, "error:0,ReqType:1001,");
    EXPECT_TRUE(Eventually([&] { return child_->Cascade()->MasterConnection() == 0; }, 2000));
    EXPECT_TRUE(KeysOf(local).empty());
}

// Subscriptions no record could match are refused: the master hears
// nothing, and the next sound change goes up.
TEST_F(CascadeChildTest, UnmatchableSubscriptionsAreRefused) {
    auto link = LoggedIn();
    ASSERT_TRUE(link);
    ExpectUnmatchableSubscriptionsRefused(child_.get());
    EXPECT_TRUE(link->Silent(300));
    EXPECT_EQ(KvoSubScribe(child_.get(), 2, 3, "USZA", "(000001)"), 0);
    PeerTestFrame f;
    ASSERT_TRUE(link->ReadReq(20, &f, 2000));
    EXPECT_EQ(PeerField(f.body, "codelist"), "(000001)");
}

// A request that cannot leave has no answer to wait for: without a
// connection to the master, and when the master takes nothing in.
TEST_F(CascadeChildTest, UnsentRequestsDoNotWait) {
    uint32_t n = 0;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(child_->GetTickStock("USHA", "(600000)", &n, "", true), nullptr);
    EXPECT_EQ(child_->GetCodelist("USHA", &n, "", true), nullptr);
    EXPECT_LT(MsSince(t0), static_cast<int64_t>(timers_.queryWaitMs) / 2);
    EXPECT_EQ(child_->Cascade()->PendingCount(), 0u);

    // A login too large for the socket buffers while the master reads
    // nothing: the send gives up after its time-out, and the login ends then
    // with -1002 rather than after the login wait.
    timers_.sendTimeoutMs = 200;
    timers_.loginWaitMs = 20000;
    SetCascadeTimers(timers_);
    const std::string pass(16u << 20, 'p');
    auto pending = std::async(std::launch::async, [&] { return child_->LoginByMode("user1", pass.c_str()); });
    auto link = master_.Accept(3000);
    ASSERT_TRUE(link);
    t0 = std::chrono::steady_clock::now();
    const LoginResult r = pending.get();
    EXPECT_EQ(r.nstatuscode, -1002);
    EXPECT_STREQ(r.statusmsg, kvoapi::kTextTimeout);
    EXPECT_LT(MsSince(t0), 5000);
    EXPECT_EQ(child_->Cascade()->PendingCount(), 0u);
}

TEST_F(CascadeChildTest, MiddleInstancePassesRequestsAndDataOn) {
    auto link = LoggedIn();
    ASSERT_TRUE(link);
    PeerTestFrame f;
    auto grandchild = PeerEndpoint::Connect(child_->CascadeListenPort());
    ASSERT_TRUE(grandchild);
    // The middle instance checks its children against its own login.
    grandchild->SendFrame(2, "ReqType:51,id:g0,account:user1,pass:pw1,IP:192.168.1.10&,Port:1,ipMask:255.255.255.0&,");
    ASSERT_TRUE(grandchild->ReadReq(52, &f, 2000));
    EXPECT_EQ(f.body, "error:0,ReqType:52,id:g0,");

    const std::string query = "ReqType:103,id:g1,market:USHA, codelist:(600000),";
    grandchild->SendFrame(2, query);
    ASSERT_TRUE(link->ReadReq(103, &f, 2000));
    EXPECT_EQ(f.body, query);
    const std::string answer = PeerAnswerBody(203, "g1", 1, PeerRecords(1, KVO_TICKSTOCK_SIZE, "60000"));
    link->SendFrame(2, answer);
    ASSERT_TRUE(grandchild->ReadReq(203, &f, 2000));
    EXPECT_EQ(f.body, answer);
    EXPECT_TRUE(Eventually([&] { return child_->Cascade()->RouteCount() == 0; }, 1000));
    // An answer that states more bytes than it carries is not passed on; the
    // request's route stays for a sound answer.
    grandchild->SendFrame(2, "ReqType:102,id:g3,market:USHI, codelist:(000001),");
    ASSERT_TRUE(link->ReadReq(102, &f, 2000));
    const std::string record = PeerRecords(1, KVO_TICKINDEX_SIZE);
    link->SendFrame(
        2, "strTextLength:" + std::to_string(2 * KVO_TICKINDEX_SIZE) + ",id:g3,ReqType:202,TickCount:2,|||" + record);
    EXPECT_TRUE(grandchild->Silent(300));
    link->SendFrame(2, PeerAnswerBody(202, "g3", 1, record));
    ASSERT_TRUE(grandchild->ReadReq(202, &f, 2000));
    EXPECT_EQ(f.body, PeerAnswerBody(202, "g3", 1, record));

    // A change no record could match is not passed up.
    grandchild->SendFrame(2, "ReqType:20,msg_dataclass:9,subop_type:3,id:g4,market:USHA,codelist:(600009),");
    grandchild->SendFrame(2, "ReqType:20,msg_dataclass:2,subop_type:3,id:g2,market:USHA,codelist:(600002),");
    ASSERT_TRUE(link->ReadReq(20, &f, 2000));
    EXPECT_EQ(PeerField(f.body, "codelist"), "(600002)");
    const std::string records = PeerRecords(3, KVO_TICKSTOCK_SIZE, "60000");
    link->SendFrame(4, PeerDataBody(2, 3, records, PeerTimingBytes(1, 2, 3)));
    ASSERT_TRUE(grandchild->ReadReq(2, &f, 2000));
    EXPECT_EQ(f.body, "ReqType:2,TickCount:1,|||" + records.substr(2 * KVO_TICKSTOCK_SIZE) + PeerTimingBytes(1, 2, 3));
    // The host holds nothing here, so it receives nothing.
    EXPECT_TRUE(CallbackCapture::Get().Batches().empty());
}

// A child leaving with its query unanswered takes the route along at once: a
// later child asking under the same request id gets its own answer.
TEST_F(CascadeChildTest, RouteLeavesWithItsChild) {
    auto link = LoggedIn();
    ASSERT_TRUE(link);
    PeerTestFrame f;
    const auto ask = [&] {
        auto c = PeerEndpoint::Connect(child_->CascadeListenPort());
        if (!c) return c;
        c->SendFrame(2, "ReqType:51,id:g0,account:user1,pass:pw1,IP:192.168.1.10&,Port:1,ipMask:255.255.255.0&,");
        EXPECT_TRUE(c->ReadReq(52, &f, 2000));
        c->SendFrame(2, "ReqType:103,id:q7,market:USHA, codelist:(600000),");
        EXPECT_TRUE(link->ReadReq(103, &f, 2000));
        EXPECT_EQ(child_->Cascade()->RouteCount(), 1u);
        return c;
    };
    ask().reset();
    EXPECT_TRUE(Eventually([&] { return child_->Cascade()->RouteCount() == 0; }, 1000));
    auto second = ask();
    ASSERT_TRUE(second);
    link->SendFrame(2, PeerAnswerBody(203, "q7", 1, PeerRecords(1, KVO_TICKSTOCK_SIZE, "60000")));
    EXPECT_TRUE(second->ReadReq(203, &f, 2000));
}

}  // namespace

// Host threads wait for answers the master never sends; a release wakes
// them: each comes back with null, and only then is the child freed.
TEST_F(CascadeChildTest, ReleaseWakesQueriesThroughTheMaster) {
    timers_.queryWaitMs = 20000;
    SetCascadeTimers(timers_);
    auto link = LoggedIn();
    ASSERT_TRUE(link);
    void* handle = child_.get();
    std::vector<std::future<bool>> waiting;
    for (int i = 0; i < 4; ++i) {
        waiting.push_back(std::async(std::launch::async, [handle] {
            uint32_t n = 0;
            return KvoGetTickStock(handle, "USHA", "(600000)", &n) == nullptr;
        }));
    }
    PeerTestFrame f;
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(link->ReadReq(103, &f, 3000));
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(KvoReleaseInstance(child_.release()), 0);
    EXPECT_LT(MsSince(t0), 5000);
    for (auto& w : waiting) {
        ASSERT_EQ(w.wait_for(std::chrono::seconds(0)), std::future_status::ready);
        EXPECT_TRUE(w.get());
    }
}
