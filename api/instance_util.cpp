#include "api/instance_util.h"

#include <cstring>

#include "session/kvo_texts.h"

namespace kvoapi {

bool IsInternalAccount(const char* name, size_t length) {
    const size_t marker = sizeof(kInternalAccountMarker) - 1;
    if (!name || length < 8) return false;
    return std::strncmp(name, kInternalAccountMarker, marker) == 0;
}

LoginResult MergeLoginResults(const LoginResult& precheck, const std::vector<MarketLoginResult>& markets) {
    if (markets.empty()) return precheck;
    LoginResult merged = precheck;
    bool failed = false;
    std::string status;
    std::string expiry;
    for (const auto& [code, result] : markets) {
        if (result.nstatuscode < 0) {
            merged = result;
            failed = true;
        } else if (result.nstatuscode > 0) {
            if (!failed) merged = result;
        } else {
            std::memcpy(merged.expire_date, result.expire_date, sizeof(merged.expire_date));
        }
        status += code + ":\"" + BoundedText(result.statusmsg) + "\" ";
        expiry += code + ":\"" + BoundedText(result.expire_date) + "\" ";
    }
    CopyTextField(merged.statusmsg, "(" + status + ")");
    CopyTextField(merged.expire_date, "(" + expiry + ")");
    return merged;
}

}  // namespace kvoapi
