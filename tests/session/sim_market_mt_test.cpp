// The simulator's market: its images read back through the library's quote
// files and converters as the records a host expects, and its answers and
// pushes reach a market session.
#include <gtest/gtest.h>

#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "datapacket.pro.pb.h"
#include "protocol/kvo_packet.h"
#include "quote/convert.h"
#include "quote/convert_qf.h"
#include "quote/qf_quotefile.h"
#include "tests/support/net_wait.h"
#include "tests/support/record_builder.h"
#include "tests/support/session_fixture.h"
#include "tests/support/sim_market.h"

using kvotest::SimMarket;
using rb::Str;
using rb::V;

TEST(SimMarket, CodeTexts) {
    uint32_t byte = 0;
    std::set<std::string> codes;
    ASSERT_TRUE(kvotest::ParseCodeText("17(600000,600036)", &byte, &codes));
    EXPECT_EQ(byte, 17u);
    EXPECT_EQ(codes, (std::set<std::string>{"600000", "600036"}));
    ASSERT_TRUE(kvotest::ParseCodeText("33()", &byte, &codes));
    EXPECT_EQ(byte, 33u);
    EXPECT_TRUE(codes.empty());
    EXPECT_FALSE(kvotest::ParseCodeText("(600000)", &byte, &codes));
    SimMarket market;
    EXPECT_EQ(market.CodeList("USHA"), "600000,600036,601318");
    EXPECT_EQ(market.CodeList("USHI"), "1A0001,1B0300");
}

// Snapshots of stocks and indexes, and pushed transactions and orders, as the
// converters make them out of the market's images.
TEST(SimMarket, ImagesConvertIntoHostRecords) {
    SimMarket market(7);
    for (int i = 0; i < 5; ++i) market.Step();
    const std::vector<SimMarket::Security> securities = market.Securities();

    {
        const std::string bytes = market.StockImage(17, {"600036"});
        CHQuoteFile file;
        ASSERT_EQ(file.OpenMemory(bytes.data(), uint32_t(bytes.size()), 0), 0u);
        EXPECT_EQ(file.GetCodeCount(), 0u);  // record-wise kinds carry no code index
        QuoteFileConvertImage image(file);
        ConvertSession session;
        SnapshotConvertContext ctx = rb::SnapshotContext(image);
        ctx.stockList = &session.stockList;
        corvane::CTLSingleLock lock(&session.stockList.Mutex(), 1);
        EXPECT_EQ(file.ReadRecords(0, 0, BindSnapshotRecordConverter(kDataStockSnapshot, &ctx)), 1);
        const std::vector<TickStock> r = rb::ListRecords<TickStock>(session.stockList);
        ASSERT_EQ(r.size(), 1u);
        EXPECT_EQ(Str(r[0].market, 5), "USHA");
        EXPECT_EQ(Str(r[0].code, 16), "600036");
        EXPECT_EQ(Str(r[0].codename, 20), "CM BANK");
        EXPECT_EQ(V(r[0].new_price), securities[1].last);
        EXPECT_EQ(V(r[0].pre_price), 33.15);
        EXPECT_EQ(V(r[0].volume), static_cast<int64_t>(securities[1].volume));
        EXPECT_NEAR(V(r[0].bidorder_price[0]), securities[1].last - 0.01, 1e-9);
        EXPECT_GT(V(r[0].date), 20200000);
    }
    {
        const std::string bytes = market.IndexImage(16, {});
        CHQuoteFile file;
        ASSERT_EQ(file.OpenMemory(bytes.data(), uint32_t(bytes.size()), 0), 0u);
        QuoteFileConvertImage image(file);
        ConvertSession session;
        SnapshotConvertContext ctx = rb::SnapshotContext(image);
        ctx.indexList = &session.indexList;
        corvane::CTLSingleLock lock(&session.indexList.Mutex(), 1);
        EXPECT_EQ(file.ReadRecords(0, 0, BindSnapshotRecordConverter(kDataIndexSnapshot, &ctx)), 2);
        const std::vector<TickIndex> r = rb::ListRecords<TickIndex>(session.indexList);
        ASSERT_EQ(r.size(), 2u);
        EXPECT_EQ(Str(r[0].code, 16), "000001");  // index codes become public codes
        EXPECT_EQ(Str(r[1].code, 16), "000300");
        EXPECT_EQ(V(r[1].new_price), securities[7].last);
    }
    {
        const std::string bytes = market.TransactionImage(33, {"000001", "300750"});
        CHQuoteFile file;
        ASSERT_EQ(file.OpenMemory(bytes.data(), uint32_t(bytes.size()), 0), 0u);
        EXPECT_EQ(file.GetCodeCount(), 2u);  // code-wise kinds carry one
        QuoteFileConvertImage image(file);
        ConvertSession session;
        PushConvertContext ctx = rb::PushContext(image, &session);
        file.ReadCodeRecords(0, 0, BindPushCodeConverter(kDataTransactionPush, &ctx));
        std::vector<Transaction> x;
        ASSERT_TRUE(rb::TakeGathered(&ctx, {2, 2}, &x));
        EXPECT_EQ(Str(x[0].market, 5), "USZA");
        EXPECT_EQ(Str(x[0].code, 16), "000001");
        EXPECT_EQ(Str(x[2].code, 16), "300750");
        EXPECT_EQ(V(x[0].price), securities[3].last);
        EXPECT_EQ(Str(x[0].bsflag, 2), "S");
        EXPECT_EQ(Str(x[1].bsflag, 2), "B");
        EXPECT_GT(V(x[0].volume), 0);
        EXPECT_LT(V(x[0].index), V(x[1].index));
    }
    {
        const std::string bytes = market.OrderImage(17, {});
        CHQuoteFile file;
        ASSERT_EQ(file.OpenMemory(bytes.data(), uint32_t(bytes.size()), 0), 0u);
        QuoteFileConvertImage image(file);
        ConvertSession session;
        PushConvertContext ctx = rb::PushContext(image, &session);
        file.ReadCodeRecords(0, 0, BindPushCodeConverter(kDataOrderPush, &ctx));
        std::vector<OrderData> o;
        ASSERT_TRUE(rb::TakeGathered(&ctx, {1, 1, 1}, &o));
        EXPECT_EQ(Str(o[2].code, 16), "601318");
        EXPECT_EQ(Str(o[2].order_kind, 2), "A");
        EXPECT_NEAR(V(o[2].price), securities[2].last, 0.0101);
    }
}

