#include "quote/convert.h"

#include <array>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "framework/tl_alloc.h"
#include "framework/tl_log.h"
#include "quote/convert_fields.h"
#include "quote/convert_plan.h"
#include "quote/market.h"
#include "quote/records.h"
#include "quote/records_indexcode.h"
#include "quote/superstock.h"

namespace {

constexpr uint64_t kBillion = 1000000000ull;

// ---------------------------------------------------------------------------
// Market, code, texts, dates

struct MarketCode {
    char market[5];
    char code[16];
    uint32_t id;
};

// Market and code from a text (field 5 of a record, or a code key): the
// market id from its start, the code from its second byte. With indexCodes
// and the byte market 16, the code is the public form of the index code in
// the six bytes after the first.
void MarketCodeFromText(const uint8_t* text, size_t len, bool indexCodes, MarketCode* out) {
    memset(out, 0, sizeof *out);
    if (text == nullptr || len == 0) return;
    char buf[kRecordTextMax + 1];
    if (len > kRecordTextMax) len = kRecordTextMax;
    memcpy(buf, text, len);
    buf[len] = '\0';
    out->id = MarketIdFromText(buf);
    MarketIdToString(out->id, out->market);
    if (indexCodes && out->id == 16) {
        std::string pub = IndexCodeToPublicCode(std::string(buf + 1, len - 1 < 6 ? len - 1 : 6));
        SetRecordCode(out->code, pub.data(), pub.size());
    } else {
        SetRecordCode(out->code, buf + 1, len - 1);
    }
}

// A code key is taken as stored, up to its first zero byte: unlike a text
// column it is not trimmed, so a key that ends in blanks keeps them and the
// market byte 0x20 (a blank) still names its market.
void MarketCodeFromKey(const ConvertImage* image, const char* key, MarketCode* out) {
    uint32_t keySize = image != nullptr ? image->KeySize() : 16;
    if (keySize == 0 || keySize > kRecordTextMax) keySize = 16;
    const uint8_t* k = reinterpret_cast<const uint8_t*>(key);
    MarketCodeFromText(k, k != nullptr ? strnlen(key, keySize) : 0, false, out);
}

size_t FieldText(const uint8_t* rec, const QuoteFieldDescriptor& d, const uint8_t** text) {
    *text = nullptr;
    if (IsAbsentField(d)) return 0;
    *text = rec + d.offset;
    return RecordTextLength(*text, d.width);
}

void CopyFieldText(char* field, size_t fieldSize, const uint8_t* rec, const QuoteFieldDescriptor& d, size_t limit) {
    const uint8_t* text;
    size_t len = FieldText(rec, d, &text);
    CopyRecordText(field, fieldSize, text, len, limit);
}

void StampMarketCode(char (&market)[5], char (&code)[16], const MarketCode& mc) {
    memcpy(market, mc.market, sizeof market);
    memcpy(code, mc.code, sizeof code);
}

// Date YYYYMMDD from a value YYYYMMDDhhmmssmmm; 0 when it does not fit.
int32_t DateOf(uint64_t v) {
    uint64_t d = v / kBillion;
    return d <= uint64_t(INT32_MAX) ? static_cast<int32_t>(d) : 0;
}

int32_t TimeOf(uint64_t v) { return static_cast<int32_t>(v % kBillion); }

struct DateTime {
    int32_t date;
    int32_t time;
};

// A date-time read as a signed value: no value (negative) gives 0 and 0.
DateTime SplitDateTime(int64_t v) {
    if (v < 0) return DateTime{0, 0};
    return DateTime{DateOf(uint64_t(v)), TimeOf(uint64_t(v))};
}

DateTime PushTickDateTime(uint64_t datatime, int32_t t) {
    return DateTime{DateOf(datatime), t > 0 ? static_cast<int32_t>(uint32_t(t) % kBillion) : TimeOf(datatime)};
}

// Seconds since 1970 stored as the u32 at field 1's offset (snapshots).
DateTime SnapshotDateTime(const uint8_t* rec, const QuoteFieldDescriptor& d, uint32_t recordSize) {
    DateTime dt{0, 0};
    if (IsAbsentField(d) || uint64_t(d.offset) + 4 > recordSize) return dt;
    LocalRecordDateTime(int64_t(LoadU32(rec + d.offset)), &dt.date, &dt.time);
    return dt;
}

template <class Rec>
void SetDateTime(Rec* r, DateTime dt) {
    r->date = dt.date;
    r->time = dt.time;
}

// ---------------------------------------------------------------------------
// Allocation and delivery

// Zero-filled, or unzeroed for callers that write every byte (with the
// pattern of TL_FillUnzeroed in the builds tests run).
void* AllocRecords(size_t count, size_t size, const char* what, bool zeroed = true) {
    void* p = zeroed ? calloc(count, size) : (count <= SIZE_MAX / size ? malloc(count * size) : nullptr);
    if (p == nullptr)
        TL_WriteLog(1, "convert %s: no memory for %zu records", what, count);
    else if (!zeroed)
        TL_FillUnzeroed(p, count * size);
    return p;
}

// The input stride of a push or snapshot context; 0 when the context cannot
// be read safely (no image, or a stride shorter than the image's records).
template <class Context>
uint32_t ContextStride(const Context* ctx) {
    if (ctx == nullptr || ctx->image == nullptr) return 0;
    uint32_t imageSize = ctx->image->RecordSize();
    uint32_t stride = ctx->record_size != 0 ? ctx->record_size : imageSize;
    return stride >= imageSize ? stride : 0;
}

template <size_t N>
void ResolveAll(const ConvertImage& image, const std::array<uint32_t, N>& ids,
                std::array<QuoteFieldDescriptor, N>* out) {
    for (size_t i = 0; i < N; ++i) (*out)[i] = ResolveField(image, ids[i]);
}

// The descriptors of a pushed type: from the session's cache (filled from
// this image when empty or filled from another layout), or looked up in this
// image when the context has no session.
template <size_t N>
const QuoteFieldDescriptor* PushFields(PushConvertContext* ctx, uint32_t type, const std::array<uint32_t, N>& ids,
                                       std::array<QuoteFieldDescriptor, N>* local) {
    if (ctx->session != nullptr) return ctx->session->caches[type].Get(*ctx->image, ids.data(), N);
    ResolveAll(*ctx->image, ids, local);
    return local->data();
}

// ---------------------------------------------------------------------------
// Field lists

// Index ticks (ids 1 and 3).
enum IndexField {
    iCode,
    iName,
    iStatus,
    iTime,
    iDate,
    iPre,
    iOpen,
    iHigh,
    iLow,
    iNew,
    iVolume,
    iTurnover,
    iTradeNum,
    iCount
};
constexpr std::array<uint32_t, iCount> kIndexIds = {5, 55, 127, 56, 1, 274, 275, 276, 277, 278, 13, 19, 18};

// Stock ticks (ids 0 and 2).
enum StockField {
    sCode,
    sName,
    sStatus,
    sTime,
    sDate,
    sPre,
    sOpen,
    sHigh,
    sLow,
    sNew,
    sVolume,
    sTurnover,
    sTradeNum,
    sBidPrice,
    sBidVolume = sBidPrice + 10,
    sBidNum = sBidVolume + 10,
    sAskPrice = sBidNum + 10,
    sAskVolume = sAskPrice + 10,
    sAskNum = sAskVolume + 10,
    sTotalBidVolume = sAskNum + 10,
    sTotalAskVolume,
    sAvgBid,
    sAvgAsk,
    sUpLimit,
    sDownLimit,
    sPe,
    sIopv,
    sWBuyNum,
    sWBuyVolume,
    sWBuyTurnover,
    sWSellNum,
    sWSellVolume,
    sWSellTurnover,
    sTotalBidNum,
    sTotalAskNum,
    sBidOrderNum,
    sAskOrderNum,
    sInner,
    sOuter,
    sAfterVolume,
    sAfterVolmount,
    sF76,
    sF77,
    sF141,
    sF271,
    sF86,
    sCount
};
constexpr uint32_t kBidPriceIds[10] = {24, 26, 28, 150, 154, 102, 106, 110, 114, 118};
constexpr uint32_t kBidVolumeIds[10] = {25, 27, 29, 151, 155, 103, 107, 111, 115, 119};
constexpr uint32_t kAskPriceIds[10] = {30, 32, 34, 152, 156, 104, 108, 112, 116, 120};
constexpr uint32_t kAskVolumeIds[10] = {31, 33, 35, 153, 157, 105, 109, 113, 117, 121};

constexpr std::array<uint32_t, sCount> MakeStockIds() {
    std::array<uint32_t, sCount> a{};
    const uint32_t head[] = {5, 55, 127, 56, 1, 6, 7, 8, 9, 10, 13, 19, 18};
    for (int i = 0; i < 13; ++i) a[i] = head[i];
    for (int i = 0; i < 10; ++i) {
        a[sBidPrice + i] = kBidPriceIds[i];
        a[sBidVolume + i] = kBidVolumeIds[i];
        a[sBidNum + i] = 131 + i;
        a[sAskPrice + i] = kAskPriceIds[i];
        a[sAskVolume + i] = kAskVolumeIds[i];
        a[sAskNum + i] = 181 + i;
    }
    const uint32_t tail[] = {123, 125, 122, 124, 69, 70, 91, 80, 264, 265, 266, 268, 269, 270,
                             195, 196, 197, 198, 15, 14, 74, 75, 76,  77,  141, 271, 86};
    for (int i = 0; i < sCount - sTotalBidVolume; ++i) a[sTotalBidVolume + i] = tail[i];
    return a;
}
constexpr std::array<uint32_t, sCount> kStockIds = MakeStockIds();
static_assert(sCount - sTotalBidVolume == 27, "stock tail list");

// Five-level ticks (id 10).
enum FiveField {
    fCode,
    fName,
    fStatus,
    fF66,
    fF72,
    fOpen,
    fHigh,
    fLow,
    fNew,
    fPre,
    fF141,
    fF142,
    fF73,
    fF65,
    fBidPrice,
    fBidVolume = fBidPrice + 5,
    fAskPrice = fBidVolume + 5,
    fAskVolume = fAskPrice + 5,
    fVolume = fAskVolume + 5,
    fTurnover,
    fCount
};
constexpr std::array<uint32_t, fCount> MakeFiveIds() {
    std::array<uint32_t, fCount> a{};
    const uint32_t head[] = {5, 55, 83, 66, 72, 7, 8, 9, 10, 6, 141, 142, 73, 65};
    for (int i = 0; i < 14; ++i) a[i] = head[i];
    for (int i = 0; i < 5; ++i) {
        a[fBidPrice + i] = kBidPriceIds[i];
        a[fBidVolume + i] = kBidVolumeIds[i];
        a[fAskPrice + i] = kAskPriceIds[i];
        a[fAskVolume + i] = kAskVolumeIds[i];
    }
    a[fVolume] = 13;
    a[fTurnover] = 19;
    return a;
}
constexpr std::array<uint32_t, fCount> kFiveIds = MakeFiveIds();

// Orders (id 7).
enum OrderField { oDateTime, oIndex, oBizIndex, oF77, oChannel, oVolume, oF271, oPrice, oKind, oType89, oSide, oCount };
constexpr std::array<uint32_t, oCount> kOrderIds = {56, 1, 76, 77, 73, 13, 271, 10, 272, 89, 12};

// Transactions (id 4) and cancellations (ids 8, 9).
enum TradeField {
    tDateTime,
    tIndex,
    tBizIndex,
    tChannel,
    tPrice,
    tVolume,
    tBuyIndex,
    tSellIndex,
    tKind,
    tSide,
    tF271,
    tCount
};
constexpr std::array<uint32_t, tCount> kTransactionIds = {56, 1, 76, 73, 10, 13, 74, 75, 272, 12, 271};
enum CancelField { cDateTime, cIndex, cBizIndex, cChannel, cPrice, cVolume, cOrderIndex, cF271, cCount };
constexpr std::array<uint32_t, cCount> kCancelIds = {82, 1, 76, 73, 20, 13, 37, 271};

// ---------------------------------------------------------------------------
// The numbers of the record-wise outputs, filled through a NumberPlan

struct NumberFieldList {
    NumberField fields[NumberPlan::kMaxFields];
    size_t n;
};

class NumberListBuilder {
public:
    // A field of `size` bytes at `at`; the reading must be one the plan
    // knows and give that many bytes, and the list must fit the plan (a list
    // that does not fails to compile: the throw is not constant).
    constexpr void Add(int field, NumberRead read, size_t at, size_t size) {
        bool narrow = read == NumberRead::kInt32 || read == NumberRead::kDoubleToInt32;
        if (read >= NumberRead::kCount || size != (narrow ? 4u : 8u) || m_list.n == NumberPlan::kMaxFields)
            throw "number field";
        m_list.fields[m_list.n++] = NumberField{uint16_t(field), read, uint16_t(at)};
    }
    // count consecutive fields from field, elementSize bytes apart from at.
    constexpr void AddArray(int field, NumberRead read, size_t at, int count, size_t elementSize) {
        for (int i = 0; i < count; ++i) Add(field + i, read, at + size_t(i) * elementSize, elementSize);
    }
    constexpr NumberFieldList List() const { return m_list; }

private:
    NumberFieldList m_list{};
};

constexpr NumberFieldList MakeIndexNumbers() {
    using R = NumberRead;
    NumberListBuilder b;
    b.Add(iPre, R::kDouble, offsetof(TickIndex, pre_price), sizeof(TickIndex::pre_price));
    b.Add(iOpen, R::kDouble, offsetof(TickIndex, open_price), sizeof(TickIndex::open_price));
    b.Add(iHigh, R::kDouble, offsetof(TickIndex, high_price), sizeof(TickIndex::high_price));
    b.Add(iLow, R::kDouble, offsetof(TickIndex, low_price), sizeof(TickIndex::low_price));
    b.Add(iNew, R::kDouble, offsetof(TickIndex, new_price), sizeof(TickIndex::new_price));
    b.Add(iVolume, R::kDoubleToInt64, offsetof(TickIndex, volume), sizeof(TickIndex::volume));
    b.Add(iTurnover, R::kDouble, offsetof(TickIndex, turnover), sizeof(TickIndex::turnover));
    b.Add(iTradeNum, R::kInt64, offsetof(TickIndex, trade_num), sizeof(TickIndex::trade_num));
    return b.List();
}
constexpr NumberFieldList kIndexNumbers = MakeIndexNumbers();

// The snapshot answer carries the i32 fields through doubles and reads
// field_271 apart (the low half of the integer reading).
constexpr NumberFieldList MakeStockNumbers(bool snapshot) {
    using R = NumberRead;
    using T = TickStock;
    const R i32 = snapshot ? R::kDoubleToInt32 : R::kInt32;
    NumberListBuilder b;
    b.Add(sPre, R::kDouble, offsetof(T, pre_price), sizeof(T::pre_price));
    b.Add(sOpen, R::kDouble, offsetof(T, open_price), sizeof(T::open_price));
    b.Add(sHigh, R::kDouble, offsetof(T, high_price), sizeof(T::high_price));
    b.Add(sLow, R::kDouble, offsetof(T, low_price), sizeof(T::low_price));
    b.Add(sNew, R::kDouble, offsetof(T, new_price), sizeof(T::new_price));
    b.Add(sVolume, R::kDoubleToInt64, offsetof(T, volume), sizeof(T::volume));
    b.Add(sTurnover, R::kDouble, offsetof(T, turnover), sizeof(T::turnover));
    b.Add(sTradeNum, R::kInt64, offsetof(T, trade_num), sizeof(T::trade_num));
    b.AddArray(sBidPrice, R::kDouble, offsetof(T, bidorder_price), 10, sizeof(T::bidorder_price[0]));
    b.AddArray(sBidVolume, R::kInt64, offsetof(T, bidorder_volume), 10, sizeof(T::bidorder_volume[0]));
    b.AddArray(sBidNum, R::kInt64, offsetof(T, bid_numorders), 10, sizeof(T::bid_numorders[0]));
    b.AddArray(sAskPrice, R::kDouble, offsetof(T, askorder_price), 10, sizeof(T::askorder_price[0]));
    b.AddArray(sAskVolume, R::kInt64, offsetof(T, askorder_volume), 10, sizeof(T::askorder_volume[0]));
    b.AddArray(sAskNum, R::kInt64, offsetof(T, ask_numorders), 10, sizeof(T::ask_numorders[0]));
    b.Add(sTotalBidVolume, R::kInt64, offsetof(T, totalbid_volume), sizeof(T::totalbid_volume));
    b.Add(sTotalAskVolume, R::kInt64, offsetof(T, totalask_volume), sizeof(T::totalask_volume));
    b.Add(sAvgBid, R::kDouble, offsetof(T, avgbid_price), sizeof(T::avgbid_price));
    b.Add(sAvgAsk, R::kDouble, offsetof(T, avgask_price), sizeof(T::avgask_price));
    b.Add(sUpLimit, R::kDouble, offsetof(T, uplimit_price), sizeof(T::uplimit_price));
    b.Add(sDownLimit, R::kDouble, offsetof(T, downlimit_price), sizeof(T::downlimit_price));
    b.Add(sPe, R::kDouble, offsetof(T, pe), sizeof(T::pe));
    b.Add(sIopv, R::kDouble, offsetof(T, iopv), sizeof(T::iopv));
    b.Add(sWBuyNum, i32, offsetof(T, withdraw_buynum), sizeof(T::withdraw_buynum));
    b.Add(sWBuyVolume, R::kInt64, offsetof(T, withdraw_buyvolume), sizeof(T::withdraw_buyvolume));
    b.Add(sWBuyTurnover, R::kDouble, offsetof(T, withdraw_buyturnover), sizeof(T::withdraw_buyturnover));
    b.Add(sWSellNum, i32, offsetof(T, withdraw_sellnum), sizeof(T::withdraw_sellnum));
    b.Add(sWSellVolume, R::kInt64, offsetof(T, withdraw_sellvol), sizeof(T::withdraw_sellvol));
    b.Add(sWSellTurnover, R::kDouble, offsetof(T, withdraw_sellturnover), sizeof(T::withdraw_sellturnover));
    b.Add(sTotalBidNum, i32, offsetof(T, totalbid_num), sizeof(T::totalbid_num));
    b.Add(sTotalAskNum, i32, offsetof(T, totalask_num), sizeof(T::totalask_num));
    b.Add(sBidOrderNum, i32, offsetof(T, bidorder_num), sizeof(T::bidorder_num));
    b.Add(sAskOrderNum, i32, offsetof(T, askorder_num), sizeof(T::askorder_num));
    b.Add(sInner, R::kDoubleToInt64, offsetof(T, inner_volume), sizeof(T::inner_volume));
    b.Add(sOuter, R::kDoubleToInt64, offsetof(T, outer_volume), sizeof(T::outer_volume));
    b.Add(sAfterVolume, R::kInt64, offsetof(T, aftermarket_volume), sizeof(T::aftermarket_volume));
    b.Add(sAfterVolmount, i32, offsetof(T, aftermarket_volmount), sizeof(T::aftermarket_volmount));
    b.Add(sF76, R::kDouble, offsetof(T, field_76), sizeof(T::field_76));
    b.Add(sF77, R::kDouble, offsetof(T, field_77), sizeof(T::field_77));
    b.Add(sF141, R::kDouble, offsetof(T, field_141), sizeof(T::field_141));
    if (!snapshot) b.Add(sF271, R::kInt32, offsetof(T, field_271), sizeof(T::field_271));
    return b.List();
}
constexpr NumberFieldList kStockPushNumbers = MakeStockNumbers(false);
constexpr NumberFieldList kStockSnapshotNumbers = MakeStockNumbers(true);

constexpr NumberFieldList MakeFiveLevelNumbers() {
    using R = NumberRead;
    using T = FiveLevelTick;
    NumberListBuilder b;
    b.Add(fF66, R::kDouble, offsetof(T, field_66), sizeof(T::field_66));
    b.Add(fF72, R::kDouble, offsetof(T, field_72), sizeof(T::field_72));
    b.Add(fOpen, R::kDouble, offsetof(T, open_price), sizeof(T::open_price));
    b.Add(fHigh, R::kDouble, offsetof(T, high_price), sizeof(T::high_price));
    b.Add(fLow, R::kDouble, offsetof(T, low_price), sizeof(T::low_price));
    b.Add(fNew, R::kDouble, offsetof(T, new_price), sizeof(T::new_price));
    b.Add(fPre, R::kDouble, offsetof(T, pre_price), sizeof(T::pre_price));
    b.Add(fF141, R::kDouble, offsetof(T, field_141), sizeof(T::field_141));
    b.Add(fF142, R::kInt32, offsetof(T, field_142), sizeof(T::field_142));
    b.Add(fF73, R::kInt32, offsetof(T, field_73), sizeof(T::field_73));
    b.Add(fF65, R::kInt32, offsetof(T, field_65), sizeof(T::field_65));
    b.AddArray(fBidPrice, R::kDouble, offsetof(T, bidorder_price), 5, sizeof(T::bidorder_price[0]));
    b.AddArray(fBidVolume, R::kInt32, offsetof(T, bidorder_volume), 5, sizeof(T::bidorder_volume[0]));
    b.AddArray(fAskPrice, R::kDouble, offsetof(T, askorder_price), 5, sizeof(T::askorder_price[0]));
    b.AddArray(fAskVolume, R::kInt32, offsetof(T, askorder_volume), 5, sizeof(T::askorder_volume[0]));
    b.Add(fVolume, R::kDoubleToInt64, offsetof(T, volume), sizeof(T::volume));
    b.Add(fTurnover, R::kDouble, offsetof(T, turnover), sizeof(T::turnover));
    return b.List();
}
constexpr NumberFieldList kFiveLevelNumbers = MakeFiveLevelNumbers();

// True when the numbers, the head [0, headEnd) (market, code, name, status,
// date and time, which the record fillers write whole) and the tail
// [tailAt, size) (field_86 of a stock tick) cover a record of size bytes,
// each byte once. The record-wise push converters then need not zero their
// output arrays first.
constexpr bool CoversRecord(const NumberFieldList& list, size_t headEnd, size_t tailAt, size_t size) {
    bool seen[KVO_TICKSTOCK_SIZE] = {};
    if (size > KVO_TICKSTOCK_SIZE) return false;
    auto mark = [&](size_t at, size_t n) {
        for (size_t i = at; i < at + n; ++i) {
            if (i >= size || seen[i]) return false;
            seen[i] = true;
        }
        return true;
    };
    if (!mark(0, headEnd) || !mark(tailAt, size - tailAt)) return false;
    for (size_t i = 0; i < list.n; ++i) {
        NumberRead r = list.fields[i].read;
        if (!mark(list.fields[i].at, r == NumberRead::kInt32 || r == NumberRead::kDoubleToInt32 ? 4 : 8)) return false;
    }
    for (size_t i = 0; i < size; ++i)
        if (!seen[i]) return false;
    return true;
}
static_assert(CoversRecord(kStockPushNumbers, offsetof(TickStock, time) + 4, offsetof(TickStock, field_86),
                           sizeof(TickStock)));
static_assert(CoversRecord(kIndexNumbers, offsetof(TickIndex, time) + 4, sizeof(TickIndex), sizeof(TickIndex)));
static_assert(CoversRecord(kFiveLevelNumbers, offsetof(FiveLevelTick, time) + 4, sizeof(FiveLevelTick),
                           sizeof(FiveLevelTick)));

// Sets plan up for a record family's numbers. A layout the plan refuses is
// logged with its code and the family's records are not converted: no
// records with numbers left out.
bool BuildNumberPlan(NumberPlan* plan, const QuoteFieldDescriptor* f, const NumberFieldList& numbers,
                     const char* what) {
    const int rc = plan->Build(f, numbers.fields, numbers.n);
    if (rc != 0) TL_WriteLog(1, "convert %s: %zu numbers refused by the plan (%d)", what, numbers.n, rc);
    return rc == 0;
}

// ---------------------------------------------------------------------------
// Record fillers (the numbers of the record-wise outputs come from their
// NumberPlan, see the lists above)

void FillIndexTick(TickIndex* r, const uint8_t* rec, const QuoteFieldDescriptor* f) {
    CopyFieldText(r->codename, sizeof r->codename, rec, f[iName], 20);
    CopyFieldText(r->status, sizeof r->status, rec, f[iStatus], 8);
}

void IndexMarketCode(TickIndex* r, const uint8_t* rec, const QuoteFieldDescriptor* f) {
    const uint8_t* text;
    size_t len = FieldText(rec, f[iCode], &text);
    MarketCode mc;
    MarketCodeFromText(text, len, true, &mc);
    StampMarketCode(r->market, r->code, mc);
}

void FillStockTick(TickStock* r, const uint8_t* rec, const QuoteFieldDescriptor* f, bool snapshot) {
    const uint8_t* text;
    size_t len = FieldText(rec, f[sCode], &text);
    MarketCode mc;
    MarketCodeFromText(text, len, false, &mc);
    StampMarketCode(r->market, r->code, mc);

    CopyFieldText(r->codename, sizeof r->codename, rec, f[sName], 20);
    CopyFieldText(r->status, sizeof r->status, rec, f[sStatus], 8);
    if (snapshot)
        r->field_271 = static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(GetFieldInt64(rec, f[sF271]))));
    len = FieldText(rec, f[sF86], &text);
    if (len < 12)
        CopyRecordText(r->field_86, sizeof r->field_86, text, len, 20);
    else
        memset(r->field_86, 0, sizeof r->field_86);
}

