// Messages of the cascade protocol: the text grammar of frame bodies.
//
// A body is a text of key:value fields, each ended by "," (the last one
// too), led or joined by ReqType; data messages and query answers follow the
// text with the marker "|||" and a binary part of output records. The length
// of the binary part comes from the text (TickCount records of a fixed size,
// or strTextLength bytes), never from searching, and every reader here checks
// it against the length that arrived before it hands out a pointer.
//
// Field reading is deliberately plain (GetFieldValue, GetIntField): the first
// occurrence of the key anywhere in the text part, one character skipped for
// the ":", the value up to the next "," (empty, or 0, without one); the key
// "codelist" reads up to and including the next ")", so a code list travels
// parenthesised: "(600000,600036)", and "()" stands for the whole market.
// Peers rely on this exact behaviour. A query's code list, its last field,
// may also come as its host wrote it, without parentheses ("600000,600036"):
// it then runs to the text's last "," (ReadPeerQuery).
//
// Messages (frame type; direction; text part):
//   1..6    data; master to child; "ReqType:r,TickCount:n,|||" n records, timing
//   3       the same with "ReqType:3,strTextLength:len,TickCount:1,|||" and one
//           OrderQueue record of len = 47 + 4 * count bytes, timing
//   20      2; child to master; "ReqType:20,msg_dataclass:c,subop_type:op,id:g,
//           market:m,codelist:(..),"
//   51      2; child to master; "ReqType:51,id:g,account:u,pass:p,IP:a&..,
//           Port:n,ipMask:m&..,"
//   52      2; master to child; "error:0,ReqType:52,id:g," or
//           "ReqType:52,id:g,error:code,"
//   101     2; child to master; "ReqType:101,id:g,market:m,"
//   102-104 2; child to master; "ReqType:10x,id:g,market:m, codelist:(..),"
//   201-204 2; master to child; "strTextLength:bytes,id:g,ReqType:20x,
//           TickCount:n,|||" then the bytes (code-list text, or n records)
//   1001    4; either side; "error:0,ReqType:1001,"
// The timing block of a data message is a PushTiming (24 bytes).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "cascade/peer_frame.h"
#include "framework/tl_textutil.h"
#include "include/kvoapi.h"

enum PeerReqType : int32_t {
    kPeerTickIndex = 1,
    kPeerTickStock = 2,
    kPeerOrderQueue = 3,
    kPeerOrderData = 4,
    kPeerTransaction = 5,
    kPeerSuperStock = 6,
    kPeerSubscribe = 20,
    kPeerLogin = 51,
    kPeerLoginAnswer = 52,
    kPeerCodelistQuery = 101,
    kPeerIndexQuery = 102,
    kPeerStockQuery = 103,
    kPeerSuperStockQuery = 104,
    kPeerCodelistAnswer = 201,
    kPeerIndexAnswer = 202,
    kPeerStockAnswer = 203,
    kPeerSuperStockAnswer = 204,
    kPeerDisconnect = 1001,
};

// The disconnect notice, sent as frame type 4 to a connection being dropped.
inline constexpr std::string_view kPeerDisconnectText = "error:0,ReqType:1001,";
inline constexpr std::string_view kPeerBinaryMarker = "|||";
inline constexpr size_t kPeerTimingSize = sizeof(PushTiming);

// The ReqTypes of the protocol.
bool IsKnownPeerReqType(int32_t reqType);
// Requests and answers whose id must not be empty: 51, 101-104, 201-204.
bool PeerReqTypeNeedsId(int32_t reqType);
// Size of one record of a data message or answer: 1 and 202 TickIndex (133),
// 2 and 203 TickStock (809), 4 OrderData (71), 5 Transaction (69), 6 and 204
// SuperStock (357); 0 for 3 (its length is carried) and every other type.
uint32_t PeerRecordSize(int32_t reqType);

// The text part of a body: up to its first "|||", or its first zero byte
// when that comes earlier, or its end.
std::string_view PeerMessageText(const char* body, size_t length);
// Offset of the binary part (just after the first "|||" of the text), or
// std::string_view::npos when the text has no marker.
size_t PeerBinaryOffset(const char* body, size_t length);

// The value of a key read as a decimal i32 (leading blanks, a sign, digits;
// saturated at the i32 limits); 0 when the key or the "," after its value is
// missing or the value has no digits.
int32_t GetIntField(std::string_view text, std::string_view key);

// ReqType of a body (0 when it has none).
int32_t PeerReqTypeOf(const char* body, size_t length);

// The checks every received message passes before it is acted on: a known
// ReqType, an id where one is required, and the marker where a binary part
// belongs (1-6, 201-204). kPeerOk or the reason to drop it; *reqType gets the
// ReqType either way (when given).
uint32_t CheckPeerMessage(const char* body, size_t length, int32_t* reqType);

// ---- Data messages (1-6) ----------------------------------------------------

