// The child instance's connection to its cascade master, as the instance's
// roads use it: connect (replacing the connection held before), send one
// request text, and the local subscriber id the host's own subscription keys
// are held under. Answers of the master reach the instance through the
// answer sink given at creation, which stores each in the request waiting
// under its id.
//
// The library's links come from one process-wide factory; tests install
// scripted ones. Without a cascade transport the default link cannot
// connect, so a child's login answers -1014 and its requests go nowhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

class IParentLink {
public:
    virtual ~IParentLink() = default;
    // Connects to the master at host:port. The connection held before is
    // dropped first, so that no data keep arriving on it. False when the
    // master cannot be reached.
    virtual bool Connect(const std::string& host, uint16_t port) = 0;
    // Sends one request text as a request frame; false without a connection
    // or when the send fails.
    virtual bool Send(std::string_view text) = 0;
    // The local subscriber id: the connection's socket number, 0 without one.
    virtual uint64_t SubscriberId() const = 0;
};

// Receives each answer of the master (login answer, query answers): its id
// and its whole body. Called on the link's receive thread; it never blocks.
using ParentAnswerSink = std::function<void(const std::string& id, const char* body, size_t length)>;

using ParentLinkFactory = std::function<std::unique_ptr<IParentLink>(ParentAnswerSink sink)>;

// Installs the factory of the process (an empty one puts the default back);
// returns the previous one.
ParentLinkFactory SetParentLinkFactory(ParentLinkFactory factory);
// A new link from the factory in force (never null).
std::unique_ptr<IParentLink> CreateParentLink(ParentAnswerSink sink);
