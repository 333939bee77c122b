// Snapshot queries of a market session: the code list (GetCodelistReq) and
// the index, stock and super-stock snapshots (GetQuotaReq), each a waiting
// request on the host's thread whose answer becomes a malloc block for the
// host.
//
// A snapshot answer is a quote-file image that ProcessPushFile converts into
// the session's result list of its kind; the list's mutex is held from
// emptying the list to copying it out, so that two queries of one kind never
// mix their records. Queries of different kinds run side by side.
#include <cstdlib>
#include <cstring>
#include <limits>

#include "framework/tl_log.h"
#include "protocol/kvo_message.h"
#include "quote/convert.h"
#include "session/datafeed_manager.h"
#include "session/dataclass.h"

namespace {

// What distinguishes the three snapshot queries.
struct SnapshotKind {
    const char* event;  // telemetry record name
    int32_t dataClass;  // GetQuotaReq.data_class
    uint32_t dataType;  // ProcessPushFile id
    bool indexCodes;    // the code list goes through the index-code rewrite
    bool levels;        // levels_num is sent
};

constexpr SnapshotKind kSnapshotKinds[] = {
    {"query_index", 2, kDataIndexSnapshot, true, false},
    {"query_stock", 1, kDataStockSnapshot, false, false},
    {"query_super_stock", 10, kDataSuperStockSnapshot, false, true},
};

constexpr int kIndexKind = 0;
constexpr int kStockKind = 1;
constexpr int kSuperStockKind = 2;

// The extra depth a super-stock snapshot asks for beyond the session's
// level.
constexpr int32_t kSnapshotLevelsExtra = 10;

constexpr char kIndexMarket[] = "USHI";
constexpr char kQueryPrefix[] = "client@_query";

// "1A0001,1B0004" -> "000001,000006,": every piece (empty ones too) in its
// public form, each followed by ","; an empty list stays empty.
std::string PublicCodes(const std::string& list) {
    std::string out;
    if (list.empty()) return out;
    size_t start = 0;
    for (;;) {
        const size_t comma = list.find(',', start);
        const size_t end = comma == std::string::npos ? list.size() : comma;
        out += IndexCodeToPublicCode(list.substr(start, end - start));
        out += ',';
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return out;
}

}  // namespace

bool CDatafeedSDKManager::AskGateway(uint16_t type, uint32_t instid, const std::string& body,
                                     google::protobuf::MessageLite& answer) {
    if (body.size() > std::numeric_limits<uint32_t>::max()) return false;
    corvane::CTLSmartBuffer reply;
    if (SendRequest(Connection(), instid, type, body.data(), static_cast<uint32_t>(body.size()), &reply, true) == 0) {
        return false;
    }
    if (KvoParseBody(reply.GetData(), reply.GetLength(), answer) != KVO_FRAME_OK) {
        TL_WriteLog(3, "Type:%s-Query[],answer of %u bytes to request %u does not parse", m_marketCode.c_str(),
                    reply.GetLength(), instid);
        return false;
    }
    return true;
}

char* CDatafeedSDKManager::GetCodelist(const char* market, uint32_t* out_length) {
    const char* marketText = market != nullptr ? market : "";
    const int32_t t0 = (ElkEventMask() & kElkQuery) != 0 ? GetDayMs() : 0;
    int32_t status = KVO_ERR_TIMEOUT;
    char* block = nullptr;

    datapacket::GetCodelistReq req;
    req.set_market(marketText);
    const uint32_t instid = NextInstid();
    req.set_instid(instid);
    datapacket::GetCodelistRsp rsp;
    if (AskGateway(KVO_PACKET_GET_CODELIST_REQ, instid, req.SerializeAsString(), rsp)) {
        status = rsp.statuscode();
        const std::string text =
            std::strcmp(marketText, kIndexMarket) == 0 ? PublicCodes(rsp.codelist()) : rsp.codelist();
        if (text.size() < std::numeric_limits<uint32_t>::max()) {
            block = static_cast<char*>(std::malloc(text.size() + 1));
        }
        if (block != nullptr) {
            std::memcpy(block, text.data(), text.size());
            block[text.size()] = '\0';
            if (out_length != nullptr) *out_length = static_cast<uint32_t>(text.size());
        } else {
            TL_WriteLog(1, "Type:%s-GetCodelist[],no memory for %zu bytes", m_marketCode.c_str(), text.size() + 1);
        }
    }

    if (t0 != 0) {
        ElkFields fields = ElkBaseFields();
        fields["market"] = marketText;
        fields["statscode"] = std::to_string(status);
        fields["length"] = std::to_string(out_length != nullptr ? *out_length : 0);
        fields["timeconsum"] = std::to_string(GetDayMs() - t0);
        ElkLog(kQueryPrefix, "query_codelist", std::move(fields), "");
    }
    return block;
}

void* CDatafeedSDKManager::GetTickIndex(const char* market, const char* codelist, uint32_t* out_count) {
    return QuerySnapshot(kIndexKind, market, codelist, out_count);
}

void* CDatafeedSDKManager::GetTickStock(const char* market, const char* codelist, uint32_t* out_count) {
    return QuerySnapshot(kStockKind, market, codelist, out_count);
}

void* CDatafeedSDKManager::GetSuperStock(const char* market, const char* codelist, uint32_t* out_count) {
    return QuerySnapshot(kSuperStockKind, market, codelist, out_count);
}

void* CDatafeedSDKManager::QuerySnapshot(int kind, const char* market, const char* codelist, uint32_t* out_count) {
    const SnapshotKind& k = kSnapshotKinds[kind];
    const char* marketText = market != nullptr ? market : "";
    const char* codes = codelist != nullptr ? codelist : "";
    const int32_t t0 = (ElkEventMask() & kElkQuery) != 0 ? GetDayMs() : 0;
    int32_t status = KVO_ERR_TIMEOUT;
    void* block = nullptr;

    datapacket::GetQuotaReq req;
    req.set_market(marketText);
    req.set_codelist(k.indexCodes ? MarketCodeText(marketText, codes)
                                  : std::to_string(MarketTextToByteId(marketText)) + codes);
    req.set_data_class(k.dataClass);
    req.set_begintime(0);
    req.set_endtime(0);
    req.set_data_option("raw");
    req.set_rettype("hqfile");
    const uint32_t instid = NextInstid();
    req.set_instid(instid);
    if (k.levels) req.set_levels_num(static_cast<uint32_t>(GetSuperStockLevel() + kSnapshotLevelsExtra));

    datapacket::GetQuotaRsp rsp;
    if (AskGateway(KVO_PACKET_GET_QUOTA_REQ, instid, req.SerializeAsString(), rsp)) {
        status = rsp.status_code();
        RecordList& list = kind == kIndexKind   ? m_convert.indexList
                           : kind == kStockKind ? m_convert.stockList
                                                : m_convert.superStockList;
        corvane::CTLSingleLock lock(&list.Mutex(), 1);
        list.Clear();
        const std::string& image = rsp.databuf();
        if (image.size() <= std::numeric_limits<uint32_t>::max()) {
            ProcessPushFile(k.dataType, image.data(), static_cast<uint32_t>(image.size()), 0, 0, 0, 0);
        }
        if (k.levels && out_count != nullptr) *out_count = 0;
        const uint32_t count = list.Count();
        if (count > 0) {
            const uint64_t bytes = uint64_t(count) * list.RecordSize();
            if (bytes <= std::numeric_limits<size_t>::max()) block = std::malloc(static_cast<size_t>(bytes));
            if (block != nullptr) {
                std::memcpy(block, list.Data(), static_cast<size_t>(bytes));
                if (out_count != nullptr) *out_count = count;
            } else {
                TL_WriteLog(1, "Type:%s-QuerySnapshot[],no memory for %u records of %u bytes", m_marketCode.c_str(),
                            count, list.RecordSize());
            }
        }
    }

    if (t0 != 0) {
        ElkFields fields = ElkBaseFields();
        fields["codelist"] = codes;
        fields["market"] = marketText;
        fields["statscode"] = std::to_string(status);
        fields["tickcount"] = std::to_string(out_count != nullptr ? *out_count : 0);
        fields["timeconsum"] = std::to_string(GetDayMs() - t0);
        ElkLog(kQueryPrefix, k.event, std::move(fields), "");
    }
    return block;
}
