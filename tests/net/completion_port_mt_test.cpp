// The completion port over epoll, on loopback TCP sockets.
#include "platform/pl_completion_port.h"
#include "platform/pl_socket.h"
#include "tests/support/net_wait.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// A connected loopback pair: `port` side (non-blocking, for the port) and a
// blocking `peer` side driven by the test.
struct Pair {
    int local = -1;
    int peer = -1;
    // The port side is made before the listener, so that it takes the
    // lowest free descriptor number (a number just freed, when there is one).
    Pair() {
        local = pl::SocketTcp();
        int ls = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(0, ::bind(ls, reinterpret_cast<sockaddr*>(&a), sizeof a));
        EXPECT_EQ(0, ::listen(ls, 4));
        a.sin_port = htons(pl::LocalPort(ls));
        int r = pl::ConnectStart(local, a);
        EXPECT_TRUE(r == 0 || r == EINPROGRESS);
        peer = ::accept(ls, nullptr, nullptr);
        int err = -1;
        EXPECT_EQ(1, pl::ConnectWait(local, 2000, err));
        EXPECT_EQ(0, err);
        ::close(ls);
    }
    ~Pair() {
        if (peer >= 0) ::close(peer);
    }
};

void WriteAll(int fd, const std::vector<uint8_t>& v) {
    size_t off = 0;
    while (off < v.size()) {
        ssize_t n = ::send(fd, v.data() + off, v.size() - off, MSG_NOSIGNAL);
        ASSERT_GT(n, 0);
        off += static_cast<size_t>(n);
    }
}

std::vector<uint8_t> Pattern(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + i / 251);
    return v;
}

class PortTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0, port.Create()); }
    pl::IoPort port;
    pl::IoOperation recvOp, sendOp;
};

TEST_F(PortTest, ReceivesOneBoundedReadPerPostedReceive) {
    Pair p;
    auto id = port.Associate(p.local, 42);
    ASSERT_NE(0u, id);
    uint8_t buf[4096];
    // A second receive while one is pending is refused.
    ASSERT_EQ(0, port.StartRecv(id, &recvOp, buf, sizeof buf));
    EXPECT_EQ(EBUSY, port.StartRecv(id, &recvOp, buf, sizeof buf));

    auto data = Pattern(10000);
    WriteAll(p.peer, data);
    std::vector<uint8_t> got;
    bool first = true;
    while (got.size() < data.size()) {
        if (!first) {
            ASSERT_EQ(0, port.StartRecv(id, &recvOp, buf, sizeof buf));
        }
        first = false;
        pl::IoPacket pk;
        ASSERT_TRUE(port.Dequeue(pk, 5000));
        EXPECT_EQ(42u, pk.key);
        EXPECT_EQ(&recvOp, pk.op);
        EXPECT_EQ(0, pk.error);
        ASSERT_GT(pk.bytes, 0u);
        ASSERT_LE(pk.bytes, 4096u);
        got.insert(got.end(), buf, buf + pk.bytes);
        // Nothing more arrives until the next receive is posted.
        EXPECT_FALSE(port.Dequeue(pk, 20));
    }
    EXPECT_EQ(data, got);
    port.Close(id);
}

TEST_F(PortTest, PeerCloseGivesZeroBytesAndResetGivesError) {
    {
        Pair p;
        auto id = port.Associate(p.local, 1);
        uint8_t buf[64];
        ASSERT_EQ(0, port.StartRecv(id, &recvOp, buf, sizeof buf));
        ::close(p.peer);
        p.peer = -1;
        pl::IoPacket pk;
        ASSERT_TRUE(port.Dequeue(pk, 5000));
        EXPECT_EQ(0, pk.error);
        EXPECT_EQ(0u, pk.bytes);
        port.Close(id);
    }
    {
        Pair p;
        auto id = port.Associate(p.local, 2);
        pl::SetLingerReset(p.peer);
        ::close(p.peer);
        p.peer = -1;
        uint8_t buf[64];
        ASSERT_EQ(0, port.StartRecv(id, &recvOp, buf, sizeof buf));
        pl::IoPacket pk;
        ASSERT_TRUE(port.Dequeue(pk, 5000));
        EXPECT_EQ(ECONNRESET, pk.error);
        // A send to the reset socket fails cleanly (no SIGPIPE).
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const char msg[] = "x";
        int r = port.StartSend(id, &sendOp, msg, 1);
        if (r == 0) {
            ASSERT_TRUE(port.Dequeue(pk, 5000));
        } else {
            EXPECT_TRUE(r == EPIPE || r == ECONNRESET) << r;
        }
        port.Close(id);
    }
}

