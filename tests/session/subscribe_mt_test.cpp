// Subscriptions of a market session against the gateway simulator: the
// request's fields for every class, market and class switch; waiting
// results and local refusals; asynchronous results reported through
// fncsubscribe from "SubAsyncCallBackThread"; the kept list and its replay
// by ReSub, in order, past refusals, and stopping when no answer comes.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "datapacket.pro.pb.h"
#include "session/datafeed_manager.h"
#include "simulator/sim_market.h"
#include "tests/support/net_wait.h"
#include "tests/support/session_fixture.h"

using kvotest::Eventually;
using kvotest::SimAnswer;
using kvotest::SimFrame;
using Clock = std::chrono::steady_clock;
using M = CDatafeedSDKManager;

namespace {

struct Report {
    uint32_t cls;
    uint32_t subop;
    std::string market;
    std::string codelist;
    int32_t result;
    int32_t kind;
    int64_t atMs;
};

std::mutex g_mutex;
std::vector<Report> g_reports;
Clock::time_point g_t0;
// A session the callback subscribes on again (waiting), and what it got.
std::atomic<M*> g_resubscriber{nullptr};
std::atomic<int32_t> g_innerResult{1};
// Set: the first asynchronous report of an index subscription clears it and
// stays in the callback for 100 ms (g_inCheck set), so that the session can
// be released while its check is reporting.
std::atomic<bool> g_holdIndexReport{false};
std::atomic<bool> g_inCheck{false};

void OnSubscribe(uint32_t cls, uint32_t subop, const char* market, const char* codelist, int32_t result, int32_t kind) {
    {
        std::lock_guard<std::mutex> g(g_mutex);
        g_reports.push_back({cls, subop, market, codelist, result, kind, kvotest::MsSince(g_t0)});
    }
    if (M* s = g_resubscriber.exchange(nullptr)) g_innerResult.store(s->SubScribe(2, 3, "USHA", "(600036)", true));
    if (cls == 1 && kind == 1 && g_holdIndexReport.exchange(false)) {
        g_inCheck.store(true);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

std::vector<Report> Reports() {
    std::lock_guard<std::mutex> g(g_mutex);
    return g_reports;
}

std::vector<datapacket::SubscribeReq> Requests(const kvotest::GatewaySim& sim) {
    return kvotest::ParsedFrames<datapacket::SubscribeReq>(sim, kvotest::kSimSubscribeReq);
}

class SubscribeTest : public kvotest::SimSessionTest {
protected:
    void SetUp() override {
        kvotest::SimSessionTest::SetUp();
        cfg_.fncsubscribe = &OnSubscribe;
        // What an earlier test (or an earlier repetition) left set.
        g_resubscriber.store(nullptr);
        g_innerResult.store(1);
        g_holdIndexReport.store(false);
        std::lock_guard<std::mutex> g(g_mutex);
        g_reports.clear();
        g_t0 = Clock::now();
    }
};

}  // namespace

// One request per class, market and class switch, with the wire class, the
// code text (index codes for USHI), the operation mapping and the fixed
// fields.
TEST_F(SubscribeTest, RequestsCarryTheirFields) {
    struct Market {
        const char* text;
        const char* codes;
        const char* codeText;
    };
    const Market markets[] = {{"USHA", "(600000,600036)", "17(600000,600036)"},
                              {"USZA", "(000001)", "33(000001)"},
                              {"USHI", "(000001)", "16(1A0001)"},
                              {"USH", "", "15"}};
    for (int alt : {0, 1}) {
        SCOPED_TRACE(alt);
        cfg_.m_altdataclass = alt;
        auto s = MakeSession("SH");
        s->SetSuperStockLevel(50);
        ASSERT_TRUE(Connect(*s, true));
        sim_.ClearFrames();
        std::vector<std::pair<uint32_t, const Market*>> sent;
        uint32_t subop = 0;
        for (const Market& m : markets) {
            for (uint32_t cls = 1; cls <= 6; ++cls) {
                subop = subop % 5 + 1;  // 1, 2, 3, 4, 5, 1, ...
                ASSERT_EQ(s->SubScribe(cls, subop, m.text, m.codes, true), 0);
                sent.emplace_back(cls * 10 + subop, &m);
            }
        }
        const auto requests = Requests(sim_);
        ASSERT_EQ(requests.size(), sent.size());
        std::vector<uint32_t> ids;
        for (size_t i = 0; i < sent.size(); ++i) {
            const uint32_t cls = sent[i].first / 10, op = sent[i].first % 10;
            const Market& m = *sent[i].second;
            const datapacket::SubscribeReq& r = requests[i];
            SCOPED_TRACE(std::string(m.text) + " class " + std::to_string(cls));
            const bool first = std::string(m.text).find("USH") != std::string::npos;
            const int32_t wire[7] = {0, 2, 1, 3, alt && first ? 12 : 8, !alt ? 5 : (first ? 13 : 11), 10};
            EXPECT_EQ(r.market(), m.text);
            EXPECT_EQ(r.codelist(), m.codeText);
            EXPECT_EQ(r.data_class(), wire[cls]);
            EXPECT_EQ(r.dataoption(), 1);
            const int32_t suboper[6] = {0, 1, 3, 2, 4, -1};
            EXPECT_EQ(r.suboper(), suboper[op]);
            EXPECT_EQ(r.rettype(), -1);
            EXPECT_EQ(r.levels_num(), 50u);
            ids.push_back(r.instid());
        }
        std::sort(ids.begin(), ids.end());
        EXPECT_EQ(std::unique(ids.begin(), ids.end()), ids.end());
        EXPECT_EQ(s->KeptSubscriptions().size(), sent.size());
        for (uint32_t slot = 0; slot < M::kPushWorkers; ++slot) EXPECT_NE(s->Worker(M::WorkerSlot(slot)), nullptr);
    }
}

// 12,000 codes make a request of over 64 KB, which leaves in many 4 KB
// sends: it reaches the gateway whole, over a connection with Nagle's
// algorithm off (TCP_NODELAY), so that no send of its tail waits for the
// gateway's delayed acknowledgement of the sends before it.
TEST_F(SubscribeTest, LargeSubscriptionArrivesWholeOverANoDelayConnection) {
    std::string codes = "(600000";
    for (int i = 1; i < 12000; ++i) codes += "," + std::to_string(600000 + i);
    auto s = LoggedInSession();
    const std::vector<int> fds = kvotest::SocketsConnectedTo(sim_.Port());
    ASSERT_EQ(fds.size(), 1u);
    int noDelay = 0;
    socklen_t len = sizeof noDelay;
    ASSERT_EQ(::getsockopt(fds[0], IPPROTO_TCP, TCP_NODELAY, &noDelay, &len), 0);
    EXPECT_NE(noDelay, 0);
    sim_.ClearFrames();
    ASSERT_EQ(s->SubScribe(2, 1, "USHA", (codes + ")").c_str(), true), 0);
    ASSERT_EQ(Requests(sim_).size(), 1u);
    ASSERT_GT(sim_.FramesOfType(kvotest::kSimSubscribeReq)[0].body.size(), 64u * 1024);
    EXPECT_EQ(Requests(sim_)[0].codelist(), "17" + codes + ")");
}

// Waiting results: the gateway's statuses mapped, silence, and the local
// refusals that send nothing.
TEST_F(SubscribeTest, WaitingResultsAndLocalRefusals) {
    cfg_.m_timeout = 300;
    auto s = MakeSession("SH");
    ASSERT_TRUE(Connect(*s, true));
    const std::pair<int32_t, int32_t> statuses[] = {{0, 0}, {1, -10001}, {2, -10002}, {4, -10003}, {3, 3}, {-7, -7}};
    for (const auto& [status, result] : statuses) {
        sim_.SetAnswer(kvotest::kSimSubscribeReq, kvotest::StatusAnswer(status));
        EXPECT_EQ(s->SubScribe(2, 1, "USHA", "(600000)", true), result) << status;
    }
    sim_.SetAnswer(kvotest::kSimSubscribeReq, kvotest::SilentAnswer());
    const Clock::time_point t0 = Clock::now();
    EXPECT_EQ(s->SubScribe(5, 1, "USHA", "(600000)", true), -1002);
    EXPECT_GE(kvotest::MsSince(t0), 280);
    EXPECT_EQ(s->Pending().Size(), 0u);

    sim_.ClearFrames();
    EXPECT_EQ(s->SubScribe(7, 1, "USHA", "(600000)", true), -1011);
    EXPECT_EQ(s->SubScribe(0, 1, "USHA", "(600000)", false), -1011);
    EXPECT_EQ(s->KeptSubscriptions().size(), 7u);
    EXPECT_EQ(s->SubScribe(2, 8, "USHA", "", true), 0);
    EXPECT_TRUE(s->KeptSubscriptions().empty());
    EXPECT_EQ(s->ReSub(true), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(sim_.CountOfType(kvotest::kSimSubscribeReq), 0u);
    EXPECT_NE(LogText().find("Type:SH-SubScribe[],Cache clear!"), std::string::npos);

    // Every class of the OTC markets goes to the index worker.
    auto otc = MakeSession("OO");
    ASSERT_TRUE(Connect(*otc, true));
    sim_.SetAnswer(kvotest::kSimSubscribeReq, SimAnswer{});
    EXPECT_EQ(otc->SubScribe(2, 1, "UZOO", "(10000001)", true), 0);
    EXPECT_EQ(otc->SubScribe(5, 1, "USOO", "(10000001)", true), 0);
    EXPECT_NE(otc->Worker(M::kProcessIndexTick), nullptr);
    for (M::WorkerSlot slot : {M::kProcessStockTick, M::kProcessTransaction, M::kProcessOrder, M::kProcessOrderqueue,
                               M::kProcessSuperStock}) {
        EXPECT_EQ(otc->Worker(slot), nullptr);
    }
}

// Asynchronous subscriptions return at once; each answer is reported once
// through fncsubscribe (kind 1) within a check period, silence as -1002 once
// more than m_timeout whole seconds passed, and the entries are gone after
// their report. The callback may subscribe again, waiting, on the same
// session: the pending mutex is no longer held while it runs.
TEST_F(SubscribeTest, AsynchronousResultsReachFncsubscribe) {
    cfg_.m_timeout = 1000;
    auto s = MakeSession("SH");
    ASSERT_TRUE(Connect(*s, true));
    // The transaction subscription is refused (after 100 ms), any other
    // accepted.
    sim_.SetRule(kvotest::kSimSubscribeReq, [](const SimFrame& f) {
        datapacket::SubscribeReq r;
        f.Parse(&r);
        SimAnswer a;
        if (r.data_class() == 5) {
            a.status = 2;
            a.delayMs = 100;
        }
        return a;
    });
    g_resubscriber.store(s.get());
    const Clock::time_point t0 = Clock::now();
    EXPECT_EQ(s->SubScribe(5, 3, "USZA", "(000001)", false), 0);
    EXPECT_LT(kvotest::MsSince(t0), 100);
    ASSERT_NE(s->Worker(M::kSubAsyncCallBackThread), nullptr);
    EXPECT_EQ(s->Worker(M::kSubAsyncCallBackThread)->GetName(), "SubAsyncCallBackThread");
    ASSERT_TRUE(Eventually([] { return g_innerResult.load() != 1; }));
    EXPECT_EQ(g_innerResult.load(), 0);
    auto reports = Reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].cls, 5u);
    EXPECT_EQ(reports[0].subop, 3u);
    EXPECT_EQ(reports[0].market, "USZA");
    EXPECT_EQ(reports[0].codelist, "(000001)");
    EXPECT_EQ(reports[0].result, -10002);
    EXPECT_EQ(reports[0].kind, 1);
    EXPECT_LT(reports[0].atMs, 1000);
    // A change made for a master's children: its answer is only logged.
    EXPECT_EQ(s->SubScribeForChildren(5, 4, "USZA", "(000001)"), 0);
    EXPECT_TRUE(Eventually(
        [&] { return LogText().find("change 4 of 5|USZA:(000001) refused upstream (-10002)") != std::string::npos; }));

    // Unanswered: -1002 after more than one whole second, once.
    sim_.SetAnswer(kvotest::kSimSubscribeReq, kvotest::SilentAnswer());
    const int64_t sentAt = kvotest::MsSince(g_t0);
    EXPECT_EQ(s->SubScribe(1, 1, "USHI", "(000001)", false), 0);
    EXPECT_EQ(s->SubScribe(6, 4, "USHA", "(600000)", false), 0);
    ASSERT_TRUE(Eventually([] { return Reports().size() == 3; }, 5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    reports = Reports();
    ASSERT_EQ(reports.size(), 3u);
    for (size_t i = 1; i < 3; ++i) {
        EXPECT_EQ(reports[i].result, -1002);
        EXPECT_EQ(reports[i].kind, 1);
        EXPECT_GT(reports[i].atMs - sentAt, 1000);
        EXPECT_LT(reports[i].atMs - sentAt, 3500);
    }
    EXPECT_EQ(s->Pending().Size(), 0u);
    // All five calls are kept, the one made inside the callback too.
    EXPECT_EQ(s->KeptSubscriptions().size(), 5u);
}

// Host threads subscribe while the gateway has the session reconnect again and again; then the
// session is released while its check reports requests that got no answer. Every asynchronous call
// made before is reported exactly once; those of the check, at most once; nothing stalls.
TEST_F(SubscribeTest, SubscribingThroughReconnectsAndReleaseDuringTheCheck) {
    cfg_.m_timeout = 400;
    auto s = LoggedInSession();
    g_resubscriber.store(s.get());
    // Each call has a code list of its own, (600100) on.
    const auto codesOf = [](int call) { return "(" + std::to_string(600100 + call) + ")"; };
    std::vector<std::thread> hosts;
    for (int t = 0; t < 3; ++t) {
        hosts.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i) {
                const int32_t rc = s->SubScribe(2, 3, "USHA", codesOf(20 * t + i).c_str(), i % 2 == 0);
                EXPECT_TRUE(rc == 0 || (i % 2 == 0 && rc == -1002)) << rc;
            }
        });
    }
    for (int i = 0; i < 20 && sim_.CountOfType(kvotest::kSimLoginReq) < 4; ++i) {
        sim_.Write(sim_.Latest(), kvotest::NotifyFrame(3, ""));
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
    }
    for (std::thread& h : hosts) h.join();
    EXPECT_GE(sim_.CountOfType(kvotest::kSimLoginReq), 3u);
    // The asynchronous reports by code list.
    const auto asyncReports = [] {
        std::map<std::string, int> n;
        for (const Report& r : Reports())
            if (r.kind == 1) ++n[r.codelist];
        return n;
    };
    // 30 asynchronous calls, answered or timed out when a reconnect replaced their connection.
    EXPECT_TRUE(Eventually([&] { return asyncReports().size() >= 30; }, 5000));
    ASSERT_TRUE(Eventually([&] { return s->IsLoggedIn(); }, 5000));
    sim_.SetAnswer(kvotest::kSimSubscribeReq, kvotest::SilentAnswer());
    g_inCheck.store(false);
    g_holdIndexReport.store(true);
    for (int call = 60; call < 65; ++call) EXPECT_EQ(s->SubScribe(1, 3, "USHI", codesOf(call).c_str(), false), 0);
    ASSERT_TRUE(Eventually([] { return g_inCheck.load(); }, 5000));
    const auto t0 = Clock::now();
    g_resubscriber.store(nullptr);
    s.reset();
    EXPECT_LT(kvotest::MsSince(t0), 5000);
    g_holdIndexReport.store(false);
    const std::map<std::string, int> reports = asyncReports();
    const auto timesOf = [&](int call) { return reports.count(codesOf(call)) ? reports.at(codesOf(call)) : 0; };
    for (int call = 1; call < 60; call += 2) EXPECT_EQ(timesOf(call), 1) << call;
    int timedOut = 0;
    for (int call = 60; call < 65; ++call) {
        EXPECT_LE(timesOf(call), 1) << call;
        timedOut += timesOf(call);
    }
    EXPECT_GE(timedOut, 1);
    EXPECT_EQ(reports.size(), size_t(30 + timedOut));
}

