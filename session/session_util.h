// Text and path helpers shared by the feed session and the library instance:
// bounded copies of host char arrays, GBK-safe text fields, LoginResult
// building, and the rule that places the library's log files.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "include/kvoapi.h"

namespace kvoapi {

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

// A text from the gateway (UTF-8 in the protocol) in GBK, as the host sees
// texts; the bytes unchanged when they are not UTF-8 or a character has no
// GBK form.
std::string GatewayTextToGbk(std::string_view text);

// The market code of a market text: a text of three or more characters
// becomes its second and third characters ("USH" -> "SH"); a shorter text is
// kept. Null gives "".
std::string NormaliseMarket(const char* market);

// Builds a LoginResult from a code and two texts.
LoginResult MakeLoginResult(int code, std::string_view statusmsg, std::string_view expire_date);

// Folder of the running executable, without a trailing '/' ("." when it
// cannot be read).
std::string ExecutableFolder();

// A log file of a configuration: <root>/kvolog/<file>, the root being
// m_logpath ('\' read as '/') or the executable's folder when it is empty.
std::string LogFilePath(const InstanceConfig& config, const char* file);

}  // namespace kvoapi
