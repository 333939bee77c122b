// One HTTP exchange (CWHttpRequest over libcurl) against the scripted
// loopback server: the URL parser, what goes on the wire, the results for
// every kind of answer, bodies in blocks, transport failures, the body cap,
// the idle timeout and a cooperative abort from another thread.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "http/http_request.h"
#include "tests/support/http_server.h"
#include "tests/support/net_wait.h"

using kvotest::HttpReply;
using kvotest::MsSince;

namespace {

// Records what the request tells its sink and supplies a generated body.
class RecordingSink : public IHttpRequestSink {
public:
    void OnHttpStatus(CTLHttpRequest*, uint32_t status, const void*, uint32_t) override { statuses.push_back(status); }
    uint32_t OnHttpSupplyBody(CTLHttpRequest*, char* out, uint32_t offset, uint32_t max) override {
        supplied.emplace_back(offset, max);
        for (uint32_t i = 0; i < max; ++i) out[i] = static_cast<char>('a' + (offset + i) % 26);
        return max;
    }
    int OnHttpHeaders(CTLHttpRequest*) override { return headersAnswer; }
    void OnHttpData(CTLHttpRequest*, const char* data, uint32_t length) override {
        if (data == nullptr) {
            ++ends;
        } else {
            this->data.append(data, length);
        }
    }

    std::vector<uint32_t> statuses;
    std::vector<std::pair<uint32_t, uint32_t>> supplied;
    std::string data;
    int ends = 0;
    int headersAnswer = 1;
};

std::string Generated(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + i % 26);
    return s;
}

class HttpRequestTest : public ::testing::Test {
protected:
    void SetUp() override {
        kvotest::ClearProxyEnvironment();
        ASSERT_TRUE(server.Start());
        request.SetRequestData(&body, &headers, &options);
    }

    int32_t Get(const std::string& path) { return request.Request(server.Url(path).c_str(), nullptr, 0, 0); }
    void SetTimeout(uint32_t ms) {
        TLHttpOption option;
        option.id = TL_HTTP_OPTION_TIMEOUT;
        option.value = ms;
        options.push_back(option);
    }
    std::string Body() const { return std::string(body.GetData(), body.GetLength()); }

    kvotest::HttpTestServer server;
    CWHttpRequest request;
    corvane::CTLSmartBuffer body;
    corvane::CTLString headers;
    TLHttpOptionList options;
};

}  // namespace

TEST(HttpUrl, ParsesTheSystemsUrlsAndRefusesTheRest) {
    TLHttpUrl u;
    ASSERT_TRUE(CWHttpRequest::ParseUrl("  http://example.com:8080/a/b ", &u));
    EXPECT_EQ(u.kind, TLHttpUrlKind::kHttp);
    EXPECT_STREQ(u.host, "example.com");
    EXPECT_EQ(u.port, 8080u);
    EXPECT_STREQ(u.path, "/a/b");
    ASSERT_TRUE(CWHttpRequest::ParseUrl("https://example.com", &u));
    EXPECT_EQ(u.kind, TLHttpUrlKind::kSecure);
    EXPECT_EQ(u.port, 443u);
    EXPECT_STREQ(u.path, "");
    ASSERT_TRUE(CWHttpRequest::ParseUrl("https://example.com:8443/x?q=1", &u));
    EXPECT_EQ(u.kind, TLHttpUrlKind::kSecure);
    EXPECT_EQ(u.port, 8443u);
    ASSERT_TRUE(CWHttpRequest::ParseUrl("http://h", &u));
    EXPECT_EQ(u.port, 80u);
    ASSERT_TRUE(CWHttpRequest::ParseUrl("ftp://h/", &u));
    EXPECT_EQ(u.kind, TLHttpUrlKind::kUnknown);
    for (const char* bad : {"http://h:80a/", "http://h:65536/", "http://h:/x", "h/x", "", "http:/h"}) {
        EXPECT_FALSE(CWHttpRequest::ParseUrl(bad, &u)) << bad;
    }

    // Refused URLs and unknown schemes end the request at once; an
    // https URL sets the secure flag.
    CWHttpRequest request;
    for (const char* bad : {"http://h:80a/", "http://h:65536/", "h/x", "ftp://127.0.0.1/"}) {
        EXPECT_EQ(request.Request(bad, nullptr, 0, 0), TL_HTTP_BAD_URL) << bad;
    }
    EXPECT_EQ(request.Request(nullptr, nullptr, 0, 0), TL_HTTP_BAD_URL);
    EXPECT_EQ(request.Request("http://:80/", nullptr, 0, 0), TL_HTTP_CONNECT_FAILED);
    kvotest::ClearProxyEnvironment();
    const std::string secure = "https://127.0.0.1:" + std::to_string(kvotest::UnusedLoopbackPort()) + "/";
    EXPECT_EQ(request.Request(secure.c_str(), nullptr, 0, 0), TL_HTTP_NO_STATUS);
    EXPECT_EQ(request.GetFlags(), TL_HTTP_DEFAULT_FLAGS | TL_HTTP_FLAG_SECURE);
}

