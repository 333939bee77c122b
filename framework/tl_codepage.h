// Code pages, the framework's locale and text encodings.
//
// The framework's texts are multibyte texts in a Windows code page (GBK, 936,
// on the hosts this library serves). This layer fixes the framework's locale
// at load, converts texts between code pages (through UTF-16), between GBK
// and Big5 with the simplified/traditional character mapping, to and from
// UTF-8, detects the "#@language" encoding header of a text file, and
// form-encodes texts for URLs.
//
// Lengths of -1 (any negative length) mean "up to the zero byte".
#pragma once

#include <cstdint>
#include <string>

#include "framework/tl_string.h"

// A text's code page (for GBK-family and Big5 texts, the character set) and
// its encoding code page (65001 when the bytes are UTF-8).
struct TLCodePagePair {
    uint32_t cp;
    uint32_t enc;
};

// Code page of an encoding name; exact lower-case names only: "gb2312"
// 52936, "gbk" 936, "big5" 950, "utf-8" 65001, "utf-7" 65000, "gb18030"
// 54936, "utf-16" 1200; any other name (or null) 0.
uint32_t TL_CodePageFromName(const char* name);

// The process's multibyte ("ANSI") code page: 936.
uint32_t TL_GetAnsiCodePage();

// The framework's locale name, such as "zh_CN.GBK", or "unknown".
const char* TL_GetFrameworkLocaleName();

// The framework's code-page pair: (row code page, row code page) of the
// locale, (0, 0) when the locale is unknown.
TLCodePagePair TL_GetFrameworkCodePage();

// Sets the framework locale from a Windows language id (0x0804 zh_CN ...).
// Runs at load with the system's default language; tests call it to force a
// locale.
void TL_InitFrameworkLocale(uint16_t lang_id);

// Multibyte text in code page cp to UTF-16 (replacing out). Returns the
// number of UTF-16 units, or -1 when the code page is not served. Bytes that
// cannot be decoded become U+FFFD.
int TL_MultiByteToWide(const char* text, int len, std::u16string& out, uint32_t cp);

// UTF-16 text to code page cp (replacing out). Returns the number of bytes,
// or -1 when the code page is not served. Characters the code page lacks
// become '?'.
int TL_WideToMultiByte(const char16_t* text, int len, corvane::CTLString& out, uint32_t cp);

// Re-encodes a text from one code page to another through UTF-16. Returns
// the result length or -1.
int TL_MultiByteToMultiByte(const char* text, int len, corvane::CTLString& out, uint32_t from, uint32_t to);

// The same with UTF-8 as the target.
int TL_ToUtf8(const char* text, int len, corvane::CTLString& out, uint32_t cp);

// A new string holding the re-encoded text (empty on failure).
corvane::CTLString TL_ConvertCodePage(const char* text, int len, uint32_t from, uint32_t to);

// GBK text with simplified characters mapped to traditional ones, re-encoded
// as Big5. Returns the result length or -1.
int TL_GbkToBig5(const char* text, int len, corvane::CTLString& out);

// Big5 text re-encoded as GBK with traditional characters mapped to
// simplified ones. Returns the result length or -1.
int TL_Big5ToGbk(const char* text, int len, corvane::CTLString& out);

// Converts a text through the process-wide converter registry, which knows
// 936 -> 950 and 950 -> 936; any other pair gives the text unchanged. A text
// lying inside out is copied first. Returns the result length.
int TL_RegistryConvert(uint32_t from, uint32_t to, const char* text, int len, corvane::CTLString& out);

// Converts a text in the code-page pair into the framework's code page:
// from UTF-8 when pair->enc is 65001, then (flag bit 0) between the pair's
// code page and the framework's through the registry. The result is in out;
// its length is stored in *len. Returns out's bytes.
const char* TL_ConvertToFrameworkText(const char* text, int* len, corvane::CTLString& out, const TLCodePagePair* pair,
                                      int flag);

// The reverse: a framework text converted for the pair (null: the
// framework's own pair): (flag bit 0) through the registry from the
// framework's code page to the pair's, then to UTF-8 when pair->enc is 65001.
const char* TL_ConvertFromFrameworkText(const char* text, int* len, corvane::CTLString& out, const TLCodePagePair* pair,
                                        int flag);

// Looks for a "#@language" header (locale and encoding, such as
// "#@language=zh_CN.GBK") at one of the first six positions of the text.
// Returns the number of header bytes examined, or -1 when there is none or it
// names no known locale (out unchanged).
int TL_DetectTextEncoding(TLCodePagePair* out, const char* text, int len);

// Form-encodes a text: a-z, A-Z, 0-9, '-' and '_' are copied, ' ' becomes
// '+', every other byte "%XX" in upper-case hex.
void TL_UrlEncode(corvane::CTLString& out, const char* text);
