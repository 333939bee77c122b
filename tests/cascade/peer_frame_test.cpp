// Cascade frames: the builder's bytes, and the reader cutting frames written
// by the test writer out of bytes that arrive in any pieces, refusing broken
// headers and oversized bodies.
#include "cascade/peer_frame.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/peer_writer.h"

namespace {

using kvotest::PeerFrameBytes;
using kvotest::PeerHeaderBytes;

std::string Framed(const char* text, uint32_t length, uint32_t type, uint32_t* out = nullptr) {
    uint32_t len = length;
    char* frame = BuildPeerFrame(text, &len, type);
    if (out != nullptr) *out = len;
    if (frame == nullptr) return "null";
    std::string bytes(frame, len);
    std::free(frame);
    return bytes;
}

TEST(PeerFrame, BuildsFrames) {
    uint32_t len = 0;
    const std::string f = Framed("abcde", kPeerTextLength, 2, &len);
    EXPECT_EQ(len, 18u);
    EXPECT_EQ(f, std::string("\xAA\0\0\0\x02\0\0\0\x05\0\0\0abcde\0", 18));
    EXPECT_EQ(f, PeerFrameBytes(2, "abcde"));
    // An explicit length frames that many bytes, zero bytes included.
    EXPECT_EQ(Framed("ab\0cd", 5, 4, &len), PeerFrameBytes(4, std::string("ab\0cd", 5)));
    EXPECT_EQ(len, 18u);
    EXPECT_EQ(Framed("abcde", 2, 4), PeerFrameBytes(4, "ab"));
    // Nothing to frame: null, the length untouched.
    len = 5;
    EXPECT_EQ(Framed("", 5, 2, &len), "null");
    EXPECT_EQ(len, 5u);
    EXPECT_EQ(Framed(nullptr, 5, 2), "null");
    EXPECT_EQ(Framed("x", kPeerMaxBody + 1, 2), "null");
}

// A stream of frames of several types and sizes, the empty one passed over.
struct Stream {
    std::string bytes;
    std::vector<std::pair<uint32_t, std::string>> frames;
};

Stream MakeStream() {
    Stream s;
    const size_t sizes[] = {1, 5000, 0, 2047, 2048, 2049, 13, 70000};
    uint32_t type = 1;
    for (size_t n : sizes) {
        std::string body;
        for (size_t i = 0; i < n; ++i) body.push_back(static_cast<char>((i * 7 + n) % 251 + 1));
        // The terminator is not checked, and the body handed out always ends
        // with a zero.
        s.bytes += PeerFrameBytes(type, body, n % 2 ? 'X' : '\0');
        if (n > 0) s.frames.emplace_back(type, body);
        type = type % 7 + 1;
    }
    return s;
}

void ExpectFrames(PeerFrameReader& reader, const Stream& s) {
    ASSERT_EQ(reader.Ready(), s.frames.size());
    for (const auto& [type, body] : s.frames) {
        PeerFrame f;
        ASSERT_TRUE(reader.Next(&f));
        EXPECT_EQ(f.type, type);
        ASSERT_EQ(f.body.Size(), body.size());
        EXPECT_TRUE(f.body.View() == body);
        EXPECT_EQ(f.body.Data()[body.size()], '\0');
    }
    PeerFrame none;
    EXPECT_FALSE(reader.Next(&none));
}

TEST(PeerFrameReader, CutsFramesOutOfAnyPieces) {
    const Stream s = MakeStream();
    // Whole, byte by byte, and in pieces of every size up to 3000.
    for (size_t piece : {s.bytes.size(), size_t(1), size_t(11), size_t(12), size_t(13), size_t(2048), size_t(2999)}) {
        PeerFrameReader reader;
        for (size_t at = 0; at < s.bytes.size(); at += piece)
            ASSERT_EQ(reader.Feed(s.bytes.data() + at, std::min(piece, s.bytes.size() - at)), kPeerOk);
        EXPECT_FALSE(reader.InFrame());
        EXPECT_EQ(reader.EmptyFrames(), 1u);
        ExpectFrames(reader, s);
    }
    // What the connection code needs to time a frame out.
    PeerFrameReader reader;
    EXPECT_EQ(reader.Missing(), 12u);
    reader.Feed(s.bytes.data(), 5);
    EXPECT_TRUE(reader.InFrame());
    EXPECT_EQ(reader.Missing(), 7u);
    const std::string h = PeerHeaderBytes(0xAA, 2, 10);
    PeerFrameReader second;
    second.Feed(h.data(), h.size());
    EXPECT_EQ(second.Missing(), 11u);  // body and terminator
    second.Feed("0123456789", 10);
    EXPECT_EQ(second.Missing(), 1u);
    EXPECT_EQ(second.Ready(), 0u);
    second.Feed("", 1);
    EXPECT_EQ(second.Ready(), 1u);
}

TEST(PeerFrameReader, RefusesBrokenHeaders) {
    const std::string good = PeerFrameBytes(2, "error:0,ReqType:1001,");
    struct Case {
        std::string header;
        uint32_t error;
    } cases[] = {
        {PeerHeaderBytes(0xAB, 2, 5), kPeerErrBadMagic},
        {PeerHeaderBytes(0xAA000000u, 2, 5), kPeerErrBadMagic},
        {PeerHeaderBytes(0xAA, 8, 5), kPeerErrBadType},
        {PeerHeaderBytes(0xAA, 0, 5), kPeerErrBadType},
        {PeerHeaderBytes(0xAA, 2, 1000001), kPeerErrTooLarge},
        {PeerHeaderBytes(0xAA, 2, 0xFFFFFFFFu), kPeerErrTooLarge},
    };
    for (const Case& c : cases) {
        PeerFrameReader reader(1000000);
        // A good frame, the broken header, then a good frame again: the first
        // stays available, nothing after the error is read.
        const std::string stream = good + c.header + std::string(64, 'z') + good;
        EXPECT_EQ(reader.Feed(stream.data(), stream.size()), c.error);
        EXPECT_EQ(reader.Error(), c.error);
        EXPECT_EQ(reader.Feed(good.data(), good.size()), c.error);
        EXPECT_EQ(reader.Ready(), 1u);
        reader.Reset();
        EXPECT_EQ(reader.Ready(), 0u);
        EXPECT_EQ(reader.Feed(good.data(), good.size()), kPeerOk);
        EXPECT_EQ(reader.Ready(), 1u);
    }
    // Frame types 1 to 7 and any type with a low bit set are accepted.
    for (uint32_t type : {1u, 2u, 3u, 4u, 5u, 6u, 7u, 9u, 0x80000004u}) {
        PeerFrameReader reader;
        const std::string f = PeerFrameBytes(type, "x");
        EXPECT_EQ(reader.Feed(f.data(), f.size()), kPeerOk) << type;
        EXPECT_EQ(reader.Ready(), 1u) << type;
    }
    // The cap by default admits a body of kPeerMaxBody and no more.
    PeerFrameReader reader;
    std::string h = PeerHeaderBytes(0xAA, 4, kPeerMaxBody);
    EXPECT_EQ(reader.Feed(h.data(), h.size()), kPeerOk);
    EXPECT_EQ(reader.Missing(), uint64_t(kPeerMaxBody) + 1);
    reader.Reset();
    h = PeerHeaderBytes(0xAA, 4, kPeerMaxBody + 1);
    EXPECT_EQ(reader.Feed(h.data(), h.size()), kPeerErrTooLarge);
}

}  // namespace
