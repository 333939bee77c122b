// Event sinks: the application's side of one network connection.
//
// CTLNetNotify receives its link's events (connected, bytes received, bytes
// sent, disconnected, periodic check, idle), runs received bytes through an
// attached packet filter and reports each event to its own callback pair or,
// when that pair is not set, to the generic callback. CTLClientNotify knows
// its server's host and port, opens its link itself and can go through a
// proxy.
//
// Every callback runs on the socket engine's threads (completion threads for
// receives and sends, the check thread for checks and idle calls, the
// completion threads too for connects), under the link's locks; the callbacks
// may call Send and Disconnect of the same sink. Only a connect that fails at
// once is reported (as a disconnect) on the thread that called Connect.
//
// Destroying a sink detaches it from its link (Disconnect with 0x2), which
// waits for a callback in progress. A derived sink whose callbacks use its
// own members must do that in its own destructor, before those members go.
// A sink may also be freed from its own disconnect callback (the link has
// forgotten it by then), except when that disconnect was raised from inside
// another of its callbacks (a Disconnect called from a receive callback),
// which still runs on the sink when the disconnect callback returns.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "framework/net/tl_netbuffer.h"
#include "framework/net/tl_netcodes.h"
#include "framework/net/tl_packfilter.h"
#include "framework/tl_object.h"

namespace corvane {

class CTLNetNotify;
class CTLProxyHandle;
class ITLConnection;
class ITLSocketLink;

// Generic event codes, combined with the event's own code.
constexpr uint32_t TL_EVENT_CONNECT = 0x1000000;
constexpr uint32_t TL_EVENT_DATA = 0x2000000;
constexpr uint32_t TL_EVENT_PARTIAL = 0x3000000;
constexpr uint32_t TL_EVENT_SENT = 0x4000000;
constexpr uint32_t TL_EVENT_DISCONNECT = 0x5000000;
constexpr uint32_t TL_EVENT_CHECK = 0x6000000;
constexpr uint32_t TL_EVENT_ERROR = 0x7000000;

using TLNetGenericFn = int32_t (*)(void* ctx, CTLNetNotify* sink, uint32_t code, int64_t a, int64_t b, const void* c);
using TLNetDataFn = int32_t (*)(void* ctx, CTLNetNotify* sink, uint32_t code, uint32_t length, const void* data);
using TLNetListFn = int32_t (*)(void* ctx, CTLNetNotify* sink, uint32_t code, CTLNetBufferList* list);
using TLNetSentFn = int32_t (*)(void* ctx, CTLNetNotify* sink, uint32_t code, uint32_t bytes);
using TLNetConnectFn = int32_t (*)(void* ctx, CTLNetNotify* sink, uint32_t code);
using TLNetDisconnectFn = int32_t (*)(void* ctx, CTLNetNotify* sink, uint32_t code, ITLConnection* connection);
using TLNetCheckFn = int32_t (*)(void* ctx, CTLNetNotify* sink, uint32_t count);
using TLNetErrorFn = int32_t (*)(void* ctx, CTLNetNotify* sink, uint32_t code, int32_t error);
using TLNetPartialFn = int32_t (*)(void* ctx, CTLNetNotify* sink, uint32_t code, int64_t value2, int64_t value1);

// A (context, function) pair; set when either word is non-null.
template <typename Fn>
struct TLNetPair {
    void* ctx = nullptr;
    Fn fn = nullptr;
    bool IsSet() const { return ctx != nullptr || fn != nullptr; }
};

// Confirmation bits of the sink state.
constexpr uint32_t TL_NOTIFY_CONFIRMED = 3;
constexpr uint32_t TL_NOTIFY_CONFIRM_MASK = 0xF;
// Unconfirmed, connected sinks disconnect themselves at this check count.
constexpr uint32_t TL_NOTIFY_CONFIRM_CHECKS = 30;

class CTLNetNotify : public CTLObject {
public:
    CTLNetNotify() = default;
    ~CTLNetNotify() override;
    CTLNetNotify(const CTLNetNotify&) = delete;
    CTLNetNotify& operator=(const CTLNetNotify&) = delete;

