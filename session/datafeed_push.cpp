// Push processing of a market session: the push workers made on first use,
// one image converted and delivered by its converter (ProcessPushFile), and
// a batch of images converted, merged per output kind, sorted when asked and
// handed to the host's callbacks (ProcessPushFiles).
#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <string_view>

#include "framework/tl_log.h"
#include "quote/convert_qf.h"
#include "quote/qf_quotefile.h"
#include "session/datafeed_manager.h"
#include "session/dataclass.h"
#include "session/session_timers.h"

namespace {

// The workers by slot: name and kind.
struct PushWorkerKind {
    const char* name;
    bool batch;
};

PushWorkerKind PushWorkerOf(CDatafeedSDKManager::WorkerSlot slot) {
    switch (slot) {
    case CDatafeedSDKManager::kProcessIndexTick:
        return {"ProcessIndexTick", false};
    case CDatafeedSDKManager::kProcessOrderqueue:
        return {"processOrderqueue", false};
    case CDatafeedSDKManager::kProcessStockTick:
        return {"ProcessStockTick", true};
    case CDatafeedSDKManager::kProcessOrder:
        return {"processOrder", true};
    case CDatafeedSDKManager::kProcessTransaction:
        return {"processTransaction", true};
    default:
        return {"processSuperStock", true};
    }
}

// The four output kinds of a batch, in the order their callbacks are called.
enum BatchKind { kKindTransaction = 0, kKindOrder, kKindStock, kKindSuperStock, kBatchKinds };
// Each kind joins its records in the worker's batch array of its own slot.
static_assert(kBatchKinds <= kBatchArraySlots);

int BatchKindOf(uint32_t dataType) {
    switch (dataType) {
    case kDataTransactionPush:
    case kDataBuyCancelPush:
    case kDataSellCancelPush:
        return kKindTransaction;
    case kDataOrderPush:
        return kKindOrder;
    case kDataStockPush:
        return kKindStock;
    case kDataSuperStockPush:
        return kKindSuperStock;
    default:
        return -1;
    }
}

// The i32 sort key of a record at a byte offset.
int32_t KeyAt(const uint8_t* record, size_t offset) {
    int32_t v;
    std::memcpy(&v, record + offset, sizeof v);
    return v;
}

// Sorts count records of Rec (unstable) by the i32 at the byte offset.
template <class Rec>
void SortRecords(void* records, uint32_t count, size_t offset) {
    Rec* first = static_cast<Rec*>(records);
    std::sort(first, first + count, [offset](const Rec& a, const Rec& b) {
        return KeyAt(reinterpret_cast<const uint8_t*>(&a), offset) <
               KeyAt(reinterpret_cast<const uint8_t*>(&b), offset);
    });
}

constexpr size_t kIndexOffset = offsetof(Transaction, index);          // 29
constexpr size_t kOrderIndexOffset = offsetof(OrderData, index);       // 29
constexpr size_t kOrderField77Offset = offsetof(OrderData, field_77);  // 37
static_assert(kIndexOffset == 29 && kOrderIndexOffset == 29 && kOrderField77Offset == 37);

// Copies the blocks' records one after another from at on.
void CopyBlocks(uint8_t* at, const std::vector<RecordBlock>& blocks, uint32_t recordSize) {
    for (const RecordBlock& b : blocks) {
        std::memcpy(at, b.records, size_t(b.count) * recordSize);
        at += size_t(b.count) * recordSize;
    }
}

bool MarketHasFirstExchange(const char (&market)[5]) {
    const size_t n = strnlen(market, sizeof market);
    return std::string_view(market, n).find("USH") != std::string_view::npos;
}

}  // namespace

// ---- push workers ----

