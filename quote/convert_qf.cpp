#include "quote/convert_qf.h"

#include "quote/superstock.h"

NativeConvertImage::NativeConvertImage(const QfNativeInfo& info)
    : m_recordSize(info.header.recordSize), m_keySize(info.index.keySize != 0 ? info.index.keySize : 16) {
    uint64_t offset = 0;
    m_columns.reserve(info.columns.size());
    for (const QfColumn& c : info.columns) {
        // Offsets beyond 32 bits cannot lie in a record; such columns are
        // left out of the lookup.
        if (offset > 0xFFFFFFFFull) break;
        m_columns.push_back(QuoteFieldDescriptor{c.id, c.attr, c.width, uint32_t(offset)});
        offset += c.width;
    }
}

bool NativeConvertImage::GetColumn(uint32_t index, QuoteFieldDescriptor* out) const {
    if (index >= m_columns.size()) return false;
    *out = m_columns[index];
    return true;
}

uint32_t NativeConvertImage::GetFieldInfo(uint32_t fieldId, QuoteFieldDescriptor* out) const {
    for (const QuoteFieldDescriptor& d : m_columns) {
        if ((d.id & ~kFieldKindMask) == (fieldId & ~kFieldKindMask)) {
            *out = d;
            return 0;
        }
    }
    *out = QuoteFieldDescriptor{};
    return 0xFFFFFFFFu;
}

QfRecordCallback BindPushRecordConverter(uint32_t dataType, PushConvertContext* ctx) {
    switch (dataType) {
    case kDataStockPush:
        return QfRecordCallback::BindFree<&ConvertStockPush>(ctx);
    case kDataIndexPush:
        return QfRecordCallback::BindFree<&ConvertIndexPush>(ctx);
    case kDataFiveLevelPush:
        return QfRecordCallback::BindFree<&ConvertFiveLevelPush>(ctx);
    default:
        return QfRecordCallback();
    }
}

QfCodeCallback BindPushCodeConverter(uint32_t dataType, PushConvertContext* ctx) {
    switch (dataType) {
    case kDataTransactionPush:
        return QfCodeCallback::BindFree<&ConvertTransactionPush>(ctx);
    case kDataBidQueuePush:
        return QfCodeCallback::BindFree<&ConvertBidQueuePush>(ctx);
    case kDataAskQueuePush:
        return QfCodeCallback::BindFree<&ConvertAskQueuePush>(ctx);
    case kDataOrderPush:
        return QfCodeCallback::BindFree<&ConvertOrderPush>(ctx);
    case kDataBuyCancelPush:
        return QfCodeCallback::BindFree<&ConvertBuyCancelPush>(ctx);
    case kDataSellCancelPush:
        return QfCodeCallback::BindFree<&ConvertSellCancelPush>(ctx);
    case kDataSuperStockPush:
        return QfCodeCallback::BindFree<&ConvertSuperStockPush>(ctx);
    default:
        return QfCodeCallback();
    }
}

QfRecordCallback BindSnapshotRecordConverter(uint32_t dataType, SnapshotConvertContext* ctx) {
    switch (dataType) {
    case kDataStockSnapshot:
        return QfRecordCallback::BindFree<&ConvertStockSnapshot>(ctx);
    case kDataIndexSnapshot:
        return QfRecordCallback::BindFree<&ConvertIndexSnapshot>(ctx);
    default:
        return QfRecordCallback();
    }
}

QfCodeCallback BindSnapshotCodeConverter(uint32_t dataType, SnapshotConvertContext* ctx) {
    if (dataType == kDataSuperStockSnapshot) return QfCodeCallback::BindFree<&ConvertSuperStockSnapshot>(ctx);
    return QfCodeCallback();
}
