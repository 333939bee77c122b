// The relay's pure parts over a registry of their own: routing a batch to
// its subscribers, the coverage rules that decide what goes upstream, the
// same-network rule of child logins and the local adapter lists.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "cascade/cascade_settings.h"
#include "cascade/relay.h"
#include "cascade/same_lan.h"
#include "cascade/subscription_relay.h"
#include "include/kvo_records.h"
#include "platform/pl_adapters.h"
#include "tests/support/peer_writer.h"

using namespace kvotest;

namespace {

struct Delivery {
    int dataClass = 0;
    uint32_t count = 0;
    std::string records;
    PushTiming timing{};
};
std::vector<Delivery>* g_local = nullptr;

template <int C, size_t Size>
int32_t Local(void* context, const void* records, uint32_t count, const PushTiming* timing) {
    EXPECT_EQ(context, reinterpret_cast<void*>(0x5eed));
    g_local->push_back({C, count, std::string(static_cast<const char*>(records), Size * count), *timing});
    return 0;
}

class DispatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_local = &local_;
        route_.registry = &registry_;
        route_.local = 0;
        route_.context = reinterpret_cast<void*>(0x5eed);
        route_.slots.fnctickstock = &Local<2, KVO_TICKSTOCK_SIZE>;
        route_.send = [this](Subscriber s, PeerBlock&& m) { sent_[s].push_back(std::string(m.View())); };
    }
    void TearDown() override { g_local = nullptr; }

    SubscriptionRegistry registry_;
    RelayRoute route_;
    std::vector<Delivery> local_;
    std::map<Subscriber, std::vector<std::string>> sent_;
};

TEST_F(DispatchTest, EachSubscriberGetsItsRecords) {
    // The host holds the whole market, a child three codes.
    registry_.AddKeys("2|USHA:()", 0);
    registry_.AddKeys("2|USHA:(600001,600004,600008)", 17);
    const std::string records = PeerRecords(10, KVO_TICKSTOCK_SIZE, "60000");
    const std::string timing = PeerTimingBytes(7, 8, 9);
    const std::string message = PeerDataBody(2, 10, records, timing);
    EXPECT_EQ(DispatchPacket(message.data(), message.size(), route_), kPeerOk);

    ASSERT_EQ(local_.size(), 1u);
    EXPECT_EQ(local_[0].count, 10u);
    EXPECT_EQ(local_[0].records, records);
    EXPECT_EQ(local_[0].timing.receive_time, 9u);
    ASSERT_EQ(sent_[17].size(), 1u);
    const auto rec = [&](size_t i) { return records.substr(i * KVO_TICKSTOCK_SIZE, KVO_TICKSTOCK_SIZE); };
    EXPECT_EQ(sent_[17][0], "ReqType:2,TickCount:3,|||" + rec(1) + rec(4) + rec(8) + timing);

    // Nothing subscribed in another class; malformed messages are dropped.
    const std::string index = PeerDataBody(1, 1, PeerRecords(1, KVO_TICKINDEX_SIZE), timing);
    EXPECT_EQ(DispatchPacket(index.data(), index.size(), route_), kPeerOk);
    const std::string none = PeerDataBody(2, 0, "", timing);
    EXPECT_EQ(DispatchPacket(none.data(), none.size(), route_), kPeerErrBadCount);
    const std::string seven = PeerDataBody(7, 1, rec(0), timing);
    EXPECT_EQ(DispatchPacket(seven.data(), seven.size(), route_), kPeerErrBadReqType);
    const std::string overstated = PeerDataBody(2, 11, records, timing);
    EXPECT_EQ(DispatchPacket(overstated.data(), overstated.size(), route_), kPeerErrTruncated);
    EXPECT_EQ(local_.size(), 1u);
    EXPECT_EQ(sent_[17].size(), 1u);
}

// Upstream changes captured: "class|op|market|codelist".
class CoverageTest : public ::testing::Test {
protected:
    SubscriptionRegistry registry_;
    std::vector<std::string> upstream_;
    SubscriptionRelay relay_{registry_, [this](uint32_t c, uint32_t op, const std::string& m, const std::string& cl) {
                                 upstream_.push_back(std::to_string(c) + "|" + std::to_string(op) + "|" + m + "|" + cl);
                                 return 0;
                             }};
};

