// corvane::CTLDOMParser builds a document tree (tl_xml.h) from XML text with
// expat, whose memory comes from the framework heap. Texts that expat hands
// over in UTF-8 are stored in the parser's target code page; documents in
// encodings expat does not know (GBK, Big5 ...) are decoded through the
// code-page layer, two bytes per character above 0x7F.
//
// How the builder treats text, kept as the authentication answers expect:
// leading white space (bytes below 0x80) is dropped from every chunk of
// character data outside CDATA (so white space between elements makes no
// node), chunks are appended to the current text node, and entity
// references left in the first chunk of a text are decoded once more with
// TL_DecodeXmlEntities.
#pragma once

#include <cstdint>

#include "framework/tl_object.h"
#include "framework/tl_string.h"
#include "framework/tl_xml.h"

namespace corvane {

class CTLDOMParser : public CTLObject {
public:
    // targetCodePage: 0 the system's default code page, 65001 keeps UTF-8.
    explicit CTLDOMParser(uint32_t targetCodePage = 0);
    // Releases the document and the expat parser.
    ~CTLDOMParser() override;
    CTLDOMParser(const CTLDOMParser&) = delete;
    CTLDOMParser& operator=(const CTLDOMParser&) = delete;

    // A new empty document and expat parser (a previous pair is released).
    // encoding: the document's encoding, or empty/null to let the text say;
    // namespaceSeparator: its first character turns namespace processing
    // on, empty/null leaves it off. False when either cannot be made.
    bool Create(const char* encoding = "", const char* namespaceSeparator = "");

    // Feeds length bytes of the text; final marks its end. Long texts are fed
    // in pieces, so expat never sees a length above its range. False when
    // expat rejects the text or there is no parser; the tree built up to
    // the fault stays.
    bool Parse(const char* data, uint64_t length, bool final);

    // The document being built (owned by the parser), null before Create.
    TLXmlDocument* GetDocument() const { return m_pDocument; }
    // The encoding name met in the text that expat did not know, else empty.
    const CTLString& GetUnknownEncoding() const { return m_strUnknownEncoding; }
    // expat's text for the last fault ("" when none) and its line.
    const char* GetErrorText() const;
    uint64_t GetErrorLine() const;

private:
    struct Handlers;
    friend struct Handlers;

    void Free();
    // UTF-8 from expat into the target code page.
    void Convert(const char* utf8, int length, CTLString& out) const;
    // Ends the parse from inside a handler.
    void Stop();

    uint32_t m_nCodePage;
    void* m_pParser = nullptr;  // XML_Parser
    TLXmlDocument* m_pDocument = nullptr;
    TLXmlNode* m_pCurrent = nullptr;
    TLXmlText* m_pCurrentText = nullptr;
    bool m_bInCData = false;
    bool m_bFailed = false;
    CTLString m_strUnknownEncoding;
};

}  // namespace corvane

// Replaces every reference "&name;" in a text: "&#N;" with N decimal from 1
// to 127 by that byte; "amp", "quot", "lt", "gt" (and "#039", "#032") from
// the entity table; anything else stays as it is, '&' and ';' included. A
// name ends at the first ';' (or at the next '&', which then starts a new
// reference). length -1 reads up to the zero byte.
corvane::CTLString TL_DecodeXmlEntities(const char* text, int length = -1);

// The character of an entity name of length bytes; 0 when not in the table.
char TL_LookupXmlEntity(const char* name, int length);