TEST_F(PortTest, PartialSendsAndWouldBlockDeliverEverything) {
    Pair p;
    auto id = port.Associate(p.local, 7);
    auto data = Pattern(8u << 20);
    std::vector<uint8_t> got;
    std::thread reader([&] {
        uint8_t b[65536];
        while (got.size() < data.size()) {
            ssize_t n = ::recv(p.peer, b, sizeof b, 0);
            if (n <= 0) break;
            got.insert(got.end(), b, b + n);
        }
    });
    size_t off = 0;
    int partial = 0;
    while (off < data.size()) {
        uint32_t len = static_cast<uint32_t>(std::min<size_t>(data.size() - off, 1u << 20));
        ASSERT_EQ(0, port.StartSend(id, &sendOp, data.data() + off, len));
        pl::IoPacket pk;
        ASSERT_TRUE(port.Dequeue(pk, 10000));
        ASSERT_EQ(0, pk.error);
        ASSERT_EQ(&sendOp, pk.op);
        ASSERT_GT(pk.bytes, 0u);
        ASSERT_LE(pk.bytes, len);
        if (pk.bytes < len) ++partial;
        off += pk.bytes;
    }
    reader.join();
    EXPECT_EQ(data, got);
    EXPECT_GT(partial, 0);
    port.Close(id);
}

TEST_F(PortTest, CloseCancelsPendingOperationsAndLaterCallsFail) {
    Pair p;
    auto id = port.Associate(p.local, 9);
    uint8_t buf[64];
    ASSERT_EQ(0, port.StartRecv(id, &recvOp, buf, sizeof buf));
    port.Close(id);
    pl::IoPacket pk;
    ASSERT_TRUE(port.Dequeue(pk, 1000));
    EXPECT_EQ(9u, pk.key);
    EXPECT_EQ(ECANCELED, pk.error);
    EXPECT_EQ(EBADF, port.StartRecv(id, &recvOp, buf, sizeof buf));
    EXPECT_EQ(EBADF, port.StartSend(id, &sendOp, buf, 1));
    port.Close(id);  // idempotent
    // The peer sees the reset, and no completion follows.
    uint8_t b;
    EXPECT_LE(::recv(p.peer, &b, 1, 0), 0);
    EXPECT_FALSE(port.Dequeue(pk, 50));
}

// A socket closed while its readiness is being handled, and a new socket
// that gets the same descriptor number at once: the old receive ends exactly
// once (its bytes or cancelled), and the new socket sees only its own data.
TEST_F(PortTest, ClosedDescriptorReusedAtOnceGetsNoStaleCompletion) {
    int reused = 0;
    for (int round = 0; round < 500; ++round) {
        auto a = std::make_unique<Pair>();
        const int fdA = a->local;
        auto idA = port.Associate(a->local, 1);
        ASSERT_NE(0u, idA);
        uint8_t bufA[16] = {0}, bufB[16] = {0};
        ASSERT_EQ(0, port.StartRecv(idA, &recvOp, bufA, sizeof bufA));
        ASSERT_EQ(1, ::send(a->peer, "a", 1, MSG_NOSIGNAL));
        if (round % 2) std::this_thread::yield();
        port.Close(idA);
        Pair b;  // its socket takes the number just freed
        reused += b.local == fdA;
        auto idB = port.Associate(b.local, 2);
        ASSERT_NE(0u, idB);
        ASSERT_EQ(0, port.StartRecv(idB, &sendOp, bufB, sizeof bufB));
        pl::IoPacket pk;
        ASSERT_TRUE(port.Dequeue(pk, 5000));
        ASSERT_EQ(1u, pk.key);
        if (pk.error == 0) {
            EXPECT_EQ(1u, pk.bytes);
            EXPECT_EQ('a', bufA[0]);
        } else {
            EXPECT_EQ(ECANCELED, pk.error);
        }
        EXPECT_FALSE(port.Dequeue(pk, 2));
        ASSERT_EQ(1, ::send(b.peer, "b", 1, MSG_NOSIGNAL));
        ASSERT_TRUE(port.Dequeue(pk, 5000));
        EXPECT_EQ(2u, pk.key);
        EXPECT_EQ(0, pk.error);
        EXPECT_EQ(1u, pk.bytes);
        EXPECT_EQ('b', bufB[0]);
        port.Close(idB);
        EXPECT_FALSE(port.Dequeue(pk, 0));
    }
    EXPECT_GT(reused, 100);  // the hazard was really set up
}

