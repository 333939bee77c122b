#include "session/account_auth.h"

#include <utility>

#include "platform/pl_replaceable.h"
#include "session/auth.h"
#include "platform/pl_never_destroyed.h"

namespace kvoapi {
namespace {

pl::ReplaceableSlot<AccountAuthenticator>& Slot() {
    // Lives until the process ends.
    static pl::NeverDestroyed<pl::ReplaceableSlot<AccountAuthenticator>> slot{&AuthenticateWithService};
    return *slot;
}

}  // namespace

AccountAuthenticator SetAccountAuthenticator(AccountAuthenticator authenticator) {
    if (!authenticator) authenticator = &AuthenticateWithService;
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
