// Offline playback on its whole road: KvoStartOfflineDebug, the process's
// playback thread reading the sample files of examples/offline, the relay
// dispatcher and the subscription registry, up to the host's callbacks (and
// in the master role a child connection). The playback thread's waits are
// shortened.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "api/socket_data_manager.h"
#include "cascade/offline_playback.h"
#include "cascade/relay.h"
#include "include/kvo_records.h"
#include "session/subscription_registry.h"
#include "tests/support/cascade_fixture.h"
#include "tests/support/instance_dir.h"
#include "tests/support/net_wait.h"
#include "tests/support/offline_csv_writer.h"
#include "tests/support/offline_sample.h"
#include "tests/support/peer_endpoint.h"
#include "tests/support/peer_writer.h"

using namespace kvotest;

namespace {

std::string SampleFolder() {
    const char* source = std::getenv("KVO_SOURCE_DIR");
    return std::string(source ? source : ".") + "/examples/offline/";
}

std::string Text(const char* p, size_t n) { return std::string(p, strnlen(p, n)); }

const OrderQueue& Head(const std::pair<OrderQueue, std::vector<int32_t>>& q) { return q.first; }
template <class Rec>
const Rec& Head(const Rec& r) {
    return r;
}

const OfflineSample& Sample() {
    static const OfflineSample sample = BuildOfflineSample();
    return sample;
}

// Rows of a sample file (the generator's records, which the files hold) of
// the market, and of the code unless empty.
template <class Rec>
size_t SampleRows(const std::vector<Rec>& rows, const std::string& market, const std::string& code = "") {
    return size_t(std::count_if(rows.begin(), rows.end(), [&](const Rec& row) {
        const auto& r = Head(row);
        return Text(r.market, sizeof r.market) == market && (code.empty() || Text(r.code, sizeof r.code) == code);
    }));
}

OfflineDebugConfig Playback(const char* subtype, int32_t count, int32_t space, int32_t times,
                            const std::string& folder = SampleFolder()) {
    OfflineDebugConfig off{};
    std::snprintf(off.path, sizeof off.path, "%s", folder.c_str());
    std::snprintf(off.subtype, sizeof off.subtype, "%s", subtype);
    off.push_count = count;
    off.push_space = space;
    off.playback_times = times;
    return off;
}

// A child connection to the master that logged in with the master's own
// credentials (user1/pw1) from its network.
std::unique_ptr<PeerEndpoint> LoggedInChild(uint16_t port) {
    auto child = PeerEndpoint::Connect(port);
    PeerTestFrame f;
    if (!child) return nullptr;
    child->SendFrame(2,
                     "ReqType:51,id:l1,account:user1,pass:pw1,IP:192.168.1.10&,Port:7777,"
                     "ipMask:255.255.255.0&,");
    EXPECT_TRUE(child->ReadReq(52, &f, 3000));
    EXPECT_EQ(PeerField(f.body, "error"), "0") << f.body;
    return child;
}

// A record of the sample moved to another market and code.
template <class Rec>
Rec Moved(Rec r, const char* market, const char* code) {
    std::memset(r.market, 0, sizeof r.market);
    std::memset(r.code, 0, sizeof r.code);
    std::memcpy(r.market, market, strnlen(market, sizeof r.market - 1));
    std::memcpy(r.code, code, strnlen(code, sizeof r.code - 1));
    return r;
}

template <class Rec>
std::string Bytes(const Rec& r) {
    return std::string(reinterpret_cast<const char*>(&r), sizeof r);
}

template <class Rec>
void WriteCsv(const std::string& path, std::vector<std::string> columns, CsvRow (*row)(const Rec&),
              const std::vector<Rec>& records) {
    CsvWriter writer(std::move(columns));
    for (const Rec& r : records) writer.Add(row(r));
    ASSERT_TRUE(writer.Write(path)) << path;
}

struct ClassTotals {
    size_t batches = 0;
    size_t records = 0;
    std::map<std::string, size_t> keys;  // "market:code" -> records
};

// The captured batches by data class, the flush marker left out.
std::map<int, ClassTotals> Totals(uint32_t* largest = nullptr) {
    std::map<int, ClassTotals> totals;
    for (const CapturedBatch& b : CallbackCapture::Get().Batches()) {
        const size_t size = b.dataClass == 3 ? b.records.size() : b.records.size() / std::max<uint32_t>(b.count, 1);
        if (Text(b.records.c_str(), 5) == "FLSH") continue;
        ClassTotals& t = totals[b.dataClass];
        ++t.batches;
        t.records += b.count;
        if (largest && b.count > *largest) *largest = b.count;
        for (size_t at = 0; size > 0 && at + size <= b.records.size(); at += size)
            ++t.keys[Text(b.records.c_str() + at, 5) + ":" + Text(b.records.c_str() + at + 5, 16)];
    }
    return totals;
}

class OfflinePlaybackTest : public CascadeInstanceTest {
protected:
    OfflinePlaybackTest() : CascadeInstanceTest("kvo_offline_play") {}

