// Index codes of the first exchange's index market (market text "USHI",
// byte form 16): the gateway names these indexes "1A" or "1B" and four or
// more digits, the host by public six-digit codes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Value of the leading decimal digits of p[0, len) (at most 18 of them are
// taken, so the value always fits); 0 when the text does not begin with a
// digit.
uint64_t LeadingDecimalValue(const char* p, size_t len);

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
