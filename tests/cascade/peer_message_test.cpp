// Cascade messages: the text of every ReqType, the field readers' wire
// behaviour, and data messages and answers read in place with their lengths
// checked against what arrived.
#include "cascade/peer_message.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "include/kvo_records.h"
#include "tests/support/peer_writer.h"

namespace {

using kvotest::PeerAnswerBody;
using kvotest::PeerDataBody;
using kvotest::PeerOrderQueueBody;
using kvotest::PeerRecords;
using kvotest::PeerTimingBytes;

const std::string kId = "0f8fad5b-d9cb-469f-a165-70867728950e";

uint32_t DataResult(const std::string& body, PeerDataMessage* m = nullptr) {
    PeerDataMessage local;
    return ReadPeerDataMessage(body.data(), body.size(), m != nullptr ? m : &local);
}

uint32_t AnswerResult(const std::string& body, PeerAnswer* a = nullptr) {
    PeerAnswer local;
    return ReadPeerAnswer(body.data(), body.size(), a != nullptr ? a : &local);
}

// The timing block of a message, copied out of the body.
PushTiming TimingOf(const PeerDataMessage& m) {
    PushTiming t;
    std::memcpy(&t, m.timing, sizeof t);
    return t;
}

std::string OrderQueueRecord(int32_t count, size_t bytes) {
    std::string r = PeerRecords(1, uint32_t(bytes));
    std::memcpy(&r[43], &count, 4);
    return r;
}

TEST(PeerMessage, TextOfEveryRequest) {
    EXPECT_EQ(BuildPeerSubscribeText(2, 3, kId, "USHA", "(600000,600036)"),
              "ReqType:20,msg_dataclass:2,subop_type:3,id:" + kId + ",market:USHA,codelist:(600000,600036),");
    EXPECT_EQ(BuildPeerLoginText(kId, "user1", "pw1", "192.0.2.2&10.0.0.5&", 9999, "255.255.255.0&255.0.0.0&"),
              "ReqType:51,id:" + kId +
                  ",account:user1,pass:pw1,IP:192.0.2.2&10.0.0.5&,Port:9999,ipMask:255.255.255.0&255.0.0.0&,");
    EXPECT_EQ(BuildPeerLoginAnswerText(kId, 0), "error:0,ReqType:52,id:" + kId + ",");
    EXPECT_EQ(BuildPeerLoginAnswerText(kId, -1015), "ReqType:52,id:" + kId + ",error:-1015,");
    EXPECT_EQ(BuildPeerQueryText(101, kId, "USHA", "(x)"), "ReqType:101,id:" + kId + ",market:USHA,");
    EXPECT_EQ(BuildPeerQueryText(103, kId, "USHA", "(600000)"),
              "ReqType:103,id:" + kId + ",market:USHA, codelist:(600000),");
    EXPECT_EQ(BuildPeerQueryText(105, kId, "USHA", "()"), "");
    EXPECT_EQ(kPeerDisconnectText, "error:0,ReqType:1001,");

    // And back.
    PeerSubscribeRequest sub;
    ASSERT_EQ(ReadPeerSubscribeRequest(BuildPeerSubscribeText(2, 3, kId, "USHA", "(600000,600036)"), &sub), kPeerOk);
    EXPECT_EQ(sub.DataClass(), 2);
    EXPECT_EQ(sub.SubopType(), 3);
    EXPECT_EQ(sub.id, kId);
    EXPECT_EQ(sub.market, "USHA");
    EXPECT_EQ(sub.codelist, "(600000,600036)");
    EXPECT_EQ(ReadPeerSubscribeRequest("ReqType:20,msg_dataclass:2,subop_type:3,id:a,market:USHA,", &sub),
              kPeerErrMissingField);
    EXPECT_EQ(ReadPeerSubscribeRequest("ReqType:20,msg_dataclass:2,subop_type:3,market:USHA,codelist:(1", &sub),
              kPeerErrMissingField);  // a list without ")" reads as empty
    EXPECT_EQ(ReadPeerSubscribeRequest("ReqType:21,", &sub), kPeerErrBadReqType);

    PeerLoginRequest login;
    ASSERT_EQ(
        ReadPeerLoginRequest(BuildPeerLoginText(kId, "user1", "pw1", "192.0.2.2&", 9999, "255.255.255.0&"), &login),
        kPeerOk);
    EXPECT_EQ(login.account, "user1");
    EXPECT_EQ(login.pass, "pw1");
    EXPECT_EQ(login.ip, "192.0.2.2&");
    EXPECT_EQ(login.ipMask, "255.255.255.0&");
    EXPECT_EQ(login.port, 9999);
    EXPECT_EQ(ReadPeerLoginRequest("ReqType:51,account:a,", &login), kPeerErrNoId);
    // Keys are found anywhere, also inside another field's value.
    ASSERT_EQ(ReadPeerLoginRequest("ReqType:51,id:x,account:VIPuser,pass:p,Port:1,", &login), kPeerOk);
    EXPECT_EQ(login.ip, "ser");
    EXPECT_EQ(login.account, "VIPuser");

    PeerLoginAnswer answer;
    ASSERT_EQ(ReadPeerLoginAnswer(BuildPeerLoginAnswerText(kId, -1015), &answer), kPeerOk);
    EXPECT_EQ(answer.error, -1015);
    EXPECT_EQ(answer.id, kId);
    ASSERT_EQ(ReadPeerLoginAnswer("error:0,ReqType:52,id:" + kId + ",", &answer), kPeerOk);
    EXPECT_EQ(answer.error, 0);
    // The last key without "," after its value reads empty, and 0.
    ASSERT_EQ(ReadPeerLoginAnswer("ReqType:52,id:" + kId + ",error:-1004", &answer), kPeerOk);
    EXPECT_EQ(answer.error, 0);

    PeerQuery q;
    ASSERT_EQ(ReadPeerQuery(BuildPeerQueryText(104, kId, "USZA", "()"), &q), kPeerOk);
    EXPECT_EQ(q.reqType, 104);
    EXPECT_EQ(q.market, "USZA");
    EXPECT_EQ(q.codelist, "()");
    // A code list comes through as the child's host wrote it.
    for (const char* list : {"(600000,600036)", "", "600000", "600000,600036", "(600000"}) {
        ASSERT_EQ(ReadPeerQuery(BuildPeerQueryText(103, kId, "USHA", list), &q), kPeerOk);
        EXPECT_EQ(q.codelist, list);
    }
    EXPECT_EQ(ReadPeerQuery("ReqType:102,id:,market:USHA, codelist:(1),", &q), kPeerErrNoId);
    EXPECT_EQ(ReadPeerQuery("ReqType:201,id:x,", &q), kPeerErrBadReqType);
}

TEST(PeerMessage, FieldReaders) {
    const std::string text = "ReqType:52,id:abc,error:-1015,codelist:(600000,600036),n:+12x,big:99999999999,end:7";
    EXPECT_EQ(GetIntField(text, "error"), -1015);
    EXPECT_EQ(GetIntField(text, "ReqType"), 52);
    EXPECT_EQ(GetIntField(text, "n"), 12);
    EXPECT_EQ(GetIntField(text, "big"), INT32_MAX);
    EXPECT_EQ(GetIntField(text, "end"), 0);
    EXPECT_EQ(GetIntField(text, "missing"), 0);
    EXPECT_EQ(GetFieldValue(text, "codelist"), "(600000,600036)");
    EXPECT_EQ(GetFieldValue("codelist:600000,", "codelist"), "");
    EXPECT_EQ(GetFieldValue(text, "id"), "abc");

    // The text part ends at the marker or at a zero byte.
    const std::string body = std::string("ReqType:2,TickCount:1,|||") + "ReqType:9,";
    EXPECT_EQ(PeerMessageText(body.data(), body.size()), "ReqType:2,TickCount:1,");
    EXPECT_EQ(PeerBinaryOffset(body.data(), body.size()), 25u);
    const std::string zero = std::string("ReqType:2,\0TickCount:1,|||", 26);
    EXPECT_EQ(PeerMessageText(zero.data(), zero.size()), "ReqType:2,");
    EXPECT_EQ(PeerBinaryOffset(zero.data(), zero.size()), std::string_view::npos);
}

TEST(PeerMessage, ChecksBeforeActing) {
    struct Case {
        std::string body;
        uint32_t result;
        int32_t reqType;
    } cases[] = {
        {"error:0,ReqType:1001,", kPeerOk, 1001},
        {"ReqType:20,msg_dataclass:2,", kPeerOk, 20},
        {"error:0,ReqType:52,id:,", kPeerOk, 52},
        {"ReqType:51,id:x,", kPeerOk, 51},
        {"ReqType:51,id:,", kPeerErrNoId, 51},
        {"ReqType:101,market:USHA,", kPeerErrNoId, 101},
        {"ReqType:2,TickCount:1,", kPeerErrNoMarker, 2},
        {"strTextLength:0,id:x,ReqType:201,TickCount:0,", kPeerErrNoMarker, 201},
        {"ReqType:7,", kPeerErrBadReqType, 7},
        {"ReqType:105,id:x,", kPeerErrBadReqType, 105},
        {"nothing", kPeerErrBadReqType, 0},
        {"", kPeerErrBadReqType, 0},
    };
    for (const Case& c : cases) {
        int32_t r = -1;
        EXPECT_EQ(CheckPeerMessage(c.body.data(), c.body.size(), &r), c.result) << c.body;
        EXPECT_EQ(r, c.reqType) << c.body;
    }
}

TEST(PeerMessage, DataMessagesRoundTrip) {
    const PushTiming timing = {1710466200000ull, 1710466200005ull, 1710466200009ull};
    const std::string timingBytes = PeerTimingBytes(timing.produce_time, timing.send_time, timing.receive_time);
    for (int r : {1, 2, 4, 5, 6}) {
        const uint32_t size = PeerRecordSize(r);
        const std::string records = PeerRecords(3, size);
        PeerBlock block = BuildPeerDataMessage(r, records.data(), 3, &timing);
        ASSERT_FALSE(block.Empty()) << r;
        EXPECT_TRUE(block.View() == PeerDataBody(r, 3, records, timingBytes)) << r;
        PeerDataMessage m;
        ASSERT_EQ(ReadPeerDataMessage(block.Data(), block.Size(), &m), kPeerOk) << r;
        EXPECT_EQ(m.reqType, r);
        EXPECT_EQ(m.count, 3u);
        EXPECT_EQ(m.recordLength, size);
        EXPECT_EQ(m.size, block.Size());
    }
    // In place: pointers into the body.
    const std::string records = PeerRecords(2, KVO_TICKSTOCK_SIZE);
    const std::string body = PeerDataBody(2, 2, records, timingBytes);
    PeerDataMessage m;
    ASSERT_EQ(DataResult(body, &m), kPeerOk);
    EXPECT_EQ(m.records, body.data() + std::strlen("ReqType:2,TickCount:2,|||"));
    EXPECT_EQ(std::memcmp(m.records, records.data(), records.size()), 0);
    EXPECT_EQ(TimingOf(m).send_time, timing.send_time);

    // Some of its records, for a subscriber that wants only those.
    const uint32_t picks[] = {1, 0};
    PeerBlock part = BuildPeerDataSubset(m, picks, 2);
    ASSERT_FALSE(part.Empty());
    EXPECT_TRUE(part.View() == PeerDataBody(2, 2, records.substr(809) + records.substr(0, 809), timingBytes));
    const uint32_t outside[] = {0, 2};
    EXPECT_TRUE(BuildPeerDataSubset(m, outside, 2).Empty());
    EXPECT_TRUE(BuildPeerDataSubset(m, picks, 0).Empty());

    // An order queue: one record of 47 + 4 * its count bytes.
    const std::string queue = OrderQueueRecord(3, 59);
    PeerBlock qblock = BuildPeerDataMessage(3, queue.data(), 5, nullptr);
    ASSERT_FALSE(qblock.Empty());
    EXPECT_TRUE(qblock.View() == PeerOrderQueueBody(queue, std::string(24, '\0')));
    ASSERT_EQ(ReadPeerDataMessage(qblock.Data(), qblock.Size(), &m), kPeerOk);
    EXPECT_EQ(m.count, 1u);
    EXPECT_EQ(m.recordLength, 59u);
    EXPECT_EQ(TimingOf(m).produce_time, 0u);

    // Nothing is built from unusable input.
    EXPECT_TRUE(BuildPeerDataMessage(7, records.data(), 1, &timing).Empty());
    EXPECT_TRUE(BuildPeerDataMessage(2, records.data(), 0, &timing).Empty());
    EXPECT_TRUE(BuildPeerDataMessage(2, nullptr, 1, &timing).Empty());
    EXPECT_TRUE(BuildPeerDataMessage(3, OrderQueueRecord(-1, 47).data(), 1, &timing).Empty());
    EXPECT_TRUE(BuildPeerDataMessage(2, records.data(), kPeerMaxBody / KVO_TICKSTOCK_SIZE + 1, &timing).Empty());
}

TEST(PeerMessage, DataMessagesClaimingMoreThanArrivedAreRefused) {
    const std::string t = PeerTimingBytes(1, 2, 3);
    const std::string three = PeerRecords(3, KVO_TICKINDEX_SIZE);
    EXPECT_EQ(DataResult(PeerDataBody(1, 3, three, t)), kPeerOk);
    EXPECT_EQ(DataResult(PeerDataBody(1, 4, three, t)), kPeerErrTruncated);
    EXPECT_EQ(DataResult(PeerDataBody(1, 3, three, t.substr(0, 23))), kPeerErrTruncated);
    EXPECT_EQ(DataResult(PeerDataBody(1, 2147483647, three, t)), kPeerErrTruncated);
    EXPECT_EQ(DataResult(PeerDataBody(1, 0, three, t)), kPeerErrBadCount);
    EXPECT_EQ(DataResult("ReqType:1,TickCount:-3,|||" + three + t), kPeerErrBadCount);
    EXPECT_EQ(DataResult(PeerDataBody(7, 3, three, t)), kPeerErrBadReqType);
    EXPECT_EQ(DataResult("ReqType:1,TickCount:3," + three + t), kPeerErrNoMarker);

    const std::string q = OrderQueueRecord(2, 55);
    EXPECT_EQ(DataResult(PeerOrderQueueBody(q, t)), kPeerOk);
    // The length and the record's own count must agree, and both must fit.
    EXPECT_EQ(DataResult(PeerOrderQueueBody(OrderQueueRecord(3, 55), t)), kPeerErrBadRecord);
    EXPECT_EQ(DataResult(PeerOrderQueueBody(OrderQueueRecord(-1, 55), t)), kPeerErrBadRecord);
    EXPECT_EQ(DataResult("ReqType:3,strTextLength:46,TickCount:1,|||" + q + t), kPeerErrBadCount);
    EXPECT_EQ(DataResult("ReqType:3,strTextLength:999999,TickCount:1,|||" + q + t), kPeerErrTruncated);
    EXPECT_EQ(DataResult("ReqType:3,strTextLength:55,TickCount:0,|||" + q + t), kPeerErrBadCount);
    EXPECT_EQ(DataResult(PeerOrderQueueBody(q, t).substr(0, 60)), kPeerErrTruncated);
}

TEST(PeerMessage, Answers) {
    const std::string list = "600000,600036,601318";
    PeerBlock block = BuildPeerAnswer(201, kId, list.data(), list.size(), uint32_t(list.size()));
    ASSERT_FALSE(block.Empty());
    EXPECT_TRUE(block.View() == PeerAnswerBody(201, kId, 20, list));
    const std::string head = "strTextLength:20,id:" + kId + ",ReqType:201,TickCount:20,|||";
    EXPECT_EQ(std::string(block.View().substr(0, head.size())), head);
    PeerAnswer a;
    ASSERT_EQ(ReadPeerAnswer(block.Data(), block.Size(), &a), kPeerOk);
    EXPECT_EQ(a.reqType, 201);
    EXPECT_EQ(a.id, kId);
    EXPECT_EQ(std::string(a.payload, a.payloadLength), list);
    EXPECT_EQ(a.forwardLength, block.Size());

    const std::string stocks = PeerRecords(2, KVO_TICKSTOCK_SIZE);
    block = BuildPeerAnswer(203, kId, stocks.data(), stocks.size(), 2);
    ASSERT_FALSE(block.Empty());
    EXPECT_TRUE(block.View() == PeerAnswerBody(203, kId, 2, stocks));
    // Bytes after the answer are not passed on.
    ASSERT_EQ(AnswerResult(std::string(block.View()) + "trailing", &a), kPeerOk);
    EXPECT_EQ(a.count, 2u);
    EXPECT_EQ(a.forwardLength, block.Size());

    EXPECT_TRUE(BuildPeerAnswer(203, kId, stocks.data(), stocks.size(), 3).Empty());
    EXPECT_TRUE(BuildPeerAnswer(203, "", stocks.data(), stocks.size(), 2).Empty());
    EXPECT_TRUE(BuildPeerAnswer(205, kId, stocks.data(), stocks.size(), 2).Empty());
    EXPECT_TRUE(BuildPeerAnswer(201, kId, nullptr, 5, 5).Empty());

    EXPECT_EQ(AnswerResult(PeerAnswerBody(203, kId, 2, stocks).substr(0, 100)), kPeerErrTruncated);
    EXPECT_EQ(AnswerResult(PeerAnswerBody(202, kId, 3, PeerRecords(2, KVO_TICKINDEX_SIZE))), kPeerErrBadCount);
    EXPECT_EQ(AnswerResult(PeerAnswerBody(204, "", 0, "")), kPeerErrNoId);
    EXPECT_EQ(AnswerResult("strTextLength:-1,id:x,ReqType:201,TickCount:0,|||"), kPeerErrBadCount);
    EXPECT_EQ(AnswerResult("strTextLength:0,id:x,ReqType:201,TickCount:0,"), kPeerErrNoMarker);
    EXPECT_EQ(AnswerResult("strTextLength:0,id:x,ReqType:103,TickCount:0,|||"), kPeerErrBadReqType);
    EXPECT_EQ(AnswerResult(PeerAnswerBody(204, kId, 0, "")), kPeerOk);
}

}  // namespace
