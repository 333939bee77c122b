// Connections and links.
//
// A connection owns one socket: it connects without blocking, listens and
// accepts, keeps a state word, receives through the engine's completion port
// into a 4096-byte buffer and sends from a 4096-byte staging buffer. A link
// owns one connection and the send queue, serialises events under its
// receive lock and its sink lock (taken in that order), and forwards them to
// its sink. The engine's check thread drives each link once a second (check)
// and every 100 ms (idle), and releases it once its connection is closed.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "framework/net/tl_netbuffer.h"
#include "framework/net/tl_netcodes.h"
#include "framework/tl_object.h"
#include "framework/tl_sync.h"
#include "platform/pl_completion_port.h"

struct sockaddr_in;

// Fills an IPv4 address with host and port. 0 for a dotted or resolved
// address, 1 for an empty host (the any-address), 0x80070009 when the name
// cannot be resolved.
int32_t TL_ResolveAddress(sockaddr_in& addr, const char* host, uint16_t port);

namespace corvane {

class CTLNetNotify;
class ITLSocketLink;

class ITLConnection : public CTLObject {
public:
    ~ITLConnection() override = default;
    virtual int32_t Listen(uint16_t port, const char* address) = 0;
    virtual int32_t Unsupported() { return TL_NET_E_UNSUPPORTED; }
    virtual int32_t Connect(const char* host, uint16_t port) = 0;
    virtual int32_t Close(uint32_t flags, uint32_t reason) = 0;
    virtual int32_t Send() = 0;
    virtual int32_t SendBlock(TLNetBlock* block) = 0;
    virtual int32_t SendData(const void* data, int32_t length) = 0;
    virtual bool IsConnected() = 0;
    virtual bool AlwaysFalse() { return false; }
    virtual bool IsClosing() = 0;
    virtual bool ReadyToRelease() = 0;
    virtual bool IsSending() = 0;
    virtual uint32_t GetState(uint32_t mask) = 0;
    virtual void SetState(uint32_t value, uint32_t mask) = 0;
    virtual ITLSocketLink* GetLink() = 0;
    virtual void SetLink(ITLSocketLink* link) = 0;
    virtual std::string GetAddress() = 0;
    virtual void SetAddress(const char* address) = 0;
    virtual void SetOwnerObject(CTLObject* owner) = 0;
    virtual CTLObject* GetOwnerObject() = 0;
    virtual void* GetInterface() { return this; }
    virtual bool TryBeginSend() = 0;
};

// The parts of a TCP connection common to every platform: state word,
// sending flag, peer address, link and owner object.
class CTLTcpConnection : public ITLConnection {
public:
    CTLTcpConnection() = default;
    ~CTLTcpConnection() override;

    bool IsConnected() override { return GetState(TL_CONN_CONNECT_MASK) == TL_CONN_CONNECTED; }
    bool IsClosing() override { return GetState(TL_CONN_CLOSE_MASK) != 0; }
    bool IsSending() override { return m_sending.load() == 1; }
    uint32_t GetState(uint32_t mask) override { return m_state.load() & mask; }
    void SetState(uint32_t value, uint32_t mask) override;
    ITLSocketLink* GetLink() override { return m_link.load(); }
    void SetLink(ITLSocketLink* link) override { m_link.store(link); }
    std::string GetAddress() override;
    void SetAddress(const char* address) override;
    void SetOwnerObject(CTLObject* owner) override;
    CTLObject* GetOwnerObject() override { return m_owner; }
    bool TryBeginSend() override;
    uint16_t GetPeerPort() const { return m_peerPort.load(); }

protected:
    CTLObject* m_owner = nullptr;
    CTLObject* m_second = nullptr;
    std::atomic<ITLSocketLink*> m_link{nullptr};
    std::atomic<uint32_t> m_state{0};
    CMutex m_mutex;
    std::atomic<uint32_t> m_sending{0};
    CMutex m_addressLock;
    std::string m_peerAddress;  // any length: host names are kept whole
    std::atomic<uint16_t> m_peerPort{0};
    // When the connection first reported closed and socketless (ms of the
    // monotonic clock), valid when m_closedNoted is set.
    std::atomic<uint32_t> m_closedAt{0};
    std::atomic<bool> m_closedNoted{false};
};

// The TCP connection of the completion-port engine. Its locks, in the order
// they may be taken: the close mutex (m_mutex), then the socket lock
// (m_sockLock); the address lock and the waiter lock are each taken alone.
class CTLWindowsTcpConnection : public CTLTcpConnection {
public:
    static constexpr uint32_t kBufferSize = 4096;
    enum : uint32_t { kOpFirstReceive = 0, kOpReceive = 1, kOpSend = 2, kOpConnectDone = 3 };

