// The main road of a market session against the gateway simulator: pushes
// of every wire class, in every write mode and image family, reach the host
// callback of their kind on the worker of their class with the exact
// records and the batch's PushTiming; pushes queued while a worker is busy
// form one batch; batches are merged per kind, ordered and sorted as asked;
// bad pushes are dropped without stopping the road.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "datapacket.pro.pb.h"
#include "session/datafeed_manager.h"
#include "session/push_workers.h"
#include "simulator/frame_writer.h"
#include "tests/support/net_wait.h"
#include "tests/support/push_images.h"
#include "tests/support/record_builder.h"
#include "tests/support/session_fixture.h"

using kvotest::CodeRun;
using kvotest::Eventually;
using kvotest::ImageForm;
using kvotest::ThreadNameOfCaller;
using rb::Str;
using rb::V;
using M = CDatafeedSDKManager;

namespace {

// One call of a host data callback.
struct Call {
    std::string kind;  // "index", "stock", "tran", "order", "queue", "five", "super"
    std::string thread;
    uint32_t count = 0;
    std::string bytes;
    PushTiming timing{};

    template <class Rec>
    std::vector<Rec> Records() const {
        std::vector<Rec> out(count);
        std::memcpy(static_cast<void*>(out.data()), bytes.data(), std::min(bytes.size(), count * sizeof(Rec)));
        return out;
    }
};

// What the host received. Calls of one kind can be held at their entry
// (the worker then stays busy while the test queues more pushes).
struct Host {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<Call> calls;
    std::string holdKind;
    bool holding = false;
    int held = 0;

    void Add(Call c) {
        std::unique_lock<std::mutex> g(mutex);
        const bool hold = holding && c.kind == holdKind;
        calls.push_back(std::move(c));
        cv.notify_all();
        if (!hold) return;
        ++held;
        cv.wait(g, [&] { return !holding; });
    }
    std::vector<Call> Of(const std::string& kind) {
        std::lock_guard<std::mutex> g(mutex);
        std::vector<Call> out;
        for (const Call& c : calls)
            if (c.kind == kind) out.push_back(c);
        return out;
    }
    uint32_t RecordsOf(const std::string& kind) {
        uint32_t n = 0;
        for (const Call& c : Of(kind)) n += c.count;
        return n;
    }
    size_t Size() {
        std::lock_guard<std::mutex> g(mutex);
        return calls.size();
    }
    void Clear() {
        std::lock_guard<std::mutex> g(mutex);
        calls.clear();
    }
    void Hold(const std::string& kind) {
        std::lock_guard<std::mutex> g(mutex);
        holdKind = kind;
        holding = true;
        held = 0;
    }
    bool WaitHeld(int n) {
        std::unique_lock<std::mutex> g(mutex);
        return cv.wait_for(g, std::chrono::seconds(5), [&] { return held >= n; });
    }
    void Release() {
        std::lock_guard<std::mutex> g(mutex);
        holding = false;
        cv.notify_all();
    }
};

Host g_host;

template <class Rec>
int32_t Record(const char* kind, const void* records, uint32_t count, const PushTiming* timing) {
    Call c;
    c.kind = kind;
    c.thread = ThreadNameOfCaller();
    c.count = count;
    c.bytes.assign(static_cast<const char*>(records), size_t(count) * sizeof(Rec));
    c.timing = *timing;
    g_host.Add(std::move(c));
    return 0;
}

int32_t OnIndex(void*, const void* r, uint32_t n, const PushTiming* t) { return Record<TickIndex>("index", r, n, t); }
int32_t OnStock(void*, const void* r, uint32_t n, const PushTiming* t) { return Record<TickStock>("stock", r, n, t); }
int32_t OnTran(void*, const void* r, uint32_t n, const PushTiming* t) { return Record<Transaction>("tran", r, n, t); }
int32_t OnOrder(void*, const void* r, uint32_t n, const PushTiming* t) { return Record<OrderData>("order", r, n, t); }
int32_t OnFive(void*, const void* r, uint32_t n, const PushTiming* t) { return Record<FiveLevelTick>("five", r, n, t); }
int32_t OnSuper(void*, const void* r, uint32_t n, const PushTiming* t) { return Record<SuperStock>("super", r, n, t); }
int32_t OnQueue(void*, const void* r, uint32_t n, const PushTiming* t) {
    // One queue per call, 47 bytes and 4 per volume.
    const auto* q = static_cast<const OrderQueue*>(r);
    Call c;
    c.kind = "queue";
    c.thread = ThreadNameOfCaller();
    c.count = n;
    c.bytes.assign(static_cast<const char*>(r), KvoOrderQueueSize(static_cast<uint32_t>(q->show_number)));
    c.timing = *t;
    g_host.Add(std::move(c));
    return 0;
}

constexpr uint64_t kDatatime = 20250428093005250ull;    // of the pushes
constexpr uint64_t kRecordTime = 20250428093001000ull;  // inside the trade records

class PushRoadTest : public kvotest::SimSessionTest {
protected:
    void SetUp() override {
        kvotest::SimSessionTest::SetUp();
        g_host.Clear();
        cfg_.fnctickindex = &OnIndex;
        cfg_.fnctickstock = &OnStock;
        cfg_.fnctransacton = &OnTran;
        cfg_.fncorderdata = &OnOrder;
        cfg_.fncorderqueue = &OnQueue;
        cfg_.fncfivelevel = &OnFive;
        cfg_.fncsuperstock = &OnSuper;
    }
    void TearDown() override {
        g_host.Release();
        kvotest::SimSessionTest::TearDown();
    }

