// The HTTP front end (CTLHttpRequest) against scripted loopback servers:
// alternative URLs in order, at random and raced, options and headers
// consumed by one request, asynchronous requests with an observer, and
// running requests stopped cooperatively by a new request or the
// destructor.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "http/http_frontend.h"
#include "tests/support/http_server.h"
#include "tests/support/net_wait.h"

using kvotest::HttpReply;
using kvotest::MsSince;

namespace {

class Observer : public IHttpRequestObserver {
public:
    void OnHttpStatus(CTLHttpRequest*, uint32_t status, const void*, uint32_t) override {
        std::lock_guard<std::mutex> g(mutex);
        if (status == 100) ++completions;
    }
    void OnHttpRequestDone(CTLHttpRequest*, int32_t result) override {
        std::lock_guard<std::mutex> g(mutex);
        results.push_back(result);
        cv.notify_all();
    }
    bool WaitDone(size_t n) {
        std::unique_lock<std::mutex> g(mutex);
        return cv.wait_for(g, std::chrono::seconds(10), [&] { return results.size() >= n; });
    }

    std::mutex mutex;
    std::condition_variable cv;
    std::vector<int32_t> results;
    int completions = 0;
};

class HttpFrontendTest : public ::testing::Test {
protected:
    void SetUp() override {
        kvotest::ClearProxyEnvironment();
        for (auto& s : servers) ASSERT_TRUE(s.Start());
    }

    std::string Url(int i, const std::string& path = "/verify2") { return servers[i].Url(path); }
    std::string Body() {
        corvane::CTLSmartBuffer out;
        const uint32_t n = http.GetDataBuffer(&out);
        return std::string(out.GetData(), n);
    }

    kvotest::HttpTestServer servers[3];
    CTLHttpRequest http;
};

}  // namespace

TEST_F(HttpFrontendTest, TriesTheUrlsInOrderUntilASuccess) {
    servers[0].SetReply(HttpReply::Status(500, "first"));
    servers[1].SetReply(HttpReply::Ok("second"));
    EXPECT_EQ(http.Request((Url(0) + " " + Url(1)).c_str(), nullptr, 0, 0, 0), 200);
    EXPECT_STREQ(http.GetCurrentUrl(), Url(1).c_str());
    EXPECT_EQ(Body(), "second");
    EXPECT_EQ(http.GetLastSuccess(), 1);
    EXPECT_EQ(http.GetCurrentRequest()->GetStatusCode(), 200);
    EXPECT_EQ(http.GetDataBuffer(nullptr), 0u);

    // 401 ends the list: the next URL is not tried.
    servers[0].SetReply(HttpReply::Status(401));
    EXPECT_EQ(http.Request((Url(0) + " " + Url(1)).c_str(), nullptr, 0, 0, 0), TL_HTTP_AUTH_FAILED);
    EXPECT_EQ(servers[1].RequestCount(), 1u);
    EXPECT_EQ(http.GetLastSuccess(), 0);

    // Every URL failing: the last attempt's result.
    servers[1].SetReply(HttpReply::Status(503));
    servers[0].SetReply(HttpReply::Status(500));
    EXPECT_EQ(http.Request((" " + Url(0) + "  " + Url(1) + " ").c_str(), nullptr, 0, 0, 0), 503);
    EXPECT_STREQ(http.GetCurrentUrl(), Url(1).c_str());

    EXPECT_EQ(http.Request("", nullptr, 0, 0, 0), TL_HTTP_NO_URL);
    EXPECT_EQ(http.Request("   ", nullptr, 0, 0, 0), TL_HTTP_NO_URL);
    EXPECT_EQ(http.Request(nullptr, nullptr, 0, 0, 0), TL_HTTP_NO_URL);
    EXPECT_EQ(http.Request(Url(0).c_str(), nullptr, 0, TL_HTTP_CALL_RACE | TL_HTTP_CALL_DIALOGS, 0),
              TL_HTTP_RACE_WITH_DIALOGS);
}

