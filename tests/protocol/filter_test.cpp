// The gateway packet filter fed straight with bytes, as a connection would
// feed it: frames come out whole, in order, one per call; a stream out of
// step is resynchronised; the ring grows up to its cap.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "framework/tl_log.h"
#include "protocol/kvo_filter.h"
#include "simulator/frame_writer.h"
#include "tests/support/temp_dir.h"

namespace {

using kvotest::Bytes;
using kvotest::GatewayFrame;
using kvotest::GatewayFrameWithLength;
using kvotest::PatternBody;

// What the filter gave for one feed: the result of each call and the frames.
struct Fed {
    std::vector<int> results;
    std::vector<std::string> frames;
};

// Feeds bytes the way a link does: one call with the bytes, then calls with
// no bytes for as long as each yields a frame.
Fed Feed(CKvoFilter& f, std::string_view bytes) {
    Fed out;
    const void* data = bytes.empty() ? nullptr : bytes.data();
    uint32_t len = static_cast<uint32_t>(bytes.size());
    for (int guard = 0; guard < 100000; ++guard) {
        corvane::CTLSmartBuffer buf;
        int rc = f.FeedData(data, len, buf);
        out.results.push_back(rc);
        if (rc == 1) {
            uint32_t n = 0;
            char* p = buf.GetData(&n);
            out.frames.emplace_back(p, n);
        } else {
            EXPECT_EQ(buf.GetLength(), 0u) << "bytes written without a frame";
        }
        if (rc != 1) return out;
        data = nullptr;
        len = 0;
    }
    ADD_FAILURE() << "the filter never stops yielding";
    return out;
}

// Feeds a stream in the given chunk sizes (cycled) and then flushes with
// empty calls until nothing moves, collecting every frame.
std::vector<std::string> FeedChunked(CKvoFilter& f, const std::string& stream, const std::vector<size_t>& chunks) {
    std::vector<std::string> frames;
    size_t at = 0, k = 0;
    while (at < stream.size()) {
        size_t n = std::min(chunks[k++ % chunks.size()], stream.size() - at);
        Fed r = Feed(f, std::string_view(stream).substr(at, n));
        frames.insert(frames.end(), r.frames.begin(), r.frames.end());
        at += n;
    }
    // Nothing found is left for a later call: a flush gives no frame.
    EXPECT_TRUE(Feed(f, {}).frames.empty());
    return frames;
}

// Captures the log in a file of the test's own folder.
class FilterLog : public kvotest::TempDirTest {
protected:
    FilterLog() : TempDirTest("kvo_filter") {}
    void SetUp() override {
        TempDirTest::SetUp();
        if (HasFatalFailure()) return;
        path_ = dir_ + "/filter.log";
        ASSERT_EQ(TL_OpenLog(TL_LOG_KEEP_NAME | TL_LOG_NO_CAP, path_.c_str()), 0);
        TL_SetLogLevel(0, 5);
    }
    void TearDown() override {
        TL_SetLogLevel(0, 0);
        TempDirTest::TearDown();
    }
    std::string Log() const { return kvotest::ReadWholeFile(path_); }
    // The level of the first line holding `text` (a line reads "level: text"),
    // -1 when no line holds it.
    int Level(const std::string& text) const {
        std::string log = Log();
        size_t at = log.find(text);
        if (at == std::string::npos) return -1;
        size_t start = log.rfind('\n', at);
        start = start == std::string::npos ? 0 : start + 1;
        return std::atoi(log.c_str() + start);
    }
    std::string path_;
};

TEST(Filter, FramesAsTheyArrive) {
    CKvoFilter f;
    // An empty body is a frame of 11 bytes.
    std::string empty = GatewayFrame(16, "");
    Fed r = Feed(f, empty);
    EXPECT_EQ(r.results, (std::vector<int>{1, 2}));
    ASSERT_EQ(r.frames.size(), 1u);
    EXPECT_EQ(r.frames[0], empty);

    // A header split 6 + rest.
    std::string frame = GatewayFrame(2, "login answer");
    EXPECT_EQ(Feed(f, frame.substr(0, 6)).results, (std::vector<int>{2}));
    r = Feed(f, frame.substr(6));
    ASSERT_EQ(r.frames.size(), 1u);
    EXPECT_EQ(r.frames[0], frame);

    // Two frames in one read: 1, then 1 with no bytes, then 2.
    std::string a = GatewayFrame(20, "first", 1), b = GatewayFrame(60, "second");
    r = Feed(f, a + b);
    EXPECT_EQ(r.results, (std::vector<int>{1, 1, 2}));
    EXPECT_EQ(r.frames, (std::vector<std::string>{a, b}));

    // Exactly the magic held: more is needed; so for a header short of 11.
    std::string c = GatewayFrame(4, "xyz");
    EXPECT_EQ(Feed(f, c.substr(0, 4)).results, (std::vector<int>{2}));
    EXPECT_EQ(Feed(f, c.substr(4, 5)).results, (std::vector<int>{2}));
    EXPECT_EQ(Feed(f, c.substr(9)).frames, (std::vector<std::string>{c}));
    EXPECT_TRUE(f.Buffer().IsEmpty());
}

TEST(Filter, EverySplitOfAStream) {
    std::vector<std::string> frames = {GatewayFrame(16, ""), GatewayFrame(20, PatternBody(40, 1), 1),
                                       GatewayFrame(2, PatternBody(3, 2)), GatewayFrame(60, "")};
    std::string stream = kvotest::JoinStream(frames);
    for (size_t i = 0; i <= stream.size(); ++i) {
        for (size_t j = i; j <= stream.size(); ++j) {
            CKvoFilter f;
            std::vector<std::string> got;
            for (auto piece : {stream.substr(0, i), stream.substr(i, j - i), stream.substr(j)}) {
                Fed r = Feed(f, piece);
                got.insert(got.end(), r.frames.begin(), r.frames.end());
            }
            ASSERT_EQ(got, frames) << "split at " << i << " and " << j;
            ASSERT_TRUE(f.Buffer().IsEmpty());
        }
    }
}

TEST(Filter, RandomStreamsInRandomChunks) {
    std::mt19937 rng(20261207);
    for (int round = 0; round < 6; ++round) {
        std::vector<std::string> frames;
        size_t total = 0;
        while (total < 3 * 1024 * 1024) {
            size_t body = rng() % 4 == 0 ? rng() % 300000 : rng() % 2000;
            frames.push_back(GatewayFrame(static_cast<uint16_t>(rng() % 64), PatternBody(body, rng()),
                                          static_cast<uint8_t>(rng() % 2)));
            total += frames.back().size();
        }
        std::vector<size_t> chunks;
        for (int i = 0; i < 50; ++i) {
            switch (round % 3) {
            case 0:
                chunks.push_back(1 + rng() % 4096);
                break;  // socket-sized reads
            case 1:
                chunks.push_back(1 + rng() % 70000);
                break;
            default:
                chunks.push_back(i % 7 == 0 ? 1 : 1 + rng() % 200000);
                break;
            }
        }
        CKvoFilter f;
        std::vector<std::string> got = FeedChunked(f, kvotest::JoinStream(frames), chunks);
        ASSERT_EQ(got.size(), frames.size()) << "round " << round;
        for (size_t i = 0; i < frames.size(); ++i) ASSERT_EQ(got[i], frames[i]) << "frame " << i;
        EXPECT_TRUE(f.Buffer().IsEmpty());
    }
}

TEST(Filter, HeaderAndBodyAcrossTheEndOfTheRing) {
    const uint32_t size = CKVOBuffer::INITIAL_SIZE;
    for (uint32_t before : {2u, 3u, 4u, 5u, 10u, 11u, 12u, 30u}) {
        // The first frame leaves the read index `before` bytes short of the end
        // of the memory; the second frame's header then straddles the end.
        CKvoFilter f;
        std::string a = GatewayFrame(20, PatternBody(size - before - 11, before));
        std::string b = GatewayFrame(21, PatternBody(50, 7));
        std::string c = GatewayFrame(22, PatternBody(20, 8));
        Fed r = Feed(f, a + b.substr(0, 1));
        EXPECT_EQ(r.frames, (std::vector<std::string>{a})) << before;
        r = Feed(f, b.substr(1) + c);
        EXPECT_EQ(r.frames, (std::vector<std::string>{b, c})) << before;
        EXPECT_EQ(f.Buffer().GetSize(), size) << "no growth needed";
    }
}

TEST(Filter, ResynchronisesAcrossTheEndOfTheRing) {
    const uint32_t size = CKVOBuffer::INITIAL_SIZE;
    // Garbage with pieces of the magic but never the whole of it; its first
    // byte, 0x11, lets the frame before it pass.
    const std::string garbage =
        Bytes({0x11, 0x11, 0xA7, 0x8D, 0x00, 0x11, 0xA7}) + PatternBody(30, 5) + Bytes({0x11, 0xA7, 0x8D});
    for (uint32_t before : {1u, 2u, 3u, 4u, 7u, 30u}) {
        // The first frame ends `before` bytes short of the end of the memory, so
        // the garbage, and the search through it, run round the end.
        std::string a = GatewayFrame(20, PatternBody(size - before - 11, before));
        std::string b = GatewayFrame(21, PatternBody(40, 7));
        std::string c = GatewayFrame(16, "");
        for (bool separateRead : {false, true}) {
            CKvoFilter f;
            Fed r = Feed(f, a + garbage.substr(0, 1));
            ASSERT_EQ(r.frames, (std::vector<std::string>{a})) << before;
            std::vector<std::string> got;
            if (separateRead) {
                // Nothing to find: all but the last 3 bytes go, across the end.
                r = Feed(f, garbage.substr(1));
                EXPECT_EQ(r.results, (std::vector<int>{-1})) << before;
                EXPECT_EQ(f.Buffer().GetDataLength(), 3u) << before;
                r = Feed(f, b + c);
            } else {
                r = Feed(f, garbage.substr(1) + b + c);
            }
            EXPECT_EQ(r.frames, (std::vector<std::string>{b, c})) << before << " " << separateRead;
            EXPECT_TRUE(f.Buffer().IsEmpty()) << before << " " << separateRead;
        }
    }
}

TEST_F(FilterLog, GarbageBeforeAFrameIsDropped) {
    CKvoFilter f;
    std::string frame = GatewayFrame(10, "subscribe answer");
    Fed r = Feed(f, Bytes({0x00}) + frame);
    EXPECT_EQ(r.frames, (std::vector<std::string>{frame}));
    EXPECT_EQ(r.results.front(), 1);
}

TEST_F(FilterLog, BytesWithoutAMagicAreDroppedButTheLastThree) {
    CKvoFilter f;
    std::string junk = PatternBody(20, 3);
    Fed r = Feed(f, junk);
    EXPECT_EQ(r.results, (std::vector<int>{-1}));
    EXPECT_EQ(f.Buffer().GetDataLength(), 3u);
    EXPECT_NE(Log().find("tcp mcast filter locate header failed. len: 20"), std::string::npos) << Log();
    EXPECT_EQ(Level("tcp mcast filter locate header failed. len: 20"), 1);
    // A magic split over the kept bytes and the next read is still found.
    CKvoFilter g;
    std::string frame = GatewayFrame(8, "quota");
    r = Feed(g, junk + frame.substr(0, 3));
    EXPECT_EQ(r.results, (std::vector<int>{-1}));
    r = Feed(g, frame.substr(3));
    EXPECT_EQ(r.frames, (std::vector<std::string>{frame}));
}

TEST_F(FilterLog, AFrameFollowedByABadByteIsNotDelivered) {
    CKvoFilter f;
    std::string bad = GatewayFrame(20, "lost") + Bytes({0x42});
    Fed r = Feed(f, bad + PatternBody(10, 4));
    EXPECT_EQ(r.results, (std::vector<int>{-1}));
    EXPECT_TRUE(r.frames.empty());
    EXPECT_NE(Log().find("tcp data lost, next pack header is illegal. buffer size:" + std::to_string(bad.size() + 10)),
              std::string::npos)
        << Log();
    EXPECT_NE(Log().find("ProcessMcastData, tcp mcast filter locate header failed., len: "), std::string::npos);
    EXPECT_EQ(Level("tcp data lost, next pack header is illegal."), 1);
    EXPECT_EQ(Level("ProcessMcastData, tcp mcast filter locate header failed., len: "), 1);

    // With good frames behind the bad byte they come out of the same read,
    // without waiting for more bytes; a second bad frame start among them is
    // dropped the same way.
    CKvoFilter g;
    std::string good = GatewayFrame(21, "kept"), also = GatewayFrame(22, "also");
    r = Feed(g, GatewayFrame(20, "lost") + Bytes({0x42}) + good + GatewayFrameWithLength(20, "x", 3) + also);
    EXPECT_EQ(r.results, (std::vector<int>{1, 1, 2}));
    EXPECT_EQ(r.frames, (std::vector<std::string>{good, also}));
    EXPECT_TRUE(g.Buffer().IsEmpty());
}

TEST(Filter, GarbageBetweenFramesResynchronises) {
    std::mt19937 rng(7);
    for (int round = 0; round < 12; ++round) {
        std::vector<std::string> frames;
        std::vector<bool> mayBeLost;
        std::string stream;
        // Streams of well over the ring's size, so the searches also run round
        // the end of the memory.
        for (int i = 0; stream.size() < 2 * size_t(CKVOBuffer::INITIAL_SIZE); ++i) {
            size_t body = rng() % 3 == 0 ? rng() % 60000 : rng() % 3000;
            frames.push_back(GatewayFrame(static_cast<uint16_t>(20 + i % 8), PatternBody(body, rng())));
            stream += frames.back();
            switch (rng() % 4) {
            case 0:
                // Garbage whose first byte is not 0x11: the frame before it is
                // thrown away when that byte is seen with it.
                stream += PatternBody(1 + rng() % 40, rng());
                mayBeLost.push_back(true);
                break;
            case 1:
                // Garbage that starts like a frame and ends in the first three
                // bytes of the magic, but never holds all four: the frame before
                // it passes the quick test and is delivered.
                stream += Bytes({0x11, 0x00}) + PatternBody(rng() % 40, rng()) + Bytes({0x11, 0xA7, 0x8D});
                mayBeLost.push_back(false);
                break;
            default:
                mayBeLost.push_back(false);
                break;
            }
        }
        CKvoFilter f;
        std::vector<size_t> chunks;
        for (int i = 0; i < 20; ++i) chunks.push_back(1 + rng() % (round % 2 ? 5000 : 70000));
        std::vector<std::string> got = FeedChunked(f, stream, chunks);
        // What comes out is a subsequence of the frames, each byte-exact; only a
        // frame with a bad byte behind it may be missing.
        size_t k = 0;
        for (size_t i = 0; i < frames.size(); ++i) {
            if (k < got.size() && got[k] == frames[i]) {
                ++k;
            } else {
                ASSERT_TRUE(mayBeLost[i]) << "round " << round << " lost frame " << i;
            }
        }
        ASSERT_EQ(k, got.size()) << "a frame came out that was never sent";
    }
}

TEST_F(FilterLog, LengthsShorterThanAHeaderNeverHang) {
    for (uint32_t total : {0u, 1u, 5u, 10u}) {
        CKvoFilter f;
        std::string good = GatewayFrame(16, "beat");
        std::string bad = GatewayFrameWithLength(20, PatternBody(12, total), total);
        Fed r = Feed(f, bad + good);
        std::vector<std::string> got = r.frames;
        Fed more = Feed(f, {});
        got.insert(got.end(), more.frames.begin(), more.frames.end());
        EXPECT_EQ(got, (std::vector<std::string>{good})) << total;
        EXPECT_TRUE(f.Buffer().IsEmpty()) << total;
    }
    EXPECT_NE(Log().find("tcp data lost, next pack header is illegal."), std::string::npos);
}

TEST(Filter, LengthsNoRingCanHoldResynchroniseAtOnce) {
    for (uint32_t total : {CKVOBuffer::MAX_SIZE, 0x7FFFFFFFu, 0xFFFFFFF0u}) {
        CKvoFilter f;
        std::string good = GatewayFrame(16, "beat");
        Fed r = Feed(f, GatewayFrameWithLength(20, PatternBody(30, 9), total) + good);
        std::vector<std::string> got = r.frames;
        Fed more = Feed(f, {});
        got.insert(got.end(), more.frames.begin(), more.frames.end());
        EXPECT_EQ(got, (std::vector<std::string>{good})) << total;
        EXPECT_EQ(f.Buffer().GetSize(), CKVOBuffer::INITIAL_SIZE) << "nothing was buffered for it";
    }
}

TEST_F(FilterLog, ALargeFrameGrowsTheRingStepByStep) {
    CKvoFilter f;
    std::string frame = GatewayFrame(8, PatternBody(2 * 1024 * 1024 - 11, 5));
    ASSERT_EQ(frame.size(), 2u * 1024 * 1024);
    std::vector<uint32_t> sizes;
    std::vector<std::string> got;
    for (size_t at = 0; at < frame.size(); at += 65536) {
        Fed r = Feed(f, std::string_view(frame).substr(at, 65536));
        got.insert(got.end(), r.frames.begin(), r.frames.end());
        if (sizes.empty() || sizes.back() != f.Buffer().GetSize()) sizes.push_back(f.Buffer().GetSize());
        if (at + 65536 < frame.size()) {
            EXPECT_TRUE(got.empty());
        }
    }
    EXPECT_EQ(sizes, (std::vector<uint32_t>{0x100000, 0x200000, 0x300000}));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], frame);
    // The ring keeps its size.
    EXPECT_EQ(f.Buffer().GetSize(), 0x300000u);
    EXPECT_NE(Log().find("CMCastBuffer::AppendData, reInit mcast buffer: SumDataLen=1048576, BufferSize=1048576"),
              std::string::npos)
        << Log();
    EXPECT_EQ(Level("CMCastBuffer::AppendData, reInit mcast buffer: "), 4);
}

