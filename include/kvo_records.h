/*
 * kvo_records.h - the output records that libkvoapi.so hands to its host.
 *
 * Every data callback receives an array of one of these records, every
 * snapshot query returns a malloc block of them. The layouts are part of the
 * library's binary interface and usable from C (C11) and C++:
 *  - byte-packed, no padding; an array is the records back to back;
 *  - integers little-endian, f64 IEEE-754; the f64 value -0.0 means "no value";
 *  - every record starts with market char[5] ("U", two market letters, the
 *    security-type letter, zero) and code char[16] (at most 15 characters and
 *    a zero);
 *  - other texts are zero-filled; a text as long as its limit has no zero
 *    inside the limit; texts are GBK;
 *  - date is YYYYMMDD, time is HHMMSSmmm (hour*10000000 + minute*100000 +
 *    second*1000 + milliseconds), both local.
 *
 * f64 and i64 fields sit at odd offsets: read them by value (or memcpy), never
 * through a pointer to the member.
 */
#ifndef KVO_RECORDS_H
#define KVO_RECORDS_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#ifdef __cplusplus
extern "C" {
#endif

#pragma pack(push, 1)

/* Index tick and index snapshot, 133 bytes. */
typedef struct TickIndex {
    char market[5];
    char code[16];     /* for the first exchange's index market: the public 6-digit code */
    char codename[20]; /* security name, up to 20 bytes */
    char status[20];   /* trading status, at most 8 characters */
    int32_t date;
    int32_t time;
    double pre_price;
    double open_price;
    double high_price;
    double low_price;
    double new_price;
    int64_t volume;
    double turnover;
    int64_t trade_num;
} TickIndex;

/* Stock tick with a ten-level book and stock snapshot, 809 bytes; the first
 * 133 bytes are laid out as TickIndex. Level 1 (best) comes first. */
typedef struct TickStock {
    char market[5];
    char code[16];
    char codename[20];
    char status[20];
    int32_t date;
    int32_t time;
    double pre_price;
    double open_price;
    double high_price;
    double low_price;
    double new_price;
    int64_t volume;
    double turnover;
    int64_t trade_num;
    double bidorder_price[10];
    int64_t bidorder_volume[10];
    int64_t bid_numorders[10];
    double askorder_price[10];
    int64_t askorder_volume[10];
    int64_t ask_numorders[10];
    int64_t totalbid_volume;
    int64_t totalask_volume;
    double avgbid_price;
    double avgask_price;
    double uplimit_price;
    double downlimit_price;
    double pe;
    double iopv;
    int32_t withdraw_buynum;
    int64_t withdraw_buyvolume;
    double withdraw_buyturnover;
    int32_t withdraw_sellnum;
    int64_t withdraw_sellvol;
    double withdraw_sellturnover;
    int32_t totalbid_num;
    int32_t totalask_num;
    int32_t bidorder_num;
    int32_t askorder_num;
    int64_t inner_volume;
    int64_t outer_volume;
    int64_t aftermarket_volume;
    int32_t aftermarket_volmount;
    double field_76;
    double field_77;
    double field_141;
    int32_t field_271;
    char field_86[20]; /* only when shorter than 12 characters, else all zero */
} TickStock;

/* Full-depth book reduced to ten levels per side, 357 bytes. Level 1 is the
 * highest bid and the lowest ask; levels without data are 0. */
typedef struct SuperStock {
    char market[5];
    char code[16];
    int32_t date;
    int32_t time; /* with milliseconds */
    double new_price;
    double bidorder_price[10];
    int64_t bidorder_volume[10];
    double askorder_price[10];
    int64_t askorder_volume[10];
} SuperStock;

/* Order queue at the best price of one side: this 47-byte head followed by
 * show_number i32 volumes (at byte 47 onwards), 47 + 4 * show_number bytes in
 * all. Delivered one record per callback. Use KvoOrderQueueSize and
 * KvoOrderQueueVolume for the tail. */
typedef struct OrderQueue {
    char market[5];
    char code[16];
    int32_t date;
    int32_t time;
    char side[2]; /* "B" bid queue, "S" ask queue */
    double price;
    int32_t order_number;
    int32_t show_number; /* number of volumes that follow, 0 to 4095 */
} OrderQueue;

/* One order event, 71 bytes. */
typedef struct OrderData {
    char market[5];
    char code[16];
    int32_t date;
    int32_t time;
    int32_t index;
    int32_t Bizindex;
    int32_t field_77;
    int32_t channel;
    double price;
    int32_t volume;
    char side[6];       /* "B", "S", or a phase word: "START", "OCALL", "TRADE",
                           "SUSP", "CCALL", "COLSE", "ENDTR"; empty otherwise */
    char type[2];       /* "1", "2", "U" or " " on SZ markets; empty elsewhere */
    char order_kind[2]; /* "A", "D" or "S" */
    int32_t field_271;
} OrderData;

/* One trade or cancellation, 69 bytes. */
typedef struct Transaction {
    char market[5];
    char code[16];
    int32_t date;
    int32_t time;
    int32_t index;
    int32_t Bizindex;
    int32_t channel;
    double price;
    int32_t volume;
    int32_t buy_index;  /* 0 in a sell-side cancellation */
    int32_t sell_index; /* 0 in a buy-side cancellation */
    char type[2];       /* "F" fill, "C" cancellation */
    char bsflag[2];     /* "B" or "S" */
    int32_t field_271;
} Transaction;

/* Five-level tick, 291 bytes. */
typedef struct FiveLevelTick {
    char market[5];
    char code[16];
    char codename[30]; /* up to 20 bytes used */
    char status[20];   /* at most 8 characters (2 on market "UZOO") */
    int32_t date;
    int32_t time;
    double field_66;
    double field_72;
    double open_price;
    double high_price;
    double low_price;
    double new_price;
    double pre_price;
    double field_141;
    int32_t field_142;
    int32_t field_73;
    int32_t field_65;
    double bidorder_price[5];
    int32_t bidorder_volume[5];
    double askorder_price[5];
    int32_t askorder_volume[5];
    int64_t volume;
    double turnover;
} FiveLevelTick;

#pragma pack(pop)

#define KVO_TICKINDEX_SIZE 133u
#define KVO_TICKSTOCK_SIZE 809u
#define KVO_SUPERSTOCK_SIZE 357u
#define KVO_ORDERQUEUE_HEAD_SIZE 47u
#define KVO_ORDERDATA_SIZE 71u
#define KVO_TRANSACTION_SIZE 69u
#define KVO_FIVELEVELTICK_SIZE 291u
#define KVO_ORDERQUEUE_MAX_VOLUMES 4095u

/* Size in bytes of an OrderQueue record with n volumes. */
static inline size_t KvoOrderQueueSize(uint32_t n) { return (size_t)KVO_ORDERQUEUE_HEAD_SIZE + (size_t)4u * n; }

/* Volume i (0-based) of an OrderQueue record; i must be below show_number. */
static inline int32_t KvoOrderQueueVolume(const OrderQueue* q, uint32_t i) {
    int32_t v;
    memcpy(&v, (const char*)q + KVO_ORDERQUEUE_HEAD_SIZE + (size_t)4u * i, sizeof v);
    return v;
}

/* Stores volume i (0-based) of an OrderQueue record. */
static inline void KvoOrderQueueSetVolume(OrderQueue* q, uint32_t i, int32_t v) {
    memcpy((char*)q + KVO_ORDERQUEUE_HEAD_SIZE + (size_t)4u * i, &v, sizeof v);
}

#ifdef __cplusplus
} /* extern "C" */
#endif

