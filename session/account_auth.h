// The account authentication the session and the instance call before a
// gateway login: the pre-login check of a "formal" account and the renewal of
// a passport that is no longer valid today.
//
// One process-wide authenticator answers both. The default is the
// authentication client (AuthenticateWithService, session/auth.h), which asks
// the authentication service; a refusal there is the road of a failed
// authentication (the pre-login check answers -1012, a passport is not
// renewed). Tests may install scripted authenticators instead.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace kvoapi {

// (timeout ms, key selector, user name, password, out passport, out session
// id) -> 1 success (passport and session id written), 0 failure.
using AccountAuthenticator =
    std::function<int32_t(uint32_t timeoutMs, bool keySelector, const std::string& user, const std::string& password,
                          std::string* passport, std::string* sessionId)>;

// Installs the authenticator of the process (an empty one puts the
// authentication client back) and returns the previous one.
AccountAuthenticator SetAccountAuthenticator(AccountAuthenticator authenticator);
// The authenticator in force (a copy: it may be replaced meanwhile).
AccountAuthenticator GetAccountAuthenticator();

// Authenticates through the authenticator in force: true when it succeeded
// and gave a passport. The outputs are written only on success.
bool AuthenticateAccount(uint32_t timeoutMs, bool keySelector, const std::string& user, const std::string& password,
                         std::string* passport, std::string* sessionId);

}  // namespace kvoapi
