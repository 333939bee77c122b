// Super-stock conversion: each code of a super-stock image carries a block of
// 20-byte records, a header and one entry per price level (ascending prices,
// bids first); the converters reduce it to one SuperStock record with the
// ten best levels per side.
#pragma once

#include <cstdint>
#include <vector>

#include "quote/convert.h"

// Marker of the header record.
constexpr uint32_t kSuperStockMarker = 0xFFFFFFFFu;
// Bytes of a header or entry record.
constexpr uint32_t kSuperStockRecordSize = 20;

// One level of the snapshot form's list.
struct SuperStockLevel {
    double price;
    int32_t volume;
};

// Pushed form (id 11): one RecordBlock of one record per code into the
// context. Snapshot form (id 12): the record is appended to the context's
// super-stock list. Both: 0, or -1 when the block lacks the header marker,
// which ends the image's code iteration.
int32_t ConvertSuperStockPush(PushConvertContext* ctx, const char* key, const void* records, int32_t count);
int32_t ConvertSuperStockSnapshot(SnapshotConvertContext* ctx, const char* key, const void* records, int32_t count);

// Entry i is a visible bid: i below the bid count, side 1, L in 1 to 10.
bool IsBidLevelEntry(uint32_t bidCount, uint32_t index, uint32_t side, int64_t levelsLeft);
// Side 2 with fewer than 10 asks filled.
bool HasFreeAskLevel(uint32_t side, int32_t asksFilled);
// Writes the next ask level when the price differs from the previous one by
// at least 0.000001; a repeated price adds its volume to the last ask level.
void AppendAskLevel(double price, double prevPrice, SuperStock* rec, int32_t* asksFilled, int32_t volume);
// The book kept its visible levels: L equals the bid count (or both exceed
// ten), and A equals the ask count (or both exceed ten).
bool IsSuperStockComplete(int64_t bidsLeft, int64_t asksLeft, uint32_t bidCount, uint32_t askCount);
// Fills the twenty levels from the list: the L bids from the highest down,
// then up to ten asks from the lowest.
void FillSuperStockLevels(SuperStock* rec, const std::vector<SuperStockLevel>& list, int64_t bidsLeft);