/* The layouts are checked where the header is compiled. */
#ifdef __cplusplus
#define KVO_RECORDS_ASSERT(c, m) static_assert(c, m)
#else
#define KVO_RECORDS_ASSERT(c, m) _Static_assert(c, m)
#endif

KVO_RECORDS_ASSERT(sizeof(TickIndex) == 133, "TickIndex is 133 bytes");
KVO_RECORDS_ASSERT(offsetof(TickIndex, code) == 5, "TickIndex.code");
KVO_RECORDS_ASSERT(offsetof(TickIndex, codename) == 21, "TickIndex.codename");
KVO_RECORDS_ASSERT(offsetof(TickIndex, status) == 41, "TickIndex.status");
KVO_RECORDS_ASSERT(offsetof(TickIndex, date) == 61, "TickIndex.date");
KVO_RECORDS_ASSERT(offsetof(TickIndex, time) == 65, "TickIndex.time");
KVO_RECORDS_ASSERT(offsetof(TickIndex, pre_price) == 69, "TickIndex.pre_price");
KVO_RECORDS_ASSERT(offsetof(TickIndex, new_price) == 101, "TickIndex.new_price");
KVO_RECORDS_ASSERT(offsetof(TickIndex, volume) == 109, "TickIndex.volume");
KVO_RECORDS_ASSERT(offsetof(TickIndex, turnover) == 117, "TickIndex.turnover");
KVO_RECORDS_ASSERT(offsetof(TickIndex, trade_num) == 125, "TickIndex.trade_num");