    void SetUp() override {
        CascadeInstanceTest::SetUp();
        if (HasFatalFailure()) return;
        // The host subscribes right after the start: the lead pause leaves
        // it time to, before the first file.
        timers_.playbackPollMs = 20;
        timers_.playbackLeadMs = 1500;
        timers_.playbackTailMs = 20;
        SetCascadeTimers(timers_);
    }

    // Waits for the playback thread to end, then for the dispatcher to have
    // delivered everything it was given: a marker record relayed last comes
    // back last.
    void AwaitPlaybackEnd() {
        ASSERT_TRUE(Eventually([] { return !OfflineDebugMode().Busy(); }, 30000));
        SubscriptionRegistry::Global().AddKeys("1|FLSH:(0)", LocalSubscriber());
        TickIndex marker{};
        std::memcpy(marker.market, "FLSH", 4);
        marker.code[0] = '0';
        const PushTiming timing{};
        const size_t before = CallbackCapture::Get().Batches().size();
        RelayTickIndex(nullptr, &marker, 1, &timing);
        EXPECT_TRUE(Eventually(
            [&] {
                const std::vector<CapturedBatch> all = CallbackCapture::Get().Batches();
                for (size_t i = before; i < all.size(); ++i)
                    if (Text(all[i].records.c_str(), 5) == "FLSH") return true;
                return false;
            },
            5000));
        SubscriptionRegistry::Global().RemoveKeys("1|FLSH:(0)", LocalSubscriber());
    }
};

// The default list played twice in batches of 50: the host gets the records
// of exactly the keys it holds (a single code given without parentheses
// among them), on the relay thread with its handle and a zero timing block;
// the other classes, and what it dropped again, never arrive. Queries read
// the same folder meanwhile.
TEST_F(OfflinePlaybackTest, PlayedRecordsReachTheSubscribedKeys) {
    void* h = KvoCreateInstance(&cfg_);
    ASSERT_NE(h, nullptr);
    const OfflineDebugConfig off = Playback("", 50, 0, 2);
    ASSERT_EQ(KvoStartOfflineDebug(h, &off), 0);
    EXPECT_EQ(KvoStartOfflineDebug(h, &off), -101);
    EXPECT_TRUE(OfflineDebugMode().Busy());
    LoginResult* login = KvoLogin(h, "user", "pw");
    ASSERT_NE(login, nullptr);
    EXPECT_EQ(login->nstatuscode, 0);
    KvoFreeMem(login);
    EXPECT_EQ(KvoSubScribe(h, 2, 1, "USHA", "600000"), 0);
    EXPECT_EQ(KvoSubScribe(h, 5, 1, "USZA", "()"), 0);
    EXPECT_EQ(KvoSubScribe(h, 3, 1, "USHA", "(600036)"), 0);
    EXPECT_EQ(KvoSubScribeAsync(h, 6, 3, "USHA", "600036,600000"), 0);
    EXPECT_EQ(KvoSubScribe(h, 6, 4, "USHA", "600000"), 0);

    uint32_t n = 0;
    TickStock* stock = KvoGetTickStock(h, "USHA", "600000", &n);
    ASSERT_NE(stock, nullptr);
    EXPECT_EQ(n, 1u);
    EXPECT_STREQ(stock[0].code, "600000");
    KvoFreeMem(stock);

    AwaitPlaybackEnd();
    uint32_t largest = 0;
    std::map<int, ClassTotals> totals = Totals(&largest);
    EXPECT_LE(largest, 50u);
    EXPECT_EQ(totals.count(1), 0u);  // index: not subscribed
    EXPECT_EQ(totals.count(4), 0u);  // order: not subscribed
    const size_t stocks = SampleRows(Sample().stock, "USHA", "600000");
    ASSERT_GT(stocks, 0u);
    EXPECT_EQ(totals[2].keys, (std::map<std::string, size_t>{{"USHA:600000", 2 * stocks}}));
    const size_t trans = SampleRows(Sample().trans, "USZA");
    ASSERT_GT(trans, 50u);
    EXPECT_EQ(totals[5].records, 2 * trans);
    EXPECT_EQ(totals[5].keys.size(), 1u);
    const size_t queues = SampleRows(Sample().queue, "USHA", "600036");
    EXPECT_EQ(totals[3].batches, 2 * queues);
    EXPECT_EQ(totals[3].keys, (std::map<std::string, size_t>{{"USHA:600036", 2 * queues}}));
    EXPECT_EQ(totals[6].keys,
              (std::map<std::string, size_t>{{"USHA:600036", 2 * SampleRows(Sample().superstock, "USHA", "600036")}}));
    for (const CapturedBatch& b : CallbackCapture::Get().Batches()) {
        EXPECT_EQ(b.handle, h);
        EXPECT_EQ(b.timing.produce_time + b.timing.send_time + b.timing.receive_time, 0u);
    }
    EXPECT_EQ(KvoReleaseInstance(h), 0);
}

std::atomic<size_t> g_backlogPeak{0}, g_orders{0}, g_holdFrom{0};
std::atomic<bool> g_hold{false};

// A host that takes 2 ms an order batch and notes the playback's backlog;
// once g_holdFrom records came, it blocks while g_hold is set.
int32_t SlowOrders(void* h, const void* r, uint32_t n, const PushTiming* t) {
    g_backlogPeak = std::max(g_backlogPeak.load(), OfflineDebugMode().BacklogBytes());
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    CallbackCapture::Get().Add({4, n, std::string(static_cast<const char*>(r), n * sizeof(OrderData)), *t, h});
    for (g_orders += n; g_hold && g_orders >= g_holdFrom;) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return 0;
}

// An unending playback with push_space 0 and a slower host: the host sets
// the pace, no more than the bound and one batch waiting for the relay
// thread, and every record arrives once, in file order. Once the host
// blocks, the playback waits on it, and a release ends that wait at once.
TEST_F(OfflinePlaybackTest, SlowHostHoldsThePlaybackBack) {
    timers_.playbackLeadMs = 10;
    timers_.playbackBacklogBytes = 16 << 10;
    SetCascadeTimers(timers_);
    cfg_.fncorderdata = &SlowOrders;
    std::string file;
    PlayOfflineOrder(SampleFolder(),
                     [&](const void* r, size_t n) { return !file.append(static_cast<const char*>(r), n).empty(); });
    g_backlogPeak = g_orders = 0;
    g_holdFrom = 2 * file.size() / sizeof(OrderData);
    g_hold = true;
    void* h = KvoCreateInstance(&cfg_);
    SubscriptionRegistry::Global().AddKeys("4|USHA:()", LocalSubscriber());
    SubscriptionRegistry::Global().AddKeys("4|USZA:()", LocalSubscriber());
    const OfflineDebugConfig off = Playback("order", 10, 0, INT32_MAX);
    ASSERT_EQ(KvoStartOfflineDebug(h, &off), 0);
    EXPECT_TRUE(
        Eventually([&] { return g_orders >= g_holdFrom && OfflineDebugMode().BacklogBytes() > 16 << 10; }, 9000));
    std::string played;
    for (const CapturedBatch& b : CallbackCapture::Get().Batches()) played += b.records;
    EXPECT_TRUE(played.size() > file.size() && played == (file + file + file).substr(0, played.size()));
    EXPECT_LE(g_backlogPeak, (16u << 10) + 4096u);  // a batch of 10 orders is 1.3 KiB
    std::thread release([h] { KvoReleaseInstance(h); });
    EXPECT_TRUE(Eventually([] { return !OfflineDebugMode().Busy(); }, 2000));
    g_hold = false;
    release.join();
}

// A start with no file to play is refused and changes nothing: the same
// instance then starts with the right folder. During playback subscriptions
// no record could match are refused.
TEST_F(OfflinePlaybackTest, NothingToPlayIsRefusedAndTheRightPathPlays) {
    void* h = KvoCreateInstance(&cfg_);
    ASSERT_NE(h, nullptr);
    const std::string folder = SampleFolder();
    for (const OfflineDebugConfig& off :
         {Playback("stock", 10, 0, 1, dir_ + "/missing/"),
          Playback("stock", 10, 0, 1, folder.substr(0, folder.size() - 1)), Playback("none", 10, 0, 1)}) {
        EXPECT_EQ(KvoStartOfflineDebug(h, &off), -102) << off.path << " " << off.subtype;
        EXPECT_EQ(static_cast<CSocketDataMananger*>(h)->OfflineState(), "offlinedebugtype_no");
        EXPECT_FALSE(OfflineDebugMode().Busy());
    }
    const OfflineDebugConfig right = Playback("stock", 10, 0, 1);
    ASSERT_EQ(KvoStartOfflineDebug(h, &right), 0);
    ExpectUnmatchableSubscriptionsRefused(h);
    EXPECT_EQ(KvoSubScribe(h, 2, 1, "USHA", "600000"), 0);
    AwaitPlaybackEnd();
    EXPECT_EQ(Totals()[2].keys,
              (std::map<std::string, size_t>{{"USHA:600000", SampleRows(Sample().stock, "USHA", "600000")}}));
    EXPECT_EQ(KvoReleaseInstance(h), 0);
}

// A playback whose folder holds only some of the files its subtype names
// starts, and plays those.
TEST_F(OfflinePlaybackTest, FolderWithSomeOfItsFilesPlaysThem) {
    const std::string folder = dir_ + "/some/";
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    std::filesystem::copy_file(SampleFolder() + "stock.csv", folder + "stock.csv");
    void* h = KvoCreateInstance(&cfg_);
    const OfflineDebugConfig off = Playback("index,stock", 100, 0, 1, folder);
    ASSERT_EQ(KvoStartOfflineDebug(h, &off), 0);
    EXPECT_EQ(KvoSubScribe(h, 2, 1, "USHA", "()"), 0);
    AwaitPlaybackEnd();
    EXPECT_EQ(Totals()[2].records, SampleRows(Sample().stock, "USHA"));
    EXPECT_EQ(KvoReleaseInstance(h), 0);
}

// One playback at a time in the process: a second instance is refused while
// the first plays, without any change; releasing the first ends its
// playback at once, in the middle of a long pause, and the second can start.
// Without a subscription nothing reaches the host.
TEST_F(OfflinePlaybackTest, OnePlaybackAtATimeAndReleaseEndsIt) {
    timers_.playbackLeadMs = 10;
    SetCascadeTimers(timers_);
    void* first = KvoCreateInstance(&cfg_);
    ASSERT_NE(first, nullptr);
    SubscriptionRegistry::Global().AddKeys("1|USHI:()", LocalSubscriber());
    const OfflineDebugConfig slow = Playback("index", 1, 60000, 1);
    ASSERT_EQ(KvoStartOfflineDebug(first, &slow), 0);
    ASSERT_TRUE(CallbackCapture::Get().WaitBatches(1, 10000));

    void* second = KvoCreateInstance(&cfg_);
    ASSERT_NE(second, nullptr);
    const OfflineDebugConfig quick = Playback("index", 100, 0, 1);
    EXPECT_EQ(KvoStartOfflineDebug(second, &quick), -101);
    EXPECT_EQ(static_cast<CSocketDataMananger*>(second)->OfflineState(), "offlinedebugtype_no");
    EXPECT_EQ(OfflineDebugMode().Owner(), first);

    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(KvoReleaseInstance(first), 0);
    EXPECT_LT(MsSince(t0), 3000);
    EXPECT_FALSE(OfflineDebugMode().Busy());
    EXPECT_EQ(OfflineDebugMode().Owner(), nullptr);
    EXPECT_EQ(CallbackCapture::Get().Batches().size(), 1u);  // nothing after the first record
    CallbackCapture::Get().Clear();

    // The released instance's keys left with it.
    ASSERT_EQ(KvoStartOfflineDebug(second, &quick), 0);
    EXPECT_EQ(static_cast<CSocketDataMananger*>(second)->OfflineState(), "offlinedebugtype_yes");
    AwaitPlaybackEnd();
    EXPECT_TRUE(Totals().empty());
    EXPECT_EQ(KvoReleaseInstance(second), 0);
}

// In the master role the played records go to the host and to each child,
// each getting the records of its own keys; the host's single code given
// without parentheses is one of them. Nothing goes to a market session. The
// file is played as many times as asked, and the start is in the log.
TEST_F(OfflinePlaybackTest, MasterPlaybackReachesHostAndChildren) {
    WriteToolIni("master=true\nsocket_port=0\n");
    CSocketDataMananger master(&cfg_);
    ASSERT_EQ(master.Mode(), kvoapi::kMaster);
    ASSERT_EQ(master.StartOfflineDebug(Playback("stock", 10, 0, 3)), 0);
    ASSERT_EQ(master.LoginByMode("user1", "pw1").nstatuscode, 0);

    auto child = LoggedInChild(master.CascadeListenPort());
    ASSERT_TRUE(child);
    PeerTestFrame f;
    child->SendFrame(2, "ReqType:20,msg_dataclass:2,subop_type:1,id:s1,market:USHA,codelist:(600036),");
    EXPECT_EQ(master.SubScribe(2, 1, "USHA", "600000", true, true), 0);
    ASSERT_TRUE(Eventually(
        [] {
            SubscriberSet holders;
            return SubscriptionRegistry::Global().FindSubscribers("2|USHA:(600036)", &holders);
        },
        1000));

    AwaitPlaybackEnd();
    const size_t mine = SampleRows(Sample().stock, "USHA", "600000");
    const size_t theirs = SampleRows(Sample().stock, "USHA", "600036");
    EXPECT_EQ(Totals()[2].keys, (std::map<std::string, size_t>{{"USHA:600000", 3 * mine}}));
    size_t received = 0;
    while (received < 3 * theirs && child->ReadReq(2, &f, 3000)) {
        const size_t count = size_t(PeerIntField(f.body, "TickCount"));
        const size_t at = f.body.find("|||") + 3;
        ASSERT_EQ(f.body.size(), at + count * KVO_TICKSTOCK_SIZE + sizeof(PushTiming));
        for (size_t i = 0; i < count; ++i)
            EXPECT_EQ(Text(f.body.c_str() + at + i * KVO_TICKSTOCK_SIZE + 5, 16), "600036");
        received += count;
    }
    EXPECT_EQ(received, 3 * theirs);
    EXPECT_TRUE(child->Silent(100));
    EXPECT_TRUE(Market().Subscriptions().empty());
    EXPECT_NE(ReadInstanceLog(dir_).find("Offlinne.path:" + SampleFolder() +
                                         ",Offlinne.subtype:stock,Offlinne.push_space:0,Offlinne.push_count:10,"
                                         "Offlinne.playback_times:3"),
              std::string::npos);
}

// A master playing offline answers its children's queries from the files of
// its folder: the market's line of codelist.ini, and for the codes asked for
// (all of the market for "()") one record per code, in the order the codes
// first appear, filled from the code's last row. A query the files cannot
// answer gets no reply.
TEST_F(OfflinePlaybackTest, MasterAnswersChildQueriesFromTheFiles) {
    const std::string folder = dir_ + "/data/";
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    const OfflineSample sample = BuildOfflineSample();
    ASSERT_TRUE(WriteTextFile(folder + "codelist.ini", "USZA=000001\nUSHA=600000,600036\n"));
    const std::vector<TickIndex> index = {Moved(sample.index[0], "USHI", "000001"),
                                          Moved(sample.index[1], "USHI", "000300"),
                                          Moved(sample.index[2], "USHI", "000001")};
    const std::vector<TickStock> stock = {
        Moved(sample.stock[0], "USHA", "600000"), Moved(sample.stock[1], "USZA", "000001"),
        Moved(sample.stock[2], "USHA", "600036"), Moved(sample.stock[3], "USHA", "600000")};
    const std::vector<SuperStock> super = {Moved(sample.superstock[0], "USHA", "600036"),
                                           Moved(sample.superstock[1], "USHA", "600000")};
    WriteCsv(folder + "index.csv", IndexCsvColumns(), &IndexCsvRow, index);
    WriteCsv(folder + "stock.csv", StockCsvColumns(), &StockCsvRow, stock);
    WriteCsv(folder + "superstock.csv", SuperStockCsvColumns(), &SuperStockCsvRow, super);

    WriteToolIni("master=true\nsocket_port=0\n");
    CSocketDataMananger master(&cfg_);
    ASSERT_EQ(master.StartOfflineDebug(Playback("index", 10, 0, 1, folder)), 0);
    ASSERT_EQ(master.LoginByMode("user1", "pw1").nstatuscode, 0);
    auto child = LoggedInChild(master.CascadeListenPort());
    ASSERT_TRUE(child);
    const auto ask = [&](const std::string& request, long answer) {
        PeerTestFrame f;
        child->SendFrame(2, request);
        EXPECT_TRUE(child->ReadReq(answer, &f, 3000)) << request;
        return f.body;
    };
    EXPECT_EQ(ask("ReqType:101,id:q1,market:USHA,", 201),
              "strTextLength:13,id:q1,ReqType:201,TickCount:13,|||600000,600036");
    EXPECT_EQ(ask("ReqType:102,id:q2,market:USHI, codelist:(000001),", 202),
              PeerAnswerBody(202, "q2", 1, Bytes(index[2])));
    EXPECT_EQ(ask("ReqType:103,id:q3,market:USHA, codelist:(600036,600000),", 203),
              PeerAnswerBody(203, "q3", 2, Bytes(stock[3]) + Bytes(stock[2])));
    EXPECT_EQ(ask("ReqType:104,id:q4,market:USHA, codelist:(),", 204),
              PeerAnswerBody(204, "q4", 2, Bytes(super[0]) + Bytes(super[1])));
    child->SendFrame(2, "ReqType:103,id:q5,market:USZA, codelist:(600000),");
    child->SendFrame(2, "ReqType:101,id:q6,market:USHI,");
    EXPECT_TRUE(child->Silent(300));
    EXPECT_EQ(master.Cascade()->RouteCount(), 0u);
}

// Files edited by hand often end without a line break: their last line counts.
TEST_F(OfflinePlaybackTest, LastLineWithoutLineBreakCounts) {
    const std::string folder = dir_ + "/data/";
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    ASSERT_TRUE(WriteTextFile(folder + "codelist.ini", "USZA=000001\nUSHA=600000,600036"));
    const std::vector<TickStock> stock = {Moved(Sample().stock[0], "USZA", "000001"),
                                          Moved(Sample().stock[1], "USHA", "600000")};
    WriteCsv(folder + "stock.csv", StockCsvColumns(), &StockCsvRow, stock);
    ASSERT_EQ(truncate((folder + "stock.csv").c_str(), off_t(std::filesystem::file_size(folder + "stock.csv") - 1)), 0);
    WriteToolIni("master=true\nsocket_port=0\n");
    CSocketDataMananger master(&cfg_);
    ASSERT_EQ(master.StartOfflineDebug(Playback("stock", 10, 0, 1, folder)), 0);
    ASSERT_EQ(master.LoginByMode("user1", "pw1").nstatuscode, 0);
    EXPECT_EQ(master.SubScribe(2, 1, "USHA", "600000", true, true), 0);
    auto child = LoggedInChild(master.CascadeListenPort());
    ASSERT_TRUE(child);
    PeerTestFrame f;
    child->SendFrame(2, "ReqType:101,id:q1,market:USHA,");
    ASSERT_TRUE(child->ReadReq(201, &f, 3000));
    EXPECT_EQ(f.body, "strTextLength:13,id:q1,ReqType:201,TickCount:13,|||600000,600036");
    child->SendFrame(2, "ReqType:103,id:q2,market:USHA, codelist:(600000),");
    ASSERT_TRUE(child->ReadReq(203, &f, 3000));
    EXPECT_EQ(f.body, PeerAnswerBody(203, "q2", 1, Bytes(stock[1])));
    AwaitPlaybackEnd();
    EXPECT_EQ(Totals()[2].keys, (std::map<std::string, size_t>{{"USHA:600000", 1}}));
}

// The master role online: a single code without parentheses is the key of
// that code, and it goes to the market session in the parenthesised form of
// the gateway's code lists; the session's pushes of that code reach the host.
TEST_F(OfflinePlaybackTest, MasterSingleCodeIsOneKey) {
    WriteToolIni("master=true\nsocket_port=0\n");
    CSocketDataMananger master(&cfg_);
    ASSERT_EQ(master.RegisterAddrByMode("USH", "127.0.0.1", 1), 0);
    ASSERT_EQ(master.LoginByMode("user1", "pw1").nstatuscode, 0);
    EXPECT_EQ(master.SubScribe(2, 3, "USHA", "600001", true, true), 0);
    EXPECT_EQ(master.SubScribe(2, 3, "USHA", "", true, true), 0);  // empty: the whole market
    EXPECT_EQ(master.SubScribe(2, 4, "USHA", "()", true, true), 0);
    SubscriptionKeySet keys;
    ASSERT_TRUE(SubscriptionRegistry::Global().GetSubscriberKeys(LocalSubscriber(), &keys));
    EXPECT_EQ(keys, SubscriptionKeySet{"2|USHA:(600001)"});
    EXPECT_EQ(Market().Subscriptions(),
              (std::vector<SessionCall>{"2|3|USHA|(600001)", "2|3|USHA|()", "2|4|USHA|()", "2|3|USHA|(600001)"}));
    // The session pushes 600000, 600001 and 600002: the host gets its code.
    ASSERT_EQ(Market().Push(2, PeerRecords(3, KVO_TICKSTOCK_SIZE, "60000"), 3, PushTiming{1, 2, 3}), 0);
    ASSERT_TRUE(CallbackCapture::Get().WaitBatches(1, 2000));
    EXPECT_EQ(RecordCodes(CallbackCapture::Get().Batches()[0].records, KVO_TICKSTOCK_SIZE),
              std::vector<std::string>{"600001"});
}

}  // namespace
