#include "session/account_auth.h"

#include <utility>

#include "framework/tl_log.h"
#include "platform/pl_replaceable.h"

namespace kvoapi {
namespace {

// Without an authentication client no account can be authenticated.
int32_t RefuseAccount(uint32_t, bool, const std::string& user, const std::string&, std::string*, std::string*) {
    TL_WriteLog(1, "AuthenticateAccount[],no authentication client, user %s refused", user.c_str());
    return 0;
}

pl::ReplaceableSlot<AccountAuthenticator>& Slot() {
    // Lives until the process ends.
    static auto* slot = new pl::ReplaceableSlot<AccountAuthenticator>(&RefuseAccount);
    return *slot;
}

}  // namespace

AccountAuthenticator SetAccountAuthenticator(AccountAuthenticator authenticator) {
    if (!authenticator) authenticator = &RefuseAccount;
    return Slot().Exchange(std::move(authenticator));
}

AccountAuthenticator GetAccountAuthenticator() { return Slot().Get(); }

bool AuthenticateAccount(uint32_t timeoutMs, bool keySelector, const std::string& user, const std::string& password,
                         std::string* passport, std::string* sessionId) {
    const AccountAuthenticator authenticate = GetAccountAuthenticator();
    std::string newPassport;
    std::string newSessionId;
    if (authenticate(timeoutMs, keySelector, user, password, &newPassport, &newSessionId) != 1) return false;
    if (newPassport.empty()) return false;
    if (passport) *passport = std::move(newPassport);
    if (sessionId) *sessionId = std::move(newSessionId);
    return true;
}

}  // namespace kvoapi
