// corvane::CTLString: the framework's byte string. Texts are bytes in the
// process's code page (GBK); comparisons skip the trail byte of a double-byte
// character when folding case. Indexes and lengths are 32-bit signed; results
// that can be absent are -1. Index errors throw std::out_of_range; a string
// that would grow past the largest 32-bit length throws std::length_error.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

namespace corvane {

class CTLString {
public:
    // Largest length a string can reach.
    static constexpr int kMaxLength = 0x7FFFFFFE;

    CTLString() = default;
    // Copy of a zero-terminated text; null gives an empty string.
    CTLString(const char* text);  // NOLINT: implicit like the texts it stands for
    // Copy of n bytes; null or n < 1 gives an empty string.
    CTLString(const char* data, int n);
    // n copies of c (n < 1: empty).
    CTLString(char c, int n);
    CTLString(const CTLString&) = default;
    CTLString(CTLString&&) noexcept = default;
    CTLString& operator=(const CTLString&) = default;
    CTLString& operator=(CTLString&&) noexcept = default;
    CTLString& operator=(const char* text);

    const char* GetString() const { return s_.c_str(); }
    operator const char*() const { return s_.c_str(); }  // NOLINT
    int GetLength() const { return static_cast<int>(s_.size()); }
    bool IsEmpty() const { return s_.empty(); }
    // Length 0; the storage stays allocated.
    void Empty() { s_.clear(); }

    // Byte at i; i outside [0, length) throws std::out_of_range.
    char GetAt(int i) const;
    // Stores c at i; i outside [0, length) throws std::out_of_range.
    void SetAt(int i, char c);
    // Inserts c before index i (i == length appends); returns the new length.
    // i < 0 or i > length throws std::out_of_range.
    int Insert(int i, char c);

    int Find(char c) const;
    // -1 when start < 0 or start >= length.
    int FindFrom(char c, int start) const;
    int FindString(const char* s) const;
    // An empty s is found at start (when start <= length).
    int FindStringFrom(const char* s, int start) const;

    // Multibyte-aware comparison with a zero-terminated text (null counts as
    // empty): negative, 0 or positive.
    int Compare(const char* s) const;
    int CompareNoCase(const char* s) const;

    // First n bytes, n clamped to the length; a negative n gives the whole.
    CTLString Left(int n) const;
    // From start to the end; start < 0 or > length throws.
    CTLString Mid(int start) const;
    // n bytes from start, n clamped to what is left (n < 0: the rest); start < 0
    // or > length throws.
    CTLString MidCount(int start, int n) const;
    // Last n bytes; n < 0 or n > length throws (no clamping, unlike Left).
    CTLString Right(int n) const;

    // Byte-wise ASCII case change; trail bytes of double-byte characters are
    // left alone.
    void MakeLower();
    void MakeUpper();

    // Remove leading / trailing bytes of the set (default " \t\r\n").
    void TrimLeft(const char* set = " \t\r\n");
    void TrimRight(const char* set = " \t\r\n");
    void Trim(const char* set = " \t\r\n") {
        TrimRight(set);
        TrimLeft(set);
    }

    // Makes the length at least n (new bytes zero) and returns the writable
    // bytes; length + 1 bytes are writable, the last one being the terminator.
    char* GetBuffer(int n);
    // Sets the length after direct writes: n = -1 (or any negative n) means up
    // to the first zero byte; n is clamped to the current length.
    void ReleaseBuffer(int n = -1);

    // printf-style formatting into the string. "%I64d", "%I64u", "%I64x"
    // (and "%I64X", "%I64i", "%I64o") are accepted as the 64-bit conversions
    // "%lld" etc.; in literals write "%lld", which the compiler can check.
    void Format(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void FormatV(const char* format, va_list args) __attribute__((format(printf, 2, 0)));
    // Formats and appends.
    void AppendFormat(const char* format, ...) __attribute__((format(printf, 2, 3)));

    CTLString& Append(const char* data, int n);
    CTLString& operator+=(const CTLString& s);
    CTLString& operator+=(const char* s);
    CTLString& operator+=(char c);

    const std::string& str() const { return s_; }

    friend bool operator==(const CTLString& a, const CTLString& b) { return a.s_ == b.s_; }
    friend bool operator==(const CTLString& a, const char* b) { return a.Compare(b) == 0; }
    friend bool operator<(const CTLString& a, const CTLString& b) { return a.s_ < b.s_; }
    friend CTLString operator+(const CTLString& a, const CTLString& b);
    friend CTLString operator+(const CTLString& a, const char* b);

private:
    void CheckGrow(uint64_t new_length) const;
    std::string s_;
};

}  // namespace corvane

// Rewrites the Windows size prefixes of a format text for the C library:
// "I64" becomes "ll", "I32" is dropped, a lone "I" becomes "z". Other text is
// copied unchanged. Returns false (and leaves out untouched) when the format
// holds no such prefix.
bool TL_RewriteFormat(const char* format, std::string* out);

// Multibyte-aware comparisons of zero-terminated GBK texts (null counts as
// empty): unsigned byte order; the NoCase form folds ASCII letters but never
// the trail byte of a double-byte character.
int TL_MbsCompare(const char* a, const char* b);
int TL_MbsCompareNoCase(const char* a, const char* b);