TEST_F(HttpRequestTest, KeepsThe200BodyAndSendsTheRequestAsGiven) {
    server.SetReply(HttpReply::Ok("hello body").Header("X-Test", "yes"));
    headers = "X-A: 1\r\nX-A: 2\r\nX-Auth-Sign: s+/=\r\n";
    // The query's raw '+', '/' and '=' reach the server unchanged.
    ASSERT_EQ(Get("/verify2?k=a+b/c=&x=1"), 200);
    EXPECT_EQ(Body(), "hello body");
    EXPECT_EQ(request.GetStatusCode(), 200);
    corvane::CTLString value;
    EXPECT_EQ(request.QueryHeader(value, "x-test"), 1);
    EXPECT_STREQ(value, "yes");
    EXPECT_EQ(request.QueryHeader(value, "X-Missing"), 0);
    EXPECT_STREQ(value, "");
    corvane::CTLString raw;
    request.QueryHeader(raw, nullptr);
    EXPECT_EQ(raw.str().rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << raw.str();
    EXPECT_NE(raw.str().find("X-Test: yes\r\n"), std::string::npos);
    EXPECT_EQ(raw.str().substr(raw.str().size() - 4), "\r\n\r\n");
    request.GetErrorText(value);
    EXPECT_STREQ(value, "");

    const auto got = server.Requests();
    ASSERT_EQ(got.size(), 1u);
    const auto& r = got[0];
    EXPECT_EQ(r.method, "GET");
    EXPECT_EQ(r.target, "/verify2?k=a+b/c=&x=1");
    EXPECT_EQ(r.version, "HTTP/1.1");
    EXPECT_EQ(r.Header("X-Auth-Sign"), "s+/=");
    int xa = 0;
    for (const auto& h : r.headers) xa += h.first == "X-A";
    EXPECT_EQ(xa, 1);
    EXPECT_EQ(r.Header("X-A"), "1");
    EXPECT_FALSE(r.HasHeader("Accept"));
    EXPECT_FALSE(r.HasHeader("Expect"));
    EXPECT_EQ(r.Header("Pragma"), "no-cache");
    EXPECT_EQ(r.Header("User-Agent").rfind("Agent", 0), 0u);

    // A second request appends to the same body buffer.
    ASSERT_EQ(Get("/again"), 200);
    EXPECT_EQ(Body(), "hello bodyhello body");
}

TEST_F(HttpRequestTest, OnlyA200Or206BodyIsRead) {
    struct Case {
        HttpReply reply;
        int32_t result;
        std::string body;
    } cases[] = {
        {HttpReply::Status(404, "not here"), 404, ""},
        {HttpReply::Status(401, "who"), TL_HTTP_AUTH_FAILED, ""},
        {HttpReply::Status(407, "proxy"), TL_HTTP_AUTH_FAILED, ""},
        {HttpReply::Status(500, "oops"), 500, ""},
        {HttpReply::Status(204), 204, ""},
        {HttpReply::Status(206, "part"), 206, "part"},
    };
    for (const auto& c : cases) {
        body.SetLength(0);
        server.QueueReply(c.reply);
        EXPECT_EQ(Get("/x"), c.result) << c.reply.status;
        EXPECT_EQ(Body(), c.body) << c.reply.status;
        EXPECT_EQ(request.GetStatusCode(), c.reply.status);
    }
    // Redirects are followed by default, and not with option 199 off.
    server.SetHandler([](const kvotest::HttpRequestRecord& r) {
        if (r.Path() == "/final") return HttpReply::Ok("final");
        return HttpReply::Status(302, "moved").Header("Location", "/final");
    });
    body.SetLength(0);
    EXPECT_EQ(Get("/start"), 200);
    EXPECT_EQ(Body(), "final");
    TLHttpOption noRedirect;
    noRedirect.id = TL_HTTP_OPTION_REDIRECTS;
    options.push_back(noRedirect);
    body.SetLength(0);
    EXPECT_EQ(Get("/start"), 302);
    EXPECT_EQ(Body(), "");
    EXPECT_EQ(options[0].applied, 1u);
    EXPECT_EQ(request.GetFlags(), TL_HTTP_DEFAULT_FLAGS & ~TL_HTTP_FLAG_REDIRECTS);
}

TEST_F(HttpRequestTest, PostsTheBodyInBlocksOf4096) {
    RecordingSink sink;
    request.SetSink(&sink);
    server.SetReply(HttpReply::Ok("ok"));
    ASSERT_EQ(request.Request(server.Url("/post").c_str(), nullptr, 10000, 0), 200);
    EXPECT_EQ(sink.supplied, (std::vector<std::pair<uint32_t, uint32_t>>{{0, 4096}, {4096, 4096}, {8192, 1808}}));
    EXPECT_EQ(sink.data, "ok");
    EXPECT_EQ(sink.ends, 1);
    ASSERT_FALSE(sink.statuses.empty());
    EXPECT_EQ(sink.statuses.back(), 100u);
    auto got = server.Requests();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].method, "POST");
    EXPECT_EQ(got[0].body, Generated(10000));
    EXPECT_FALSE(got[0].HasHeader("Content-Type"));
    EXPECT_FALSE(got[0].HasHeader("Expect"));

    // From a pointer, with a caller's Content-Type.
    const std::string data = Generated(5000);
    headers = "Content-Type: text/plain\r\n";
    ASSERT_EQ(request.Request(server.Url("/post").c_str(), data.data(), 5000, 0), 200);
    got = server.Requests();
    EXPECT_EQ(got[1].body, data);
    EXPECT_EQ(got[1].Header("Content-Type"), "text/plain");

    // A sink that stops at the head: the status stands, no body is read.
    sink.headersAnswer = 0;
    body.SetLength(0);
    EXPECT_EQ(Get("/stop"), 200);
    EXPECT_EQ(Body(), "");

    // A length without data and without a sink is refused before sending.
    request.SetSink(nullptr);
    EXPECT_EQ(request.Request(server.Url("/post").c_str(), nullptr, 5, 0), TL_HTTP_NO_BODY_DATA);
    EXPECT_EQ(server.RequestCount(), 3u);
}