void FillFiveLevel(FiveLevelTick* r, const uint8_t* rec, const QuoteFieldDescriptor* f) {
    const uint8_t* text;
    size_t len = FieldText(rec, f[fCode], &text);
    MarketCode mc;
    MarketCodeFromText(text, len, false, &mc);
    StampMarketCode(r->market, r->code, mc);
    CopyFieldText(r->codename, sizeof r->codename, rec, f[fName], 20);
    // On the ZO options market the status column is read two bytes wide.
    QuoteFieldDescriptor status = f[fStatus];
    if (memcmp(mc.market, "UZOO", 5) == 0 && status.width > 2) status.width = 2;
    CopyFieldText(r->status, sizeof r->status, rec, status, 8);
}

// strstr(market, "SZ") != nullptr, inline over the five bytes of a market
// text (read for every order record).
bool MarketHasSZ(const char (&market)[5]) {
    for (int i = 0; i < 4 && market[i] != '\0'; ++i)
        if (market[i] == 'S' && market[i + 1] == 'Z') return true;
    return false;
}

const char* const kPhaseWords[7] = {"START", "OCALL", "TRADE", "SUSP", "CCALL", "COLSE", "ENDTR"};

void FillOrder(OrderData* r, const uint8_t* rec, const QuoteFieldDescriptor* f, const MarketCode& mc) {
    StampMarketCode(r->market, r->code, mc);
    SetDateTime(r, SplitDateTime(GetFieldInt64(rec, f[oDateTime])));
    r->index = GetFieldInt32(rec, f[oIndex]);
    r->Bizindex = GetFieldInt32(rec, f[oBizIndex]);
    r->field_77 = GetFieldInt32(rec, f[oF77]);
    r->channel = GetFieldInt32(rec, f[oChannel]);
    r->price = GetFieldDouble(rec, f[oPrice]);
    r->volume = GetFieldInt32(rec, f[oVolume]);
    r->field_271 = GetFieldInt32(rec, f[oF271]);
    int32_t k = GetFieldInt32(rec, f[oKind]);

    memset(r->type, 0, sizeof r->type);
    if (MarketHasSZ(mc.market)) {
        // The raw first byte of field 89; a missing column reads as a space.
        char c = ' ';
        if (!IsAbsentField(f[oType89]) && f[oType89].width > 0) c = static_cast<char>(rec[f[oType89].offset]);
        r->type[0] = (c == '1' || c == '2' || c == 'U') ? c : ' ';
    }

    memset(r->order_kind, 0, sizeof r->order_kind);
    r->order_kind[0] = (k == 3 || k == 4) ? 'D' : (k == 5 ? 'S' : 'A');

    memset(r->side, 0, sizeof r->side);
    int32_t s = GetFieldInt32(rec, f[oSide]);
    if (k == 5) {
        if (s >= 1 && s <= 7)
            CopyRecordText(r->side, sizeof r->side, kPhaseWords[s - 1], strlen(kPhaseWords[s - 1]), 6);
    } else {
        r->side[0] = (static_cast<uint32_t>(s) & 0xFFFFFFu) == 1 ? 'B' : 'S';
    }
}

