#include "quote/superstock.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "framework/tl_log.h"
#include "quote/convert_fields.h"
#include "quote/records.h"

namespace {

constexpr double kPriceEpsilon = 0.000001;

struct Header {
    uint32_t bidCount;
    uint32_t askCount;
};

// The common set-up of both forms: market and code from the key, the last
// price, the date and time with milliseconds. The record is zero-filled.
Header SetUpRecord(SuperStock* rec, const uint8_t* head, const char* key, const ConvertImage* image) {
    memset(rec, 0, sizeof *rec);
    KeyMarketCode(image, key, rec->market, rec->code);
    uint32_t word = LoadU32(head + 4);
    // Without the tag the header carries no last price.
    rec->new_price = (word & 0xFFu) == 1 ? double(word >> 8) / 1000.0 : -0.0;
    uint32_t countWord = LoadU32(head + 12);
    int32_t date = 0, time = 0;
    if (LocalRecordDateTime(int64_t(static_cast<int32_t>(LoadU32(head + 16))), &date, &time))
        time += static_cast<int32_t>(countWord >> 22);
    rec->date = date;
    rec->time = time;
    return Header{LoadU32(head + 8), countWord & 0x3FFFFFu};
}

// Stride of a code's records in the context of either form: the context's
// record size, else the image's; 0 when there is nothing to read (no records
// or no context) or the records are too short to hold the 20-byte header and
// entries.
template <class Context>
uint32_t BlockStride(const Context* ctx, const void* records, int32_t count) {
    if (records == nullptr || count < 1 || ctx == nullptr) return 0;
    uint32_t size = ctx->record_size != 0 ? ctx->record_size : (ctx->image != nullptr ? ctx->image->RecordSize() : 0);
    return size >= kSuperStockRecordSize ? size : 0;
}

}  // namespace

bool IsBidLevelEntry(uint32_t bidCount, uint32_t index, uint32_t side, int64_t levelsLeft) {
    return index < bidCount && side == 1 && levelsLeft >= 1 && levelsLeft <= 10;
}

bool HasFreeAskLevel(uint32_t side, int32_t asksFilled) { return side == 2 && asksFilled < 10; }

void AppendAskLevel(double price, double prevPrice, SuperStock* rec, int32_t* asksFilled, int32_t volume) {
    if (std::fabs(price - prevPrice) >= kPriceEpsilon) {
        rec->askorder_price[*asksFilled] = price;
        rec->askorder_volume[*asksFilled] = volume;
        ++*asksFilled;
    } else if (*asksFilled > 0) {
        rec->askorder_volume[*asksFilled - 1] = rec->askorder_volume[*asksFilled - 1] + volume;
    }
}

bool IsSuperStockComplete(int64_t bidsLeft, int64_t asksLeft, uint32_t bidCount, uint32_t askCount) {
    bool bids = bidsLeft == int64_t(bidCount) || (bidCount > 10 && bidsLeft >= 10);
    bool asks = asksLeft == int64_t(askCount) || (askCount > 10 && asksLeft >= 10);
    return bids && asks;
}

void FillSuperStockLevels(SuperStock* rec, const std::vector<SuperStockLevel>& list, int64_t bidsLeft) {
    int64_t l = bidsLeft;
    int k = 0;
    for (const SuperStockLevel& e : list) {
        if (l >= 1 && l <= 10) {
            --l;
            rec->bidorder_price[l] = e.price;
            rec->bidorder_volume[l] = e.volume;
        } else if (l == 0) {
            if (k >= 10) break;
            rec->askorder_price[k] = e.price;
            rec->askorder_volume[k] = e.volume;
            ++k;
        } else {
            --l;  // a bid below the ten best
        }
    }
}

