// Connections and links on loopback: data path, close semantics, lifetime.
#include "framework/net/tl_netengine.h"
#include "framework/net/tl_socketlink.h"
#include "tests/support/loopback_server.h"
#include "tests/support/net_recorder.h"
#include "tests/support/net_wait.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <thread>

using namespace corvane;
using kvotest::CheckPassesUntil;
using kvotest::NetEvents;
using kvotest::RecordingClient;

namespace {

std::string Pattern(size_t n, int seed = 0) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 31 + seed + i / 4096) & 0xFF);
    return s;
}

// Shrinks the send buffer of this process's socket connected to 127.0.0.1:port
// (the link's own socket, found among the open descriptors), so that a
// stalled peer soon makes the engine's sends end short. False if none found.
bool ShrinkSendBufferOfSocketTo(uint16_t port) {
    bool found = false;
    for (const int fd : kvotest::SocketsConnectedTo(port)) {
        const int size = 4096;  // the kernel's minimum applies
        found |= ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size)) == 0;
    }
    return found;
}

// The engine with no check thread: checks and idle calls are driven by the
// test, and closed links may be released at once.
class LinkTest : public kvotest::LoopbackEngineTest {
protected:
    void Connect() {
        client = std::make_unique<RecordingClient>();
        ASSERT_EQ(0, client->Connect("127.0.0.1", server.Port()));
        ASSERT_TRUE(client->WaitFor([](NetEvents& e) { return !e.connects.empty(); }));
        ASSERT_EQ(1u, client->Get<uint32_t>([](NetEvents& e) { return e.connects[0]; }));
        ASSERT_TRUE(server.WaitForConnections(1, 5000));
    }
};

TEST_F(LinkTest, ServerBytesArriveInOrderInBoundedBlocks) {
    Connect();
    const std::string data = Pattern(100 * 1024);
    ASSERT_TRUE(server.Send(0, data));
    ASSERT_TRUE(client->WaitFor([&](NetEvents& e) { return e.data.size() >= data.size(); }));
    client->Get<int>([&](NetEvents& e) {
        EXPECT_EQ(data, e.data);
        for (uint32_t n : e.blockSizes) {
            EXPECT_GT(n, 0u);
            EXPECT_LE(n, 4096u);
        }
        // Every callback ran on an engine thread, never on this one.
        for (auto id : e.callbackThreads) EXPECT_NE(std::this_thread::get_id(), id);
        return 0;
    });
    EXPECT_EQ(data.size(), client->GetBytesReceived());
}

TEST_F(LinkTest, LargeMessageLeavesInStagedSends) {
    Connect();
    const std::string msg = Pattern(10000, 7);
    ASSERT_EQ(0, client->Send(msg.data(), static_cast<uint32_t>(msg.size()), 0));
    ASSERT_TRUE(server.WaitForBytes(0, msg.size(), 5000));
    EXPECT_EQ(msg, server.Received(0));
    EXPECT_EQ(TL_NET_E_FAIL, client->Send(nullptr, 5, 0));
    ASSERT_TRUE(client->WaitFor([](NetEvents& e) {
        uint64_t n = 0;
        for (auto b : e.sent) n += b;
        return n >= 10000;
    }));
    auto sent = client->Get<std::vector<uint32_t>>([](NetEvents& e) { return e.sent; });
    EXPECT_EQ((std::vector<uint32_t>{4096, 4096, 1808}), sent);
    EXPECT_EQ(10000u, client->GetBytesSent());
    EXPECT_EQ(3u, client->GetSends());
}

TEST_F(LinkTest, ConcurrentSendsAllArrive) {
    Connect();
    constexpr int kThreads = 8, kEach = 25;
    std::vector<std::thread> ts;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t) {
        ts.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                char msg[17];
                std::snprintf(msg, sizeof msg, "<%02d:%04d:xxxxx>", t, i);
                if (client->Send(msg, 16, 0) != 0) ++failures;
            }
        });
    }
    for (auto& t : ts) t.join();
    EXPECT_EQ(0, failures.load());
    ASSERT_TRUE(server.WaitForBytes(0, 16u * kThreads * kEach, 5000));
    const std::string got = server.Received(0);
    ASSERT_EQ(16u * kThreads * kEach, got.size());
    std::set<std::string> msgs;
    for (size_t i = 0; i < got.size(); i += 16) msgs.insert(got.substr(i, 16));
    EXPECT_EQ(size_t(kThreads * kEach), msgs.size());
}

