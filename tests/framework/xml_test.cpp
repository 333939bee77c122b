// The document tree and its expat-based builder: answers shaped like the
// authentication service's, text building, tree operations (leaks show up
// under LeakSanitizer) and hostile input.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "framework/tl_domparser.h"
#include "framework/tl_xml.h"

using namespace corvane;

namespace {

// "中文" in GBK and in UTF-8.
const std::string kGbk = "\xD6\xD0\xCE\xC4";
const std::string kUtf8 = "\xE4\xB8\xAD\xE6\x96\x87";

struct Parsed {
    explicit Parsed(const std::string& text, uint32_t cp = 0) : parser(cp) {
        EXPECT_TRUE(parser.Create());
        ok = parser.Parse(text.data(), text.size(), true);
    }
    TLXmlElement* Root() { return parser.GetDocument()->GetDocumentElement(); }
    CTLDOMParser parser;
    bool ok = false;
};

std::vector<std::string> Attributes(TLXmlNodeList* list, const char* name) {
    std::vector<std::string> out;
    for (uint32_t i = 0; list != nullptr && i < list->GetLength(); ++i) {
        out.emplace_back(static_cast<TLXmlElement*>(list->Item(i))->GetAttribute(name));
    }
    return out;
}

class Recorder : public TLXmlBaseXSLTProcessor {
public:
    void Begin(TLXmlNode* node) override { trace += std::string("<") + node->GetNodeName(); }
    void End(TLXmlNode* node) override { trace += std::string(">") + node->GetNodeName(); }
    std::string trace;
};

}  // namespace

TEST(XmlAuthAnswers, ItemsInDocumentOrderAndMissingAttributesAreEmpty) {
    Parsed p(
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
        "<root>\n  <ret code=\"0\"><item passport=\"p1\" signature=\"s1\"/></ret>\n"
        "  <item passport=\"p2\"/>\n</root>");
    ASSERT_TRUE(p.ok) << p.parser.GetErrorText();
    EXPECT_STREQ(p.parser.GetDocument()->GetVersion(), "1.0");
    EXPECT_STREQ(p.parser.GetDocument()->GetEncoding(), "utf-8");
    TLXmlNodeList* items = p.Root()->GetElementsByTagName("item");
    ASSERT_NE(items, nullptr);
    EXPECT_EQ(Attributes(items, "passport"), (std::vector<std::string>{"p1", "p2"}));
    const char* missing = static_cast<TLXmlElement*>(items->Item(1))->GetAttribute("signature");
    ASSERT_NE(missing, nullptr);
    EXPECT_STREQ(missing, "");
    EXPECT_EQ(items->Item(items->GetLength()), nullptr);
    items->Release();

    // Children but no match: an empty list; no children at all: null.
    TLXmlNodeList* none = p.Root()->GetElementsByTagName("Item");
    ASSERT_NE(none, nullptr);
    EXPECT_EQ(none->GetLength(), 0u);
    none->Release();
    TLXmlNodeList* ret = p.Root()->GetElementsByTagName("ret");
    ASSERT_EQ(ret->GetLength(), 1u);
    auto* leaf = static_cast<TLXmlElement*>(static_cast<TLXmlElement*>(ret->Item(0))->GetFirstChild());
    EXPECT_EQ(leaf->GetElementsByTagName("item"), nullptr);
    ret->Release();
}

TEST(XmlAuthAnswers, ChineseAttributesComeOutInTheTargetCodePage) {
    // Declared GBK and GB2312: decoded through the code-page layer and
    // stored as GBK again.
    for (const char* enc : {"gbk", "gb2312"}) {
        Parsed p(std::string("<?xml version=\"1.0\" encoding=\"") + enc + "\"?><ret msg=\"" + kGbk + "\">" + kGbk +
                 "</ret>");
        ASSERT_TRUE(p.ok) << enc << ": " << p.parser.GetErrorText();
        EXPECT_STREQ(p.parser.GetUnknownEncoding(), enc);
        EXPECT_EQ(std::string(p.Root()->GetAttribute("msg")), kGbk) << enc;
        EXPECT_EQ(p.Root()->GetTextContent().str(), kGbk) << enc;
    }
    // UTF-8 in, GBK out by default; UTF-8 kept for the target 65001.
    const std::string utf8Doc = "<ret msg=\"" + kUtf8 + "\"/>";
    Parsed gbk(utf8Doc);
    EXPECT_EQ(std::string(gbk.Root()->GetAttribute("msg")), kGbk);
    Parsed keep(utf8Doc, 65001);
    EXPECT_EQ(std::string(keep.Root()->GetAttribute("msg")), kUtf8);
    // A GBK byte pair that is no character is an error, not a crash.
    Parsed bad("<?xml version=\"1.0\" encoding=\"gbk\"?><ret msg=\"\x81\x7F\"/>");
    EXPECT_FALSE(bad.ok);
}

