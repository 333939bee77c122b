#include "session/push_workers.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>

#include "framework/tl_log.h"
#include "protocol/kvo_message.h"

uint32_t SingleImageDataType(int32_t wireClass) {
    switch (wireClass) {
    case 1:
        return kDataStockPush;
    case 2:
        return kDataIndexPush;
    case 3:
        return kDataBidQueuePush;
    case 4:
        return kDataAskQueuePush;
    case 9:
        return kDataFiveLevelPush;
    default:
        return BatchImageDataType(wireClass);
    }
}

uint32_t BatchImageDataType(int32_t wireClass) {
    switch (wireClass) {
    case 1:
        return kDataStockPush;
    case 5:
    case 11:
    case 13:
        return kDataTransactionPush;
    case 6:
        return kDataBuyCancelPush;
    case 7:
        return kDataSellCancelPush;
    case 8:
    case 12:
        return kDataOrderPush;
    case 10:
        return kDataSuperStockPush;
    default:
        return kNoDataType;
    }
}

uint32_t JoinedRecordSize(uint32_t dataType) {
    switch (dataType) {
    case kDataStockPush:
        return KVO_TICKSTOCK_SIZE;
    case kDataOrderPush:
        return KVO_ORDERDATA_SIZE;
    case kDataSuperStockPush:
        return KVO_SUPERSTOCK_SIZE;
    case kDataTransactionPush:
    case kDataBuyCancelPush:
    case kDataSellCancelPush:
        return KVO_TRANSACTION_SIZE;
    default:
        return 0;
    }
}

bool FindQuoteImageHeader(const uint8_t* data, uint32_t length, uint32_t* position) {
    if (data == nullptr || length < 5) return false;
    // 'h' is searched with memchr; the four bytes after it decide.
    const uint8_t* p = data;
    const uint8_t* const last = data + (length - 5);  // the last start whose five bytes fit
    while (p <= last) {
        p = static_cast<const uint8_t*>(std::memchr(p, 'h', static_cast<size_t>(last - p) + 1));
        if (p == nullptr) return false;
        if ((p[1] == 'q' || p[1] == 'd') && (p[2] == '6' || p[2] == '1') && p[3] == '.' && p[4] == '0') {
            if (position != nullptr) *position = static_cast<uint32_t>(p - data);
            return true;
        }
        ++p;
    }
    return false;
}

void CutQuoteImages(const uint8_t* payload, uint32_t length, std::vector<std::pair<uint32_t, uint32_t>>* pieces) {
    uint32_t start = 0;
    if (!FindQuoteImageHeader(payload, length, &start)) return;
    for (;;) {
        uint32_t next = 0;
        const uint32_t from = start + 1;
        if (from < length && FindQuoteImageHeader(payload + from, length - from, &next)) {
            next += from;
            pieces->emplace_back(start, next - start);
            start = next;
        } else {
            pieces->emplace_back(start, length - start);
            return;
        }
    }
}

void ConcatRecordBlocks(PushConvertContext* ctx, void** records, RecordBlock* out) {
    const uint32_t size = JoinedRecordSize(ctx->data_type);
    if (size == 0) return;
    *records = nullptr;
    out->count = 0;
    out->records = nullptr;
    if (ctx->gathered == 0) {
        FreeRecordBlocks(&ctx->blocks);
        return;
    }
    // One block needs no copy: it is handed on as it is.
    if (ctx->blocks.size() == 1 && ctx->blocks[0].count == ctx->gathered) {
        *out = ctx->blocks[0];
        *records = out->records;
        ctx->blocks.clear();
        return;
    }
    const uint64_t bytes = uint64_t(ctx->gathered) * size;
    void* joined = bytes <= std::numeric_limits<size_t>::max() ? std::malloc(static_cast<size_t>(bytes)) : nullptr;
    if (joined == nullptr) {
        TL_WriteLog(1, "ConcatRecordBlocks[], no memory for %u records of %u bytes, dropped", ctx->gathered, size);
        FreeRecordBlocks(&ctx->blocks);
        return;
    }
    uint8_t* at = static_cast<uint8_t*>(joined);
    uint64_t copied = 0;
    for (const RecordBlock& b : ctx->blocks) {
        // The blocks' counts add up to gathered; a block past it is cut.
        const uint64_t n = std::min<uint64_t>(b.count, ctx->gathered - copied);
        if (n > 0 && b.records != nullptr) std::memcpy(at + copied * size, b.records, static_cast<size_t>(n * size));
        copied += n;
    }
    FreeRecordBlocks(&ctx->blocks);
    out->count = static_cast<uint32_t>(copied);
    out->records = joined;
    *records = joined;
}