TEST_F(LinkTest, PeerCloseAndResetReportTheirReasons) {
    Connect();
    server.Close(0);
    ASSERT_TRUE(client->WaitFor([](NetEvents& e) { return !e.disconnects.empty(); }));
    EXPECT_EQ(TL_NET_REASON_PEER_CLOSED, client->Get<uint32_t>([](NetEvents& e) { return e.disconnects[0]; }));
    EXPECT_EQ(nullptr, client->GetLink());
    EXPECT_EQ(TL_NET_E_NO_LINK, client->Send("x", 1, 0));
    EXPECT_EQ(TL_NET_E_NO_LINK, client->Disconnect(0));

    // The sink connects again on a new link; a reset gives an I/O error.
    ASSERT_EQ(0, client->Connect("127.0.0.1", server.Port()));
    ASSERT_TRUE(server.WaitForConnections(2, 5000));
    ASSERT_TRUE(client->WaitFor([](NetEvents& e) { return e.connects.size() == 2; }));
    server.Reset(1);
    ASSERT_TRUE(client->WaitFor([](NetEvents& e) { return e.disconnects.size() == 2; }));
    EXPECT_EQ(TL_NET_REASON_IO_ERROR, client->Get<uint32_t>([](NetEvents& e) { return e.disconnects[1]; }));
    // Both links are released by the check.
    EXPECT_TRUE(CheckPassesUntil([] { return TL_NetLinkCount() == 0; }));
}

TEST_F(LinkTest, CloseWaitingForASendIsDeferredToTheCheck) {
    Connect();
    server.SetPaused(true);
    const std::string big = Pattern(16 << 20, 3);
    ITLSocketLink* link = client->GetLink();
    ASSERT_NE(nullptr, link);
    ASSERT_EQ(0, client->Send(big.data(), static_cast<uint32_t>(big.size()), 0));
    auto* conn = link->GetConnection();
    // The server reads nothing, so a send stays in flight.
    kvotest::Eventually([&] { return conn->IsSending(); }, 1000);
    ASSERT_TRUE(conn->IsSending());
    EXPECT_EQ(TL_NET_E_CLOSE_DEFERRED, link->Close(1, 0));
    EXPECT_EQ(TL_CONN_CLOSING, link->GetState());
    EXPECT_EQ(TL_NET_E_CLOSING, client->Send("x", 1, 0));
    EXPECT_TRUE(client->Get<bool>([](NetEvents& e) { return e.disconnects.empty(); }));
    server.SetPaused(false);
    // The check retries the close once nothing is in flight.
    ASSERT_TRUE(CheckPassesUntil([&] { return client->Get<bool>([](NetEvents& e) { return !e.disconnects.empty(); }); },
                                 20000));
    EXPECT_EQ(TL_NET_REASON_DEFERRED_CLOSE, client->Get<uint32_t>([](NetEvents& e) { return e.disconnects[0]; }));
    // What the completed sends left in the socket still arrives.
    ASSERT_TRUE(server.WaitForBytes(0, big.size(), 10000)) << server.Received(0).size();
    EXPECT_TRUE(big == server.Received(0));
}

// A peer that stops reading fills the socket's buffers, so the staged sends
// end short and the engine must send the rest of each later. Once the peer
// reads again every byte arrives, once and in order, and every byte is
// reported sent once.
TEST_F(LinkTest, PausedPeerGetsEveryByteOnceInOrder) {
    Connect();
    ASSERT_TRUE(ShrinkSendBufferOfSocketTo(server.Port()));
    server.SetPaused(true);
    constexpr int kMessages = 48;
    constexpr size_t kEach = 100000;  // not a multiple of the 4096-byte staging
    std::string all;
    for (int i = 0; i < kMessages; ++i) {
        const std::string msg = Pattern(kEach, i);
        ASSERT_EQ(0, client->Send(msg.data(), static_cast<uint32_t>(msg.size()), 0));
        all += msg;
    }
    ITLSocketLink* link = client->GetLink();
    ASSERT_NE(nullptr, link);
    // The peer reads nothing, so the sends back up and one stays in flight.
    EXPECT_TRUE(kvotest::Eventually([&] { return link->GetConnection()->IsSending(); }, 2000));
    EXPECT_LT(server.Received(0).size(), all.size());
    server.SetPaused(false);

    ASSERT_TRUE(server.WaitForBytes(0, all.size(), 10000)) << server.Received(0).size() << " of " << all.size();
    const std::string got = server.Received(0);
    ASSERT_EQ(all.size(), got.size());
    const auto diff = std::mismatch(all.begin(), all.end(), got.begin());
    EXPECT_TRUE(diff.first == all.end()) << "first wrong byte at offset " << (diff.first - all.begin());
    ASSERT_TRUE(client->WaitFor([&](NetEvents& e) {
        uint64_t n = 0;
        for (auto b : e.sent) n += b;
        return n >= all.size();
    }));
    EXPECT_EQ(all.size(), client->GetBytesSent());
    // Nothing more arrives afterwards.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(all.size(), server.Received(0).size());
}

