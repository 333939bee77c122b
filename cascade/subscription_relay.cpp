#include "cascade/subscription_relay.h"

#include <vector>

#include "cascade/decimal_text.h"
#include "cascade/peer_message.h"
#include "framework/tl_log.h"
#include "session/dataclass.h"
#include "session/session_util.h"

std::string SubscriptionKeyPart(std::string_view key, std::string_view part) {
    const size_t bar = key.find('|');
    const size_t colon = key.find(':');
    if (bar == std::string_view::npos || colon == std::string_view::npos) return std::string();
    if (part == "msg_dataclass") return std::string(key.substr(0, bar));
    if (part == "market") return colon > bar ? std::string(key.substr(bar + 1, colon - bar - 1)) : std::string();
    if (part == "codelist") return std::string(key.substr(colon + 1));
    return std::string();
}

std::string ParenthesisedCodeList(std::string_view codelist) {
    if (!codelist.empty() && codelist.front() == '(') codelist.remove_prefix(1);
    if (!codelist.empty() && codelist.back() == ')') codelist.remove_suffix(1);
    std::string list;
    list.reserve(codelist.size() + 2);
    list.append(1, '(').append(codelist).append(1, ')');
    return list;
}

int32_t SubscriptionRelay::Apply(Subscriber subscriber, uint32_t dataClass, uint32_t subopType,
                                 const std::string& market, const std::string& given) {
    // A key no record can ever match would only hold its subscriber's place
    // and, passed upstream, be refused there or wasted.
    if (const int32_t refused = SubscriptionRefusal(dataClass, market)) {
        // One short line: a market text from the network may be long.
        TL_WriteLog(2, "SubScribe: msg_dataclass:%u market:%.*s of subscriber %llu refused (%d)", dataClass,
                    static_cast<int>(kvoapi::GbkPrefixLength(market, 32)), market.c_str(),
                    static_cast<unsigned long long>(subscriber), refused);
        return refused;
    }
    // A single code without parentheses would otherwise become a key no
    // record ever matches ("2|USHA:600000" beside the records' "2|USHA:(600000)").
    const std::string codelist = ParenthesisedCodeList(given);
    const std::string key = std::to_string(dataClass) + "|" + market + ":" + codelist;
    switch (subopType) {
    case 1:
        DropSubscriberKeys(subscriber, key);
        m_registry.AddKeys(key, subscriber);
        ForwardSubscription(dataClass, 3, market, codelist);
        break;
    case 2:
        DropSubscriberKeys(subscriber, key);
        break;
    case 3:
        m_registry.AddKeys(key, subscriber);
        ForwardSubscription(dataClass, 3, market, codelist);
        break;
    case 4:
        m_registry.RemoveKeys(key, subscriber);
        ForwardSubscription(dataClass, 4, market, codelist);
        break;
    default:
        break;
    }
    return 0;
}

bool SubscriptionRelay::ChildSubscription(std::string_view text, Subscriber child) {
    PeerSubscribeRequest r;
    if (ReadPeerSubscribeRequest(text, &r) != kPeerOk) return false;
    return Apply(child, uint32_t(r.DataClass()), uint32_t(r.SubopType()), r.market, r.codelist) == 0;
}

void SubscriptionRelay::DropSubscriberKeys(Subscriber subscriber, std::string_view key) {
    const std::string dataClass = SubscriptionKeyPart(key, "msg_dataclass");
    const std::string market = SubscriptionKeyPart(key, "market");
    SubscriptionKeySet keys;
    if (!m_registry.GetSubscriberKeys(subscriber, &keys)) return;
    for (const std::string& k : keys) {
        const std::string kClass = SubscriptionKeyPart(k, "msg_dataclass");
        const std::string kMarket = SubscriptionKeyPart(k, "market");
        if (!key.empty() && (kClass != dataClass || kMarket != market)) continue;
        m_registry.RemoveKeys(k, subscriber);
        ForwardSubscription(uint32_t(DecimalToI32(kClass)), 4, kMarket, SubscriptionKeyPart(k, "codelist"));
    }
}

void SubscriptionRelay::ForwardSubscription(uint32_t dataClass, uint32_t subopType, const std::string& market,
                                            const std::string& codelist) {
    const std::string prefix = std::to_string(dataClass) + "|" + market;
    if (codelist == "()") {
        if (IsKeyCovered(prefix + ":()", subopType)) return;
        Upstream(dataClass, subopType, market, codelist);
        if (subopType == 4) ResubscribeHeldCodes(dataClass, market);
        return;
    }
    if (codelist.find(',') == std::string::npos) {
        if (!IsKeyCovered(prefix + ":" + codelist, subopType)) Upstream(dataClass, subopType, market, codelist);
        return;
    }
    size_t begin = codelist.find('(');
    begin = begin == std::string::npos ? 0 : begin + 1;
    size_t end = codelist.find(')', begin);
    if (end == std::string::npos) end = codelist.size();
    const std::string_view codes = std::string_view(codelist).substr(begin, end - begin);
    std::string uncovered;
    size_t start = 0;
    while (start <= codes.size()) {
        size_t comma = codes.find(',', start);
        if (comma == std::string_view::npos) comma = codes.size();
        const std::string code(codes.substr(start, comma - start));
        if (!IsKeyCovered(prefix + ":(" + code + ")", subopType)) {
            if (!uncovered.empty()) uncovered += ',';
            uncovered += code;
        }
        start = comma + 1;
    }
    if (!uncovered.empty()) Upstream(dataClass, subopType, market, "(" + uncovered + ")");
}

void SubscriptionRelay::ResubscribeHeldCodes(uint32_t dataClass, const std::string& market) {
    std::string codes;
    for (const std::string& key : m_registry.CodeKeysOfMarket(std::to_string(dataClass), market)) {
        // The tail of a key is "(code)", or the code as a caller gave it.
        std::string_view code = std::string_view(key).substr(key.find(':') + 1);
        if (code.size() >= 2 && code.front() == '(' && code.back() == ')') code = code.substr(1, code.size() - 2);
        if (code.empty()) continue;
        if (!codes.empty()) codes += ',';
        codes.append(code);
    }
    if (!codes.empty()) Upstream(dataClass, 3, market, "(" + codes + ")");
}

void SubscriptionRelay::Upstream(uint32_t dataClass, uint32_t subopType, const std::string& market,
                                 const std::string& codelist) {
    if (!m_upstream) return;
    // The subscriber's change is kept whatever the answer: a refusal
    // upstream reaches only the log.
    const int32_t result = m_upstream(dataClass, subopType, market, codelist);
    if (result != 0)
        TL_WriteLog(2, "SubScribe: change %u of %u|%s:%s refused upstream (%d)", subopType, dataClass, market.c_str(),
                    codelist.c_str(), result);
}

bool SubscriptionRelay::IsKeyCovered(const std::string& key, uint32_t subopType) const {
    SubscriberSet subscribers;
    if (!m_registry.FindSubscribers(key, &subscribers)) return false;
    if (subopType == 3) return subscribers.size() >= 2;
    if (subopType == 4) return !subscribers.empty();
    return true;
}
