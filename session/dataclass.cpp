#include "session/dataclass.h"

#include <cstring>

#include "include/kvoapi.h"
#include "quote/market.h"
#include "session/session_util.h"

namespace {

bool IsFirstExchange(const char* market) { return market != nullptr && strstr(market, "USH") != nullptr; }

}  // namespace

bool MapDataClass(uint32_t msgDataClass, const char* market, bool altDataClass, uint32_t* wireClass) {
    uint32_t wire;
    switch (msgDataClass) {
    case kMsgDataClassIndex:
        wire = 2;
        break;
    case kMsgDataClassStock:
        wire = 1;
        break;
    case kMsgDataClassOrderQueue:
        wire = 3;
        break;
    case kMsgDataClassOrder:
        wire = (altDataClass && IsFirstExchange(market)) ? 12 : 8;
        break;
    case kMsgDataClassTransaction:
        wire = !altDataClass ? 5 : (IsFirstExchange(market) ? 13 : 11);
        break;
    case kMsgDataClassSuperStock:
        wire = 10;
        break;
    default:
        return false;
    }
    if (wireClass != nullptr) *wireClass = wire;
    return true;
}

bool IsValidDataClass(uint32_t msgDataClass) { return msgDataClass >= 1 && msgDataClass <= 6; }

std::string MarketSessionCode(std::string_view market) {
    if (market.find('\0') != std::string_view::npos) return std::string();
    const std::string code = kvoapi::NormaliseMarket(std::string(market).c_str());
    if (code == "SH" || code == "SZ" || code == "OO") return code;
    if (code == "ZO" || code == "SO") return "OO";
    return std::string();
}

bool NamesSubscriptionMarket(std::string_view market) { return !MarketSessionCode(market).empty(); }

int32_t SubscriptionRefusal(uint32_t msgDataClass, std::string_view market) {
    if (!NamesSubscriptionMarket(market)) return KVO_ERR_MARKET;
    if (!IsValidDataClass(msgDataClass)) return KVO_ERR_DATACLASS;
    return 0;
}

uint32_t MarketTextToByteId(const char* market) {
    if (market == nullptr) return 0;
    if (strcmp(market, "USH") == 0) return 15;
    if (strcmp(market, "USZ") == 0) return 31;
    if (market[0] != 'U') return static_cast<uint32_t>(LeadingDecimalValue(market, strlen(market)));
    return MarketIdToByte(MarketIdFromText(market), 0);
}

std::string MarketCodeText(const char* market, const char* codeList) {
    uint32_t id = MarketTextToByteId(market);
    std::string list = codeList != nullptr ? codeList : "";
    if (id == 16) list = PublicCodeListToIndexCodes(list);
    return std::to_string(id) + list;
}
