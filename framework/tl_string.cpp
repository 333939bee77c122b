#include "framework/tl_string.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace {

bool IsLeadByte(unsigned char c) { return c >= 0x81 && c <= 0xFE; }

unsigned char FoldAscii(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }

int MbsCompare(const char* a, const char* b, bool fold) {
    const auto* p = reinterpret_cast<const unsigned char*>(a ? a : "");
    const auto* q = reinterpret_cast<const unsigned char*>(b ? b : "");
    bool trail = false;  // the previous byte of both texts was a lead byte
    for (;; ++p, ++q) {
        unsigned char x = *p, y = *q;
        if (fold && !trail) {
            x = FoldAscii(x);
            y = FoldAscii(y);
        }
        if (x != y) return x < y ? -1 : 1;
        if (x == 0) return 0;
        trail = !trail && IsLeadByte(*p);
    }
}

void ThrowRange(const char* what) { throw std::out_of_range(what); }

// Length of a conversion's flags, width and precision after '%'.
size_t SpecLength(const char* p) {
    size_t n = 0;
    while (p[n] && strchr("-+ #0'123456789.*", p[n])) ++n;
    return n;
}

}  // namespace

int TL_MbsCompare(const char* a, const char* b) { return MbsCompare(a, b, false); }

int TL_MbsCompareNoCase(const char* a, const char* b) { return MbsCompare(a, b, true); }

bool TL_RewriteFormat(const char* format, std::string* out) {
    if (format == nullptr || strchr(format, 'I') == nullptr) return false;
    std::string result;
    bool changed = false;
    const char* p = format;
    while (*p) {
        if (*p != '%') {
            result += *p++;
            continue;
        }
        if (p[1] == '%') {
            result += "%%";
            p += 2;
            continue;
        }
        const size_t spec = SpecLength(p + 1);
        result.append(p, 1 + spec);
        p += 1 + spec;
        if (*p != 'I') continue;
        if (p[1] == '6' && p[2] == '4') {
            result += "ll";
            p += 3;
            changed = true;
        } else if (p[1] == '3' && p[2] == '2') {
            p += 3;
            changed = true;
        } else if (p[1] && strchr("diouxX", p[1])) {
            result += 'z';
            p += 1;
            changed = true;
        }
    }
    if (changed) *out = std::move(result);
    return changed;
}