    virtual int32_t Send(const void* data, uint32_t length, uint32_t flags);
    virtual int32_t Disconnect(uint32_t flags);
    virtual int32_t OnConnect(uint32_t code);
    virtual int32_t OnReceiveBuffers(uint32_t code, CTLNetBufferList& list);
    virtual int32_t OnReceive(uint32_t code, const void* data, uint32_t length);
    virtual int32_t OnSent(uint32_t code, uint32_t bytes);
    virtual int32_t OnDisconnect(uint32_t code);
    virtual int32_t OnCheck(uint32_t count);
    virtual int32_t OnProxyReceive(const void* data, uint32_t length);
    virtual int32_t StartProxyHandshake();
    virtual CTLNetNotify* CreateNotify() = 0;

    // A null filter changes nothing. With a filter attached: flag 0x1 deletes
    // it; without 0x1 it is offered the new one (OnReplace) and, when the
    // sink still has a filter afterwards, nothing else happens. Then flag 0x2
    // stores the given object itself, otherwise its Clone. Returns 1.
    int32_t SetFilter(CTLPackFilter* filter, uint32_t flags);
    CTLPackFilter* GetFilter() const { return m_filter; }

    void SetGenericCallback(void* ctx, TLNetGenericFn fn) { m_generic = {ctx, fn}; }
    void SetDataCallback(void* ctx, TLNetDataFn fn) { m_data = {ctx, fn}; }
    void SetBufferListCallback(void* ctx, TLNetListFn fn) { m_list = {ctx, fn}; }
    void SetSentCallback(void* ctx, TLNetSentFn fn) { m_sent = {ctx, fn}; }
    void SetConnectCallback(void* ctx, TLNetConnectFn fn) { m_connect = {ctx, fn}; }
    void SetDisconnectCallback(void* ctx, TLNetDisconnectFn fn) { m_disconnect = {ctx, fn}; }
    void SetCheckCallback(void* ctx, TLNetCheckFn fn) { m_check = {ctx, fn}; }
    void SetErrorCallback(void* ctx, TLNetErrorFn fn) { m_error = {ctx, fn}; }
    void SetPartialCallback(void* ctx, TLNetPartialFn fn) { m_partial = {ctx, fn}; }

    ITLSocketLink* GetLink() const { return m_link.load(); }
    bool IsConfirmed() const { return (m_state.load() & TL_NOTIFY_CONFIRM_MASK) == TL_NOTIFY_CONFIRMED; }
    uint32_t GetBytesSent() const { return m_bytesSent.load(); }
    uint32_t GetSends() const { return m_sends.load(); }
    uint32_t GetBytesReceived() const { return m_bytesReceived.load(); }
    uint32_t GetReceives() const { return m_receives.load(); }

    // ---- called by the link, under its locks ----
    void LinkAttach(ITLSocketLink* link) { m_link.store(link); }
    // Forgets the link when it is this one.
    void ForgetLink(ITLSocketLink* link);
    int32_t LinkConnectStep(ITLConnection* connection, uint32_t code);
    void LinkDisconnect(ITLSocketLink* link, ITLConnection* connection, uint32_t reason);
    int32_t LinkReceive(ITLConnection* connection, const void* data, uint32_t length);
    bool HasSentPair() const { return m_sent.IsSet(); }
    void LinkSent(uint32_t bytes);
    void LinkCheck(uint32_t count);
    void LinkIdle();
    // A new sink for an accepted connection: CreateNotify, every callback
    // copied, the filter cloned. Null when none can be made.
    CTLNetNotify* LinkAccept();

protected:
    // Reports an error event (error pair, else generic 0x7000000).
    void RaiseError(uint32_t code, int32_t error);
    int32_t RaiseConnect(uint32_t code);
    void Confirm() { m_state.fetch_or(TL_NOTIFY_CONFIRMED); }
    void ClearState() { m_state.store(0); }
    // Sends a list past the filter (flags to the link).
    int32_t SendList(CTLNetBufferList& list, uint32_t flags);
    // The filter's connect step and what its status word asks for.
    int32_t ConnectStatus(ITLConnection* connection, uint32_t code);
    // The connection passed to the disconnect pair (the client form's).
    virtual ITLConnection* DisconnectConnection(ITLConnection* connection) {
        (void)connection;
        return nullptr;
    }