// The kept list is replayed in call order, unsubscriptions included; a
// refused entry is reported (kind 2) and the walk goes on; an entry that
// gets no answer twice ends it. After a login the replay needs
// m_connectsubscribe 1.
TEST_F(SubscribeTest, ReSubReplaysTheKeptList) {
    cfg_.m_timeout = 300;
    auto s = MakeSession("SH");
    ASSERT_TRUE(Connect(*s, true));
    struct Call {
        uint32_t cls, subop;
        const char* market;
        const char* codes;
        bool wait;
    };
    const Call calls[] = {{2, 1, "USHA", "(600000,600036)", true},
                          {5, 3, "USZA", "(000001)", false},
                          {2, 4, "USHA", "(600036)", true},
                          {1, 1, "USHI", "(000001)", true},
                          {4, 2, "USHA", "", true}};
    for (const Call& c : calls) EXPECT_EQ(s->SubScribe(c.cls, c.subop, c.market, c.codes, c.wait), 0);
    ASSERT_TRUE(sim_.WaitForFrames(kvotest::kSimSubscribeReq, 5, 5000));
    ASSERT_TRUE(Eventually([] { return Reports().size() == 1; }));  // the asynchronous call's
    const auto original = Requests(sim_);

    sim_.ClearFrames();
    EXPECT_EQ(s->ReSub(false), 0);  // m_connectsubscribe is 0
    EXPECT_EQ(s->ReSub(true), 0);
    auto replay = Requests(sim_);
    ASSERT_EQ(replay.size(), 5u);
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(replay[i].codelist(), original[i].codelist());
        EXPECT_EQ(replay[i].data_class(), original[i].data_class());
        EXPECT_EQ(replay[i].suboper(), original[i].suboper());
        EXPECT_NE(replay[i].instid(), original[i].instid());
    }
    EXPECT_EQ(s->KeptSubscriptions().size(), 5u);  // a replay adds nothing

    // The third entry is refused: reported, and the walk goes on.
    sim_.ClearFrames();
    sim_.SetRule(kvotest::kSimSubscribeReq, [](const SimFrame& f) {
        datapacket::SubscribeReq r;
        f.Parse(&r);
        SimAnswer a;
        a.status = r.suboper() == 4 ? 1 : 0;
        return a;
    });
    EXPECT_EQ(s->ReSub(true), -10001);
    EXPECT_EQ(Requests(sim_).size(), 5u);
    auto reports = Reports();
    ASSERT_EQ(reports.size(), 2u);  // the asynchronous call's own report, then this one
    EXPECT_EQ(reports[0].kind, 1);
    EXPECT_EQ(reports[1].kind, 2);
    EXPECT_EQ(reports[1].result, -10001);
    EXPECT_EQ(reports[1].cls, 2u);
    EXPECT_EQ(reports[1].subop, 4u);
    EXPECT_EQ(reports[1].codelist, "(600036)");
    EXPECT_NE(LogText().find("Type:SH-Reconnect[],ReSub fail! errorcode: -10001, dataclass: 2, subop: 4, market: "
                             "USHA, codelist: (600036)"),
              std::string::npos);

    // No answer at all: the first entry is tried twice, then the walk ends.
    sim_.ClearFrames();
    sim_.SetAnswer(kvotest::kSimSubscribeReq, kvotest::SilentAnswer());
    EXPECT_EQ(s->ReSub(true), -1002);
    EXPECT_EQ(Requests(sim_).size(), 2u);
    reports = Reports();
    ASSERT_EQ(reports.size(), 3u);
    EXPECT_EQ(reports[2].result, -1002);
    EXPECT_EQ(reports[2].kind, 2);
    EXPECT_EQ(reports[2].codelist, "(600000,600036)");

    // After a login the replay runs when m_connectsubscribe is 1.
    cfg_.m_connectsubscribe = 1;
    auto relogged = MakeSession("SZ");
    ASSERT_TRUE(Connect(*relogged, true));
    sim_.SetAnswer(kvotest::kSimSubscribeReq, SimAnswer{});
    EXPECT_EQ(relogged->SubScribe(2, 1, "USZA", "(000001)", true), 0);
    sim_.ClearFrames();
    EXPECT_EQ(relogged->ReSub(false), 0);
    EXPECT_EQ(Requests(sim_).size(), 1u);
}

