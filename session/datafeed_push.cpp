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
        return KeyAt(reinterpret_cast<const uint8_t*>(&a), offset) < KeyAt(reinterpret_cast<const uint8_t*>(&b), offset);
    });
}

constexpr size_t kIndexOffset = offsetof(Transaction, index);           // 29
constexpr size_t kOrderIndexOffset = offsetof(OrderData, index);       // 29
constexpr size_t kOrderField77Offset = offsetof(OrderData, field_77);  // 37
static_assert(kIndexOffset == 29 && kOrderIndexOffset == 29 && kOrderField77Offset == 37);

// The array a batch of one kind is joined into. An array of up to
// kKeptArrayBytes stays with the calling thread and serves its next batches,
// so that a push worker does not map, fault in and unmap a large block for
// every batch; larger ones are allocated and freed each time.
constexpr size_t kKeptArrayBytes = size_t(16) << 20;

struct KeptArray {
    void* data = nullptr;
    size_t size = 0;
    ~KeptArray() { std::free(data); }
};
thread_local KeptArray t_keptArray;

void* TakeBatchArray(size_t bytes) {
    if (bytes > kKeptArrayBytes) return std::malloc(bytes);
    if (t_keptArray.size < bytes) {
        const size_t size = std::min(kKeptArrayBytes, std::max(bytes, 2 * t_keptArray.size));
        void* grown = std::malloc(size);
        if (grown == nullptr) return nullptr;
        std::free(t_keptArray.data);
        t_keptArray.data = grown;
        t_keptArray.size = size;
    }
    return t_keptArray.data;
}

void GiveBackBatchArray(void* array) {
    if (array != t_keptArray.data) std::free(array);
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
    // Host threads may subscribe at once: the check and the creation go
    // under the worker mutex together.
    corvane::CTLSingleLock lock(&m_workerMutex, 1);
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
    if (worker->Start(1) != 1) {
        TL_WriteLog(1, "Type:%s-CreatePushWorker[],%s cannot start", m_marketCode.c_str(), kind.name);
        delete worker;
        return;
    }
    if (!InstallWorker(slot, worker)) {
        worker->Stop(GetSessionTimers().stopWaitMs);
        if (!worker->IsRunning()) delete worker;
    }
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
        std::vector<RecordBlock> blocks;
        uint64_t total = 0;
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
        // One array of every block in order; a single block is that array.
        void* array = nullptr;
        const uint64_t bytes = kind.total * kind.recordSize;
        if (kind.blocks.size() == 1) {
            array = kind.blocks[0].records;
            kind.blocks.clear();
        } else if (kind.total <= std::numeric_limits<uint32_t>::max() &&
                   bytes <= std::numeric_limits<size_t>::max()) {
            array = TakeBatchArray(static_cast<size_t>(bytes));
            if (array != nullptr) {
                uint8_t* at = static_cast<uint8_t*>(array);
                for (const RecordBlock& b : kind.blocks) {
                    std::memcpy(at, b.records, size_t(b.count) * kind.recordSize);
                    at += size_t(b.count) * kind.recordSize;
                }
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
        kind.callback(m_owner, array, count, &timing);
        GiveBackBatchArray(array);
        if (t != 0) WritePushTelemetry(kind.subType, "count", count, t - std::min(t, sample), GetNowMs() - t);
    }
    return 1;
}

// ---- telemetry of sampled pushes ----

void CDatafeedSDKManager::WritePushTelemetry(const char* subType, const char* sizeKey, uint64_t size,
                                             uint64_t handleMs, uint64_t callbackMs) {
    std::map<std::string, std::string> fields = ElkBaseFields();
    fields["sub_type"] = subType;
    fields[sizeKey] = std::to_string(size);
    fields["handle_timeconsum"] = std::to_string(handleMs);
    fields["callback_timeconsum"] = std::to_string(callbackMs);
    const std::string name = std::string("sub_push_") + subType;
    WriteTelemetryRecord("client@_sub_push", name.c_str(), "cpu_memory", fields);
}
