// Texts and fixed values of the library interface and the feed session.
//
// Every text the host sees is GBK. The texts are written as byte escapes so
// that no source encoding can change them; the comment beside each gives its
// meaning.
#pragma once

namespace kvoapi {

// Login and result messages.
inline constexpr char kTextLoginOk[] = "\xb5\xc7\xc2\xbd\xb3\xc9\xb9\xa6";  // "login succeeded" (offline, child)
inline constexpr char kTextLoginOkChecked[] =
    "\xb5\xc7\xc2\xbd\xb3\xc9\xb9\xa6\x21";  // "login succeeded!" (after the pre-login check)
inline constexpr char kTextAlreadyLoggedIn[] =
    "\xc1\xac\xbd\xd3\xd5\xfd\xb3\xa3\x2c\xb2\xbb\xd4\xd9\xbd\xf8\xd0\xd0\xb5\xc7\xc2\xbc";  // "connection fine, no new
                                                                                             // login"
inline constexpr char kTextTimeout[] = "\xb3\xac\xca\xb1\xce\xde\xcf\xec\xd3\xa6";           // "timed out, no answer"
inline constexpr char kTextIpForbidden[] = "\x69\x70\xbd\xfb\xd6\xb9\xb7\xc3\xce\xca";       // "ip access forbidden"
inline constexpr char kTextBadAccount[] =
    "\xd3\xc3\xbb\xa7\xc3\xfb\xc3\xdc\xc2\xeb\xb4\xed\xce\xf3";  // "wrong user name or password"
inline constexpr char kTextCannotConnect[] =
    "\xce\xde\xb7\xa8\xc1\xac\xbd\xd3\xd6\xc1\xb7\xfe\xce\xf1\xc6\xf7";  // "cannot connect to the server"
inline constexpr char kTextBadIp[] = "\xb4\xed\xce\xf3\x69\x70";         // "wrong ip"
inline constexpr char kTextInvalidHandle[] = "\xce\xde\xd0\xa7\x68\x61\x6e\x64\x6c\x65";  // "invalid handle"
inline constexpr char kTextAuthCentreFailed[] =
    "\xb5\xc7\xc2\xbc\xc8\xcf\xd6\xa4\xca\xa7\xb0\xdc\xa3\xa8\xc8\xcf\xd6\xa4\xd6\xd0\xd0\xc4\xa3\xa9";  // "login
                                                                                                         // authentication
                                                                                                         // failed
                                                                                                         // (authentication
                                                                                                         // centre)",
                                                                                                         // full-width
                                                                                                         // parentheses
inline constexpr char kTextCascadeMasterDown[] =
    "\xbc\xb6\xc1\xaa\xc4\xa3\xca\xbd\xcf\xc2\xd6\xf7\x49\x50\xc1\xac\xbd\xd3\xd2\xec\xb3\xa3";  // "cascade mode:
                                                                                                 // master IP connection
                                                                                                 // failed"
inline constexpr char kTextCascadeSameLan[] =
    "\xbc\xb6\xc1\xaa\xc4\xa3\xca\xbd\xcf\xc2\xb1\xd8\xd0\xeb\xca\xc7\xcd\xac\xd2\xbb\xbe\xd6\xd3\xf2\xcd\xf8";  // "cascade
                                                                                                                 // mode
                                                                                                                 // requires
                                                                                                                 // the
                                                                                                                 // same
                                                                                                                 // local
                                                                                                                 // network"
inline constexpr char kTextRepeatedLogin[] = "\xd6\xd8\xb8\xb4\xb5\xc7\xc2\xbd";  // "repeated login"

// Notify texts (after the market code in NotifyRecord::text).
inline constexpr char kTextNetworkLost[] = "\xcd\xf8\xc2\xe7\xb6\xcf\xbf\xaa\x21";  // "network lost!"
inline constexpr char kTextAdapterDown[] =
    "\xcd\xf8\xc2\xe7\xb6\xcf\xbf\xaa\x2d\xcd\xf8\xbf\xa8\xb2\xbb\xd5\xfd\xb3\xa3\x21";  // "network lost - adapter not
                                                                                         // working!"
inline constexpr char kTextKickedByRepeatedLogin[] =
    "\xcd\xf8\xc2\xe7\xb6\xcf\xbf\xaa\x2d\xd6\xd8\xb8\xb4\xb5\xc7\xc2\xbc\xb1\xbb\x54\xcf\xc2\xcf\xdf\x21";  // "network
                                                                                                             // lost -
                                                                                                             // logged
                                                                                                             // off by a
                                                                                                             // repeated
                                                                                                             // login!"

// Offline playback states of an instance.
inline constexpr char kOfflineNo[] = "offlinedebugtype_no";
inline constexpr char kOfflineYes[] = "offlinedebugtype_yes";
inline constexpr char kOfflineDisable[] = "offlinedebugtype_disable";

// Playback classes used when OfflineDebugConfig::subtype is empty.
inline constexpr char kDefaultPlaybackSubtypes[] = "index,stock,order,trans,superstock,queue";

// Authentication kinds of an account.
inline constexpr char kAuthPassport[] = "passport";
inline constexpr char kAuthInside[] = "inside";
inline constexpr char kAuthGatewayAuth[] = "gateway_auth";
inline constexpr char kAuthFormal[] = "formal";

// Accounts whose name is this marker, or starts with it and is at least
// 8 characters long, are internal accounts that skip the authentication
// centre.
inline constexpr char kInternalAccountMarker[] = "9d41c2e";

// Timeout of the authentication client at the pre-login check, ms.
inline constexpr unsigned kAuthTimeoutMs = 2000;

// Instance log location below the log root.
inline constexpr char kLogFolder[] = "kvolog";
inline constexpr char kLogFile[] = "kvoapi.log";
inline constexpr int kDefaultLogLevel = 3;

}  // namespace kvoapi
