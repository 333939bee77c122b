#include "tests/support/convert_roads.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "quote/convert.h"
#include "quote/convert_qf.h"
#include "quote/qf_format.h"
#include "quote/qf_quotefile.h"
#include "quote/superstock.h"

namespace kvotest {
namespace {

constexpr uint64_t kMaxNative = 1u << 20;

[[noreturn]] void Fault(const char* what) {
    std::fprintf(stderr, "convert roads: %s\n", what);
    std::abort();
}

bool IsImageStart(const uint8_t* p) {
    return p[0] == 'h' && (p[1] == 'q' || p[1] == 'd') && (p[2] == '6' || p[2] == '1') && p[3] == '.' && p[4] == '0';
}

// The market and code texts that begin every record end inside their fields.
void CheckTexts(const uint8_t* rec) {
    if (memchr(rec, 0, 5) == nullptr || memchr(rec + 5, 0, 16) == nullptr) Fault("unterminated market or code");
}

// Reads every byte the host may read, so that the sanitizers see a block
// shorter than its count says.
uint64_t Touch(const void* records, size_t n) {
    const volatile uint8_t* p = static_cast<const uint8_t*>(records);
    uint64_t sum = 0;
    for (size_t i = 0; i < n; i += 61) sum += p[i];
    return sum + p[n - 1];
}

struct Host {
    uint64_t delivered = 0;
    uint64_t sum = 0;
};

// Host callbacks of the fixed-size records.
template <class Rec>
int32_t Sink(void* handle, const void* records, uint32_t count, const PushTiming* timing) {
    if (count == 0 || records == nullptr || timing == nullptr) Fault("empty delivery");
    Host* h = static_cast<Host*>(handle);
    h->sum += Touch(records, size_t(count) * sizeof(Rec));
    for (uint32_t i = 0; i < count; ++i) CheckTexts(static_cast<const uint8_t*>(records) + size_t(i) * sizeof(Rec));
    h->delivered += count;
    return 0;
}

// Order queues come one per call, as long as their volume count says.
int32_t QueueSink(void* handle, const void* records, uint32_t count, const PushTiming* timing) {
    if (count != 1 || records == nullptr || timing == nullptr) Fault("order queues come one at a time");
    OrderQueue head;
    memcpy(&head, records, sizeof head);
    if (head.show_number < 0 || head.show_number > 4095) Fault("order queue volume count");
    Host* h = static_cast<Host*>(handle);
    h->sum += Touch(records, KvoOrderQueueSize(uint32_t(head.show_number)));
    CheckTexts(static_cast<const uint8_t*>(records));
    h->delivered += 1;
    return 0;
}

// The blocks a batch converter left, gathered into one array the way the
// batch workers gather them, and freed.
uint64_t GatherBlocks(PushConvertContext& ctx, uint32_t dataType) {
    const uint32_t size = OutputRecordSize(dataType);
    uint64_t total = 0;
    for (const RecordBlock& b : ctx.blocks) {
        if (b.count == 0 || b.records == nullptr) Fault("empty record block");
        total += b.count;
    }
    if (total != ctx.gathered) Fault("gathered count differs from the blocks");
    if (total != 0) {
        std::vector<uint8_t> all(total * size);
        size_t at = 0;
        for (const RecordBlock& b : ctx.blocks) {
            memcpy(all.data() + at, b.records, size_t(b.count) * size);
            at += size_t(b.count) * size;
        }
        for (uint64_t i = 0; i < total; ++i) CheckTexts(all.data() + i * size);
    }
    FreeRecordBlocks(&ctx.blocks);
    ctx.gathered = 0;
    return total;
}

uint64_t CheckList(RecordList& list) {
    corvane::CTLSingleLock lock(&list.Mutex(), 1);
    const uint32_t n = list.Count();
    for (uint32_t i = 0; i < n; ++i) CheckTexts(list.Data() + size_t(i) * list.RecordSize());
    list.Clear();
    return n;
}

// Every converter over one opened image.
void ConvertImage(CHQuoteFile& file, ConvertSession& session, Host& host) {
    QuoteFileConvertImage image(file);
    const uint32_t recordSize = file.GetRecordSize();
    for (uint32_t id = 0; id < kDataTypeCount; ++id) {
        if (id == kDataStockSnapshot || id == kDataIndexSnapshot || id == kDataSuperStockSnapshot) {
            SnapshotConvertContext ctx;
            ctx.stockList = &session.stockList;
            ctx.indexList = &session.indexList;
            ctx.superStockList = &session.superStockList;
            ctx.record_size = recordSize;
            ctx.image = &image;
            if (id == kDataSuperStockSnapshot)
                file.ReadCodeRecords(0, 0, BindSnapshotCodeConverter(id, &ctx));
            else
                file.ReadRecords(0, 0, BindSnapshotRecordConverter(id, &ctx));
            continue;
        }
        PushConvertContext ctx;
        ctx.produce_time = 1704418205000ull;
        ctx.send_time = 1704418205100ull;
        ctx.sample_time = 1704418205200ull;
        ctx.datatime = 20240105093005250ull;
        ctx.fnctickindex = &Sink<TickIndex>;
        ctx.fnctickstock = &Sink<TickStock>;
        ctx.fncorderqueue = &QueueSink;
        ctx.fncfivelevel = &Sink<FiveLevelTick>;
        ctx.record_size = recordSize;
        ctx.data_type = id;
        ctx.image = &image;
        ctx.instance = &host;
        ctx.session = &session;
        QfRecordCallback records = BindPushRecordConverter(id, &ctx);
        if (!records.IsEmpty())
            file.ReadRecords(0, 0, records);
        else
            file.ReadCodeRecords(0, 0, BindPushCodeConverter(id, &ctx));
        host.delivered += GatherBlocks(ctx, id);
    }
    for (RecordList* list : {&session.stockList, &session.indexList, &session.superStockList})
        host.delivered += CheckList(*list);
}

}  // namespace

std::vector<ImageSpan> CutQuoteImages(const uint8_t* data, size_t len, bool firstAtStart) {
    std::vector<ImageSpan> images;
    if (data == nullptr || len == 0) return images;
    size_t start = firstAtStart ? 0 : len;
    for (size_t p = firstAtStart ? 1 : 0; p + 4 < len; ++p) {
        if (!IsImageStart(data + p)) continue;
        if (start < len) images.emplace_back(data + start, p - start);
        start = p;
    }
    if (start < len) images.emplace_back(data + start, len - start);
    return images;
}

RoadCounts ConvertPayloadEveryWay(const uint8_t* data, size_t len, bool firstAtStart) {
    RoadCounts counts;
    ConvertSession session;
    Host host;
    for (const ImageSpan& span : CutQuoteImages(data, len, firstAtStart)) {
        // An exactly sized copy, so that a read past the image shows.
        std::vector<uint8_t> img(span.first, span.first + span.second);
        // An image may state more records than it stores where absent fields
        // cost a bit each; such images are left at their plan: filling
        // gigabytes says nothing about the converters.
        QfConvertPlan plan;
        if (img.empty() || QF_PlanConversion(img.data(), img.size(), &plan) != 0 || plan.nativeSize > kMaxNative)
            continue;
        CHQuoteFile file;
        if (file.OpenMemory(img.data(), uint32_t(img.size()), 0) != 0) continue;
        if (file.GetRecordSize() < 1) continue;
        ++counts.opened;
        ConvertImage(file, session, host);
    }
    counts.delivered = host.delivered;
    return counts;
}

}  // namespace kvotest