TEST_F(CoverageTest, OnlyChangesOfCoverageGoUpstream) {
    relay_.Apply(1, 2, 3, "USHA", "(600000,600001)");
    relay_.Apply(2, 2, 3, "USHA", "(600001,600002)");  // 600001 held already
    relay_.Apply(1, 2, 4, "USHA", "(600001)");         // the second still holds it
    relay_.Apply(2, 2, 4, "USHA", "(600001)");         // now nobody does
    relay_.Apply(3, 2, 3, "USHA", "()");
    relay_.Apply(3, 2, 9, "USHA", "(600009)");  // not an operation
    EXPECT_EQ(upstream_, (std::vector<std::string>{"2|3|USHA|(600000,600001)", "2|3|USHA|(600002)", "2|4|USHA|(600001)",
                                                   "2|3|USHA|()"}));
    upstream_.clear();

    // Dropping a subscriber removes exactly what nobody else holds; the
    // whole-market holder covers every code of its market.
    relay_.Apply(2, 1, 3, "USZA", "(000001)");
    relay_.Apply(4, 2, 3, "USHA", "(600000)");
    upstream_.clear();
    relay_.DropSubscriberKeys(1, "");
    relay_.DropSubscriberKeys(2, "");
    EXPECT_EQ(upstream_, (std::vector<std::string>{"1|4|USZA|(000001)"}));
    upstream_.clear();
    // The whole market leaves upstream, and with it the single codes there:
    // the one subscriber 4 still holds is subscribed again.
    relay_.DropSubscriberKeys(3, "");
    EXPECT_EQ(upstream_, (std::vector<std::string>{"2|4|USHA|()", "2|3|USHA|(600000)"}));
    upstream_.clear();
    // Without single codes held in the market, the removal goes alone.
    relay_.Apply(6, 6, 3, "USZA", "()");
    relay_.Apply(6, 6, 4, "USZA", "()");
    EXPECT_EQ(upstream_, (std::vector<std::string>{"6|3|USZA|()", "6|4|USZA|()"}));
    upstream_.clear();

    // subop 1 replaces the subscriber's codes of that class and market only.
    relay_.Apply(5, 2, 3, "USZA", "(000002)");
    relay_.Apply(5, 2, 3, "USHA", "(600007)");
    upstream_.clear();
    relay_.Apply(5, 2, 1, "USHA", "(600008)");
    EXPECT_EQ(upstream_, (std::vector<std::string>{"2|4|USHA|(600007)", "2|3|USHA|(600008)"}));
    upstream_.clear();
    relay_.Apply(5, 2, 2, "USZA", "()");
    EXPECT_EQ(upstream_, (std::vector<std::string>{"2|4|USZA|(000002)"}));

    // A child's message without a code list is ignored.
    EXPECT_FALSE(relay_.ChildSubscription("ReqType:20,msg_dataclass:2,subop_type:3,id:x,market:USHA,", 9));
    EXPECT_TRUE(relay_.ChildSubscription("ReqType:20,msg_dataclass:2,subop_type:3,id:x,market:USHA,codelist:(1),", 9));
    EXPECT_EQ(SubscriptionKeyPart("2|USHA:(1,2)", "codelist"), "(1,2)");
    EXPECT_EQ(SubscriptionKeyPart("2|USHA:(1,2)", "market"), "USHA");
    EXPECT_EQ(SubscriptionKeyPart("2USHA:(1,2)", "market"), "");
}

TEST(SameLanTest, AddressRule) {
    // Prefixes compared as characters, as peers and logs know the rule.
    EXPECT_TRUE(IsSameLan("192.168.1.10", "255.255.255.0", "192.168.1.77"));
    EXPECT_FALSE(IsSameLan("192.168.1.10", "255.255.255.0", "192.168.2.77"));
    EXPECT_TRUE(IsSameLan("192.168.1.10", "255.255.255.0", "192.168.10.5"));
    EXPECT_TRUE(IsSameLan("10.1.2.3", "255.255.0.0", "10.1.9.9"));
    EXPECT_TRUE(IsSameLan("10.1.2.3", "255.255.255.255", "10.1.2.77"));
    EXPECT_FALSE(IsSameLan("10.1.2.3", "0.0.0.0", "10.1.2.4"));  // n = 0: the whole address
    EXPECT_TRUE(IsSameLan("10.1.2.3", "0.0.0.0", "10.1.2.3"));
    EXPECT_FALSE(IsSameLan("", "255.255.255.0", ""));

    const char* own = "192.168.1.77&10.0.0.5&";
    const char* ownMasks = "255.255.255.0&255.0.0.0&";
    EXPECT_TRUE(CheckSameLan("172.16.0.1&192.168.1.10&", "255.255.0.0&255.255.255.0&", "", own, ownMasks));
    // The masks must be the same text.
    EXPECT_FALSE(CheckSameLan("192.168.1.10&", "255.255.255.000&", "", own, ownMasks));
    // A peer address limits the child's addresses to that one.
    EXPECT_FALSE(CheckSameLan("192.168.1.10&", "255.255.255.0&", "192.168.1.11", own, ownMasks));
    EXPECT_TRUE(CheckSameLan("192.168.1.10&", "255.255.255.0&", "192.168.1.10", own, ownMasks));
    // Lists whose counts differ.
    EXPECT_FALSE(CheckSameLan("192.168.1.10&", "255.255.255.0&255.0.0.0&", "", own, ownMasks));
    EXPECT_FALSE(CheckSameLan("192.168.1.10&", "255.255.255.0&", "", own, "255.255.255.0&"));
    EXPECT_FALSE(CheckSameLan("", "", "", own, ownMasks));
    EXPECT_EQ(SplitText("a&&b&"), (std::vector<std::string>{"a", "", "b"}));
}

TEST(LocalAdaptersTest, ListsAndLoopbackFallback) {
    std::vector<pl::IPv4Entry> entries = {{"lo", "127.0.0.1", "255.0.0.0", true},
                                          {"eth0", "192.168.1.77", "255.255.255.0", false},
                                          {"eth1", "10.0.0.5", "255.0.0.0", false}};
    pl::SetIPv4EntrySource([&](std::vector<pl::IPv4Entry>& out) {
        out = entries;
        return true;
    });
    kvoapi::LocalAddresses l = kvoapi::GetLocalAdapters();
    EXPECT_EQ(l.addresses, "192.168.1.77&10.0.0.5&");
    EXPECT_EQ(l.masks, "255.255.255.0&255.0.0.0&");
    // A machine with nothing but the loopback lists the loopback.
    entries.resize(1);
    l = kvoapi::GetLocalAdapters();
    EXPECT_EQ(l.addresses, "127.0.0.1&");
    EXPECT_EQ(l.masks, "255.0.0.0&");
    pl::SetIPv4EntrySource([](std::vector<pl::IPv4Entry>&) { return false; });
    l = kvoapi::GetLocalAdapters();
    EXPECT_EQ(l.addresses, "");
    pl::SetIPv4EntrySource(nullptr);
    // The machine's own list has one mask per address.
    l = kvoapi::GetLocalAdapters();
    EXPECT_EQ(SplitText(l.addresses).size(), SplitText(l.masks).size());
}

}  // namespace
