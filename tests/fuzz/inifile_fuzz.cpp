// Hostile settings files and texts: the INI reader, the encoding header and
// the code-page conversions must never read or write out of bounds.
//
// Each text is read under the framework locale the process started with and
// under the two Chinese ones, GBK (zh_CN) and Big5 (zh_TW): only there is a
// file in the other Chinese code page mapped between simplified and
// traditional characters on its way into the framework's code page. The
// locale is set back after every input.
#include <cstddef>
#include <cstdint>
#include <string>

#include "framework/tl_codepage.h"
#include "framework/tl_inifile.h"
#include "platform/pl_codepage.h"

namespace {

void ReadIni(const char* text, size_t size) {
    corvane::CTLIniFile ini;
    ini.LoadText(text, static_cast<uint32_t>(size));
    corvane::CTLString out;
    // Every indexed key is looked up again: its value slice must lie inside the
    // text (the name splits anywhere at "@@", lookups join it back unchanged).
    for (const auto& entry : ini.GetIndex()) {
        const std::string name(entry.first.GetString(), static_cast<size_t>(entry.first.GetLength()));
        const size_t at = name.find("@@");
        // Names holding a zero byte cannot be asked for through C strings.
        if (at == std::string::npos || name.find('\0') != std::string::npos) continue;
        ini.GetValue(out, name.substr(0, at).c_str(), name.substr(at + 2).c_str(), "?");
        if (out.GetLength() != static_cast<int>(entry.second.value_length)) __builtin_trap();
    }
    ini.GetValue(out, "TCP", "ThreadCount", "4");
    ini.GetValue(out, "", "A", nullptr);
    ini.GetValue(out, nullptr, nullptr, nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    for (uint16_t lang : {uint16_t(0x0804), uint16_t(0x0404)}) {
        TL_InitFrameworkLocale(lang);
        ReadIni(text, size);
    }
    TL_InitFrameworkLocale(pl::GetSystemDefaultLangId());
    ReadIni(text, size);

    corvane::CTLString out;
    const int len = static_cast<int>(size > 0x7FFFFFF ? 0x7FFFFFF : size);
    TLCodePagePair pair;
    TL_DetectTextEncoding(&pair, text, len);
    static const uint32_t kPages[] = {936, 950, 65001, 65000, 54936, 52936, 1252, 1200};
    for (uint32_t cp : kPages) {
        std::u16string wide;
        TL_MultiByteToWide(text, len, wide, cp);
        TL_WideToMultiByte(wide.data(), static_cast<int>(wide.size()), out, 936);
        TL_WideToMultiByte(wide.data(), static_cast<int>(wide.size()), out, cp);
    }
    // UTF-16 read straight from the bytes.
    std::u16string raw(size / 2, u'\0');
    for (size_t i = 0; i + 1 < size; i += 2) raw[i / 2] = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    TL_WideToMultiByte(raw.data(), static_cast<int>(raw.size()), out, 65000);
    TL_WideToMultiByte(raw.data(), static_cast<int>(raw.size()), out, 950);
    TLCodePagePair big5 = {950, 950};
    int n = len;
    TL_ConvertToFrameworkText(text, &n, out, &big5, 1);
    TL_UrlEncode(out, std::string(text, size).c_str());
    return 0;
}
