// Record conversion: turns the records of an opened quote-file image into
// the host's output records (include/kvo_records.h).
//
// There is one converter per data-type id. Record-wise converters take
// (context, records, count), code-wise converters (context, code key,
// records, count); a null record pointer or a count below 1 is the reader's
// announcement call and does nothing. Converters find their columns by field
// id, decode them with the typed field readers and either deliver the
// records to the host, leave them as RecordBlocks in the context, or append
// them to the session's snapshot result lists.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "framework/tl_hostcall.h"
#include "framework/tl_sync.h"
#include "include/kvo_records.h"
#include "quote/convert_image.h"

#include "include/kvoapi.h"

// Data-type ids: which converter and which output record.
enum ConvertDataType : uint32_t {
    kDataStockPush = 0,
    kDataIndexPush = 1,
    kDataStockSnapshot = 2,
    kDataIndexSnapshot = 3,
    kDataTransactionPush = 4,
    kDataBidQueuePush = 5,
    kDataAskQueuePush = 6,
    kDataOrderPush = 7,
    kDataBuyCancelPush = 8,
    kDataSellCancelPush = 9,
    kDataFiveLevelPush = 10,
    kDataSuperStockPush = 11,
    kDataSuperStockSnapshot = 12,
    kDataTypeCount = 13,
};

// A converted batch: count records back to back, malloc'ed, owned by whoever
// takes the block.
struct RecordBlock {
    uint32_t count;
    void* records;
};

// Frees the records of every block and empties the list.
void FreeRecordBlocks(std::vector<RecordBlock>* blocks);

// The descriptors of one pushed data type, looked up once and reused for
// later images. The cache remembers the column layout (record size and
// column entries) it was filled from and is filled again from any image
// whose layout differs, so fields are never read at another layout's offsets.
// Used by one push worker thread only; no lock.
class FieldDescriptorCache {
public:
    // The descriptors of ids[0..n) for this image, in the order of ids;
    // absent fields are all zero.
    const QuoteFieldDescriptor* Get(const ConvertImage& image, const uint32_t* ids, size_t n);
    // Fills the cache from this image whatever it held.
    void Fill(const ConvertImage& image, const uint32_t* ids, size_t n);
    // Times the cache was filled (first fill and refills).
    uint32_t FillCount() const { return m_fills; }

private:
    bool LayoutMatches(const ConvertImage& image, const uint32_t* ids, size_t n) const;

    bool m_filled = false;
    uint32_t m_fills = 0;
    uint32_t m_recordSize = 0;
    std::vector<QuoteFieldDescriptor> m_layout;
    std::vector<uint32_t> m_ids;
    std::vector<QuoteFieldDescriptor> m_fields;
};

// A growable array of fixed-size output records with its own (recursive)
// mutex: the session's snapshot result lists. A query holds the mutex from
// emptying the list to copying it out; the converters take it again around
// each append.
class RecordList {
public:
    explicit RecordList(uint32_t recordSize) : m_recordSize(recordSize) {}
    RecordList(const RecordList&) = delete;
    RecordList& operator=(const RecordList&) = delete;

    corvane::CMutex& Mutex() { return m_mutex; }
    uint32_t RecordSize() const { return m_recordSize; }
    // Count and data: the caller holds the mutex while it reads them.
    uint32_t Count() const { return static_cast<uint32_t>(m_bytes.size() / m_recordSize); }
    const uint8_t* Data() const { return m_bytes.data(); }
    void Clear();
    // Appends a copy of one record; false when memory runs out.
    bool Append(const void* record);

private:
    corvane::CMutex m_mutex;
    uint32_t m_recordSize;
    std::vector<uint8_t> m_bytes;
};

// What converters keep per session: the descriptor caches of the pushed
// types and the three snapshot result lists.
struct ConvertSession {
    FieldDescriptorCache caches[kDataTypeCount];
    RecordList indexList{KVO_TICKINDEX_SIZE};
    RecordList stockList{KVO_TICKSTOCK_SIZE};
    RecordList superStockList{KVO_SUPERSTOCK_SIZE};
};

