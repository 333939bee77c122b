#include "cascade/subscriber_keys.h"

#include <cstdlib>
#include <vector>

namespace {

std::string ClassText(uint32_t dataClass) { return std::to_string(dataClass); }

void Upstream(const SubscriptionUpstream& upstream, uint32_t dataClass, uint32_t subopType, std::string_view market,
              std::string_view codelist) {
    if (upstream) upstream(dataClass, subopType, std::string(market), std::string(codelist));
}

}  // namespace

std::string SubscriptionKeyPart(std::string_view key, std::string_view part) {
    const size_t bar = key.find('|');
    const size_t colon = key.find(':');
    if (bar == std::string_view::npos || colon == std::string_view::npos) return std::string();
    if (part == "msg_dataclass") return std::string(key.substr(0, bar));
    if (part == "market") return colon > bar ? std::string(key.substr(bar + 1, colon - bar - 1)) : std::string();
    if (part == "codelist") return std::string(key.substr(colon + 1));
    return std::string();
}

bool IsKeyCovered(SubscriptionRegistry& registry, std::string_view key, uint32_t subopType) {
    SubscriberSet subscribers;
    if (!registry.FindSubscribers(key, &subscribers)) return false;
    if (subopType == 3) return subscribers.size() >= 2;
    if (subopType == 4) return !subscribers.empty();
    return true;
}

void ForwardSubscription(SubscriptionRegistry& registry, uint32_t dataClass, uint32_t subopType,
                         std::string_view market, std::string_view codelist, const SubscriptionUpstream& upstream) {
    const std::string prefix = ClassText(dataClass) + "|" + std::string(market);
    if (codelist == "()") {
        if (!IsKeyCovered(registry, prefix + ":()", subopType)) Upstream(upstream, dataClass, subopType, market, "()");
        return;
    }
    if (codelist.find(',') == std::string_view::npos) {
        if (!IsKeyCovered(registry, prefix + ":" + std::string(codelist), subopType)) {
            Upstream(upstream, dataClass, subopType, market, codelist);
        }
        return;
    }
    size_t begin = codelist.find('(');
    begin = begin == std::string_view::npos ? 0 : begin + 1;
    size_t end = codelist.find(')', begin);
    if (end == std::string_view::npos) end = codelist.size();
    const std::string_view codes = codelist.substr(begin, end - begin);
    std::string left;
    size_t start = 0;
    for (;;) {
        const size_t comma = codes.find(',', start);
        const std::string_view code = codes.substr(start, comma == std::string_view::npos ? codes.npos : comma - start);
        if (!IsKeyCovered(registry, prefix + ":(" + std::string(code) + ")", subopType)) {
            if (!left.empty()) left += ',';
            left.append(code);
        }
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    if (!left.empty()) Upstream(upstream, dataClass, subopType, market, "(" + left + ")");
}

void DropSubscriberKeys(SubscriptionRegistry& registry, Subscriber subscriber, std::string_view key,
                        const SubscriptionUpstream& upstream) {
    const std::string dataClass = SubscriptionKeyPart(key, "msg_dataclass");
    const std::string market = SubscriptionKeyPart(key, "market");
    SubscriptionKeySet keys;
    if (!registry.GetSubscriberKeys(subscriber, &keys)) return;
    for (const std::string& k : keys) {
        const std::string kClass = SubscriptionKeyPart(k, "msg_dataclass");
        const std::string kMarket = SubscriptionKeyPart(k, "market");
        if (!key.empty() && (kClass != dataClass || kMarket != market)) continue;
        registry.RemoveKeys(k, subscriber);
        const uint32_t classNumber = static_cast<uint32_t>(std::strtoul(kClass.c_str(), nullptr, 10));
        ForwardSubscription(registry, classNumber, 4, kMarket, SubscriptionKeyPart(k, "codelist"), upstream);
    }
}

void ApplySubscriptionChange(SubscriptionRegistry& registry, Subscriber subscriber, uint32_t dataClass,
                             uint32_t subopType, std::string_view market, std::string_view codelist,
                             const SubscriptionUpstream& upstream) {
    const std::string key = ClassText(dataClass) + "|" + std::string(market) + ":" + std::string(codelist);
    switch (subopType) {
    case 1:
        DropSubscriberKeys(registry, subscriber, key, upstream);
        registry.AddKeys(key, subscriber);
        ForwardSubscription(registry, dataClass, 3, market, codelist, upstream);
        break;
    case 2:
        DropSubscriberKeys(registry, subscriber, key, upstream);
        break;
    case 3:
        registry.AddKeys(key, subscriber);
        ForwardSubscription(registry, dataClass, 3, market, codelist, upstream);
        break;
    case 4:
        registry.RemoveKeys(key, subscriber);
        ForwardSubscription(registry, dataClass, 4, market, codelist, upstream);
        break;
    default:
        break;
    }
}