void SetFlag(char (&field)[2], char c) {
    field[0] = c;
    field[1] = '\0';
}

void FillTransaction(Transaction* r, const uint8_t* rec, const QuoteFieldDescriptor* f, const MarketCode& mc) {
    StampMarketCode(r->market, r->code, mc);
    SetDateTime(r, SplitDateTime(GetFieldInt64(rec, f[tDateTime])));
    r->index = GetFieldInt32(rec, f[tIndex]);
    r->Bizindex = GetFieldInt32(rec, f[tBizIndex]);
    r->channel = GetFieldInt32(rec, f[tChannel]);
    r->price = GetFieldDouble(rec, f[tPrice]);
    r->volume = GetFieldInt32(rec, f[tVolume]);
    r->buy_index = GetFieldInt32(rec, f[tBuyIndex]);
    r->sell_index = GetFieldInt32(rec, f[tSellIndex]);
    int32_t k = GetFieldInt32(rec, f[tKind]);
    SetFlag(r->type, (k == 3 || k == 4) ? 'C' : 'F');
    int32_t s = GetFieldInt32(rec, f[tSide]);
    SetFlag(r->bsflag, (s == 1 || s == 17) ? 'S' : 'B');
    r->field_271 = GetFieldInt32(rec, f[tF271]);
}

