// Seeds of the frame fuzz target that carry quote data: a push and a quota
// answer whose data buffers hold quote-file images made by the test writer,
// so the fuzzer starts from frames whose buffers reach the converters.
#include <gtest/gtest.h>

#include <string>

#include "protocol/kvo_message.h"
#include "simulator/frame_writer.h"
#include "simulator/quote_writer.h"
#include "tests/support/convert_roads.h"
#include "tests/support/corpus_seeds.h"
#include "tests/support/record_builder.h"

namespace {

constexpr uint32_t kText = 0x2000, kI32 = 0x3000, kP32 = 0x7000, kP64 = 0x0000;

qw::Table Ticks() {
    qw::Table t = qw::MakeTable({{kText | 5, 0, 12},
                                 {kText | 55, 0, 16},
                                 {kI32 | 56, 0, 4},
                                 {kP64 | 278, 0, 8},
                                 {kP32 | 10, 0, 4},
                                 {kP64 | 13, 0, 8}},
                                2);
    for (uint32_t r = 0; r < 2; ++r) {
        qw::SetText(t, r, 0,
                    r ? "\x10"
                        "1A0001"
                      : "\x11"
                        "600000");
        qw::SetText(t, r, 1, "NAME");
        qw::SetU32(t, r, 2, 93005250u);
        qw::SetU64(t, r, 3, rb::Price64(3000.5, 1));
        qw::SetU32(t, r, 4, rb::Price32(10.5, 1));
        qw::SetU64(t, r, 5, rb::Packed64(1000, 0, false));
    }
    return t;
}

std::vector<uint8_t> Bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

TEST(FrameCorpus, QuoteDataSeedsMatchTheWriter) {
    const qw::Table trades = rb::TransactionTable(4, 3), ticks = Ticks();
    kvotest::Seeds seeds;

    // A push whose buffer holds bytes before its first image and three images.
    std::string payload = "xx";
    std::vector<size_t> lengths;
    for (const qw::Bytes& img : {qw::Hq6Image(trades, 0x10), qw::CompactImage(ticks), qw::NativeImage(trades)}) {
        payload.append(img.begin(), img.end());
        lengths.push_back(img.size());
    }
    // The buffer is cut where each image starts, the bytes before the first
    // skipped, and every image converts.
    const uint8_t* p = reinterpret_cast<const uint8_t*>(payload.data());
    const std::vector<kvotest::ImageSpan> cut = kvotest::CutQuoteImages(p, payload.size());
    ASSERT_EQ(cut.size(), 3u);
    EXPECT_EQ(cut[0], kvotest::ImageSpan(p + 2, lengths[0]));
    EXPECT_EQ(cut[1], kvotest::ImageSpan(p + 2 + lengths[0], lengths[1]));
    EXPECT_EQ(cut[2], kvotest::ImageSpan(p + 2 + lengths[0] + lengths[1], lengths[2]));
    const kvotest::RoadCounts roads = kvotest::ConvertPayloadEveryWay(p, payload.size());
    EXPECT_EQ(roads.opened, 3u);
    EXPECT_GT(roads.delivered, 0u);
    datapacket::PushData push;
    push.set_market("USHA");
    push.set_data_class(5);
    push.add_produce_time(1704418205000ull);
    push.set_send_time(1704418205100ull);
    push.set_datatime(20240105093005250ull);
    push.set_databuf(payload);
    seeds["push_images"] = Bytes(kvotest::GatewayMessageFrame(20, push));

    // A quota answer with one image.
    const qw::Bytes img = qw::Hq6Image(ticks, 0x10);
    datapacket::GetQuotaRsp quota;
    quota.set_market("USHA");
    quota.set_data_class(2);
    quota.set_instid(7);
    quota.set_databuf(std::string(img.begin(), img.end()));
    seeds["quota_image"] = Bytes(kvotest::GatewayMessageFrame(KVO_PACKET_GET_QUOTA_RSP, quota));
    kvotest::CheckOrWriteSeeds("frame", seeds);
}

}  // namespace