TEST(Filter, ARingThatWrapsGrowsWithItsBytesInOrder) {
    // The first frame is taken from the middle of the ring; the second then
    // fills it round the end of the memory and makes it grow while its bytes
    // wrap, so the held bytes must be copied tail first, then head.
    CKvoFilter f;
    std::string a = GatewayFrame(20, PatternBody(900000, 11));
    std::string b = GatewayFrame(21, PatternBody(1500000, 12));
    std::string c = GatewayFrame(16, "");
    Fed r = Feed(f, a + b.substr(0, 50000));
    ASSERT_EQ(r.frames, (std::vector<std::string>{a}));
    bool grewWrapped = false;
    std::vector<std::string> got;
    std::string rest = b.substr(50000) + c;
    for (size_t at = 0; at < rest.size(); at += 65536) {
        bool wrapped = !f.Buffer().IsLinear();
        uint32_t size = f.Buffer().GetSize();
        r = Feed(f, std::string_view(rest).substr(at, 65536));
        got.insert(got.end(), r.frames.begin(), r.frames.end());
        if (f.Buffer().GetSize() != size && wrapped) grewWrapped = true;
    }
    EXPECT_TRUE(grewWrapped) << "the case was not reached";
    EXPECT_EQ(f.Buffer().GetSize(), 0x200000u);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_TRUE(got[0] == b) << "the grown ring lost the order of its bytes";
    EXPECT_EQ(got[1], c);
    EXPECT_TRUE(f.Buffer().IsEmpty());
}