    CTLWindowsTcpConnection();
    ~CTLWindowsTcpConnection() override;

    int32_t Listen(uint16_t port, const char* address) override;
    int32_t Connect(const char* host, uint16_t port) override;
    // With TL_NET_CLOSE_WAIT_SEND the close waits for the send in flight
    // (deferred to the link's check) and then gives the peer up to a second
    // to take what the sends left in the socket; any other close (the
    // owner's, an error's, a stop's) resets the socket at once and the data
    // in flight is lost.
    int32_t Close(uint32_t flags, uint32_t reason) override;
    int32_t Send() override;
    int32_t SendBlock(TLNetBlock* block) override;
    int32_t SendData(const void* data, int32_t length) override;
    bool ReadyToRelease() override;

    bool HasListenSocket();
    bool HasSocket();
    bool NoPendingIo();
    void ResetSockets();
    // Stops the listen thread and waits for it (none when not listening).
    void StopListenThread();
    // Closes the listening and the connected socket. The connected one is
    // reset at once, unless letSendsArrive: then its sending side is shut and
    // the port keeps it for up to a second while the peer takes what the
    // completed sends left in the socket (see pl::IoPort::CloseMode). Close
    // with TL_NET_CLOSE_WAIT_SEND closes so; closes for errors, failed
    // connects and the connection's deletion reset.
    void CloseSockets(bool letSendsArrive = false);
    int32_t ListenSocket(uint16_t port, const char* address);
    int32_t AcceptFrom(CTLWindowsTcpConnection* listening, int fd, const sockaddr_in& peer);
    int32_t StartSend() { return OnSendComplete(0); }
    int32_t ConnectSocket(const char* host, uint16_t port);
    void OnConnectDone(int success);
    // Hands the end of a connect to a completion thread, which runs
    // OnConnectDone there (so the sink hears of it on an engine thread).
    void PostConnectDone(int success);
    void OnIoError();
    int32_t OnSendComplete(uint32_t bytes);

    // Completion-thread entry points (the engine's dispatch).
    void OnCompletion(pl::IoOperation* op, uint32_t bytes, int error, bool stopping);
    // The local port of the listening socket (0 when none).
    uint16_t GetListenPort();

private:
    int PostReceive();
    void MarkClosing();
    void ListenThread();
    void ConnectWaiter();
    void JoinThreads();
    std::thread TakeWaiter();

