// Buffer lists, send buffers and the send queue.
#include "framework/net/tl_netbuffer.h"
#include "framework/net/tl_netengine.h"
#include "framework/tl_buffer.h"
#include "framework/tl_log.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

using namespace corvane;

namespace {

std::string Bytes(const TLNetBlock* b) { return std::string(reinterpret_cast<const char*>(b->Data()), b->length); }

std::vector<uint8_t> Pattern(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i % 251);
    return v;
}

TEST(NetBufferList, BlocksAreSharedNotCopied) {
    CTLNetBufferList a;
    ASSERT_EQ(0, a.AppendBlock("abc", 3));
    ASSERT_EQ(0, a.AppendBlock(nullptr, 16));
    TLNetBlock* first = nullptr;
    a.Front(first);
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(2u, first->references.load());
    EXPECT_EQ("abc", Bytes(first));
    {
        CTLNetBufferList b(a);
        EXPECT_EQ(2u, b.GetCount());
        TLNetBlock* bf = nullptr;
        b.Front(bf);
        EXPECT_EQ(first, bf);  // same block
        EXPECT_EQ(4u, first->references.load());
        bf->Release();
        a.Clear();
        // Still readable through the copy.
        EXPECT_EQ("abc", Bytes(*b.begin()));
        EXPECT_EQ(0u, (*std::next(b.begin()))->length);
        EXPECT_EQ(16u, (*std::next(b.begin()))->capacity);
    }
    EXPECT_EQ(1u, first->references.load());  // only ours is left
    EXPECT_EQ("abc", Bytes(first));
    first->Release();
    EXPECT_EQ(int(0x80070001), a.AppendRef(nullptr));
}

TEST(NetBufferList, PopFrontHandsOverTheReference) {
    CTLNetBufferList a;
    a.AppendBlock("xy", 2);
    TLNetBlock* b = nullptr;
    a.PopFront(b);
    ASSERT_NE(nullptr, b);
    EXPECT_TRUE(a.IsEmpty());
    EXPECT_EQ(1u, b->references.load());
    b->Release();
    a.PopFront(b);
    EXPECT_EQ(nullptr, b);
}

TEST(SendBuffer, ReadCopiesAcrossBlocksAndKeepsTheOffset) {
    CTLSendBuffer s;
    s.AppendBlock("abc", 3);
    s.AppendBlock("defg", 4);
    char out[16] = {0};
    EXPECT_EQ(5u, s.Read(out, 5));
    EXPECT_EQ("abcde", std::string(out, 5));
    EXPECT_EQ(1u, s.GetCount());
    EXPECT_EQ(2u, s.GetOffset());
    EXPECT_EQ(0u, s.Read(nullptr, 5));
    EXPECT_EQ(0u, s.Read(out, 0));
    EXPECT_EQ(0u, s.Read(out, -3));
    EXPECT_EQ(2u, s.Read(out, 10));
    EXPECT_EQ("fg", std::string(out, 2));
    EXPECT_TRUE(s.IsEmpty());
    EXPECT_EQ(0u, s.GetOffset());
}

TEST(SendBuffer, ReadBlocksTakesWholeBlocksThatFit) {
    CTLSendBuffer s;
    s.AppendBlock("12345", 5);
    s.AppendBlock("67", 2);
    s.AppendBlock(std::string(3000, 'z').data(), 3000);
    CTLSmartBuffer out;
    // With the first-block flag the first block goes even into no room; the
    // next goes while it fits into the room the buffer then has.
    const uint32_t n = s.ReadBlocks(out, 1);
    ASSERT_GE(out.GetCapacity(), 7u);
    if (out.GetCapacity() - 7 >= 3000) {
        EXPECT_EQ(3007u, n);
    } else {
        EXPECT_EQ(7u, n);
        EXPECT_EQ(1u, s.GetCount());
    }
    EXPECT_EQ(std::string("1234567"), std::string(out.GetData(), 7));
    CTLSendBuffer t;
    t.AppendBlock("abcdef", 6);
    t.AppendBlock("gh", 2);
    CTLSmartBuffer empty;
    EXPECT_EQ(0u, t.ReadBlocks(empty, 0));  // no free room, no flag: nothing
    EXPECT_EQ(2u, t.GetCount());
}

