// Event sinks with a scripted packet filter, on loopback connections.
#include "framework/net/tl_netengine.h"
#include "framework/net/tl_netnotify.h"
#include "framework/net/tl_socketlink.h"
#include "tests/support/loopback_server.h"
#include "tests/support/net_recorder.h"
#include "tests/support/net_wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <mutex>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace corvane;
using kvotest::Eventually;
using kvotest::NetEvents;
using kvotest::RecordingClient;

namespace {

struct FilterLog {
    std::mutex mutex;
    std::deque<int> unpackScript;  // results of the coming Unpack calls (then 2)
    int packResult = 0;
    uint32_t connectStatus = TL_CONNECT_STEP_DEFAULT;
    std::string connectBlock;
    int idleResult = 0;
    std::string idleBytes;
    std::atomic<int> resets{0};
    std::atomic<int> clones{0};
    std::atomic<int> replaced{0};
    std::atomic<int> alive{0};
    std::vector<std::string> fed;  // bytes given to Unpack, per call
};

// A filter that answers Unpack from a script; each packet it yields is the
// text "p<n>".
class ScriptFilter : public CTLPackFilter {
public:
    explicit ScriptFilter(FilterLog* log) : m_log(log) { ++m_log->alive; }
    ~ScriptFilter() override { --m_log->alive; }
    int Unpack(int, ITLConnection*, const void* data, uint32_t length, CTLNetBufferList& out) override {
        std::lock_guard<std::mutex> g(m_log->mutex);
        m_log->fed.emplace_back(static_cast<const char*>(data ? data : ""), length);
        int r = 2;
        if (!m_log->unpackScript.empty()) {
            r = m_log->unpackScript.front();
            m_log->unpackScript.pop_front();
        }
        if (r == 1 || r == 3 || r == 4 || r == 5 || r == 8) {
            std::string p = "p" + std::to_string(++m_packets);
            out.AppendBlock(p.data(), static_cast<uint32_t>(p.size()));
        }
        return r;
    }
    int Pack(const void* data, uint32_t length, uint32_t, CTLSendBuffer& buf) override {
        buf.AppendBlock(data, length);
        return m_log->packResult;
    }
    uint32_t OnConnectStep(int, ITLConnection*, int, CTLSendBuffer& block) override {
        if (!m_log->connectBlock.empty())
            block.AppendBlock(m_log->connectBlock.data(), static_cast<uint32_t>(m_log->connectBlock.size()));
        return m_log->connectStatus;
    }
    int OnIdle(int, CTLNetBufferList& out) override {
        if (!m_log->idleBytes.empty())
            out.AppendBlock(m_log->idleBytes.data(), static_cast<uint32_t>(m_log->idleBytes.size()));
        return m_log->idleResult;
    }
    CTLPackFilter* Clone() override {
        ++m_log->clones;
        return new ScriptFilter(m_log);
    }
    CTLPackFilter* Reset() override {
        ++m_log->resets;
        return this;
    }
    void OnReplace(CTLPackFilter*) override { ++m_log->replaced; }
    int64_t Control(int what, int64_t, const void*) override { return what == 1 ? 11 : what == 2 ? 22 : 0; }

private:
    FilterLog* m_log;
    int m_packets = 0;
};

class SinkTest : public kvotest::LoopbackEngineTest {
protected:
    void TearDown() override {
        LoopbackEngineTest::TearDown();
        EXPECT_EQ(0, log.alive.load());
    }
    void Connect(bool lists = true) {
        client = std::make_unique<RecordingClient>(lists);
        ScriptFilter proto(&log);
        client->SetFilter(&proto, 0);  // stores a clone
        ASSERT_EQ(0, client->Connect("127.0.0.1", server.Port()));
        ASSERT_TRUE(server.WaitForConnections(1, 5000));
        ASSERT_TRUE(Eventually([&] { return log.resets.load() >= 1; }));
    }
    void Script(std::initializer_list<int> r) {
        std::lock_guard<std::mutex> g(log.mutex);
        log.unpackScript.assign(r.begin(), r.end());
    }
    FilterLog log;
};

TEST_F(SinkTest, PacketsThenPartialFrame) {
    Connect();
    Script({1, 1, 1, 2});
    ASSERT_TRUE(server.Send(0, "abc"));
    ASSERT_TRUE(client->WaitFor([](NetEvents& e) { return !e.partials.empty(); }));
    client->Get<int>([](NetEvents& e) {
        EXPECT_EQ((std::vector<uint32_t>{1, 1, 1}), e.listSizes);
        EXPECT_EQ("p1p2p3", e.data);
        EXPECT_EQ((std::vector<uint32_t>{1, 1, 1}), e.receiveCodes);
        EXPECT_EQ(22, e.partials[0].first);
        EXPECT_EQ(11, e.partials[0].second);
        return 0;
    });
    std::lock_guard<std::mutex> g(log.mutex);
    ASSERT_EQ(4u, log.fed.size());
    EXPECT_EQ("abc", log.fed[0]);
    EXPECT_EQ("", log.fed[1]);  // repeats carry no bytes
}

TEST_F(SinkTest, EveryUnpackResult) {
    Connect();
    // 0: the raw bytes go to the receive callbacks.
    Script({0});
    ASSERT_TRUE(server.Send(0, "raw"));
    ASSERT_TRUE(client->WaitFor([](NetEvents& e) { return e.data == "raw"; }));
    // 3: one list with code 9.
    Script({3});
    ASSERT_TRUE(server.Send(0, "x"));
    ASSERT_TRUE(client->WaitFor([](NetEvents& e) { return e.receiveCodes.size() == 2; }));
    EXPECT_EQ(9u, client->Get<uint32_t>([](NetEvents& e) { return e.receiveCodes[1]; }));
    // 4: the list goes back to the peer.
    Script({4});
    ASSERT_TRUE(server.Send(0, "x"));
    ASSERT_TRUE(server.WaitForBytes(0, 2, 5000));
    EXPECT_EQ("p2", server.Received(0));
    // 5 then 1: sent, then packets.
    Script({5, 1, 2});
    ASSERT_TRUE(server.Send(0, "x"));
    ASSERT_TRUE(server.WaitForBytes(0, 4, 5000));
    EXPECT_EQ("p2p3", server.Received(0));
    ASSERT_TRUE(client->WaitFor([](NetEvents& e) { return e.receiveCodes.size() == 3; }));
    // 6: a connect event with code 9.
    Script({6});
    ASSERT_TRUE(server.Send(0, "x"));
    ASSERT_TRUE(client->WaitFor([](NetEvents& e) { return e.connects.size() == 2; }));
    EXPECT_EQ(9u, client->Get<uint32_t>([](NetEvents& e) { return e.connects[1]; }));
    // 8: the first block straight to the link.
    Script({8});
    ASSERT_TRUE(server.Send(0, "x"));
    ASSERT_TRUE(server.WaitForBytes(0, 6, 5000));
    EXPECT_EQ("p2p3p5", server.Received(0));
    // -1 and any unknown answer: the error event.
    Script({-1});
    ASSERT_TRUE(server.Send(0, "x"));
    ASSERT_TRUE(client->WaitFor([](NetEvents& e) { return !e.errors.empty(); }));
    EXPECT_EQ(17u, client->Get<uint32_t>([](NetEvents& e) { return e.errors[0].first; }));
    EXPECT_EQ(TL_NET_E_UNPACK, client->Get<int32_t>([](NetEvents& e) { return e.errors[0].second; }));
    Script({42});
    ASSERT_TRUE(server.Send(0, "x"));
    ASSERT_TRUE(client->WaitFor([](NetEvents& e) { return e.errors.size() == 2; }));
    // 7: swallowed, nothing reported.
    Script({7});
    ASSERT_TRUE(server.Send(0, "x"));
    ASSERT_TRUE(Eventually([&] {
        std::lock_guard<std::mutex> g(log.mutex);
        return log.unpackScript.empty();
    }));
    EXPECT_EQ(2u, client->Get<size_t>([](NetEvents& e) { return e.errors.size(); }));
}

TEST_F(SinkTest, PackResultsDecideTheSend) {
    Connect();
    log.packResult = 2;
    EXPECT_GT(client->Send("hello", 5, 0), 0);  // queued bytes
    ASSERT_TRUE(server.WaitForBytes(0, 5, 5000));
    log.packResult = 7;
    EXPECT_EQ(TL_NET_E_PACK, client->Send("bad", 3, 0));
    ASSERT_TRUE(client->WaitFor([](NetEvents& e) { return !e.errors.empty(); }));
    EXPECT_EQ(16u, client->Get<uint32_t>([](NetEvents& e) { return e.errors[0].first; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ("hello", server.Received(0));
}

TEST_F(SinkTest, SetFilterKeepsReplacesOrAdopts) {
    RecordingClient c;
    ScriptFilter a(&log);
    EXPECT_EQ(1, c.SetFilter(nullptr, 0));
    EXPECT_EQ(nullptr, c.GetFilter());
    c.SetFilter(&a, 0);
    CTLPackFilter* first = c.GetFilter();
    ASSERT_NE(nullptr, first);
    EXPECT_NE(&a, first);  // a clone
    c.SetFilter(&a, 0);
    EXPECT_EQ(first, c.GetFilter());  // kept, offered the new one
    EXPECT_EQ(1, log.replaced.load());
    const int clones = log.clones.load(), alive = log.alive.load();
    c.SetFilter(&a, 1);
    EXPECT_EQ(clones + 1, log.clones.load());  // the old one deleted, a new clone
    EXPECT_EQ(alive, log.alive.load());
    auto* own = new ScriptFilter(&log);
    c.SetFilter(own, 3);
    EXPECT_EQ(own, c.GetFilter());  // adopted as given
}

TEST_F(SinkTest, ConnectStepSendsTheFilterBlockAndMayWait) {
    log.connectBlock = "HELLO";
    log.connectStatus = 0x11100000;  // send the block, raise now, result 0
    Connect();
    ASSERT_TRUE(server.WaitForBytes(0, 5, 5000));
    EXPECT_EQ("HELLO", server.Received(0));
    ASSERT_TRUE(client->WaitFor([](NetEvents& e) { return !e.connects.empty(); }));
    client.reset();
    log.connectBlock.clear();
    log.connectStatus = 0x22200000;  // wait for the filter
    client = std::make_unique<RecordingClient>(true);
    ScriptFilter proto(&log);
    client->SetFilter(&proto, 0);
    ASSERT_EQ(0, client->Connect("127.0.0.1", server.Port()));
    ASSERT_TRUE(server.WaitForConnections(2, 5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(client->Get<bool>([](NetEvents& e) { return e.connects.empty(); }));
    // The filter later reports the handshake done (result 6).
    Script({6});
    ASSERT_TRUE(server.Send(1, "x"));
    ASSERT_TRUE(client->WaitFor([](NetEvents& e) { return !e.connects.empty(); }));
    EXPECT_EQ(9u, client->Get<uint32_t>([](NetEvents& e) { return e.connects[0]; }));
}

TEST_F(SinkTest, IdleCallSendsWhatTheFilterAsks) {
    log.idleBytes = "IDLE";
    log.idleResult = 4;
    Connect();
    TL_NetCheckPass();  // the new link joins the active list
    TL_NetIdlePass();
    ASSERT_TRUE(server.WaitForBytes(0, 4, 5000));
    EXPECT_EQ("IDLE", server.Received(0).substr(0, 4));
}

// A listening link accepts: the accepted sink is a new client sink with the
// callbacks and a clone of the filter.
TEST_F(SinkTest, ListeningLinkAcceptsWithCopiedCallbacks) {
    RecordingClient listener(true);
    ScriptFilter proto(&log);
    listener.SetFilter(&proto, 0);
    ITLSocketLink* link = TL_CreateSocketLink(&listener, TL_LINK_KIND_DEFAULT, nullptr);
    ASSERT_NE(nullptr, link);
    listener.LinkAttach(link);
    ASSERT_EQ(0, link->Listen(0, "127.0.0.1"));
    EXPECT_EQ(TL_NET_E_LISTEN_SOCKET, link->Listen(0, "127.0.0.1"));
    auto* conn = static_cast<CTLWindowsTcpConnection*>(link->GetConnection());
    const uint16_t port = conn->GetListenPort();
    ASSERT_NE(0, port);

    const int s = kvotest::ConnectToLoopback(port);
    ASSERT_GE(s, 0);
    ASSERT_TRUE(listener.WaitFor([](NetEvents& e) { return !e.connects.empty(); }));
    uint64_t accepted = 0, ms = 0;
    TL_NetGetAcceptStats(accepted, ms);
    EXPECT_TRUE(Eventually([&] {
        TL_NetGetAcceptStats(accepted, ms);
        return accepted >= 1;
    }));
    EXPECT_GE(log.clones.load(), 2);  // the listener's and the accepted sink's
    Script({1});
    ASSERT_EQ(1, ::send(s, "z", 1, MSG_NOSIGNAL));
    ASSERT_TRUE(listener.WaitFor([](NetEvents& e) { return e.data == "p1"; }));
    ::close(s);
    ASSERT_TRUE(listener.WaitFor([](NetEvents& e) { return !e.disconnects.empty(); }));
    EXPECT_EQ(TL_NET_REASON_PEER_CLOSED, listener.Get<uint32_t>([](NetEvents& e) { return e.disconnects[0]; }));
    // Closing the listening link reports the listening flag.
    ASSERT_EQ(0, listener.Disconnect(0));
    ASSERT_TRUE(listener.WaitFor([](NetEvents& e) { return e.disconnects.size() == 2; }));
    EXPECT_EQ(TL_NET_REASON_LISTENING, listener.Get<uint32_t>([](NetEvents& e) { return e.disconnects[1]; }));
}

// A client sink with a scripted proxy handshake through a real proxy handle
// that names the test server itself: the first request is "CONNECT"; a reply
// "AGAIN" asks for "NEXT", "OK" finishes the tunnel, "FAILSEND" makes the
// next request's send fail, anything else is refused.
class ProxyClient : public RecordingClient {
public:
    ProxyClient() : RecordingClient(true) {}
    ~ProxyClient() override {
        if (GetLink()) Disconnect(TL_NET_CLOSE_DETACH);
    }

protected:
    int32_t BuildProxy(const char*) override {
        const std::string self = m_host + ":" + std::to_string(m_port);
        return CTLClientNotify::BuildProxy(self.c_str());
    }
    int32_t ProxyBuildRequest(uint8_t* out, uint32_t size) override {
        if (size < 7) return -1;
        std::memcpy(out, "CONNECT", 7);
        return 7;
    }
    int32_t ProxyOnReply(const void* data, uint32_t length, uint8_t* out, uint32_t) override {
        const std::string reply(static_cast<const char*>(data), length);
        if (reply == "OK") return 0;
        if (reply == "AGAIN" || reply == "FAILSEND") {
            // A link that is closing refuses the next request.
            if (reply == "FAILSEND") GetLink()->GetConnection()->SetState(TL_CONN_CLOSING, TL_CONN_CLOSE_MASK);
            std::memcpy(out, "NEXT", 4);
            return 4;
        }
        return -1;
    }
};

TEST_F(SinkTest, ProxyHandshakeRaisesConnectTwiceAndSwallowsItsReplies) {
    auto* c = new ProxyClient;
    client.reset(c);
    ASSERT_EQ(0, c->Connect("127.0.0.1", server.Port(), "scripted"));
    ASSERT_TRUE(server.WaitForBytes(0, 7, 5000));
    EXPECT_EQ("CONNECT", server.Received(0));
    // TCP is up to the proxy: connect code 1024.
    ASSERT_TRUE(c->WaitFor([](NetEvents& e) { return e.connects.size() == 1; }));
    EXPECT_EQ(1024u, c->Get<uint32_t>([](NetEvents& e) { return e.connects[0]; }));
    ASSERT_TRUE(server.Send(0, "AGAIN"));
    ASSERT_TRUE(server.WaitForBytes(0, 11, 5000));
    EXPECT_EQ("CONNECTNEXT", server.Received(0));
    ASSERT_TRUE(server.Send(0, "OK"));
    // The tunnel stands: connect code 33.
    ASSERT_TRUE(c->WaitFor([](NetEvents& e) { return e.connects.size() == 2; }));
    EXPECT_EQ(33u, c->Get<uint32_t>([](NetEvents& e) { return e.connects[1]; }));
    // Later bytes are the server's; none of the proxy's replies was delivered.
    ASSERT_TRUE(server.Send(0, "data"));
    ASSERT_TRUE(c->WaitFor([](NetEvents& e) { return e.data == "data"; }));
    server.Close(0);
    ASSERT_TRUE(c->WaitFor([](NetEvents& e) { return !e.disconnects.empty(); }));
    EXPECT_EQ(TL_NET_REASON_PEER_CLOSED, c->Get<uint32_t>([](NetEvents& e) { return e.disconnects[0]; }));
}

TEST_F(SinkTest, ProxyHandshakeFailures) {
    // Closed during the handshake: +0x200.
    auto* c = new ProxyClient;
    client.reset(c);
    ASSERT_EQ(0, c->Connect("127.0.0.1", server.Port(), "scripted"));
    ASSERT_TRUE(server.WaitForBytes(0, 7, 5000));
    server.Close(0);
    ASSERT_TRUE(c->WaitFor([](NetEvents& e) { return !e.disconnects.empty(); }));
    EXPECT_EQ(TL_NET_REASON_PEER_CLOSED + 0x200, c->Get<uint32_t>([](NetEvents& e) { return e.disconnects[0]; }));

    // A next request that cannot be sent, and a refused reply, raise the
    // error event with the receive code + 4 and close the connection;
    // nothing reaches the data callbacks.
    const std::pair<const char*, int32_t> failures[] = {{"FAILSEND", TL_NET_E_CLOSING}, {"NO", -1}};
    size_t n = 1;
    for (const auto& failure : failures) {
        const char* reply = failure.first;
        const int32_t code = failure.second;
        c = new ProxyClient;
        client.reset(c);
        ASSERT_EQ(0, c->Connect("127.0.0.1", server.Port(), "scripted"));
        ASSERT_TRUE(server.WaitForConnections(n + 1, 5000));
        ASSERT_TRUE(c->WaitFor([](NetEvents& e) { return e.connects.size() == 1; }));
        ASSERT_TRUE(server.Send(n, reply));
        ASSERT_TRUE(c->WaitFor([](NetEvents& e) { return !e.disconnects.empty(); }));
        c->Get<int>([&](NetEvents& e) {
            EXPECT_EQ((std::vector<std::pair<uint32_t, int32_t>>{{5, code}}), e.errors) << reply;
            EXPECT_EQ(TL_NET_REASON_OWNER + 0x200, e.disconnects[0]);
            EXPECT_EQ("", e.data);
            return 0;
        });
        EXPECT_TRUE(server.WaitForPeerClose(n, 5000));
        ++n;
    }
}

}  // namespace
