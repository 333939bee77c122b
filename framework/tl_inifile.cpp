#include "framework/tl_inifile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace corvane {

namespace {

// Largest settings file read (a settings file is a few KiB; the limit keeps
// a stray huge file from exhausting memory).
constexpr uint64_t kMaxIniFile = 64u << 20;

enum class ScanState { kNormal, kSection, kValue, kComment };

CTLString NameOf(const char* p, uint32_t n) {
    CTLString s(p, static_cast<int>(n));
    s.Trim(" \t\r\n");
    s.MakeUpper();
    return s;
}

}  // namespace

CTLIniFile::~CTLIniFile() = default;

void CTLIniFile::Clear() {
    m_strPath.Empty();
    m_text.Free();
    m_read.Free();
    m_index.clear();
    m_bHasCodePage = false;
    m_codePage = {0, 0};
}

int CTLIniFile::LoadFile(const char* path) {
    if (path == nullptr || *path == '\0') return -1;
    Clear();
    m_strPath = path;
    FILE* f = std::fopen(path, "rb");
    if (f == nullptr) return errno == ENOENT || errno == ENOTDIR ? -2 : -1;
    char chunk[16384];
    bool ok = true;
    for (;;) {
        size_t n = std::fread(chunk, 1, sizeof chunk, f);
        if (n > 0) {
            if (static_cast<uint64_t>(m_read.GetLength()) + n > kMaxIniFile ||
                m_read.Append(chunk, static_cast<uint32_t>(n)) == nullptr) {
                ok = false;
                break;
            }
        }
        if (n < sizeof chunk) {
            if (std::ferror(f)) ok = false;
            break;
        }
    }
    std::fclose(f);
    if (!ok) {
        m_read.Free();
        return -1;
    }
    int r = Parse();
    m_read.Free();
    return r;
}

int CTLIniFile::LoadText(const char* data, uint32_t len) {
    CTLString path = m_strPath;
    Clear();
    m_strPath = path;
    if (len > 0 && (data == nullptr || m_read.Append(data, len) == nullptr)) return -1;
    int r = Parse();
    m_read.Free();
    return r;
}

int CTLIniFile::Parse() {
    const char* raw = m_read.GetData();
    uint32_t raw_len = m_read.GetLength();

    // 1. The encoding header; without one the file is GBK.
    TLCodePagePair pair = {936, 936};
    if (raw_len > 0 && raw_len <= 0x7FFFFFFF) {
        TLCodePagePair found;
        if (TL_DetectTextEncoding(&found, raw, static_cast<int>(raw_len)) >= 0) pair = found;
    }
    m_codePage = pair;
    m_bHasCodePage = true;

    // 2. Into the framework's code page.
    CTLString converted;
    int len = static_cast<int>(raw_len);
    const char* text = raw_len > 0 ? TL_ConvertToFrameworkText(raw, &len, converted, &pair, 1) : "";
    if (raw_len == 0) len = 0;

    // 3. The text, a final line end, two zero bytes.
    m_text.Free();
    if (len > 0 && m_text.Append(text, static_cast<uint32_t>(len)) == nullptr) return -1;
    if (len == 0 || text[len - 1] != '\n') {
        if (m_text.Append("\r\n", 2) == nullptr) return -1;
    }
    char* z = m_text.Append(nullptr, 2);
    if (z == nullptr) return -1;
    z[0] = z[1] = '\0';

    // 4. The scan.
    const char* t = m_text.GetData();
    const uint32_t n = m_text.GetLength();
    ScanState state = ScanState::kNormal;
    uint32_t line_start = 0;
    uint32_t blanks = 0;          // spaces and tabs seen on the line
    uint32_t eq = 0;              // the '=' ending the key
    uint32_t header_start = 0;    // first byte after '['
    uint32_t header_bracket = 0;  // the '[' of the header being read
    bool section_open = false;
    uint32_t section_bracket = 0;
    CTLString section;
    int lines = 0;
    for (uint32_t i = 0; i < n; ++i) {
        const char c = t[i];
        if (c == '\r' || c == '\n') {
            if (state == ScanState::kValue) IndexKey(section, line_start, eq, i);
            if (c == '\n') ++lines;
            // A line end ends the line once: the LF of a CR LF finds the
            // state already reset and indexes nothing again.
            line_start = i + 1;
            blanks = 0;
            state = ScanState::kNormal;
            continue;
        }
        switch (state) {
        case ScanState::kNormal:
            if (c == ' ' || c == '\t') {
                ++blanks;
            } else if (c == '[' && i - line_start == blanks) {
                if (section_open) IndexSection(section, section_bracket, line_start - section_bracket);
                header_bracket = i;
                header_start = i + 1;
                state = ScanState::kSection;
            } else if (c == ';' || c == '#') {
                state = ScanState::kComment;
            } else if (c == '=') {
                eq = i;
                state = ScanState::kValue;
            }
            break;
        case ScanState::kSection:
            if (c == ']') {
                section = NameOf(t + header_start, i - header_start);
                section_bracket = header_bracket;
                section_open = true;
                state = ScanState::kNormal;
            }
            break;
        case ScanState::kValue:
        case ScanState::kComment:
            break;
        }
    }
    if (section_open) IndexSection(section, section_bracket, n - section_bracket);
    return lines;
}

void CTLIniFile::IndexSection(const CTLString& name, uint32_t offset, uint32_t length) {
    m_index[name] = Entry{offset, length, 0, 0};
}

void CTLIniFile::IndexKey(const CTLString& section, uint32_t line, uint32_t eq, uint32_t eol) {
    const char* t = m_text.GetData();
    CTLString name = section;
    name += "@@";
    name += NameOf(t + line, eq - line);
    m_index[name] = Entry{line, 0, eq - line, eol - eq - 1};
}

CTLString& CTLIniFile::GetValue(CTLString& out, const char* section, const char* key, const char* def) const {
    CTLString name = section ? section : "";
    name += "@@";
    name += key ? key : "";
    name.MakeUpper();
    auto it = m_index.find(name);
    if (it == m_index.end() || m_text.GetData() == nullptr) {
        out = def ? def : "";
        return out;
    }
    const Entry& e = it->second;
    out = CTLString(m_text.GetData() + e.offset + e.key_length + 1, static_cast<int>(e.value_length));
    return out;
}

}  // namespace corvane