void FillCancel(Transaction* r, const uint8_t* rec, const QuoteFieldDescriptor* f, const MarketCode& mc, bool buySide) {
    StampMarketCode(r->market, r->code, mc);
    SetDateTime(r, SplitDateTime(GetFieldInt64(rec, f[cDateTime])));
    r->index = GetFieldInt32(rec, f[cIndex]);
    r->Bizindex = GetFieldInt32(rec, f[cBizIndex]);
    r->channel = GetFieldInt32(rec, f[cChannel]);
    r->price = GetFieldDouble(rec, f[cPrice]);
    r->volume = GetFieldInt32(rec, f[cVolume]);
    int32_t order = GetFieldInt32(rec, f[cOrderIndex]);
    r->buy_index = buySide ? order : 0;
    r->sell_index = buySide ? 0 : order;
    SetFlag(r->type, 'C');
    SetFlag(r->bsflag, buySide ? 'B' : 'S');
    r->field_271 = GetFieldInt32(rec, f[cF271]);
}

// ---------------------------------------------------------------------------
// Code-wise batch converters (ids 4, 7, 8, 9)

template <class Rec, size_t N, class Fill>
int32_t ConvertCodeBatch(PushConvertContext* ctx, uint32_t type, const std::array<uint32_t, N>& ids, const char* key,
                         const void* records, int32_t count, const char* what, Fill fill) {
    if (records == nullptr || count < 1) return 0;
    uint32_t stride = ContextStride(ctx);
    if (stride == 0) return 0;
    std::array<QuoteFieldDescriptor, N> local;
    const QuoteFieldDescriptor* f = PushFields(ctx, type, ids, &local);
    MarketCode mc;
    MarketCodeFromKey(ctx->image, key, &mc);
    Rec* out = static_cast<Rec*>(AllocRecords(size_t(count), sizeof(Rec), what));
    if (out == nullptr) return 0;
    const uint8_t* base = static_cast<const uint8_t*>(records);
    for (int32_t i = 0; i < count; ++i) fill(&out[i], base + size_t(i) * stride, f, mc);
    AddRecordBlock(ctx, out, uint32_t(count));
    return 0;
}