void CDatafeedSDKManager::CreatePushWorker(uint32_t msg_dataclass, const char* market) {
    WorkerSlot slot;
    const bool otcMarket = market != nullptr && (std::strcmp(market, "USOO") == 0 || std::strcmp(market, "UZOO") == 0);
    if (otcMarket) {
        slot = kProcessIndexTick;
    } else {
        switch (msg_dataclass) {
        case kMsgDataClassIndex:
            slot = kProcessIndexTick;
            break;
        case kMsgDataClassStock:
            slot = kProcessStockTick;
            break;
        case kMsgDataClassOrderQueue:
            slot = kProcessOrderqueue;
            break;
        case kMsgDataClassOrder:
            slot = kProcessOrder;
            break;
        case kMsgDataClassTransaction:
            slot = kProcessTransaction;
            break;
        case kMsgDataClassSuperStock:
            slot = kProcessSuperStock;
            break;
        default:
            return;
        }
    }
    // Host threads may subscribe at once: each may make the worker, the
    // first installed stays and the others are stopped again.
    if (IsStopping() || Worker(slot) != nullptr) return;
    const PushWorkerKind kind = PushWorkerOf(slot);
    CTLThreadPool* worker = nullptr;
    if (kind.batch) {
        worker = new (std::nothrow) CAllPackProcessPushDataThread(
            kind.name, CAllPackProcessPushDataThread::Handler::Bind<&CDatafeedSDKManager::ProcessPushFiles>(this));
    } else {
        worker = new (std::nothrow) CProcessPushDataThread(
            kind.name, CProcessPushDataThread::Handler::Bind<&CDatafeedSDKManager::ProcessPushFile>(this));
    }
    if (worker == nullptr) {
        TL_WriteLog(1, "Type:%s-CreatePushWorker[],no memory for %s", m_marketCode.c_str(), kind.name);
        return;
    }
    StartAndInstall(slot, worker, "CreatePushWorker");
}

// ---- one image ----

PushConvertContext CDatafeedSDKManager::MakeConvertContext(uint32_t dataType, const ConvertImage* image,
                                                           uint32_t recordSize, uint64_t produce, uint64_t send,
                                                           uint64_t sample, uint64_t datatime) {
    PushConvertContext ctx;
    ctx.produce_time = produce;
    ctx.send_time = send;
    ctx.sample_time = sample;
    ctx.datatime = datatime;
    ctx.fnctickindex = m_config.fnctickindex;
    ctx.fnctickstock = m_config.fnctickstock;
    ctx.fncorderqueue = m_config.fncorderqueue;
    ctx.fncfivelevel = m_config.fncfivelevel;
    ctx.record_size = recordSize;
    ctx.data_type = dataType;
    ctx.image = image;
    ctx.instance = m_owner;
    ctx.gate = HostGate();
    ctx.session = &m_convert;
    return ctx;
}

bool CDatafeedSDKManager::ProcessPushFile(uint32_t dataType, const void* image, uint32_t length, uint64_t produce,
                                          uint64_t send, uint64_t sample, uint64_t datatime) {
    CHQuoteFile file;
    // Capacity 0: the file gets a block of its own, since compact and "hq6."
    // images are converted into the native layout and grow (a native image
    // is copied into it).
    if (file.OpenMemory(image, length, 0) != 0) return false;
    const uint32_t recordSize = file.GetRecordSize();
    if (recordSize < 1) return false;
    QuoteFileConvertImage view(file);
    SnapshotConvertContext snapshot;
    snapshot.stockList = &m_convert.stockList;
    snapshot.indexList = &m_convert.indexList;
    snapshot.superStockList = &m_convert.superStockList;
    snapshot.record_size = recordSize;
    snapshot.image = &view;
    PushConvertContext ctx = MakeConvertContext(dataType, &view, recordSize, produce, send, sample, datatime);

    if (file.GetCodeCount() < 1) {
        switch (dataType) {
        case kDataIndexPush: {
            const uint64_t t = sample != 0 && produce == 0 ? GetNowMs() : 0;
            file.ReadRecords(0, 0, BindPushRecordConverter(dataType, &ctx));
            if (t != 0) WritePushTelemetry("index", "Lenth", length, t - std::min(t, sample), GetNowMs() - t);
            break;
        }
        case kDataIndexSnapshot:
        case kDataStockSnapshot:
            file.ReadRecords(0, 0, BindSnapshotRecordConverter(dataType, &snapshot));
            break;
        case kDataFiveLevelPush:
            file.ReadRecords(0, 0, BindPushRecordConverter(dataType, &ctx));
            break;
        default:
            break;
        }
    } else {
        switch (dataType) {
        case kDataBidQueuePush:
        case kDataAskQueuePush:
            file.ReadCodeRecords(0, 0, BindPushCodeConverter(dataType, &ctx));
            break;
        case kDataSuperStockSnapshot:
            file.ReadCodeRecords(0, 0, BindSnapshotCodeConverter(dataType, &snapshot));
            break;
        default:
            break;
        }
    }
    // The single-image converters deliver themselves; nothing is gathered.
    FreeRecordBlocks(&ctx.blocks);
    return true;
}