namespace corvane {

CTLString::CTLString(const char* text) {
    if (text != nullptr) *this = text;
}

CTLString::CTLString(const char* data, int n) {
    if (data == nullptr || n < 1) return;
    CheckGrow(static_cast<uint64_t>(n));
    s_.assign(data, static_cast<size_t>(n));
}

CTLString::CTLString(char c, int n) {
    if (n < 1) return;
    CheckGrow(static_cast<uint64_t>(n));
    s_.assign(static_cast<size_t>(n), c);
}

CTLString& CTLString::operator=(const char* text) {
    if (text == nullptr) {
        s_.clear();
        return *this;
    }
    const size_t len = strlen(text);
    CheckGrow(len);
    s_.assign(text, len);
    return *this;
}

void CTLString::CheckGrow(uint64_t new_length) const {
    if (new_length > static_cast<uint64_t>(kMaxLength)) throw std::length_error("CTLString too long");
}

char CTLString::GetAt(int i) const {
    if (i < 0 || i >= GetLength()) ThrowRange("CTLString::GetAt");
    return s_[static_cast<size_t>(i)];
}

void CTLString::SetAt(int i, char c) {
    if (i < 0 || i >= GetLength()) ThrowRange("CTLString::SetAt");
    s_[static_cast<size_t>(i)] = c;
}

int CTLString::Insert(int i, char c) {
    if (i < 0 || i > GetLength()) ThrowRange("CTLString::Insert");
    CheckGrow(s_.size() + 1);
    s_.insert(static_cast<size_t>(i), 1, c);
    return GetLength();
}

int CTLString::Find(char c) const { return FindFrom(c, 0); }

int CTLString::FindFrom(char c, int start) const {
    if (start < 0 || start >= GetLength()) return -1;
    const size_t at = s_.find(c, static_cast<size_t>(start));
    return at == std::string::npos ? -1 : static_cast<int>(at);
}

int CTLString::FindString(const char* s) const { return FindStringFrom(s, 0); }

int CTLString::FindStringFrom(const char* s, int start) const {
    if (s == nullptr || start < 0 || start > GetLength()) return -1;
    const size_t at = s_.find(s, static_cast<size_t>(start));
    return at == std::string::npos ? -1 : static_cast<int>(at);
}

int CTLString::Compare(const char* s) const { return TL_MbsCompare(s_.c_str(), s); }

int CTLString::CompareNoCase(const char* s) const { return TL_MbsCompareNoCase(s_.c_str(), s); }

CTLString CTLString::Left(int n) const {
    if (n < 0 || n >= GetLength()) return *this;
    return CTLString(s_.data(), n);
}

CTLString CTLString::Mid(int start) const {
    if (start < 0 || start > GetLength()) ThrowRange("CTLString::Mid");
    return CTLString(s_.data() + start, GetLength() - start);
}

CTLString CTLString::MidCount(int start, int n) const {
    if (start < 0 || start > GetLength()) ThrowRange("CTLString::MidCount");
    const int rest = GetLength() - start;
    if (n < 0 || n > rest) n = rest;
    return CTLString(s_.data() + start, n);
}

CTLString CTLString::Right(int n) const {
    if (n < 0 || n > GetLength()) ThrowRange("CTLString::Right");
    return CTLString(s_.data() + (GetLength() - n), n);
}

void CTLString::MakeLower() {
    bool trail = false;
    for (char& ch : s_) {
        const auto c = static_cast<unsigned char>(ch);
        if (!trail && c >= 'A' && c <= 'Z') ch = static_cast<char>(tolower(c));
        trail = !trail && IsLeadByte(c);
    }
}

void CTLString::MakeUpper() {
    bool trail = false;
    for (char& ch : s_) {
        const auto c = static_cast<unsigned char>(ch);
        if (!trail && c >= 'a' && c <= 'z') ch = static_cast<char>(toupper(c));
        trail = !trail && IsLeadByte(c);
    }
}

void CTLString::TrimLeft(const char* set) {
    if (set == nullptr) set = " \t\r\n";
    size_t i = 0;
    while (i < s_.size() && s_[i] != '\0' && strchr(set, s_[i]) != nullptr) ++i;
    s_.erase(0, i);
}

void CTLString::TrimRight(const char* set) {
    if (set == nullptr) set = " \t\r\n";
    size_t n = s_.size();
    while (n > 0 && s_[n - 1] != '\0' && strchr(set, s_[n - 1]) != nullptr) --n;
    s_.resize(n);
}

char* CTLString::GetBuffer(int n) {
    if (n > GetLength()) {
        CheckGrow(static_cast<uint64_t>(n));
        s_.resize(static_cast<size_t>(n), '\0');
    }
    return s_.data();
}

void CTLString::ReleaseBuffer(int n) {
    size_t len;
    if (n < 0)
        len = strnlen(s_.data(), s_.size());
    else
        len = static_cast<size_t>(n) < s_.size() ? static_cast<size_t>(n) : s_.size();
    s_.resize(len);
}

void CTLString::FormatV(const char* format, va_list args) {
    // The result is built apart and swapped in last: the format or an argument
    // may be this string's own text.
    std::string out;
    if (format != nullptr) {
        std::string rewritten;
        if (TL_RewriteFormat(format, &rewritten)) format = rewritten.c_str();
        char small[256];
        va_list copy;
        va_copy(copy, args);
        const int n = vsnprintf(small, sizeof(small), format, copy);
        va_end(copy);
        if (n > 0 && static_cast<size_t>(n) < sizeof(small)) {
            out.assign(small, static_cast<size_t>(n));
        } else if (n > 0) {
            CheckGrow(static_cast<uint64_t>(n));
            out.resize(static_cast<size_t>(n));
            vsnprintf(out.data(), static_cast<size_t>(n) + 1, format, args);
        }
    }
    s_.swap(out);
}

void CTLString::Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    FormatV(format, args);
    va_end(args);
}

void CTLString::AppendFormat(const char* format, ...) {
    CTLString tail;
    va_list args;
    va_start(args, format);
    tail.FormatV(format, args);
    va_end(args);
    *this += tail;
}

CTLString& CTLString::Append(const char* data, int n) {
    if (data == nullptr || n < 1) return *this;
    CheckGrow(s_.size() + static_cast<uint64_t>(n));
    s_.append(data, static_cast<size_t>(n));
    return *this;
}

CTLString& CTLString::operator+=(const CTLString& s) { return Append(s.s_.data(), s.GetLength()); }

CTLString& CTLString::operator+=(const char* s) {
    if (s == nullptr) return *this;
    const size_t len = strlen(s);
    CheckGrow(s_.size() + len);
    s_.append(s, len);
    return *this;
}

CTLString& CTLString::operator+=(char c) {
    CheckGrow(s_.size() + 1);
    s_ += c;
    return *this;
}

CTLString operator+(const CTLString& a, const CTLString& b) {
    CTLString r(a);
    r += b;
    return r;
}

CTLString operator+(const CTLString& a, const char* b) {
    CTLString r(a);
    r += b;
    return r;
}

}  // namespace corvane
