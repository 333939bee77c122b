// Small pure helpers of the library instance: market codes, bounded host
// texts, GBK-safe field copies, internal accounts and the merge of the
// per-market login results.
#ifndef KVO_API_INSTANCE_UTIL_H
#define KVO_API_INSTANCE_UTIL_H

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "include/kvoapi.h"

namespace kvoapi {

// A market text of three or more characters becomes its second and third
// characters ("USH" -> "SH"); a shorter text is kept. Null gives "".
std::string NormaliseMarket(const char* market);

// A host char array read up to its width: the host may leave out the
// terminator.
std::string BoundedText(const char* field, size_t width);

template <size_t N>
std::string BoundedText(const char (&field)[N]) {
  return BoundedText(field, N);
}

// Length of the longest prefix of text that is at most max bytes and does not
// end inside a GBK double-byte character.
size_t GbkPrefixLength(std::string_view text, size_t max);

// Zero-fills a text field of the given width and copies text into it, cut on
// a GBK character boundary so that a terminator always fits.
void CopyTextField(char* field, size_t width, std::string_view text);

template <size_t N>
void CopyTextField(char (&field)[N], std::string_view text) {
  CopyTextField(field, N, text);
}

// Builds a LoginResult from a code and two texts.
LoginResult MakeLoginResult(int code, std::string_view statusmsg, std::string_view expire_date);

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
LoginResult MergeLoginResults(const LoginResult& precheck,
                              const std::vector<MarketLoginResult>& markets);

}  // namespace kvoapi

#endif
