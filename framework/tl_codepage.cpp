#include "framework/tl_codepage.h"

#include <cctype>
#include <cstdio>
#include <climits>
#include <cstring>
#include <map>
#include <strings.h>
#include <utility>

#include "platform/pl_codepage.h"
#include "platform/pl_never_destroyed.h"

namespace {

struct LocaleRow {
    uint16_t lang_id;
    uint32_t cp;
    const char* locale;
    const char* encoding;
};

const LocaleRow kLocales[] = {
    {0x0804, 936, "zh_CN", "GBK"}, {0x0C04, 950, "zh_HK", "BIG5"},          {0x0404, 950, "zh_TW", "BIG5"},
    {0x1004, 936, "zh_SG", "GBK"}, {0x0809, 1252, "en_GB", "windows-1252"}, {0x0409, 1252, "en_US", "windows-1252"},
};

struct FrameworkLocale {
    char name[32];
    TLCodePagePair pair;
};

FrameworkLocale g_locale = {"unknown", {0, 0}};

// Fixes the framework locale while the library loads.
struct LocaleInitializer {
    LocaleInitializer() { TL_InitFrameworkLocale(pl::GetSystemDefaultLangId()); }
} g_locale_init;

// Length of a text argument: a negative length means up to the zero byte.
size_t TextLength(const char* text, int len) {
    if (text == nullptr) return 0;
    if (len < 0) return std::strlen(text);
    return static_cast<size_t>(len);
}

int StoreResult(const std::string& bytes, corvane::CTLString& out) {
    if (bytes.size() > static_cast<size_t>(corvane::CTLString::kMaxLength)) {
        out.Empty();
        return -1;
    }
    out = corvane::CTLString(bytes.data(), static_cast<int>(bytes.size()));
    return out.GetLength();
}

using Converter = int (*)(const char*, int, corvane::CTLString&);

const std::map<std::pair<uint32_t, uint32_t>, Converter>& ConverterRegistry() {
    // Never destroyed: threads may still convert texts while the process
    // exits.
    static const pl::NeverDestroyed<std::map<std::pair<uint32_t, uint32_t>, Converter>> registry{
        std::map<std::pair<uint32_t, uint32_t>, Converter>{
            {{936, 950}, &TL_GbkToBig5},
            {{950, 936}, &TL_Big5ToGbk},
        }};
    return *registry;
}

bool LiesInside(const char* text, const corvane::CTLString& s) {
    const char* b = s.GetString();
    return text >= b && text <= b + s.GetLength();
}

int MapChinese(const char* text, int len, corvane::CTLString& out, uint32_t from, uint32_t to, bool to_traditional) {
    size_t n = TextLength(text, len);
    std::u16string wide;
    if (pl::MultiByteToUtf16(from, text, n, wide) != 0) return -1;
    std::u16string mapped;
    pl::MapChineseCharacters(wide.data(), wide.size(), to_traditional, mapped);
    std::string bytes;
    if (pl::Utf16ToMultiByte(to, mapped.data(), mapped.size(), bytes) != 0) return -1;
    return StoreResult(bytes, out);
}

}  // namespace

uint32_t TL_CodePageFromName(const char* name) {
    static const struct {
        const char* name;
        uint32_t cp;
    } kNames[] = {
        {"gb2312", 52936}, {"gbk", 936},       {"big5", 950},    {"utf-8", 65001},
        {"utf-7", 65000},  {"gb18030", 54936}, {"utf-16", 1200},
    };
    if (name == nullptr) return 0;
    for (const auto& n : kNames) {
        if (std::strcmp(name, n.name) == 0) return n.cp;
    }
    return 0;
}

uint32_t TL_GetAnsiCodePage() { return pl::SystemCodePage(); }

const char* TL_GetFrameworkLocaleName() { return g_locale.name; }

TLCodePagePair TL_GetFrameworkCodePage() { return g_locale.pair; }

