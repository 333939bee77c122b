#include "framework/tl_domparser.h"

#include <expat.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>

#include "framework/tl_alloc.h"
#include "framework/tl_codepage.h"
#include "platform/pl_codepage.h"
#include "platform/pl_never_destroyed.h"

namespace {

// expat's memory over the framework heap, whose sizes are 32-bit: larger
// requests are refused, never truncated.
void* XmlMalloc(size_t size) {
    if (size > 0xFFFFFFFFu) return nullptr;
    return TL_Allocate(static_cast<uint32_t>(size));
}

void* XmlRealloc(void* p, size_t size) {
    if (size > 0xFFFFFFFFu) return nullptr;
    if (p == nullptr) return TL_Allocate(static_cast<uint32_t>(size));
    return TL_Reallocate(p, static_cast<uint32_t>(size));
}

void XmlFree(void* p) { TL_Free(p); }

const XML_Memory_Handling_Suite kMemorySuite = {&XmlMalloc, &XmlRealloc, &XmlFree};

// Largest piece of text handed to expat at once.
constexpr uint64_t kParseChunk = 16u << 20;

// Double-byte decoding tables, built once per code page and kept for the
// life of the process (expat's conversion function reads them unlocked, and
// a parse may still run while the process exits).
const int32_t* DoubleByteTable(uint32_t cp) {
    static pl::NeverDestroyed<std::mutex> mutex;
    static pl::NeverDestroyed<std::map<uint32_t, std::unique_ptr<int32_t[]>>> tables;
    std::lock_guard<std::mutex> lock(*mutex);
    auto it = tables->find(cp);
    if (it != tables->end()) return it->second.get();
    std::unique_ptr<int32_t[]> table(new (std::nothrow) int32_t[pl::kDoubleByteTableSize]);
    if (table == nullptr) return nullptr;
    if (pl::BuildDoubleByteTable(cp, table.get()) != 0) std::fill_n(table.get(), pl::kDoubleByteTableSize, -1);
    const int32_t* result = table.get();
    tables->emplace(cp, std::move(table));
    return result;
}

int XMLCALL ConvertPair(void* data, const char* s) {
    const auto* table = static_cast<const int32_t*>(data);
    const unsigned lead = static_cast<unsigned char>(s[0]);
    const unsigned trail = static_cast<unsigned char>(s[1]);
    return table[(lead - 0x80) * 256 + trail];
}

int XMLCALL RefusePair(void*, const char*) { return -1; }

bool IsAsciiSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

}  // namespace

namespace corvane {

// The expat handlers; each keeps exceptions (out of memory) from crossing
// expat's C frames by ending the parse instead.
struct CTLDOMParser::Handlers {
    template <typename Fn>
    static void Guard(void* data, Fn fn) {
        auto* self = static_cast<CTLDOMParser*>(data);
        try {
            fn(self);
        } catch (...) {
            self->Stop();
        }
    }

    static void XMLCALL XmlDecl(void* data, const XML_Char* version, const XML_Char* encoding, int standalone) {
        Guard(data, [&](CTLDOMParser* self) { self->m_pDocument->SetDeclaration(version, encoding, standalone); });
    }

    static void XMLCALL StartElement(void* data, const XML_Char* name, const XML_Char** attrs) {
        Guard(data, [&](CTLDOMParser* self) {
            CTLString tag;
            self->Convert(name, -1, tag);
            TLXmlElement* element = TLXmlCreateElement(self->m_pDocument, tag.GetString(), tag.GetLength());
            if (element == nullptr) return self->Stop();
            CTLString attrName;
            CTLString attrValue;
            for (int i = 0; attrs != nullptr && attrs[i] != nullptr && attrs[i + 1] != nullptr; i += 2) {
                self->Convert(attrs[i], -1, attrName);
                self->Convert(attrs[i + 1], -1, attrValue);
                if (!element->SetAttribute(attrName.GetString(), attrValue.GetString())) {
                    element->Release();
                    return self->Stop();
                }
            }
            if (!self->m_pCurrent->AppendChild(element)) {
                element->Release();
                return self->Stop();
            }
            self->m_pCurrent = element;
            self->m_pCurrentText = nullptr;
        });
    }

    static void XMLCALL EndElement(void* data, const XML_Char*) {
        Guard(data, [&](CTLDOMParser* self) {
            TLXmlNode* parent = self->m_pCurrent->GetParentNode();
            self->m_pCurrent = parent != nullptr ? parent : self->m_pDocument;
            self->m_pCurrentText = nullptr;
        });
    }