    CMutex m_sockLock;  // guards the descriptors and the port handle
    int m_listenFd = -1;
    std::atomic<bool> m_stopListen{false};
    std::thread m_listenThread;
    int m_fd = -1;                      // the socket before it joins the port
    pl::IoPort::HandleId m_handle = 0;  // the socket once it joined the port
    std::atomic<bool> m_hasSocket{false};
    // The connect waiter. Its handle is stored and taken out under
    // m_waiterLock and joined outside it; the waiter clears m_waiterRunning
    // under the same lock, so the connection cannot be released before the
    // handle of the thread is stored.
    std::mutex m_waiterLock;
    std::thread m_waiter;
    std::atomic<bool> m_waiterRunning{false};
    std::atomic<bool> m_stopWaiter{false};
    std::atomic<bool> m_closeClaimed{false};
    uint8_t m_recvBuf[kBufferSize];
    uint8_t m_sendBuf[kBufferSize];
    uint32_t m_sendLen = 0;
    pl::IoOperation m_sendOp;
    pl::IoOperation m_recvOp;
    pl::IoOperation m_connectOp;
    std::atomic<int> m_connectResult{0};
};

class ITLSocketLink : public CTLObject {
public:
    ~ITLSocketLink() override = default;
    virtual int32_t Listen(uint16_t port, const char* address) = 0;
    virtual int32_t Unsupported() { return TL_NET_E_UNSUPPORTED; }
    virtual int32_t ConnectAddressList(const void* list) = 0;
    virtual int32_t ConnectTo(const char* host, uint16_t port, const char* second) = 0;
    virtual int32_t Send(CTLSendBuffer& buf, uint32_t flags) = 0;
    virtual int32_t SendBufferList(CTLNetBufferList& list, uint32_t flags) = 0;
    virtual int32_t Close(uint32_t flags, uint32_t reason) = 0;
    virtual void Reserved() {}
    virtual std::string GetAddress() = 0;
    virtual uint32_t GetState() = 0;
    virtual int32_t SetOption(int id, void* value) = 0;
    virtual int32_t OnConnect(ITLConnection* connection, int code) = 0;
    virtual int32_t OnDisconnect(ITLConnection* connection, uint32_t reason) = 0;
    virtual int32_t OnAccept(ITLConnection* listening, ITLConnection* accepted) = 0;
    virtual int32_t OnSent(ITLConnection* connection, uint32_t bytes) = 0;
    virtual int32_t Flush() = 0;
    virtual int32_t OnReceive(ITLConnection* connection, const void* data, int32_t length) = 0;
    virtual void OnCheck() = 0;
    virtual void OnIdle() = 0;
    virtual int32_t FlushIfPending() = 0;
    virtual bool ReadyToRelease() = 0;

    virtual SendQueue& GetSendQueue() = 0;
    virtual ITLConnection* GetConnection() = 0;
    // Forgets the sink without closing (the sink is going away).
    virtual void DetachSink(CTLNetNotify* sink) = 0;
};

class CTLSocketSingleLink : public ITLSocketLink {
public:
    CTLSocketSingleLink(CTLNetNotify* sink, uint32_t kind, ITLConnection* connection);
    ~CTLSocketSingleLink() override;

    int32_t Listen(uint16_t port, const char* address) override;
    int32_t ConnectAddressList(const void* list) override;
    int32_t ConnectTo(const char* host, uint16_t port, const char* second) override;
    int32_t Send(CTLSendBuffer& buf, uint32_t flags) override;
    int32_t SendBufferList(CTLNetBufferList& list, uint32_t flags) override;
    int32_t Close(uint32_t flags, uint32_t reason) override;
    std::string GetAddress() override;
    uint32_t GetState() override;
    int32_t SetOption(int id, void* value) override;
    int32_t OnConnect(ITLConnection* connection, int code) override;
    int32_t OnDisconnect(ITLConnection* connection, uint32_t reason) override;
    int32_t OnAccept(ITLConnection* listening, ITLConnection* accepted) override;
    int32_t OnSent(ITLConnection* connection, uint32_t bytes) override;
    int32_t Flush() override;
    int32_t OnReceive(ITLConnection* connection, const void* data, int32_t length) override;
    void OnCheck() override;
    void OnIdle() override;
    int32_t FlushIfPending() override;
    bool ReadyToRelease() override;

    SendQueue& GetSendQueue() override { return m_queue; }
    ITLConnection* GetConnection() override { return m_connection; }
    void DetachSink(CTLNetNotify* sink) override;
    uint32_t GetKind() const { return m_kind; }
    uint32_t GetCheckCount() const { return m_checkCount.load(); }
    // A sink made for an accepted connection belongs to its link.
    void SetOwnedSink(CTLNetNotify* sink);

private:
    uint32_t m_kind;
    ITLConnection* m_connection;
    CMutex m_recvLock;
    CMutex m_sinkLock;
    CTLNetNotify* m_sink;  // read and written under the locks
    SendQueue m_queue;
    std::atomic<uint32_t> m_closeFlags{0};
    std::atomic<uint32_t> m_checkCount{0};
    CTLNetNotify* m_ownedSink = nullptr;
};

}  // namespace corvane
