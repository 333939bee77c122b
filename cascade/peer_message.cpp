#include "cascade/peer_message.h"

#include <cstddef>
#include <cstring>

#include "cascade/decimal_text.h"
#include "include/kvo_records.h"

namespace {

constexpr size_t kOrderQueueCountOffset = offsetof(OrderQueue, show_number);

// Appends key, ":" and a value ended by ",".
void Put(std::string& out, std::string_view key, std::string_view value) {
    out.append(key).append(1, ':').append(value).append(1, ',');
}
void Put(std::string& out, std::string_view key, int64_t value) { Put(out, key, std::to_string(value)); }

// A block holding the text and then `room` zeroed bytes; *at points at them.
PeerBlock TextWithRoom(const std::string& text, uint64_t room, char** at) {
    if (text.size() + room > kPeerMaxBody) return PeerBlock();
    PeerBlock block = PeerBlock::Allocate(static_cast<size_t>(text.size() + room));
    if (block.Empty()) return block;
    std::memcpy(block.Data(), text.data(), text.size());
    *at = block.Data() + text.size();
    return block;
}

// The code list of a query, its last field: up to its ")" as the field
// reader takes it, or, written without parentheses ("600000,600036"), up to
// the text's last "," rather than empty (the whole market): the gateway is
// asked what the master's own host would ask for the same list.
std::string QueryCodeList(std::string_view text) {
    std::string codelist = GetFieldValue(text, "codelist");
    if (!codelist.empty()) return codelist;
    const size_t key = text.find("codelist");
    const size_t last = text.rfind(',');
    if (key == std::string_view::npos || last == std::string_view::npos) return codelist;
    const size_t start = key + std::strlen("codelist") + 1;
    return last > start ? std::string(text.substr(start, last - start)) : codelist;
}

}  // namespace

bool IsKnownPeerReqType(int32_t r) {
    return (r >= kPeerTickIndex && r <= kPeerSuperStock) || r == kPeerSubscribe || r == kPeerLogin ||
           r == kPeerLoginAnswer || (r >= kPeerCodelistQuery && r <= kPeerSuperStockQuery) ||
           (r >= kPeerCodelistAnswer && r <= kPeerSuperStockAnswer) || r == kPeerDisconnect;
}

bool PeerReqTypeNeedsId(int32_t r) {
    return r == kPeerLogin || (r >= kPeerCodelistQuery && r <= kPeerSuperStockQuery) ||
           (r >= kPeerCodelistAnswer && r <= kPeerSuperStockAnswer);
}

uint32_t PeerRecordSize(int32_t r) {
    switch (r) {
    case kPeerTickIndex:
    case kPeerIndexAnswer:
        return KVO_TICKINDEX_SIZE;
    case kPeerTickStock:
    case kPeerStockAnswer:
        return KVO_TICKSTOCK_SIZE;
    case kPeerOrderData:
        return KVO_ORDERDATA_SIZE;
    case kPeerTransaction:
        return KVO_TRANSACTION_SIZE;
    case kPeerSuperStock:
    case kPeerSuperStockAnswer:
        return KVO_SUPERSTOCK_SIZE;
    default:
        return 0;
    }
}

std::string_view PeerMessageText(const char* body, size_t length) {
    if (body == nullptr) return {};
    std::string_view all(body, strnlen(body, length));
    return all.substr(0, all.find(kPeerBinaryMarker));
}

size_t PeerBinaryOffset(const char* body, size_t length) {
    if (body == nullptr) return std::string_view::npos;
    const std::string_view text(body, strnlen(body, length));
    const size_t at = text.find(kPeerBinaryMarker);
    return at == std::string_view::npos ? at : at + kPeerBinaryMarker.size();
}

int32_t GetIntField(std::string_view text, std::string_view key) { return DecimalToI32(GetFieldValue(text, key)); }

int32_t PeerReqTypeOf(const char* body, size_t length) { return GetIntField(PeerMessageText(body, length), "ReqType"); }

uint32_t CheckPeerMessage(const char* body, size_t length, int32_t* reqType) {
    const std::string_view text = PeerMessageText(body, length);
    const int32_t r = GetIntField(text, "ReqType");
    if (reqType != nullptr) *reqType = r;
    if (!IsKnownPeerReqType(r)) return kPeerErrBadReqType;
    if (PeerReqTypeNeedsId(r) && GetFieldValue(text, "id").empty()) return kPeerErrNoId;
    const bool binary = r <= kPeerSuperStock || (r >= kPeerCodelistAnswer && r <= kPeerSuperStockAnswer);
    if (binary && PeerBinaryOffset(body, length) == std::string_view::npos) return kPeerErrNoMarker;
    return kPeerOk;
}

// ---- Data messages ----------------------------------------------------------