// A small receive window in short segments at the peer and a small send
// buffer here: the socket takes only part of most staged sends, and the link
// must send the rest of each before anything else.
TEST_F(LinkTest, PartialSendsLeaveTheirRestFirst) {
    uint16_t port = 0;
    const int listener = kvotest::ListenOnLoopback(port, 4);
    ASSERT_GE(listener, 0);
    const int window = 4096, segment = 536;
    ::setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
    ::setsockopt(listener, IPPROTO_TCP, TCP_MAXSEG, &segment, sizeof segment);
    client = std::make_unique<RecordingClient>();
    ASSERT_EQ(0, client->Connect("127.0.0.1", port));
    const int peer = kvotest::AcceptWithin(listener, 5000);
    ::close(listener);
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(client->WaitFor([](NetEvents& e) { return !e.connects.empty(); }));
    ASSERT_TRUE(ShrinkSendBufferOfSocketTo(port));
    const timeval limit{5, 0};
    ::setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    const std::string all = Pattern(256 * 1024, 9);
    ASSERT_EQ(0, client->Send(all.data(), static_cast<uint32_t>(all.size()), 0));
    std::string got;
    char b[1024];
    for (ssize_t n = 1; n > 0 && got.size() < all.size();) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        n = ::recv(peer, b, sizeof b, 0);
        if (n > 0) got.append(b, static_cast<size_t>(n));
    }
    ::close(peer);
    ASSERT_EQ(all.size(), got.size());
    const auto diff = std::mismatch(all.begin(), all.end(), got.begin());
    EXPECT_TRUE(diff.first == all.end()) << "first wrong byte at offset " << (diff.first - all.begin());
    // The hazard was set up: sends were reported short.
    EXPECT_TRUE(client->Get<bool>([](NetEvents& e) {
        return std::count_if(e.sent.begin(), e.sent.end(), [](uint32_t n) { return n % 4096 != 0; }) > 1;
    }));
}