TEST(SendQueue, TenThousandBytesLeaveAsThreeFills) {
    SendQueue q;
    auto data = Pattern(10000);
    CTLSendBuffer s;
    s.AppendBlock(data.data(), 10000);
    EXPECT_EQ(10000, q.Push(s, 0));
    EXPECT_EQ(1u, q.QueuedCount());
    std::vector<uint8_t> got;
    uint8_t stage[4096];
    std::vector<uint32_t> sizes, taken;
    while (!q.IsEmpty()) {
        uint32_t bytes = 0, t = 0;
        q.Fill(stage, sizeof stage, &bytes, &t);
        sizes.push_back(bytes);
        taken.push_back(t);
        got.insert(got.end(), stage, stage + bytes);
    }
    EXPECT_EQ((std::vector<uint32_t>{4096, 4096, 1808}), sizes);
    EXPECT_EQ((std::vector<uint32_t>{0, 0, 1}), taken);
    EXPECT_EQ(data, got);
    // The original still holds its bytes.
    EXPECT_EQ(10000u, s.GetTotalLength());
}

TEST(SendQueue, FillSkipsEmptyBuffersAndJoinsSmallOnes) {
    SendQueue q;
    CTLSendBuffer empty, zero, a, b;
    zero.AppendBlock(nullptr, 8);  // a block with nothing used
    q.Push(zero, 0);
    a.AppendBlock("hello ", 6);
    b.AppendBlock("world", 5);
    q.Push(empty, 0);
    q.Push(a, 0);
    q.Push(b, 0);
    uint8_t stage[64];
    uint32_t bytes = 0, taken = 0;
    EXPECT_EQ(11u, q.Fill(stage, sizeof stage, &bytes, &taken));
    EXPECT_EQ(3u, taken);
    EXPECT_EQ("hello world", std::string(reinterpret_cast<char*>(stage), 11));
    EXPECT_TRUE(q.IsEmpty());
}

TEST(SendQueue, BudgetHoldsBuffersBackUntilMoved) {
    SendQueue q;
    q.SetBudget(3000);
    auto data = Pattern(2000);
    CTLSendBuffer s;
    s.AppendBlock(data.data(), 2000);
    q.Push(s, 0);
    q.Push(s, 0);
    EXPECT_TRUE(q.IsReadyEmpty());
    EXPECT_FALSE(q.IsEmpty());
    EXPECT_EQ(4000u, q.QueuedBytes());
    EXPECT_EQ(2u, q.QueuedCount());
    uint8_t stage[16];
    EXPECT_EQ(0u, q.Fill(stage, sizeof stage, nullptr, nullptr));
    EXPECT_EQ(4000u, q.MoveBudget());  // the second overshoots
    EXPECT_FALSE(q.IsReadyEmpty());
    EXPECT_EQ(0u, q.MoveBudget());
    q.Clear();
    EXPECT_TRUE(q.IsEmpty());
    EXPECT_EQ(0u, q.QueuedBytes());
    q.SetBudget(-5);
    EXPECT_EQ(0, q.GetBudget());
    q.Push(s, 0);
    EXPECT_FALSE(q.IsReadyEmpty());
}

// A move stops as soon as the budget is reached: landing exactly on it moves
// no further buffer, and the rest leaves with the next moves, in order.
TEST(SendQueue, BudgetMoveStopsExactlyAtTheBudget) {
    SendQueue q;
    q.SetBudget(4000);
    std::string pushed;
    for (char c : {'a', 'b', 'c'}) {
        const std::string data(2000, c);
        CTLSendBuffer s;
        s.AppendBlock(data.data(), 2000);
        q.Push(s, 0);
        pushed += data;
    }
    EXPECT_EQ(4000u, q.MoveBudget());
    std::vector<uint8_t> stage(8000);
    uint32_t taken = 0;
    EXPECT_EQ(4000u, q.Fill(stage.data(), 8000, nullptr, &taken));
    EXPECT_EQ(2u, taken);
    EXPECT_EQ(2000u, q.QueuedBytes());
    EXPECT_EQ(2000u, q.MoveBudget());
    EXPECT_EQ(2000u, q.Fill(stage.data() + 4000, 4000, nullptr, &taken));
    EXPECT_EQ(pushed, std::string(reinterpret_cast<char*>(stage.data()), 6000));
    EXPECT_TRUE(q.IsEmpty());

    // Just under a buffer's length the budget still moves that one buffer;
    // a budget of exactly one buffer moves only it.
    CTLSendBuffer s;
    s.AppendBlock(pushed.data(), 2000);
    for (int i = 0; i < 3; ++i) q.Push(s, 0);
    q.SetBudget(1999);
    EXPECT_EQ(2000u, q.MoveBudget());
    q.SetBudget(2000);
    EXPECT_EQ(2000u, q.MoveBudget());
    q.SetBudget(2001);
    EXPECT_EQ(2000u, q.MoveBudget());  // only one buffer was left
    EXPECT_EQ(0u, q.MoveBudget());
}

