// Decimal numbers read from protocol fields and CSV fields, the way the C
// library's atoi, _atoi64 and atof read them, but bounded by a length (the
// texts are slices, not C strings), independent of the process's locale, and
// saturated instead of overflowing.
#pragma once

#include <cstdint>
#include <string_view>

// Leading white space (space, \t, \n, \v, \f, \r), an optional sign, then
// digits up to the first other character; 0 when there are no digits. A
// value beyond the type's range gives the nearest limit.
int32_t DecimalToI32(std::string_view text);
int64_t DecimalToI64(std::string_view text);

// Leading white space, then the longest prefix that is a decimal number: an
// optional sign, digits with an optional "." and fraction (at least one
// digit), an optional exponent ("e" or "E", a sign, digits). 0.0 when there
// is no number; infinities, NaN and hexadecimal forms are not numbers here.
// Read with "." as the decimal point whatever the locale.
double DecimalToDouble(std::string_view text);
