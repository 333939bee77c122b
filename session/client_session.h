// The gateway connection of a market session: a client event sink with a
// reference count (CRefClientNotify) and the session's own sink class
// (CClientSession). The session sets the sink's connect, disconnect and
// receive callbacks, attaches the gateway packet filter and calls Send and
// Disconnect on it.
#pragma once

#include "framework/net/tl_netnotify.h"
#include "framework/tl_buffer.h"
#include "framework/tl_refptr.h"

// A client sink shared through reference counts.
class CRefClientNotify : public corvane::CTLClientNotify, public corvane::EnableRefPtr {
public:
    CRefClientNotify() = default;
    ~CRefClientNotify() override = default;
};

class CClientSession : public CRefClientNotify {
public:
    CClientSession() = default;
    ~CClientSession() override;

    // The sink made for a connection accepted through this one.
    corvane::CTLNetNotify* CreateNotify() override;

    corvane::CTLSmartBuffer& Buffer() { return m_buffer; }

private:
    corvane::CTLSmartBuffer m_buffer;
};