TEST(XmlTextBuilding, WhiteSpaceEntitiesCdataAndComments) {
    Parsed p("<a>\n  <b>&lt;b&gt;&#65;</b>\n  <c><![CDATA[  &lt; x ]]></c><!-- note --><d>&amp;nbsp;</d>\n</a>");
    ASSERT_TRUE(p.ok) << p.parser.GetErrorText();
    TLXmlElement* a = p.Root();
    // No text nodes for the white space between elements.
    ASSERT_EQ(a->GetChildNodes()->GetLength(), 4u);
    TLXmlNode* b = a->GetFirstChild();
    EXPECT_EQ(b->GetTextContent().str(), "<b>A");
    ASSERT_EQ(b->GetFirstChild()->GetNodeType(), TLXML_TEXT_NODE);
    EXPECT_STREQ(b->GetFirstChild()->GetNodeName(), "#text");
    EXPECT_EQ(static_cast<TLXmlText*>(b->GetFirstChild())->GetFlag(), 1);
    // CDATA verbatim: no white space dropped, no reference decoded.
    EXPECT_EQ(b->GetNextSibling()->GetTextContent().str(), "  &lt; x ");
    TLXmlNode* comment = b->GetNextSibling()->GetNextSibling();
    EXPECT_EQ(comment->GetNodeType(), TLXML_COMMENT_NODE);
    EXPECT_STREQ(comment->GetNodeName(), "#comment");
    EXPECT_STREQ(comment->GetNodeValue(), " note ");
    EXPECT_EQ(a->GetLastChild()->GetTextContent().str(), "&nbsp;");
    // Every chunk loses its leading blanks (expat splits at references).
    Parsed odd("<t>a &amp; b</t>");
    EXPECT_EQ(odd.Root()->GetTextContent().str(), "a &b");
}

TEST(XmlTextBuilding, DecodeEntities) {
    EXPECT_EQ(TL_DecodeXmlEntities("&lt;b&gt;&#65;&quot;&#039;").str(), "<b>A\"'");
    // Unknown names, numbers that are no ASCII byte and unterminated
    // references stay as they are; a second '&' starts a new reference.
    EXPECT_EQ(TL_DecodeXmlEntities("&nbsp;&#300;&#0;&#x41;&amp&x;&&lt;").str(), "&nbsp;&#300;&#0;&#x41;&amp&x;&<");
    EXPECT_EQ(TL_DecodeXmlEntities("tail &amp").str(), "tail &amp");
    EXPECT_EQ(TL_LookupXmlEntity("#032", 4), ' ');
    EXPECT_EQ(TL_LookupXmlEntity("ampx", 4), 0);
}

TEST(XmlTreeOperations, DocumentKeepsOneElement) {
    TLXmlDocument* doc = TLXmlCreateDocument();
    EXPECT_EQ(doc->GetOwnerDocument(), doc);
    TLXmlElement* first = TLXmlCreateElement(doc, "first");
    TLXmlElement* second = TLXmlCreateElement(doc, "second");
    TLXmlComment* comment = TLXmlCreateComment(doc, "c");
    EXPECT_TRUE(doc->AppendChild(first));
    EXPECT_FALSE(doc->AppendChild(second));
    EXPECT_FALSE(doc->InsertBefore(second, first));
    EXPECT_TRUE(doc->InsertBefore(comment, first));
    EXPECT_EQ(doc->GetDocumentElement(), first);
    // Replacing the element swaps the document element.
    EXPECT_EQ(doc->ReplaceChild(second, first), first);
    EXPECT_EQ(doc->GetDocumentElement(), second);
    EXPECT_EQ(first->GetParentNode(), nullptr);
    EXPECT_EQ(doc->RemoveChild(second), second);
    EXPECT_EQ(doc->GetDocumentElement(), nullptr);
    EXPECT_TRUE(doc->AppendChild(first));
    second->Release();
    doc->Release();
}