KVO_RECORDS_ASSERT(sizeof(TickStock) == 809, "TickStock is 809 bytes");
KVO_RECORDS_ASSERT(offsetof(TickStock, date) == 61, "TickStock.date");
KVO_RECORDS_ASSERT(offsetof(TickStock, time) == 65, "TickStock.time");
KVO_RECORDS_ASSERT(offsetof(TickStock, new_price) == 101, "TickStock.new_price");
KVO_RECORDS_ASSERT(offsetof(TickStock, volume) == 109, "TickStock.volume");
KVO_RECORDS_ASSERT(offsetof(TickStock, trade_num) == 125, "TickStock.trade_num");
KVO_RECORDS_ASSERT(offsetof(TickStock, bidorder_price) == 133, "TickStock.bidorder_price");
KVO_RECORDS_ASSERT(offsetof(TickStock, bidorder_volume) == 213, "TickStock.bidorder_volume");
KVO_RECORDS_ASSERT(offsetof(TickStock, bid_numorders) == 293, "TickStock.bid_numorders");
KVO_RECORDS_ASSERT(offsetof(TickStock, askorder_price) == 373, "TickStock.askorder_price");
KVO_RECORDS_ASSERT(offsetof(TickStock, askorder_volume) == 453, "TickStock.askorder_volume");
KVO_RECORDS_ASSERT(offsetof(TickStock, ask_numorders) == 533, "TickStock.ask_numorders");
KVO_RECORDS_ASSERT(offsetof(TickStock, totalbid_volume) == 613, "TickStock.totalbid_volume");
KVO_RECORDS_ASSERT(offsetof(TickStock, uplimit_price) == 645, "TickStock.uplimit_price");
KVO_RECORDS_ASSERT(offsetof(TickStock, iopv) == 669, "TickStock.iopv");
KVO_RECORDS_ASSERT(offsetof(TickStock, withdraw_buynum) == 677, "TickStock.withdraw_buynum");
KVO_RECORDS_ASSERT(offsetof(TickStock, withdraw_buyvolume) == 681, "TickStock.withdraw_buyvolume");
KVO_RECORDS_ASSERT(offsetof(TickStock, withdraw_sellnum) == 697, "TickStock.withdraw_sellnum");
KVO_RECORDS_ASSERT(offsetof(TickStock, withdraw_sellvol) == 701, "TickStock.withdraw_sellvol");
KVO_RECORDS_ASSERT(offsetof(TickStock, totalbid_num) == 717, "TickStock.totalbid_num");
KVO_RECORDS_ASSERT(offsetof(TickStock, askorder_num) == 729, "TickStock.askorder_num");
KVO_RECORDS_ASSERT(offsetof(TickStock, inner_volume) == 733, "TickStock.inner_volume");
KVO_RECORDS_ASSERT(offsetof(TickStock, aftermarket_volume) == 749, "TickStock.aftermarket_volume");
KVO_RECORDS_ASSERT(offsetof(TickStock, aftermarket_volmount) == 757, "TickStock.aftermarket_volmount");
KVO_RECORDS_ASSERT(offsetof(TickStock, field_76) == 761, "TickStock.field_76");
KVO_RECORDS_ASSERT(offsetof(TickStock, field_141) == 777, "TickStock.field_141");
KVO_RECORDS_ASSERT(offsetof(TickStock, field_271) == 785, "TickStock.field_271");
KVO_RECORDS_ASSERT(offsetof(TickStock, field_86) == 789, "TickStock.field_86");

KVO_RECORDS_ASSERT(sizeof(SuperStock) == 357, "SuperStock is 357 bytes");
KVO_RECORDS_ASSERT(offsetof(SuperStock, date) == 21, "SuperStock.date");
KVO_RECORDS_ASSERT(offsetof(SuperStock, time) == 25, "SuperStock.time");
KVO_RECORDS_ASSERT(offsetof(SuperStock, new_price) == 29, "SuperStock.new_price");
KVO_RECORDS_ASSERT(offsetof(SuperStock, bidorder_price) == 37, "SuperStock.bidorder_price");
KVO_RECORDS_ASSERT(offsetof(SuperStock, bidorder_volume) == 117, "SuperStock.bidorder_volume");
KVO_RECORDS_ASSERT(offsetof(SuperStock, askorder_price) == 197, "SuperStock.askorder_price");
KVO_RECORDS_ASSERT(offsetof(SuperStock, askorder_volume) == 277, "SuperStock.askorder_volume");

KVO_RECORDS_ASSERT(sizeof(OrderQueue) == 47, "OrderQueue head is 47 bytes");
KVO_RECORDS_ASSERT(offsetof(OrderQueue, date) == 21, "OrderQueue.date");
KVO_RECORDS_ASSERT(offsetof(OrderQueue, time) == 25, "OrderQueue.time");
KVO_RECORDS_ASSERT(offsetof(OrderQueue, side) == 29, "OrderQueue.side");
KVO_RECORDS_ASSERT(offsetof(OrderQueue, price) == 31, "OrderQueue.price");
KVO_RECORDS_ASSERT(offsetof(OrderQueue, order_number) == 39, "OrderQueue.order_number");
KVO_RECORDS_ASSERT(offsetof(OrderQueue, show_number) == 43, "OrderQueue.show_number");

