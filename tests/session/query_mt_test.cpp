// Snapshot queries of a market session against the gateway simulator: the
// request fields, the code-list rewrite of the index market, snapshot
// records compared with what the images were built from, null and untouched
// outputs on every failure road (no answer, a late answer, no records, a
// body that does not parse), two host threads querying one kind at once,
// and the query telemetry.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "datapacket.pro.pb.h"
#include "session/datafeed_manager.h"
#include "simulator/sim_market.h"
#include "tests/support/net_wait.h"
#include "tests/support/push_images.h"
#include "tests/support/record_builder.h"
#include "tests/support/session_fixture.h"

using kvotest::SimAnswer;
using kvotest::SimFrame;
using rb::Str;
using rb::V;

namespace {

constexpr uint32_t kUntouched = 777;

// The block a query returned, as records (*count of them when the block is
// not null); the block is freed. The count is read through its pointer:
// the query writes it while the arguments are evaluated.
template <class Rec>
std::vector<Rec> Take(void* block, const uint32_t* count) {
    std::vector<Rec> out(block != nullptr ? *count : 0);
    if (block != nullptr) std::memcpy(static_cast<void*>(out.data()), block, out.size() * sizeof(Rec));
    std::free(block);
    return out;
}

// A quote answer whose image holds the requested codes (all but the market
// byte of the code text), built by kind.
SimAnswer QuoteOf(const SimFrame& f, bool super) {
    datapacket::GetQuotaReq req;
    SimAnswer a;
    uint32_t marketByte = 0;
    std::set<std::string> codes;
    if (!f.Parse(&req) || !kvotest::ParseCodeText(req.codelist(), &marketByte, &codes)) {
        a.status = -1;
        return a;
    }
    const std::vector<std::string> list(codes.begin(), codes.end());
    a.status = 7;
    a.databuf =
        super ? kvotest::SuperStockImage(marketByte, list) : kvotest::StockTickImage(marketByte, list, 93000000);
    return a;
}

class QueryTest : public kvotest::SimSessionTest {
protected:
    std::unique_ptr<CDatafeedSDKManager> Connected() {
        auto s = MakeSession("SH");
        EXPECT_TRUE(Connect(*s, true));
        return s;
    }
    datapacket::GetQuotaReq LastQuota() {
        datapacket::GetQuotaReq r;
        const auto frames = sim_.FramesOfType(kvotest::kSimQuotaReq);
        EXPECT_FALSE(frames.empty());
        if (!frames.empty()) {
            EXPECT_TRUE(frames.back().Parse(&r));
        }
        return r;
    }
};

}  // namespace

// Every field of both requests; the index market's codes rewritten for the
// index snapshot only; the super-stock depth 10 deeper than the session's.
TEST_F(QueryTest, RequestsCarryTheirFields) {
    auto s = Connected();
    uint32_t n = kUntouched;
    std::free(s->GetCodelist("USHA", &n));
    const auto lists = sim_.FramesOfType(kvotest::kSimCodelistReq);
    ASSERT_EQ(lists.size(), 1u);
    datapacket::GetCodelistReq list;
    ASSERT_TRUE(lists[0].Parse(&list));
    EXPECT_EQ(list.market(), "USHA");
    EXPECT_NE(list.instid(), 0u);
    EXPECT_EQ(list.codetype(), 0);

    std::free(s->GetTickIndex("USHI", "000001,000300", &n));
    datapacket::GetQuotaReq q = LastQuota();
    EXPECT_EQ(q.market(), "USHI");
    EXPECT_EQ(q.codelist(), "16(1A0001,1B0300)");
    EXPECT_EQ(q.data_class(), 2);
    EXPECT_EQ(q.begintime(), 0);
    EXPECT_EQ(q.endtime(), 0);
    EXPECT_EQ(q.data_option(), "raw");
    EXPECT_EQ(q.rettype(), "hqfile");
    EXPECT_EQ(q.levels_num(), 0u);
    EXPECT_GT(q.instid(), list.instid());

    std::free(s->GetTickIndex("33", "(000001)", &n));
    EXPECT_EQ(LastQuota().codelist(), "33(000001)");
    std::free(s->GetTickStock("USHA", "(600000)", &n));
    q = LastQuota();
    EXPECT_EQ(q.codelist(), "17(600000)");
    EXPECT_EQ(q.data_class(), 1);
    // A stock snapshot of the index market keeps the caller's codes.
    std::free(s->GetTickStock("USHI", "(000001)", &n));
    EXPECT_EQ(LastQuota().codelist(), "16(000001)");

    std::free(s->GetSuperStock("USHA", "(600000)", &n));
    q = LastQuota();
    EXPECT_EQ(q.data_class(), 10);
    EXPECT_EQ(q.levels_num(), 20u);
    s->SetSuperStockLevel(50);
    std::free(s->GetSuperStock("USHA", "(600000)", &n));
    EXPECT_EQ(LastQuota().levels_num(), 60u);
}

