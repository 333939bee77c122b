// The market session against the gateway simulator: its standing threads and
// stop, the address list and request ids, requests waiting for their answers
// (in time, late, unknown, aborted by a stop), the receive routing of every
// packet type after the login, echo and push feedback.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "datapacket.pro.pb.h"
#include "framework/tl_threadmgr.h"
#include "protocol/kvo_packet.h"
#include "session/builtin_hosts.h"
#include "session/datafeed_manager.h"
#include "simulator/frame_writer.h"
#include "tests/support/net_wait.h"
#include "tests/support/session_fixture.h"

using kvotest::Eventually;
using kvotest::GatewaySim;
using kvotest::MsSince;
using kvotest::SimAnswer;
using kvotest::SimFrame;
using kvotest::ThreadNameOfCaller;
using Clock = std::chrono::steady_clock;

namespace {

// Names of the threads registered with the thread manager now, with their
// number.
std::map<std::string, int> RegisteredThreads() {
    std::map<std::string, int> names;
    CTLThreadManager* m = CTLThreadManager::GetInstance();
    for (int32_t i = 0; i < CTLThreadManager::kMaxThreads; ++i) {
        TLThreadRecordInfo r;
        if (m->GetRecord(i, &r) && r.inUse) ++names[r.name];
    }
    return names;
}

std::string SubscribeBody(uint32_t instid) {
    datapacket::SubscribeReq req;
    req.set_market("USHA");
    req.set_codelist("17(600000)");
    req.set_data_class(1);
    req.set_instid(instid);
    return req.SerializeAsString();
}

// Sends a waiting subscription request; gives SendRequest's result and the
// answer's instid and status (when answered).
struct RequestResult {
    int32_t rc = -1;
    uint32_t instid = 0;
    int32_t status = -99;
    int64_t ms = 0;
};

RequestResult Request(CDatafeedSDKManager& s, uint32_t instid, bool wait = true) {
    const std::string body = SubscribeBody(instid);
    corvane::CTLSmartBuffer answer;
    const Clock::time_point t0 = Clock::now();
    RequestResult r;
    r.rc = s.SendRequest(s.Connection(), instid, KVO_PACKET_SUBSCRIBE_REQ, body.data(),
                         static_cast<uint32_t>(body.size()), &answer, wait);
    r.ms = MsSince(t0);
    datapacket::SubscribeRsp rsp;
    if (answer.GetLength() > 0 && rsp.ParseFromArray(answer.GetData(), static_cast<int>(answer.GetLength()))) {
        r.instid = rsp.instid();
        r.status = rsp.statuscode();
    }
    return r;
}

class DatafeedTest : public kvotest::SimSessionTest {};

// A "ReceieveThread" step that sends a waiting request, as the login
// exchange does.
struct Probe {
    CDatafeedSDKManager* session;
    std::atomic<int>* started;
    std::atomic<int>* result;
};

int32_t RunProbe(Probe* p, RecrieceDataThreadInfo*) {
    p->started->store(1);
    p->result->store(Request(*p->session, CDatafeedSDKManager::NextInstid()).rc);
    return 0;
}

}  // namespace

// A new session runs exactly its four standing threads, logs its start, and
// a destroyed one leaves none behind.
TEST_F(DatafeedTest, StandingThreadsStartAndStop) {
    const std::vector<std::string> standing = {"ReceieveThread", "processFeedBack", "reconnectThread",
                                               "heartbitThread"};
    const auto before = RegisteredThreads();
    for (int round = 0; round < 3; ++round) {
        auto s = MakeSession("SZ");
        EXPECT_TRUE(Eventually([&] {
            auto now = RegisteredThreads();
            for (const std::string& n : standing) {
                const int had = before.count(n) ? before.at(n) : 0;
                if (now[n] != had + 1) return false;
            }
            return true;
        }));
        for (uint32_t slot = 0; slot < CDatafeedSDKManager::kPushWorkers; ++slot) {
            EXPECT_EQ(s->Worker(static_cast<CDatafeedSDKManager::WorkerSlot>(slot)), nullptr);
        }
        EXPECT_EQ(s->Worker(CDatafeedSDKManager::kSubAsyncCallBackThread), nullptr);
        EXPECT_EQ(s->MarketKind(), CDatafeedSDKManager::kMarketKindSZ);
        EXPECT_TRUE(s->LoopbackSampling());
        EXPECT_FALSE(s->IsLoggedIn());
        s.reset();
        EXPECT_EQ(RegisteredThreads(), before);
    }
    EXPECT_NE(LogText().find("Type:SZ-CDatafeedSDKManager[], init m_threadProcessData!, version: 2.2.5-8.0.4."),
              std::string::npos);
}

