// The packet-filter interface: an event sink hands received bytes to its
// filter to cut them into packets, wraps outgoing data through it, lets it
// take part in the connect handshake and in idle calls, and asks it for the
// link kind and for clones (one filter per connection).
#pragma once

#include <cstdint>

#include "framework/net/tl_netbuffer.h"
#include "framework/tl_object.h"

namespace corvane {

class ITLConnection;

// Results of Unpack.
enum : int {
    TL_UNPACK_NOT_MINE = 0,      // not for this filter: deliver the raw bytes
    TL_UNPACK_PACKETS = 1,       // packets in the list; call again with no bytes
    TL_UNPACK_NEED_MORE = 2,     // more bytes needed
    TL_UNPACK_PACKETS_LAST = 3,  // packets in the list (code + 8); stop
    TL_UNPACK_SEND_LIST = 4,     // send the list to the peer; stop
    TL_UNPACK_SEND_AGAIN = 5,    // send the list, then call again with no bytes
    TL_UNPACK_CONNECTED = 6,     // raise the connect event (code 9)
    TL_UNPACK_SWALLOWED = 7,     // nothing to do
    TL_UNPACK_RAW_BLOCK = 8,     // hand the first block straight to the link
};

// Status word of OnConnectStep: bits 28-31 = 1 send the filled block;
// bits 20-23 = 1 raise the connect event now, 2 wait; bits 24-27 = 1 result
// 0, 2 result 0x1000000.
constexpr uint32_t TL_CONNECT_STEP_DEFAULT = 0x21100000;

// Control selectors.
enum : int {
    TL_FILTER_CTRL_PARTIAL_B = 1,  // second value of a partial-frame report
    TL_FILTER_CTRL_PARTIAL_A = 2,  // first value of a partial-frame report
    TL_FILTER_CTRL_LINK_KIND = 4,  // link kind (arg: port, ptr: second address); 0 = default
};

class CTLPackFilter : public CTLObject {
public:
    CTLPackFilter() = default;
    ~CTLPackFilter() override = default;

    // Takes the new bytes (none on a repeat call: data null, length 0) and
    // answers one of the TL_UNPACK_ results; anything else is an error.
    virtual int Unpack(int reserved, ITLConnection* connection, const void* data, uint32_t length,
                       CTLNetBufferList& out) = 0;
    // Wraps outgoing bytes into sendBuf; 0, 2 or 3 send it, any other value
    // is an error.
    virtual int Pack(const void* data, uint32_t length, uint32_t flags, CTLSendBuffer& sendBuf) = 0;
    // The filter's part in the connect handshake; may fill block.
    virtual uint32_t OnConnectStep(int code, ITLConnection* connection, int reserved, CTLSendBuffer& block) {
        (void)code;
        (void)connection;
        (void)reserved;
        (void)block;
        return TL_CONNECT_STEP_DEFAULT;
    }
    // Every 100 ms while connected; 4 sends the list filled.
    virtual int OnIdle(int code, CTLNetBufferList& out) {
        (void)code;
        (void)out;
        return 0;
    }
    // A fresh filter of the same kind.
    virtual CTLPackFilter* Clone() = 0;
    // Called when the connection is established; returns this filter.
    virtual CTLPackFilter* Reset() = 0;
    // Offered the filter that is to replace this one (see the sink's SetFilter).
    virtual void OnReplace(CTLPackFilter* replacement) { (void)replacement; }
    virtual int64_t Control(int what, int64_t arg = 0, const void* ptr = nullptr) {
        (void)what;
        (void)arg;
        (void)ptr;
        return 0;
    }
};

}  // namespace corvane