TEST_F(FilterLog, TheRingGrowsToItsCapAndNoFurther) {
    CKVOBuffer ring;
    std::string block = PatternBody(CKVOBuffer::MAX_SIZE - 1, 6);
    // One byte below the cap fits: the ring grows to the cap in one go.
    EXPECT_EQ(ring.AppendData(reinterpret_cast<const uint8_t*>(block.data()), static_cast<uint32_t>(block.size())), 1);
    EXPECT_EQ(ring.GetSize(), CKVOBuffer::MAX_SIZE);
    EXPECT_EQ(ring.GetDataLength(), CKVOBuffer::MAX_SIZE - 1);
    // Reaching the cap is refused, and the ring is emptied.
    uint8_t one = 0x11;
    EXPECT_EQ(ring.AppendData(&one, 1), 0);
    EXPECT_TRUE(ring.IsEmpty());
    EXPECT_NE(Log().find("CMCastBuffer::AppendData: SumDataLen=15728640, MaxBufferSize=15728640, bufflen:15728639, "
                         "datalen:1"),
              std::string::npos)
        << Log();
    EXPECT_EQ(Level("CMCastBuffer::AppendData: SumDataLen="), 3);
    // The emptied ring takes bytes again.
    EXPECT_EQ(ring.AppendData(&one, 1), 1);
    EXPECT_EQ(ring.GetDataLength(), 1u);
}

