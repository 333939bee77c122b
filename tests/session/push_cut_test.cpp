// Cutting push payloads into quote-file images, the data-type tables of the
// push workers, and joining a conversion's record blocks.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "session/push_workers.h"

namespace {

using Pieces = std::vector<std::pair<uint32_t, uint32_t>>;

Pieces Cut(const std::string& payload) {
    Pieces pieces;
    CutQuoteImages(reinterpret_cast<const uint8_t*>(payload.data()), uint32_t(payload.size()), &pieces);
    return pieces;
}

bool Find(const std::string& text, uint32_t* at) {
    return FindQuoteImageHeader(reinterpret_cast<const uint8_t*>(text.data()), uint32_t(text.size()), at);
}

// A malloc'ed block of count records of size bytes, record i filled with
// the byte first + i.
RecordBlock Block(uint32_t count, uint32_t size, uint8_t first) {
    auto* p = static_cast<uint8_t*>(std::malloc(size_t(count) * size));
    for (uint32_t i = 0; i < count; ++i) std::memset(p + size_t(i) * size, first + i, size);
    return RecordBlock{count, p};
}

}  // namespace

TEST(PushImages, HeadersAndCuts) {
    uint32_t at = 99;
    EXPECT_TRUE(Find("hq1.0", &at));
    EXPECT_EQ(at, 0u);
    EXPECT_TRUE(Find("xyhd1.0", &at));
    EXPECT_EQ(at, 2u);
    EXPECT_TRUE(Find("--hq6.0--", &at));
    EXPECT_EQ(at, 2u);
    EXPECT_TRUE(Find("hd6.0", &at));
    for (const char* none : {"hq7.0", "hd5.1", "hd3.0", "hd4.1", "hd1.3", "hq1.", "hq6,0", "Hq1.0", ""}) {
        EXPECT_FALSE(Find(none, &at)) << none;
    }
    at = 99;
    EXPECT_FALSE(Find("hq1.", &at));
    EXPECT_EQ(at, 99u);
    EXPECT_FALSE(FindQuoteImageHeader(nullptr, 10, &at));
    // A header that ends exactly at the end of the data is found.
    EXPECT_TRUE(Find("abcdhq6.0", &at));
    EXPECT_EQ(at, 4u);

    // Two stray bytes, an "hq6.0" image and an "hd1.0" image.
    EXPECT_EQ(Cut("..hq6.0AAAAhd1.0BB"), (Pieces{{2, 9}, {11, 7}}));
    EXPECT_EQ(Cut("hq1.0"), (Pieces{{0, 5}}));
    EXPECT_EQ(Cut("hq1.0hq1.0"), (Pieces{{0, 5}, {5, 5}}));
    EXPECT_EQ(Cut("hq1.0 data hq7.0 more"), (Pieces{{0, 21}}));
    EXPECT_TRUE(Cut("no image at all hq1").empty());
    EXPECT_TRUE(Cut("").empty());
    // A header inside the image's first five bytes cannot start another.
    EXPECT_EQ(Cut("hd1.0hd1.0x"), (Pieces{{0, 5}, {5, 6}}));
}

TEST(PushImages, DataTypesOfWireClasses) {
    const uint32_t single[14] = {kNoDataType, 0, 1, 5, 6, 4, 8, 9, 7, 10, 11, 4, 7, 4};
    const uint32_t batch[14] = {kNoDataType, 0, kNoDataType, kNoDataType, kNoDataType, 4, 8,
                                9,           7, kNoDataType, 11,          4,           7, 4};
    for (int32_t c = 0; c < 14; ++c) {
        EXPECT_EQ(SingleImageDataType(c), single[c]) << c;
        EXPECT_EQ(BatchImageDataType(c), batch[c]) << c;
    }
    EXPECT_EQ(SingleImageDataType(14), kNoDataType);
    EXPECT_EQ(BatchImageDataType(-1), kNoDataType);
    const uint32_t sizes[13] = {809, 0, 0, 0, 69, 0, 0, 71, 69, 69, 0, 357, 0};
    for (uint32_t id = 0; id < 13; ++id) EXPECT_EQ(JoinedRecordSize(id), sizes[id]) << id;
}

// Blocks are joined in order and count and each is freed (LeakSanitizer
// watches); one block is handed on as it is; no records give null and 0;
// an id without a joined size leaves everything alone.
TEST(PushImages, ConcatRecordBlocks) {
    PushConvertContext ctx;
    ctx.data_type = kDataTransactionPush;
    for (auto [count, first] : {std::pair<uint32_t, uint8_t>{3, 10}, {1, 20}, {2, 30}}) {
        ctx.blocks.push_back(Block(count, 69, first));
        ctx.gathered += count;
    }
    void* records = nullptr;
    RecordBlock out{77, nullptr};
    ConcatRecordBlocks(&ctx, &records, &out);
    ASSERT_EQ(out.count, 6u);
    ASSERT_EQ(records, out.records);
    EXPECT_TRUE(ctx.blocks.empty());
    const auto* bytes = static_cast<const uint8_t*>(records);
    const uint8_t expected[6] = {10, 11, 12, 20, 30, 31};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(bytes[i * 69], expected[i]);
        EXPECT_EQ(bytes[i * 69 + 68], expected[i]);
    }
    std::free(records);

    PushConvertContext one;
    one.data_type = kDataStockPush;
    one.blocks.push_back(Block(2, 809, 5));
    one.gathered = 2;
    void* kept = one.blocks[0].records;
    ConcatRecordBlocks(&one, &records, &out);
    EXPECT_EQ(records, kept);
    EXPECT_EQ(out.count, 2u);
    std::free(records);

    PushConvertContext none;
    none.data_type = kDataSuperStockPush;
    records = &out;
    ConcatRecordBlocks(&none, &records, &out);
    EXPECT_EQ(records, nullptr);
    EXPECT_EQ(out.count, 0u);
    EXPECT_EQ(out.records, nullptr);

    PushConvertContext other;
    other.data_type = kDataIndexPush;
    other.blocks.push_back(Block(1, 133, 1));
    other.gathered = 1;
    records = &out;
    out.count = 9;
    ConcatRecordBlocks(&other, &records, &out);
    EXPECT_EQ(records, &out);
    EXPECT_EQ(out.count, 9u);
    EXPECT_EQ(other.blocks.size(), 1u);
    FreeRecordBlocks(&other.blocks);
}