    // A logged-in session subscribed to every host class of USHA.
    std::unique_ptr<CDatafeedSDKManager> SubscribedSession() {
        auto s = MakeSession("SH");
        EXPECT_TRUE(Connect(*s, true));
        for (uint32_t cls = 1; cls <= 6; ++cls) EXPECT_EQ(s->SubScribe(cls, 1, "USHA", "(600000)", true), 0);
        return s;
    }

    static std::string Push(int32_t wireClass, const std::string& payload, uint64_t produce, uint64_t send,
                            uint64_t datatime = kDatatime) {
        return kvotest::PushFrame(kvotest::MakePush("USHA", wireClass, payload, produce, send, datatime), 0,
                                  static_cast<uint16_t>(20 + wireClass % 8));
    }
};

// The payload a wire class is pushed with in the every-class test; records
// of class c carry indexes from 100 * c.
std::string PayloadOf(int32_t c, ImageForm form) {
    const std::vector<CodeRun> runs = {{"600000", 100 * c, 2}};
    switch (c) {
    case 1:
        return kvotest::StockTickImage(17, {"600000", "600036"}, 93000500, form);
    case 2:
        return kvotest::IndexTickImage(16, {"1A0001"}, 0, form);
    case 3:
    case 4:
        return kvotest::QueueImage(17, {"600000"}, kRecordTime, 3, form);
    case 6:
    case 7:
        return kvotest::CancelImage(17, runs, kRecordTime, form);
    case 8:
    case 12:
        return kvotest::OrderImage(33, runs, kRecordTime, form);
    case 9:
        return kvotest::FiveLevelImage(17, {"600000"}, form);
    case 10:
        return kvotest::SuperStockImage(17, {"600000"}, form);
    default:  // 5, 11, 13
        return kvotest::TransactionImage(17, runs, kRecordTime, form);
    }
}

// Every record of the kind's calls, ordered by index.
template <class Rec>
std::vector<Rec> SortedByIndex(const std::string& kind) {
    std::vector<Rec> all;
    for (const Call& call : g_host.Of(kind)) {
        for (const Rec& r : call.Records<Rec>()) all.push_back(r);
    }
    std::sort(all.begin(), all.end(), [](const Rec& a, const Rec& b) { return V(a.index) < V(b.index); });
    return all;
}

void ExpectTrades(const std::vector<Transaction>& all) {
    ASSERT_EQ(all.size(), 10u);
    const int32_t classes[5] = {5, 6, 7, 11, 13};
    for (size_t i = 0; i < all.size(); ++i) {
        const Transaction& t = all[i];
        const int32_t c = classes[i / 2];
        const int32_t index = 100 * c + int32_t(i % 2);
        SCOPED_TRACE(index);
        EXPECT_EQ(Str(t.market, 5), "USHA");
        EXPECT_EQ(Str(t.code, 16), "600000");
        EXPECT_EQ(V(t.index), index);
        EXPECT_EQ(V(t.Bizindex), index + 1000);
        EXPECT_EQ(V(t.channel), 7);
        EXPECT_DOUBLE_EQ(V(t.price), kvotest::PushPriceOf(index));
        EXPECT_EQ(V(t.volume), kvotest::PushVolumeOf(index));
        EXPECT_EQ(V(t.date), 20250428);
        EXPECT_EQ(V(t.time), 93001000);
        const bool cancel = c == 6 || c == 7;
        EXPECT_EQ(Str(t.type, 2), cancel ? "C" : "F");
        EXPECT_EQ(V(t.buy_index), c == 6 ? 3 * index : (cancel ? 0 : 2 * index));
        EXPECT_EQ(V(t.sell_index), c == 7 ? 3 * index : (cancel ? 0 : 2 * index + 1));
        if (cancel) {
            EXPECT_EQ(Str(t.bsflag, 2), c == 6 ? "B" : "S");
        }
    }
}

}  // namespace