TEST_F(DatafeedTest, AddressesLevelsAndIds) {
    kvoapi::BuiltinHosts hosts = kvoapi::GetBuiltinHosts();
    hosts.legacyQuoteHost = "legacy.example.invalid";
    const kvoapi::BuiltinHosts previous = kvoapi::SetBuiltinHosts(hosts);
    auto s = MakeSession("SH");
    EXPECT_EQ(s->MarketKind(), CDatafeedSDKManager::kMarketKindSH);
    EXPECT_EQ(s->AddAddress("10.0.0.1", 8001, false), 0);
    EXPECT_EQ(s->AddAddress("10.0.0.2", 8002, true), 0);
    EXPECT_EQ(s->AddAddress("legacy.example.invalid", 8003, true), 0);  // ignored
    EXPECT_EQ(s->AddAddress("10.0.0.3", 8004, false), 0);
    EXPECT_EQ(s->Addresses(), (std::vector<std::pair<std::string, uint16_t>>{
                                  {"10.0.0.2", 8002}, {"10.0.0.1", 8001}, {"10.0.0.3", 8004}}));
    kvoapi::SetBuiltinHosts(previous);

    EXPECT_EQ(s->GetSuperStockLevel(), 10);
    s->SetSuperStockLevel(5);
    EXPECT_EQ(s->GetSuperStockLevel(), 10);
    s->SetSuperStockLevel(2000);
    EXPECT_EQ(s->GetSuperStockLevel(), 1000);
    s->SetSuperStockLevel(250);
    EXPECT_EQ(s->GetSuperStockLevel(), 250);

    // Request ids stay unique under 8 threads taking 10,000 each.
    std::vector<std::vector<uint32_t>> taken(8);
    std::vector<std::thread> threads;
    for (auto& ids : taken) {
        threads.emplace_back([&ids] {
            ids.reserve(10000);
            for (int i = 0; i < 10000; ++i) ids.push_back(CDatafeedSDKManager::NextInstid());
        });
    }
    for (auto& t : threads) t.join();
    std::set<uint32_t> all;
    for (const auto& ids : taken) all.insert(ids.begin(), ids.end());
    EXPECT_EQ(all.size(), 80000u);
    EXPECT_EQ(all.count(0), 0u);
    EXPECT_EQ(all.count(CDatafeedSDKManager::kNoInstid), 0u);
}

