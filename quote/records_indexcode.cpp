#include "quote/records_indexcode.h"

#include <cstdio>

namespace {

std::string Formatted(const char* fmt, unsigned long long n) {
    char buf[48];
    snprintf(buf, sizeof buf, fmt, n);
    return buf;
}

}  // namespace

uint64_t LeadingDecimalValue(const char* p, size_t len) {
    uint64_t v = 0;
    for (size_t i = 0; i < len && i < 18 && p[i] >= '0' && p[i] <= '9'; ++i) v = v * 10 + uint64_t(p[i] - '0');
    return v;
}

std::string PublicCodeToIndexCode(const std::string& code) {
    uint64_t n = LeadingDecimalValue(code.data(), code.size());
    if (n == 0) return code;
    if (n <= 3) return Formatted("1A000%llu", n);
    if (n <= 5) return Formatted("1B000%llu", n - 3);
    if (n <= 8) return Formatted("1B000%llu", n - 2);
    if (n == 9) return "1B0009";
    if (n <= 11) return Formatted("1B000%llu", n - 3);
    if (n <= 99) return Formatted("1B00%llu", n);
    return Formatted("1B0%llu", n);
}

std::string IndexCodeToPublicCode(const std::string& code) {
    if (code.size() < 2) return code;
    uint64_t m = LeadingDecimalValue(code.data() + 2, code.size() - 2);
    if (code[0] != '1') return code;
    if (code[1] == 'A') {
        if (m >= 1 && m <= 3) return Formatted("%06llu", m);
    } else if (code[1] == 'B') {
        if (m == 1 || m == 2 || m == 7 || m == 8) return Formatted("%06llu", m + 3);
        if (m >= 4 && m <= 6) return Formatted("%06llu", m + 2);
        if (m == 9 || (m >= 12 && m <= 9999)) return Formatted("%06llu", m);
    }
    return code;
}

std::string PublicCodeListToIndexCodes(const std::string& list) {
    size_t open = list.find('(');
    size_t close = list.find(')');
    std::string inner;
    if (open != std::string::npos && close != std::string::npos && open < close) {
        inner = list.substr(open + 1, close - open - 1);
    } else {
        // No proper pair of parentheses (none, only one, or ")" first): the
        // whole text is the list.
        inner = list;
    }
    if (inner.empty()) return list;
    std::string out = "(";
    size_t start = 0;
    for (;;) {
        size_t comma = inner.find(',', start);
        size_t end = comma == std::string::npos ? inner.size() : comma;
        out += PublicCodeToIndexCode(inner.substr(start, end - start));
        if (comma == std::string::npos) break;
        out += ',';
        start = comma + 1;
    }
    out += ')';
    return out;
}