TEST_F(HttpFrontendTest, OptionsAndHeadersAreConsumedByOneRequest) {
    EXPECT_EQ(http.SetOption(0, 1), 0);
    EXPECT_EQ(http.SetOption(203, 1), 0);
    EXPECT_EQ(http.SetOption(TL_HTTP_OPTION_TIMEOUT, 500), 1);
    http.AddHeader("X-Empty", "");
    http.AddHeader(nullptr, "v");
    http.AddHeader("X-Auth-AppID", "app");
    http.AddHeader("X-Auth-Time", "1700000000");
    EXPECT_STREQ(http.GetHeaderText(), "X-Auth-AppID: app\r\nX-Auth-Time: 1700000000\r\n");

    servers[0].SetReply(HttpReply::Silent());
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(http.Request(Url(0).c_str(), nullptr, 0, 0, 0), TL_HTTP_TIMEOUT);
    EXPECT_GE(MsSince(t0), 450);
    EXPECT_LT(MsSince(t0), 3000);
    EXPECT_TRUE(http.GetHeaderText().IsEmpty());
    EXPECT_TRUE(http.GetOptions().empty());
    ASSERT_EQ(servers[0].RequestCount(), 1u);
    const auto first = servers[0].Requests()[0];
    EXPECT_EQ(first.Header("X-Auth-AppID"), "app");
    EXPECT_FALSE(first.HasHeader("X-Empty"));

    servers[1].SetReply(HttpReply::Ok("{}"));
    EXPECT_EQ(http.Request(Url(1).c_str(), "a=1", 3, 0, 0), 200);
    EXPECT_EQ(http.GetPostLength(), 3u);
    const auto second = servers[1].Requests()[0];
    EXPECT_FALSE(second.HasHeader("X-Auth-AppID"));
    EXPECT_EQ(second.method, "POST");
    EXPECT_EQ(second.body, "a=1");

    // A refused request leaves what was queued for the next one.
    http.AddHeader("X-Kept", "1");
    EXPECT_EQ(http.Request("", nullptr, 0, 0, 0), TL_HTTP_NO_URL);
    EXPECT_EQ(http.Request(Url(1).c_str(), nullptr, 0, 0, 0), 200);
    EXPECT_EQ(servers[1].Requests()[1].Header("X-Kept"), "1");
}

TEST_F(HttpFrontendTest, KeepFlagStaysWithTheServerThatAnswered) {
    servers[0].SetReply(HttpReply::Ok("a"));
    servers[1].SetReply(HttpReply::Ok("b"));
    ASSERT_EQ(http.Request(Url(0).c_str(), nullptr, 0, 0, 0), 200);
    EXPECT_EQ(http.Request((Url(1) + " " + Url(0, "/verify3/gs")).c_str(), nullptr, 0, TL_HTTP_CALL_KEEP, 0), 200);
    EXPECT_EQ(servers[1].RequestCount(), 0u);
    EXPECT_EQ(servers[0].RequestCount(), 2u);
    EXPECT_STREQ(http.GetCurrentUrl(), Url(0, "/verify3/gs").c_str());
    // Nothing of the list on that server: no URL left.
    EXPECT_EQ(http.Request(Url(1).c_str(), nullptr, 0, TL_HTTP_CALL_KEEP, 0), TL_HTTP_NO_URL);
}

TEST_F(HttpFrontendTest, RandomOrderTriesEveryUrlOnce) {
    for (auto& s : servers) s.SetReply(HttpReply::Status(500));
    EXPECT_EQ(http.Request((Url(0) + " " + Url(1) + " " + Url(2)).c_str(), nullptr, 0, TL_HTTP_CALL_RANDOM, 0), 500);
    for (auto& s : servers) EXPECT_EQ(s.RequestCount(), 1u);
}

