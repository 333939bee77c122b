// The gateway frame header: byte layout, in-place reading, whole-frame checks.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "framework/tl_buffer.h"
#include "protocol/kvo_packet.h"
#include "simulator/frame_writer.h"

namespace {

using kvotest::Bytes;

std::string Header(uint16_t type, uint32_t bodyLen, uint8_t flags = 0) {
    uint8_t h[KVO_PACK_HEADER_SIZE];
    KvoWriteHeader(h, type, bodyLen, flags);
    return std::string(reinterpret_cast<char*>(h), sizeof h);
}

TEST(PackHeader, WritesTheWireLayout) {
    // An empty heartbeat: magic 11 A7 8D 9E, total 11, type 16, flags 0.
    EXPECT_EQ(Header(KVO_PACKET_HEARTBEAT, 0), Bytes({0x11, 0xA7, 0x8D, 0x9E, 0x0B, 0, 0, 0, 0x10, 0, 0}));
    // Every field is little-endian; the flags byte is written as given.
    EXPECT_EQ(Header(0x1234, 0x00ABCDEF - 11, 0x81),
              Bytes({0x11, 0xA7, 0x8D, 0x9E, 0xEF, 0xCD, 0xAB, 0x00, 0x34, 0x12, 0x81}));
    // The independent writer agrees.
    EXPECT_EQ(Header(KVO_PACKET_GATEWAY_NOTIFY, 5), kvotest::GatewayFrame(60, "abcde").substr(0, 11));
}

TEST(PackHeader, ReadsFieldsAtAnyAlignment) {
    std::string frame = kvotest::GatewayFrame(23, "body!", 0x03);
    for (size_t shift = 0; shift < 8; ++shift) {
        std::string buf(shift, 'x');
        buf += frame;
        const KvoPackHeader* h = KvoPackHeader::At(buf.data() + shift);
        EXPECT_TRUE(h->HasMagic());
        EXPECT_EQ(h->GetTotalLength(), 16u);
        EXPECT_EQ(h->GetBodyLength(), 5u);
        EXPECT_EQ(h->GetType(), 23);
        EXPECT_TRUE(KvoIsPushType(h->GetType()));
        EXPECT_EQ(h->TestFlag(KVO_PACK_FLAG_FEEDBACK), 1);
        EXPECT_EQ(h->TestFlag(0x04), 0);
        EXPECT_EQ(h->GetFlags(), 3);
        EXPECT_EQ(std::memcmp(h->GetBody(), "body!", 5), 0);
    }
}

TEST(PackHeader, WholeOnlyWithHeaderAndTotalHeld) {
    std::string frame = kvotest::GatewayFrame(16, "12345");
    const KvoPackHeader* h = KvoPackHeader::At(frame.data());
    EXPECT_FALSE(h->IsComplete(10));
    EXPECT_FALSE(h->IsComplete(15));
    EXPECT_TRUE(h->IsComplete(16));
    EXPECT_TRUE(h->IsComplete(100));
    // An empty body is a whole frame of 11 bytes.
    std::string empty = kvotest::GatewayFrame(16, "");
    EXPECT_TRUE(KvoPackHeader::At(empty.data())->IsComplete(11));
    EXPECT_EQ(KvoPackHeader::At(empty.data())->GetBodyLength(), 0u);
}

TEST(PackHeader, LengthsBelowTheHeaderAreNeverFrames) {
    for (uint32_t total : {0u, 1u, 5u, 10u}) {
        std::string frame = kvotest::GatewayFrameWithLength(1, std::string(20, 'a'), total);
        const KvoPackHeader* h = KvoPackHeader::At(frame.data());
        EXPECT_FALSE(h->HasValidLength()) << total;
        EXPECT_FALSE(h->IsComplete(frame.size())) << total;
        EXPECT_EQ(h->GetBodyLength(), 0u) << total;  // never wraps round
    }
}

TEST(CheckFrame, AcceptsExactlyOneWholeFrame) {
    std::string frame = kvotest::GatewayFrame(8, "payload");
    const KvoPackHeader* h = nullptr;
    EXPECT_EQ(KvoCheckFrame(frame.data(), frame.size(), &h), KVO_FRAME_OK);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->GetType(), 8);

    EXPECT_EQ(KvoCheckFrame(frame.data(), frame.size() - 1, &h), KVO_FRAME_E_TRUNCATED);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(KvoCheckFrame(frame.data(), 10, &h), KVO_FRAME_E_TRUNCATED);
    std::string longer = frame + "x";
    EXPECT_EQ(KvoCheckFrame(longer.data(), longer.size(), &h), KVO_FRAME_E_BAD_LENGTH);
    std::string badMagic = frame;
    badMagic[3] = 0x11;
    EXPECT_EQ(KvoCheckFrame(badMagic.data(), badMagic.size(), &h), KVO_FRAME_E_BAD_MAGIC);
    std::string shortTotal = kvotest::GatewayFrameWithLength(8, "", 7);
    EXPECT_EQ(KvoCheckFrame(shortTotal.data(), shortTotal.size(), &h), KVO_FRAME_E_BAD_LENGTH);
    EXPECT_EQ(KvoCheckFrame(nullptr, 11, &h), KVO_FRAME_E_ARGUMENT);
}

std::string Contents(const corvane::CTLSmartBuffer& b) {
    uint32_t n = 0;
    const char* p = b.GetData(&n);
    return std::string(p ? p : "", n);
}

TEST(BuildFrame, WritesHeaderAndBodyAfterWhatTheBufferHolds) {
    corvane::CTLSmartBuffer out;
    ASSERT_EQ(BuildKvoFrame(KVO_PACKET_HEARTBEAT, nullptr, 0, out), KVO_FRAME_OK);
    EXPECT_EQ(Contents(out), Bytes({0x11, 0xA7, 0x8D, 0x9E, 0x0B, 0, 0, 0, 0x10, 0, 0}));
    std::string body = "\x08\x01opaque echo";
    ASSERT_EQ(BuildKvoFrame(KVO_PACKET_ECHO, body.data(), static_cast<uint32_t>(body.size()), out), KVO_FRAME_OK);
    EXPECT_EQ(Contents(out), kvotest::GatewayFrame(16, "") + kvotest::GatewayFrame(15, body));
}

TEST(BuildFrame, ABodyFromTheBufferItselfSurvivesItsGrowth) {
    // A saved push body sent back as feedback from the same buffer: the
    // buffer grows while the frame is written.
    corvane::CTLSmartBuffer out;
    std::string body = kvotest::PatternBody(1000, 3);
    out.Append(body.data(), static_cast<uint32_t>(body.size()));
    ASSERT_EQ(BuildKvoFrame(KVO_PACKET_PUSH_FEEDBACK, out.GetData(), 1000, out), KVO_FRAME_OK);
    EXPECT_EQ(Contents(out), body + kvotest::GatewayFrame(14, body));
}

TEST(BuildFrame, RefusesWhatNoFrameCanHold) {
    corvane::CTLSmartBuffer out;
    char byte = 0;
    EXPECT_EQ(BuildKvoFrame(1, &byte, 0xFFFFFFFFu - 10, out), KVO_FRAME_E_TOO_LARGE);
    EXPECT_EQ(BuildKvoFrame(1, nullptr, 5, out), KVO_FRAME_E_ARGUMENT);
    EXPECT_EQ(out.GetLength(), 0u);
}

}  // namespace
