#include "framework/net/tl_socketlink.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <netinet/in.h>

#include "framework/net/tl_netengine.h"
#include "framework/net/tl_netnotify.h"
#include "framework/tl_log.h"
#include "platform/pl_socket.h"

int32_t TL_ResolveAddress(sockaddr_in& addr, const char* host, uint16_t port) {
    int r = pl::ResolveIPv4(host, port, addr);
    if (r < 0) return TL_NET_E_RESOLVE;
    return r;
}

namespace corvane {

namespace {

// Sleeps up to ms in short slices, ending early when stop is set.
void SleepUnless(const std::atomic<bool>& stop, int ms) {
    for (int i = 0; i < ms && !stop.load(); i += 10) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

void JoinUnlessSelf(std::thread& t) {
    if (t.joinable() && t.get_id() != std::this_thread::get_id()) t.join();
}

// Joins a thread taken out of its owner; a thread cannot wait for itself,
// so one that is ending its own owner is let go (it touches nothing after).
void JoinOrLetGo(std::thread t) {
    JoinUnlessSelf(t);
    if (t.joinable()) t.detach();
}

}  // namespace

// ---- CTLTcpConnection -------------------------------------------------------

CTLTcpConnection::~CTLTcpConnection() {
    delete m_owner;
    delete m_second;
}

void CTLTcpConnection::SetState(uint32_t value, uint32_t mask) {
    uint32_t cur = m_state.load();
    while (!m_state.compare_exchange_weak(cur, (cur & ~mask) | (value & mask))) {
    }
}

std::string CTLTcpConnection::GetAddress() {
    CTLSingleLock lock(&m_addressLock, 1);
    return m_peerAddress;
}

void CTLTcpConnection::SetAddress(const char* address) {
    CTLSingleLock lock(&m_addressLock, 1);
    m_peerAddress = address ? address : "";
}

void CTLTcpConnection::SetOwnerObject(CTLObject* owner) {
    if (owner == m_owner) return;
    delete m_owner;
    m_owner = owner;
}

bool CTLTcpConnection::TryBeginSend() {
    uint32_t expected = 0;
    return m_sending.compare_exchange_strong(expected, 1);
}

// ---- CTLWindowsTcpConnection -------------------------------------------------

CTLWindowsTcpConnection::CTLWindowsTcpConnection() {
    m_sendOp.kind.store(kOpSend);
    m_recvOp.kind.store(kOpFirstReceive);
    m_connectOp.kind.store(kOpConnectDone);
}

CTLWindowsTcpConnection::~CTLWindowsTcpConnection() {
    m_stopWaiter.store(true);
    JoinThreads();
    CloseSockets();
}

std::thread CTLWindowsTcpConnection::TakeWaiter() {
    std::lock_guard<std::mutex> g(m_waiterLock);
    return std::move(m_waiter);
}

void CTLWindowsTcpConnection::JoinThreads() {
    JoinOrLetGo(TakeWaiter());
    m_stopListen.store(true);
    JoinUnlessSelf(m_listenThread);
}

bool CTLWindowsTcpConnection::HasListenSocket() {
    CTLSingleLock lock(&m_sockLock, 1);
    return m_listenFd >= 0;
}

bool CTLWindowsTcpConnection::HasSocket() { return m_hasSocket.load(); }

bool CTLWindowsTcpConnection::NoPendingIo() {
    return m_sendOp.inflight.load() == 0 && m_recvOp.inflight.load() == 0 && m_connectOp.inflight.load() == 0 &&
           !m_waiterRunning.load();
}

void CTLWindowsTcpConnection::ResetSockets() {
    CTLSingleLock lock(&m_sockLock, 1);
    m_listenFd = -1;
    m_fd = -1;
    m_handle = 0;
    m_sendLen = 0;
    m_hasSocket.store(false);
}

uint16_t CTLWindowsTcpConnection::GetListenPort() {
    CTLSingleLock lock(&m_sockLock, 1);
    return m_listenFd >= 0 ? pl::LocalPort(m_listenFd) : 0;
}

void CTLWindowsTcpConnection::StopListenThread() {
    if (!HasListenSocket()) return;
    m_stopListen.store(true);
    JoinUnlessSelf(m_listenThread);
}

void CTLWindowsTcpConnection::CloseSockets(bool letSendsArrive) {
    StopListenThread();
    CTLSingleLock lock(&m_sockLock, 1);
    if (m_listenFd >= 0) {
        pl::CloseSocket(m_listenFd);
        m_listenFd = -1;
    }
    if (m_handle) {
        // The port cancels what is pending and resets the socket, or lets
        // the data in flight arrive first.
        if (pl::IoPort* port = TL_NetGetPort()) {
            port->Close(m_handle,
                        letSendsArrive ? pl::IoPort::CloseMode::kLetSendsArrive : pl::IoPort::CloseMode::kAbort);
        }
        m_handle = 0;
    }
    if (m_fd >= 0) {
        pl::SetLingerReset(m_fd);
        pl::CloseSocket(m_fd);
        m_fd = -1;
    }
    m_hasSocket.store(false);
}

int32_t CTLWindowsTcpConnection::Listen(uint16_t port, const char* address) {
    if (HasListenSocket()) return TL_NET_E_LISTEN_SOCKET;
    if (IsClosing()) return TL_NET_E_CLOSING;
    if (GetState(TL_CONN_CONNECT_MASK) != TL_CONN_IDLE) return TL_NET_E_BUSY;
    SetState(TL_CONN_LISTENING, TL_CONN_LISTENING);
    return ListenSocket(port, address);
}

int32_t CTLWindowsTcpConnection::ListenSocket(uint16_t port, const char* address) {
    int fd = pl::SocketTcp();
    if (fd < 0) return TL_NET_E_SOCKET;
    sockaddr_in addr;
    if (TL_ResolveAddress(addr, address, port) < 0) {
        pl::CloseSocket(fd);
        return TL_NET_E_RESOLVE;
    }
    int r = pl::ListenOn(fd, addr, 0x7FFFFFFF);  // the kernel clamps the backlog
    if (r != 0) {
        pl::CloseSocket(fd);
        return r == -1 ? TL_NET_E_BIND : TL_NET_E_LISTEN;
    }
    {
        CTLSingleLock lock(&m_sockLock, 1);
        m_listenFd = fd;
        m_hasSocket.store(true);
    }
    m_stopListen.store(false);
    try {
        m_listenThread = std::thread(&CTLWindowsTcpConnection::ListenThread, this);
    } catch (...) {
        CTLSingleLock lock(&m_sockLock, 1);
        pl::CloseSocket(m_listenFd);
        m_listenFd = -1;
        m_hasSocket.store(false);
        return TL_NET_E_FAIL;
    }
    return 0;
}

void CTLWindowsTcpConnection::ListenThread() {
    int code = 0;
    int fd;
    {
        CTLSingleLock lock(&m_sockLock, 1);
        fd = m_listenFd;
    }
    while (!m_stopListen.load()) {
        int r = pl::WaitReadable(fd, 10);
        if (r < 0) {
            code = 2;
            break;
        }
        if (r == 0) continue;
        sockaddr_in peer{};
        int cfd = pl::AcceptOne(fd, &peer);
        if (cfd < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED) continue;
            code = errno;
            break;
        }
        // One accepted connection: a new connection object, the link decides.
        const uint32_t started = TL_TickMs();
        if (IsClosing()) {
            pl::CloseSocket(cfd);
            continue;
        }
        auto* conn = new (std::nothrow) CTLWindowsTcpConnection;
        if (!conn) {
            pl::CloseSocket(cfd);
            continue;
        }
        ITLSocketLink* link = GetLink();
        int32_t rc = link ? link->OnAccept(this, conn) : TL_NET_E_FAIL;
        if (rc != 0) {
            delete conn;
            pl::CloseSocket(cfd);
            continue;
        }
        // The connection now belongs to its new link (registered with the engine).
        if (conn->AcceptFrom(this, cfd, peer) != 0) conn->Close(0, TL_NET_REASON_ACCEPT_FAILED);
        TL_NetNoteAccept(TL_TickMs() - started);
    }
    if (code != 0) {
        MarkClosing();
        const int channel = TL_NetGetLogChannel();
        if (channel >= 0) {
            char text[64];
            std::snprintf(text, sizeof text, "Listen Error =%d\r\n", code);
            TL_WriteLogText(channel, text);
        }
    }
}

int32_t CTLWindowsTcpConnection::AcceptFrom(CTLWindowsTcpConnection* listening, int fd, const sockaddr_in& peer) {
    (void)listening;
    if (fd < 0) return TL_NET_E_SOCKET;
    if (TL_NetGetFlags() & TL_NET_FLAG_NONAGLE) pl::SetNoDelay(fd, true);
    SetState(TL_CONN_CONNECTING, TL_CONN_CONNECT_MASK);
    SetAddress(pl::AddressText(peer).c_str());
    m_peerPort.store(ntohs(peer.sin_port));
    pl::IoPort* port = TL_NetGetPort();
    {
        CTLSingleLock lock(&m_sockLock, 1);
        m_handle = port ? port->Associate(fd, reinterpret_cast<uintptr_t>(this)) : 0;
        if (!m_handle) {
            pl::CloseSocket(fd);
            SetState(TL_CONN_IDLE, TL_CONN_CONNECT_MASK);
            return TL_NET_E_FAIL;
        }
        m_hasSocket.store(true);
    }
    PostConnectDone(1);
    return 0;
}

int32_t CTLWindowsTcpConnection::Connect(const char* host, uint16_t port) {
    if (HasListenSocket()) return TL_NET_E_LISTEN_SOCKET;
    if (IsClosing()) return TL_NET_E_CLOSING;
    if (GetState(TL_CONN_CONNECT_MASK) != TL_CONN_IDLE) return TL_NET_E_BUSY;
    SetAddress(host);
    m_peerPort.store(port);
    return ConnectSocket(host, port);
}

int32_t CTLWindowsTcpConnection::ConnectSocket(const char* host, uint16_t port) {
    int fd = pl::SocketTcp();
    if (fd < 0) return TL_NET_E_SOCKET;
    // A request larger than one staging buffer leaves in several sends: with
    // Nagle's algorithm its last part would wait for the peer's delayed ACK.
    if (TL_NetGetFlags() & TL_NET_FLAG_NONAGLE) pl::SetNoDelay(fd, true);
    sockaddr_in addr;
    if (TL_ResolveAddress(addr, host, port) != 0) {
        pl::CloseSocket(fd);
        return TL_NET_E_RESOLVE;
    }
    int r = pl::ConnectStart(fd, addr);
    if (r != 0 && r != EINPROGRESS) {
        pl::CloseSocket(fd);
        return TL_NET_E_FAIL;
    }
    {
        CTLSingleLock lock(&m_sockLock, 1);
        m_fd = fd;
        m_hasSocket.store(true);
    }
    SetState(TL_CONN_CONNECTING, TL_CONN_CONNECT_MASK);
    if (r == 0) {
        PostConnectDone(1);
        return 0;
    }
    JoinOrLetGo(TakeWaiter());
    m_stopWaiter.store(false);
    bool started = true;
    {
        // The waiter clears its running flag under this lock, so the
        // connection cannot be deemed releasable (and be deleted) before the
        // new thread is stored.
        std::lock_guard<std::mutex> g(m_waiterLock);
        m_waiterRunning.store(true);
        try {
            m_waiter = std::thread(&CTLWindowsTcpConnection::ConnectWaiter, this);
        } catch (...) {
            m_waiterRunning.store(false);
            started = false;
        }
    }
    if (!started) PostConnectDone(0);
    return 0;
}

void CTLWindowsTcpConnection::ConnectWaiter() {
    int fd;
    {
        CTLSingleLock lock(&m_sockLock, 1);
        fd = m_fd;
    }
    int result = -1;
    while (!m_stopWaiter.load()) {
        int err = 0;
        int r = pl::ConnectWait(fd, 10, err);
        if (r == 1) {
            result = err == 0 ? 1 : 0;
            break;
        }
        if (r < 0) {
            result = 0;  // the wait failed: the connect cannot complete
            break;
        }
        SleepUnless(m_stopWaiter, 100);
    }
    if (result >= 0) PostConnectDone(result);
    std::lock_guard<std::mutex> g(m_waiterLock);
    m_waiterRunning.store(false);
}

void CTLWindowsTcpConnection::PostConnectDone(int success) {
    pl::IoPort* port = TL_NetGetPort();
    if (!port) {
        OnConnectDone(0);  // the engine is stopping
        return;
    }
    m_connectResult.store(success);
    m_connectOp.inflight.fetch_add(1);
    port->Post(reinterpret_cast<uintptr_t>(this), &m_connectOp, 0);
}

void CTLWindowsTcpConnection::OnConnectDone(int success) {
    // The waiter that posted this result ends right after: it is joined
    // here rather than left finished and unjoined for the connection's life.
    JoinOrLetGo(TakeWaiter());
    pl::IoPort* port = TL_NetGetPort();
    if (success) {
        CTLSingleLock lock(&m_sockLock, 1);
        // An accepted socket joined the port already.
        if (!m_handle) {
            m_handle = (port && m_fd >= 0) ? port->Associate(m_fd, reinterpret_cast<uintptr_t>(this)) : 0;
            if (m_handle) m_fd = -1;
        }
        if (!m_handle || !port) success = 0;
    }
    ITLSocketLink* link = GetLink();
    if (success) {
        SetState(TL_CONN_CONNECTED, TL_CONN_CONNECT_MASK);
    } else {
        // A failed connect leaves "connecting", so the close can complete
        // and the connection can be released.
        CloseSockets();
        SetState(TL_CONN_IDLE, TL_CONN_CONNECT_MASK);
        MarkClosing();
    }
    if (link) link->OnConnect(this, success ? 1 : 0);
    if (success) {
        m_recvOp.kind.store(kOpFirstReceive);
        m_recvOp.inflight.fetch_add(1);
        port->Post(reinterpret_cast<uintptr_t>(this), &m_recvOp, 0);
    }
}

int32_t CTLWindowsTcpConnection::Close(uint32_t flags, uint32_t reason) {
    // 1. Mark closing unless closed.
    uint32_t cur = m_state.load();
    for (;;) {
        if (cur & TL_CONN_CLOSED) return 0;
        uint32_t next =
            (cur & ~(TL_CONN_CLOSE_MASK | TL_CONN_CLOSE_WAIT_SEND | TL_CONN_CLOSE_DETACH)) | TL_CONN_CLOSING;
        // 2. Record the flags of this close.
        if (flags & TL_NET_CLOSE_WAIT_SEND) next |= TL_CONN_CLOSE_WAIT_SEND;
        if (flags & TL_NET_CLOSE_DETACH) next |= TL_CONN_CLOSE_DETACH;
        if (m_state.compare_exchange_weak(cur, next)) break;
    }
    // 3. Deferred while connecting, or while a send it must wait for is in flight.
    if (GetState(TL_CONN_CONNECT_MASK) == TL_CONN_CONNECTING) return TL_NET_E_CLOSE_DEFERRED;
    if ((flags & TL_NET_CLOSE_WAIT_SEND) && IsSending()) return TL_NET_E_CLOSE_DEFERRED;
    // 4. One caller completes the close. No lock of ours is held while the
    // link reports the disconnect: its callbacks may close again from
    // another thread that holds the link's locks.
    if (m_closeClaimed.exchange(true)) return 0;
    const bool listening = GetState(TL_CONN_LISTENING) != 0;
    if (ITLSocketLink* link = GetLink()) {
        link->OnDisconnect(this, reason + (listening ? TL_NET_REASON_LISTENING : 0));
    }
    // The listen thread is joined before the mutex is taken: no lock is
    // held while a thread is waited for.
    StopListenThread();
    {
        CTLSingleLock lock(&m_mutex, 1);
        CloseSockets((flags & TL_NET_CLOSE_WAIT_SEND) != 0);
    }
    SetState(TL_CONN_CLOSED, TL_CONN_CLOSE_MASK);
    return 0;
}

bool CTLWindowsTcpConnection::ReadyToRelease() {
    if (!GetState(TL_CONN_CLOSED) || HasSocket() || !NoPendingIo()) return false;
    const uint32_t now = TL_TickMs();
    if (!m_closedNoted.load()) {
        m_closedAt.store(now);
        m_closedNoted.store(true);
    }
    return now - m_closedAt.load() >= TL_NetGetReleaseDelay();
}

int32_t CTLWindowsTcpConnection::Send() {
    if (IsClosing()) return TL_NET_E_CLOSING;
    if (!IsConnected()) return TL_NET_E_NOT_CONNECTED;
    if (!TryBeginSend()) return TL_NET_E_SENDING;
    StartSend();
    return 0;
}

int32_t CTLWindowsTcpConnection::SendBlock(TLNetBlock* block) {
    if (!block) return TL_NET_E_FAIL;
    return SendData(block->Data(), static_cast<int32_t>(std::min<uint32_t>(block->length, 0x7FFFFFFF)));
}

int32_t CTLWindowsTcpConnection::SendData(const void* data, int32_t length) {
    if (IsClosing()) return TL_NET_E_CLOSING;
    if (!IsConnected()) return TL_NET_E_NOT_CONNECTED;
    if (length < 1 || !data) return TL_NET_E_FAIL;
    ITLSocketLink* link = GetLink();
    if (!link) return TL_NET_E_FAIL;
    if (!TryBeginSend()) return TL_NET_E_SENDING;
    CTLSendBuffer buf;
    if (buf.AppendBlock(data, static_cast<uint32_t>(length)) != 0) {
        m_sending.store(0);
        return TL_NET_E_NOMEM;
    }
    int32_t queued = link->GetSendQueue().Push(buf, 0);
    if (queued < 0) {
        m_sending.store(0);
        return queued;
    }
    StartSend();
    return 0;
}

int32_t CTLWindowsTcpConnection::OnSendComplete(uint32_t bytes) {
    // 1. Nothing more is sent on a connection that is not connected.
    if (!IsConnected() || GetState(TL_CONN_CLOSED)) {
        m_sendLen = 0;
        m_sending.store(0);
        return 0;
    }
    ITLSocketLink* link = GetLink();
    // 2. Report what went out.
    if (bytes > 0 && link) link->OnSent(this, bytes);
    // 3. Keep the unsent rest at the front of the staging buffer.
    if (bytes > 0 && bytes < m_sendLen) {
        std::memmove(m_sendBuf, m_sendBuf + bytes, m_sendLen - bytes);
        m_sendLen -= bytes;
    } else {
        m_sendLen = 0;
    }
    for (;;) {
        if (m_sendLen == 0 && link) m_sendLen = link->GetSendQueue().Fill(m_sendBuf, kBufferSize, nullptr, nullptr);
        // 4. Send what is staged.
        if (m_sendLen > 0) {
            pl::IoPort* port = TL_NetGetPort();
            pl::IoPort::HandleId h;
            {
                CTLSingleLock lock(&m_sockLock, 1);
                h = m_handle;
            }
            m_sending.store(1);
            m_sendOp.inflight.fetch_add(1);
            int rc = (port && h) ? port->StartSend(h, &m_sendOp, m_sendBuf, m_sendLen) : EBADF;
            if (rc != 0) {
                m_sendOp.inflight.fetch_sub(1);
                m_sendLen = 0;
                m_sending.store(0);
                MarkClosing();
                return TL_NET_E_FAIL;
            }
            return 0;
        }
        m_sending.store(0);
        // A buffer queued by another thread while the flag was still set got
        // a "send in flight" answer; take it up here instead of leaving it.
        if (!link || link->GetSendQueue().IsReadyEmpty() || !TryBeginSend()) return 0;
    }
}

void CTLWindowsTcpConnection::MarkClosing() {
    uint32_t cur = m_state.load();
    while (!(cur & TL_CONN_CLOSE_MASK)) {
        if (m_state.compare_exchange_weak(cur, cur | TL_CONN_CLOSING)) break;
    }
}

int CTLWindowsTcpConnection::PostReceive() {
    pl::IoPort* port = TL_NetGetPort();
    if (!port) return EBADF;
    pl::IoPort::HandleId h;
    {
        CTLSingleLock lock(&m_sockLock, 1);
        h = m_handle;
    }
    if (!h) return EBADF;
    m_recvOp.inflight.fetch_add(1);
    int rc = port->StartRecv(h, &m_recvOp, m_recvBuf, kBufferSize);
    if (rc != 0) m_recvOp.inflight.fetch_sub(1);
    return rc;
}

void CTLWindowsTcpConnection::OnIoError() {
    if (GetState(TL_CONN_CONNECT_MASK) == TL_CONN_CONNECTING) SetState(TL_CONN_IDLE, TL_CONN_CONNECT_MASK);
    Close(0, TL_NET_REASON_IO_ERROR);
}

void CTLWindowsTcpConnection::OnCompletion(pl::IoOperation* op, uint32_t bytes, int error, bool stopping) {
    if (error) {
        if (op == &m_sendOp) {
            m_sendLen = 0;
            m_sending.store(0);
        }
        // The handler runs before the count falls, so the connection cannot
        // be released under it.
        if (!stopping) OnIoError();
        op->inflight.fetch_sub(1);
        return;
    }
    switch (op->kind.load()) {
    case kOpFirstReceive:
        op->kind.store(kOpReceive);
        if (PostReceive() != 0) {
            if (ITLSocketLink* link = GetLink()) link->Close(0, 0);
        }
        break;
    case kOpReceive: {
        ITLSocketLink* link = GetLink();
        int32_t accepted = link ? link->OnReceive(this, m_recvBuf, static_cast<int32_t>(bytes)) : 0;
        if (accepted > 0 && PostReceive() != 0) {
            if (link) link->Close(0, 0);
        }
        break;
    }
    case kOpSend:
        OnSendComplete(bytes);
        break;
    case kOpConnectDone:
        OnConnectDone(m_connectResult.load());
        break;
    default:
        break;
    }
    op->inflight.fetch_sub(1);
}

// ---- CTLSocketSingleLink ------------------------------------------------------

CTLSocketSingleLink::CTLSocketSingleLink(CTLNetNotify* sink, uint32_t kind, ITLConnection* connection)
    : m_kind(kind), m_connection(connection), m_sink(sink) {
    if (!m_connection && (kind & 0xF0) == 0x10) m_connection = new (std::nothrow) CTLWindowsTcpConnection;
    if (m_connection) m_connection->SetLink(this);
}

CTLSocketSingleLink::~CTLSocketSingleLink() {
    m_queue.Clear();
    delete m_connection;
    m_connection = nullptr;
    CTLNetNotify* sink;
    {
        CTLSingleLock r(&m_recvLock, 1);
        CTLSingleLock s(&m_sinkLock, 1);
        sink = m_sink;
        m_sink = nullptr;
    }
    if (sink) sink->ForgetLink(this);
    delete m_ownedSink;
}

void CTLSocketSingleLink::DetachSink(CTLNetNotify* sink) {
    CTLSingleLock r(&m_recvLock, 1);
    CTLSingleLock s(&m_sinkLock, 1);
    if (m_sink == sink) m_sink = nullptr;
}

void CTLSocketSingleLink::SetOwnedSink(CTLNetNotify* sink) { m_ownedSink = sink; }

int32_t CTLSocketSingleLink::Listen(uint16_t port, const char* address) { return m_connection->Listen(port, address); }

int32_t CTLSocketSingleLink::ConnectAddressList(const void* list) {
    (void)list;
    return TL_NET_E_FAIL;  // a single link connects to one address only
}

int32_t CTLSocketSingleLink::ConnectTo(const char* host, uint16_t port, const char* second) {
    (void)second;
    return m_connection->Connect(host, port);
}

int32_t CTLSocketSingleLink::Send(CTLSendBuffer& buf, uint32_t flags) {
    if (m_connection->IsClosing()) return TL_NET_E_CLOSING;
    if (!m_connection->IsConnected()) return TL_NET_E_NOT_CONNECTED;
    int32_t queued = m_queue.Push(buf, static_cast<int32_t>(flags));
    if (queued < 0) return queued;
    if (!(flags & 0x2)) Flush();
    return queued;
}

int32_t CTLSocketSingleLink::SendBufferList(CTLNetBufferList& list, uint32_t flags) {
    CTLSendBuffer buf;
    for (TLNetBlock* b : list) buf.AppendRef(b);
    return Send(buf, flags);
}

int32_t CTLSocketSingleLink::Close(uint32_t flags, uint32_t reason) {
    m_closeFlags.store(flags);
    if (flags & TL_NET_CLOSE_DETACH) {
        // Both sides forget each other, so neither keeps a dangling pointer.
        CTLSingleLock r(&m_recvLock, 1);
        CTLSingleLock s(&m_sinkLock, 1);
        if (m_sink) m_sink->ForgetLink(this);
        m_sink = nullptr;
    }
    return m_connection->Close(flags, reason);
}

std::string CTLSocketSingleLink::GetAddress() { return m_connection->GetAddress(); }

uint32_t CTLSocketSingleLink::GetState() {
    uint32_t closing = m_connection->GetState(TL_CONN_CLOSE_MASK);
    return closing ? closing : m_connection->GetState(TL_CONN_CONNECT_MASK);
}

int32_t CTLSocketSingleLink::SetOption(int id, void* value) {
    if (id == TL_LINK_OPT_QUEUED) {
        if (!value) return TL_NET_E_FAIL;
        auto* q = static_cast<TLLinkQueued*>(value);
        q->bytes = static_cast<uint32_t>(std::min<uint64_t>(m_queue.QueuedBytes(), 0xFFFFFFFF));
        q->buffers = m_queue.QueuedCount();
        return 0;
    }
    if (id == TL_LINK_OPT_BUDGET) {
        if (!value) return TL_NET_E_FAIL;
        int32_t v = *static_cast<int32_t*>(value);
        if (v > 0) m_queue.SetBudget(v);
        return 0;
    }
    return TL_NET_E_UNSUPPORTED;
}

int32_t CTLSocketSingleLink::OnConnect(ITLConnection* connection, int code) {
    CTLSingleLock r(&m_recvLock, 1);
    CTLSingleLock s(&m_sinkLock, 1);
    CTLNetNotify* sink = m_sink;
    // A failed connect detaches the sink before it hears of it: its owner
    // may free it from the disconnect callback.
    if (!(code & 1)) m_sink = nullptr;
    return sink ? sink->LinkConnectStep(connection, static_cast<uint32_t>(code)) : 0;
}

int32_t CTLSocketSingleLink::OnDisconnect(ITLConnection* connection, uint32_t reason) {
    CTLSingleLock r(&m_recvLock, 1);
    CTLSingleLock s(&m_sinkLock, 1);
    CTLNetNotify* sink = m_sink;
    m_sink = nullptr;
    if (sink) sink->LinkDisconnect(this, connection, reason);
    return 0;
}

int32_t CTLSocketSingleLink::OnAccept(ITLConnection* listening, ITLConnection* accepted) {
    (void)listening;
    if (m_connection->IsClosing()) return TL_NET_E_CLOSING;
    CTLSingleLock r(&m_recvLock, 1);
    CTLNetNotify* sink = m_sink ? m_sink->LinkAccept() : nullptr;
    if (!sink) return TL_NET_E_FAIL;
    auto* link = static_cast<CTLSocketSingleLink*>(TL_CreateSocketLink(sink, m_kind, accepted));
    if (!link) {
        delete sink;
        return TL_NET_E_FAIL;
    }
    link->SetOwnedSink(sink);
    sink->LinkAttach(link);
    return 0;
}

int32_t CTLSocketSingleLink::OnSent(ITLConnection* connection, uint32_t bytes) {
    (void)connection;
    if (bytes < 1) return 1;
    CTLSingleLock r(&m_recvLock, 0);
    if (r.Lock(10) && m_sink && m_sink->HasSentPair()) m_sink->LinkSent(bytes);
    return 1;
}

int32_t CTLSocketSingleLink::Flush() {
    while (!m_queue.IsReadyEmpty()) {
        const uint32_t before = m_queue.QueuedCount();
        const uint64_t bytesBefore = m_queue.QueuedBytes();
        if (m_connection->Send() != 0) break;
        // A send that took nothing from the queue would repeat forever.
        if (m_queue.QueuedCount() == before && m_queue.QueuedBytes() == bytesBefore) break;
    }
    return 1;
}

int32_t CTLSocketSingleLink::OnReceive(ITLConnection* connection, const void* data, int32_t length) {
    if (length > 0) {
        CTLSingleLock r(&m_recvLock, 1);
        if (m_sink) m_sink->LinkReceive(connection, data, static_cast<uint32_t>(length));
        return 1;
    }
    Close(0, TL_NET_REASON_PEER_CLOSED);
    return 0;
}

void CTLSocketSingleLink::OnCheck() {
    if (m_connection->IsClosing()) {
        m_connection->Close(m_closeFlags.load(), TL_NET_REASON_DEFERRED_CLOSE);
        return;
    }
    if (!m_connection->IsConnected()) return;
    if (!m_connection->IsSending() && m_queue.IsEmpty()) {
        const uint32_t count = m_checkCount.fetch_add(1) + 1;
        CTLSingleLock r(&m_recvLock, 0);
        if (r.Lock(10) && m_sink) m_sink->LinkCheck(count);
    }
    if (m_queue.MoveBudget() > 0) {
        Flush();
    } else if (!m_connection->IsSending() && !m_queue.IsReadyEmpty()) {
        Flush();
    }
}

void CTLSocketSingleLink::OnIdle() {
    if (!m_connection->IsConnected() || m_connection->IsClosing()) return;
    CTLSingleLock s(&m_sinkLock, 1);
    if (m_sink) m_sink->LinkIdle();
}

// Flush does nothing (and answers 1) when nothing is ready to go.
int32_t CTLSocketSingleLink::FlushIfPending() { return Flush(); }

bool CTLSocketSingleLink::ReadyToRelease() { return m_connection->ReadyToRelease(); }

}  // namespace corvane
