// Client sinks that reach a loopback server through fake HTTP, SOCKS4 and
// SOCKS5 proxies over the real socket engine: tunnels that stand and carry
// data both ways, refusals, logins and replies cut short.
#include "framework/net/tl_netcodes.h"
#include "framework/net/tl_proxy.h"
#include "tests/support/fake_proxy.h"
#include "tests/support/net_wait.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <string>

using namespace corvane;
using kvotest::FakeProxy;
using kvotest::NetEvents;
using kvotest::RecordingClient;

namespace {

// "local.test" resolves here; every other name is left to the proxy.
bool TestLookup(const char* host, uint32_t* address) {
    if (std::strcmp(host, "local.test") != 0) return false;
    *address = htonl(INADDR_LOOPBACK);
    return true;
}

class ProxyEngineTest : public kvotest::LoopbackEngineTest {
protected:
    void SetUp() override {
        LoopbackEngineTest::SetUp();
        TL_SetProxyNameLookup(TestLookup);
    }
    void TearDown() override {
        TL_SetProxyNameLookup(nullptr);
        LoopbackEngineTest::TearDown();
    }

    // Starts a fake proxy and connects a new client through it to host and
    // the loopback server's port. settings holds "@" where the proxy's port
    // goes.
    void Start(const FakeProxy::Script& script, const std::string& settings, const char* host = "127.0.0.1") {
        // The previous client goes first, while its link can still wait for
        // a callback in progress; then the proxy it was connected to.
        client.reset();
        proxy = std::make_unique<FakeProxy>();
        FakeProxy::Script s = script;
        s.names["target.test"] = "127.0.0.1";
        ASSERT_TRUE(proxy->Start(s));
        std::string text = settings;
        text.replace(text.find('@'), 1, std::to_string(proxy->Port()));
        client = std::make_unique<RecordingClient>();
        ASSERT_EQ(0, client->Connect(host, server.Port(), text.c_str()));
    }

    // The tunnel stands (connect 1024 to the proxy, then 33) and carries
    // bytes both ways to the server's connection i.
    void ExpectTunnel(size_t i) {
        ASSERT_TRUE(client->WaitFor([](NetEvents& e) { return e.connects.size() >= 2 || !e.errors.empty(); }));
        ASSERT_EQ((std::vector<uint32_t>{1024, 33}),
                  client->Get<std::vector<uint32_t>>([](NetEvents& e) { return e.connects; }));
        ASSERT_TRUE(server.WaitForConnections(i + 1, 5000));
        ASSERT_EQ(0, client->Send("ping", 4, 0));
        ASSERT_TRUE(server.WaitForBytes(i, 4, 5000));
        EXPECT_EQ("ping", server.Received(i));
        ASSERT_TRUE(server.Send(i, "pong"));
        ASSERT_TRUE(client->WaitFor([](NetEvents& e) { return e.data == "pong"; }));
        EXPECT_TRUE(client->Get<bool>([](NetEvents& e) { return e.errors.empty(); }));
    }

    // The handshake failed with code: error event 5 (the receive code + 4,
    // or the start's own code), the connection closed during the handshake,
    // nothing delivered. A failed start comes before the connect event 1024.
    void ExpectFailure(int32_t code, bool atStart = false) {
        const std::vector<uint32_t> connects = atStart ? std::vector<uint32_t>{} : std::vector<uint32_t>{1024};
        ASSERT_TRUE(client->WaitFor([](NetEvents& e) { return !e.disconnects.empty(); }));
        client->Get<int>([&](NetEvents& e) {
            EXPECT_EQ(1u, e.errors.size());
            if (!e.errors.empty()) {
                EXPECT_EQ(5u, e.errors[0].first);
                EXPECT_EQ(code, e.errors[0].second) << std::hex << e.errors[0].second;
            }
            EXPECT_EQ(connects, e.connects);
            EXPECT_EQ(TL_NET_REASON_OWNER + 0x200, e.disconnects[0]);
            EXPECT_EQ("", e.data);
            return 0;
        });
    }