TEST_F(HttpRequestTest, TransportFailuresGiveNoStatus) {
    const std::string refused = "http://127.0.0.1:" + std::to_string(kvotest::UnusedLoopbackPort()) + "/";
    EXPECT_EQ(request.Request(refused.c_str(), nullptr, 0, 0), TL_HTTP_NO_STATUS);
    EXPECT_EQ(request.GetLastError(), static_cast<uint32_t>(pl::kHttpErrorCannotConnect));
    corvane::CTLString text;
    request.GetErrorText(text);
    EXPECT_FALSE(text.IsEmpty());

    HttpReply cut = HttpReply::Ok("0123456789");
    cut.dropAfter = 10;  // inside the status line
    server.QueueReply(cut);
    EXPECT_EQ(Get("/cut"), TL_HTTP_NO_STATUS);
    cut.reset = true;
    server.QueueReply(cut);
    EXPECT_EQ(Get("/reset"), TL_HTTP_NO_STATUS);
    EXPECT_EQ(request.GetStatusCode(), 0);

    // Cut inside the body: the status stands with the body read so far.
    HttpReply shortBody = HttpReply::Ok(std::string(100, 'b'));
    shortBody.dropAfter = static_cast<long>(std::string("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n").size()) + 50;
    server.QueueReply(shortBody);
    EXPECT_EQ(Get("/short"), 200);
    EXPECT_EQ(Body(), std::string(50, 'b'));
}