// Waiting requests before and after the login: answered in time, answered
// too late (dropped, the next request unaffected), answered under another id
// (dropped), and the wait honouring m_timeout.
TEST_F(DatafeedTest, RequestsMatchTheirAnswers) {
    cfg_.m_timeout = 300;
    for (bool loggedIn : {false, true}) {
        SCOPED_TRACE(loggedIn ? "after the login" : "before the login");
        auto s = MakeSession("SH");
        ASSERT_TRUE(Connect(*s, loggedIn));

        uint32_t id = CDatafeedSDKManager::NextInstid();
        RequestResult r = Request(*s, id);
        EXPECT_EQ(r.rc, 1);
        EXPECT_EQ(r.instid, id);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(s->Pending().Size(), 0u);

        // Late: the wait ends at m_timeout, the answer comes afterwards and
        // is dropped; the next request is answered normally.
        SimAnswer late;
        late.delayMs = 600;
        late.status = 2;
        sim_.SetAnswer(kvotest::kSimSubscribeReq, late);
        id = CDatafeedSDKManager::NextInstid();
        r = Request(*s, id);
        EXPECT_EQ(r.rc, 0);
        EXPECT_GE(r.ms, 280);
        EXPECT_LT(r.ms, 1500);
        EXPECT_EQ(s->Pending().Size(), 0u);
        sim_.SetAnswer(kvotest::kSimSubscribeReq, SimAnswer{});
        const uint32_t next = CDatafeedSDKManager::NextInstid();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the late answer arrives meanwhile
        r = Request(*s, next);
        EXPECT_EQ(r.rc, 1);
        EXPECT_EQ(r.instid, next);
        EXPECT_EQ(r.status, 0);

        // An answer naming another request finds none.
        SimAnswer stray;
        stray.instidDelta = 1000;
        sim_.SetAnswer(kvotest::kSimSubscribeReq, stray);
        r = Request(*s, CDatafeedSDKManager::NextInstid());
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(s->Pending().Size(), 0u);
        sim_.SetAnswer(kvotest::kSimSubscribeReq, SimAnswer{});

        // A body that is not a SubscribeRsp names no request either.
        SimAnswer junk;
        junk.rawBody = std::string("\x0a\x05\xff", 3);
        sim_.SetAnswer(kvotest::kSimSubscribeReq, junk);
        r = Request(*s, CDatafeedSDKManager::NextInstid());
        EXPECT_EQ(r.rc, 0);
        sim_.SetAnswer(kvotest::kSimSubscribeReq, SimAnswer{});
    }
    EXPECT_EQ(sim_.FlagViolations(), 0u);
    EXPECT_EQ(sim_.BadBytes(), 0u);
}

// With m_timeout 0 a request waits the default 5000 ms (the real value).
TEST_F(DatafeedTest, DefaultWaitIsFiveSeconds) {
    cfg_.m_timeout = 0;
    auto s = MakeSession("SH");
    EXPECT_EQ(s->AnswerTimeoutMs(), 5000u);
    ASSERT_TRUE(Connect(*s, true));
    sim_.SetSilent(true);
    const RequestResult r = Request(*s, CDatafeedSDKManager::NextInstid());
    EXPECT_EQ(r.rc, 0);
    EXPECT_GE(r.ms, 4950);
    EXPECT_LT(r.ms, 7000);
}

// A request nobody waits for stays pending with its stamp; after the login
// each answer raises the stamp by one and leaves the entry, before the login
// the answer removes it. The entry is freed when the session goes.
TEST_F(DatafeedTest, AsynchronousRequestsKeepTheirEntry) {
    auto s = MakeSession("SH");
    ASSERT_TRUE(Connect(*s, true));
    const uint64_t nowTenths = SessionClock::GetNowMs() / 1000 * 10;
    const uint32_t id = CDatafeedSDKManager::NextInstid();
    const RequestResult r = Request(*s, id, false);
    EXPECT_EQ(r.rc, 1);
    uint64_t stamp = 0;
    ASSERT_TRUE(s->Pending().GetStamp(id, &stamp));
    // The gateway's answer may have raised the stamp by one already.
    EXPECT_LE(stamp % 10, 1u);
    stamp -= stamp % 10;
    EXPECT_GE(stamp, nowTenths);
    EXPECT_LE(stamp, nowTenths + 20);
    ASSERT_TRUE(Eventually([&] {
        uint64_t v = 0;
        return s->Pending().GetStamp(id, &v) && v == stamp + 1;
    }));
    // A second answer to the same id (the gateway repeats itself).
    ASSERT_TRUE(sim_.Write(sim_.Latest(), kvotest::SubscribeAnswerFrame(id, 2)));
    EXPECT_TRUE(Eventually([&] {
        uint64_t v = 0;
        return s->Pending().GetStamp(id, &v) && v == stamp + 2;
    }));
    EXPECT_EQ(s->Pending().Size(), 1u);

    auto fresh = MakeSession("SZ");
    ASSERT_TRUE(Connect(*fresh, false));
    const uint32_t id2 = CDatafeedSDKManager::NextInstid();
    EXPECT_EQ(Request(*fresh, id2, false).rc, 1);
    EXPECT_TRUE(Eventually([&] { return fresh->Pending().Size() == 0; }));
}