int32_t ConvertQueue(PushConvertContext* ctx, const char* key, const void* records, int32_t count, bool askSide) {
    if (records == nullptr || count < 1) return 0;
    if (ctx == nullptr || ctx->fncorderqueue == nullptr) return 0;
    uint32_t stride = ctx->record_size;
    if (stride == 0 && ctx->image != nullptr) stride = ctx->image->RecordSize();
    // The source record: date-time @0, price @8, n @18, order count @20,
    // volumes from 28. n is cut to the volumes the code's run holds.
    uint64_t run = uint64_t(uint32_t(count)) * stride;
    if (run < 28) return 0;
    const uint8_t* p = static_cast<const uint8_t*>(records);
    uint32_t n = LoadU16(p + 18) & 0x0FFFu;
    uint64_t room = (run - 28) / 4;
    if (n > room) n = static_cast<uint32_t>(room);

    OrderQueue* q = static_cast<OrderQueue*>(AllocRecords(1, KvoOrderQueueSize(n), "order queue"));
    if (q == nullptr) return 0;
    MarketCode mc;
    MarketCodeFromKey(ctx->image, key, &mc);
    StampMarketCode(q->market, q->code, mc);

    int64_t v = UnpackPackedInt64(LoadU64(p));
    DateTime dt;
    if (askSide && v >= 0 && v <= 1000000000ll) {
        // The ask queue may carry only an HHMMSS time of today.
        int64_t t = v * 1000;
        dt = DateTime{TodayRecordDate(), t <= INT32_MAX ? static_cast<int32_t>(t) : 0};
    } else {
        // Also for ask values between 10^9 and 10^11, which name no defined
        // form: read as YYYYMMDDhhmmssmmm like the bid queue.
        dt = SplitDateTime(v);
    }
    SetDateTime(q, dt);
    SetFlag(q->side, askSide ? 'S' : 'B');
    q->price = UnpackPacked32(LoadU32(p + 8));
    q->order_number = static_cast<int32_t>(LoadU32(p + 20));
    q->show_number = static_cast<int32_t>(n);
    for (uint32_t i = 0; i < n; ++i)
        KvoOrderQueueSetVolume(q, i, static_cast<int32_t>(LoadU32(p + 28 + size_t(i) * 4) & 0xFFFFFFu));

    PushTiming timing = MakePushTiming(ctx->produce_time, ctx->send_time, ctx->sample_time);
    {
        corvane::HostCallScope call(ctx->gate);
        if (call.Entered()) ctx->fncorderqueue(ctx->instance, q, 1, &timing);
    }
    free(q);
    return 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// Blocks, caches, lists

void KeyMarketCode(const ConvertImage* image, const char* key, char (&market)[5], char (&code)[16]) {
    MarketCode mc;
    MarketCodeFromKey(image, key, &mc);
    StampMarketCode(market, code, mc);
}

void AddRecordBlock(PushConvertContext* ctx, void* records, uint32_t count) {
    try {
        ctx->blocks.push_back(RecordBlock{count, records});
    } catch (const std::bad_alloc&) {
        free(records);
        TL_WriteLog(1, "convert: no memory for a record block of %u records", count);
        return;
    }
    ctx->gathered += count;
}

void FreeRecordBlocks(std::vector<RecordBlock>* blocks) {
    if (blocks == nullptr) return;
    for (RecordBlock& b : *blocks) free(b.records);
    blocks->clear();
}

bool FieldDescriptorCache::LayoutMatches(const ConvertImage& image, const uint32_t* ids, size_t n) const {
    if (!m_filled || image.RecordSize() != m_recordSize || image.ColumnCount() != m_layout.size()) return false;
    if (m_ids.size() != n || (n > 0 && memcmp(m_ids.data(), ids, n * sizeof(uint32_t)) != 0)) return false;
    for (uint32_t i = 0; i < m_layout.size(); ++i) {
        QuoteFieldDescriptor c{};
        if (!image.GetColumn(i, &c)) return false;
        const QuoteFieldDescriptor& k = m_layout[i];
        if (c.id != k.id || c.attr != k.attr || c.width != k.width || c.offset != k.offset) return false;
    }
    return true;
}

void FieldDescriptorCache::Fill(const ConvertImage& image, const uint32_t* ids, size_t n) {
    m_filled = false;
    m_recordSize = image.RecordSize();
    uint32_t columns = image.ColumnCount();
    m_layout.assign(columns, QuoteFieldDescriptor{});
    for (uint32_t i = 0; i < columns; ++i) image.GetColumn(i, &m_layout[i]);
    m_ids.assign(ids, ids + n);
    m_fields.resize(n);
    for (size_t i = 0; i < n; ++i) m_fields[i] = ResolveField(image, ids[i]);
    m_filled = true;
    ++m_fills;
}

const QuoteFieldDescriptor* FieldDescriptorCache::Get(const ConvertImage& image, const uint32_t* ids, size_t n) {
    if (!LayoutMatches(image, ids, n)) Fill(image, ids, n);
    return m_fields.data();
}

void RecordList::Clear() {
    corvane::CTLSingleLock guard(&m_mutex, 1);
    m_bytes.clear();
}

bool RecordList::Append(const void* record) {
    corvane::CTLSingleLock guard(&m_mutex, 1);
    const uint8_t* p = static_cast<const uint8_t*>(record);
    try {
        m_bytes.insert(m_bytes.end(), p, p + m_recordSize);
    } catch (const std::bad_alloc&) {
        TL_WriteLog(1, "convert: no memory to keep a snapshot record");
        return false;
    }
    return true;
}

PushTiming MakePushTiming(uint64_t produceTime, uint64_t sendTime, uint64_t sampleTime) {
    PushTiming t;
    t.produce_time = produceTime;
    t.send_time = sendTime;
    t.receive_time = produceTime != 0 ? sampleTime : 0;
    return t;
}

// ---------------------------------------------------------------------------
// Cache builders

namespace {
template <size_t N>
void FillCache(PushConvertContext* ctx, uint32_t type, const ConvertImage& image, const std::array<uint32_t, N>& ids) {
    if (ctx == nullptr || ctx->session == nullptr) return;
    ctx->session->caches[type].Fill(image, ids.data(), N);
}
}  // namespace

void CacheStockPushFields(PushConvertContext* ctx, const ConvertImage& image) {
    FillCache(ctx, kDataStockPush, image, kStockIds);
}
void CacheIndexPushFields(PushConvertContext* ctx, const ConvertImage& image) {
    FillCache(ctx, kDataIndexPush, image, kIndexIds);
}
void CacheTransactionFields(PushConvertContext* ctx, const ConvertImage& image) {
    FillCache(ctx, kDataTransactionPush, image, kTransactionIds);
}
void CacheOrderFields(PushConvertContext* ctx, const ConvertImage& image) {
    FillCache(ctx, kDataOrderPush, image, kOrderIds);
}
void CacheBuyCancelFields(PushConvertContext* ctx, const ConvertImage& image) {
    FillCache(ctx, kDataBuyCancelPush, image, kCancelIds);
}
void CacheSellCancelFields(PushConvertContext* ctx, const ConvertImage& image) {
    FillCache(ctx, kDataSellCancelPush, image, kCancelIds);
}
void CacheFiveLevelFields(PushConvertContext* ctx, const ConvertImage& image) {
    FillCache(ctx, kDataFiveLevelPush, image, kFiveIds);
}

// ---------------------------------------------------------------------------
// Record-wise converters

namespace {

// The common road of the record-wise push converters: nothing without the
// host callback of the type or a readable stride; else the records are
// converted by fill and the plan of numbers into an array, which the caller
// then owns. Together they write every byte of each record (CoversRecord
// above), so the array is not zeroed first.
template <class Rec, size_t N, class Fill>
Rec* ConvertPushRecords(PushConvertContext* ctx, QuoteDataCallback PushConvertContext::*callback, uint32_t type,
                        const std::array<uint32_t, N>& ids, const NumberFieldList& numbers, const void* records,
                        int32_t count, const char* what, Fill fill) {
    if (records == nullptr || count < 1) return nullptr;
    if (ctx == nullptr || ctx->*callback == nullptr) return nullptr;
    uint32_t stride = ContextStride(ctx);
    if (stride == 0) return nullptr;
    std::array<QuoteFieldDescriptor, N> local;
    const QuoteFieldDescriptor* f = PushFields(ctx, type, ids, &local);
    NumberPlan plan;
    if (!BuildNumberPlan(&plan, f, numbers, what)) return nullptr;
    Rec* out = static_cast<Rec*>(AllocRecords(size_t(count), sizeof(Rec), what, false));
    if (out == nullptr) return nullptr;
    const uint8_t* base = static_cast<const uint8_t*>(records);
    for (size_t first = 0; first < size_t(count); first += NumberPlan::kChunk) {
        size_t n = size_t(count) - first < NumberPlan::kChunk ? size_t(count) - first : NumberPlan::kChunk;
        for (size_t i = first; i < first + n; ++i) fill(&out[i], base + i * stride, f);
        plan.Fill(reinterpret_cast<uint8_t*>(out + first), sizeof(Rec), base + first * stride, stride, n);
    }
    return out;
}

// Hands a converted batch to the host callback at once, with the push's
// timing, and frees it.
void DeliverBatch(PushConvertContext* ctx, QuoteDataCallback callback, void* out, int32_t count) {
    PushTiming timing = MakePushTiming(ctx->produce_time, ctx->send_time, ctx->sample_time);
    {
        corvane::HostCallScope call(ctx->gate);
        if (call.Entered()) callback(ctx->instance, out, uint32_t(count), &timing);
    }
    free(out);
}

// The record-wise snapshot converters: each record converted by fill and the
// plan of numbers into a zero-filled Rec and appended to the context's list
// (nothing without one).
template <class Rec, size_t N, class Fill>
int32_t ConvertSnapshotRecords(SnapshotConvertContext* ctx, RecordList* SnapshotConvertContext::*list,
                               const std::array<uint32_t, N>& ids, const NumberFieldList& numbers, const void* records,
                               int32_t count, const char* what, Fill fill) {
    if (records == nullptr || count < 1) return 0;
    uint32_t stride = ContextStride(ctx);
    if (stride == 0 || ctx->*list == nullptr) return 0;
    std::array<QuoteFieldDescriptor, N> f;
    ResolveAll(*ctx->image, ids, &f);
    NumberPlan plan;
    if (!BuildNumberPlan(&plan, f.data(), numbers, what)) return 0;
    const uint8_t* base = static_cast<const uint8_t*>(records);
    for (int32_t i = 0; i < count; ++i) {
        const uint8_t* rec = base + size_t(i) * stride;
        Rec r;
        memset(&r, 0, sizeof r);
        fill(&r, rec, f.data(), stride);
        plan.Fill(reinterpret_cast<uint8_t*>(&r), sizeof r, rec, stride, 1);
        (ctx->*list)->Append(&r);
    }
    return 0;
}

}  // namespace

int32_t ConvertIndexPush(PushConvertContext* ctx, const void* records, int32_t count) {
    TickIndex* out = ConvertPushRecords<TickIndex>(
        ctx, &PushConvertContext::fnctickindex, kDataIndexPush, kIndexIds, kIndexNumbers, records, count, "index ticks",
        [ctx](TickIndex* r, const uint8_t* rec, const QuoteFieldDescriptor* f) {
            IndexMarketCode(r, rec, f);
            SetDateTime(r, PushTickDateTime(ctx->datatime, GetFieldInt32(rec, f[iTime])));
            FillIndexTick(r, rec, f);
        });
    if (out != nullptr) DeliverBatch(ctx, ctx->fnctickindex, out, count);
    return 0;
}

int32_t ConvertIndexSnapshot(SnapshotConvertContext* ctx, const void* records, int32_t count) {
    return ConvertSnapshotRecords<TickIndex>(
        ctx, &SnapshotConvertContext::indexList, kIndexIds, kIndexNumbers, records, count, "index snapshot",
        [](TickIndex* r, const uint8_t* rec, const QuoteFieldDescriptor* f, uint32_t stride) {
            IndexMarketCode(r, rec, f);
            SetDateTime(r, SnapshotDateTime(rec, f[iDate], stride));
            FillIndexTick(r, rec, f);
        });
}

int32_t ConvertStockPush(PushConvertContext* ctx, const void* records, int32_t count) {
    // Stock ticks go out as blocks, delivered by the push processing.
    TickStock* out = ConvertPushRecords<TickStock>(
        ctx, &PushConvertContext::fnctickstock, kDataStockPush, kStockIds, kStockPushNumbers, records, count,
        "stock ticks", [ctx](TickStock* r, const uint8_t* rec, const QuoteFieldDescriptor* f) {
            FillStockTick(r, rec, f, false);
            SetDateTime(r, PushTickDateTime(ctx->datatime, GetFieldInt32(rec, f[sTime])));
        });
    if (out != nullptr) AddRecordBlock(ctx, out, uint32_t(count));
    return 0;
}

int32_t ConvertStockSnapshot(SnapshotConvertContext* ctx, const void* records, int32_t count) {
    return ConvertSnapshotRecords<TickStock>(
        ctx, &SnapshotConvertContext::stockList, kStockIds, kStockSnapshotNumbers, records, count, "stock snapshot",
        [](TickStock* r, const uint8_t* rec, const QuoteFieldDescriptor* f, uint32_t stride) {
            FillStockTick(r, rec, f, true);
            SetDateTime(r, SnapshotDateTime(rec, f[sDate], stride));
        });
}

int32_t ConvertFiveLevelPush(PushConvertContext* ctx, const void* records, int32_t count) {
    FiveLevelTick* out = ConvertPushRecords<FiveLevelTick>(
        ctx, &PushConvertContext::fncfivelevel, kDataFiveLevelPush, kFiveIds, kFiveLevelNumbers, records, count,
        "five-level ticks", [ctx](FiveLevelTick* r, const uint8_t* rec, const QuoteFieldDescriptor* f) {
            FillFiveLevel(r, rec, f);
            r->date = DateOf(ctx->datatime);
            r->time = TimeOf(ctx->datatime);
        });
    if (out != nullptr) DeliverBatch(ctx, ctx->fncfivelevel, out, count);
    return 0;
}

// ---------------------------------------------------------------------------
// Code-wise converters

int32_t ConvertTransactionPush(PushConvertContext* ctx, const char* key, const void* records, int32_t count) {
    return ConvertCodeBatch<Transaction>(ctx, kDataTransactionPush, kTransactionIds, key, records, count,
                                         "transactions",
                                         [](Transaction* r, const uint8_t* rec, const QuoteFieldDescriptor* f,
                                            const MarketCode& mc) { FillTransaction(r, rec, f, mc); });
}

int32_t ConvertOrderPush(PushConvertContext* ctx, const char* key, const void* records, int32_t count) {
    return ConvertCodeBatch<OrderData>(ctx, kDataOrderPush, kOrderIds, key, records, count, "orders",
                                       [](OrderData* r, const uint8_t* rec, const QuoteFieldDescriptor* f,
                                          const MarketCode& mc) { FillOrder(r, rec, f, mc); });
}

int32_t ConvertBuyCancelPush(PushConvertContext* ctx, const char* key, const void* records, int32_t count) {
    return ConvertCodeBatch<Transaction>(ctx, kDataBuyCancelPush, kCancelIds, key, records, count, "buy cancellations",
                                         [](Transaction* r, const uint8_t* rec, const QuoteFieldDescriptor* f,
                                            const MarketCode& mc) { FillCancel(r, rec, f, mc, true); });
}

int32_t ConvertSellCancelPush(PushConvertContext* ctx, const char* key, const void* records, int32_t count) {
    return ConvertCodeBatch<Transaction>(ctx, kDataSellCancelPush, kCancelIds, key, records, count,
                                         "sell cancellations",
                                         [](Transaction* r, const uint8_t* rec, const QuoteFieldDescriptor* f,
                                            const MarketCode& mc) { FillCancel(r, rec, f, mc, false); });
}

int32_t ConvertBidQueuePush(PushConvertContext* ctx, const char* key, const void* records, int32_t count) {
    return ConvertQueue(ctx, key, records, count, false);
}

int32_t ConvertAskQueuePush(PushConvertContext* ctx, const char* key, const void* records, int32_t count) {
    return ConvertQueue(ctx, key, records, count, true);
}

// ---------------------------------------------------------------------------
// Selection by data-type id

PushRecordConverter PushRecordConverterFor(uint32_t dataType) {
    switch (dataType) {
    case kDataStockPush:
        return &ConvertStockPush;
    case kDataIndexPush:
        return &ConvertIndexPush;
    case kDataFiveLevelPush:
        return &ConvertFiveLevelPush;
    default:
        return nullptr;
    }
}

PushCodeConverter PushCodeConverterFor(uint32_t dataType) {
    switch (dataType) {
    case kDataTransactionPush:
        return &ConvertTransactionPush;
    case kDataBidQueuePush:
        return &ConvertBidQueuePush;
    case kDataAskQueuePush:
        return &ConvertAskQueuePush;
    case kDataOrderPush:
        return &ConvertOrderPush;
    case kDataBuyCancelPush:
        return &ConvertBuyCancelPush;
    case kDataSellCancelPush:
        return &ConvertSellCancelPush;
    case kDataSuperStockPush:
        return &ConvertSuperStockPush;
    default:
        return nullptr;
    }
}

uint32_t OutputRecordSize(uint32_t dataType) {
    switch (dataType) {
    case kDataStockPush:
    case kDataStockSnapshot:
        return KVO_TICKSTOCK_SIZE;
    case kDataIndexPush:
    case kDataIndexSnapshot:
        return KVO_TICKINDEX_SIZE;
    case kDataTransactionPush:
    case kDataBuyCancelPush:
    case kDataSellCancelPush:
        return KVO_TRANSACTION_SIZE;
    case kDataBidQueuePush:
    case kDataAskQueuePush:
        return KVO_ORDERQUEUE_HEAD_SIZE;
    case kDataOrderPush:
        return KVO_ORDERDATA_SIZE;
    case kDataFiveLevelPush:
        return KVO_FIVELEVELTICK_SIZE;
    case kDataSuperStockPush:
    case kDataSuperStockSnapshot:
        return KVO_SUPERSTOCK_SIZE;
    default:
        return 0;
    }
}
