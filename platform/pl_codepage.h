// Code pages over iconv (and ICU for the simplified/traditional Chinese
// character mapping).
//
// Code pages are named by their Windows numbers (936 GBK, 950 Big5, 65001
// UTF-8 ...) because that is how the rest of the code and the files it reads
// name them. Conversions never stop at a byte they cannot convert: like the
// Windows converters they put a substitute in its place and go on, so no text
// is cut short silently. Output buffers are sized from what the converter
// produces, never from a fixed factor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace pl {

// Windows code-page numbers used by the system.
enum : uint32_t {
    kCpGbk = 936,
    kCpBig5 = 950,
    kCpWindows1252 = 1252,
    kCpUtf16Le = 1200,
    kCpGb2312 = 52936,
    kCpGb18030 = 54936,
    kCpUtf7 = 65000,
    kCpUtf8 = 65001,
};

// The code page a multibyte text is in when nothing says otherwise (the
// "ANSI" code page of the process). Fixed at GBK on every machine: the hosts
// this library serves exchange GBK texts.
uint32_t SystemCodePage();

// The iconv name of a code page, or null when the code page is not served.
// Code page 0 means the system code page.
const char* CodePageIconvName(uint32_t cp);

// Decodes `len` bytes in code page `cp` to UTF-16 and appends the result to
// `out`. Invalid or incomplete sequences become U+FFFD each. Returns 0, or -1
// when the code page is not served (out unchanged).
int MultiByteToUtf16(uint32_t cp, const char* text, size_t len, std::u16string& out);

// Entries of a double-byte table: one per (lead 0x80-0xFF, trail 0x00-0xFF).
constexpr size_t kDoubleByteTableSize = 128 * 256;

// Fills table[(lead - 0x80) * 256 + trail] with the Unicode scalar value of
// each two-byte sequence in code page `cp`, or -1 where the pair is not one
// character. Returns 0, or -1 when the code page is not served.
int BuildDoubleByteTable(uint32_t cp, int32_t* table);

// Encodes `len` UTF-16 units into code page `cp`, appending to `out`.
// Characters the code page lacks and lone surrogates become '?' each.
// Returns 0, or -1 when the code page is not served (out unchanged).
int Utf16ToMultiByte(uint32_t cp, const char16_t* text, size_t len, std::string& out);

// Re-encodes `len` bytes from code page `from` into code page `to` without
// substitutes: 0 with `out` replaced by the result, or -1 (out unchanged)
// when a code page is not served or a sequence is invalid, cut off, or has
// no counterpart in the target code page.
int ConvertExact(uint32_t from, uint32_t to, const char* text, size_t len, std::string& out);

// Maps Chinese characters between simplified and traditional forms
// (to_traditional true: simplified -> traditional). Characters without a
// counterpart pass unchanged. Returns 0; -1 when no mapping is available on
// this build, in which case `out` receives the text unchanged.
int MapChineseCharacters(const char16_t* text, size_t len, bool to_traditional, std::u16string& out);

// True when MapChineseCharacters really maps characters on this build.
bool HaveChineseCharacterMapping();

// The system's default language as a Windows language id, derived from the
// first non-empty of LC_ALL, LC_CTYPE and LANG ("zh_CN..." 0x0804, "zh_TW"
// 0x0404, "zh_HK" 0x0C04, "zh_SG" 0x1004, "en_GB" 0x0809, "en_US" 0x0409);
// 0 when the setting names none of them.
uint16_t GetSystemDefaultLangId();

// The same derivation for a given locale text (for the environment reader
// and its tests).
uint16_t LangIdFromLocaleName(const char* name);

}  // namespace pl