TEST(XmlTreeOperations, InsertReplaceRemoveAndMoves) {
    TLXmlDocument* doc = TLXmlCreateDocument();
    TLXmlElement* root = TLXmlCreateElement(doc, "r");
    ASSERT_TRUE(doc->AppendChild(root));
    TLXmlElement* a = TLXmlCreateElement(doc, "a");
    TLXmlElement* b = TLXmlCreateElement(doc, "b");
    TLXmlText* t = TLXmlCreateText(doc, "txt");
    EXPECT_TRUE(root->AppendChild(b));
    EXPECT_TRUE(root->InsertBefore(a, b));
    EXPECT_TRUE(b->AppendChild(t));
    EXPECT_EQ(a->GetNextSibling(), b);
    EXPECT_EQ(b->GetPreviousSibling(), a);
    EXPECT_FALSE(root->InsertBefore(t, root));  // not a child
    EXPECT_FALSE(t->AppendChild(a));            // a leaf takes nothing
    // No cycles: neither a node nor its ancestors go below it.
    EXPECT_FALSE(b->AppendChild(root));
    EXPECT_FALSE(b->AppendChild(b));
    // A node from elsewhere, a document or an attribute is refused.
    TLXmlDocument* other = TLXmlCreateDocument();
    TLXmlElement* stranger = TLXmlCreateElement(other, "s");
    EXPECT_FALSE(root->AppendChild(stranger));
    EXPECT_FALSE(root->AppendChild(doc));
    ASSERT_TRUE(a->SetAttribute("k", "v1"));
    ASSERT_TRUE(a->SetAttribute("k", "v2"));
    EXPECT_FALSE(root->AppendChild(a->GetAttributeNode("k")));
    EXPECT_STREQ(a->GetAttribute("k"), "v2");
    EXPECT_EQ(a->GetAttributes()->GetLength(), 1u);
    // A node linked elsewhere moves instead of being linked twice.
    EXPECT_TRUE(a->AppendChild(t));
    EXPECT_FALSE(b->HasChildNodes());
    EXPECT_EQ(t->GetParentNode(), a);
    // ReplaceChild hands the old child back, unlinked.
    TLXmlElement* c = TLXmlCreateElement(doc, "c");
    EXPECT_EQ(root->ReplaceChild(c, b), b);
    EXPECT_EQ(a->GetNextSibling(), c);
    EXPECT_EQ(root->ReplaceChild(c, b), nullptr);
    b->Release();
    // Releasing a linked node takes it out of its parent first; releasing
    // an attribute takes it out of its element.
    a->GetAttributeNode("k")->Release();
    EXPECT_FALSE(a->HasAttributes());
    a->Release();
    EXPECT_EQ(root->GetFirstChild(), c);
    EXPECT_EQ(c->GetPreviousSibling(), nullptr);
    // A detached child list owns its nodes.
    TLXmlNodeList* detached = root->DetachChildNodes();
    ASSERT_EQ(detached->GetLength(), 1u);
    EXPECT_EQ(c->GetParentNode(), nullptr);
    detached->Release();
    EXPECT_FALSE(root->HasChildNodes());
    other->Release();
    stranger->Release();
    doc->Release();
}

TEST(XmlTreeOperations, SearchesAndVisitsInDocumentOrder) {
    Parsed p("<r><a><x id=\"1\">one</x></a><x id=\"2\">two</x><!--c--></r>");
    ASSERT_TRUE(p.ok);
    TLXmlCheckTagName x("x");
    TLXmlNode* found = p.Root()->SelectSingleNode(&x);
    ASSERT_NE(found, nullptr);
    EXPECT_STREQ(static_cast<TLXmlElement*>(found)->GetAttribute("id"), "1");
    TLXmlNodeList* all = p.parser.GetDocument()->SelectNodesList(&x);
    EXPECT_EQ(Attributes(all, "id"), (std::vector<std::string>{"1", "2"}));
    EXPECT_FALSE(all->IsOwning());
    all->Release();
    EXPECT_EQ(p.Root()->GetTextContent().str(), "onetwo");
    Recorder r;
    p.Root()->Accept(&r);
    EXPECT_EQ(r.trace, "<r<a<x<#text>#text>x>a<x<#text>#text>x<#comment>#comment>r");
}

TEST(XmlBadInput, MalformedEmptyAndDeepDocuments) {
    Parsed broken("<a><b>text</a>");
    EXPECT_FALSE(broken.ok);
    EXPECT_STRNE(broken.parser.GetErrorText(), "");
    // The tree built up to the fault stays.
    ASSERT_NE(broken.Root(), nullptr);
    EXPECT_EQ(broken.Root()->GetTextContent().str(), "text");
    EXPECT_FALSE(broken.parser.Parse("<c/>", 4, true));

    Parsed empty("");
    EXPECT_FALSE(empty.ok);
    EXPECT_EQ(empty.Root(), nullptr);

    CTLDOMParser unused;
    EXPECT_FALSE(unused.Parse("<a/>", 4, true));
    EXPECT_EQ(unused.GetDocument(), nullptr);

    // Fed in pieces, split inside a multi-byte character.
    const std::string doc = "<t v=\"" + kUtf8 + "\"/>";
    CTLDOMParser pieces;
    ASSERT_TRUE(pieces.Create());
    EXPECT_TRUE(pieces.Parse(doc.data(), 8, false));
    EXPECT_TRUE(pieces.Parse(doc.data() + 8, doc.size() - 8, true));
    EXPECT_EQ(std::string(pieces.GetDocument()->GetDocumentElement()->GetAttribute("v")), kGbk);

    // Deep nesting: building, searching, visiting and freeing never recurse.
    const int depth = 100000;
    std::string deep;
    for (int i = 0; i < depth; ++i) deep += "<e>";
    deep += "x";
    for (int i = 0; i < depth; ++i) deep += "</e>";
    Parsed nested(deep);
    ASSERT_TRUE(nested.ok) << nested.parser.GetErrorText();
    EXPECT_EQ(nested.Root()->GetTextContent().str(), "x");
    TLXmlNodeList* es = nested.Root()->GetElementsByTagName("e");
    EXPECT_EQ(es->GetLength(), static_cast<uint32_t>(depth - 1));
    es->Release();
}