TEST_F(HttpFrontendTest, RaceTakesTheFirstSuccessAndStopsTheOthers) {
    Observer observer;
    http.SetObserver(&observer);
    HttpReply slow = HttpReply::Ok("slow");
    slow.delayMs = 4000;
    HttpReply fast = HttpReply::Ok("fast");
    fast.delayMs = 200;
    servers[0].SetReply(slow);
    servers[1].SetReply(fast);
    servers[2].SetReply(HttpReply::Status(500));
    http.AddHeader("X-Race", "1");
    const std::string urls = Url(0) + " " + Url(1) + " " + Url(2);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(http.Request(urls.c_str(), nullptr, 0, TL_HTTP_CALL_RACE, 0), 200);
    EXPECT_LT(MsSince(t0), 3000);
    EXPECT_FALSE(http.IsBusy());
    EXPECT_EQ(Body(), "fast");
    EXPECT_STREQ(http.GetCurrentUrl(), Url(1).c_str());
    EXPECT_EQ(http.GetLastSuccess(), 1);
    EXPECT_EQ(http.GetCurrentRequest()->GetStatusCode(), 200);
    for (auto& s : servers) {
        ASSERT_EQ(s.RequestCount(), 1u);
        EXPECT_EQ(s.Requests()[0].Header("X-Race"), "1");
    }
    {
        std::lock_guard<std::mutex> g(observer.mutex);
        EXPECT_EQ(observer.results.size(), 3u);
        EXPECT_EQ(observer.completions, 1);  // the winner's sink is the observer
    }
    // Nothing of the race touches the next request.
    http.AddHeader("X-Next", "2");
    EXPECT_EQ(http.Request(Url(1, "/next").c_str(), nullptr, 0, 0, 0), 200);
    EXPECT_EQ(servers[1].Requests().back().Header("X-Next"), "2");
    EXPECT_FALSE(servers[1].Requests().back().HasHeader("X-Race"));

    // No success anywhere: the result of the last attempt to end.
    for (auto& s : servers) s.SetReply(HttpReply::Status(500));
    EXPECT_EQ(http.Request(urls.c_str(), nullptr, 0, TL_HTTP_CALL_RACE, 0), 500);
    EXPECT_EQ(http.GetLastSuccess(), 0);
    http.SetObserver(nullptr);
}

TEST_F(HttpFrontendTest, AsynchronousRequestReportsToTheObserver) {
    Observer observer;
    http.SetObserver(&observer);
    servers[0].SetReply(HttpReply::Ok("async"));
    EXPECT_EQ(http.Request(Url(0).c_str(), nullptr, 0, TL_HTTP_CALL_ASYNC, 7), 0);
    ASSERT_TRUE(observer.WaitDone(1));
    EXPECT_TRUE(kvotest::Eventually([&] { return !http.IsBusy(); }));
    EXPECT_EQ(http.GetResult(), 200);
    EXPECT_EQ(http.GetUserValue(), 7u);
    EXPECT_EQ(Body(), "async");
    {
        std::lock_guard<std::mutex> g(observer.mutex);
        EXPECT_EQ(observer.results, std::vector<int32_t>{200});
        EXPECT_EQ(observer.completions, 1);
    }
    // A racing asynchronous request.
    servers[1].SetReply(HttpReply::Status(404));
    EXPECT_EQ(http.Request((Url(0) + " " + Url(1)).c_str(), nullptr, 0, TL_HTTP_CALL_ASYNC | TL_HTTP_CALL_RACE, 0), 0);
    ASSERT_TRUE(observer.WaitDone(3));
    EXPECT_TRUE(kvotest::Eventually([&] { return http.GetResult() == 200; }));
    http.SetObserver(nullptr);
}

TEST_F(HttpFrontendTest, ANewRequestOrTheDestructorStopsTheRunningOne) {
    Observer observer;
    http.SetObserver(&observer);
    servers[0].SetReply(HttpReply::Silent());
    servers[1].SetReply(HttpReply::Ok("next"));
    ASSERT_EQ(http.Request(Url(0).c_str(), nullptr, 0, TL_HTTP_CALL_ASYNC, 0), 0);
    ASSERT_TRUE(servers[0].WaitForRequests(1, 5000));
    EXPECT_TRUE(http.IsBusy());
    EXPECT_EQ(http.Request(Url(1).c_str(), nullptr, 0, TL_HTTP_CALL_KEEP, 0), TL_HTTP_BUSY);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(http.Request(Url(1).c_str(), nullptr, 0, 0, 0), 200);
    EXPECT_LT(MsSince(t0), 3000);
    EXPECT_EQ(Body(), "next");
    ASSERT_TRUE(observer.WaitDone(2));
    {
        std::lock_guard<std::mutex> g(observer.mutex);
        EXPECT_EQ(observer.results, (std::vector<int32_t>{TL_HTTP_NO_STATUS, 200}));
    }
    EXPECT_TRUE(kvotest::Eventually([&] { return servers[0].OpenConnections() == 0; }));
    http.SetObserver(nullptr);

    // Destroyed while a request waits on a silent server: it ends, joined.
    auto owned = std::make_unique<CTLHttpRequest>();
    ASSERT_EQ(owned->Request(Url(0, "/again").c_str(), nullptr, 0, TL_HTTP_CALL_ASYNC, 0), 0);
    ASSERT_TRUE(servers[0].WaitForRequests(2, 5000));
    const auto t1 = std::chrono::steady_clock::now();
    owned.reset();
    EXPECT_LT(MsSince(t1), 3000);
}