void TL_InitFrameworkLocale(uint16_t lang_id) {
    for (const auto& row : kLocales) {
        if (row.lang_id == lang_id) {
            std::snprintf(g_locale.name, sizeof g_locale.name, "%s.%s", row.locale, row.encoding);
            g_locale.pair = {row.cp, row.cp};
            return;
        }
    }
    std::snprintf(g_locale.name, sizeof g_locale.name, "unknown");
    g_locale.pair = {0, 0};
}

int TL_MultiByteToWide(const char* text, int len, std::u16string& out, uint32_t cp) {
    size_t n = TextLength(text, len);
    std::u16string wide;
    if (pl::MultiByteToUtf16(cp, text, n, wide) != 0) return -1;
    if (wide.size() > INT_MAX) return -1;
    out = std::move(wide);
    return static_cast<int>(out.size());
}

int TL_WideToMultiByte(const char16_t* text, int len, corvane::CTLString& out, uint32_t cp) {
    size_t n = 0;
    if (text != nullptr) {
        if (len < 0) {
            while (text[n] != 0) ++n;
        } else {
            n = static_cast<size_t>(len);
        }
    }
    // The output grows with what the converter writes (GB18030 needs four
    // bytes for many characters, UTF-7 up to five), so nothing is cut.
    std::string bytes;
    if (pl::Utf16ToMultiByte(cp, text, n, bytes) != 0) return -1;
    return StoreResult(bytes, out);
}

int TL_MultiByteToMultiByte(const char* text, int len, corvane::CTLString& out, uint32_t from, uint32_t to) {
    size_t n = TextLength(text, len);
    std::u16string wide;
    if (pl::MultiByteToUtf16(from, text, n, wide) != 0) return -1;
    std::string bytes;
    if (pl::Utf16ToMultiByte(to, wide.data(), wide.size(), bytes) != 0) return -1;
    return StoreResult(bytes, out);
}

int TL_ToUtf8(const char* text, int len, corvane::CTLString& out, uint32_t cp) {
    return TL_MultiByteToMultiByte(text, len, out, cp, pl::kCpUtf8);
}

corvane::CTLString TL_ConvertCodePage(const char* text, int len, uint32_t from, uint32_t to) {
    corvane::CTLString out;
    TL_MultiByteToMultiByte(text, len, out, from, to);
    return out;
}

int TL_GbkToBig5(const char* text, int len, corvane::CTLString& out) {
    return MapChinese(text, len, out, pl::kCpGbk, pl::kCpBig5, true);
}

int TL_Big5ToGbk(const char* text, int len, corvane::CTLString& out) {
    return MapChinese(text, len, out, pl::kCpBig5, pl::kCpGbk, false);
}

int TL_RegistryConvert(uint32_t from, uint32_t to, const char* text, int len, corvane::CTLString& out) {
    size_t n = TextLength(text, len);
    if (n > static_cast<size_t>(corvane::CTLString::kMaxLength)) return -1;
    // A text inside out would be overwritten while it is read.
    corvane::CTLString copy;
    if (text != nullptr && LiesInside(text, out)) {
        copy = corvane::CTLString(text, static_cast<int>(n));
        text = copy.GetString();
    }
    const auto& reg = ConverterRegistry();
    auto it = reg.find({from, to});
    if (it == reg.end()) {
        out = corvane::CTLString(text, static_cast<int>(n));
        return out.GetLength();
    }
    int r = it->second(text, static_cast<int>(n), out);
    if (r < 0) {
        out = corvane::CTLString(text, static_cast<int>(n));
        return out.GetLength();
    }
    return r;
}