// The index market's code list comes back in public codes, each followed by
// ","; any other market's text unchanged. Null lengths are not written.
TEST_F(QueryTest, CodeLists) {
    auto s = Connected();
    struct Row {
        const char* market;
        std::string answer;
        std::string text;
    };
    const Row rows[] = {
        {"USHI", "1A0001,1B0004", "000001,000006,"}, {"USHI", "1A0001,", "000001,,"}, {"USHI", "", ""},
        {"USHA", "600000,600036", "600000,600036"},  {"USZA", "000001,", "000001,"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.answer);
        SimAnswer a;
        a.codelist = row.answer;
        a.status = -5;  // the status goes to telemetry only
        sim_.SetAnswer(kvotest::kSimCodelistReq, a);
        uint32_t n = kUntouched;
        char* text = s->GetCodelist(row.market, &n);
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(std::string(text), row.text);
        EXPECT_EQ(n, row.text.size());
        std::free(text);
        text = s->GetCodelist(row.market, nullptr);
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(std::string(text), row.text);
        std::free(text);
    }
}

// Snapshots of N records arrive field by field as the images were built;
// each failure road gives null with the caller's count untouched (the
// super-stock query sets it to 0 once an answer came).
TEST_F(QueryTest, SnapshotsAndTheirFailures) {
    auto s = Connected();
    sim_.SetRule(kvotest::kSimQuotaReq, [](const SimFrame& f) {
        datapacket::GetQuotaReq r;
        f.Parse(&r);
        if (r.data_class() == 2) {
            SimAnswer a;
            a.databuf = kvotest::IndexTickImage(16, {"1A0001", "1B0300"}, 93001000, kvotest::ImageForm::kHq6);
            return a;
        }
        return QuoteOf(f, r.data_class() == 10);
    });
    uint32_t n = kUntouched;
    auto index = Take<TickIndex>(s->GetTickIndex("USHI", "000001,000300", &n), &n);
    ASSERT_EQ(n, 2u);
    EXPECT_EQ(Str(index[0].code, 16), "000001");
    EXPECT_EQ(Str(index[1].code, 16), "000300");
    EXPECT_EQ(Str(index[1].codename, 20), "NAME1");
    EXPECT_DOUBLE_EQ(V(index[1].new_price), 3001.0);
    EXPECT_EQ(V(index[1].volume), 2000);

    n = kUntouched;
    auto stock = Take<TickStock>(s->GetTickStock("USHA", "(600000,600036,601318)", &n), &n);
    ASSERT_EQ(n, 3u);
    for (uint32_t k = 0; k < 3; ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ(Str(stock[k].market, 5), "USHA");
        EXPECT_EQ(Str(stock[k].code, 16), std::vector<std::string>({"600000", "600036", "601318"})[k]);
        EXPECT_EQ(Str(stock[k].codename, 20), "NAME" + std::to_string(k));
        EXPECT_DOUBLE_EQ(V(stock[k].new_price), 10.0 + k);
        EXPECT_EQ(V(stock[k].volume), 1000 * (k + 1));
    }
    // The null count is never written; the records still come.
    void* block = s->GetTickStock("USHA", "(600000)", nullptr);
    EXPECT_NE(block, nullptr);
    std::free(block);

    n = kUntouched;
    auto book = Take<SuperStock>(s->GetSuperStock("USHA", "(600000,600036)", &n), &n);
    ASSERT_EQ(n, 2u);
    EXPECT_EQ(Str(book[1].code, 16), "600036");
    EXPECT_DOUBLE_EQ(V(book[1].new_price), 31.0);
    EXPECT_DOUBLE_EQ(V(book[1].bidorder_price[0]), 30.99);
    EXPECT_DOUBLE_EQ(V(book[1].askorder_price[0]), 31.01);
    EXPECT_EQ(V(book[1].bidorder_volume[0]), 200);

    // No records: null; super stock says 0, the others leave the count.
    sim_.SetAnswer(kvotest::kSimQuotaReq, SimAnswer{});
    n = kUntouched;
    EXPECT_EQ(s->GetTickStock("USHA", "(600000)", &n), nullptr);
    EXPECT_EQ(n, kUntouched);
    EXPECT_EQ(s->GetTickIndex("USHI", "(000001)", &n), nullptr);
    EXPECT_EQ(n, kUntouched);
    EXPECT_EQ(s->GetSuperStock("USHA", "(600000)", &n), nullptr);
    EXPECT_EQ(n, 0u);
    // An image that does not open.
    SimAnswer junk;
    junk.databuf = "hq1.0 cut short";
    sim_.SetAnswer(kvotest::kSimQuotaReq, junk);
    n = kUntouched;
    EXPECT_EQ(s->GetTickStock("USHA", "(600000)", &n), nullptr);
    EXPECT_EQ(n, kUntouched);

    // A body that is no answer at all matches no request; no answer within
    // the wait (m_timeout, here 300 ms), then one after it: the late answer
    // is dropped, and the next query gets its own.
    cfg_.m_timeout = 300;
    auto quick = MakeSession("SH");
    ASSERT_TRUE(Connect(*quick, true));
    junk.rawBody = std::string("\x0a\xff\xff\xff", 4);
    sim_.SetAnswer(kvotest::kSimQuotaReq, junk);
    sim_.SetAnswer(kvotest::kSimCodelistReq, junk);
    EXPECT_EQ(quick->GetSuperStock("USHA", "(600000)", &n), nullptr);
    EXPECT_EQ(n, kUntouched);
    EXPECT_EQ(quick->GetCodelist("USHA", &n), nullptr);
    EXPECT_EQ(n, kUntouched);
    SimAnswer late;
    late.delayMs = 600;
    late.databuf = kvotest::StockTickImage(17, {"600000", "600036"}, 0);
    sim_.SetAnswer(kvotest::kSimQuotaReq, late);
    n = kUntouched;
    EXPECT_EQ(quick->GetTickStock("USHA", "(600000,600036)", &n), nullptr);
    EXPECT_EQ(n, kUntouched);
    EXPECT_EQ(quick->GetSuperStock("USHA", "(600000)", &n), nullptr);
    EXPECT_EQ(n, kUntouched);
    sim_.SetAnswer(kvotest::kSimCodelistReq, kvotest::SilentAnswer());
    EXPECT_EQ(quick->GetCodelist("USHA", &n), nullptr);
    EXPECT_EQ(n, kUntouched);
    std::this_thread::sleep_for(std::chrono::milliseconds(700));  // the late answers arrive
    EXPECT_EQ(quick->Pending().Size(), 0u);
    late.delayMs = 0;
    late.databuf = kvotest::StockTickImage(17, {"601318"}, 0);
    sim_.SetAnswer(kvotest::kSimQuotaReq, late);
    auto own = Take<TickStock>(quick->GetTickStock("USHA", "(601318)", &n), &n);
    ASSERT_EQ(n, 1u);
    EXPECT_EQ(Str(own[0].code, 16), "601318");
}