TEST_F(FilterLog, AStreamThatOverflowsTheRingRecoversOnTheNextMagic) {
    // A frame just short of the cap, and a read that brings it whole together
    // with the start of the next one: more than the ring may ever hold, so
    // everything held is dropped and the frame after the broken one is found.
    CKvoFilter f;
    std::string big = GatewayFrame(8, PatternBody(CKVOBuffer::MAX_SIZE - 10 - 11, 3));
    std::string cut = GatewayFrame(20, PatternBody(100, 4));
    std::string next = GatewayFrame(16, "");
    std::vector<std::string> got;
    const size_t held = big.size() - 1000;
    for (size_t at = 0; at < held; at += 0x100000) {
        Fed r = Feed(f, std::string_view(big).substr(at, std::min<size_t>(0x100000, held - at)));
        got.insert(got.end(), r.frames.begin(), r.frames.end());
    }
    EXPECT_EQ(f.Buffer().GetDataLength(), held);
    Fed last = Feed(f, big.substr(held) + cut.substr(0, 20));
    EXPECT_EQ(last.results, (std::vector<int>{2}));
    got.insert(got.end(), last.frames.begin(), last.frames.end());
    EXPECT_TRUE(got.empty());
    EXPECT_TRUE(f.Buffer().IsEmpty());
    EXPECT_EQ(f.Buffer().GetSize(), CKVOBuffer::MAX_SIZE);
    EXPECT_EQ(Level("CMCastBuffer::AppendData: SumDataLen="), 3) << Log();
    Fed r = Feed(f, cut.substr(20) + next);
    EXPECT_EQ(r.frames, (std::vector<std::string>{next}));
    EXPECT_TRUE(f.Buffer().IsEmpty());
}