uint32_t ReadPeerDataMessage(const char* body, size_t length, PeerDataMessage* out) {
    const std::string_view text = PeerMessageText(body, length);
    const int32_t r = GetIntField(text, "ReqType");
    if (r < kPeerTickIndex || r > kPeerSuperStock) return kPeerErrBadReqType;
    const int32_t count = GetIntField(text, "TickCount");
    if (count < 1) return kPeerErrBadCount;
    const size_t at = PeerBinaryOffset(body, length);
    if (at == std::string_view::npos) return kPeerErrNoMarker;
    const uint64_t room = length - at;  // bytes after the marker
    uint64_t recordLength = 0;
    uint64_t records = 0;
    if (r == kPeerOrderQueue) {
        const int32_t len = GetIntField(text, "strTextLength");
        if (len < int32_t(KVO_ORDERQUEUE_HEAD_SIZE)) return kPeerErrBadCount;
        recordLength = uint32_t(len);
        if (recordLength + kPeerTimingSize > room) return kPeerErrTruncated;
        int32_t volumes = 0;
        std::memcpy(&volumes, body + at + kOrderQueueCountOffset, sizeof volumes);
        if (volumes < 0 || KvoOrderQueueSize(uint32_t(volumes)) != recordLength) return kPeerErrBadRecord;
        records = 1;
    } else {
        recordLength = PeerRecordSize(r);
        records = uint32_t(count);
        if (records * recordLength + kPeerTimingSize > room) return kPeerErrTruncated;
    }
    out->reqType = r;
    out->count = static_cast<uint32_t>(records);
    out->recordLength = static_cast<uint32_t>(recordLength);
    out->records = body + at;
    out->timing = reinterpret_cast<const PushTiming*>(body + at + records * recordLength);
    out->size = static_cast<size_t>(at + records * recordLength + kPeerTimingSize);
    return kPeerOk;
}

PeerBlock BuildPeerDataMessage(int32_t reqType, const void* records, uint32_t count, const PushTiming* timing) {
    if (records == nullptr || count == 0 || reqType < kPeerTickIndex || reqType > kPeerSuperStock) return PeerBlock();
    std::string text;
    Put(text, "ReqType", reqType);
    uint64_t bytes = 0;
    if (reqType == kPeerOrderQueue) {
        int32_t volumes = 0;
        std::memcpy(&volumes, static_cast<const char*>(records) + kOrderQueueCountOffset, sizeof volumes);
        if (volumes < 0 || uint32_t(volumes) > KVO_ORDERQUEUE_MAX_VOLUMES) return PeerBlock();
        bytes = KvoOrderQueueSize(uint32_t(volumes));
        Put(text, "strTextLength", int64_t(bytes));
        Put(text, "TickCount", 1);
    } else {
        bytes = uint64_t(count) * PeerRecordSize(reqType);
        Put(text, "TickCount", count);
    }
    text.append(kPeerBinaryMarker);
    char* p = nullptr;
    PeerBlock block = TextWithRoom(text, bytes + kPeerTimingSize, &p);
    if (block.Empty()) return block;
    std::memcpy(p, records, static_cast<size_t>(bytes));
    if (timing != nullptr) std::memcpy(p + bytes, timing, kPeerTimingSize);
    return block;
}

PeerBlock BuildPeerDataSubset(const PeerDataMessage& m, const uint32_t* indexes, size_t count) {
    if (indexes == nullptr || count == 0 || count > m.count || m.reqType == kPeerOrderQueue || m.records == nullptr)
        return PeerBlock();
    std::string text;
    Put(text, "ReqType", m.reqType);
    Put(text, "TickCount", int64_t(count));
    text.append(kPeerBinaryMarker);
    char* p = nullptr;
    PeerBlock block = TextWithRoom(text, uint64_t(count) * m.recordLength + kPeerTimingSize, &p);
    if (block.Empty()) return block;
    for (size_t i = 0; i < count; ++i) {
        if (indexes[i] >= m.count) return PeerBlock();
        std::memcpy(p, m.records + size_t(indexes[i]) * m.recordLength, m.recordLength);
        p += m.recordLength;
    }
    std::memcpy(p, m.timing, kPeerTimingSize);
    return block;
}

// ---- Answers ----------------------------------------------------------------

uint32_t ReadPeerAnswer(const char* body, size_t length, PeerAnswer* out) {
    const std::string_view text = PeerMessageText(body, length);
    const int32_t r = GetIntField(text, "ReqType");
    if (r < kPeerCodelistAnswer || r > kPeerSuperStockAnswer) return kPeerErrBadReqType;
    std::string id = GetFieldValue(text, "id");
    if (id.empty()) return kPeerErrNoId;
    const size_t at = PeerBinaryOffset(body, length);
    if (at == std::string_view::npos) return kPeerErrNoMarker;
    const int32_t bytes = GetIntField(text, "strTextLength");
    const int32_t count = GetIntField(text, "TickCount");
    if (bytes < 0 || count < 0) return kPeerErrBadCount;
    if (uint64_t(bytes) > length - at) return kPeerErrTruncated;
    if (r != kPeerCodelistAnswer && uint64_t(count) * PeerRecordSize(r) != uint64_t(bytes)) return kPeerErrBadCount;
    out->reqType = r;
    out->id = std::move(id);
    out->count = uint32_t(count);
    out->payloadLength = uint32_t(bytes);
    out->payload = body + at;
    out->forwardLength = at + size_t(bytes);
    return kPeerOk;
}

