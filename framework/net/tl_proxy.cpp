#include "framework/net/tl_proxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "framework/net/tl_netcodes.h"
#include "framework/tl_base64.h"
#include "framework/tl_key2value.h"
#include "platform/pl_socket.h"

namespace corvane {

namespace {

std::atomic<TLProxyNameLookup> g_lookup{nullptr};

bool SystemLookup(const char* host, uint32_t* address) {
    sockaddr_in addr{};
    if (pl::ResolveIPv4(host, 0, addr) != 0) return false;
    *address = addr.sin_addr.s_addr;
    return true;
}

// The server's IPv4 address for a SOCKS request: a dotted text as it is,
// else the host-name lookup; 0.0.0.0 for an empty host. False when the name
// does not resolve (the proxy is then given the name).
bool ResolveServer(const char* host, uint32_t* address) {
    *address = 0;
    if (*host == '\0') return true;
    in_addr a{};
    if (::inet_pton(AF_INET, host, &a) == 1) {
        *address = a.s_addr;
        return true;
    }
    TLProxyNameLookup lookup = g_lookup.load();
    return (lookup ? lookup : SystemLookup)(host, address);
}

// A port text: leading white space, decimal digits, anything after them
// ignored. No digits, or a number above 65535, gives 0 (no proxy).
uint16_t ParsePort(const char* text) {
    while (*text == ' ' || (*text >= 9 && *text <= 13)) ++text;
    uint32_t value = 0;
    bool digits = false;
    for (; *text >= '0' && *text <= '9'; ++text) {
        digits = true;
        value = value * 10 + static_cast<uint32_t>(*text - '0');
        if (value > 0xFFFF) return 0;
    }
    return digits ? static_cast<uint16_t>(value) : 0;
}

void PutPort(std::string& s, uint16_t port) {
    s += static_cast<char>(port >> 8);
    s += static_cast<char>(port & 0xFF);
}

void PutAddress(std::string& s, uint32_t networkOrder) { s.append(reinterpret_cast<const char*>(&networkOrder), 4); }

// The SOCKS4 result of the reply's second byte.
int32_t Socks4Code(uint8_t b) {
    switch (b) {
    case 90:
        return 0;
    case 92:
        return TL_PROXY_E_UNREACHABLE;
    case 93:
        return TL_PROXY_E_SOCKS4_93;
    case 100:
        return TL_PROXY_E_SOCKS4_100;
    case 101:
        return TL_PROXY_E_SOCKS4_101;
    case 102:
        return TL_PROXY_E_SOCKS4_102;
    default:
        return TL_PROXY_E_SOCKS4_REFUSED;
    }
}

// The SOCKS5 result of a reply's second byte.
int32_t Socks5Code(uint8_t b) {
    switch (b) {
    case 0:
        return 0;
    case 1:
        return TL_PROXY_E_SOCKS5_GENERAL;
    case 3:
    case 4:
    case 5:
    case 6:
        return TL_PROXY_E_UNREACHABLE;
    case 7:
        return TL_PROXY_E_SOCKS5_COMMAND;
    case 8:
        return TL_PROXY_E_SOCKS5_ADDRESS_TYPE;
    default:
        return TL_PROXY_E_SOCKS5_FAILED;
    }
}

// The answer of an HTTP proxy, searched within the bytes received (at most
// the first 4095), without regard to case.
int32_t HttpCode(const uint8_t* reply, uint32_t length) {
    std::string text(reinterpret_cast<const char*>(reply), length < 4095 ? length : 4095);
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (text.find("connection established") != std::string::npos) return 0;
    if (text.find("200 ok") != std::string::npos) return TL_PROXY_E_UNREACHABLE;
    return TL_PROXY_E_HTTP_REFUSED;
}

// The HTTP proxy's CONNECT request; false when its head does not fit 1023
// bytes (a cut request would name another host).
bool HttpRequest(std::string& req, const char* host, uint16_t port, const CTLString& user, const CTLString& password) {
    char head[1024];
    const int n = std::snprintf(head, sizeof head, "CONNECT %s:%u HTTP/1.0\r\nHost: %s\r\n", host,
                                static_cast<unsigned>(port), host);
    if (n < 0 || n >= static_cast<int>(sizeof head)) return false;
    req.assign(head, static_cast<size_t>(n));
    req += "Proxy-authorization: Basic ";
    // The line is sent in any case; its credential is empty without a user.
    if (!user.IsEmpty()) {
        const std::string pair = user.str() + ":" + password.str();
        if (pair.size() > 0x10000000u) return false;
        CTLBase64 coder;
        const int32_t size = coder.Encode(pair.data(), static_cast<int32_t>(pair.size()), nullptr, 0);
        if (size < 0) return false;
        std::string credential(static_cast<size_t>(size), '\0');
        const int32_t written = coder.Encode(pair.data(), static_cast<int32_t>(pair.size()), credential.data(), size);
        if (written < 0) return false;
        req.append(credential, 0, static_cast<size_t>(written));
    }
    req += "\r\n\r\n";
    return true;
}

// Copies a request into out: its length when out is null or too small
// (nothing written), else the length after copying.
int32_t Deliver(const std::string& req, uint8_t* out, uint32_t size, bool* copied) {
    *copied = false;
    if (out == nullptr || size < req.size()) return static_cast<int32_t>(req.size());
    std::memcpy(out, req.data(), req.size());
    *copied = true;
    return static_cast<int32_t>(req.size());
}

}  // namespace

void TL_SetProxyNameLookup(TLProxyNameLookup lookup) { g_lookup.store(lookup); }

// ---- CTLProxyInfo -------------------------------------------------------------

void CTLProxyInfo::SetType(const char* name) {
    uint8_t type = TL_PROXY_SOCKS4;
    if (TL_MbsCompareNoCase(name, "http") == 0)
        type = TL_PROXY_HTTP;
    else if (TL_MbsCompareNoCase(name, "socks5") == 0)
        type = TL_PROXY_SOCKS5;
    m_state = static_cast<uint8_t>((m_state & 0xF0) | type);
}

int32_t CTLProxyInfo::SetValue(const char* key, const char* value) {
    if (key == nullptr || *key == '\0' || value == nullptr) return -1;
    if (TL_MbsCompareNoCase(key, "proxy_addr") == 0) {
        m_address = value;
    } else if (TL_MbsCompareNoCase(key, "proxy_port") == 0) {
        m_port = ParsePort(value);
    } else if (TL_MbsCompareNoCase(key, "proxy_user") == 0) {
        m_user = value;
    } else if (TL_MbsCompareNoCase(key, "proxy_pwd") == 0) {
        m_password = value;
        m_enPassword.Empty();
    } else if (TL_MbsCompareNoCase(key, "proxy_enpwd") == 0) {
        // Kept as given; no plain password is derived from it.
        m_enPassword = value;
    } else if (TL_MbsCompareNoCase(key, "proxy_ops") == 0) {
        SetType(value);
    } else {
        return -2;
    }
    return 0;
}

void CTLProxyInfo::Parse(const char* text) {
    m_user.Empty();
    m_password.Empty();
    m_address.Empty();
    m_port = 0;
    m_state = 0;
    if (text == nullptr || *text == '\0') return;

    if (std::strchr(text, ':') == nullptr) {
        // key=value pairs; the list hands them over in ascending key order.
        CTLKey2Value pairs;
        pairs.Parse(text, -1);
        for (const auto& [key, value] : pairs.GetMap()) SetValue(key.GetString(), value.GetString());
        return;
    }

    std::vector<std::string> fields;
    for (const char* p = text;;) {
        const char* colon = std::strchr(p, ':');
        if (colon == nullptr) {
            fields.emplace_back(p);
            break;
        }
        fields.emplace_back(p, static_cast<size_t>(colon - p));
        p = colon + 1;
    }
    if (fields.size() < 2) return;
    m_address = fields[0].c_str();
    m_port = ParsePort(fields[1].c_str());
    if (fields.size() >= 3) SetType(fields[2].c_str());
    if (fields.size() >= 4) m_user = fields[3].c_str();
    if (fields.size() >= 5 && !fields[4].empty()) {
        // An empty password field would take the plain form of the enciphered
        // password, which no scheme here can give: it stays empty.
        m_password = fields[4].c_str();
        m_enPassword.Empty();
    }
    if (fields.size() >= 6) m_enPassword = fields[5].c_str();
}

// ---- CTLProxyHandle -----------------------------------------------------------

int32_t CTLProxyHandle::BuildRequest(uint8_t* out, uint32_t size, const char* host, uint16_t port) {
    if (host == nullptr) host = "";
    std::string req;
    switch (GetType()) {
    case TL_PROXY_SOCKS4: {
        uint32_t address = 0;
        const bool resolved = ResolveServer(host, &address);
        req = "\x04\x01";
        PutPort(req, port);
        if (resolved) {
            PutAddress(req, address);
            req += '\0';  // empty user id
        } else {
            // SOCKS4a: the address 0.0.0.1 asks the proxy to resolve the name.
            req.append("\0\0\0\x01\0", 5);
            req += host;
            req += '\0';
        }
        break;
    }
    case TL_PROXY_HTTP:
        if (!HttpRequest(req, host, port, m_user, m_password)) return 0;
        break;
    case TL_PROXY_SOCKS5:
        // The login that the proxy may ask for carries one-byte lengths.
        if (m_user.GetLength() > 255 || m_password.GetLength() > 255) return 0;
        req = m_user.IsEmpty() ? std::string("\x05\x01\x00", 3) : std::string("\x05\x02\x02\x00", 4);
        break;
    default:
        return 0;
    }
    bool copied = false;
    const int32_t n = Deliver(req, out, size, &copied);
    if (copied) SetPhase(TL_PROXY_PHASE_SENT);
    return n;
}

int32_t CTLProxyHandle::Socks5Connect(uint8_t* out, uint32_t size, const char* host, uint16_t port) {
    uint32_t address = 0;
    std::string req("\x05\x01\x00", 3);
    if (ResolveServer(host, &address)) {
        req += '\x01';
        PutAddress(req, address);
    } else {
        const size_t n = std::strlen(host);
        if (n > 255) return Finish(TL_PROXY_E_SOCKS5_FAILED);  // the length is one byte
        req += '\x03';
        req += static_cast<char>(n);
        req += host;
    }
    PutPort(req, port);
    bool copied = false;
    const int32_t n = Deliver(req, out, size, &copied);
    if (!copied) return Finish(TL_NET_E_PROXY_REQUEST);
    SetPhase(TL_PROXY_PHASE_CONNECT_SENT);
    return n;
}

int32_t CTLProxyHandle::OnReply(const void* reply, uint32_t length, uint8_t* out, uint32_t size, const char* host,
                                uint16_t port) {
    const auto* r = static_cast<const uint8_t*>(reply);
    if (r == nullptr) length = 0;
    if (host == nullptr) host = "";
    const uint8_t phase = GetPhase();
    switch (GetType()) {
    case TL_PROXY_HTTP:
        if (phase != TL_PROXY_PHASE_SENT) return 0;
        return Finish(HttpCode(r, length));
    case TL_PROXY_SOCKS4:
        if (phase != TL_PROXY_PHASE_SENT) return 0;
        return Finish(length < 2 ? TL_PROXY_E_SOCKS4_REFUSED : Socks4Code(r[1]));
    case TL_PROXY_SOCKS5:
        break;
    default:
        return 0;
    }

    if (phase != TL_PROXY_PHASE_SENT && phase != TL_PROXY_PHASE_ACCEPTED && phase != TL_PROXY_PHASE_CONNECT_SENT)
        return 0;
    if (length < 2) return Finish(TL_PROXY_E_SOCKS5_FAILED);
    const uint8_t answer = r[1];
    if (phase == TL_PROXY_PHASE_CONNECT_SENT) return Finish(Socks5Code(answer));
    if (phase == TL_PROXY_PHASE_ACCEPTED) {
        // The login answer: anything but 0 is a refusal.
        if (answer != 0) return Finish(Socks5Code(answer));
        return Socks5Connect(out, size, host, port);
    }
    // The method the proxy chose.
    if (answer == 0x00) {
        SetPhase(TL_PROXY_PHASE_ACCEPTED);
        return Socks5Connect(out, size, host, port);
    }
    if (answer != 0x02) return Finish(Socks5Code(answer));
    if (m_user.IsEmpty()) return Finish(TL_PROXY_E_SOCKS5_NO_LOGIN);
    if (m_user.GetLength() > 255 || m_password.GetLength() > 255) return Finish(TL_PROXY_E_SOCKS5_FAILED);
    std::string login("\x01", 1);
    login += static_cast<char>(m_user.GetLength());
    login += m_user.str();
    login += static_cast<char>(m_password.GetLength());
    login += m_password.str();
    bool copied = false;
    const int32_t n = Deliver(login, out, size, &copied);
    if (!copied) return Finish(TL_NET_E_PROXY_REQUEST);
    SetPhase(TL_PROXY_PHASE_ACCEPTED);
    return n;
}

}  // namespace corvane