TEST_F(HttpRequestTest, BodiesAbove64MiBAreRefused) {
    // Announced: refused at the head.
    HttpReply announced = HttpReply::Ok("x").Header("Content-Length", std::to_string(TL_HTTP_MAX_BODY + 1));
    announced.contentLength = false;
    server.QueueReply(announced);
    EXPECT_EQ(Get("/big"), TL_HTTP_BODY_TOO_LARGE);
    EXPECT_EQ(request.GetLastError(), static_cast<uint32_t>(pl::kHttpErrorBodyTooLarge));
    EXPECT_EQ(body.GetLength(), 0u);
    // Unannounced: refused when it passes the cap, and nothing of it stays.
    body.Append("kept", 4);
    HttpReply streamed = HttpReply::Ok(std::string(TL_HTTP_MAX_BODY + 1, 'z'));
    streamed.contentLength = false;
    server.QueueReply(streamed);
    EXPECT_EQ(Get("/stream"), TL_HTTP_BODY_TOO_LARGE);
    EXPECT_EQ(Body(), "kept");
}

TEST_F(HttpRequestTest, IdleTimeoutRestartsWithEveryByte) {
    server.SetReply(HttpReply::Silent());
    SetTimeout(500);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(Get("/silent"), TL_HTTP_TIMEOUT);
    const int64_t elapsed = MsSince(t0);
    EXPECT_GE(elapsed, 450);
    EXPECT_LT(elapsed, 3000);
    EXPECT_EQ(request.GetLastError(), static_cast<uint32_t>(pl::kHttpErrorTimeout));
    EXPECT_EQ(request.GetStatusCode(), 0);
    EXPECT_TRUE(kvotest::Eventually([&] { return server.OpenConnections() == 0; }));

    // A byte every 200 ms for 2 s never leaves it idle for 500 ms.
    HttpReply trickle = HttpReply::Ok("0123456789");
    trickle.pieceSize = 1;
    trickle.pieceDelayMs = 200;
    server.SetReply(trickle);
    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(Get("/trickle"), 200);
    EXPECT_GE(MsSince(t0), 1800);
    EXPECT_EQ(Body(), "0123456789");
}

TEST_F(HttpRequestTest, AbortEndsTheBodyReadFromAnotherThread) {
    HttpReply slow = HttpReply::Ok(std::string(100, 's'));
    slow.pieceSize = 1;
    slow.pieceDelayMs = 100;
    server.SetReply(slow);
    std::chrono::steady_clock::time_point aborted;
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        aborted = std::chrono::steady_clock::now();
        request.Abort();
    });
    EXPECT_EQ(Get("/slow"), 200);
    stopper.join();
    EXPECT_LT(MsSince(aborted), 1500);
    EXPECT_EQ(request.IsAborted(), 1);
    EXPECT_GT(body.GetLength(), 0u);
    EXPECT_LT(body.GetLength(), 100u);
}

TEST(HttpsRequest, AnUnknownAuthorityIsRefusedUnlessDialogsAreAllowed) {
    kvotest::ClearProxyEnvironment();
    kvotest::HttpTestServer server;
    ASSERT_TRUE(server.StartTls());
    server.SetReply(HttpReply::Ok("secret"));
    CWHttpRequest request;
    corvane::CTLSmartBuffer body;
    corvane::CTLString headers;
    TLHttpOptionList options;
    request.SetRequestData(&body, &headers, &options);
    EXPECT_EQ(request.Request(server.Url("/verify2").c_str(), nullptr, 0, 0), TL_HTTP_AUTH_FAILED);
    EXPECT_EQ(request.GetLastError(), static_cast<uint32_t>(pl::kHttpErrorInvalidCa));
    corvane::CTLString text;
    request.GetErrorText(text);
    EXPECT_STREQ(text, "The certificate authority is invalid or incorrect");
    EXPECT_EQ(server.RequestCount(), 0u);
    // Dialogs allowed: accepted once without the authority check (and the
    // certificate's name, another host's, is never checked).
    EXPECT_EQ(request.Request(server.Url("/verify2").c_str(), nullptr, 0, TL_HTTP_CALL_DIALOGS), 200);
    EXPECT_EQ(std::string(body.GetData(), body.GetLength()), "secret");
    EXPECT_EQ(request.GetFlags() & TL_HTTP_FLAG_SECURE, TL_HTTP_FLAG_SECURE);
}