TEST(Filter, ResetForgetsTheStream) {
    CKvoFilter f;
    std::string frame = GatewayFrame(2, "answer");
    Feed(f, frame.substr(0, 7));
    EXPECT_EQ(f.Reset(), &f);
    EXPECT_TRUE(f.Buffer().IsEmpty());
    Fed r = Feed(f, frame);
    EXPECT_EQ(r.frames, (std::vector<std::string>{frame}));
}

TEST_F(FilterLog, RingIndicesStayInsideTheHeldData) {
    CKVOBuffer ring;
    uint8_t* start = ring.GetReadIndex();
    EXPECT_FALSE(ring.IsValidIndex(start));  // empty
    EXPECT_EQ(ring.GetLengthFromDataIndex(start), -1);
    std::string data = PatternBody(100, 1);
    ring.AppendData(reinterpret_cast<const uint8_t*>(data.data()), 100);
    EXPECT_TRUE(ring.IsValidIndex(start + 99));
    EXPECT_FALSE(ring.IsValidIndex(start + 100));  // the write index
    EXPECT_FALSE(ring.IsValidIndex(nullptr));
    EXPECT_FALSE(ring.IsValidIndex(start + ring.GetSize()));
    EXPECT_EQ(ring.GetLengthFromDataIndex(start + 40), 40);
    EXPECT_EQ(ring.AddBufferIndex(start, 40, true), start + 40);
    EXPECT_EQ(ring.AddBufferIndex(start, 100, true), ring.GetWriteIndex());
    EXPECT_EQ(ring.AddBufferIndex(start + 40, 60, true), ring.GetWriteIndex());
    EXPECT_EQ(ring.AddBufferIndex(start, ring.GetSize() + 3, false), start + 3);
    EXPECT_EQ(ring.AddBufferIndex(nullptr, 1, false), nullptr);
    ring.ResetDataBeginIndex(start + 100 + 5);  // not held: logged, no change
    EXPECT_EQ(ring.GetDataLength(), 100u);
    ring.DiscardData(0);
    ring.DiscardData(30);
    EXPECT_EQ(ring.GetDataLength(), 70u);
    ring.ResetDataBeginIndex(ring.GetWriteIndex());
    EXPECT_TRUE(ring.IsEmpty());
    EXPECT_EQ(ring.GetReadIndex(), start);
    std::string log = Log();
    EXPECT_NE(log.find("CMCastBuffer::IsValidIndex, mcast buffer is empty."), std::string::npos);
    EXPECT_NE(log.find("CMCastBuffer::GetLengthFromDataIndex\xA3\xAC nowIndex is invalid."), std::string::npos);
    EXPECT_NE(log.find("CMCastBuffer::IsValidIndex, dataIndex is NULL."), std::string::npos);
    EXPECT_NE(log.find("CMCastBuffer::IsValidIndex, pDataTail is illegal, dataLen:1048576 >= bufferSize:1048576"),
              std::string::npos);
    EXPECT_NE(log.find("CMCastBuffer::AddBufferIndex, nowIndex or mcastBuffer is NULL."), std::string::npos);
    EXPECT_NE(log.find("CMCastBuffer::ResetDataBeginIndex, data is invalid, dataLen:100."), std::string::npos);
    for (const char* text : {"CMCastBuffer::IsValidIndex, mcast buffer is empty.",
                             "CMCastBuffer::GetLengthFromDataIndex\xA3\xAC nowIndex is invalid.",
                             "CMCastBuffer::IsValidIndex, dataIndex is NULL.", "CMCastBuffer::IsValidIndex, pDataTail",
                             "CMCastBuffer::AddBufferIndex, nowIndex", "CMCastBuffer::ResetDataBeginIndex, data"}) {
        EXPECT_EQ(Level(text), 1) << text;
    }
}