namespace {

int32_t CountStock(void*, const void*, uint32_t, const PushTiming*) { return 0; }

}  // namespace

// With the subscription and push-sampling bits of the gateway's mask, a
// waiting subscription reports its fields and result, and a sampled push of
// the subscribed stock (one the gateway did not stamp with a production
// time) reports its count and times with the process figures.
TEST_F(SubscribeTest, SubscriptionAndSampledPushTelemetry) {
    SimAnswer login;
    login.statsRate = 4 | 8;
    sim_.SetAnswer(kvotest::kSimLoginReq, login);
    kvotest::SimMarket market(3);
    cfg_.fnctickstock = &CountStock;
    auto s = LoggedInSession();
    ASSERT_EQ(s->SubScribe(2, 1, "USHA", "(600000)", true), 0);
    // Only a push without a production time reports its sample.
    const std::string image = market.StockImage(17, {"600000"});
    const size_t connection = sim_.Latest();
    ASSERT_TRUE(Eventually(
        [&] {
            sim_.Write(connection, kvotest::PushFrame(kvotest::MakePush("USHA", 1, image, 0, 1, 20250428093005250ull),
                                                      0, static_cast<uint16_t>(kvotest::kSimPush + 1)));
            return !kvotest::ElkLines(sim_, "client@_sub_push").empty();
        },
        8000));

    const std::vector<std::string> subs = kvotest::ElkLines(sim_, "client@_sub");
    ASSERT_EQ(subs.size(), 1u);
    for (const char* part :
         {"\"module\":\"SubScribe\"", "\"codelist\":\"(600000)\"", "\"dataclass\":\"2\"", "\"market\":\"USHA\"",
          "\"statscode\":\"0\"", "\"subop_type\":\"1\"", "\"timeconsum\":\""}) {
        EXPECT_NE(subs[0].find(part), std::string::npos) << part << " in " << subs[0];
    }
    const std::string push = kvotest::ElkLines(sim_, "client@_sub_push")[0];
    // Pushes queued meanwhile join the sampled one's batch.
    EXPECT_EQ(push.find("\"count\":\"0\""), std::string::npos) << push;
    for (const char* part : {"\"module\":\"sub_push_stock\"", "\"count\":\"", "\"sub_type\":\"stock\"",
                             "\"handle_timeconsum\":\"", "\"callback_timeconsum\":\"", "\"cpu\":\"", "\"memory\":\""}) {
        EXPECT_NE(push.find(part), std::string::npos) << part << " in " << push;
    }
}

// An asynchronous subscription answered while the session's routing is still
// the login's (before the login succeeded, or during a reconnect's login) is
// reported with the gateway's status like any other.
TEST_F(SubscribeTest, AsynchronousAnswerDuringTheLoginExchangeIsReported) {
    auto s = MakeSession("SH");
    ASSERT_TRUE(Connect(*s, false));
    sim_.SetAnswer(kvotest::kSimSubscribeReq, kvotest::StatusAnswer(2));
    EXPECT_EQ(s->SubScribe(2, 1, "USHA", "(600000)", false), 0);
    ASSERT_TRUE(Eventually([] { return Reports().size() == 1; }, 3000));
    const auto reports = Reports();
    EXPECT_EQ(reports[0].result, -10002);
    EXPECT_EQ(reports[0].kind, 1);
    EXPECT_EQ(reports[0].codelist, "(600000)");
    EXPECT_EQ(s->Pending().Size(), 0u);
}