// A send still waiting for room when its socket is closed is cancelled.
TEST_F(PortTest, CloseCancelsAWaitingSend) {
    Pair p;
    auto id = port.Associate(p.local, 3);
    std::vector<uint8_t> chunk(1 << 16, 0x5A);
    pl::IoPacket pk;
    // The peer reads nothing: sends complete until one has to wait.
    for (int i = 0; i < 4096; ++i) {
        ASSERT_EQ(0, port.StartSend(id, &sendOp, chunk.data(), static_cast<uint32_t>(chunk.size())));
        if (!port.Dequeue(pk, 200)) break;
        ASSERT_EQ(0, pk.error);
    }
    ASSERT_EQ(0u, port.QueuedPackets());
    EXPECT_EQ(EBUSY, port.StartSend(id, &sendOp, chunk.data(), 1));
    port.Close(id);
    ASSERT_TRUE(port.Dequeue(pk, 1000));
    EXPECT_EQ(3u, pk.key);
    EXPECT_EQ(&sendOp, pk.op);
    EXPECT_EQ(ECANCELED, pk.error);
    EXPECT_FALSE(port.Dequeue(pk, 20));
}

// A thread left behind by a stopped engine may still hold a handle id of the
// old port; on the next port that id must not name another connection.
TEST_F(PortTest, HandleIdsOfOnePortAreUnknownToAnother) {
    Pair a;
    auto idA = port.Associate(a.local, 1);
    ASSERT_NE(0u, idA);
    pl::IoPort next;
    ASSERT_EQ(0, next.Create());
    Pair b;
    auto idB = next.Associate(b.local, 2);
    ASSERT_NE(0u, idB);
    EXPECT_NE(idA, idB);
    uint8_t buf[16];
    EXPECT_EQ(EBADF, next.StartRecv(idA, &recvOp, buf, sizeof buf));
    EXPECT_EQ(EBADF, next.StartSend(idA, &sendOp, buf, 1));
    next.Close(idA);  // unknown there: b's socket stays open
    ASSERT_EQ(0, next.StartRecv(idB, &recvOp, buf, sizeof buf));
    ASSERT_EQ(1, ::send(b.peer, "k", 1, MSG_NOSIGNAL));
    pl::IoPacket pk;
    ASSERT_TRUE(next.Dequeue(pk, 5000));
    EXPECT_EQ(2u, pk.key);
    EXPECT_EQ(0, pk.error);
    EXPECT_EQ(1u, pk.bytes);
    next.Close(idB);
    port.Close(idA);
}

TEST_F(PortTest, KeylessWakeAndPostedPacketsReachWorkers) {
    std::atomic<int> woken{0}, posted{0};
    std::vector<std::thread> workers;
    for (int i = 0; i < 4; ++i) {
        workers.emplace_back([&] {
            for (;;) {
                pl::IoPacket pk;
                port.Dequeue(pk);
                if (!pk.key) {
                    ++woken;
                    return;
                }
                ++posted;
            }
        });
    }
    for (int i = 0; i < 100; ++i) port.Post(5, &recvOp, 0);
    for (int i = 0; i < 4; ++i) port.PostWake();
    for (auto& t : workers) t.join();
    EXPECT_EQ(4, woken.load());
    EXPECT_EQ(100, posted.load());
}

