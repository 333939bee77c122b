#include "session/push_workers.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>

#include "framework/tl_log.h"
#include "framework/tl_thread.h"
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

// The limits in force (tests lower them) and the resident bytes of every
// thread's arrays.
std::atomic<size_t> g_grownBytes{kGrownBatchArrayBytes};
std::atomic<size_t> g_keptBytes{kKeptBatchArrayBytes};
std::atomic<uint32_t> g_windowMs{kBatchArrayWindowMs};
std::atomic<size_t> g_failAbove{SIZE_MAX};
std::atomic<size_t> g_residentBytes{0};

size_t PageUp(size_t bytes) {
    static const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    return (bytes + page - 1) / page * page;
}

// One slot's array: a heap block, or a mapping of the kept bound.
struct KeptArray {
    void* data = nullptr;
    size_t size = 0;
    bool mapped = false;
    size_t reached = 0;   // a mapping: how far batches wrote since its pages were last given back
    size_t batch = 0;     // how far the current batch asked
    size_t window = 0;    // how far the batches of the current window asked
    size_t previous = 0;  // the same for the window before
    uint64_t windowStart = 0;

    size_t Resident() const { return mapped ? PageUp(reached) : size; }

    void Free() {
        g_residentBytes.fetch_sub(Resident(), std::memory_order_relaxed);
        if (mapped) {
            ::munmap(data, size);
        } else {
            std::free(data);
        }
        *this = KeptArray{};
    }

    // Notes a use of the first bytes (at most the size).
    void Use(size_t bytes) {
        batch = std::max(batch, bytes);
        if (mapped && bytes > reached) {
            const size_t before = Resident();
            reached = bytes;
            g_residentBytes.fetch_add(Resident() - before, std::memory_order_relaxed);
        }
    }

    // Gives back the pages of a mapping from the page holding byte keep on.
    void GiveBackAbove(size_t keep) {
        if (!mapped || PageUp(keep) >= PageUp(reached)) return;
        const size_t from = PageUp(keep);
        // The pages read as zeros when a later batch reaches them again.
        if (::madvise(static_cast<uint8_t*>(data) + from, PageUp(reached) - from, MADV_DONTNEED) != 0) return;
        g_residentBytes.fetch_sub(PageUp(reached) - from, std::memory_order_relaxed);
        reached = from;
    }
};
struct KeptArrays {
    KeptArray slots[kBatchArraySlots];
    ~KeptArrays() {
        for (KeptArray& a : slots) a.Free();
    }
};
thread_local KeptArrays t_kept;

// The heap block grown to size bytes (realloc), or a fresh mapping of size
// bytes with the array's first `keep` bytes copied into it; null when none
// can be had (or a test says so), the array then unchanged.
void* Allocate(const KeptArray& a, size_t size, bool map, size_t keep) {
    if (size > g_failAbove.load(std::memory_order_relaxed)) return nullptr;
    if (!map) return std::realloc(a.data, size);
    // Reserved, not committed: only the pages written count.
    void* m = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (m == MAP_FAILED) return nullptr;
    if (keep > 0) std::memcpy(m, a.data, keep);
    return m;
}

}  // namespace

void* GrowBatchArray(int slot, size_t bytes) {
    if (slot < 0 || slot >= kBatchArraySlots || bytes > g_keptBytes.load(std::memory_order_relaxed)) return nullptr;
    KeptArray& a = t_kept.slots[slot];
    if (a.size < bytes) {
        // Small arrays grow with the batches. A larger one maps the whole
        // bound at once, so that a growing backlog does not move and fault
        // in a fresh, larger array at each step.
        const size_t grown = g_grownBytes.load(std::memory_order_relaxed);
        const bool map = bytes > grown || a.mapped;
        size_t size = map ? g_keptBytes.load(std::memory_order_relaxed) : std::min(grown, std::max(bytes, 2 * a.size));
        // What this batch wrote so far is kept; older bytes are not needed.
        const size_t keep = std::min(a.batch, a.size);
        void* data = Allocate(a, size, map, keep);
        if (data == nullptr && !map && size > bytes) {
            size = bytes;
            data = Allocate(a, size, map, keep);
        }
        if (data == nullptr) return nullptr;
        if (map) {
            // The heap block (or a mapping of an older bound) goes; its
            // content is in the new mapping, and the windows go on.
            KeptArray next = a;
            next.data = data;
            next.size = size;
            next.mapped = true;
            next.reached = 0;
            a.Free();
            a = next;
            a.Use(keep);
        } else {
            g_residentBytes.fetch_add(size - a.size, std::memory_order_relaxed);
            a.data = data;
            a.size = size;
        }
    }
    a.Use(bytes);
    return a.data;
}

void SettleBatchArrays() {
    const uint64_t now = TL_GetTickCount64();
    const uint32_t windowMs = g_windowMs.load(std::memory_order_relaxed);
    for (KeptArray& a : t_kept.slots) {
        a.window = std::max(a.window, a.batch);
        a.batch = 0;
        if (a.data == nullptr || now - a.windowStart < windowMs) continue;
        a.GiveBackAbove(std::max(a.window, a.previous));
        a.previous = a.window;
        a.window = 0;
        a.windowStart = now;
    }
}

void ReleaseBatchArrays() {
    for (KeptArray& a : t_kept.slots) a.Free();
}

size_t BatchArrayResidentBytes() { return g_residentBytes.load(std::memory_order_relaxed); }

void SetBatchArrayLimits(const BatchArrayLimits& limits) {
    g_grownBytes.store(limits.grown, std::memory_order_relaxed);
    g_keptBytes.store(limits.kept, std::memory_order_relaxed);
    g_windowMs.store(limits.windowMs, std::memory_order_relaxed);
    g_failAbove.store(limits.failAbove, std::memory_order_relaxed);
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
    // The batch is over: the pages of its arrays no recent batch reached go.
    SettleBatchArrays();
}