    TLNetPair<TLNetGenericFn> m_generic;
    TLNetPair<TLNetDataFn> m_data;
    TLNetPair<TLNetListFn> m_list;
    TLNetPair<TLNetSentFn> m_sent;
    TLNetPair<TLNetConnectFn> m_connect;
    TLNetPair<TLNetDisconnectFn> m_disconnect;
    TLNetPair<TLNetCheckFn> m_check;
    TLNetPair<TLNetErrorFn> m_error;
    TLNetPair<TLNetPartialFn> m_partial;
    std::atomic<ITLSocketLink*> m_link{nullptr};
    CTLPackFilter* m_filter = nullptr;
    std::atomic<uint32_t> m_bytesSent{0};
    std::atomic<uint32_t> m_sends{0};
    std::atomic<uint32_t> m_bytesReceived{0};
    std::atomic<uint32_t> m_receives{0};
    std::atomic<uint32_t> m_state{0};
    // The connection of the link event being reported (set under the link's
    // locks at the start of each event and left behind afterwards, since the
    // owner may free the sink from a disconnect callback); meaningful only
    // while a link event runs.
    ITLConnection* m_eventConnection = nullptr;
};

class CTLClientNotify : public CTLNetNotify {
public:
    CTLClientNotify() = default;
    ~CTLClientNotify() override;

    // 0x80070014 for an empty host, 0x80070015 for port 0; while a link is
    // open, the code of its state, with nothing changed; a null or empty
    // proxy text means a direct connection, 0x80070017 a text that names no
    // usable proxy (no address or port; see tl_proxy.h for the forms). Then
    // opens the link: to the proxy when one is set, which then opens the
    // tunnel to host and port before the connection counts as established.
    int32_t Connect(const char* host, uint16_t port, const char* proxy = nullptr, const char* second = nullptr);

    int32_t OnDisconnect(uint32_t code) override;
    int32_t OnProxyReceive(const void* data, uint32_t length) override;
    int32_t StartProxyHandshake() override;
    CTLNetNotify* CreateNotify() override;

    const std::string& GetHost() const { return m_host; }
    uint16_t GetPort() const { return m_port; }
    const std::string& GetSecondAddress() const { return m_second; }
    std::vector<std::string>& GetAddressList() { return m_addressList; }

protected:
    // Builds the proxy handle from a settings text. Returns 0 with m_proxy
    // set, or 0x80070017 when the text names no proxy.
    virtual int32_t BuildProxy(const char* text);
    // The proxy handshake: the first request (its length, or 0x80070019 when
    // none can be built into size bytes) and the processing of a reply (0
    // tunnel stands, > 0 next request length, < 0 error).
    virtual int32_t ProxyBuildRequest(uint8_t* out, uint32_t size);
    virtual int32_t ProxyOnReply(const void* data, uint32_t length, uint8_t* out, uint32_t size);
    virtual void DeleteProxy();
    // Address and port the link connects to: the proxy's when one is set.
    virtual std::string ConnectHost() const;
    virtual uint16_t ConnectPort() const;
    // Ends a failed handshake: raises the error event (event, error), drops
    // the proxy's later bytes and closes the connection. Returns error;
    // nothing of the sink is touched after the close.
    int32_t FailProxy(uint32_t event, int32_t error);
    ITLConnection* DisconnectConnection(ITLConnection* connection) override { return connection; }
    int32_t OpenLink();
    // 0 without a link; else the code its connection state gives
    // (connecting, connected, closing, closed, other).
    int32_t OpenLinkState();

    std::string m_host;
    uint16_t m_port = 0;
    std::string m_second;
    std::vector<std::string> m_addressList;
    CTLProxyHandle* m_proxy = nullptr;
    std::atomic<bool> m_proxyFinished{false};
    std::atomic<bool> m_inProxyHandshake{false};
    std::atomic<bool> m_proxyFailed{false};
};

}  // namespace corvane