// Every wire class, pushed one per write, all in one write, split across
// writes and behind stray bytes, in all three image families, reaches its
// host callback on its worker with the exact records and timing.
TEST_F(PushRoadTest, EveryWireClassReachesItsCallback) {
    auto s = SubscribedSession();
    const char* names[M::kPushWorkers] = {"ProcessIndexTick", "processOrderqueue",  "ProcessStockTick",
                                          "processOrder",     "processTransaction", "processSuperStock"};
    for (uint32_t slot = 0; slot < M::kPushWorkers; ++slot) {
        ASSERT_NE(s->Worker(M::WorkerSlot(slot)), nullptr);
        EXPECT_EQ(s->Worker(M::WorkerSlot(slot))->GetName(), names[slot]);
    }
    const size_t c = sim_.Latest();
    const ImageForm forms[3] = {ImageForm::kNative, ImageForm::kHq6, ImageForm::kCompact};
    const kvotest::SimWrite modes[4] = {kvotest::SimWrite::kOnePerWrite, kvotest::SimWrite::kOneWrite,
                                        kvotest::SimWrite::kSplit, kvotest::SimWrite::kGarbageFirst};
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        g_host.Clear();
        const uint64_t produce = 1745803805000ull + uint64_t(round);
        const uint64_t send = produce + 3;
        std::vector<std::string> frames;
        for (int32_t cls = 1; cls <= 13; ++cls) {
            frames.push_back(Push(cls, PayloadOf(cls, forms[(cls + round) % 3]), produce, send));
        }
        const uint64_t before = SessionClock::GetNowMs();
        ASSERT_TRUE(sim_.WriteFrames(c, frames, modes[round], 6, 5));
        ASSERT_TRUE(Eventually([&] {
            return g_host.RecordsOf("tran") == 10 && g_host.RecordsOf("order") == 4 && g_host.RecordsOf("stock") == 2 &&
                   g_host.RecordsOf("index") == 1 && g_host.Of("queue").size() == 2 && g_host.RecordsOf("five") == 1 &&
                   g_host.RecordsOf("super") == 1;
        }));
        std::this_thread::sleep_for(std::chrono::milliseconds(30));  // nothing more comes
        const uint64_t after = SessionClock::GetNowMs();
        ASSERT_EQ(g_host.Size(), g_host.Of("tran").size() + g_host.Of("order").size() + 6);

        const std::map<std::string, std::string> threads = {
            {"tran", "processTransaction"}, {"order", "processOrder"},    {"stock", "ProcessStockTick"},
            {"index", "ProcessIndexTick"},  {"five", "ProcessIndexTick"}, {"queue", "processOrderqueue"},
            {"super", "processSuperStock"}};
        for (const auto& [kind, thread] : threads) {
            for (const Call& call : g_host.Of(kind)) {
                EXPECT_EQ(call.thread, thread) << kind;
                EXPECT_EQ(call.timing.produce_time, produce) << kind;
                EXPECT_EQ(call.timing.send_time, send) << kind;
                EXPECT_GE(call.timing.receive_time, before) << kind;
                EXPECT_LE(call.timing.receive_time, after) << kind;
            }
        }

        ExpectTrades(SortedByIndex<Transaction>("tran"));
        const std::vector<OrderData> orders = SortedByIndex<OrderData>("order");
        ASSERT_EQ(orders.size(), 4u);
        const int32_t orderIndexes[4] = {800, 801, 1200, 1201};
        for (size_t i = 0; i < 4; ++i) {
            EXPECT_EQ(Str(orders[i].market, 5), "USZA");
            EXPECT_EQ(V(orders[i].index), orderIndexes[i]);
            EXPECT_EQ(V(orders[i].field_77), kvotest::PushField77Of(orderIndexes[i]));
            EXPECT_EQ(V(orders[i].volume), kvotest::PushVolumeOf(orderIndexes[i]));
            EXPECT_EQ(V(orders[i].date), 20250428);
        }

        const auto stock = g_host.Of("stock")[0].Records<TickStock>();
        EXPECT_EQ(Str(stock[0].code, 16), "600000");
        EXPECT_EQ(Str(stock[1].code, 16), "600036");
        EXPECT_EQ(Str(stock[1].codename, 20), "NAME1");
        EXPECT_DOUBLE_EQ(V(stock[1].new_price), 11.0);
        EXPECT_EQ(V(stock[1].volume), 2000);
        EXPECT_EQ(V(stock[0].date), 20250428);
        EXPECT_EQ(V(stock[0].time), 93000500);  // the record's own time of day

        const auto index = g_host.Of("index")[0].Records<TickIndex>();
        EXPECT_EQ(Str(index[0].market, 5), "USHI");
        EXPECT_EQ(Str(index[0].code, 16), "000001");
        EXPECT_DOUBLE_EQ(V(index[0].new_price), 3000.0);
        EXPECT_EQ(V(index[0].date), 20250428);
        EXPECT_EQ(V(index[0].time), 93005250);  // no time of day: the push's

        // Five-level ticks take their date and time from the push alone.
        const auto five = g_host.Of("five")[0].Records<FiveLevelTick>();
        EXPECT_EQ(Str(five[0].code, 16), "600000");
        EXPECT_DOUBLE_EQ(V(five[0].new_price), 20.0);
        EXPECT_EQ(V(five[0].date), 20250428);
        EXPECT_EQ(V(five[0].time), 93005250);

        std::vector<char> sides;
        for (const Call& call : g_host.Of("queue")) {
            const auto* q = reinterpret_cast<const OrderQueue*>(call.bytes.data());
            sides.push_back(q->side[0]);
            EXPECT_EQ(V(q->show_number), 3);
            EXPECT_EQ(KvoOrderQueueVolume(q, 2), 300);
            EXPECT_DOUBLE_EQ(V(q->price), 5.0);
            EXPECT_EQ(V(q->date), 20250428);
        }
        std::sort(sides.begin(), sides.end());
        EXPECT_EQ(sides, (std::vector<char>{'B', 'S'}));

        const auto book = g_host.Of("super")[0].Records<SuperStock>();
        EXPECT_EQ(Str(book[0].code, 16), "600000");
        EXPECT_DOUBLE_EQ(V(book[0].new_price), 30.0);
        EXPECT_DOUBLE_EQ(V(book[0].bidorder_price[0]), 29.99);
        EXPECT_DOUBLE_EQ(V(book[0].askorder_price[0]), 30.01);
    }
    EXPECT_EQ(sim_.FlagViolations(), 0u);
}