// An answer stored after the wait timed out but before the requester took
// its entry back still counts; after that no answer can land.
TEST(PendingTable, AnswerBetweenTimeoutAndRemovalCounts) {
    PendingTable table;
    auto request = std::make_shared<SyncRequest>();
    ASSERT_TRUE(table.Insert(7, request));
    EXPECT_EQ(request->Wait(1), 0);
    EXPECT_TRUE(table.Answer(7, "ab", 2, PendingTable::AnswerMode::kRemove));
    EXPECT_EQ(table.Remove(7, request.get()), nullptr);  // the receiver took it
    corvane::CTLSmartBuffer out;
    EXPECT_EQ(request->GetAnswer(&out), 1);
    EXPECT_EQ(std::string(out.GetData(), out.GetLength()), "ab");

    auto second = std::make_shared<SyncRequest>();
    ASSERT_TRUE(table.Insert(8, second));
    EXPECT_NE(table.Remove(8, second.get()), nullptr);
    EXPECT_FALSE(table.Answer(8, "late", 4, PendingTable::AnswerMode::kRemove));
    EXPECT_EQ(second->GetAnswer(nullptr), 0);

    // Closing wakes the waiters without an answer and refuses newcomers.
    auto third = std::make_shared<SyncRequest>();
    ASSERT_TRUE(table.Insert(9, third));
    std::thread closer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        table.Close();
    });
    const Clock::time_point t0 = Clock::now();
    EXPECT_EQ(third->Wait(10000), 1);
    EXPECT_LT(MsSince(t0), 5000);
    closer.join();
    EXPECT_EQ(third->GetAnswer(nullptr), 0);
    EXPECT_TRUE(third->IsAborted());
    EXPECT_FALSE(table.Insert(10, std::make_shared<SyncRequest>()));
}

// The session is destroyed while "ReceieveThread" waits for an answer that
// never comes (m_timeout 30 s): the wait ends at once, the thread is joined,
// and the destructor returns well within the stop bound.
TEST_F(DatafeedTest, StopWakesAWaitingExchange) {
    cfg_.m_timeout = 30000;
    auto s = MakeSession("SH");
    ASSERT_TRUE(Connect(*s, false));
    sim_.SetSilent(true);
    std::atomic<int> started{0};
    std::atomic<int> result{-1};
    Probe probe{s.get(), &started, &result};
    s->ReceiveThread()->SetHandler(RecrieceDataThreadInfo::kAnswer,
                                   CProcessDataThread::Handler::BindFree<&RunProbe>(&probe));
    auto* item = new RecrieceDataThreadInfo;
    item->m_kind = RecrieceDataThreadInfo::kAnswer;
    ASSERT_TRUE(s->PostReceiveItem(CDatafeedSDKManager::kReceieveThread, item));
    ASSERT_TRUE(Eventually([&] { return started.load() == 1 && sim_.CountOfType(kvotest::kSimSubscribeReq) == 1; }));
    const Clock::time_point t0 = Clock::now();
    s.reset();
    EXPECT_LT(MsSince(t0), 2000);
    EXPECT_EQ(result.load(), 0);
}

