// Blocks shared between threads and one send queue fed by many threads.
#include "framework/net/tl_netbuffer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

using namespace corvane;

namespace {

// Eight threads copy one list again and again while the owner still holds
// it: every copy takes and gives back references, and the blocks end with
// the owner's reference alone.
TEST(NetBufferThreads, SharedBlocksKeepExactReferenceCounts) {
    CTLNetBufferList shared;
    for (int i = 0; i < 4; ++i) ASSERT_EQ(0, shared.AppendBlock("0123456789", 10));
    std::vector<std::thread> threads;
    std::atomic<uint64_t> seen{0};
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                CTLNetBufferList copy(shared);
                CTLSendBuffer send;
                for (TLNetBlock* b : copy) send.AppendRef(b);
                char out[64];
                seen += send.Read(out, sizeof out);
                TLNetBlock* front = nullptr;
                copy.PopFront(front);
                front->Release();
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(8u * 2000u * 40u, seen.load());
    for (TLNetBlock* b : shared) {
        EXPECT_EQ(1u, b->references.load());
        EXPECT_EQ(0, std::memcmp(b->Data(), "0123456789", 10));
    }
}

// Eight producers push numbered records into one queue while a consumer
// fills small staging buffers from it: every record arrives once, whole, and
// each producer's records in the order pushed.
TEST(NetBufferThreads, SendQueueKeepsEachProducersOrder) {
    constexpr int kProducers = 8;
    constexpr uint32_t kRecords = 3000;
    SendQueue q;
    std::atomic<int> running{kProducers};
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            for (uint32_t seq = 0; seq < kRecords; ++seq) {
                uint32_t rec[2] = {static_cast<uint32_t>(p), seq};
                CTLSendBuffer b;
                // Records split over two blocks now and then.
                if (seq % 3 == 0) {
                    b.AppendBlock(rec, 3);
                    b.AppendBlock(reinterpret_cast<uint8_t*>(rec) + 3, 5);
                } else {
                    b.AppendBlock(rec, sizeof rec);
                }
                EXPECT_EQ(8, q.Push(b, 0));
            }
            --running;
        });
    }
    std::vector<uint32_t> next(kProducers, 0);
    std::vector<uint8_t> pending;
    uint8_t stage[37];  // not a multiple of a record: records cross fills
    uint64_t records = 0;
    bool ordered = true;
    for (;;) {
        const bool done = running.load() == 0;
        const uint32_t n = q.Fill(stage, sizeof stage, nullptr, nullptr);
        pending.insert(pending.end(), stage, stage + n);
        size_t off = 0;
        for (; off + 8 <= pending.size(); off += 8) {
            uint32_t rec[2];
            std::memcpy(rec, pending.data() + off, 8);
            ASSERT_LT(rec[0], static_cast<uint32_t>(kProducers));
            ordered &= rec[1] == next[rec[0]];
            next[rec[0]] = rec[1] + 1;
            ++records;
        }
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(off));
        if (done && n == 0 && q.IsEmpty()) break;
        if (n == 0) std::this_thread::yield();
    }
    for (auto& t : producers) t.join();
    EXPECT_TRUE(ordered);
    EXPECT_TRUE(pending.empty());
    EXPECT_EQ(uint64_t(kProducers) * kRecords, records);
    for (uint32_t n : next) EXPECT_EQ(kRecords, n);
    EXPECT_EQ(0u, q.QueuedBytes());
}

// Producers push while a consumer moves budgeted buffers and fills, and a
// watcher reads the count: it never exceeds what was pushed, and once the
// threads are done it equals the recounted sum.
TEST(NetBufferThreads, QueuedBytesStaysExactUnderContention) {
    constexpr int kProducers = 4;
    constexpr uint32_t kBuffers = 2000;
    SendQueue q;
    q.SetBudget(500);
    std::atomic<uint64_t> pushed{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int p = 0; p < kProducers; ++p) {
        threads.emplace_back([&, p] {
            uint8_t bytes[64] = {};
            for (uint32_t i = 0; i < kBuffers; ++i) {
                CTLSendBuffer b;
                b.AppendBlock(bytes, 1 + (i + p) % 40);
                if (i % 4 == 0) b.AppendBlock(bytes, 1 + i % 64);
                // Counted before the push, so the watcher's bound holds.
                pushed += b.GetTotalLength();
                q.Push(b, 0);
            }
        });
    }
    std::thread consumer([&] {
        uint8_t stage[53];
        uint64_t filled = 0;
        // Half the traffic goes out; the rest stays queued for the check.
        while (filled < uint64_t(kProducers) * kBuffers * 15 && !stop.load()) {
            q.MoveBudget();
            filled += q.Fill(stage, sizeof stage, nullptr, nullptr);
            std::this_thread::yield();
        }
    });
    std::thread watcher([&] {
        bool within = true;
        while (!stop.load()) {
            within &= q.QueuedBytes() <= pushed.load();
            std::this_thread::yield();
        }
        EXPECT_TRUE(within);
    });
    for (auto& t : threads) t.join();
    stop = true;
    consumer.join();
    watcher.join();
    EXPECT_EQ(q.RecountBytes(), q.QueuedBytes());
    EXPECT_LE(q.QueuedBytes(), pushed.load());
    while (!q.IsEmpty()) {
        q.MoveBudget();
        uint8_t stage[4096];
        q.Fill(stage, sizeof stage, nullptr, nullptr);
    }
    EXPECT_EQ(0u, q.QueuedBytes());
    EXPECT_EQ(0u, q.RecountBytes());
}

}  // namespace