// Two host threads asking for stock snapshots of different codes at once
// each get exactly their own records; a third asks for super stock beside
// them.
TEST_F(QueryTest, ConcurrentQueriesOfOneKindNeverMix) {
    auto s = Connected();
    sim_.SetRule(kvotest::kSimQuotaReq, [](const SimFrame& f) {
        datapacket::GetQuotaReq r;
        f.Parse(&r);
        return QuoteOf(f, r.data_class() == 10);
    });
    std::atomic<int> bad{0};
    auto run = [&](bool super, const std::string& codes, const std::vector<std::string>& expect) {
        for (int i = 0; i < 40; ++i) {
            uint32_t n = 0;
            std::vector<std::string> got;
            if (super) {
                for (const SuperStock& r : Take<SuperStock>(s->GetSuperStock("USHA", codes.c_str(), &n), &n)) {
                    got.push_back(Str(r.code, 16));
                }
            } else {
                for (const TickStock& r : Take<TickStock>(s->GetTickStock("USHA", codes.c_str(), &n), &n)) {
                    got.push_back(Str(r.code, 16));
                }
            }
            if (got != expect) ++bad;
        }
    };
    std::thread a(run, false, "(600000,600036)", std::vector<std::string>{"600000", "600036"});
    std::thread b(run, false, "(601318,603000,688001)", std::vector<std::string>{"601318", "603000", "688001"});
    std::thread c(run, true, "(600519)", std::vector<std::string>{"600519"});
    a.join();
    b.join();
    c.join();
    EXPECT_EQ(bad.load(), 0);
}

