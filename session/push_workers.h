// The push workers of a market session and what they need to cut pushes
// into quote-file images.
//
// One worker per data class converts pushed quote data off the network
// thread. "ProcessIndexTick" and "processOrderqueue" take one push at a
// time and hand each of its images to the session's single-image handler;
// "ProcessStockTick", "processOrder", "processTransaction" and
// "processSuperStock" take every push queued since their previous step as
// one batch, gather the images of all of them into one list and hand it to
// the session's batch handler, so that the host gets one callback per kind
// per batch.
//
// A push item carries the whole gateway frame (header included); the worker
// parses its PushData body again, cuts the payload (databuf) at every
// image header and frees every parsed message and every item at the end of
// its step, whether or not it yielded an image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "framework/tl_callback.h"
#include "framework/tl_threadpool.h"
#include "quote/convert.h"
#include "session/session_threads.h"

namespace datapacket {
class PushData;
}

// One quote-file image cut out of a push payload: its bytes (inside the
// payload of `message`, which lives as long as the worker's step), its
// data-type id, and the datatime of the push it came from.
struct PushImage {
    uint32_t length = 0;
    const uint8_t* data = nullptr;
    uint32_t id = 0;
    const datapacket::PushData* message = nullptr;  // not owned
    uint64_t datatime = 0;
};

// Data-type id of a data-type table lookup that has none.
constexpr uint32_t kNoDataType = 0xFFFFFFFFu;

// The data-type id of a wire data class for the single-image workers
// (1->0, 2->1, 3->5, 4->6, 5/11/13->4, 6->8, 7->9, 8/12->7, 9->10, 10->11)
// and for the batch workers (the same without 2, 3, 4 and 9); kNoDataType
// for any other class.
uint32_t SingleImageDataType(int32_t wireClass);
uint32_t BatchImageDataType(int32_t wireClass);

// Record size of a data-type id when the blocks of one image are joined:
// 0 -> 809, 7 -> 71, 11 -> 357, 4/8/9 -> 69; 0 for any other id.
uint32_t JoinedRecordSize(uint32_t dataType);

// The first position p with p + 4 < length at which the bytes read 'h',
// 'q' or 'd', '6' or '1', '.', '0' (the start of "hq1.0", "hq6.0", "hd1.0"
// or "hd6.0"). False when there is none.
bool FindQuoteImageHeader(const uint8_t* data, uint32_t length, uint32_t* position);

// Cuts a payload into images: bytes before the first header are skipped;
// each image runs from its header up to the next header (searched from one
// byte past its start) and the last one to the end. Each piece is
// (offset, length). A payload without a header gives none.
void CutQuoteImages(const uint8_t* payload, uint32_t length, std::vector<std::pair<uint32_t, uint32_t>>* pieces);

// Joins the record blocks a conversion gathered in ctx into one malloc'ed
// array of ctx->gathered records of the id's joined size, in block order,
// freeing every block. With records: *records and out get the array and
// the count; with none: null and 0. An id without a joined size leaves both
// untouched (and the blocks in ctx). When the array cannot be allocated the
// blocks are freed, the loss is logged at level 1, and null and 0 result.
void ConcatRecordBlocks(PushConvertContext* ctx, void** records, RecordBlock* out);

// The arrays a batch is joined into, one per output kind (slot). Each
// thread keeps its arrays for its next batches, so that a batch worker under
// a backlog does not map, fault in and unmap a large block for every batch.
// Up to kGrownBatchArrayBytes an array is a heap block sized to the batches,
// below the C library's first mapping threshold (128 KiB): freeing a larger
// block, which the allocator maps, raises that threshold and with it the
// free heap every thread's arena keeps, for the rest of the process. Beyond,
// an array is one mapping of kKeptBatchArrayBytes whose pages are faulted
// in only as far as batches reach. A burst's pages do not stay for the rest
// of the day: at the end of each window of kBatchArrayWindowMs a mapping
// gives back its pages above the largest batch of that window and the one
// before (SettleBatchArrays), so that while data keeps flowing what it holds
// falls back to what the recent batches use. A worker gone idle frees all.
constexpr int kBatchArraySlots = 4;
constexpr size_t kGrownBatchArrayBytes = size_t(64) << 10;
constexpr size_t kKeptBatchArrayBytes = size_t(128) << 20;
constexpr uint32_t kBatchArrayWindowMs = 1000;
// The calling thread's array of a slot, grown to hold at least bytes, with
// the first bytes the current batch asked for kept (up to the most it asked
// for since the thread's last SettleBatchArrays). Null when bytes exceed the
// bound, the slot is not one, or no memory is left (the array is then
// unchanged).
void* GrowBatchArray(int slot, size_t bytes);
// Ends a batch of the calling thread: notes how far it used each array and,
// when a window has passed, gives back the pages no recent batch reached.
void SettleBatchArrays();
// Frees the calling thread's arrays (a batch worker gone idle).
void ReleaseBatchArrays();
// Bytes the batch arrays of every thread may hold resident: a heap array's
// size, a mapping's pages up to the furthest a batch reached since they were
// last given back.
size_t BatchArrayResidentBytes();

// The bounds above and the window, lowered by tests so that small batches
// reach every road, and a size past which growing fails as if no memory
// were left. Applies to arrays grown from then on.
struct BatchArrayLimits {
    size_t grown = kGrownBatchArrayBytes;
    size_t kept = kKeptBatchArrayBytes;
    uint32_t windowMs = kBatchArrayWindowMs;
    size_t failAbove = SIZE_MAX;
};
void SetBatchArrayLimits(const BatchArrayLimits& limits);

// "ProcessIndexTick" and "processOrderqueue": one push per step; the
// handler gets every image of it.
class CProcessPushDataThread : public CTLLockFreeQThreadPool<RecrieceDataThreadInfo*> {
public:
    // (data-type id, image, length, produce_time, send_time, sample time,
    // datatime) -> whether the image opened.
    using Handler = CTLCallback<bool(uint32_t, const void*, uint32_t, uint64_t, uint64_t, uint64_t, uint64_t)>;

    CProcessPushDataThread(const char* name, const Handler& handler);
    ~CProcessPushDataThread() override = default;

protected:
    void ProcessTask(RecrieceDataThreadInfo* item) override;

private:
    Handler m_handler;
};

// "ProcessStockTick", "processOrder", "processTransaction" and
// "processSuperStock": every queued push per step, as one image list.
class CAllPackProcessPushDataThread : public CTLKvoLockFreeQThreadPool<RecrieceDataThreadInfo*> {
public:
    // (images, produce_time, send_time, sample time, datatime) -> 1.
    using Handler = CTLCallback<int32_t(const std::vector<PushImage>&, uint64_t, uint64_t, uint64_t, uint64_t)>;

    CAllPackProcessPushDataThread(const char* name, const Handler& handler);
    ~CAllPackProcessPushDataThread() override = default;

protected:
    void ProcessTask(RecrieceDataThreadInfo** items, uint32_t count) override;
    // Gives the thread's batch arrays back.
    void OnIdle() override;

private:
    Handler m_handler;
};