namespace {

// A push frame's PushData; false when the frame or its body is malformed.
bool ParsePush(const RecrieceDataThreadInfo& item, datapacket::PushData* push) {
    return KvoParseFrame(item.m_payload.GetData(), item.m_payload.GetLength(), *push) == KVO_FRAME_OK;
}

uint64_t FirstProduceTime(const datapacket::PushData& push) {
    return push.produce_time_size() > 0 ? push.produce_time(0) : 0;
}

const uint8_t* PayloadOf(const datapacket::PushData& push) {
    return reinterpret_cast<const uint8_t*>(push.databuf().data());
}

uint32_t PayloadLength(const datapacket::PushData& push) {
    // A frame's body fits in 32 bits, and so does its payload.
    return static_cast<uint32_t>(std::min<size_t>(push.databuf().size(), std::numeric_limits<uint32_t>::max()));
}

}  // namespace

CProcessPushDataThread::CProcessPushDataThread(const char* name, const Handler& handler)
    : CTLLockFreeQThreadPool<RecrieceDataThreadInfo*>(name), m_handler(handler) {}

void CProcessPushDataThread::ProcessTask(RecrieceDataThreadInfo* item) {
    std::unique_ptr<RecrieceDataThreadInfo> owned(item);
    datapacket::PushData push;
    if (!ParsePush(*item, &push)) return;
    const uint32_t id = SingleImageDataType(push.data_class());
    std::vector<std::pair<uint32_t, uint32_t>> pieces;
    CutQuoteImages(PayloadOf(push), PayloadLength(push), &pieces);
    if (m_handler.IsEmpty()) return;
    for (const auto& [offset, length] : pieces) {
        m_handler(id, PayloadOf(push) + offset, length, FirstProduceTime(push), push.send_time(), item->m_sampleMs,
                  item->m_pushValue);
    }
}

namespace {

struct KeptArray {
    void* data = nullptr;
    size_t size = 0;
};
struct KeptArrays {
    KeptArray slots[kBatchArraySlots];
    ~KeptArrays() {
        for (KeptArray& a : slots) std::free(a.data);
    }
};
thread_local KeptArrays t_kept;

}  // namespace

void* GrowBatchArray(int slot, size_t bytes) {
    if (slot < 0 || slot >= kBatchArraySlots || bytes > kKeptBatchArrayBytes) return nullptr;
    KeptArray& a = t_kept.slots[slot];
    if (a.size >= bytes) return a.data;
    // Small arrays grow with the batches. A larger one takes the whole bound
    // at once, so that a growing backlog does not move and fault in a fresh,
    // larger array at each step.
    size_t size = bytes <= kGrownBatchArrayBytes ? std::min(kGrownBatchArrayBytes, std::max(bytes, 2 * a.size))
                                                 : kKeptBatchArrayBytes;
    void* data = std::realloc(a.data, size);
    if (data == nullptr && size > bytes) {
        size = bytes;
        data = std::realloc(a.data, size);
    }
    if (data == nullptr) return nullptr;
    a.data = data;
    a.size = size;
    return data;
}

void ReleaseBatchArrays() {
    for (KeptArray& a : t_kept.slots) {
        std::free(a.data);
        a = KeptArray{};
    }
}

CAllPackProcessPushDataThread::CAllPackProcessPushDataThread(const char* name, const Handler& handler)
    : CTLKvoLockFreeQThreadPool<RecrieceDataThreadInfo*>(name), m_handler(handler) {}

void CAllPackProcessPushDataThread::OnIdle() { ReleaseBatchArrays(); }

void CAllPackProcessPushDataThread::ProcessTask(RecrieceDataThreadInfo** items, uint32_t count) {
    // Every item and every parsed message of the step is freed at its end,
    // whether or not it gave an image; the images point into the messages.
    std::vector<std::unique_ptr<RecrieceDataThreadInfo>> owned;
    owned.reserve(count);
    for (uint32_t i = 0; i < count; ++i) owned.emplace_back(items[i]);
    std::deque<datapacket::PushData> messages;
    std::vector<PushImage> images;
    std::vector<std::pair<uint32_t, uint32_t>> pieces;

    uint64_t produce = 0;
    uint64_t send = 0;
    uint64_t sample = 0;
    bool timed = false;
    const uint64_t datatime = count > 0 ? items[0]->m_pushValue : 0;
    for (const auto& item : owned) {
        messages.emplace_back();
        datapacket::PushData& push = messages.back();
        if (!ParsePush(*item, &push)) {
            messages.pop_back();
            continue;
        }
        // The batch's timing: the last push with a produce time, or, while
        // no sample time is held, a sampled push; until then the first push,
        // so that its send time is not lost.
        const uint64_t p0 = FirstProduceTime(push);
        if (!timed || p0 != 0 || (item->m_sampleMs != 0 && sample == 0)) {
            produce = p0;
            send = push.send_time();
            sample = item->m_sampleMs;
            timed = true;
        }
        const uint32_t id = BatchImageDataType(push.data_class());
        pieces.clear();
        CutQuoteImages(PayloadOf(push), PayloadLength(push), &pieces);
        for (const auto& [offset, length] : pieces) {
            PushImage image;
            image.length = length;
            image.data = PayloadOf(push) + offset;
            image.id = id;
            image.message = &push;
            image.datatime = item->m_pushValue;
            images.push_back(image);
        }
    }
    if (!m_handler.IsEmpty()) m_handler(images, produce, send, sample, datatime);
}