const char* TL_ConvertToFrameworkText(const char* text, int* len, corvane::CTLString& out, const TLCodePagePair* pair,
                                      int flag) {
    size_t n = TextLength(text, len ? *len : -1);
    TLCodePagePair p = pair ? *pair : TL_GetFrameworkCodePage();
    TLCodePagePair fw = TL_GetFrameworkCodePage();
    corvane::CTLString work;
    bool have = false;
    if (p.enc == pl::kCpUtf8) {
        if (TL_MultiByteToMultiByte(text, static_cast<int>(n), work, pl::kCpUtf8, p.cp) >= 0) {
            have = true;
        }
    }
    if (fw.cp != 0 && fw.cp != p.cp && (flag & 1)) {
        if (have) {
            TL_RegistryConvert(p.cp, fw.cp, work.GetString(), work.GetLength(), out);
        } else {
            TL_RegistryConvert(p.cp, fw.cp, text, static_cast<int>(n), out);
        }
    } else if (have) {
        out = std::move(work);
    } else {
        out = corvane::CTLString(text, static_cast<int>(n));  // copied before assignment
    }
    if (len) *len = out.GetLength();
    return out.GetString();
}

const char* TL_ConvertFromFrameworkText(const char* text, int* len, corvane::CTLString& out, const TLCodePagePair* pair,
                                        int flag) {
    size_t n = TextLength(text, len ? *len : -1);
    TLCodePagePair fw = TL_GetFrameworkCodePage();
    TLCodePagePair p = pair ? *pair : fw;
    corvane::CTLString work;
    bool have = false;
    if (p.cp != fw.cp && (flag & 1)) {
        TL_RegistryConvert(fw.cp, p.cp, text, static_cast<int>(n), work);
        have = true;
    }
    if (p.enc == pl::kCpUtf8) {
        corvane::CTLString utf8;
        int r = have ? TL_ToUtf8(work.GetString(), work.GetLength(), utf8, p.cp)
                     : TL_ToUtf8(text, static_cast<int>(n), utf8, p.cp);
        if (r >= 0) {
            work = std::move(utf8);
            have = true;
        }
    }
    if (have) {
        out = std::move(work);
    } else {
        out = corvane::CTLString(text, static_cast<int>(n));  // copied before assignment
    }
    if (len) *len = out.GetLength();
    return out.GetString();
}

int TL_DetectTextEncoding(TLCodePagePair* out, const char* text, int len) {
    static const char kHeader[] = "#@language";
    const size_t header_len = sizeof(kHeader) - 1;
    if (text == nullptr || len == 0) return -1;
    size_t n;
    if (len < 0) {
        n = std::strlen(text);
        if (n < 1) return -1;
    } else {
        n = static_cast<size_t>(len);
    }
    size_t pos = n;
    for (size_t i = 0; i < 6 && i < n; ++i) {
        if (n - i >= header_len && std::memcmp(text + i, kHeader, header_len) == 0) {
            pos = i + header_len + 1;  // the header and its separator
            break;
        }
    }
    if (pos > n) return -1;
    // Collect the locale text, leaving out white space and '='.
    char collected[31];
    size_t count = 0;
    while (pos < n && count < 30) {
        unsigned char c = static_cast<unsigned char>(text[pos]);
        if (c == '\n' || c >= 0x80) break;
        ++pos;
        if (std::isspace(c) || c == '=') continue;
        collected[count++] = static_cast<char>(c);
    }
    collected[count] = '\0';
    for (const auto& row : kLocales) {
        size_t l = std::strlen(row.locale);
        if (std::strncmp(collected, row.locale, l) != 0) continue;
        TLCodePagePair pair = {row.cp, row.cp};
        if (collected[l] == '.') {
            const char* name = collected + l + 1;
            // The name is looked up as written: only the lower-case spellings
            // of TL_CodePageFromName override the row's encoding.
            if (strcasecmp(name, row.encoding) != 0) {
                uint32_t cp = TL_CodePageFromName(name);
                if (cp != 0) pair.enc = cp;
            }
        }
        if (out) *out = pair;
        return static_cast<int>(pos + 1 > INT_MAX ? INT_MAX : pos + 1);
    }
    return -1;
}

void TL_UrlEncode(corvane::CTLString& out, const char* text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string r;
    for (const char* p = text ? text : ""; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_') {
            r.push_back(static_cast<char>(c));
        } else if (c == ' ') {
            r.push_back('+');
        } else {
            r.push_back('%');
            r.push_back(kHex[c >> 4]);
            r.push_back(kHex[c & 0xF]);
        }
    }
    StoreResult(r, out);
}