// Pushes queued while the worker is busy form one batch: one callback per
// kind with every record in push order, a push without an image and one
// with no records changing nothing. Each stock image keeps its own push's
// datatime; the batch's timing is the push with a produce time, or the
// first push when none has one.
TEST_F(PushRoadTest, QueuedPushesFormOneBatch) {
    auto s = SubscribedSession();
    const size_t c = sim_.Latest();

    g_host.Hold("tran");
    ASSERT_TRUE(sim_.Write(c, Push(5, PayloadOf(5, ImageForm::kNative), 0, 1)));
    ASSERT_TRUE(g_host.WaitHeld(1));
    const std::string trades10 = kvotest::TransactionImage(17, {{"600000", 0, 4}, {"600036", 4, 6}}, kRecordTime);
    const std::string trades0 = kvotest::TransactionImage(17, {}, kRecordTime);
    const std::string trades5 = kvotest::TransactionImage(33, {{"000001", 20, 5}}, kRecordTime, ImageForm::kHq6);
    ASSERT_TRUE(sim_.WriteFrames(c,
                                 {Push(5, trades10, 0, 11), Push(11, "no image in here", 0, 12),
                                  Push(13, trades0, 0, 13), Push(5, trades5, 0, 14)},
                                 kvotest::SimWrite::kOneWrite));
    auto* worker = static_cast<RecrieceDataWorker*>(s->Worker(M::kProcessTransaction));
    ASSERT_TRUE(Eventually([&] { return worker->GetQueueLength() == 4; }));
    g_host.Release();
    ASSERT_TRUE(Eventually([&] { return g_host.Of("tran").size() == 2; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    const auto calls = g_host.Of("tran");
    ASSERT_EQ(calls.size(), 2u);
    ASSERT_EQ(calls[1].count, 15u);
    const auto trades = calls[1].Records<Transaction>();
    for (uint32_t i = 0; i < 15; ++i) {
        EXPECT_EQ(V(trades[i].index), i < 10 ? int32_t(i) : int32_t(i + 10));
        EXPECT_EQ(Str(trades[i].code, 16), i < 4 ? "600000" : (i < 10 ? "600036" : "000001"));
    }
    // No produce time anywhere: the first push's send time, no receive time.
    EXPECT_EQ(calls[1].timing.produce_time, 0u);
    EXPECT_EQ(calls[1].timing.send_time, 11u);
    EXPECT_EQ(calls[1].timing.receive_time, 0u);

    // Three stock pushes, the middle one without an image header.
    g_host.Hold("stock");
    ASSERT_TRUE(sim_.Write(c, Push(1, kvotest::StockTickImage(17, {"601318"}, 0), 0, 1)));
    ASSERT_TRUE(g_host.WaitHeld(1));
    const uint64_t day1 = 20250102093000100ull, day2 = 20250103100000200ull;
    const uint64_t before = SessionClock::GetNowMs();
    ASSERT_TRUE(sim_.WriteFrames(
        c,
        {Push(1, kvotest::StockTickImage(17, {"600000", "600036"}, 0), 0, 21, day1),
         Push(1, "hq7.0 is no header", 1745803805000ull, 22, day1),
         Push(1, kvotest::StockTickImage(33, {"000001"}, 0, ImageForm::kHq6), 1745803806000ull, 23, day2)},
        kvotest::SimWrite::kOneWrite));
    worker = static_cast<RecrieceDataWorker*>(s->Worker(M::kProcessStockTick));
    ASSERT_TRUE(Eventually([&] { return worker->GetQueueLength() == 3; }));
    g_host.Release();
    ASSERT_TRUE(Eventually([&] { return g_host.Of("stock").size() == 2; }));
    const Call batch = g_host.Of("stock")[1];
    ASSERT_EQ(batch.count, 3u);
    const auto ticks = batch.Records<TickStock>();
    EXPECT_EQ(Str(ticks[0].code, 16), "600000");
    EXPECT_EQ(Str(ticks[2].market, 5), "USZA");
    EXPECT_EQ(V(ticks[1].date), 20250102);
    EXPECT_EQ(V(ticks[1].time), 93000100);
    EXPECT_EQ(V(ticks[2].date), 20250103);
    EXPECT_EQ(V(ticks[2].time), 100000200);
    EXPECT_EQ(batch.timing.produce_time, 1745803806000ull);
    EXPECT_EQ(batch.timing.send_time, 23u);
    EXPECT_GE(batch.timing.receive_time, before);
}

// Backlogs of 2,000, 500 and 4,000 stock records on one worker (which keeps
// its join array between them) each arrive as one batch, the same bytes as
// the images converted one by one.
TEST_F(PushRoadTest, BacklogsOfLargeBatchesDeliverEveryRecord) {
    auto s = SubscribedSession();
    auto ref = MakeSession("SH");
    auto* worker = static_cast<RecrieceDataWorker*>(s->Worker(M::kProcessStockTick));
    int32_t time = 93000000;
    for (const int pushes : {40, 10, 80}) {
        std::vector<std::string> frames, bytes;
        for (int p = 0; p < pushes; ++p) {
            std::vector<std::string> codes;
            for (int i = 0; i < 50; ++i) codes.push_back(std::to_string(600000 + 50 * p + i));
            bytes.push_back(kvotest::StockTickImage(17, codes, ++time, p % 2 ? ImageForm::kHq6 : ImageForm::kNative));
            frames.push_back(Push(1, bytes.back(), 0, 5));
        }
        g_host.Clear();
        g_host.Hold("stock");
        ASSERT_TRUE(sim_.Write(sim_.Latest(), Push(1, kvotest::StockTickImage(17, {"601318"}, 0), 0, 1)));
        ASSERT_TRUE(g_host.WaitHeld(1));
        ASSERT_TRUE(sim_.WriteFrames(sim_.Latest(), frames, kvotest::SimWrite::kOneWrite));
        ASSERT_TRUE(Eventually([&] { return worker->GetQueueLength() == pushes; }));
        g_host.Release();
        ASSERT_TRUE(Eventually([&] { return g_host.Of("stock").size() == 2; }));
        const Call batch = g_host.Of("stock")[1];
        g_host.Clear();
        for (const std::string& b : bytes) {
            const PushImage one{uint32_t(b.size()), reinterpret_cast<const uint8_t*>(b.data()), kDataStockPush};
            ASSERT_EQ(ref->ProcessPushFiles({one}, 0, 5, 0, kDatatime), 1);
        }
        std::string expected;
        for (const Call& call : g_host.Of("stock")) expected += call.bytes;
        EXPECT_EQ(batch.count, uint32_t(50 * pushes));
        EXPECT_TRUE(batch.bytes == expected) << pushes;
    }
}

// The join arrays' roads, their bounds lowered to a heap array of 2 KiB and
// a mapping of 16 KiB: a backlog that grows the heap array and moves it
// into the mapping, one above the bound (an array of its own, the kept
// prefix copied), the pages given back while small batches keep coming,
// the release when the worker goes idle, and growths that fail. Every batch
// holds each record once, in order: the bytes of its images converted one
// by one.
TEST_F(PushRoadTest, JoinArraysTakeEveryRoad) {
    struct Limits {
        explicit Limits(const BatchArrayLimits& l) { SetBatchArrayLimits(l); }
        ~Limits() { SetBatchArrayLimits(BatchArrayLimits{}); }
    } limits(BatchArrayLimits{2048, 16384, 50});
    // The figures below are the worker's alone: this thread's arrays (of
    // batches other tests converted here) go.
    ReleaseBatchArrays();
    auto s = SubscribedSession();
    auto ref = MakeSession("SH");
    auto* worker = static_cast<RecrieceDataWorker*>(s->Worker(M::kProcessTransaction));
    const size_t page = size_t(::sysconf(_SC_PAGESIZE));
    int32_t index = 0;
    // A push of `images` images of n trades each, and their bytes converted
    // one image at a time (on this thread, from the reference session).
    auto push = [&](int images, int n, std::string* want) {
        std::string payload;
        for (int i = 0; i < images; ++i) {
            const std::string image = kvotest::TransactionImage(17, {{"600000", index, uint32_t(n)}}, kRecordTime);
            index += n;
            payload += image;
            g_host.Clear();
            const PushImage one{uint32_t(image.size()), reinterpret_cast<const uint8_t*>(image.data()),
                                kDataTransactionPush};
            EXPECT_EQ(ref->ProcessPushFiles({one}, 0, 5, 0, kDatatime), 1);
            for (const Call& c : g_host.Of("tran")) *want += c.bytes;
        }
        return Push(5, payload, 0, 5);
    };
    // Pushes of n trades queued behind a held one, taken as one batch.
    auto batch = [&](int pushes, int n) {
        std::vector<std::string> frames;
        std::string want;
        for (int p = 0; p < pushes; ++p) frames.push_back(push(1, n, &want));
        std::string lead;
        const std::string first = push(1, 1, &lead);
        g_host.Clear();
        g_host.Hold("tran");
        EXPECT_TRUE(sim_.Write(sim_.Latest(), first));
        EXPECT_TRUE(g_host.WaitHeld(1));
        EXPECT_TRUE(sim_.WriteFrames(sim_.Latest(), frames, kvotest::SimWrite::kOneWrite));
        EXPECT_TRUE(Eventually([&] { return worker->GetQueueLength() == pushes; }));
        g_host.Release();
        EXPECT_TRUE(Eventually([&] { return g_host.Of("tran").size() == 2; }));
        const auto calls = g_host.Of("tran");
        ASSERT_EQ(calls.size(), 2u);
        EXPECT_EQ(calls[1].count, uint32_t(pushes * n));
        EXPECT_TRUE(calls[1].bytes == want) << pushes << " pushes of " << n;
    };

    batch(40, 5);  // 13,800 bytes: the heap array grows, then moves into the mapping
    EXPECT_GE(BatchArrayResidentBytes(), 13800u);
    batch(60, 5);  // 20,700 bytes: above the bound
    // Small batches (a push of two images) every 10 ms: within a few windows
    // the mapping keeps only the page they use.
    bool givenBack = false;
    for (int i = 0; i < 100 && !givenBack; ++i) {
        std::string want;
        const std::string frame = push(2, 2, &want);
        g_host.Clear();
        ASSERT_TRUE(sim_.Write(sim_.Latest(), frame));
        ASSERT_TRUE(Eventually([&] { return g_host.Of("tran").size() == 1; }));
        EXPECT_TRUE(g_host.Of("tran")[0].bytes == want);
        givenBack = BatchArrayResidentBytes() <= page;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(givenBack) << BatchArrayResidentBytes();
    // Idle for a second: everything is freed.
    EXPECT_TRUE(Eventually([] { return BatchArrayResidentBytes() == 0; }));
    // Growing past 1 KiB fails: the first two pushes' records stay in the
    // array that could be had, the rest go with them into one of its own.
    SetBatchArrayLimits(BatchArrayLimits{2048, 16384, 50, 1024});
    batch(4, 5);
    EXPECT_EQ(BatchArrayResidentBytes(), 2 * 5 * sizeof(Transaction));
}

// A batch converts, merges and hands over in the kinds' order
// (transactions, orders, stock, super stock), sorting transactions by index
// and orders by field_77 on the first exchange, by index elsewhere, when the
// sort switch is on. Images that do not open are dropped, and a kind
// without a callback is neither converted nor delivered.
TEST_F(PushRoadTest, BatchesMergeSortAndKeepTheKindOrder) {
    cfg_.m_altdataclass = 1;
    cfg_.m_sortpush = 1;
    auto s = MakeSession("SH");
    const std::string trades = kvotest::TransactionImage(17, {{"600036", 30, 3}, {"600000", 10, 3}}, kRecordTime);
    const std::string more = kvotest::CancelImage(17, {{"600000", 20, 2}}, kRecordTime);
    const std::string ordersSh = kvotest::OrderImage(17, {{"600036", 50, 2}, {"600000", 40, 2}}, kRecordTime);
    const std::string ordersSz = kvotest::OrderImage(33, {{"000002", 70, 2}, {"000001", 60, 2}}, kRecordTime);
    const std::string stock = kvotest::StockTickImage(17, {"600000"}, 0);
    const std::string book = kvotest::SuperStockImage(17, {"600000", "600036"});
    const std::string broken = "hq6.0" + std::string(40, '\x01');
    auto image = [](const std::string& bytes, uint32_t id) {
        PushImage i;
        i.data = reinterpret_cast<const uint8_t*>(bytes.data());
        i.length = uint32_t(bytes.size());
        i.id = id;
        return i;
    };
    const std::vector<PushImage> batch = {image(book, kDataSuperStockPush),    image(stock, kDataStockPush),
                                          image(ordersSh, kDataOrderPush),     image(broken, kDataTransactionPush),
                                          image(trades, kDataTransactionPush), image(more, kDataBuyCancelPush),
                                          image(stock, kDataIndexPush)};
    EXPECT_EQ(s->ProcessPushFiles(batch, 0, 9, 0, kDatatime), 1);
    ASSERT_EQ(g_host.Size(), 4u);
    std::vector<std::string> order;
    for (const std::string kind : {"tran", "order", "stock", "super"}) ASSERT_EQ(g_host.Of(kind).size(), 1u) << kind;
    {
        std::lock_guard<std::mutex> g(g_host.mutex);
        for (const Call& call : g_host.calls) order.push_back(call.kind);
    }
    EXPECT_EQ(order, (std::vector<std::string>{"tran", "order", "stock", "super"}));
    std::vector<int32_t> indexes;
    for (const Transaction& t : g_host.Of("tran")[0].Records<Transaction>()) indexes.push_back(V(t.index));
    EXPECT_EQ(indexes, (std::vector<int32_t>{10, 11, 12, 20, 21, 30, 31, 32}));
    std::vector<int32_t> f77;
    for (const OrderData& o : g_host.Of("order")[0].Records<OrderData>()) f77.push_back(V(o.field_77));
    EXPECT_EQ(f77, (std::vector<int32_t>{kvotest::PushField77Of(51), kvotest::PushField77Of(50),
                                         kvotest::PushField77Of(41), kvotest::PushField77Of(40)}));
    EXPECT_EQ(g_host.Of("super")[0].count, 2u);
    for (const Call& call : g_host.calls) {
        EXPECT_EQ(call.timing.produce_time, 0u);
        EXPECT_EQ(call.timing.send_time, 9u);
        EXPECT_EQ(call.timing.receive_time, 0u);
    }

    // Orders of another exchange sort by index.
    g_host.Clear();
    EXPECT_EQ(s->ProcessPushFiles({image(ordersSz, kDataOrderPush)}, 0, 0, 0, 0), 1);
    std::vector<int32_t> sz;
    for (const OrderData& o : g_host.Of("order")[0].Records<OrderData>()) sz.push_back(V(o.index));
    EXPECT_EQ(sz, (std::vector<int32_t>{60, 61, 70, 71}));

    // Without the switch the records keep the images' code order; without
    // a callback nothing of the kind is delivered (and nothing leaks).
    cfg_.m_sortpush = 0;
    cfg_.fncorderdata = nullptr;
    auto plain = MakeSession("SH");
    g_host.Clear();
    EXPECT_EQ(
        plain->ProcessPushFiles({image(trades, kDataTransactionPush), image(ordersSh, kDataOrderPush)}, 0, 0, 0, 0), 1);
    ASSERT_EQ(g_host.Size(), 1u);
    indexes.clear();
    for (const Transaction& t : g_host.Of("tran")[0].Records<Transaction>()) indexes.push_back(V(t.index));
    EXPECT_EQ(indexes, (std::vector<int32_t>{30, 31, 32, 10, 11, 12}));
}

// Hostile pushes on the logged-in road: bodies that do not parse, payloads
// without a header, headers cut off by the end, images that do not open,
// images whose counts lie. None of them stops the worker; the good push
// behind them is delivered.
TEST_F(PushRoadTest, BadPushesAreDropped) {
    auto s = SubscribedSession();
    const size_t c = sim_.Latest();
    std::string truncated = kvotest::TransactionImage(17, {{"600000", 0, 40}}, kRecordTime);
    truncated.resize(truncated.size() / 2);
    std::string lying = kvotest::TransactionImage(17, {{"600000", 0, 4}}, kRecordTime);
    lying[12] = '\x7f';  // a record count far beyond the data
    std::vector<std::string> frames = {
        kvotest::GatewayFrame(20 + 5, std::string("\x12\x03\x05", 3)),  // not a PushData
        Push(5, "", 0, 0),
        Push(5, "xxhq1.", 0, 0),
        Push(5, "stray hq1.0", 0, 0),
        Push(5, "hq6.0" + std::string(100, '\xff'), 0, 0),
        Push(5, truncated, 0, 0),
        Push(5, lying, 0, 0),
        Push(2, "hq1.0hq1.0hd1.0", 0, 0),
        Push(3, "hd1.0\x01\x02", 0, 0),
        Push(10, truncated, 0, 0),
    };
    for (int32_t cls : {1, 2, 3, 8, 9, 10}) frames.push_back(Push(cls, "hq1.0" + std::string(3000, 'A'), 0, 0));
    ASSERT_TRUE(sim_.WriteFrames(c, frames, kvotest::SimWrite::kOnePerWrite));
    ASSERT_TRUE(sim_.Write(c, Push(5, kvotest::TransactionImage(17, {{"600000", 7, 1}}, kRecordTime), 0, 0)));
    ASSERT_TRUE(Eventually([&] { return g_host.RecordsOf("tran") >= 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    // Only the good push arrives. The lying image may give records only of
    // what its data holds.
    for (const Call& call : g_host.Of("tran")) {
        for (const Transaction& t : call.Records<Transaction>()) EXPECT_EQ(Str(t.code, 16), "600000");
    }
    EXPECT_EQ(V(g_host.Of("tran").back().Records<Transaction>().back().index), 7);
    EXPECT_EQ(g_host.RecordsOf("index") + g_host.RecordsOf("stock") + g_host.RecordsOf("order") +
                  g_host.RecordsOf("super") + g_host.RecordsOf("five") + g_host.Of("queue").size(),
              0u);
}
