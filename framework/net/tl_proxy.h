// Proxy settings and the handshakes that open a tunnel through an HTTP
// proxy (CONNECT), a SOCKS4 proxy (with the SOCKS4a host-name form) or a
// SOCKS5 proxy (no authentication, or user name and password).
//
// A settings text comes in one of two forms:
// - without ':': "proxy_addr=10.0.0.1&proxy_port=1080&proxy_ops=socks5", keys
//   "proxy_addr", "proxy_port", "proxy_user", "proxy_pwd", "proxy_enpwd" and
//   "proxy_ops" ("http", "socks5", anything else SOCKS4), without regard to
//   case, applied in ascending byte order of the keys;
// - with ':': address:port[:type[:user[:password[:enciphered password]]]].
// No unscrambling of the enciphered password is defined: it is kept as the
// settings hold it and never yields a plain password.
//
// The client event sink owns one CTLProxyHandle: it connects to the proxy,
// sends BuildRequest's bytes, feeds each received block to OnReply until the
// handshake ends, and only then reports its connection as established.
#pragma once

#include <cstdint>

#include "framework/tl_object.h"
#include "framework/tl_string.h"

namespace corvane {

// Proxy kinds (bits 0-3 of the state).
constexpr uint8_t TL_PROXY_SOCKS4 = 0;
constexpr uint8_t TL_PROXY_HTTP = 1;
constexpr uint8_t TL_PROXY_SOCKS5 = 2;
// Handshake phases (bits 4-7 of the state).
constexpr uint8_t TL_PROXY_PHASE_IDLE = 0;
constexpr uint8_t TL_PROXY_PHASE_SENT = 1;          // first request sent
constexpr uint8_t TL_PROXY_PHASE_ACCEPTED = 2;      // SOCKS5 method or login accepted
constexpr uint8_t TL_PROXY_PHASE_CONNECT_SENT = 3;  // SOCKS5 connect request sent
constexpr uint8_t TL_PROXY_PHASE_DONE = 15;         // tunnel stands, or the handshake failed

class CTLProxyInfo : public CTLObject {
public:
    CTLProxyInfo() = default;
    ~CTLProxyInfo() override = default;

    // Clears user, password, address, port and state (the enciphered
    // password stays), then fills the record from either form. A null or
    // empty text leaves it cleared.
    void Parse(const char* text);
    // One key of the first form: 0 done, -1 for an empty key or a null
    // value, -2 for an unknown key.
    virtual int32_t SetValue(const char* key, const char* value);
    // 1 when the address is empty or the port 0 (a direct connection).
    int32_t IsEmpty() const { return (m_address.IsEmpty() || m_port == 0) ? 1 : 0; }

    const CTLString& GetUser() const { return m_user; }
    const CTLString& GetPassword() const { return m_password; }
    const CTLString& GetEncipheredPassword() const { return m_enPassword; }
    const CTLString& GetAddress() const { return m_address; }
    uint16_t GetPort() const { return m_port; }
    uint8_t GetType() const { return m_state & 0x0F; }
    uint8_t GetPhase() const { return static_cast<uint8_t>(m_state >> 4); }

protected:
    void SetType(const char* name);
    void SetPhase(uint8_t phase) { m_state = static_cast<uint8_t>((m_state & 0x0F) | (phase << 4)); }

    CTLString m_user;        // empty: no authentication
    CTLString m_password;    // plain
    CTLString m_enPassword;  // the enciphered form as the settings hold it
    CTLString m_address;     // host name or IPv4 address of the proxy
    uint16_t m_port = 0;
    uint8_t m_state = 0;  // kind in bits 0-3, phase in bits 4-7
};

class CTLProxyHandle : public CTLProxyInfo {
public:
    // The first bytes to send to the proxy for a tunnel to host:port. When
    // out is null or size is below their length, returns the length and
    // writes nothing; otherwise copies them, sets the phase to 1 and returns
    // the length. 0 when no request can be built: an unknown kind, a CONNECT
    // head longer than 1023 bytes, or a SOCKS5 user name or password longer
    // than the 255 bytes its login can carry.
    int32_t BuildRequest(uint8_t* out, uint32_t size, const char* host, uint16_t port);
    // Processes one received block: 0 when the tunnel stands, a positive
    // length when out holds the next request to send, or a negative code
    // (TL_PROXY_E_..., or 0x80070019 when the next request does not fit
    // out). Only the second byte of a SOCKS reply is examined; a block too
    // short to hold it is a refusal. In phases other than 1 to 3, returns 0
    // and changes nothing: the caller stops feeding replies once the phase
    // is 15.
    int32_t OnReply(const void* reply, uint32_t length, uint8_t* out, uint32_t size, const char* host, uint16_t port);

private:
    int32_t Finish(int32_t code) {
        SetPhase(TL_PROXY_PHASE_DONE);
        return code;
    }
    // The SOCKS5 connect request into out; phase 3.
    int32_t Socks5Connect(uint8_t* out, uint32_t size, const char* host, uint16_t port);
};

// Test hook: the host-name lookup of the SOCKS handshakes (dotted IPv4 texts
// never reach it). It returns true and the address in network order when
// the name resolves. Null restores the system's lookup.
using TLProxyNameLookup = bool (*)(const char* host, uint32_t* address);
void TL_SetProxyNameLookup(TLProxyNameLookup lookup);

}  // namespace corvane