// The completion threads themselves wait in epoll_wait: a shutdown must free
// every one of them, not only the first that its wake-up reaches, and later
// calls return at once. The waiters share the port, so one that a broken
// shutdown leaves waiting is let go with it instead of hanging the test.
TEST_F(PortTest, ShutdownReleasesEveryWaitingThread) {
    auto shared = std::make_shared<pl::IoPort>();
    auto released = std::make_shared<std::atomic<int>>(0);
    ASSERT_EQ(0, shared->Create());
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i) {
        waiters.emplace_back([shared, released] {
            pl::IoPacket pk;
            if (!shared->Dequeue(pk)) ++*released;
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    shared->Shutdown();
    const bool all = kvotest::Eventually([&] { return released->load() == 4; });
    EXPECT_TRUE(all) << *released << " of 4 released";
    for (auto& t : waiters) all ? t.join() : t.detach();
    pl::IoPacket pk;
    EXPECT_FALSE(shared->Dequeue(pk));
}

// Shutdown does not wait for the threads in Dequeue (one that had taken its
// packet may still return it afterwards), but a call that starts after
// Shutdown has returned gets nothing, a packet posted after it never comes
// out, and none comes out twice. Round after round, each on a new port.
TEST_F(PortTest, ShutdownStopsEveryLaterCall) {
    constexpr uint32_t kBefore = 16, kAll = 20;  // packets posted before the shutdown, in all
    for (int round = 0; round < 500; ++round) {
        pl::IoPort port;
        ASSERT_EQ(0, port.Create());
        std::atomic<bool> shut{false};
        std::atomic<int> late{0};
        std::vector<std::atomic<int>> seen(kAll);
        std::vector<std::thread> takers;
        for (int t = 0; t < 8; ++t) {
            takers.emplace_back([&] {
                for (;;) {
                    const bool after = shut.load();
                    pl::IoPacket pk;
                    if (port.Dequeue(pk, 1000)) {
                        late += after;
                        if (pk.bytes < kAll) ++seen[pk.bytes];
                    } else if (!port.IsOpen()) {
                        return;
                    }
                }
            });
        }
        for (uint32_t i = 0; i < kBefore; ++i) port.Post(1, &sendOp, i);
        port.Shutdown();
        shut = true;
        for (uint32_t i = kBefore; i < kAll; ++i) port.Post(1, &sendOp, i);
        for (auto& t : takers) t.join();
        ASSERT_EQ(0, late.load()) << "round " << round;
        for (uint32_t i = 0; i < kAll; ++i) ASSERT_LE(seen[i].load(), i < kBefore ? 1 : 0) << "round " << round;
    }
}

// Two completion threads under two floods at once: 8 connections whose sends
// the socket takes at once, each completion starting the next send (so the
// queue never empties), and 8 whose peers write flat out, each receive
// reposted at once (so sockets are always ready). A byte for a quiet
// connection and a posted packet are still served, round after round.
TEST_F(PortTest, NeitherTheQueueNorTheSocketsStarveTheOther) {
    constexpr int kEach = 8;
    struct Conn {
        Pair pair;
        pl::IoPort::HandleId id = 0;
        pl::IoOperation op;
        uint8_t buf[4096];
        std::thread peer;
    };
    Pair quiet;
    const auto quietId = port.Associate(quiet.local, 100);
    uint8_t one[16];
    ASSERT_EQ(0, port.StartRecv(quietId, &recvOp, one, sizeof one));
    const std::vector<uint8_t> block(4096, 0x33);
    std::vector<std::unique_ptr<Conn>> conns;  // keys 1 to 16, the senders first
    for (int i = 0; i < 2 * kEach; ++i) {
        auto c = std::make_unique<Conn>();
        const bool sender = i < kEach;
        c->id = port.Associate(c->pair.local, i + 1);
        EXPECT_EQ(0, sender ? port.StartSend(c->id, &c->op, block.data(), 4096)
                            : port.StartRecv(c->id, &c->op, c->buf, 4096));
        c->peer = std::thread([fd = c->pair.peer, sender] {
            char b[4096] = {};
            while ((sender ? ::recv(fd, b, sizeof b, 0) : ::send(fd, b, sizeof b, MSG_NOSIGNAL)) > 0) {
            }
        });
        conns.push_back(std::move(c));
    }
    std::atomic<int> bytes{0}, posts{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> workers;
    for (int w = 0; w < 2; ++w) {
        workers.emplace_back([&] {
            for (pl::IoPacket pk; port.Dequeue(pk) && pk.key;) {
                if (pk.key == 100) {
                    ++bytes;
                    port.StartRecv(quietId, &recvOp, one, sizeof one);
                } else if (pk.key == 200) {
                    ++posts;
                } else if (!stop.load() && !pk.error) {
                    Conn& c = *conns[pk.key - 1];
                    if (pk.key <= kEach) port.StartSend(c.id, &c.op, block.data(), 4096);
                    if (pk.key > kEach && pk.bytes > 0) port.StartRecv(c.id, &c.op, c.buf, 4096);
                }
            }
        });
    }
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(1, ::send(quiet.peer, "q", 1, MSG_NOSIGNAL));
        port.Post(200, &sendOp, 0);
        const bool ok = kvotest::Eventually([&] { return bytes.load() > i && posts.load() > i; }, 500);
        EXPECT_TRUE(ok) << "round " << i << " not served within 500 ms: bytes " << bytes << ", packets " << posts;
        if (!ok) break;
    }
    stop.store(true);
    for (auto& c : conns) port.Close(c->id);  // the peers see the reset
    for (auto& c : conns) c->peer.join();
    port.Close(quietId);
    for (size_t i = 0; i < workers.size(); ++i) port.PostWake();
    for (auto& t : workers) t.join();
}

// A close that lets the sends arrive: the socket took 4 MB, most of it still
// in its buffers for a slow reader; after the close the reader still gets
// every byte, then the end of the stream.
TEST_F(PortTest, CloseLettingSendsArriveDeliversEveryByte) {
    Pair p;
    auto id = port.Associate(p.local, 1);
    const auto data = Pattern(4u << 20);
    std::vector<uint8_t> got;
    int last = -1;
    std::thread reader([&] {
        uint8_t b[32768];
        do {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            last = static_cast<int>(::recv(p.peer, b, sizeof b, 0));
            if (last > 0) got.insert(got.end(), b, b + last);
        } while (last > 0);
    });
    bool sent = true;
    for (size_t off = 0; sent && off < data.size();) {
        const uint32_t len = static_cast<uint32_t>(std::min<size_t>(data.size() - off, 65536));
        pl::IoPacket pk;
        sent = port.StartSend(id, &sendOp, data.data() + off, len) == 0 && port.Dequeue(pk, 10000) && pk.error == 0;
        off += pk.bytes;
    }
    EXPECT_TRUE(sent);
    port.Close(id, pl::IoPort::CloseMode::kLetSendsArrive);
    for (int i = 0; i < 300 && port.FinishLingering() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    reader.join();
    EXPECT_EQ(0, last);  // the end of the stream, not a reset
    EXPECT_EQ(data.size(), got.size());
    EXPECT_TRUE(data == got);
}

TEST_F(PortTest, ManyConnectionsOnWorkerThreads) {
    constexpr int kConns = 20;
    constexpr size_t kBytes = 50000;
    std::vector<std::unique_ptr<Pair>> pairs;
    struct Conn {
        pl::IoPort::HandleId id = 0;
        pl::IoOperation op;
        uint8_t buf[4096];
        std::vector<uint8_t> got;
        bool done = false;
    };
    std::vector<Conn> conns(kConns);
    auto data = Pattern(kBytes);
    for (int i = 0; i < kConns; ++i) {
        pairs.push_back(std::make_unique<Pair>());
        conns[i].id = port.Associate(pairs[i]->local, reinterpret_cast<uintptr_t>(&conns[i]));
        ASSERT_EQ(0, port.StartRecv(conns[i].id, &conns[i].op, conns[i].buf, 4096));
    }
    std::atomic<int> finished{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < 4; ++w) {
        workers.emplace_back([&] {
            for (;;) {
                pl::IoPacket pk;
                port.Dequeue(pk);
                if (!pk.key) return;
                auto* c = reinterpret_cast<Conn*>(pk.key);
                if (pk.error || pk.bytes == 0) {
                    c->done = true;
                    ++finished;
                    continue;
                }
                c->got.insert(c->got.end(), c->buf, c->buf + pk.bytes);
                port.StartRecv(c->id, &c->op, c->buf, 4096);
            }
        });
    }
    std::vector<std::thread> writers;
    for (int i = 0; i < kConns; ++i) {
        writers.emplace_back([&, i] {
            WriteAll(pairs[i]->peer, data);
            ::shutdown(pairs[i]->peer, SHUT_WR);
        });
    }
    for (auto& t : writers) t.join();
    for (int i = 0; i < 3000 && finished.load() < kConns; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    for (int w = 0; w < 4; ++w) port.PostWake();
    for (auto& t : workers) t.join();
    ASSERT_EQ(kConns, finished.load());
    for (auto& c : conns) {
        EXPECT_TRUE(c.done);
        EXPECT_EQ(data, c.got);
        port.Close(c.id);
    }
}

}  // namespace