// The filter as a link drives it: through the packet-filter interface.
TEST(FilterInterface, UnpackHandsEachFrameOnAsOneBlock) {
    CKvoFilter filter;
    corvane::CTLPackFilter& f = filter;
    std::string a = GatewayFrame(20, "push", 1), b = GatewayFrame(16, "");
    std::string both = a + b;
    std::vector<std::string> got;
    std::vector<int> results;
    const void* data = both.data();
    uint32_t len = static_cast<uint32_t>(both.size());
    for (;;) {
        corvane::CTLNetBufferList out;
        int rc = f.Unpack(0, nullptr, data, len, out);
        results.push_back(rc);
        data = nullptr;
        len = 0;
        if (rc != corvane::TL_UNPACK_PACKETS) {
            EXPECT_TRUE(out.IsEmpty());
            break;
        }
        ASSERT_EQ(out.GetCount(), 1u);
        corvane::TLNetBlock* block = nullptr;
        out.Front(block);
        ASSERT_NE(block, nullptr);
        got.emplace_back(reinterpret_cast<const char*>(block->Data()), block->length);
        block->Release();  // Front's reference
    }
    EXPECT_EQ(results, (std::vector<int>{1, 1, 2}));
    EXPECT_EQ(got, (std::vector<std::string>{a, b}));
}

