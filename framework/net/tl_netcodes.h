// Result codes and disconnect reasons of connections, links and sinks.
#pragma once

#include <cstdint>

constexpr int32_t TL_NET_E_FAIL = static_cast<int32_t>(0x80070001);
constexpr int32_t TL_NET_E_NOMEM = static_cast<int32_t>(0x80070003);
constexpr int32_t TL_NET_E_CONNECTING_SOCKET = static_cast<int32_t>(0x80070007);
constexpr int32_t TL_NET_E_SOCKET = static_cast<int32_t>(0x80070008);
constexpr int32_t TL_NET_E_RESOLVE = static_cast<int32_t>(0x80070009);
constexpr int32_t TL_NET_E_BIND = static_cast<int32_t>(0x8007000A);
constexpr int32_t TL_NET_E_LISTEN = static_cast<int32_t>(0x8007000B);
constexpr int32_t TL_NET_E_CLOSING = static_cast<int32_t>(0x8007000C);
constexpr int32_t TL_NET_E_BUSY = static_cast<int32_t>(0x8007000D);
constexpr int32_t TL_NET_E_LISTEN_SOCKET = static_cast<int32_t>(0x8007000E);
constexpr int32_t TL_NET_E_NOT_CONNECTED = static_cast<int32_t>(0x8007000F);
constexpr int32_t TL_NET_E_CLOSE_DEFERRED = static_cast<int32_t>(0x80070010);
constexpr int32_t TL_NET_E_NO_LINK = static_cast<int32_t>(0x80070011);
constexpr int32_t TL_NET_E_UNSUPPORTED = static_cast<int32_t>(0x80070012);
constexpr int32_t TL_NET_E_CONNECTED = static_cast<int32_t>(0x80070013);
constexpr int32_t TL_NET_E_EMPTY_HOST = static_cast<int32_t>(0x80070014);
constexpr int32_t TL_NET_E_PORT_ZERO = static_cast<int32_t>(0x80070015);
constexpr int32_t TL_NET_E_PROXY_SETTINGS = static_cast<int32_t>(0x80070017);
constexpr int32_t TL_NET_E_PROXY_PENDING = static_cast<int32_t>(0x80070018);
constexpr int32_t TL_NET_E_PROXY_REQUEST = static_cast<int32_t>(0x80070019);
constexpr int32_t TL_NET_E_PACK = static_cast<int32_t>(0x8007001A);
constexpr int32_t TL_NET_E_UNPACK = static_cast<int32_t>(0x8007001B);
constexpr int32_t TL_NET_E_SENDING = static_cast<int32_t>(0x8007001F);

// Proxy handshake results.
// The proxy could not reach the server (SOCKS5 3-6, SOCKS4 92, an HTTP
// "200 ok" answer without "connection established").
constexpr int32_t TL_PROXY_E_UNREACHABLE = static_cast<int32_t>(0x80070030);
constexpr int32_t TL_PROXY_E_HTTP_REFUSED = static_cast<int32_t>(0x80070031);
// SOCKS4 refusals: answers 93, 100, 101, 102, and any other (91 included).
constexpr int32_t TL_PROXY_E_SOCKS4_93 = static_cast<int32_t>(0x80070041);
constexpr int32_t TL_PROXY_E_SOCKS4_100 = static_cast<int32_t>(0x80070042);
constexpr int32_t TL_PROXY_E_SOCKS4_101 = static_cast<int32_t>(0x80070043);
constexpr int32_t TL_PROXY_E_SOCKS4_102 = static_cast<int32_t>(0x80070044);
constexpr int32_t TL_PROXY_E_SOCKS4_REFUSED = static_cast<int32_t>(0x80070045);
// SOCKS5 failures: general (1), command not supported (7), address type not
// supported (8), any other; and a proxy that asks for a login none is set for.
constexpr int32_t TL_PROXY_E_SOCKS5_GENERAL = static_cast<int32_t>(0x80070050);
constexpr int32_t TL_PROXY_E_SOCKS5_COMMAND = static_cast<int32_t>(0x80070051);
constexpr int32_t TL_PROXY_E_SOCKS5_ADDRESS_TYPE = static_cast<int32_t>(0x80070052);
constexpr int32_t TL_PROXY_E_SOCKS5_FAILED = static_cast<int32_t>(0x80070053);
constexpr int32_t TL_PROXY_E_SOCKS5_NO_LOGIN = static_cast<int32_t>(0x80070054);

// Disconnect reasons (0x80 is added for a listening connection).
constexpr uint32_t TL_NET_REASON_OWNER = 0;
constexpr uint32_t TL_NET_REASON_IO_ERROR = 2;
constexpr uint32_t TL_NET_REASON_LISTENING = 0x80;
constexpr uint32_t TL_NET_REASON_ACCEPT_FAILED = 0x100000;
constexpr uint32_t TL_NET_REASON_PEER_CLOSED = 0x200000;
constexpr uint32_t TL_NET_REASON_CONNECT_FAILED = 0x300000;
constexpr uint32_t TL_NET_REASON_DEFERRED_CLOSE = 0x400000;

// Close flags.
constexpr uint32_t TL_NET_CLOSE_WAIT_SEND = 0x1;
constexpr uint32_t TL_NET_CLOSE_DETACH = 0x2;

// Connection state word.
constexpr uint32_t TL_CONN_CONNECT_MASK = 0x0000000F;
constexpr uint32_t TL_CONN_IDLE = 0;
constexpr uint32_t TL_CONN_CONNECTING = 1;
constexpr uint32_t TL_CONN_CONNECTED = 2;
constexpr uint32_t TL_CONN_CLOSE_MASK = 0x000000F0;
constexpr uint32_t TL_CONN_CLOSING = 16;
constexpr uint32_t TL_CONN_CLOSED = 32;
constexpr uint32_t TL_CONN_LISTENING = 0x10000000;
constexpr uint32_t TL_CONN_CLOSE_WAIT_SEND = 0x40000000;
constexpr uint32_t TL_CONN_CLOSE_DETACH = 0x80000000;

// Link kinds: low four bits 1 = single link; high four bits 1 = TCP.
constexpr uint32_t TL_LINK_KIND_DEFAULT = 0x11;

// Link options.
constexpr int TL_LINK_OPT_QUEUED = 143;  // value: TLLinkQueued
constexpr int TL_LINK_OPT_BUDGET = 144;  // value: int32_t, positive sets the budget

struct TLLinkQueued {
    uint32_t bytes;
    uint32_t buffers;
};
