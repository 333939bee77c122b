// Small pure helpers of the library instance: internal accounts and the
// merge of the per-market login results (the text helpers they use, and the
// market codes, NormaliseMarket, are the session's).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "include/kvoapi.h"
#include "session/session_util.h"

namespace kvoapi {

// True for an internal account: at least 8 characters, beginning with the
// internal-account marker.
bool IsInternalAccount(const char* name, size_t length);

// One market's answer to a login, keyed by the market's two-letter code.
using MarketLoginResult = std::pair<std::string, LoginResult>;

// Merges the markets' answers (in ascending market order) into the result of
// a login over all markets. precheck is the result of the pre-login check; it
// is returned unchanged when there is no market. Otherwise: a negative code
// replaces the code (the last failing market wins), a positive code replaces
// it only while no market failed, a zero code keeps it; statusmsg becomes
// "(" + `XX:"msg" ` per market + ")" and expire_date the same over the
// expiry texts, each cut to fit its 70-byte field.
LoginResult MergeLoginResults(const LoginResult& precheck, const std::vector<MarketLoginResult>& markets);

}  // namespace kvoapi