// The simulator's market answers super-stock snapshots from the books it
// pushes (two levels a side around each last price), the whole market's
// for an empty code list.
TEST_F(QueryTest, SimulatedMarketAnswersSuperStockSnapshots) {
    kvotest::SimMarket market(5);
    market.Attach(sim_);
    market.Step();  // prices off their opening values
    std::map<std::string, double> last;
    for (const auto& security : market.Securities()) last[security.code] = security.last;
    auto s = Connected();
    uint32_t n = kUntouched;
    auto one = Take<SuperStock>(s->GetSuperStock("USHA", "(600036)", &n), &n);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_NEAR(one[0].new_price, last["600036"], 1e-6);
    EXPECT_NEAR(one[0].bidorder_price[0], last["600036"] - 0.01, 1e-6);
    EXPECT_NEAR(one[0].askorder_price[1], last["600036"] + 0.02, 1e-6);
    EXPECT_EQ(V(one[0].bidorder_volume[0]), 200);
    auto all = Take<SuperStock>(s->GetSuperStock("USHA", "", &n), &n);
    ASSERT_EQ(all.size(), 3u);
    for (const SuperStock& r : all) EXPECT_NEAR(r.new_price, last[Str(r.code, 16)], 1e-6) << Str(r.code, 16);
}

// With the gateway's mask bit 0x2 every query writes its record, with the
// answer's status (or -1002) and the count the caller holds.
TEST_F(QueryTest, QueryTelemetry) {
    SimAnswer login;
    login.statsRate = 2;
    sim_.SetAnswer(kvotest::kSimLoginReq, login);
    kvotest::SimMarket market(5);
    market.Attach(sim_);
    cfg_.m_timeout = 400;
    auto s = LoggedInSession();
    uint32_t n = kUntouched;
    std::free(s->GetCodelist("USHI", &n));
    std::free(s->GetTickStock("USHA", "(600000,600036)", &n));
    sim_.SetAnswer(kvotest::kSimQuotaReq, kvotest::SilentAnswer());
    n = 5;
    EXPECT_EQ(s->GetTickIndex("USHI", "(000001)", &n), nullptr);
    ASSERT_TRUE(sim_.WaitForFrames(kvotest::kSimElk, 3, 5000));
    const std::vector<std::string> lines = kvotest::ElkLines(sim_);
    ASSERT_EQ(lines.size(), 3u);
    auto has = [](const std::string& line, const std::string& part) { return line.find(part) != std::string::npos; };
    EXPECT_TRUE(has(lines[0], "\"index_prefix\":\"client@_query\",\"module\":\"query_codelist\"")) << lines[0];
    EXPECT_TRUE(has(lines[0], "\"length\":\"14\",\"market\":\"USHI\"")) << lines[0];
    EXPECT_TRUE(has(lines[0], "\"statscode\":\"0\"")) << lines[0];
    EXPECT_TRUE(has(lines[0], "\"timeconsum\":\"")) << lines[0];
    EXPECT_TRUE(has(lines[1], "\"module\":\"query_stock\"")) << lines[1];
    EXPECT_TRUE(has(lines[1], "\"codelist\":\"(600000,600036)\"")) << lines[1];
    EXPECT_TRUE(has(lines[1], "\"tickcount\":\"2\"")) << lines[1];
    EXPECT_TRUE(has(lines[2], "\"module\":\"query_index\"")) << lines[2];
    EXPECT_TRUE(has(lines[2], "\"statscode\":\"-1002\",\"tickcount\":\"5\"")) << lines[2];
}