TEST(FilterInterface, PackPassesDataUnchangedAndCloneStartsEmpty) {
    CKvoFilter filter;
    std::string frame = GatewayFrame(9, "subscribe");
    corvane::CTLSendBuffer send;
    EXPECT_EQ(filter.Pack(frame.data(), static_cast<uint32_t>(frame.size()), 0, send), 0);
    EXPECT_EQ(send.GetCount(), 1u);
    EXPECT_EQ(send.GetTotalLength(), frame.size());

    corvane::CTLSmartBuffer out;
    filter.FeedData(frame.data(), 5, out);
    std::unique_ptr<corvane::CTLPackFilter> clone(filter.Clone());
    ASSERT_NE(clone, nullptr);
    ASSERT_NE(dynamic_cast<CKvoFilter*>(clone.get()), nullptr);
    EXPECT_TRUE(static_cast<CKvoFilter*>(clone.get())->Buffer().IsEmpty());
    EXPECT_EQ(static_cast<CKvoFilter*>(clone.get())->Buffer().GetSize(), CKVOBuffer::INITIAL_SIZE);
    EXPECT_EQ(filter.Buffer().GetDataLength(), 5u);
    // The inherited answers the link relies on.
    corvane::CTLSendBuffer block;
    EXPECT_EQ(filter.OnConnectStep(0, nullptr, 0, block), corvane::TL_CONNECT_STEP_DEFAULT);
    EXPECT_EQ(filter.Control(corvane::TL_FILTER_CTRL_LINK_KIND), 0);
}