// ---- a batch ----

int32_t CDatafeedSDKManager::ProcessPushFiles(const std::vector<PushImage>& images, uint64_t produce, uint64_t send,
                                              uint64_t sample, uint64_t datatime) {
    struct Kind {
        QuoteDataCallback callback;
        uint32_t recordSize;
        const char* subType;
        std::vector<RecordBlock> blocks;  // converted, not yet in the kind's array
        uint64_t total = 0;
        uint64_t inArray = 0;  // the first records, already in the thread's array of the kind
    };
    // Moves a kind's pending blocks into the thread's array of the kind as
    // soon as a second block comes, so that the blocks of a large batch are
    // not all held (and the heap grown for them) until its end. False, the
    // blocks left pending, when the array cannot hold the records.
    auto absorb = [](Kind& kind, int slot) {
        const uint64_t bytes = kind.total * kind.recordSize;
        if (kind.total > std::numeric_limits<uint32_t>::max() || bytes > std::numeric_limits<size_t>::max())
            return false;
        auto* at = static_cast<uint8_t*>(GrowBatchArray(slot, static_cast<size_t>(bytes)));
        if (at == nullptr) return false;
        at += size_t(kind.inArray) * kind.recordSize;
        CopyBlocks(at, kind.blocks, kind.recordSize);
        FreeRecordBlocks(&kind.blocks);
        kind.inArray = kind.total;
        return true;
    };
    Kind kinds[kBatchKinds] = {
        {m_config.fnctransacton, KVO_TRANSACTION_SIZE, "tran", {}},
        {m_config.fncorderdata, KVO_ORDERDATA_SIZE, "order", {}},
        {m_config.fnctickstock, KVO_TICKSTOCK_SIZE, "stock", {}},
        {m_config.fncsuperstock, KVO_SUPERSTOCK_SIZE, "superstock", {}},
    };

    for (const PushImage& image : images) {
        CHQuoteFile file;
        if (file.OpenMemory(image.data, image.length, 0) != 0) continue;
        const uint32_t recordSize = file.GetRecordSize();
        if (recordSize < 1) continue;
        const int k = BatchKindOf(image.id);
        // Without a host callback for the kind its records would only be
        // freed: they are not converted at all.
        if (k < 0 || kinds[k].callback == nullptr) continue;
        QuoteFileConvertImage view(file);
        PushConvertContext ctx = MakeConvertContext(image.id, &view, recordSize, produce, send, sample,
                                                    image.datatime != 0 ? image.datatime : datatime);
        if (image.id == kDataStockPush) {
            file.ReadRecords(0, 0, BindPushRecordConverter(image.id, &ctx));
        } else {
            file.ReadCodeRecords(0, 0, BindPushCodeConverter(image.id, &ctx));
        }
        void* records = nullptr;
        RecordBlock joined{0, nullptr};
        ConcatRecordBlocks(&ctx, &records, &joined);
        FreeRecordBlocks(&ctx.blocks);
        if (joined.count == 0) continue;
        try {
            kinds[k].blocks.push_back(joined);
        } catch (const std::bad_alloc&) {
            std::free(joined.records);
            TL_WriteLog(1, "Type:%s-ProcessPushFiles[],no memory, %u %s records dropped", m_marketCode.c_str(),
                        joined.count, kinds[k].subType);
            continue;
        }
        kinds[k].total += joined.count;
        if (kinds[k].inArray > 0 || kinds[k].blocks.size() > 1) absorb(kinds[k], k);
    }

    const PushTiming timing = MakePushTiming(produce, send, sample);
    const uint64_t t = sample != 0 && produce == 0 ? GetNowMs() : 0;
    const bool sort = m_sortPush.load(std::memory_order_acquire) != 0;
    for (int k = 0; k < kBatchKinds; ++k) {
        Kind& kind = kinds[k];
        if (kind.total == 0) continue;
        if (kind.callback == nullptr) {
            FreeRecordBlocks(&kind.blocks);
            continue;
        }
        // One array of every record in order: a single block is that array;
        // records all in the thread's array are handed over from there;
        // otherwise (the array could not hold them) an array of its own.
        void* array = nullptr;
        bool own = true;
        const uint64_t bytes = kind.total * kind.recordSize;
        if (kind.inArray == 0 && kind.blocks.size() == 1) {
            array = kind.blocks[0].records;
            kind.blocks.clear();
        } else if (kind.total <= std::numeric_limits<uint32_t>::max() && bytes <= std::numeric_limits<size_t>::max()) {
            if (kind.blocks.empty()) {
                array = GrowBatchArray(k, static_cast<size_t>(bytes));
                own = false;
            } else {
                array = std::malloc(static_cast<size_t>(bytes));
            }
            if (array != nullptr && own) {
                auto* at = static_cast<uint8_t*>(array);
                if (kind.inArray > 0) {
                    const size_t prefix = size_t(kind.inArray) * kind.recordSize;
                    std::memcpy(at, GrowBatchArray(k, prefix), prefix);
                    at += prefix;
                }
                CopyBlocks(at, kind.blocks, kind.recordSize);
            }
            FreeRecordBlocks(&kind.blocks);
        }
        if (array == nullptr) {
            FreeRecordBlocks(&kind.blocks);
            TL_WriteLog(1, "Type:%s-ProcessPushFiles[],no memory for %llu %s records, dropped", m_marketCode.c_str(),
                        static_cast<unsigned long long>(kind.total), kind.subType);
            continue;
        }
        const uint32_t count = static_cast<uint32_t>(kind.total);
        if (sort && k == kKindTransaction) {
            SortRecords<Transaction>(array, count, kIndexOffset);
        } else if (sort && k == kKindOrder) {
            const bool firstExchange = MarketHasFirstExchange(static_cast<const OrderData*>(array)->market);
            SortRecords<OrderData>(array, count, firstExchange ? kOrderField77Offset : kOrderIndexOffset);
        }
        {
            corvane::HostCallScope call(HostGate());
            if (call.Entered()) kind.callback(m_owner, array, count, &timing);
        }
        if (own) std::free(array);
        if (t != 0) WritePushTelemetry(kind.subType, "count", count, t - std::min(t, sample), GetNowMs() - t);
    }
    return 1;
}

// ---- telemetry of sampled pushes ----

void CDatafeedSDKManager::WritePushTelemetry(const char* subType, const char* sizeKey, uint64_t size, uint64_t handleMs,
                                             uint64_t callbackMs) {
    std::map<std::string, std::string> fields = ElkBaseFields();
    fields["sub_type"] = subType;
    fields[sizeKey] = std::to_string(size);
    fields["handle_timeconsum"] = std::to_string(handleMs);
    fields["callback_timeconsum"] = std::to_string(callbackMs);
    const std::string name = std::string("sub_push_") + subType;
    WriteTelemetryRecord("client@_sub_push", name.c_str(), "cpu_memory", fields);
}