namespace {

class Collector : public CTLLockFreeQThreadPool<RecrieceDataThreadInfo*> {
public:
    explicit Collector(const char* name) : CTLLockFreeQThreadPool<RecrieceDataThreadInfo*>(name) {}
    std::vector<datapacket::PushData> Take() {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_pushes;
    }

protected:
    void ProcessTask(RecrieceDataThreadInfo* item) override {
        const auto* header = KvoPackHeader::At(item->m_payload.GetData());
        datapacket::PushData push;
        if (push.ParseFromArray(header->GetBody(), static_cast<int>(header->GetBodyLength()))) {
            std::lock_guard<std::mutex> g(m_mutex);
            m_pushes.push_back(push);
        }
        delete item;
    }

private:
    std::mutex m_mutex;
    std::vector<datapacket::PushData> m_pushes;
};

class SimMarketSessionTest : public kvotest::SimSessionTest {};

}  // namespace

// A session subscribed through the market's gateway gets pushes of what it
// subscribed, on the worker of that class; the market answers code lists.
TEST_F(SimMarketSessionTest, SubscribedClassesArePushed) {
    SimMarket market(3);
    market.Attach(sim_);
    auto s = MakeSession("SH");
    auto* stocks = new Collector("ProcessStockTick");
    ASSERT_EQ(stocks->Start(1), 1u);
    ASSERT_TRUE(s->InstallWorker(CDatafeedSDKManager::kProcessStockTick, stocks));
    ASSERT_TRUE(Connect(*s, true));

    datapacket::GetCodelistReq list;
    list.set_market("USHA");
    list.set_instid(CDatafeedSDKManager::NextInstid());
    const std::string listBody = list.SerializeAsString();
    corvane::CTLSmartBuffer answer;
    ASSERT_EQ(s->SendRequest(s->Connection(), list.instid(), KVO_PACKET_GET_CODELIST_REQ, listBody.data(),
                             uint32_t(listBody.size()), &answer, true),
              1);
    datapacket::GetCodelistRsp codes;
    ASSERT_TRUE(codes.ParseFromArray(answer.GetData(), int(answer.GetLength())));
    EXPECT_EQ(codes.codelist(), "600000,600036,601318");
    EXPECT_EQ(codes.codecount(), 3);

    datapacket::SubscribeReq sub;
    sub.set_market("USHA");
    sub.set_codelist("17(600000,601318)");
    sub.set_data_class(1);
    sub.set_suboper(1);
    sub.set_instid(CDatafeedSDKManager::NextInstid());
    const std::string subBody = sub.SerializeAsString();
    ASSERT_EQ(s->SendRequest(s->Connection(), sub.instid(), KVO_PACKET_SUBSCRIBE_REQ, subBody.data(),
                             uint32_t(subBody.size()), nullptr, true),
              1);
    market.Step();
    market.Step();
    ASSERT_TRUE(kvotest::Eventually([&] { return stocks->Take().size() == 2; }));
    for (const datapacket::PushData& p : stocks->Take()) {
        EXPECT_EQ(p.data_class(), 1);
        EXPECT_EQ(p.market(), "USHA");
        EXPECT_GT(p.datatime(), 20200000000000000ull);
        const std::string& img = p.databuf();
        CHQuoteFile file;
        ASSERT_EQ(file.OpenMemory(img.data(), uint32_t(img.size()), 0), 0u);
        EXPECT_EQ(file.GetRecordCount(), 2u);
    }
    EXPECT_EQ(market.PushesSent(), 2u);
}
