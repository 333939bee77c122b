#include "session/subscription_registry.h"

#include <algorithm>
#include <cstring>

#include "platform/pl_never_destroyed.h"

namespace {

using corvane::CTLSingleLock;

// The class and market part of a key: the texts before and after the first
// "|" (the whole key and nothing when it has none).
std::pair<std::string, std::string> SplitClass(const std::string& key) {
    const size_t bar = key.find('|');
    if (bar == std::string::npos) return {key, std::string()};
    return {key.substr(0, bar), key.substr(bar + 1)};
}

}  // namespace

std::string MakeSubscriptionKey(uint32_t dataClass, std::string_view market, std::string_view code) {
    std::string key = std::to_string(dataClass);
    key.append(1, '|').append(market).append(":(").append(code).append(1, ')');
    return key;
}

std::string RecordSubscriptionKey(uint32_t dataClass, const void* record) {
    const char* r = static_cast<const char*>(record);
    return MakeSubscriptionKey(dataClass, std::string_view(r, strnlen(r, 5)),
                               std::string_view(r + 5, strnlen(r + 5, 16)));
}

std::string WholeMarketKeyOf(std::string_view key) {
    std::string whole(key.substr(0, std::min(key.find(':'), key.size())));
    whole.append(":()");
    return whole;
}

std::vector<std::string> ExpandSubscriptionKeys(std::string_view keyList) {
    std::vector<std::string> keys;
    const size_t colon = keyList.find(':');
    if (colon == std::string_view::npos) return keys;
    const std::string_view head = keyList.substr(0, colon);
    const std::string_view tail = keyList.substr(colon + 1);
    if (tail == "()") {
        keys.emplace_back(std::string(head) + ":()");
        return keys;
    }
    if (keyList.find(',') == std::string_view::npos) {
        keys.emplace_back(keyList);
        return keys;
    }
    size_t begin = tail.find('(');
    begin = begin == std::string_view::npos ? 0 : begin + 1;
    size_t end = tail.find(')', begin);
    if (end == std::string_view::npos) end = tail.size();
    const std::string_view codes = tail.substr(begin, end - begin);
    size_t start = 0;
    while (true) {
        const size_t comma = codes.find(',', start);
        const std::string_view code = codes.substr(start, comma == std::string_view::npos ? codes.npos : comma - start);
        std::string key(head);
        key.append(":(").append(code).append(1, ')');
        keys.push_back(std::move(key));
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    return keys;
}

SubscriptionRegistry& SubscriptionRegistry::Global() {
    // Never destroyed: the relay thread may still look keys up while the
    // process exits.
    static pl::NeverDestroyed<SubscriptionRegistry> registry;
    return *registry;
}

namespace {
// The registry is built while the library loads, before any thread of it runs.
[[maybe_unused]] SubscriptionRegistry& g_loadTimeRegistry = SubscriptionRegistry::Global();
}  // namespace

int SubscriptionRegistry::AddKeys(std::string_view keyList, Subscriber subscriber) {
    CTLSingleLock lock(&m_mutex, 1);
    for (const std::string& key : ExpandSubscriptionKeys(keyList)) RegisterKey(key, subscriber);
    return 1;
}

int SubscriptionRegistry::RemoveKeys(std::string_view keyList, Subscriber subscriber) {
    CTLSingleLock lock(&m_mutex, 1);
    for (const std::string& key : ExpandSubscriptionKeys(keyList)) UnregisterKey(key, subscriber);
    return 1;
}

void SubscriptionRegistry::RegisterKey(const std::string& key, Subscriber subscriber) {
    CTLSingleLock lock(&m_mutex, 1);
    m_keySubscribers[key].insert(subscriber);
    m_subscriberKeys[subscriber].insert(key);
    auto [dataClass, marketPart] = SplitClass(key);
    m_classMarkets[ClassSlot(subscriber, std::move(dataClass))].insert(std::move(marketPart));
}

void SubscriptionRegistry::UnregisterKey(const std::string& key, Subscriber subscriber) {
    CTLSingleLock lock(&m_mutex, 1);
    if (auto it = m_keySubscribers.find(key); it != m_keySubscribers.end()) {
        it->second.erase(subscriber);
        if (it->second.empty()) m_keySubscribers.erase(it);
    }
    m_subscriberKeys[subscriber].erase(key);
    auto [dataClass, marketPart] = SplitClass(key);
    if (auto it = m_classMarkets.find(ClassSlot(subscriber, std::move(dataClass))); it != m_classMarkets.end()) {
        it->second.erase(marketPart);
        if (it->second.empty()) m_classMarkets.erase(it);
    }
}

bool SubscriptionRegistry::FindSubscribers(std::string_view key, SubscriberSet* out) {
    CTLSingleLock lock(&m_mutex, 1);
    bool found = false;
    if (auto it = m_keySubscribers.find(std::string(key)); it != m_keySubscribers.end()) {
        *out = it->second;
        found = true;
    }
    if (auto it = m_keySubscribers.find(WholeMarketKeyOf(key)); it != m_keySubscribers.end()) {
        out->insert(it->second.begin(), it->second.end());
        found = true;
    }
    return found;
}

bool SubscriptionRegistry::GetSubscriberKeys(Subscriber subscriber, SubscriptionKeySet* out) {
    CTLSingleLock lock(&m_mutex, 1);
    auto it = m_subscriberKeys.find(subscriber);
    if (it == m_subscriberKeys.end()) return false;
    *out = it->second;
    return true;
}

int SubscriptionRegistry::CollectSubscribers(const std::string* keys, size_t count, SubscriberRecordMap* out) {
    CTLSingleLock lock(&m_mutex, 1);
    auto give = [&](const std::string& key, uint32_t index) {
        auto it = m_keySubscribers.find(key);
        if (it == m_keySubscribers.end()) return;
        for (Subscriber s : it->second) {
            std::vector<uint32_t>& indexes = (*out)[s];
            if (indexes.empty() || indexes.back() != index) indexes.push_back(index);
        }
    };
    for (size_t i = 0; i < count; ++i) {
        const uint32_t index = static_cast<uint32_t>(i);
        give(keys[i], index);
        give(WholeMarketKeyOf(keys[i]), index);
    }
    return 1;
}

bool SubscriptionRegistry::GetMarketParts(Subscriber subscriber, std::string_view dataClass,
                                          std::set<std::string>* out) {
    CTLSingleLock lock(&m_mutex, 1);
    auto it = m_classMarkets.find(ClassSlot(subscriber, std::string(dataClass)));
    if (it == m_classMarkets.end()) return false;
    *out = it->second;
    return true;
}

std::vector<std::string> SubscriptionRegistry::CodeKeysOfMarket(std::string_view dataClass, std::string_view market) {
    std::string head(dataClass);
    head.append(1, '|').append(market);
    const std::string whole = head + ":()";
    head.append(1, ':');
    std::vector<std::string> keys;
    {
        CTLSingleLock lock(&m_mutex, 1);
        for (const auto& [key, subscribers] : m_keySubscribers) {
            if (key.compare(0, head.size(), head) == 0 && key != whole) keys.push_back(key);
        }
    }
    std::sort(keys.begin(), keys.end());
    return keys;
}

size_t SubscriptionRegistry::KeyCount() {
    CTLSingleLock lock(&m_mutex, 1);
    return m_keySubscribers.size();
}
