// corvane::CTLIniFile: the framework's INI reader.
//
// The whole file is read, converted to the framework's code page (the
// "#@language=zh_CN.GBK"-style header of its first line names the encoding;
// without one the file is GBK) and indexed: sections by their upper-case,
// trimmed name, keys as "SECTION@@KEY" (keys before any section as "@@KEY").
// Values are the raw text after the first '=' of the line up to the line end,
// spaces and any ';' kept.
#pragma once

#include <cstdint>
#include <map>

#include "framework/tl_buffer.h"
#include "framework/tl_codepage.h"
#include "framework/tl_object.h"
#include "framework/tl_string.h"

namespace corvane {

class CTLIniFile : public CTLObject {
public:
    // One index entry. A section: offset of its '[' and its length up to the
    // line that opens the next section (or the end). A key: offset of its
    // line, the key's length as written (line start to '=') and the value's
    // length (after the '=' to the line end).
    struct Entry {
        uint32_t offset;
        uint32_t length;        // sections
        uint32_t key_length;    // keys
        uint32_t value_length;  // keys
    };

    CTLIniFile() = default;
    ~CTLIniFile() override;
    CTLIniFile(const CTLIniFile&) = delete;
    CTLIniFile& operator=(const CTLIniFile&) = delete;

    // Reads and indexes a file. The number of lines (0 or more); -1 for an
    // empty path or a file that cannot be opened or read; -2 when it does not
    // exist.
    int LoadFile(const char* path);

    // Indexes a text held in memory as if it were a file's contents. The
    // number of lines.
    int LoadText(const char* data, uint32_t len);

    // The value of key in section, or a copy of def (null: empty) when the key
    // is not indexed. The lookup name is built as given and upper-cased, not
    // trimmed. Returns out.
    CTLString& GetValue(CTLString& out, const char* section, const char* key, const char* def) const;

    // Empties path, text, index and code-page pair.
    void Clear();

    const CTLString& GetPath() const { return m_strPath; }
    // The file's code-page pair, null before a successful encoding check.
    const TLCodePagePair* GetCodePage() const { return m_bHasCodePage ? &m_codePage : nullptr; }
    // The index (for inspection).
    const std::map<CTLString, Entry>& GetIndex() const { return m_index; }

private:
    int Parse();
    void IndexSection(const CTLString& name, uint32_t offset, uint32_t length);
    void IndexKey(const CTLString& section, uint32_t line, uint32_t eq, uint32_t eol);

    std::map<CTLString, Entry> m_index;
    CTLString m_strPath;
    CTLSmartBuffer m_text;
    CTLSmartBuffer m_read;
    TLCodePagePair m_codePage = {0, 0};
    bool m_bHasCodePage = false;
};

}  // namespace corvane
