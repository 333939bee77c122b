#include "cascade/decimal_text.h"

#include <locale.h>
#include <stdlib.h>

#include <limits>
#include <string>

namespace {

bool IsBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

size_t SkipBlanks(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && IsBlank(text[i])) ++i;
    return i;
}

template <class T>
T DecimalToInt(std::string_view text) {
    size_t i = SkipBlanks(text);
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    // Accumulated as a negative number, whose range holds the minimum.
    constexpr T kMin = std::numeric_limits<T>::min();
    T value = 0;
    bool saturated = false;
    for (; i < text.size() && IsDigit(text[i]); ++i) {
        const T digit = static_cast<T>(text[i] - '0');
        if (value < (kMin + digit) / 10) {
            saturated = true;
            break;
        }
        value = static_cast<T>(value * 10 - digit);
    }
    if (saturated) return negative ? kMin : std::numeric_limits<T>::max();
    if (negative) return value;
    return value == kMin ? std::numeric_limits<T>::max() : static_cast<T>(-value);
}

size_t DigitsFrom(std::string_view text, size_t i) {
    size_t j = i;
    while (j < text.size() && IsDigit(text[j])) ++j;
    return j - i;
}

locale_t CLocale() {
    static const locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return c;
}

}  // namespace

int32_t DecimalToI32(std::string_view text) { return DecimalToInt<int32_t>(text); }
int64_t DecimalToI64(std::string_view text) { return DecimalToInt<int64_t>(text); }

double DecimalToDouble(std::string_view text) {
    const size_t start = SkipBlanks(text);
    size_t i = start;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    const size_t whole = DigitsFrom(text, i);
    i += whole;
    size_t fraction = 0;
    if (i < text.size() && text[i] == '.') {
        fraction = DigitsFrom(text, i + 1);
        if (whole > 0 || fraction > 0) i += 1 + fraction;
    }
    if (whole == 0 && fraction == 0) return 0.0;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        size_t j = i + 1;
        if (j < text.size() && (text[j] == '+' || text[j] == '-')) ++j;
        const size_t exponent = DigitsFrom(text, j);
        if (exponent > 0) i = j + exponent;
    }
    const std::string number(text.substr(start, i - start));
    const locale_t c = CLocale();
    if (c == static_cast<locale_t>(nullptr)) return strtod(number.c_str(), nullptr);
    return strtod_l(number.c_str(), nullptr, c);
}