// The send queue's log lines, written into the test's folder.
class SendQueueLog : public kvotest::TempDirTest {
protected:
    SendQueueLog() : TempDirTest("kvo_netbuf") {}
};

// A buffer that gives nothing into the room left, with nothing copied yet,
// is reported on the log and stays queued.
TEST_F(SendQueueLog, NothingFitsIsLoggedAndTheBufferStays) {
    TL_SetLogWriterAutoStart(false);  // lines are written as they come
    ASSERT_EQ(0, TL_OpenLog(0x330000, (dir_ + "/q.log").c_str()));
    TL_SetLogLevel(0, 1);
    SendQueue q;
    CTLSendBuffer s;
    s.AppendBlock("abc", 3);
    q.Push(s, 0);
    uint8_t stage[4];
    uint32_t bytes = 99, taken = 99;
    EXPECT_EQ(0u, q.Fill(stage, 0, &bytes, &taken));
    EXPECT_EQ(0u, bytes);
    EXPECT_EQ(0u, taken);
    EXPECT_EQ(1u, q.QueuedCount());
    EXPECT_EQ(3u, q.Fill(stage, sizeof stage, &bytes, &taken));
    EXPECT_EQ(1u, taken);
    std::string text;
    for (const auto& f : std::filesystem::directory_iterator(dir_)) text += kvotest::ReadWholeFile(f.path());
    EXPECT_NE(std::string::npos, text.find(" 1: Error!!! The send data is bigger than send buffer (size:0)!!!\r\n"))
        << text;
    EXPECT_EQ(text.find("Error!!!"), text.rfind("Error!!!"));  // once only
}

TEST(SendQueue, PushKeepsTheReadOffset) {
    SendQueue q;
    CTLSendBuffer s;
    s.AppendBlock("abcdef", 6);
    char skip[2];
    s.Read(skip, 2);
    EXPECT_EQ(6, q.Push(s, 0));  // used lengths, offset included
    uint8_t stage[16];
    EXPECT_EQ(4u, q.Fill(stage, sizeof stage, nullptr, nullptr));
    EXPECT_EQ("cdef", std::string(reinterpret_cast<char*>(stage), 4));
}