    std::unique_ptr<FakeProxy> proxy;
};

TEST_F(ProxyEngineTest, TunnelsThroughEveryKind) {
    const std::string port = std::to_string(server.Port());
    FakeProxy::Script s;

    // SOCKS4 to a dotted address: the 9-byte request.
    s.kind = FakeProxy::Kind::Socks4;
    Start(s, "127.0.0.1:@:socks4");
    ExpectTunnel(0);
    ASSERT_TRUE(proxy->WaitForHandshakes(1, 5000));
    EXPECT_EQ(std::string("\x04\x01", 2) + char(server.Port() >> 8) + char(server.Port() & 0xFF) +
                  std::string("\x7f\x00\x00\x01\x00", 5),
              proxy->Request(0));
    // SOCKS4a: a name this side cannot resolve goes to the proxy.
    Start(s, "127.0.0.1:@:socks4", "target.test");
    ExpectTunnel(1);
    EXPECT_EQ("target.test:" + port, proxy->Target(0));
    // A name that resolves here is sent as its address.
    Start(s, "127.0.0.1:@:socks4", "local.test");
    ExpectTunnel(2);
    EXPECT_EQ("127.0.0.1:" + port, proxy->Target(0));

    // SOCKS5 without a login, by address and by name; the first form of the
    // settings text.
    s.kind = FakeProxy::Kind::Socks5;
    Start(s, "127.0.0.1:@:socks5");
    ExpectTunnel(3);
    EXPECT_EQ("127.0.0.1:" + port, proxy->Target(0));
    Start(s, "proxy_ops=SOCKS5&proxy_addr=127.0.0.1&proxy_port=@", "target.test");
    ExpectTunnel(4);
    EXPECT_EQ("target.test:" + port, proxy->Target(0));
    // SOCKS5 with a user name and password.
    s.user = "bob";
    s.password = "s3cret";
    Start(s, "127.0.0.1:@:socks5:bob:s3cret");
    ExpectTunnel(5);

    // HTTP CONNECT, with and without the Basic credential it asks for.
    s.kind = FakeProxy::Kind::Http;
    Start(s, "127.0.0.1:@:http:bob:s3cret");
    ExpectTunnel(6);
    EXPECT_EQ("127.0.0.1:" + port, proxy->Target(0));
    s.user.clear();
    Start(s, "127.0.0.1:@:http", "target.test");
    ExpectTunnel(7);
    ASSERT_TRUE(proxy->WaitForHandshakes(1, 5000));
    EXPECT_EQ("CONNECT target.test:" + port + " HTTP/1.0\r\nHost: target.test\r\nProxy-authorization: Basic \r\n\r\n",
              proxy->Request(0));
}

TEST_F(ProxyEngineTest, RefusalsLoginsAndShortReplies) {
    struct Case {
        FakeProxy::Kind kind;
        const char* settings;
        int32_t code;
        void (*script)(FakeProxy::Script&);
    };
    using K = FakeProxy::Kind;
    const Case cases[] = {
        {K::Socks4, "127.0.0.1:@:socks4", TL_PROXY_E_SOCKS4_REFUSED, [](FakeProxy::Script& s) { s.refuseCode = 91; }},
        {K::Socks4, "127.0.0.1:@:socks4", TL_PROXY_E_SOCKS4_93, [](FakeProxy::Script& s) { s.refuseCode = 93; }},
        {K::Socks4, "127.0.0.1:@:socks4", TL_PROXY_E_SOCKS4_REFUSED, [](FakeProxy::Script& s) { s.truncate = true; }},
        {K::Socks5, "127.0.0.1:@:socks5", TL_PROXY_E_UNREACHABLE, [](FakeProxy::Script& s) { s.refuseCode = 5; }},
        {K::Socks5, "127.0.0.1:@:socks5", TL_PROXY_E_SOCKS5_FAILED, [](FakeProxy::Script& s) { s.truncate = true; }},
        // The proxy wants a login the client cannot offer, or asks for one anyway.
        {K::Socks5, "127.0.0.1:@:socks5", TL_PROXY_E_SOCKS5_FAILED, [](FakeProxy::Script& s) { s.user = "bob"; }},
        {K::Socks5, "127.0.0.1:@:socks5", TL_PROXY_E_SOCKS5_NO_LOGIN, [](FakeProxy::Script& s) { s.forceMethod = 2; }},
        {K::Socks5, "127.0.0.1:@:socks5:bob:wrong", TL_PROXY_E_SOCKS5_GENERAL,
         [](FakeProxy::Script& s) {
             s.user = "bob";
             s.password = "s3cret";
         }},
        {K::Http, "127.0.0.1:@:http", TL_PROXY_E_HTTP_REFUSED, [](FakeProxy::Script& s) { s.user = "bob"; }},
        {K::Http, "127.0.0.1:@:http", TL_PROXY_E_HTTP_REFUSED, [](FakeProxy::Script& s) { s.truncate = true; }},
        {K::Http, "127.0.0.1:@:http", TL_PROXY_E_UNREACHABLE,
         [](FakeProxy::Script& s) { s.refuseLine = "HTTP/1.1 200 OK"; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.settings + std::string(" ") + std::to_string(c.code));
        FakeProxy::Script s;
        s.kind = c.kind;
        s.trailer = "not for the client";  // sent with the refusal, never delivered
        c.script(s);
        Start(s, c.settings);
        ExpectFailure(c.code);
    }
    // Proxies that reached the server before cutting their reply short
    // passed nothing on.
    for (size_t i = 0; i < server.ConnectionCount(); ++i) EXPECT_EQ("", server.Received(i));

    // A request that cannot be built (a user name no SOCKS5 login can carry)
    // fails at the start; the proxy hears nothing.
    FakeProxy::Script s;
    s.kind = K::Socks5;
    Start(s, "127.0.0.1:@:socks5:" + std::string(300, 'u'));
    ExpectFailure(TL_NET_E_PROXY_REQUEST, true);
    ASSERT_TRUE(proxy->WaitForHandshakes(1, 10000));
    EXPECT_EQ("", proxy->Request(0));

    // The same sink connects again with new settings once the link is gone.
    ASSERT_TRUE(kvotest::Eventually([&] { return client->GetLink() == nullptr; }));
    proxy = std::make_unique<FakeProxy>();
    ASSERT_TRUE(proxy->Start(s));
    const std::string text = "127.0.0.1:" + std::to_string(proxy->Port()) + ":socks5";
    ASSERT_EQ(0, client->Connect("127.0.0.1", server.Port(), text.c_str()));
    ASSERT_TRUE(client->WaitFor([](NetEvents& e) { return e.connects.size() == 2; }));
    EXPECT_EQ((std::vector<uint32_t>{1024, 33}),
              client->Get<std::vector<uint32_t>>([](NetEvents& e) { return e.connects; }));

    // Settings that name no proxy are refused before any link exists; a
    // proxy nobody listens on is a failed connect (+0x100).
    RecordingClient other;
    EXPECT_EQ(TL_NET_E_PROXY_SETTINGS, other.Connect("127.0.0.1", server.Port(), "proxy_port=0"));
    EXPECT_EQ(nullptr, other.GetLink());
    const std::string nowhere = "127.0.0.1:" + std::to_string(kvotest::UnusedLoopbackPort());
    const int32_t rc = other.Connect("127.0.0.1", server.Port(), nowhere.c_str());
    EXPECT_TRUE(rc == 0 || rc == TL_NET_E_FAIL) << std::hex << rc;
    ASSERT_TRUE(other.WaitFor([](NetEvents& e) { return !e.disconnects.empty(); }));
    const uint32_t code = other.Get<uint32_t>([](NetEvents& e) { return e.disconnects[0]; });
    EXPECT_TRUE(code == 0x40 + 0x100 || code == TL_NET_REASON_CONNECT_FAILED) << std::hex << code;
}

}  // namespace
