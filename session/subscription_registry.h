// The process-wide table of who subscribed to what.
//
// Where one instance serves several subscribers (the master of a cascade,
// whose children and host all subscribe through it, and offline playback),
// every subscription passes through this registry. It answers two questions:
// which subscribers want a given security of a data class (to route records
// and to tell whether a change has to go upstream), and which keys a given
// subscriber holds (to drop them when it leaves).
//
// A key is the data class in decimal, "|", the market text, ":(", one code,
// ")": "2|USHA:(600000)". The whole-market key of a class and market has
// nothing between the parentheses ("2|USHA:()") and stands for every code of
// the market. A key's head is its text before the first ":" ("2|USHA"), its
// tail the text after it ("(600000)"). Key lists have the same form with
// several codes separated by commas: "2|USHA:(600000,600001)".
//
// A subscriber is an opaque 64-bit value chosen by the caller (a socket, an
// instance address): the registry compares subscribers by value and never
// dereferences them.
//
// Three tables, all under one recursive mutex held for the whole run of
// every operation: key -> subscribers; subscriber -> keys (an entry stays,
// possibly empty, once created); (subscriber, class) -> market parts (the
// key's text after "|"). No operation calls out while holding the mutex.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "framework/tl_sync.h"

using Subscriber = uint64_t;
using SubscriberSet = std::set<Subscriber>;
using SubscriptionKeySet = std::set<std::string>;
// Subscriber -> indexes of the records it wants, ascending.
using SubscriberRecordMap = std::map<Subscriber, std::vector<uint32_t>>;

// "class|market:(code)"; an empty code gives the whole-market key.
std::string MakeSubscriptionKey(uint32_t dataClass, std::string_view market, std::string_view code);

// The key of an output record of a data class: its market text (5 bytes at
// offset 0) and its code (16 bytes at offset 5), each up to its first zero.
std::string RecordSubscriptionKey(uint32_t dataClass, const void* record);

// The head of a key (text before the first ":", the whole key without one)
// followed by ":()".
std::string WholeMarketKeyOf(std::string_view key);

// The keys that a key list stands for, in order (duplicates kept):
//  - a list without ":" stands for nothing;
//  - a tail of exactly "()" gives the whole-market key;
//  - a list without "," is one key, the text unchanged;
//  - otherwise the codes of the tail (the text after its first "(" up to the
//    next ")"; without "(" from the start of the tail, without ")" to its
//    end), cut at every ",", each give head + ":(" + code + ")"; an empty
//    code gives the whole-market key.
std::vector<std::string> ExpandSubscriptionKeys(std::string_view keyList);

class SubscriptionRegistry {
public:
    // The registry of the process, created when the library loads.
    static SubscriptionRegistry& Global();

    // An empty registry of its own (the process uses Global()).
    SubscriptionRegistry() = default;
    SubscriptionRegistry(const SubscriptionRegistry&) = delete;
    SubscriptionRegistry& operator=(const SubscriptionRegistry&) = delete;

    // Registers (unregisters) the subscriber for every key of the list.
    // Both return 1.
    int AddKeys(std::string_view keyList, Subscriber subscriber);
    int RemoveKeys(std::string_view keyList, Subscriber subscriber);

    // The subscribers of the exact key plus those of its whole-market key.
    // When the exact key is held, *out is replaced by its subscribers; the
    // whole-market key's subscribers are then added. True when either key is
    // held; otherwise *out is left untouched.
    bool FindSubscribers(std::string_view key, SubscriberSet* out);

    // A copy of the subscriber's keys in *out; false (out untouched) when the
    // subscriber was never registered.
    bool GetSubscriberKeys(Subscriber subscriber, SubscriptionKeySet* out);

    // Routes a batch of records: for every i below count, each subscriber of
    // keys[i] and of its whole-market key gets index i in its list. *out is
    // added to, not cleared. Returns 1.
    int CollectSubscribers(const std::string* keys, size_t count, SubscriberRecordMap* out);

    // The single-key steps of AddKeys and RemoveKeys.
    void RegisterKey(const std::string& key, Subscriber subscriber);
    void UnregisterKey(const std::string& key, Subscriber subscriber);

    // The market parts ("USHA:(600000)") that the subscriber holds in a data
    // class (the key text before "|"); false when it holds none.
    bool GetMarketParts(Subscriber subscriber, std::string_view dataClass, std::set<std::string>* out);

    // The keys of single codes that someone holds in a data class and market
    // (keys whose head is "class|market"; the whole-market key left out),
    // sorted.
    std::vector<std::string> CodeKeysOfMarket(std::string_view dataClass, std::string_view market);

    // Number of keys that have at least one subscriber.
    size_t KeyCount();

private:
    using ClassSlot = std::pair<Subscriber, std::string>;

    corvane::CMutex m_mutex;
    std::unordered_map<std::string, SubscriberSet> m_keySubscribers;
    std::unordered_map<Subscriber, SubscriptionKeySet> m_subscriberKeys;
    std::map<ClassSlot, std::set<std::string>> m_classMarkets;
};