// Connects refused through the waiter thread, made on one thread while the
// check passes on another release the links and join their waiters.
TEST_F(LinkTest, RefusedConnectsReleasedWhileTheirWaitersEnd) {
    const uint16_t unused = kvotest::UnusedLoopbackPort();
    ASSERT_NE(0, unused);
    std::atomic<bool> done{false};
    std::thread connector([&] {
        for (int i = 0; i < 10; ++i) {
            ITLSocketLink* link = TL_CreateSocketLink(nullptr, TL_LINK_KIND_DEFAULT, nullptr);
            // Refused at once there is no waiter and the link stays idle.
            if (link && link->ConnectTo("127.0.0.1", unused, nullptr) != 0) link->Close(0, 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        done.store(true);
    });
    while (!done.load()) {
        TL_NetCheckPass();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    connector.join();
    EXPECT_TRUE(CheckPassesUntil([] { return TL_NetLinkCount() == 0; }));
}

TEST_F(LinkTest, ConnectGuardsAndRefusedConnects) {
    client = std::make_unique<RecordingClient>();
    EXPECT_EQ(TL_NET_E_EMPTY_HOST, client->Connect("", 80));
    EXPECT_EQ(TL_NET_E_EMPTY_HOST, client->Connect(nullptr, 80));
    EXPECT_EQ(TL_NET_E_PORT_ZERO, client->Connect("127.0.0.1", 0));
    EXPECT_EQ("", client->GetHost());
    EXPECT_EQ(TL_NET_E_PROXY_SETTINGS, client->Connect("127.0.0.1", server.Port(), "proxy_addr:nowhere,"));
    EXPECT_EQ(nullptr, client->GetLink());

    // A port nobody listens on: refused at once or through the waiter.
    const uint16_t unused = kvotest::UnusedLoopbackPort();
    ASSERT_NE(0, unused);
    int32_t rc = client->Connect("127.0.0.1", unused);
    EXPECT_TRUE(rc == 0 || rc == TL_NET_E_FAIL) << std::hex << rc;
    ASSERT_TRUE(client->WaitFor([](NetEvents& e) { return !e.disconnects.empty(); }));
    uint32_t code = client->Get<uint32_t>([](NetEvents& e) { return e.disconnects[0]; });
    EXPECT_TRUE(code == TL_NET_REASON_CONNECT_FAILED || code == 0x40) << std::hex << code;
    EXPECT_EQ(nullptr, client->GetLink());
    // The failed link is released, never left connecting.
    EXPECT_TRUE(CheckPassesUntil([] { return TL_NetLinkCount() == 0; }));
}

TEST_F(LinkTest, EmptyHostIsNotResolvedAndSecondConnectIsRefused) {
    RecordingClient* raw = new RecordingClient;
    client.reset(raw);
    ITLSocketLink* link = TL_CreateSocketLink(raw, TL_LINK_KIND_DEFAULT, nullptr);
    ASSERT_NE(nullptr, link);
    EXPECT_EQ(TL_NET_E_RESOLVE, link->ConnectTo("", server.Port(), nullptr));
    EXPECT_EQ(TL_NET_E_FAIL, link->ConnectAddressList(nullptr));
    TLLinkQueued q{99, 99};
    EXPECT_EQ(0, link->SetOption(TL_LINK_OPT_QUEUED, &q));
    EXPECT_EQ(0u, q.bytes);
    EXPECT_EQ(0u, q.buffers);
    EXPECT_EQ(TL_NET_E_UNSUPPORTED, link->SetOption(7, &q));
    CTLSendBuffer none;
    EXPECT_EQ(TL_NET_E_NOT_CONNECTED, link->Send(none, 0));
    link->Close(TL_NET_CLOSE_DETACH, 0);
    EXPECT_TRUE(CheckPassesUntil([] { return TL_NetLinkCount() == 0; }));
    Connect();
    // A connected sink refuses a second connect and keeps its address.
    EXPECT_EQ(TL_NET_E_CONNECTED, client->Connect("127.0.0.2", server.Port() + 1, nullptr, "other"));
    EXPECT_EQ("127.0.0.1", client->GetHost());
    EXPECT_EQ(server.Port(), client->GetPort());
    EXPECT_EQ("", client->GetSecondAddress());
    EXPECT_EQ(TL_NET_E_CONNECTED, client->Connect("127.0.0.1", server.Port(), "proxy_addr:nowhere,"));
    ASSERT_TRUE(server.Send(0, "still"));
    ASSERT_TRUE(client->WaitFor([](NetEvents& e) { return e.data == "still"; }));
}

TEST_F(LinkTest, ClosedLinksWaitForTheReleaseDelay) {
    TL_NetSetReleaseDelay(300);
    Connect();
    ASSERT_EQ(0, client->Disconnect(0));
    ASSERT_TRUE(client->WaitFor([](NetEvents& e) { return !e.disconnects.empty(); }));
    EXPECT_EQ(TL_NET_REASON_OWNER, client->Get<uint32_t>([](NetEvents& e) { return e.disconnects[0]; }));
    TL_NetCheckPass();
    TL_NetCheckPass();
    EXPECT_EQ(1u, TL_NetLinkCount());
    std::this_thread::sleep_for(std::chrono::milliseconds(350));
    EXPECT_TRUE(CheckPassesUntil([] { return TL_NetLinkCount() == 0; }, 2000));
    EXPECT_TRUE(server.WaitForPeerClose(0, 5000));
}

TEST_F(LinkTest, SendBudgetHoldsDataUntilTheCheck) {
    Connect();
    ITLSocketLink* link = client->GetLink();
    int32_t budget = 3000;
    ASSERT_EQ(0, link->SetOption(TL_LINK_OPT_BUDGET, &budget));
    const std::string a = Pattern(2000, 1), b = Pattern(2000, 2);
    EXPECT_EQ(2000, client->Send(a.data(), 2000, 0) == 0 ? 2000 : -1);
    client->Send(b.data(), 2000, 0);
    TLLinkQueued q{};
    link->SetOption(TL_LINK_OPT_QUEUED, &q);
    EXPECT_EQ(4000u, q.bytes);
    EXPECT_EQ(2u, q.buffers);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(0u, server.Received(0).size());
    TL_NetCheckPass();
    ASSERT_TRUE(server.WaitForBytes(0, 4000, 5000));
    EXPECT_EQ(a + b, server.Received(0));
}

// A close while connecting waits for the connect to end; the check then
// completes it. (Loopback connects end at once, so the connecting state is
// set by hand here.)
TEST_F(LinkTest, CloseWhileConnectingIsDeferred) {
    RecordingClient* raw = new RecordingClient;
    client.reset(raw);
    ITLSocketLink* link = TL_CreateSocketLink(raw, TL_LINK_KIND_DEFAULT, nullptr);
    ASSERT_NE(nullptr, link);
    raw->LinkAttach(link);
    ITLConnection* conn = link->GetConnection();
    conn->SetState(TL_CONN_CONNECTING, TL_CONN_CONNECT_MASK);
    EXPECT_EQ(TL_NET_E_BUSY, raw->Connect("127.0.0.1", server.Port()));
    EXPECT_EQ("", raw->GetHost());
    EXPECT_EQ(TL_NET_E_CLOSE_DEFERRED, raw->Disconnect(0));
    EXPECT_EQ(TL_CONN_CLOSING, link->GetState());
    EXPECT_EQ(TL_NET_E_CLOSING, raw->Connect("127.0.0.1", server.Port()));
    TL_NetCheckPass();  // still connecting: deferred again
    EXPECT_TRUE(raw->Get<bool>([](NetEvents& e) { return e.disconnects.empty(); }));
    conn->SetState(TL_CONN_IDLE, TL_CONN_CONNECT_MASK);  // the connect ended
    TL_NetCheckPass();
    ASSERT_TRUE(raw->WaitFor([](NetEvents& e) { return !e.disconnects.empty(); }));
    EXPECT_EQ(TL_NET_REASON_DEFERRED_CLOSE, raw->Get<uint32_t>([](NetEvents& e) { return e.disconnects[0]; }));
    EXPECT_EQ(TL_CONN_CLOSED, link->GetState());
    EXPECT_EQ(nullptr, raw->GetLink());
    EXPECT_TRUE(CheckPassesUntil([] { return TL_NetLinkCount() == 0; }));
}

// Closing with flag 0x2 detaches the sink: nothing is reported after it.
TEST_F(LinkTest, DetachedSinkHearsNothingMore) {
    Connect();
    ASSERT_TRUE(server.Send(0, "before"));
    ASSERT_TRUE(client->WaitFor([](NetEvents& e) { return e.data == "before"; }));
    ASSERT_EQ(0, client->Disconnect(TL_NET_CLOSE_DETACH));
    EXPECT_EQ(nullptr, client->GetLink());
    server.Send(0, "after");
    EXPECT_TRUE(server.WaitForPeerClose(0, 5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    client->Get<int>([](NetEvents& e) {
        EXPECT_EQ("before", e.data);
        EXPECT_TRUE(e.disconnects.empty());
        return 0;
    });
    EXPECT_TRUE(CheckPassesUntil([] { return TL_NetLinkCount() == 0; }));
}

// A sink may be freed from its own disconnect callback: once it has been
// told that its link is gone, neither the link nor the sink's own code
// touches it again. (Under AddressSanitizer a late write is caught.)
struct FreedOnDisconnect {
    std::atomic<int> freed{0};
    std::atomic<uint32_t> code{0};
};

int32_t FreeSinkOnDisconnect(void* ctx, CTLNetNotify* sink, uint32_t code, ITLConnection*) {
    auto* f = static_cast<FreedOnDisconnect*>(ctx);
    delete sink;
    f->code.store(code);
    f->freed.fetch_add(1);
    return 0;
}

TEST_F(LinkTest, SinkFreedInItsDisconnectCallback) {
    FreedOnDisconnect f;
    // The peer closes a connected link.
    auto* sink = new CTLClientNotify;
    sink->SetDisconnectCallback(&f, FreeSinkOnDisconnect);
    ASSERT_EQ(0, sink->Connect("127.0.0.1", server.Port()));
    ASSERT_TRUE(server.WaitForConnections(1, 5000));
    server.Close(0);
    ASSERT_TRUE(CheckPassesUntil([&] { return f.freed.load() == 1; }));
    EXPECT_EQ(TL_NET_REASON_PEER_CLOSED, f.code.load());

    // A connect that fails on the waiter thread reports the failure the same way.
    const uint16_t unused = kvotest::UnusedLoopbackPort();
    ASSERT_NE(0, unused);
    sink = new CTLClientNotify;
    sink->SetDisconnectCallback(&f, FreeSinkOnDisconnect);
    const int32_t rc = sink->Connect("127.0.0.1", unused);
    if (rc != 0) {
        // Refused at once: the sink heard of it on this thread already.
        ASSERT_EQ(2, f.freed.load());
    }
    ASSERT_TRUE(CheckPassesUntil([&] { return f.freed.load() == 2; }));
    const uint32_t code = f.code.load();
    EXPECT_TRUE(code == TL_NET_REASON_CONNECT_FAILED || code == 0x40) << std::hex << code;
    EXPECT_TRUE(CheckPassesUntil([] { return TL_NetLinkCount() == 0; }));
}

}  // namespace
