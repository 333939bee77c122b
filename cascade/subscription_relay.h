// Subscriber bookkeeping of a relaying instance: who holds which keys in the
// SubscriptionRegistry, and which changes go upstream.
//
// Where an instance serves several subscribers (its children, each named by
// its connection, and its own host, named by the local subscriber), their
// subscription changes are recorded in the registry, and a change is passed
// upstream (to the market session in the master role, to the master in the
// child role) only for the codes whose coverage it changes: an addition when
// the code had no subscriber before, a removal when it has none left.
//
// Key texts: the data class in decimal, "|", the market, ":" and a
// parenthesised code list ("2|USHA:(600000,600036)"); "()" is the whole
// market. No lock of this class is held while the upstream change runs; the
// registry locks each of its own operations.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "session/subscription_registry.h"

// "msg_dataclass" gives the text before "|", "market" the text between "|"
// and ":", "codelist" the text after ":" to the end; any other part name, or
// a key without "|" or ":", gives the empty text.
std::string SubscriptionKeyPart(std::string_view key, std::string_view part);

// The parenthesised form of a code list as a caller may give it, the form of
// the registry's keys and of the cascade: "(600000)" and "600000" both give
// "(600000)", "600000,600036" gives "(600000,600036)", and "" gives "()" (the
// whole market). A "(" at the start and a ")" at the end are taken as the
// list's own; nothing else changes.
std::string ParenthesisedCodeList(std::string_view codelist);

class SubscriptionRelay {
public:
    // An upstream change: (data class, subop_type 3 or 4, market, code list).
    using UpstreamChange = std::function<int32_t(uint32_t, uint32_t, const std::string&, const std::string&)>;

    SubscriptionRelay(SubscriptionRegistry& registry, UpstreamChange upstream)
        : m_registry(registry), m_upstream(std::move(upstream)) {}

    // A subscription change of one subscriber, its code list taken in the
    // parenthesised form, by subop_type:
    //  1 subscribe anew: drop the subscriber's keys of the class and market,
    //    add the new ones, forward the addition;
    //  2 cancel the class and market: drop its keys of them;
    //  3 add codes: add, forward the addition;
    //  4 remove codes: remove, forward the removal;
    //  any other value changes nothing.
    // 0; a change that no record could ever match (SubscriptionRefusal: a
    // market that names none, -1007, or a class outside 1 to 6, -1011) is
    // refused with its code and one log line, whatever the subop_type:
    // nothing is kept or forwarded.
    int32_t Apply(Subscriber subscriber, uint32_t dataClass, uint32_t subopType, const std::string& market,
                  const std::string& codelist);

    // A child's change (the text of a ReqType 20 message): ignored (false)
    // when msg_dataclass, subop_type, market or codelist is empty, or when
    // Apply refuses it. The child is sent no answer either way.
    bool ChildSubscription(std::string_view text, Subscriber child);

    // Removes every key of the subscriber whose data class and market equal
    // those of key (every key when key is empty) and forwards each removal.
    void DropSubscriberKeys(Subscriber subscriber, std::string_view key);

    // Passes a change upstream for the codes whose coverage it changes: "()"
    // as a whole; a list of several codes as one change of the codes not
    // covered (in their order); a single code as it stands. A whole-market
    // removal passed upstream ends the single codes of that market there
    // too, so the codes someone still holds one by one are subscribed again
    // (one addition of them all).
    void ForwardSubscription(uint32_t dataClass, uint32_t subopType, const std::string& market,
                             const std::string& codelist);

    // Whether a change of the key needs no upstream change: an unknown key
    // is not covered; after an addition (3) a key is covered when it has two
    // subscribers or more, after a removal (4) when it still has one; any
    // other operation counts as covered.
    bool IsKeyCovered(const std::string& key, uint32_t subopType) const;

private:
    // After a whole-market removal went upstream: the codes of the class and
    // market still held one by one go up again as one addition.
    void ResubscribeHeldCodes(uint32_t dataClass, const std::string& market);
    void Upstream(uint32_t dataClass, uint32_t subopType, const std::string& market, const std::string& codelist);

    SubscriptionRegistry& m_registry;
    UpstreamChange m_upstream;
};
