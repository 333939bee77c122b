// Data classes and code texts of the feed session.
//
// The host names data with its msg_dataclass numbers 1-6 and public six-digit
// codes; the gateway speaks in wire data_class numbers and, for the index
// market of the first exchange (market text "USHI", byte form 16), in
// internal index codes. These are the translations between the two.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "quote/records_indexcode.h"

// Host data classes.
enum : uint32_t {
    kMsgDataClassIndex = 1,
    kMsgDataClassStock = 2,
    kMsgDataClassOrderQueue = 3,
    kMsgDataClassOrder = 4,
    kMsgDataClassTransaction = 5,
    kMsgDataClassSuperStock = 6,
};

// Wire data class of a host data class: 1->2, 2->1, 3->3, 4->8 (12 with the
// alternative switch on a first-exchange market, i.e. one whose text
// contains "USH"), 5->5 (switch on: 13 first exchange, else 11), 6->10.
// Any other class leaves *wireClass unwritten and gives false.
bool MapDataClass(uint32_t msgDataClass, const char* market, bool altDataClass, uint32_t* wireClass);
// True for 1 to 6.
bool IsValidDataClass(uint32_t msgDataClass);

// Which markets exist, for every role: the market session a market text
// belongs to. Its market code (kvoapi::NormaliseMarket) "SH", "SZ" or "OO" is
// its own session's; "ZO" and "SO" are other names of "OO", which
// subscriptions take as "OO" (a registration takes a session's own code
// only). Empty for any other text, and for one holding a zero byte.
std::string MarketSessionCode(std::string_view market);
// Whether a subscription's market text names a market (MarketSessionCode is
// not empty).
bool NamesSubscriptionMarket(std::string_view market);
// Why a subscription can never be served, in the order the market sessions
// check it: -1007 when its market names none, then -1011 when its class is
// outside 1 to 6; 0 when neither.
int32_t SubscriptionRefusal(uint32_t msgDataClass, std::string_view market);

// Byte-form market id of a market text: "USH" 15, "USZ" 31, a text not
// beginning with 'U' its leading decimal number, any other the byte form of
// its four-character id in the market table (0 when unknown).
uint32_t MarketTextToByteId(const char* market);
// The code text of a subscription or query: the market's byte id in decimal
// followed by the code list (rewritten to index codes for byte id 16).
std::string MarketCodeText(const char* market, const char* codeList);