int32_t ConvertSuperStockPush(PushConvertContext* ctx, const char* key, const void* records, int32_t count) {
    uint32_t stride = BlockStride(ctx, records, count);
    if (stride == 0) return 0;
    const uint8_t* block = static_cast<const uint8_t*>(records);
    if (LoadU32(block) != kSuperStockMarker) return -1;

    // SetUpRecord zero-fills the record.
    SuperStock* rec = static_cast<SuperStock*>(malloc(sizeof(SuperStock)));
    if (rec == nullptr) {
        TL_WriteLog(1, "convert super stock: no memory for a record");
        return 0;
    }
    Header h = SetUpRecord(rec, block, key, ctx->image);

    int64_t l = h.bidCount;
    int32_t a = 0;
    double prev = 0.0;
    bool bidWritten = false;
    for (int32_t i = 0; i + 1 < count; ++i) {
        const uint8_t* e = block + size_t(i + 1) * stride;
        double p = UnpackPacked32(LoadU32(e));
        int32_t v = TruncateToInt32(UnpackPacked32(LoadU32(e + 4)));
        if (v == kInt32NoValue) v = 0;
        uint32_t side = LoadU32(e + 8);
        if (p < prev) {  // prices out of order: no record for this code
            free(rec);
            return 0;
        }
        if (IsBidLevelEntry(h.bidCount, uint32_t(i), side, l)) {
            if (std::fabs(p - prev) >= kPriceEpsilon) {
                --l;
                rec->bidorder_price[l] = p;
                rec->bidorder_volume[l] = v;
                bidWritten = true;
            } else if (bidWritten) {
                // The same price again: its volume belongs to that level.
                rec->bidorder_volume[l] = rec->bidorder_volume[l] + v;
            }
        } else if (HasFreeAskLevel(side, a)) {
            AppendAskLevel(p, prev, rec, &a, v);
        } else if (side == 1 && l > 10) {
            --l;
        }
        prev = p;
    }
    AddRecordBlock(ctx, rec, 1);
    return 0;
}

int32_t ConvertSuperStockSnapshot(SnapshotConvertContext* ctx, const char* key, const void* records, int32_t count) {
    uint32_t stride = BlockStride(ctx, records, count);
    if (stride == 0) return 0;
    const uint8_t* block = static_cast<const uint8_t*>(records);
    if (LoadU32(block) != kSuperStockMarker) return -1;

    SuperStock rec;
    Header h = SetUpRecord(&rec, block, key, ctx->image);

    std::vector<SuperStockLevel> list;
    try {
        list.reserve(size_t(count - 1));
    } catch (const std::bad_alloc&) {
        TL_WriteLog(1, "convert super stock: no memory for %d levels", count - 1);
        return 0;
    }
    for (int32_t i = 1; i < count; ++i) {
        const uint8_t* e = block + size_t(i) * stride;
        // A volume without value or below zero counts as 0, so that the
        // subtractions below stay within range.
        int32_t v = TruncateToInt32(UnpackPacked32(LoadU32(e + 4)));
        list.push_back(SuperStockLevel{UnpackPacked32(LoadU32(e)), v < 0 ? 0 : v});
    }

    // Uncross the boundary between the highest bid and the lowest ask.
    int64_t l = h.bidCount;
    int64_t a = h.askCount;
    while (l != 0 && int64_t(list.size()) > l) {
        SuperStockLevel& b = list[size_t(l - 1)];
        SuperStockLevel& s = list[size_t(l)];
        if (!(std::fabs(b.price - s.price) < kPriceEpsilon || b.price > s.price)) break;
        int32_t m = b.volume < s.volume ? b.volume : s.volume;
        b.volume -= m;
        s.volume -= m;
        if (b.volume == 0) {
            list.erase(list.begin() + (l - 1));
            --l;
        }
        if (list[size_t(l)].volume == 0) {
            list.erase(list.begin() + l);
            --a;
        }
    }
    if (!IsSuperStockComplete(l, a, h.bidCount, h.askCount)) return 0;

    // SetUpRecord zero-filled the record, so the levels FillSuperStockLevels
    // leaves unwritten stay 0.
    FillSuperStockLevels(&rec, list, l);
    if (ctx->superStockList != nullptr) ctx->superStockList->Append(&rec);
    return 0;
}
