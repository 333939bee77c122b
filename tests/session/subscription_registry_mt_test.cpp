// The subscription registry shared by threads: subscribers come and go on
// their own threads while a router looks up every batch; each subscriber
// ends up holding exactly what it added and did not remove.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "session/subscription_registry.h"

namespace {

TEST(SubscriptionRegistryThreads, SubscribersAndRouterShareTheTables) {
    SubscriptionRegistry reg;
    constexpr int kSubscribers = 4;
    constexpr int kRounds = 300;
    std::atomic<bool> done{false};
    std::atomic<uint64_t> routed{0};

    std::thread router([&] {
        const std::string keys[] = {"2|USHA:(600000)", "2|USHA:(600001)", "2|USZA:(000001)"};
        while (!done.load()) {
            SubscriberRecordMap routes;
            reg.CollectSubscribers(keys, 3, &routes);
            for (const auto& [s, idx] : routes) {
                ASSERT_LT(s, uint64_t(kSubscribers));
                ASSERT_FALSE(idx.empty());
                routed += idx.size();
            }
            SubscriberSet found;
            reg.FindSubscribers("2|USHA:(600001)", &found);
        }
    });
    std::vector<std::thread> subscribers;
    for (int s = 0; s < kSubscribers; ++s) {
        subscribers.emplace_back([&reg, s] {
            const std::string own = "2|USHA:(60000" + std::to_string(s % 2) + ")";
            for (int i = 0; i < kRounds; ++i) {
                reg.AddKeys("2|USHA:(600000,600001)", Subscriber(s));
                reg.AddKeys("2|USZA:()", Subscriber(s));
                reg.RemoveKeys("2|USHA:(600000,600001)", Subscriber(s));
                if (i % 3 == 0) reg.RemoveKeys("2|USZA:()", Subscriber(s));
            }
            reg.AddKeys(own, Subscriber(s));
        });
    }
    for (std::thread& t : subscribers) t.join();
    done = true;
    router.join();

    for (int s = 0; s < kSubscribers; ++s) {
        SubscriptionKeySet keys;
        ASSERT_TRUE(reg.GetSubscriberKeys(Subscriber(s), &keys));
        EXPECT_EQ(keys, (SubscriptionKeySet{"2|USHA:(60000" + std::to_string(s % 2) + ")", "2|USZA:()"})) << s;
    }
    SubscriberSet found;
    ASSERT_TRUE(reg.FindSubscribers("2|USHA:(600001)", &found));
    EXPECT_EQ(found, (SubscriberSet{1, 3}));
    EXPECT_EQ(reg.KeyCount(), 3u);
}

}  // namespace