// The per-image context of push conversion.
struct PushConvertContext {
    uint64_t produce_time = 0;
    uint64_t send_time = 0;
    uint64_t sample_time = 0;
    uint64_t datatime = 0;  // YYYYMMDDhhmmssmmm of the push (ids 0, 1, 10)
    QuoteDataCallback fnctickindex = nullptr;
    QuoteDataCallback fnctickstock = nullptr;
    QuoteDataCallback fncorderqueue = nullptr;
    QuoteDataCallback fncfivelevel = nullptr;
    uint32_t record_size = 0;  // bytes per image record (the input stride)
    uint32_t data_type = 0;
    const ConvertImage* image = nullptr;
    void* instance = nullptr;           // first argument of every host callback
    ConvertSession* session = nullptr;  // owner of the descriptor caches; may be null
    uint32_t gathered = 0;              // records put into blocks
    std::vector<RecordBlock> blocks;    // one per call (id 0) or per code

    // Entered around every host callback (the instance's gate); may be null.
    corvane::HostCallGate* gate = nullptr;
};

// The context of snapshot answers (ids 2, 3 and 12).
struct SnapshotConvertContext {
    RecordList* stockList = nullptr;
    RecordList* indexList = nullptr;
    RecordList* superStockList = nullptr;
    uint32_t record_size = 0;
    const ConvertImage* image = nullptr;
};

// Market text and code of a code key read over the image's key size (16
// when there is no image or its key size is out of range); both zero-filled
// for an empty key.
void KeyMarketCode(const ConvertImage* image, const char* key, char (&market)[5], char (&code)[16]);

// Hands count malloc'ed records to the context's block list and counts them
// as gathered; when the list cannot grow the records are freed (and logged).
void AddRecordBlock(PushConvertContext* ctx, void* records, uint32_t count);

// The batch's timing block: {produce, send, produce != 0 ? sample : 0}.
PushTiming MakePushTiming(uint64_t produceTime, uint64_t sendTime, uint64_t sampleTime);

// Record-wise converters.
int32_t ConvertStockPush(PushConvertContext* ctx, const void* records, int32_t count);          // id 0
int32_t ConvertIndexPush(PushConvertContext* ctx, const void* records, int32_t count);          // id 1
int32_t ConvertStockSnapshot(SnapshotConvertContext* ctx, const void* records, int32_t count);  // id 2
int32_t ConvertIndexSnapshot(SnapshotConvertContext* ctx, const void* records, int32_t count);  // id 3
int32_t ConvertFiveLevelPush(PushConvertContext* ctx, const void* records, int32_t count);      // id 10

// Code-wise converters.
int32_t ConvertTransactionPush(PushConvertContext* ctx, const char* key, const void* records, int32_t count);  // 4
int32_t ConvertBidQueuePush(PushConvertContext* ctx, const char* key, const void* records, int32_t count);     // 5
int32_t ConvertAskQueuePush(PushConvertContext* ctx, const char* key, const void* records, int32_t count);     // 6
int32_t ConvertOrderPush(PushConvertContext* ctx, const char* key, const void* records, int32_t count);        // 7
int32_t ConvertBuyCancelPush(PushConvertContext* ctx, const char* key, const void* records, int32_t count);    // 8
int32_t ConvertSellCancelPush(PushConvertContext* ctx, const char* key, const void* records, int32_t count);   // 9

// Fill the descriptor cache of their data type from this image.
void CacheStockPushFields(PushConvertContext* ctx, const ConvertImage& image);
void CacheIndexPushFields(PushConvertContext* ctx, const ConvertImage& image);
void CacheTransactionFields(PushConvertContext* ctx, const ConvertImage& image);
void CacheOrderFields(PushConvertContext* ctx, const ConvertImage& image);
void CacheBuyCancelFields(PushConvertContext* ctx, const ConvertImage& image);
void CacheSellCancelFields(PushConvertContext* ctx, const ConvertImage& image);
void CacheFiveLevelFields(PushConvertContext* ctx, const ConvertImage& image);

// The converters of a data-type id, for binding into the reader's callbacks;
// null when the id is not converted that way with a push context.
using PushRecordConverter = int32_t (*)(PushConvertContext*, const void*, int32_t);
using PushCodeConverter = int32_t (*)(PushConvertContext*, const char*, const void*, int32_t);
PushRecordConverter PushRecordConverterFor(uint32_t dataType);
PushCodeConverter PushCodeConverterFor(uint32_t dataType);

// Size of the output record of a data-type id (47 for the order-queue head),
// 0 for an unknown id.
uint32_t OutputRecordSize(uint32_t dataType);
