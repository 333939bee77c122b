#include "framework/net/tl_netnotify.h"

#include "framework/net/tl_netengine.h"
#include "framework/net/tl_proxy.h"
#include "framework/net/tl_socketlink.h"

namespace corvane {

// ---- CTLNetNotify -------------------------------------------------------------

CTLNetNotify::~CTLNetNotify() {
    if (m_link.load()) Disconnect(TL_NET_CLOSE_DETACH);
    delete m_filter;
    m_filter = nullptr;
}

int32_t CTLNetNotify::Send(const void* data, uint32_t length, uint32_t flags) {
    ITLSocketLink* link = m_link.load();
    if (!link) return TL_NET_E_NO_LINK;
    if (!data && length) return TL_NET_E_FAIL;
    CTLSendBuffer buf;
    if (!m_filter) {
        if (buf.AppendBlock(data, length) != 0) return TL_NET_E_NOMEM;
        int32_t rc = link->Send(buf, flags);
        return rc < 0 ? rc : 0;
    }
    int r = m_filter->Pack(data, length, flags, buf);
    if (r != 0 && r != 2 && r != 3) {
        RaiseError(16, TL_NET_E_PACK);
        return TL_NET_E_PACK;
    }
    return link->Send(buf, flags);
}

int32_t CTLNetNotify::Disconnect(uint32_t flags) {
    ITLSocketLink* link = m_link.load();
    if (!link) return TL_NET_E_NO_LINK;
    int32_t rc = link->Close(flags, TL_NET_REASON_OWNER);
    if (flags & TL_NET_CLOSE_DETACH) ForgetLink(link);
    return rc;
}

int32_t CTLNetNotify::RaiseConnect(uint32_t code) {
    int32_t res = 0;
    bool called = false;
    if (m_connect.IsSet()) {
        if (m_connect.fn) {
            res = m_connect.fn(m_connect.ctx, this, code);
            called = true;
        }
    } else if (m_generic.fn) {
        res = m_generic.fn(m_generic.ctx, this, TL_EVENT_CONNECT | code, 0, 0, nullptr);
        called = true;
    }
    if (!called || !(res & 1)) Confirm();
    return res;
}

int32_t CTLNetNotify::OnConnect(uint32_t code) {
    if (m_filter) m_filter->Reset();
    return RaiseConnect(code);
}

int32_t CTLNetNotify::OnReceiveBuffers(uint32_t code, CTLNetBufferList& list) {
    int32_t res = 0;
    if (m_list.IsSet()) {
        if (m_list.fn) res = m_list.fn(m_list.ctx, this, code, &list);
    } else if (m_data.IsSet()) {
        if (m_data.fn) {
            for (TLNetBlock* b : list) res = m_data.fn(m_data.ctx, this, code, b->length, b->Data());
        }
    } else if (m_generic.fn) {
        for (TLNetBlock* b : list)
            res = m_generic.fn(m_generic.ctx, this, TL_EVENT_DATA | code, 0, b->length, b->Data());
    }
    if (res & 1) Confirm();
    return res;
}

int32_t CTLNetNotify::OnReceive(uint32_t code, const void* data, uint32_t length) {
    CTLNetBufferList list;
    if (list.AppendBlock(data, length) != 0) return TL_NET_E_NOMEM;
    return OnReceiveBuffers(code, list);
}

int32_t CTLNetNotify::OnSent(uint32_t code, uint32_t bytes) {
    if (m_sent.IsSet()) return m_sent.fn ? m_sent.fn(m_sent.ctx, this, code, bytes) : 0;
    if (m_generic.fn) return m_generic.fn(m_generic.ctx, this, TL_EVENT_SENT | code, 0, bytes, nullptr);
    return 0;
}

int32_t CTLNetNotify::OnDisconnect(uint32_t code) {
    if (m_disconnect.IsSet())
        return m_disconnect.fn ? m_disconnect.fn(m_disconnect.ctx, this, code, DisconnectConnection(m_eventConnection))
                               : 0;
    if (m_generic.fn) return m_generic.fn(m_generic.ctx, this, TL_EVENT_DISCONNECT | code, 0, 0, nullptr);
    return 0;
}

int32_t CTLNetNotify::OnCheck(uint32_t count) {
    if (m_check.IsSet()) return m_check.fn ? m_check.fn(m_check.ctx, this, count) : 0;
    if (m_generic.fn) return m_generic.fn(m_generic.ctx, this, TL_EVENT_CHECK, 0, 0, nullptr);
    return 0;
}

int32_t CTLNetNotify::OnProxyReceive(const void* data, uint32_t length) {
    (void)data;
    (void)length;
    return 0;
}

int32_t CTLNetNotify::StartProxyHandshake() { return 0; }

void CTLNetNotify::RaiseError(uint32_t code, int32_t error) {
    if (m_error.IsSet()) {
        if (m_error.fn) m_error.fn(m_error.ctx, this, code, error);
    } else if (m_generic.fn) {
        m_generic.fn(m_generic.ctx, this, TL_EVENT_ERROR | code, 0, error, nullptr);
    }
}

int32_t CTLNetNotify::SendList(CTLNetBufferList& list, uint32_t flags) {
    ITLSocketLink* link = m_link.load();
    if (!link) return TL_NET_E_NO_LINK;
    return link->SendBufferList(list, flags);
}

int32_t CTLNetNotify::SetFilter(CTLPackFilter* filter, uint32_t flags) {
    if (!filter) return 1;
    if (m_filter) {
        if (flags & 0x1) {
            delete m_filter;
            m_filter = nullptr;
        } else {
            m_filter->OnReplace(filter);
            if (m_filter) return 1;
        }
    }
    m_filter = (flags & 0x2) ? filter : filter->Clone();
    return 1;
}

void CTLNetNotify::ForgetLink(ITLSocketLink* link) {
    ITLSocketLink* expected = link;
    m_link.compare_exchange_strong(expected, nullptr);
}

int32_t CTLNetNotify::ConnectStatus(ITLConnection* connection, uint32_t code) {
    CTLSendBuffer block;
    const uint32_t status =
        m_filter ? m_filter->OnConnectStep(static_cast<int>(code), connection, 0, block) : TL_CONNECT_STEP_DEFAULT;
    if (((status >> 28) & 0xF) == 1 && !block.IsEmpty()) {
        if (ITLSocketLink* link = m_link.load()) link->Send(block, 0);
    }
    switch ((status >> 20) & 0xF) {
    case 1:
        OnConnect(code);
        break;
    case 2:
        break;
    default:
        return -1;
    }
    switch ((status >> 24) & 0xF) {
    case 1:
        return 0;
    case 2:
        return 0x1000000;
    default:
        return -1;
    }
}

int32_t CTLNetNotify::LinkConnectStep(ITLConnection* connection, uint32_t code) {
    m_eventConnection = connection;
    if (code & 1) {
        m_bytesSent.store(0);
        m_sends.store(0);
        m_bytesReceived.store(0);
        m_receives.store(0);
        if (StartProxyHandshake() != 0) return 0;  // the handshake goes on in OnProxyReceive
        return ConnectStatus(connection, code);
    }
    m_link.store(nullptr);
    ClearState();
    // The owner may free this sink from its disconnect callback: nothing of
    // it is touched afterwards.
    OnDisconnect(code + 0x40);
    return 0;
}

void CTLNetNotify::LinkDisconnect(ITLSocketLink* link, ITLConnection* connection, uint32_t reason) {
    ForgetLink(link);
    ClearState();
    m_eventConnection = connection;
    // The owner may free this sink from its disconnect callback: nothing of
    // it is touched afterwards.
    OnDisconnect(reason);
}

int32_t CTLNetNotify::LinkReceive(ITLConnection* connection, const void* data, uint32_t length) {
    m_eventConnection = connection;
    int32_t proxy = OnProxyReceive(data, length);
    if (proxy != 0) return proxy;
    if (length > 0) {
        m_bytesReceived.fetch_add(length);
        m_receives.fetch_add(1);
    }
    if (!m_filter) return OnReceive(1, data, length);
    CTLNetBufferList list;
    const void* d = data;
    uint32_t n = length;
    for (;;) {
        const int r = m_filter->Unpack(0, connection, d, n, list);
        d = nullptr;
        n = 0;
        switch (r) {
        case TL_UNPACK_NOT_MINE:
            return OnReceive(1, data, length);
        case TL_UNPACK_PACKETS: {
            // A filter that keeps answering "packets" without any would spin.
            if (list.IsEmpty()) return 0;
            int32_t res = OnReceiveBuffers(1, list);
            if (res < 0) return res;
            list.Clear();
            continue;
        }
        case TL_UNPACK_NEED_MORE:
            if (m_partial.IsSet()) {
                if (m_partial.fn)
                    m_partial.fn(m_partial.ctx, this, 1, m_filter->Control(TL_FILTER_CTRL_PARTIAL_A),
                                 m_filter->Control(TL_FILTER_CTRL_PARTIAL_B));
            } else if (m_generic.fn) {
                m_generic.fn(m_generic.ctx, this, TL_EVENT_PARTIAL | 1, m_filter->Control(TL_FILTER_CTRL_PARTIAL_A),
                             m_filter->Control(TL_FILTER_CTRL_PARTIAL_B), nullptr);
            }
            return 0;
        case TL_UNPACK_PACKETS_LAST:
            return OnReceiveBuffers(1 + 8, list);
        case TL_UNPACK_SEND_LIST:
            return SendList(list, 0);
        case TL_UNPACK_SEND_AGAIN:
            if (list.IsEmpty()) return 0;
            SendList(list, 0);
            list.Clear();
            continue;
        case TL_UNPACK_CONNECTED:
            OnConnect(9);
            return 0x2000000;
        case TL_UNPACK_SWALLOWED:
            return 0x2000000;
        case TL_UNPACK_RAW_BLOCK: {
            TLNetBlock* first = nullptr;
            list.Front(first);
            if (first) {
                CTLSendBuffer buf;
                buf.AppendRef(first);
                first->Release();
                if (ITLSocketLink* link = m_link.load()) link->Send(buf, 0);
            }
            return 0;
        }
        default:
            RaiseError(1 + 16, TL_NET_E_UNPACK);
            return TL_NET_E_UNPACK;
        }
    }
}

void CTLNetNotify::LinkSent(uint32_t bytes) {
    m_bytesSent.fetch_add(bytes);
    m_sends.fetch_add(1);
    OnSent(1, bytes);
}

void CTLNetNotify::LinkCheck(uint32_t count) {
    ITLSocketLink* link = m_link.load();
    if (!IsConfirmed() && count >= TL_NOTIFY_CONFIRM_CHECKS && link && link->GetState() == TL_CONN_CONNECTED) {
        Disconnect(0);
        return;
    }
    OnCheck(count);
}

void CTLNetNotify::LinkIdle() {
    if (!m_filter) return;
    CTLNetBufferList list;
    if (m_filter->OnIdle(0, list) == TL_UNPACK_SEND_LIST) SendList(list, 0);
}

CTLNetNotify* CTLNetNotify::LinkAccept() {
    CTLNetNotify* n = CreateNotify();
    if (!n) return nullptr;
    n->m_generic = m_generic;
    n->m_data = m_data;
    n->m_list = m_list;
    n->m_sent = m_sent;
    n->m_connect = m_connect;
    n->m_disconnect = m_disconnect;
    n->m_check = m_check;
    n->m_error = m_error;
    n->m_partial = m_partial;
    if (m_filter) n->SetFilter(m_filter, 0);
    return n;
}

// ---- CTLClientNotify ----------------------------------------------------------

CTLClientNotify::~CTLClientNotify() {
    if (m_link.load()) Disconnect(TL_NET_CLOSE_DETACH);
    DeleteProxy();
}

int32_t CTLClientNotify::BuildProxy(const char* text) {
    auto* proxy = new (std::nothrow) CTLProxyHandle;
    if (!proxy) return TL_NET_E_NOMEM;
    proxy->Parse(text);
    if (proxy->IsEmpty()) {
        delete proxy;
        return TL_NET_E_PROXY_SETTINGS;
    }
    DeleteProxy();
    m_proxy = proxy;
    return 0;
}

int32_t CTLClientNotify::ProxyBuildRequest(uint8_t* out, uint32_t size) {
    if (!m_proxy) return TL_NET_E_PROXY_REQUEST;
    const int32_t n = m_proxy->BuildRequest(out, size, m_host.c_str(), m_port);
    if (n <= 0 || static_cast<uint32_t>(n) > size) return TL_NET_E_PROXY_REQUEST;
    return n;
}

int32_t CTLClientNotify::ProxyOnReply(const void* data, uint32_t length, uint8_t* out, uint32_t size) {
    if (!m_proxy) return TL_NET_E_PROXY_REQUEST;
    return m_proxy->OnReply(data, length, out, size, m_host.c_str(), m_port);
}

void CTLClientNotify::DeleteProxy() {
    delete m_proxy;
    m_proxy = nullptr;
}

std::string CTLClientNotify::ConnectHost() const { return m_proxy ? m_proxy->GetAddress().str() : m_host; }

uint16_t CTLClientNotify::ConnectPort() const { return m_proxy ? m_proxy->GetPort() : m_port; }

int32_t CTLClientNotify::FailProxy(uint32_t event, int32_t error) {
    RaiseError(event, error);
    m_proxyFailed.store(true);
    Disconnect(0);
    return error;
}

int32_t CTLClientNotify::Connect(const char* host, uint16_t port, const char* proxy, const char* second) {
    if (!host || !*host) return TL_NET_E_EMPTY_HOST;
    if (port == 0) return TL_NET_E_PORT_ZERO;
    // A sink whose link is still open keeps its address and its proxy: the
    // link's completion threads may be using them.
    if (int32_t busy = OpenLinkState(); busy != 0) return busy;
    m_host = host;
    m_port = port;
    m_second = second ? second : "";
    DeleteProxy();
    m_proxyFinished.store(false);
    m_inProxyHandshake.store(false);
    m_proxyFailed.store(false);
    if (proxy && *proxy) {
        int32_t rc = BuildProxy(proxy);
        if (rc != 0) {
            DeleteProxy();
            return TL_NET_E_PROXY_SETTINGS;
        }
    }
    return OpenLink();
}

int32_t CTLClientNotify::OpenLinkState() {
    ITLSocketLink* link = m_link.load();
    if (!link) return 0;
    switch (link->GetState()) {
    case TL_CONN_CONNECTING:
        return TL_NET_E_BUSY;
    case TL_CONN_CONNECTED:
        return TL_NET_E_CONNECTED;
    case TL_CONN_CLOSING:
        return TL_NET_E_CLOSING;
    case TL_CONN_CLOSED:
        return TL_NET_E_NO_LINK;
    default:
        return TL_NET_E_FAIL;
    }
}

int32_t CTLClientNotify::OpenLink() {
    if (int32_t busy = OpenLinkState(); busy != 0) return busy;
    uint32_t kind = 0;
    if (m_filter) kind = static_cast<uint32_t>(m_filter->Control(TL_FILTER_CTRL_LINK_KIND, m_port, m_second.c_str()));
    if (kind == 0) kind = TL_LINK_KIND_DEFAULT;
    ITLSocketLink* link = TL_CreateSocketLink(this, kind, nullptr);
    if (!link) return TL_NET_E_FAIL;
    m_link.store(link);
    const std::string host = ConnectHost();
    int32_t rc = link->ConnectTo(host.c_str(), ConnectPort(), m_second.c_str());
    if (rc != 0) link->Close(0, TL_NET_REASON_CONNECT_FAILED);
    return rc;
}

int32_t CTLClientNotify::OnDisconnect(uint32_t code) {
    if (m_proxy) {
        if (code & 0x40)
            code += 0x100;
        else if (m_inProxyHandshake.load() && !m_proxyFinished.load())
            code += 0x200;
    }
    m_inProxyHandshake.store(false);
    return CTLNetNotify::OnDisconnect(code);
}

int32_t CTLClientNotify::StartProxyHandshake() {
    if (!m_proxy) return 0;
    m_inProxyHandshake.store(true);
    uint8_t buf[4096];
    int32_t n = ProxyBuildRequest(buf, sizeof buf);
    if (n <= 0 || n > static_cast<int32_t>(sizeof buf)) return FailProxy(5, TL_NET_E_PROXY_REQUEST);
    ITLSocketLink* link = m_link.load();
    if (!link) return TL_NET_E_NO_LINK;
    CTLSendBuffer sb;
    if (sb.AppendBlock(buf, static_cast<uint32_t>(n)) != 0) return FailProxy(5, TL_NET_E_NOMEM);
    int32_t rc = link->Send(sb, 1);
    if (rc < 0 && rc != TL_NET_E_PROXY_PENDING) return FailProxy(5, rc);
    RaiseConnect(1024);
    return TL_NET_E_PROXY_PENDING;
}

int32_t CTLClientNotify::OnProxyReceive(const void* data, uint32_t length) {
    if (!m_proxy || m_proxyFinished.load()) return 0;
    // Bytes after a failed handshake belong to nobody: the connection is
    // closing and they are dropped.
    if (m_proxyFailed.load()) return TL_NET_E_PROXY_PENDING;
    uint8_t buf[4096];
    // Errors are reported with the receive code (1) + 4; a failure ends the
    // handshake and closes the connection.
    int32_t r = ProxyOnReply(data, length, buf, sizeof buf);
    if (r < 0) return FailProxy(1 + 4, r);
    if (r > 0) {
        ITLSocketLink* link = m_link.load();
        if (!link) return TL_NET_E_NO_LINK;
        CTLSendBuffer sb;
        const auto n = static_cast<uint32_t>(std::min<int32_t>(r, sizeof buf));
        if (sb.AppendBlock(buf, n) != 0) return FailProxy(1 + 4, TL_NET_E_NOMEM);
        int32_t rc = link->Send(sb, 1);
        if (rc < 0 && rc != TL_NET_E_PROXY_PENDING) return FailProxy(1 + 4, rc);
        return TL_NET_E_PROXY_PENDING;
    }
    // The tunnel stands: the filter's connect step, then the connect event (33).
    m_proxyFinished.store(true);
    m_inProxyHandshake.store(false);
    CTLSendBuffer block;
    const uint32_t status =
        m_filter ? m_filter->OnConnectStep(33, m_eventConnection, 0, block) : TL_CONNECT_STEP_DEFAULT;
    if (((status >> 28) & 0xF) == 1 && !block.IsEmpty()) {
        if (ITLSocketLink* link = m_link.load()) link->Send(block, 0);
    }
    if (((status >> 20) & 0xF) == 1) {
        if (m_filter) m_filter->Reset();
        int32_t res = RaiseConnect(33);
        if (res < 0) return res;
    }
    return TL_NET_E_PROXY_PENDING;
}

CTLNetNotify* CTLClientNotify::CreateNotify() { return new (std::nothrow) CTLClientNotify; }

}  // namespace corvane
