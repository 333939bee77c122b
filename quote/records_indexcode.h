// Index codes of the first exchange's index market (market text "USHI",
// byte form 16): the gateway names these indexes "1A" or "1B" and four or
// more digits, the host by public six-digit codes.
#pragma once

#include <cstdint>
#include <string>

// Public index code -> internal index code ("000001" -> "1A0001",
// "000010" -> "1B0007", "600000" -> "1B0600000"); a code that is not a
// positive number comes back unchanged.
std::string PublicCodeToIndexCode(const std::string& code);
// Internal index code -> public code ("%06d"); anything outside the table
// comes back unchanged.
std::string IndexCodeToPublicCode(const std::string& code);
// "(c1,c2)" -> "(i1,i2)": the part between the first "(" and ")" (the whole
// text without a proper pair) split at ",", each piece rewritten; an empty
// part gives the text unchanged.
std::string PublicCodeListToIndexCodes(const std::string& list);