// Echo packets come back byte for byte as type 15; push feedback (type 14,
// the push body unchanged) only while loopback sampling is on and the push
// asks for it.
TEST_F(DatafeedTest, EchoAndFeedback) {
    auto s = MakeSession("SH");
    ASSERT_TRUE(Connect(*s, true));
    const size_t c = sim_.Latest();
    const std::string echo = kvotest::PatternBody(300, 3);
    ASSERT_TRUE(sim_.Write(c, kvotest::EchoFrame(echo)));
    ASSERT_TRUE(sim_.Write(c, kvotest::EchoFrame("")));
    ASSERT_TRUE(sim_.WaitForFrames(kvotest::kSimEcho, 2, 5000));
    const auto echoes = sim_.FramesOfType(kvotest::kSimEcho);
    EXPECT_EQ(echoes[0].body, echo);
    EXPECT_EQ(echoes[1].body, "");

    struct Case {
        bool loopback;
        uint8_t flags;
    };
    size_t echoed = 2;
    for (const Case& k : {Case{true, 0}, Case{false, 1}, Case{false, 0}, Case{true, 1}}) {
        s->SetLoopbackSampling(k.loopback);
        const auto push =
            kvotest::MakePush("USHA", 99, kvotest::PatternBody(40, k.flags + 1), 0, 1700000000123ull + k.flags);
        const std::string frame = kvotest::PushFrame(push, k.flags);
        // The echo behind the push comes back once the push was handled, so
        // the next case's switch cannot overtake it.
        ASSERT_TRUE(sim_.WriteFrames(c, {frame, kvotest::EchoFrame("next")}, kvotest::SimWrite::kOneWrite));
        ASSERT_TRUE(sim_.WaitForFrames(kvotest::kSimEcho, ++echoed, 5000));
        if (k.loopback && (k.flags & 1)) {
            ASSERT_TRUE(sim_.WaitForFrames(kvotest::kSimFeedback, 1, 5000));
            EXPECT_EQ(sim_.FramesOfType(kvotest::kSimFeedback).back().body, frame.substr(11));
        }
    }
    // Feedback goes through "processFeedBack" like the echo replies: a last
    // echo after a pause shows nothing more is on its way.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(sim_.Write(c, kvotest::EchoFrame("end")));
    ASSERT_TRUE(sim_.WaitForFrames(kvotest::kSimEcho, ++echoed, 5000));
    EXPECT_EQ(sim_.CountOfType(kvotest::kSimFeedback), 1u);
    EXPECT_EQ(sim_.FlagViolations(), 0u);
}

namespace {

// A push worker that records, for each item, its wire class, the thread that
// took it, and what the receive path put into it.
struct Seen {
    uint32_t wireClass;
    std::string thread;
    uint64_t sampleMs;
    uint64_t pushValue;
    uint16_t frameType;
};

class RecordingWorker : public CTLLockFreeQThreadPool<RecrieceDataThreadInfo*> {
public:
    RecordingWorker(const char* name, std::mutex* mutex, std::vector<Seen>* seen)
        : CTLLockFreeQThreadPool<RecrieceDataThreadInfo*>(name), m_mutex(mutex), m_seen(seen) {}

protected:
    void ProcessTask(RecrieceDataThreadInfo* item) override {
        const auto* header = KvoPackHeader::At(item->m_payload.GetData());
        std::lock_guard<std::mutex> g(*m_mutex);
        m_seen->push_back({item->m_kind, ThreadNameOfCaller(), item->m_sampleMs, item->m_pushValue,
                           item->m_payload.GetLength() >= 11 ? header->GetType() : uint16_t(0)});
        delete item;
    }

private:
    std::mutex* m_mutex;
    std::vector<Seen>* m_seen;
};

// What the recording workers of a session saw.
struct Recorded {
    std::mutex mutex;
    std::vector<Seen> seen;

    // Starts a recording worker of that name and installs it in the slot.
    ::testing::AssertionResult Install(CDatafeedSDKManager& s, CDatafeedSDKManager::WorkerSlot slot, const char* name) {
        auto* w = new RecordingWorker(name, &mutex, &seen);
        if (w->Start(1) != 1u) return ::testing::AssertionFailure() << name << " did not start";
        if (!s.InstallWorker(slot, w)) return ::testing::AssertionFailure() << name << " not installed";
        return ::testing::AssertionSuccess();
    }
    size_t Size() {
        std::lock_guard<std::mutex> g(mutex);
        return seen.size();
    }
};

}  // namespace

