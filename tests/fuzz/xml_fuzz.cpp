// Hostile XML texts: the document builder must never read or write out of
// bounds, recurse with the document's depth or leak, whatever expat accepts
// or refuses; the tree it leaves must hang together.
#include <cstddef>
#include <cstdint>

#include "framework/tl_domparser.h"
#include "framework/tl_xml.h"

namespace {

// Walks the tree checking its links, and uses every reader the
// authentication client uses.
void Check(corvane::TLXmlDocument* doc) {
    if (doc == nullptr) return;
    corvane::TLXmlElement* root = doc->GetDocumentElement();
    if (root != nullptr && root->GetParentNode() != doc) __builtin_trap();
    for (corvane::TLXmlNode* n = doc->GetFirstChild(); n != nullptr;) {
        corvane::TLXmlNode* child = n->GetFirstChild();
        if (child != nullptr && child->GetParentNode() != n) __builtin_trap();
        corvane::TLXmlNode* next = n->GetNextSibling();
        if (next != nullptr && next->GetPreviousSibling() != n) __builtin_trap();
        if (child != nullptr) {
            n = child;
            continue;
        }
        while (next == nullptr && n != nullptr) {
            n = n->GetParentNode();
            if (n == doc) n = nullptr;
            if (n != nullptr) next = n->GetNextSibling();
        }
        n = next;
    }
    if (root == nullptr) return;
    root->GetTextContent();
    for (const char* tag : {"item", "ret"}) {
        corvane::TLXmlNodeList* list = root->GetElementsByTagName(tag);
        if (list == nullptr) continue;
        for (uint32_t i = 0; i < list->GetLength(); ++i) {
            auto* e = static_cast<corvane::TLXmlElement*>(list->Item(i));
            if (e->GetAttribute("passport") == nullptr) __builtin_trap();
        }
        if (list->Item(list->GetLength()) != nullptr) __builtin_trap();
        list->Release();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    // Whole, into GBK.
    {
        corvane::CTLDOMParser parser(0);
        if (parser.Create()) parser.Parse(text, size, true);
        Check(parser.GetDocument());
    }
    // In two pieces, kept as UTF-8, with namespaces.
    {
        corvane::CTLDOMParser parser(65001);
        if (parser.Create("", "|")) {
            const size_t half = size / 2;
            if (parser.Parse(text, half, false)) parser.Parse(text + half, size - half, true);
        }
        Check(parser.GetDocument());
    }
    const int len = static_cast<int>(size > 0x7FFFFFF ? 0x7FFFFFF : size);
    corvane::CTLString decoded = TL_DecodeXmlEntities(text, len);
    if (decoded.GetLength() > len) __builtin_trap();
    return 0;
}
