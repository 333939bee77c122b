// The subscription registry: key lists, lookups with whole-market keys, the
// routing of a record batch, and the bookkeeping of each subscriber.
#include "session/subscription_registry.h"

#include <gtest/gtest.h>

#include <cstring>

#include <string>
#include <vector>

#include "include/kvo_records.h"

namespace {

using Keys = std::vector<std::string>;

TEST(SubscriptionKeys, ListsExpandToKeys) {
    EXPECT_EQ(ExpandSubscriptionKeys("2|USHA:(600000,600001)"), (Keys{"2|USHA:(600000)", "2|USHA:(600001)"}));
    EXPECT_EQ(ExpandSubscriptionKeys("2|USHA:()"), (Keys{"2|USHA:()"}));
    // One code (no comma): the text as it stands.
    EXPECT_EQ(ExpandSubscriptionKeys("2|USHA:(600000)"), (Keys{"2|USHA:(600000)"}));
    EXPECT_EQ(ExpandSubscriptionKeys("2|USHA:600000"), (Keys{"2|USHA:600000"}));
    // Empty codes stand for the whole market.
    EXPECT_EQ(ExpandSubscriptionKeys("2|USHA:(600000,)"), (Keys{"2|USHA:(600000)", "2|USHA:()"}));
    EXPECT_EQ(ExpandSubscriptionKeys("1|USHI:(,000001)"), (Keys{"1|USHI:()", "1|USHI:(000001)"}));
    // Without ":" nothing; without both parentheses the rest of the tail.
    EXPECT_TRUE(ExpandSubscriptionKeys("2|USHA(600000,600001)").empty());
    EXPECT_TRUE(ExpandSubscriptionKeys("").empty());
    EXPECT_EQ(ExpandSubscriptionKeys("2|USHA:600000,600001"), (Keys{"2|USHA:(600000)", "2|USHA:(600001)"}));
    EXPECT_EQ(ExpandSubscriptionKeys("2|USHA:(600000,600001"), (Keys{"2|USHA:(600000)", "2|USHA:(600001)"}));
    EXPECT_EQ(ExpandSubscriptionKeys("2|USHA:(a,b)c,d"), (Keys{"2|USHA:(a)", "2|USHA:(b)"}));
    // Only the first ":" splits; the head keeps everything before it.
    EXPECT_EQ(ExpandSubscriptionKeys("3|X:Y:(1,2)"), (Keys{"3|X:(1)", "3|X:(2)"}));

    EXPECT_EQ(MakeSubscriptionKey(2, "USHA", "600000"), "2|USHA:(600000)");
    EXPECT_EQ(MakeSubscriptionKey(6, "USZA", ""), "6|USZA:()");
    EXPECT_EQ(WholeMarketKeyOf("2|USHA:(600000)"), "2|USHA:()");
    EXPECT_EQ(WholeMarketKeyOf("2|USHA"), "2|USHA:()");

    TickStock record{};
    std::memcpy(record.market, "USHA", 4);
    std::memcpy(record.code, "600000", 6);
    EXPECT_EQ(RecordSubscriptionKey(2, &record), "2|USHA:(600000)");
    std::memset(record.market, 'M', sizeof record.market);  // no zero: read within the field
    std::memset(record.code, '9', sizeof record.code);
    EXPECT_EQ(RecordSubscriptionKey(3, &record), "3|MMMMM:(" + std::string(16, '9') + ")");
}

TEST(SubscriptionRegistry, FindsExactAndWholeMarketSubscribers) {
    SubscriptionRegistry reg;
    const Subscriber s = 0, t = 42, u = 0xFFFFFFFF00000001ull;  // opaque: never dereferenced
    EXPECT_EQ(reg.AddKeys("2|USHA:(600000,600001)", s), 1);
    EXPECT_EQ(reg.AddKeys("2|USHA:()", t), 1);
    EXPECT_EQ(reg.AddKeys("2|USZA:(000001)", u), 1);

    SubscriberSet out = {99};
    EXPECT_TRUE(reg.FindSubscribers("2|USHA:(600000)", &out));
    EXPECT_EQ(out, (SubscriberSet{s, t}));  // replaced, then the whole market's added
    out = {99};
    EXPECT_TRUE(reg.FindSubscribers("2|USHA:(600002)", &out));
    EXPECT_EQ(out, (SubscriberSet{99, t}));  // no exact key: only added to
    out = {99};
    EXPECT_FALSE(reg.FindSubscribers("2|USZA:(000002)", &out));
    EXPECT_EQ(out, (SubscriberSet{99}));
    EXPECT_FALSE(reg.FindSubscribers("3|USHA:(600000)", &out));
    out.clear();
    EXPECT_TRUE(reg.FindSubscribers("2|USZA:(000001)", &out));
    EXPECT_EQ(out, (SubscriberSet{u}));

    SubscriptionKeySet keys;
    EXPECT_TRUE(reg.GetSubscriberKeys(s, &keys));
    EXPECT_EQ(keys, (SubscriptionKeySet{"2|USHA:(600000)", "2|USHA:(600001)"}));
    EXPECT_FALSE(reg.GetSubscriberKeys(7, &keys));
    EXPECT_EQ(reg.KeyCount(), 4u);

    std::set<std::string> markets;
    EXPECT_TRUE(reg.GetMarketParts(s, "2", &markets));
    EXPECT_EQ(markets, (std::set<std::string>{"USHA:(600000)", "USHA:(600001)"}));
    EXPECT_FALSE(reg.GetMarketParts(s, "22", &markets));
}

TEST(SubscriptionRegistry, RemovingKeysKeepsTheSubscriberEntry) {
    SubscriptionRegistry reg;
    reg.AddKeys("2|USHA:(600000,600001)", 1);
    reg.AddKeys("2|USHA:(600000)", 2);
    // Removing what was never added changes nothing.
    reg.RemoveKeys("2|USHA:(600002)", 1);
    reg.RemoveKeys("5|USHA:(600000)", 1);
    reg.RemoveKeys("2|USHA:(600000)", 3);
    EXPECT_EQ(reg.KeyCount(), 2u);
    std::set<std::string> markets;
    EXPECT_TRUE(reg.GetMarketParts(1, "2", &markets));
    EXPECT_EQ(markets.size(), 2u);

    reg.RemoveKeys("2|USHA:(600000,600001)", 1);
    SubscriptionKeySet keys = {"stale"};
    EXPECT_TRUE(reg.GetSubscriberKeys(1, &keys));
    EXPECT_TRUE(keys.empty());
    EXPECT_FALSE(reg.GetMarketParts(1, "2", &markets));
    SubscriberSet out;
    EXPECT_TRUE(reg.FindSubscribers("2|USHA:(600000)", &out));
    EXPECT_EQ(out, (SubscriberSet{2}));
    EXPECT_FALSE(reg.FindSubscribers("2|USHA:(600001)", &out));
    EXPECT_EQ(reg.KeyCount(), 1u);

    // Subscribers whose ids would run together with the class ("1" + "12"
    // and "11" + "2") stay apart.
    reg.AddKeys("12|USHA:(1)", 1);
    reg.AddKeys("2|USHA:(2)", 11);
    reg.RemoveKeys("2|USHA:(2)", 11);
    EXPECT_TRUE(reg.GetMarketParts(1, "12", &markets));
    EXPECT_EQ(markets, (std::set<std::string>{"USHA:(1)"}));
}

TEST(SubscriptionRegistry, RoutesRecordBatches) {
    SubscriptionRegistry reg;
    reg.AddKeys("2|USHA:(600000)", 1);
    reg.AddKeys("2|USHA:()", 2);
    reg.AddKeys("2|USHA:(600001,600000)", 3);
    const std::string keys[] = {"2|USHA:(600000)", "2|USHA:(600001)", "2|USZA:(000001)", "2|USHA:(600002)"};
    SubscriberRecordMap routes;
    EXPECT_EQ(reg.CollectSubscribers(keys, 4, &routes), 1);
    EXPECT_EQ(routes, (SubscriberRecordMap{{1, {0}}, {2, {0, 1, 3}}, {3, {0, 1}}}));

    // A subscriber holding both a code and its whole market gets each record
    // once.
    reg.AddKeys("2|USHA:()", 1);
    routes.clear();
    reg.CollectSubscribers(keys, 2, &routes);
    EXPECT_EQ(routes[1], (std::vector<uint32_t>{0, 1}));
    routes.clear();
    reg.CollectSubscribers(keys, 0, &routes);
    EXPECT_TRUE(routes.empty());
}

// The single codes held in a class and market, by whoever holds them.
TEST(SubscriptionRegistry, ListsTheSingleCodesOfAMarket) {
    SubscriptionRegistry reg;
    reg.AddKeys("2|USHA:(600001,600000)", 1);
    reg.AddKeys("2|USHA:(600000)", 2);
    reg.AddKeys("2|USHA:()", 3);
    reg.AddKeys("2|USH:(600009)", 4);   // another market sharing the start of the name
    reg.AddKeys("3|USHA:(600002)", 4);  // another class
    reg.AddKeys("2|USHA:600003", 5);    // a single code as a caller gave it
    EXPECT_EQ(reg.CodeKeysOfMarket("2", "USHA"),
              (std::vector<std::string>{"2|USHA:(600000)", "2|USHA:(600001)", "2|USHA:600003"}));
    reg.RemoveKeys("2|USHA:(600000)", 1);
    reg.RemoveKeys("2|USHA:(600000)", 2);
    EXPECT_EQ(reg.CodeKeysOfMarket("2", "USHA"), (std::vector<std::string>{"2|USHA:(600001)", "2|USHA:600003"}));
    EXPECT_TRUE(reg.CodeKeysOfMarket("6", "USHA").empty());
}

TEST(SubscriptionRegistry, TheProcessRegistryExists) {
    SubscriptionRegistry& global = SubscriptionRegistry::Global();
    EXPECT_EQ(&global, &SubscriptionRegistry::Global());
    const Subscriber me = reinterpret_cast<uintptr_t>(&global);
    global.AddKeys("6|USZA:(000001)", me);
    SubscriberSet out;
    EXPECT_TRUE(global.FindSubscribers("6|USZA:(000001)", &out));
    EXPECT_EQ(out.count(me), 1u);
    global.RemoveKeys("6|USZA:(000001)", me);
}

}  // namespace
