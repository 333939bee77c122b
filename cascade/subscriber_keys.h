// Subscriber bookkeeping over the subscription registry: the changes a
// subscriber (the local host, or a child connection of a master) makes to
// its keys, and the passing of those changes upstream (to the market session
// in the master role and during playback, to the master in the child role)
// for the codes no other subscriber already covers.
//
// The registry's lock is taken per registry operation and never held while
// a change goes upstream, which may wait for a gateway answer.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "session/subscription_registry.h"

// Takes a change upstream: (data class, subop_type, market, code list).
using SubscriptionUpstream =
    std::function<void(uint32_t dataClass, uint32_t subopType, const std::string& market, const std::string& codelist)>;

// A part of a key "class|market:codes": "msg_dataclass" the text before
// "|", "market" the text between "|" and ":", "codelist" the text after
// ":"; empty for any other name or a key without "|" or ":".
std::string SubscriptionKeyPart(std::string_view key, std::string_view part);

// Whether a change of a key needs no upstream step: an unknown key is not
// covered; for subop_type 3 the key is covered when it has two or more
// subscribers, for 4 when it still has one; any other subop_type is.
bool IsKeyCovered(SubscriptionRegistry& registry, std::string_view key, uint32_t subopType);

// Passes a change upstream for the codes whose key is not covered: the
// whole market "()" as one key; a list with "," code by code, one upstream
// change with the codes left, parenthesised; a single code as given.
void ForwardSubscription(SubscriptionRegistry& registry, uint32_t dataClass, uint32_t subopType,
                         std::string_view market, std::string_view codelist, const SubscriptionUpstream& upstream);

// Removes every key of the subscriber of the key's data class and market
// (every key of the subscriber when the key is empty), forwarding each
// removal as subop_type 4.
void DropSubscriberKeys(SubscriptionRegistry& registry, Subscriber subscriber, std::string_view key,
                        const SubscriptionUpstream& upstream);

// A subscriber's change of its keys "class|market:codelist": 1 subscribes
// anew (drops the class and market, adds, forwards 3), 2 cancels the class
// and market, 3 adds (forwards 3), 4 removes (forwards 4); other values
// change nothing.
void ApplySubscriptionChange(SubscriptionRegistry& registry, Subscriber subscriber, uint32_t dataClass,
                             uint32_t subopType, std::string_view market, std::string_view codelist,
                             const SubscriptionUpstream& upstream);