    static void XMLCALL CharacterData(void* data, const XML_Char* s, int length) {
        Guard(data, [&](CTLDOMParser* self) {
            int start = 0;
            if (!self->m_bInCData) {
                while (start < length && IsAsciiSpace(s[start])) ++start;
            }
            if (start >= length) return;
            CTLString text;
            self->Convert(s + start, length - start, text);
            if (self->m_pCurrentText != nullptr) {
                self->m_pCurrentText->AppendData(text.GetString(), text.GetLength());
                return;
            }
            if (!self->m_bInCData) text = TL_DecodeXmlEntities(text.GetString(), text.GetLength());
            TLXmlText* node = TLXmlCreateText(self->m_pDocument, text.GetString(), text.GetLength(), 1);
            if (node == nullptr) return self->Stop();
            if (!self->m_pCurrent->AppendChild(node)) {
                node->Release();
                return self->Stop();
            }
            self->m_pCurrentText = node;
        });
    }

    static void XMLCALL Comment(void* data, const XML_Char* s) {
        Guard(data, [&](CTLDOMParser* self) {
            CTLString text;
            self->Convert(s, -1, text);
            TLXmlComment* node = TLXmlCreateComment(self->m_pDocument, text.GetString(), text.GetLength());
            if (node == nullptr) return self->Stop();
            if (!self->m_pCurrent->AppendChild(node)) {
                node->Release();
                self->Stop();
            }
        });
    }

    static void XMLCALL StartCData(void* data) { static_cast<CTLDOMParser*>(data)->m_bInCData = true; }
    static void XMLCALL EndCData(void* data) { static_cast<CTLDOMParser*>(data)->m_bInCData = false; }

    // An encoding expat does not know: bytes below 0x80 stand for
    // themselves, every byte above leads a two-byte character of the named
    // code page (the system's default when the name is not known either).
    static int XMLCALL UnknownEncoding(void* data, const XML_Char* name, XML_Encoding* info) {
        auto* self = static_cast<CTLDOMParser*>(data);
        try {
            self->m_strUnknownEncoding = name;
        } catch (...) {
        }
        uint32_t cp = TL_CodePageFromName(name);
        if (cp == 0) cp = TL_GetAnsiCodePage();
        const int32_t* table = DoubleByteTable(cp);
        for (int i = 0; i < 256; ++i) info->map[i] = i < 0x80 ? i : -2;
        info->data = const_cast<int32_t*>(table);
        info->convert = table != nullptr ? &ConvertPair : &RefusePair;
        info->release = nullptr;
        return XML_STATUS_OK;
    }
};

CTLDOMParser::CTLDOMParser(uint32_t targetCodePage) : m_nCodePage(targetCodePage) {}

CTLDOMParser::~CTLDOMParser() { Free(); }

void CTLDOMParser::Free() {
    if (m_pParser != nullptr) XML_ParserFree(static_cast<XML_Parser>(m_pParser));
    m_pParser = nullptr;
    if (m_pDocument != nullptr) m_pDocument->Release();
    m_pDocument = nullptr;
    m_pCurrent = nullptr;
    m_pCurrentText = nullptr;
}

bool CTLDOMParser::Create(const char* encoding, const char* namespaceSeparator) {
    Free();
    m_bInCData = false;
    m_bFailed = false;
    m_strUnknownEncoding.Empty();
    m_pDocument = TLXmlCreateDocument();
    if (m_pDocument == nullptr) return false;
    m_pCurrent = m_pDocument;
    const char* enc = encoding != nullptr && *encoding != '\0' ? encoding : nullptr;
    const XML_Char separator = namespaceSeparator != nullptr ? namespaceSeparator[0] : '\0';
    XML_Parser parser = XML_ParserCreate_MM(enc, &kMemorySuite, separator != '\0' ? &separator : nullptr);
    if (parser == nullptr) return false;
    m_pParser = parser;
    XML_SetUserData(parser, this);
    XML_SetXmlDeclHandler(parser, &Handlers::XmlDecl);
    XML_SetElementHandler(parser, &Handlers::StartElement, &Handlers::EndElement);
    XML_SetCharacterDataHandler(parser, &Handlers::CharacterData);
    XML_SetCommentHandler(parser, &Handlers::Comment);
    XML_SetCdataSectionHandler(parser, &Handlers::StartCData, &Handlers::EndCData);
    XML_SetUnknownEncodingHandler(parser, &Handlers::UnknownEncoding, this);
    return true;
}

bool CTLDOMParser::Parse(const char* data, uint64_t length, bool final) {
    if (m_pParser == nullptr || m_bFailed || (data == nullptr && length != 0)) return false;
    auto* parser = static_cast<XML_Parser>(m_pParser);
    do {
        const uint64_t piece = std::min(length, kParseChunk);
        const bool last = final && piece == length;
        if (XML_Parse(parser, data, static_cast<int>(piece), last ? 1 : 0) != XML_STATUS_OK) {
            m_bFailed = true;
            return false;
        }
        data += piece;
        length -= piece;
    } while (length > 0);
    return true;
}

const char* CTLDOMParser::GetErrorText() const {
    if (m_pParser == nullptr) return "";
    const XML_Error code = XML_GetErrorCode(static_cast<XML_Parser>(m_pParser));
    if (code == XML_ERROR_NONE) return "";
    const XML_LChar* text = XML_ErrorString(code);
    return text != nullptr ? text : "";
}

uint64_t CTLDOMParser::GetErrorLine() const {
    if (m_pParser == nullptr) return 0;
    return XML_GetCurrentLineNumber(static_cast<XML_Parser>(m_pParser));
}

void CTLDOMParser::Convert(const char* utf8, int length, CTLString& out) const {
    if (length < 0) length = static_cast<int>(std::min<size_t>(std::strlen(utf8), CTLString::kMaxLength));
    const uint32_t cp = m_nCodePage == 0 ? TL_GetAnsiCodePage() : m_nCodePage;
    // A code page without a converter keeps the UTF-8 bytes.
    if (cp == 65001 || TL_MultiByteToMultiByte(utf8, length, out, 65001, cp) < 0) out = CTLString(utf8, length);
}

void CTLDOMParser::Stop() {
    m_bFailed = true;
    if (m_pParser != nullptr) XML_StopParser(static_cast<XML_Parser>(m_pParser), XML_FALSE);
}

}  // namespace corvane