// After the login unknown wire classes are dropped, every push keeps its
// frame type and carries its datatime, and index sampling is consumed by
// class 2 but not by class 9 (which shares its worker). Which worker takes
// each class, in every write mode, the push-road tests check through the
// host callbacks.
TEST_F(DatafeedTest, PushesKeepTheirTimesAndConsumeTheirSampling) {
    auto s = MakeSession("SH");
    Recorded rec;
    const char* names[CDatafeedSDKManager::kPushWorkers] = {"ProcessIndexTick",   "processOrderqueue",
                                                            "ProcessStockTick",   "processOrder",
                                                            "processTransaction", "processSuperStock"};
    for (uint32_t slot = 0; slot < CDatafeedSDKManager::kPushWorkers; ++slot) {
        ASSERT_TRUE(rec.Install(*s, static_cast<CDatafeedSDKManager::WorkerSlot>(slot), names[slot]));
    }
    // A slot is filled once.
    RecordingWorker spare("spare", &rec.mutex, &rec.seen);
    EXPECT_FALSE(s->InstallWorker(CDatafeedSDKManager::kProcessIndexTick, &spare));
    EXPECT_FALSE(s->InstallWorker(CDatafeedSDKManager::kReceieveThread, &spare));
    ASSERT_TRUE(Connect(*s, true));

    const std::map<uint32_t, std::string> expected = {
        {1, "ProcessStockTick"}, {2, "ProcessIndexTick"}, {8, "processOrder"}, {9, "ProcessIndexTick"}};
    s->ArmSampling(CDatafeedSDKManager::kSampleIndex);
    s->ArmSampling(CDatafeedSDKManager::kSampleOrder);
    const uint64_t datatime = 20250428093005250ull;
    std::vector<std::string> frames;
    for (uint32_t cls : {0u, 9u, 1u, 2u, 8u, 99u}) {
        frames.push_back(
            kvotest::PushFrame(kvotest::MakePush("USHA", static_cast<int32_t>(cls), "hq1.0", 0, 5, datatime), 0,
                               static_cast<uint16_t>(20 + cls % 8)));
    }
    const uint64_t wallBefore = SessionClock::GetNowMs();
    ASSERT_TRUE(sim_.WriteFrames(sim_.Latest(), frames, kvotest::SimWrite::kOneWrite));
    ASSERT_TRUE(Eventually([&] { return rec.Size() == expected.size(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // nothing more arrives
    const uint64_t wallAfter = SessionClock::GetNowMs();

    std::lock_guard<std::mutex> g(rec.mutex);
    ASSERT_EQ(rec.seen.size(), expected.size());
    std::set<uint32_t> classes;
    for (const Seen& x : rec.seen) {
        SCOPED_TRACE(x.wireClass);
        classes.insert(x.wireClass);
        ASSERT_TRUE(expected.count(x.wireClass));
        EXPECT_EQ(x.thread, expected.at(x.wireClass));
        EXPECT_EQ(x.frameType, 20 + x.wireClass % 8);
        EXPECT_EQ(x.pushValue, datatime);  // every class carries its datatime
        // No produce_time: only a consumed sampling flag gives a sample time.
        const bool sampled = x.wireClass == 2 || x.wireClass == 8;
        if (sampled) {
            EXPECT_GE(x.sampleMs, wallBefore);
            EXPECT_LE(x.sampleMs, wallAfter);
        } else {
            EXPECT_EQ(x.sampleMs, 0u);
        }
    }
    EXPECT_EQ(classes.size(), expected.size());
    EXPECT_FALSE(s->IsSamplingArmed(CDatafeedSDKManager::kSampleIndex));
    EXPECT_FALSE(s->IsSamplingArmed(CDatafeedSDKManager::kSampleOrder));
}

// Before the login pushes, echo and heartbeat answers are not routed; after
// it a heartbeat answer sets the answer time and a push with a produce time
// is sampled.
TEST_F(DatafeedTest, LoginStateGatesTheRouting) {
    auto s = MakeSession("SH");
    Recorded rec;
    ASSERT_TRUE(rec.Install(*s, CDatafeedSDKManager::kProcessStockTick, "ProcessStockTick"));
    ASSERT_TRUE(Connect(*s, false));
    const size_t c = sim_.Latest();
    const std::string push = kvotest::PushFrame(kvotest::MakePush("USHA", 1, "x", 1700000000000ull, 1), 1);
    ASSERT_TRUE(sim_.WriteFrames(c, {push, kvotest::EchoFrame("e"), kvotest::HeartbeatAnswerFrame()},
                                 kvotest::SimWrite::kOneWrite));
    // A waiting request answered afterwards shows the earlier frames were read.
    EXPECT_EQ(Request(*s, CDatafeedSDKManager::NextInstid()).rc, 1);
    EXPECT_EQ(s->LastHeartbeatAnswer(), 0u);
    EXPECT_EQ(sim_.CountOfType(kvotest::kSimEcho), 0u);
    EXPECT_EQ(sim_.CountOfType(kvotest::kSimFeedback), 0u);
    EXPECT_EQ(rec.Size(), 0u);

    ASSERT_TRUE(s->EnterSessionReceive(s->ConnectionId()));
    EXPECT_FALSE(s->EnterSessionReceive(s->ConnectionId() + 1));
    const uint64_t before = SessionClock::GetNowMs();
    ASSERT_TRUE(sim_.WriteFrames(c, {push, kvotest::HeartbeatAnswerFrame()}, kvotest::SimWrite::kOneWrite));
    ASSERT_TRUE(Eventually([&] { return s->LastHeartbeatAnswer() != 0; }));
    EXPECT_GE(s->LastHeartbeatAnswer(), before / 1000);
    EXPECT_LE(s->LastHeartbeatAnswer(), SessionClock::GetNowMs() / 1000);
    ASSERT_TRUE(sim_.WaitForFrames(kvotest::kSimFeedback, 1, 5000));
    ASSERT_TRUE(Eventually([&] { return rec.Size() == 1; }));
    std::lock_guard<std::mutex> g(rec.mutex);
    EXPECT_GE(rec.seen[0].sampleMs, before);

    // A new connection starts in the login state again.
    ASSERT_TRUE(Connect(*s, false));
    EXPECT_FALSE(s->InSessionReceive());
}

// The session goes while the gateway floods it with pushes, echoes and
// answers: nothing runs on it afterwards (AddressSanitizer and
// ThreadSanitizer watch), and every queued item is freed.
TEST_F(DatafeedTest, DestroyUnderTraffic) {
    for (int round = 0; round < 3; ++round) {
        auto s = MakeSession("SH");
        Recorded rec;
        ASSERT_TRUE(rec.Install(*s, CDatafeedSDKManager::kProcessStockTick, "ProcessStockTick"));
        ASSERT_TRUE(rec.Install(*s, CDatafeedSDKManager::kProcessTransaction, "processTransaction"));
        ASSERT_TRUE(Connect(*s, true));
        const size_t c = sim_.Latest();
        std::atomic<bool> stop{false};
        std::thread flood([&] {
            const std::string batch = kvotest::JoinStream(
                {kvotest::PushFrame(kvotest::MakePush("USHA", 1, std::string(200, 'a')), 1),
                 kvotest::PushFrame(kvotest::MakePush("USHA", 5, std::string(300, 'b')), 1), kvotest::EchoFrame("echo"),
                 kvotest::SubscribeAnswerFrame(12345, 0), kvotest::HeartbeatAnswerFrame()});
            while (!stop.load() && sim_.Write(c, batch)) {
            }
        });
        for (int i = 0; i < 5; ++i) Request(*s, CDatafeedSDKManager::NextInstid(), false);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        s.reset();
        stop.store(true);
        flood.join();
        EXPECT_NE(rec.Size(), 0u);
    }
}