KVO_RECORDS_ASSERT(sizeof(OrderData) == 71, "OrderData is 71 bytes");
KVO_RECORDS_ASSERT(offsetof(OrderData, date) == 21, "OrderData.date");
KVO_RECORDS_ASSERT(offsetof(OrderData, time) == 25, "OrderData.time");
KVO_RECORDS_ASSERT(offsetof(OrderData, index) == 29, "OrderData.index");
KVO_RECORDS_ASSERT(offsetof(OrderData, field_77) == 37, "OrderData.field_77");
KVO_RECORDS_ASSERT(offsetof(OrderData, price) == 45, "OrderData.price");
KVO_RECORDS_ASSERT(offsetof(OrderData, volume) == 53, "OrderData.volume");
KVO_RECORDS_ASSERT(offsetof(OrderData, side) == 57, "OrderData.side");
KVO_RECORDS_ASSERT(offsetof(OrderData, type) == 63, "OrderData.type");
KVO_RECORDS_ASSERT(offsetof(OrderData, order_kind) == 65, "OrderData.order_kind");
KVO_RECORDS_ASSERT(offsetof(OrderData, field_271) == 67, "OrderData.field_271");

KVO_RECORDS_ASSERT(sizeof(Transaction) == 69, "Transaction is 69 bytes");
KVO_RECORDS_ASSERT(offsetof(Transaction, date) == 21, "Transaction.date");
KVO_RECORDS_ASSERT(offsetof(Transaction, time) == 25, "Transaction.time");
KVO_RECORDS_ASSERT(offsetof(Transaction, index) == 29, "Transaction.index");
KVO_RECORDS_ASSERT(offsetof(Transaction, price) == 41, "Transaction.price");
KVO_RECORDS_ASSERT(offsetof(Transaction, volume) == 49, "Transaction.volume");
KVO_RECORDS_ASSERT(offsetof(Transaction, buy_index) == 53, "Transaction.buy_index");
KVO_RECORDS_ASSERT(offsetof(Transaction, sell_index) == 57, "Transaction.sell_index");
KVO_RECORDS_ASSERT(offsetof(Transaction, type) == 61, "Transaction.type");
KVO_RECORDS_ASSERT(offsetof(Transaction, bsflag) == 63, "Transaction.bsflag");
KVO_RECORDS_ASSERT(offsetof(Transaction, field_271) == 65, "Transaction.field_271");

KVO_RECORDS_ASSERT(sizeof(FiveLevelTick) == 291, "FiveLevelTick is 291 bytes");
KVO_RECORDS_ASSERT(offsetof(FiveLevelTick, codename) == 21, "FiveLevelTick.codename");
KVO_RECORDS_ASSERT(offsetof(FiveLevelTick, status) == 51, "FiveLevelTick.status");
KVO_RECORDS_ASSERT(offsetof(FiveLevelTick, date) == 71, "FiveLevelTick.date");
KVO_RECORDS_ASSERT(offsetof(FiveLevelTick, time) == 75, "FiveLevelTick.time");
KVO_RECORDS_ASSERT(offsetof(FiveLevelTick, field_66) == 79, "FiveLevelTick.field_66");
KVO_RECORDS_ASSERT(offsetof(FiveLevelTick, open_price) == 95, "FiveLevelTick.open_price");
KVO_RECORDS_ASSERT(offsetof(FiveLevelTick, new_price) == 119, "FiveLevelTick.new_price");
KVO_RECORDS_ASSERT(offsetof(FiveLevelTick, pre_price) == 127, "FiveLevelTick.pre_price");
KVO_RECORDS_ASSERT(offsetof(FiveLevelTick, field_142) == 143, "FiveLevelTick.field_142");
KVO_RECORDS_ASSERT(offsetof(FiveLevelTick, field_65) == 151, "FiveLevelTick.field_65");
KVO_RECORDS_ASSERT(offsetof(FiveLevelTick, bidorder_price) == 155, "FiveLevelTick.bidorder_price");
KVO_RECORDS_ASSERT(offsetof(FiveLevelTick, bidorder_volume) == 195, "FiveLevelTick.bidorder_volume");
KVO_RECORDS_ASSERT(offsetof(FiveLevelTick, askorder_price) == 215, "FiveLevelTick.askorder_price");
KVO_RECORDS_ASSERT(offsetof(FiveLevelTick, askorder_volume) == 255, "FiveLevelTick.askorder_volume");
KVO_RECORDS_ASSERT(offsetof(FiveLevelTick, volume) == 275, "FiveLevelTick.volume");
KVO_RECORDS_ASSERT(offsetof(FiveLevelTick, turnover) == 283, "FiveLevelTick.turnover");

#endif /* KVO_RECORDS_H */
