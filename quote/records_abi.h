/*
 * The output-record layouts as one compiler sees them: every record's size and
 * every field's offset, in a fixed order. records_abi.c fills the table from a
 * C compilation of kvo_records.h, so the C and the C++ views of the public
 * header can be compared.
 */
#pragma once

#include <stddef.h>

#define KVO_RECORD_TYPES(X) \
    X(TickIndex)            \
    X(TickStock)            \
    X(SuperStock)           \
    X(OrderQueue)           \
    X(OrderData)            \
    X(Transaction)          \
    X(FiveLevelTick)

#define KVO_RECORD_FIELDS(X)            \
    X(TickIndex, market)                \
    X(TickIndex, code)                  \
    X(TickIndex, codename)              \
    X(TickIndex, status)                \
    X(TickIndex, date)                  \
    X(TickIndex, time)                  \
    X(TickIndex, pre_price)             \
    X(TickIndex, open_price)            \
    X(TickIndex, high_price)            \
    X(TickIndex, low_price)             \
    X(TickIndex, new_price)             \
    X(TickIndex, volume)                \
    X(TickIndex, turnover)              \
    X(TickIndex, trade_num)             \
    X(TickStock, market)                \
    X(TickStock, code)                  \
    X(TickStock, codename)              \
    X(TickStock, status)                \
    X(TickStock, date)                  \
    X(TickStock, time)                  \
    X(TickStock, pre_price)             \
    X(TickStock, open_price)            \
    X(TickStock, high_price)            \
    X(TickStock, low_price)             \
    X(TickStock, new_price)             \
    X(TickStock, volume)                \
    X(TickStock, turnover)              \
    X(TickStock, trade_num)             \
    X(TickStock, bidorder_price)        \
    X(TickStock, bidorder_volume)       \
    X(TickStock, bid_numorders)         \
    X(TickStock, askorder_price)        \
    X(TickStock, askorder_volume)       \
    X(TickStock, ask_numorders)         \
    X(TickStock, totalbid_volume)       \
    X(TickStock, totalask_volume)       \
    X(TickStock, avgbid_price)          \
    X(TickStock, avgask_price)          \
    X(TickStock, uplimit_price)         \
    X(TickStock, downlimit_price)       \
    X(TickStock, pe)                    \
    X(TickStock, iopv)                  \
    X(TickStock, withdraw_buynum)       \
    X(TickStock, withdraw_buyvolume)    \
    X(TickStock, withdraw_buyturnover)  \
    X(TickStock, withdraw_sellnum)      \
    X(TickStock, withdraw_sellvol)      \
    X(TickStock, withdraw_sellturnover) \
    X(TickStock, totalbid_num)          \
    X(TickStock, totalask_num)          \
    X(TickStock, bidorder_num)          \
    X(TickStock, askorder_num)          \
    X(TickStock, inner_volume)          \
    X(TickStock, outer_volume)          \
    X(TickStock, aftermarket_volume)    \
    X(TickStock, aftermarket_volmount)  \
    X(TickStock, field_76)              \
    X(TickStock, field_77)              \
    X(TickStock, field_141)             \
    X(TickStock, field_271)             \
    X(TickStock, field_86)              \
    X(SuperStock, market)               \
    X(SuperStock, code)                 \
    X(SuperStock, date)                 \
    X(SuperStock, time)                 \
    X(SuperStock, new_price)            \
    X(SuperStock, bidorder_price)       \
    X(SuperStock, bidorder_volume)      \
    X(SuperStock, askorder_price)       \
    X(SuperStock, askorder_volume)      \
    X(OrderQueue, market)               \
    X(OrderQueue, code)                 \
    X(OrderQueue, date)                 \
    X(OrderQueue, time)                 \
    X(OrderQueue, side)                 \
    X(OrderQueue, price)                \
    X(OrderQueue, order_number)         \
    X(OrderQueue, show_number)          \
    X(OrderData, market)                \
    X(OrderData, code)                  \
    X(OrderData, date)                  \
    X(OrderData, time)                  \
    X(OrderData, index)                 \
    X(OrderData, Bizindex)              \
    X(OrderData, field_77)              \
    X(OrderData, channel)               \
    X(OrderData, price)                 \
    X(OrderData, volume)                \
    X(OrderData, side)                  \
    X(OrderData, type)                  \
    X(OrderData, order_kind)            \
    X(OrderData, field_271)             \
    X(Transaction, market)              \
    X(Transaction, code)                \
    X(Transaction, date)                \
    X(Transaction, time)                \
    X(Transaction, index)               \
    X(Transaction, Bizindex)            \
    X(Transaction, channel)             \
    X(Transaction, price)               \
    X(Transaction, volume)              \
    X(Transaction, buy_index)           \
    X(Transaction, sell_index)          \
    X(Transaction, type)                \
    X(Transaction, bsflag)              \
    X(Transaction, field_271)           \
    X(FiveLevelTick, market)            \
    X(FiveLevelTick, code)              \
    X(FiveLevelTick, codename)          \
    X(FiveLevelTick, status)            \
    X(FiveLevelTick, date)              \
    X(FiveLevelTick, time)              \
    X(FiveLevelTick, field_66)          \
    X(FiveLevelTick, field_72)          \
    X(FiveLevelTick, open_price)        \
    X(FiveLevelTick, high_price)        \
    X(FiveLevelTick, low_price)         \
    X(FiveLevelTick, new_price)         \
    X(FiveLevelTick, pre_price)         \
    X(FiveLevelTick, field_141)         \
    X(FiveLevelTick, field_142)         \
    X(FiveLevelTick, field_73)          \
    X(FiveLevelTick, field_65)          \
    X(FiveLevelTick, bidorder_price)    \
    X(FiveLevelTick, bidorder_volume)   \
    X(FiveLevelTick, askorder_price)    \
    X(FiveLevelTick, askorder_volume)   \
    X(FiveLevelTick, volume)            \
    X(FiveLevelTick, turnover)

#ifdef __cplusplus
extern "C" {
#endif

/* Sizes of the record types, then offsets of the fields, in the order of the
 * two lists above; *count receives the number of entries. */
const size_t* KvoRecordLayoutFromC(size_t* count);

#ifdef __cplusplus
}
#endif