// The queued byte count is kept as buffers come, go, move and are cut; after
// every step it equals the sum over the queued buffers' blocks.
TEST(SendQueue, QueuedBytesMatchesTheBuffersAfterEveryStep) {
    SendQueue q;
    auto data = Pattern(5000);
    CTLSendBuffer a, empty, c, d, e;
    a.AppendBlock(data.data(), 100);
    a.AppendBlock(nullptr, 8);  // nothing used
    a.AppendBlock(data.data(), 250);
    c.AppendBlock(data.data(), 5000);
    d.AppendBlock(data.data(), 7);
    d.AppendBlock(data.data(), 9);
    char skip[3];
    d.Read(skip, 3);  // the offset still counts
    e.AppendBlock(data.data(), 20);
    e.SetOffset(1000);  // past the block's end: nothing left to send
    q.Push(a, 0);
    q.Push(empty, 0);
    q.Push(c, 0);
    EXPECT_EQ(5350u, q.QueuedBytes());
    q.SetBudget(300);
    q.Push(d, 0);
    q.Push(e, 0);
    EXPECT_EQ(5386u, q.QueuedBytes());
    EXPECT_EQ(5386u, q.RecountBytes());

    uint8_t stage[4096];
    q.Fill(stage, 60, nullptr, nullptr);  // inside a's first block
    EXPECT_EQ(5386u, q.QueuedBytes());
    q.Fill(stage, 41, nullptr, nullptr);  // a's first block and its empty one go
    EXPECT_EQ(5286u, q.QueuedBytes());
    EXPECT_EQ(q.RecountBytes(), q.QueuedBytes());
    q.Fill(stage, 300, nullptr, nullptr);  // a and the empty buffer go, c is cut
    EXPECT_EQ(5036u, q.QueuedBytes());
    EXPECT_EQ(q.RecountBytes(), q.QueuedBytes());
    EXPECT_EQ(36u, q.MoveBudget());
    EXPECT_EQ(5036u, q.QueuedBytes());
    uint32_t taken = 0;
    while (q.Fill(stage, sizeof stage, nullptr, &taken) > 0 || taken > 0) {
        EXPECT_EQ(q.RecountBytes(), q.QueuedBytes());
    }
    EXPECT_TRUE(q.IsEmpty());
    EXPECT_EQ(0u, q.QueuedBytes());

    q.Push(c, 0);
    q.Push(d, 0);
    EXPECT_EQ(5016u, q.QueuedBytes());
    q.Clear();
    EXPECT_EQ(0u, q.QueuedBytes());
    q.Push(d, 0);
    EXPECT_EQ(16u, q.QueuedBytes());
}

// Random pushes (several blocks, empty blocks, offsets), fills of random
// room, budget moves and clears, with the kept count checked each step.
TEST(SendQueue, QueuedBytesSurvivesMixedTraffic) {
    SendQueue q;
    auto data = Pattern(700);
    uint32_t seed = 12345;
    auto next = [&](uint32_t n) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 8) % n;
    };
    std::vector<uint8_t> stage(800);
    for (int step = 0; step < 4000; ++step) {
        const uint32_t op = next(100);
        if (op < 45) {
            CTLSendBuffer b;
            const uint32_t blocks = next(5);
            for (uint32_t i = 0; i < blocks; ++i) {
                const uint32_t len = next(4) == 0 ? 0 : next(300);
                b.AppendBlock(len ? data.data() : nullptr, len ? len : 16);
            }
            if (next(3) == 0) b.SetOffset(next(400));
            const int32_t pushed = q.Push(b, 0);
            ASSERT_EQ(static_cast<int32_t>(b.GetTotalLength()), pushed);
        } else if (op < 85) {
            q.Fill(stage.data(), 1 + next(800), nullptr, nullptr);
        } else if (op < 92) {
            q.MoveBudget();
        } else if (op < 98) {
            q.SetBudget(static_cast<int32_t>(next(1000)) - 200);
        } else {
            q.Clear();
        }
        ASSERT_EQ(q.RecountBytes(), q.QueuedBytes()) << "step " << step << " op " << op;
    }
    q.SetBudget(1 << 20);  // the waiting buffers move with a budget only
    while (!q.IsEmpty()) {
        q.MoveBudget();
        q.Fill(stage.data(), static_cast<uint32_t>(stage.size()), nullptr, nullptr);
        ASSERT_EQ(q.RecountBytes(), q.QueuedBytes());
    }
    EXPECT_EQ(0u, q.QueuedBytes());
}

// Asking for the queued bytes does not walk the queue: a block's length is
// set when it is made, and the count taken at push time is what is reported.
TEST(SendQueue, QueuedBytesIsKeptNotRecounted) {
    SendQueue q;
    CTLSendBuffer s;
    s.AppendBlock("abcdef", 6);
    q.Push(s, 0);
    TLNetBlock* b = nullptr;
    s.Front(b);
    b->length = 2;  // only this probe ever changes a used length
    EXPECT_EQ(2u, q.RecountBytes());
    EXPECT_EQ(6u, q.QueuedBytes());
    b->length = 6;
    b->Release();
    uint8_t stage[16];
    EXPECT_EQ(6u, q.Fill(stage, sizeof stage, nullptr, nullptr));
    EXPECT_EQ(0u, q.QueuedBytes());
}

}  // namespace