PeerBlock BuildPeerAnswer(int32_t reqType, std::string_view id, const void* payload, size_t payloadLength,
                          uint32_t count) {
    if (reqType < kPeerCodelistAnswer || reqType > kPeerSuperStockAnswer || id.empty()) return PeerBlock();
    if (payloadLength > 0 && payload == nullptr) return PeerBlock();
    if (reqType != kPeerCodelistAnswer && uint64_t(count) * PeerRecordSize(reqType) != payloadLength)
        return PeerBlock();
    std::string text;
    Put(text, "strTextLength", int64_t(payloadLength));
    Put(text, "id", id);
    Put(text, "ReqType", reqType);
    Put(text, "TickCount", count);
    text.append(kPeerBinaryMarker);
    char* p = nullptr;
    PeerBlock block = TextWithRoom(text, payloadLength, &p);
    if (!block.Empty() && payloadLength > 0) std::memcpy(p, payload, payloadLength);
    return block;
}

// ---- Requests ---------------------------------------------------------------

int32_t PeerSubscribeRequest::DataClass() const { return DecimalToI32(dataClass); }
int32_t PeerSubscribeRequest::SubopType() const { return DecimalToI32(subopType); }

uint32_t ReadPeerSubscribeRequest(std::string_view text, PeerSubscribeRequest* out) {
    if (GetIntField(text, "ReqType") != kPeerSubscribe) return kPeerErrBadReqType;
    PeerSubscribeRequest r;
    r.dataClass = GetFieldValue(text, "msg_dataclass");
    r.subopType = GetFieldValue(text, "subop_type");
    r.id = GetFieldValue(text, "id");
    r.market = GetFieldValue(text, "market");
    r.codelist = GetFieldValue(text, "codelist");
    if (r.dataClass.empty() || r.subopType.empty() || r.market.empty() || r.codelist.empty())
        return kPeerErrMissingField;
    *out = std::move(r);
    return kPeerOk;
}

std::string BuildPeerSubscribeText(int32_t dataClass, int32_t subopType, std::string_view id, std::string_view market,
                                   std::string_view codelist) {
    std::string text;
    Put(text, "ReqType", kPeerSubscribe);
    Put(text, "msg_dataclass", dataClass);
    Put(text, "subop_type", subopType);
    Put(text, "id", id);
    Put(text, "market", market);
    Put(text, "codelist", codelist);
    return text;
}

uint32_t ReadPeerLoginRequest(std::string_view text, PeerLoginRequest* out) {
    if (GetIntField(text, "ReqType") != kPeerLogin) return kPeerErrBadReqType;
    PeerLoginRequest r;
    r.id = GetFieldValue(text, "id");
    if (r.id.empty()) return kPeerErrNoId;
    r.account = GetFieldValue(text, "account");
    r.pass = GetFieldValue(text, "pass");
    r.ip = GetFieldValue(text, "IP");
    r.ipMask = GetFieldValue(text, "ipMask");
    r.port = GetIntField(text, "Port");
    *out = std::move(r);
    return kPeerOk;
}

std::string BuildPeerLoginText(std::string_view id, std::string_view account, std::string_view pass,
                               std::string_view ipList, int32_t port, std::string_view maskList) {
    std::string text;
    Put(text, "ReqType", kPeerLogin);
    Put(text, "id", id);
    Put(text, "account", account);
    Put(text, "pass", pass);
    Put(text, "IP", ipList);
    Put(text, "Port", port);
    Put(text, "ipMask", maskList);
    return text;
}

uint32_t ReadPeerLoginAnswer(std::string_view text, PeerLoginAnswer* out) {
    if (GetIntField(text, "ReqType") != kPeerLoginAnswer) return kPeerErrBadReqType;
    out->id = GetFieldValue(text, "id");
    out->error = GetIntField(text, "error");
    return kPeerOk;
}

std::string BuildPeerLoginAnswerText(std::string_view id, int32_t error) {
    std::string text;
    if (error == 0) Put(text, "error", 0);
    Put(text, "ReqType", kPeerLoginAnswer);
    Put(text, "id", id);
    if (error != 0) Put(text, "error", error);
    return text;
}

uint32_t ReadPeerQuery(std::string_view text, PeerQuery* out) {
    const int32_t r = GetIntField(text, "ReqType");
    if (r < kPeerCodelistQuery || r > kPeerSuperStockQuery) return kPeerErrBadReqType;
    PeerQuery q;
    q.reqType = r;
    q.id = GetFieldValue(text, "id");
    if (q.id.empty()) return kPeerErrNoId;
    q.market = GetFieldValue(text, "market");
    if (r != kPeerCodelistQuery) q.codelist = QueryCodeList(text);
    *out = std::move(q);
    return kPeerOk;
}

std::string BuildPeerQueryText(int32_t reqType, std::string_view id, std::string_view market,
                               std::string_view codelist) {
    if (reqType < kPeerCodelistQuery || reqType > kPeerSuperStockQuery) return std::string();
    std::string text;
    Put(text, "ReqType", reqType);
    Put(text, "id", id);
    Put(text, "market", market);
    if (reqType != kPeerCodelistQuery) Put(text, " codelist", codelist);
    return text;
}
