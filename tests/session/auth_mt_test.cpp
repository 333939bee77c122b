// The authentication client from several threads: authentications running
// at once with different key selectors (each signs with its own) and
// writing "auth.dat" together (whole records only), and a running
// authentication stopped from another thread, by Abort or by the outside
// flag of an AuthAbortScope.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "session/auth.h"
#include "tests/support/fake_auth.h"

using kvotest::FakeAuthService;

namespace {

using Clock = std::chrono::steady_clock;

class AuthThreadsTest : public kvotest::FakeAuthTest {};

TEST_F(AuthThreadsTest, ConcurrentAuthenticationsSignAndWriteApart) {
    // A passport of another length, so that interleaved writes would show.
    kvotest::FakeAuthAccount second = kvotest::FakeAuthAccount::Numbered(2, "u2", "p2", true);
    second.passportName = "A-LONGER-PASSPORT-OF-THE-SECOND-ACCOUNT";
    fake.AddAccount(second);

    constexpr int kRounds = 4;
    std::atomic<int> successes{0};
    auto worker = [&](const std::string& user, const std::string& password, bool selector) {
        for (int i = 0; i < kRounds; ++i) {
            std::string passport;
            std::string sessionId;
            if (kvoapi::AuthenticateWithService(5000, selector, user, password, &passport, &sessionId) == 1) {
                ++successes;
            }
        }
    };
    std::thread a(worker, "u1", "p1", false);
    std::thread b(worker, "u2", "p2", true);
    a.join();
    b.join();
    EXPECT_EQ(successes.load(), 2 * kRounds) << Log();
    EXPECT_TRUE(fake.Violations().empty()) << testing::PrintToString(fake.Violations());

    // The file holds one whole record of one of the two accounts.
    const kvotest::AuthFileContent file = kvotest::ReadAuthFile(AuthFilePath());
    ASSERT_TRUE(file.ok) << file.size;
    const std::string today = FakeAuthService::LocalDate(0);
    const std::string first = FakeAuthService::KeptPassport(today) + std::string(1, '\0');
    const std::string other = FakeAuthService::KeptPassport(today, second.passportName) + std::string(1, '\0');
    EXPECT_TRUE(file.passport == first || file.passport == other) << file.passport;
    EXPECT_EQ(file.recordLength, file.record.size());
}

TEST_F(AuthThreadsTest, AbortEndsTheRunningRequest) {
    fake.SetLoginMode(FakeAuthService::LoginMode::kSilent);
    CAuth auth(20000, false);
    std::atomic<int32_t> result{-1};
    const auto start = Clock::now();
    std::thread runner([&] {
        std::string passport;
        std::string sessionId;
        result = auth.Authenticate("u1", "p1", &passport, &sessionId);
    });
    // The login request is out and unanswered.
    ASSERT_TRUE(fake.Server().WaitForRequests(3, 10000));
    auth.Abort();
    runner.join();
    EXPECT_EQ(result.load(), 0);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    EXPECT_TRUE(HasLogLine(1, "LoginV3 http request error! Http error num:-1")) << Log();
    EXPECT_TRUE(HasLogLine(1, "Sessionid or Userid error"));
    EXPECT_EQ(fake.Server().RequestCount(), 3u);
}

TEST_F(AuthThreadsTest, ScopeFlagStopsAuthenticationsOfItsThread) {
    fake.SetLoginMode(FakeAuthService::LoginMode::kSilent);
    std::atomic<bool> stopping{false};
    std::atomic<int32_t> result{-1};
    const auto start = Clock::now();
    std::thread runner([&] {
        kvoapi::AuthAbortScope scope(&stopping);
        std::string passport;
        std::string sessionId;
        result = kvoapi::AuthenticateWithService(20000, false, "u1", "p1", &passport, &sessionId);
    });
    ASSERT_TRUE(fake.Server().WaitForRequests(3, 10000));
    stopping = true;
    runner.join();
    EXPECT_EQ(result.load(), 0);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));

    // With the flag already set, nothing goes out at all.
    {
        kvoapi::AuthAbortScope scope(&stopping);
        std::string passport;
        std::string sessionId;
        EXPECT_EQ(kvoapi::AuthenticateWithService(20000, false, "u1", "p1", &passport, &sessionId), 0);
    }
    EXPECT_EQ(fake.Server().RequestCount(), 3u);
    EXPECT_TRUE(HasLogLine(1, "Get rsa public key failed!Error num:1")) << Log();

    // Outside a scope, another thread's flag does not reach the client.
    fake.SetLoginMode(FakeAuthService::LoginMode::kOk);
    std::string passport;
    std::string sessionId;
    EXPECT_EQ(kvoapi::AuthenticateWithService(2000, false, "u1", "p1", &passport, &sessionId), 1) << Log();
}

}  // namespace