char TL_LookupXmlEntity(const char* name, int length) {
    static const struct {
        const char* name;
        char c;
    } kEntities[] = {
        {"amp", '&'}, {"quot", '"'}, {"#039", '\''}, {"lt", '<'}, {"gt", '>'}, {"#032", ' '},
    };
    if (name == nullptr || length <= 0) return 0;
    for (const auto& e : kEntities) {
        const size_t n = static_cast<size_t>(length);
        if (std::strlen(e.name) == n && std::memcmp(e.name, name, n) == 0) {
            return e.c;
        }
    }
    return 0;
}

corvane::CTLString TL_DecodeXmlEntities(const char* text, int length) {
    if (text == nullptr) return corvane::CTLString();
    const size_t n = length < 0 ? std::strlen(text) : static_cast<size_t>(length);
    std::string out;
    out.reserve(n);
    size_t i = 0;
    while (i < n) {
        if (text[i] != '&') {
            out.push_back(text[i++]);
            continue;
        }
        size_t end = i + 1;
        while (end < n && text[end] != ';' && text[end] != '&') ++end;
        if (end >= n || text[end] != ';') {
            // No reference: the '&' and what follows stay as they are.
            out.append(text + i, end - i);
            i = end;
            continue;
        }
        const char* name = text + i + 1;
        const size_t nameLength = end - i - 1;
        char c = 0;
        if (nameLength > 1 && name[0] == '#') {
            // A decimal character number gives that byte; only ASCII is
            // decoded (a larger number is not one byte of the text).
            unsigned value = 0;
            size_t k = 1;
            for (; k < nameLength && name[k] >= '0' && name[k] <= '9' && value <= 127; ++k) {
                value = value * 10 + static_cast<unsigned>(name[k] - '0');
            }
            if (k == nameLength && value >= 1 && value <= 127) c = static_cast<char>(value);
        } else {
            c = TL_LookupXmlEntity(name, static_cast<int>(nameLength));
        }
        if (c != 0) {
            out.push_back(c);
        } else {
            out.append(text + i, end + 1 - i);
        }
        i = end + 1;
    }
    if (out.size() > static_cast<size_t>(corvane::CTLString::kMaxLength)) out.resize(corvane::CTLString::kMaxLength);
    return corvane::CTLString(out.data(), static_cast<int>(out.size()));
}