// A data message read in place: pointers into the body it was read from.
struct PeerDataMessage {
    int32_t reqType = 0;        // the data class of the records, 1..6
    uint32_t count = 0;         // records (1 for an order queue)
    uint32_t recordLength = 0;  // bytes of one record (an order queue: 47 + 4 * its count)
    const char* records = nullptr;
    const PushTiming* timing = nullptr;  // right after the last record
    size_t size = 0;                     // bytes up to the end of the timing block
};

// Reads a data message (the body of a type-4 frame, or the data of a relay
// task item): ReqType in 1..6, TickCount at least 1, the records and the
// timing block within the length; for an order queue strTextLength at least
// 47 and equal to 47 + 4 * the record's count.
uint32_t ReadPeerDataMessage(const char* body, size_t length, PeerDataMessage* out);

// Builds a data message: the text, count records of the class's size and
// the timing block (zeros when timing is null). For an order queue only the
// first record is sent, 47 + 4 * its count bytes (count must be 1 or more and
// the record's count 0..4095). Empty on a bad class, a count of 0, null
// records, a message above kPeerMaxBody, or no memory.
PeerBlock BuildPeerDataMessage(int32_t reqType, const void* records, uint32_t count, const PushTiming* timing);

// Builds a data message of some records of a message read in place: those
// at the given indexes (each below m.count), in that order, with m's timing.
// For relaying to a subscriber the records it asked for. Empty when there
// are no indexes, an index is out of range, m is an order queue, or no
// memory is left.
PeerBlock BuildPeerDataSubset(const PeerDataMessage& m, const uint32_t* indexes, size_t count);

// ---- Answers (201-204) -------------------------------------------------------

struct PeerAnswer {
    int32_t reqType = 0;  // 201..204
    std::string id;
    uint32_t count = 0;             // TickCount: records (the byte count for 201)
    uint32_t payloadLength = 0;     // strTextLength: bytes of the binary part
    const char* payload = nullptr;  // into the body
    // Bytes of the body to pass on unchanged to a child that asked: the text
    // with its marker and the binary part.
    size_t forwardLength = 0;
};

// Reads an answer: ReqType 201..204, an id, the marker, strTextLength bytes
// within the length; for 202-204 strTextLength equal to TickCount records.
uint32_t ReadPeerAnswer(const char* body, size_t length, PeerAnswer* out);

// Builds an answer: "strTextLength:" payload bytes ",id:" id ",ReqType:" type
// ",TickCount:" count ",|||" and the payload. For 201 the count is the byte
// length of the code-list text; for 202-204 the number of records, and the
// payload must be count records. Empty on a bad type, an empty id, a payload
// length that disagrees, a message above kPeerMaxBody, or no memory.
PeerBlock BuildPeerAnswer(int32_t reqType, std::string_view id, const void* payload, size_t payloadLength,
                          uint32_t count);

// ---- Requests --------------------------------------------------------------

// 20: a child's subscription change.
struct PeerSubscribeRequest {
    std::string dataClass;  // msg_dataclass as sent
    std::string subopType;  // subop_type as sent
    std::string id;
    std::string market;
    std::string codelist;  // parenthesised
    int32_t DataClass() const;
    int32_t SubopType() const;
};
// kPeerErrMissingField when msg_dataclass, subop_type, market or codelist
// is empty (such a request is ignored).
uint32_t ReadPeerSubscribeRequest(std::string_view text, PeerSubscribeRequest* out);
std::string BuildPeerSubscribeText(int32_t dataClass, int32_t subopType, std::string_view id, std::string_view market,
                                   std::string_view codelist);

// 51: a child's login; the address and mask lists end every entry with "&".
struct PeerLoginRequest {
    std::string id;
    std::string account;
    std::string pass;
    std::string ip;
    std::string ipMask;
    int32_t port = 0;
};
uint32_t ReadPeerLoginRequest(std::string_view text, PeerLoginRequest* out);
std::string BuildPeerLoginText(std::string_view id, std::string_view account, std::string_view pass,
                               std::string_view ipList, int32_t port, std::string_view maskList);

// 52: the master's answer to a login; error 0, -1004 or -1015.
struct PeerLoginAnswer {
    std::string id;
    int32_t error = 0;
};
uint32_t ReadPeerLoginAnswer(std::string_view text, PeerLoginAnswer* out);
// error 0 gives "error:0,ReqType:52,id:g,", any other "ReqType:52,id:g,error:e,".
std::string BuildPeerLoginAnswerText(std::string_view id, int32_t error);

// 101-104: a child's snapshot query (code list, index, stock, super stock).
struct PeerQuery {
    int32_t reqType = 0;
    std::string id;
    std::string market;
    // 102-104: "(600000,600036)", "()" or "" as written; a list written
    // without parentheses runs to the text's last ",".
    std::string codelist;
};
uint32_t ReadPeerQuery(std::string_view text, PeerQuery* out);
// 101 carries no code list; 102-104 put a blank before the "codelist" key.
// Empty for another type.
std::string BuildPeerQueryText(int32_t reqType, std::string_view id, std::string_view market,
                               std::string_view codelist);