// A small ring behaves as the default one at its own sizes: it grows by its
// step while its bytes wrap, refuses frames it can never hold, overflows at
// its maximum, and its clones keep its sizes.
TEST(Filter, ASmallRingGrowsWrapsAndOverflowsAtItsOwnSizes) {
    const CKVOBuffer::Geometry g{64, 32, 256};
    CKvoFilter f(g);
    EXPECT_EQ(f.Buffer().GetSize(), 64u);
    // Stand the ring near its end, then a frame across the end.
    std::string filler(50, 'x');
    Feed(f, filler);
    EXPECT_TRUE(f.Buffer().GetDataLength() < 4u);
    std::string a = GatewayFrame(16, PatternBody(20, 1));
    std::string b = GatewayFrame(20, PatternBody(150, 2));  // 161 bytes: two steps of growth
    Fed r = Feed(f, a);
    EXPECT_EQ(r.frames, (std::vector<std::string>{a}));
    std::vector<std::string> got = FeedChunked(f, b + a, {7, 13});
    EXPECT_EQ(got, (std::vector<std::string>{b, a}));
    EXPECT_EQ(f.Buffer().GetSize(), 192u);
    // A length the ring can never hold resynchronises at once.
    got = FeedChunked(f, GatewayFrameWithLength(20, PatternBody(30, 3), 256) + a, {40});
    EXPECT_EQ(got, (std::vector<std::string>{a}));
    // More than the maximum held at once: everything held is dropped, the next
    // magic is found again.
    std::string big = GatewayFrame(20, PatternBody(240, 4));  // 251 bytes
    r = Feed(f, big.substr(0, 200));
    EXPECT_TRUE(r.frames.empty());
    r = Feed(f, big.substr(200) + a.substr(0, 10));
    EXPECT_TRUE(f.Buffer().IsEmpty());
    EXPECT_EQ(f.Buffer().GetSize(), 224u);  // grown for the first 200 bytes
    got = FeedChunked(f, a.substr(10) + a, {64});
    EXPECT_EQ(got, (std::vector<std::string>{a}));
    std::unique_ptr<corvane::CTLPackFilter> clone(f.Clone());
    ASSERT_NE(clone, nullptr);
    EXPECT_EQ(static_cast<CKvoFilter*>(clone.get())->Buffer().GetSize(), 64u);
    EXPECT_EQ(static_cast<CKvoFilter*>(clone.get())->Buffer().GetGeometry().max, 256u);
}

}  // namespace

TEST(FilterRing, WrappedDataSplitsIntoTailAndHead) {
    CKVOBuffer ring;
    const uint32_t size = ring.GetSize();
    std::string data = PatternBody(size - 10, 2);
    ASSERT_EQ(ring.AppendData(reinterpret_cast<const uint8_t*>(data.data()), size - 10), 1);
    EXPECT_TRUE(ring.IsLinear());
    EXPECT_EQ(ring.GetTailLength(), size - 10);
    EXPECT_EQ(ring.GetHeadLength(), 0u);
    ring.DiscardData(size - 20);
    std::string more = PatternBody(30, 3);
    ASSERT_EQ(ring.AppendData(reinterpret_cast<const uint8_t*>(more.data()), 30), 1);
    ASSERT_FALSE(ring.IsLinear());
    EXPECT_EQ(ring.GetSize(), size);
    EXPECT_EQ(ring.GetTailLength(), 20u);
    EXPECT_EQ(ring.GetHeadLength(), 20u);
    EXPECT_EQ(ring.GetDataLength(), 40u);
    std::string out(40, '\0');
    ring.CopyOut(ring.GetReadIndex(), 40, reinterpret_cast<uint8_t*>(out.data()));
    EXPECT_EQ(out, data.substr(size - 20) + more);
}
