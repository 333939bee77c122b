// A small document tree in the manner of the W3C DOM: documents, elements
// with attributes, texts and comments, node lists, a tag-name predicate for
// searches and a text collector for visits. CTLDOMParser (tl_domparser.h)
// builds such trees from XML text.
//
// Nodes live on the framework heap and are not CTLObjects. A node in a
// container's child list belongs to that container and goes with it;
// Release deletes a node with everything below it (first taking it out of
// its parent). Lists returned by searches own nothing; their caller releases
// them. Every walk over a tree (searches, visits, destruction) is iterative,
// so deep documents cannot exhaust the stack.
//
// Texts are bytes in the code page the tree was built in (GBK for the
// parser's default target).
#pragma once

#include <cstddef>
#include <cstdint>

#include "framework/tl_string.h"

namespace corvane {

class TLXmlAttr;
class TLXmlBaseXPathExpression;
class TLXmlBaseXSLTProcessor;
class TLXmlDocument;
class TLXmlElement;
class TLXmlNodeList;
class TLXmlSupportChildrenNode;

// Node types.
constexpr int32_t TLXML_ELEMENT_NODE = 1;
constexpr int32_t TLXML_ATTRIBUTE_NODE = 2;
constexpr int32_t TLXML_TEXT_NODE = 3;
constexpr int32_t TLXML_COMMENT_NODE = 8;
constexpr int32_t TLXML_DOCUMENT_NODE = 9;

// Placement on the framework heap for the node classes and lists; a failed
// allocation gives a null object (no exception).
struct TLXmlHeapObject {
    static void* operator new(std::size_t size) noexcept;
    static void operator delete(void* p) noexcept;
};

class TLXmlNode : public TLXmlHeapObject {
public:
    TLXmlNode(const TLXmlNode&) = delete;
    TLXmlNode& operator=(const TLXmlNode&) = delete;

    // The child list, null when there is none.
    virtual TLXmlNodeList* GetChildNodes();
    virtual TLXmlNode* GetFirstChild();
    virtual TLXmlNode* GetLastChild();
    // The local name of a namespaced node: always empty here.
    virtual const char* GetLocalName();
    // Tag of an element, "#text", "#comment", "#document"; empty for an attribute.
    virtual const char* GetNodeName();
    virtual int32_t GetNodeType() = 0;
    // Text of a text or comment node; empty for the others.
    virtual const char* GetNodeValue();
    virtual TLXmlDocument* GetOwnerDocument();
    virtual TLXmlNode* GetParentNode();
    // For an element, the texts of every text node below it in document
    // order; empty for the others.
    virtual CTLString GetTextContent();
    virtual TLXmlNode* GetPreviousSibling();
    virtual TLXmlNode* GetNextSibling();
    // Links node after the last child. Refused (false) for a node of another
    // document, a document or attribute node, this node or one of its
    // ancestors, and by leaves. A node still under another parent is taken
    // out of it first.
    virtual bool AppendChild(TLXmlNode* node);
    // Copies are not made: null.
    virtual TLXmlNode* CloneNode(bool deep);
    virtual bool HasAttributes();
    virtual bool HasChildNodes();
    // Links node before the child ref; false when ref is not a child (and
    // for the refusals of AppendChild).
    virtual bool InsertBefore(TLXmlNode* node, TLXmlNode* ref);
    // Node comparison by content is not served: false.
    virtual bool IsEqualNode(TLXmlNode* node);
    virtual bool IsSameNode(TLXmlNode* node);
    // Unlinks child and hands it to the caller; null when it is not a child.
    virtual TLXmlNode* RemoveChild(TLXmlNode* child);
    // Puts node in old's place and hands old to the caller; null when old is
    // not a child or node is refused.
    virtual TLXmlNode* ReplaceChild(TLXmlNode* node, TLXmlNode* old);
    // Appends this node and every node below it that the predicate accepts,
    // in document order.
    virtual void SelectNodes(TLXmlBaseXPathExpression* predicate, TLXmlNodeList* out);
    // The same into a new non-owning list (null when out of memory).
    virtual TLXmlNodeList* SelectNodesList(TLXmlBaseXPathExpression* predicate);
    // This node or the first accepted node below it in document order; null.
    virtual TLXmlNode* SelectSingleNode(TLXmlBaseXPathExpression* predicate);
    // Begin with this node, the children's visits in order, then End.
    virtual void Accept(TLXmlBaseXSLTProcessor* processor);
    // Deletes this node and everything below it (taken out of its parent
    // first).
    virtual void Release();
    virtual ~TLXmlNode();

protected:
    explicit TLXmlNode(TLXmlDocument* owner) : m_pOwnerDocument(owner) {}

    // Deletes a chain of detached nodes linked through m_pNext, with
    // everything below them, without recursion.
    static void DestroyChain(TLXmlNode* chain);

    TLXmlDocument* m_pOwnerDocument;
    TLXmlNode* m_pParent = nullptr;
    TLXmlNode* m_pPrev = nullptr;
    TLXmlNode* m_pNext = nullptr;

    friend class TLXmlNodeList;
    friend class TLXmlSupportChildrenNode;
};

// An array of node pointers. An owning list releases its nodes when it is
// destroyed.
class TLXmlNodeList : public TLXmlHeapObject {
public:
    explicit TLXmlNodeList(bool owning) : m_bOwning(owning) {}
    ~TLXmlNodeList();
    TLXmlNodeList(const TLXmlNodeList&) = delete;
    TLXmlNodeList& operator=(const TLXmlNodeList&) = delete;

    uint32_t GetLength() const { return m_nCount; }
    // The node at index, null when index is out of range.
    TLXmlNode* Item(uint32_t index) const { return index < m_nCount ? m_pNodes[index] : nullptr; }
    bool IsOwning() const { return m_bOwning; }
    // Deletes the list (and, when it owns them, its nodes).
    void Release() { delete this; }

    // False when out of memory.
    bool Append(TLXmlNode* node) { return Insert(m_nCount, node); }
    bool Insert(uint32_t index, TLXmlNode* node);
    void RemoveAt(uint32_t index);
    void SetAt(uint32_t index, TLXmlNode* node) {
        if (index < m_nCount) m_pNodes[index] = node;
    }
    // Index of node, -1 when absent.
    int64_t IndexOf(const TLXmlNode* node) const;

private:
    TLXmlNode** m_pNodes = nullptr;
    uint32_t m_nCount = 0;
    uint32_t m_nCapacity = 0;
    bool m_bOwning;

    friend class TLXmlSupportChildrenNode;
};

// A node with children (elements and documents).
class TLXmlSupportChildrenNode : public TLXmlNode {
public:
    TLXmlNodeList* GetChildNodes() override { return m_pChildren; }
    TLXmlNode* GetFirstChild() override;
    TLXmlNode* GetLastChild() override;
    bool AppendChild(TLXmlNode* node) override;
    bool HasChildNodes() override { return m_pChildren != nullptr && m_pChildren->GetLength() > 0; }
    bool InsertBefore(TLXmlNode* node, TLXmlNode* ref) override;
    TLXmlNode* RemoveChild(TLXmlNode* child) override;
    TLXmlNode* ReplaceChild(TLXmlNode* node, TLXmlNode* old) override;
    ~TLXmlSupportChildrenNode() override;

    // Hands the (owning) child list to the caller and leaves this node
    // without children; the children no longer name a parent. Null when
    // there are none.
    virtual TLXmlNodeList* DetachChildNodes();

protected:
    explicit TLXmlSupportChildrenNode(TLXmlDocument* owner) : TLXmlNode(owner) {}

    // Whether node may become a child (in place of replacing, when given).
    virtual bool MayTake(TLXmlNode* node, TLXmlNode* replacing);
    // Told after node became a child / stopped being one.
    virtual void ChildAdded(TLXmlNode* node) {}
    virtual void ChildRemoved(TLXmlNode* node) {}

private:
    // The checks every insertion shares.
    bool Acceptable(TLXmlNode* node);
    bool EnsureChildren();
    // Links list[index] with its neighbours.
    void Relink(uint32_t index);
    // Moves the children onto a chain for DestroyChain.
    static void PushChildren(TLXmlSupportChildrenNode* node, TLXmlNode*& chain);

    TLXmlNodeList* m_pChildren = nullptr;

    friend class TLXmlNode;
};

class TLXmlElement : public TLXmlSupportChildrenNode {
public:
    const char* GetNodeName() override { return m_strTag.GetString(); }
    int32_t GetNodeType() override { return TLXML_ELEMENT_NODE; }
    CTLString GetTextContent() override;
    bool HasAttributes() override;
    ~TLXmlElement() override;

    const CTLString& GetTagName() const { return m_strTag; }
    // The attribute's value, or an empty text (never null).
    const char* GetAttribute(const char* name);
    TLXmlAttr* GetAttributeNode(const char* name);
    // Creates the attribute when absent, then stores the value. False when
    // out of memory.
    bool SetAttribute(const char* name, const char* value);
    // The attributes in creation order (null before the first one).
    TLXmlNodeList* GetAttributes() { return m_pAttrList; }
    // Every element below this one whose tag equals tag exactly (bytes, case
    // counts), in document order, as a new non-owning list the caller
    // releases; null when this element has no children (an empty list when
    // it has children but none matches).
    TLXmlNodeList* GetElementsByTagName(const char* tag);

private:
    TLXmlElement(TLXmlDocument* owner, const char* tag, int length);
    // Takes attr out of the index and list (Release of an attribute).
    void ForgetAttribute(TLXmlAttr* attr);

    struct AttrIndex;
    CTLString m_strTag;
    AttrIndex* m_pAttrIndex = nullptr;
    TLXmlNodeList* m_pAttrList = nullptr;

    friend TLXmlElement* TLXmlCreateElement(TLXmlDocument*, const char*, int);
    friend class TLXmlAttr;
};

class TLXmlDocument : public TLXmlSupportChildrenNode {
public:
    const char* GetNodeName() override { return "#document"; }
    int32_t GetNodeType() override { return TLXML_DOCUMENT_NODE; }
    TLXmlNodeList* DetachChildNodes() override;

    // The single element child, or null.
    TLXmlElement* GetDocumentElement() { return m_pDocumentElement; }
    const CTLString& GetEncoding() const { return m_strEncoding; }
    const CTLString& GetVersion() const { return m_strVersion; }
    int32_t GetStandalone() const { return m_nStandalone; }
    void SetDeclaration(const char* version, const char* encoding, int32_t standalone);

protected:
    // One element child at most.
    bool MayTake(TLXmlNode* node, TLXmlNode* replacing) override;
    void ChildAdded(TLXmlNode* node) override;
    void ChildRemoved(TLXmlNode* node) override;

private:
    TLXmlDocument();

    TLXmlElement* m_pDocumentElement = nullptr;
    CTLString m_strEncoding;
    CTLString m_strVersion;
    int32_t m_nStandalone = -1;

    friend TLXmlDocument* TLXmlCreateDocument();
};

class TLXmlAttr : public TLXmlNode {
public:
    int32_t GetNodeType() override { return TLXML_ATTRIBUTE_NODE; }
    // Takes the attribute out of its element too.
    void Release() override;

    const CTLString& GetName() const { return m_strName; }
    const CTLString& GetValue() const { return m_strValue; }
    void SetValue(const char* value) { m_strValue = value; }
    TLXmlElement* GetOwnerElement() const { return m_pOwnerElement; }

private:
    TLXmlAttr(TLXmlElement* element, const char* name);

    CTLString m_strName;
    CTLString m_strValue;
    TLXmlElement* m_pOwnerElement;

    friend TLXmlAttr* TLXmlCreateAttribute(TLXmlElement*, const char*);
    friend class TLXmlElement;
};

class TLXmlCharacterData : public TLXmlNode {
public:
    const char* GetNodeValue() override { return m_strData.GetString(); }
    const CTLString& GetData() const { return m_strData; }
    void SetData(const char* data, int length) { m_strData = CTLString(data, length); }
    void AppendData(const char* data, int length) { m_strData.Append(data, length); }

protected:
    TLXmlCharacterData(TLXmlDocument* owner, const char* data, int length)
        : TLXmlNode(owner), m_strData(data, length) {}

    CTLString m_strData;
};

class TLXmlText : public TLXmlCharacterData {
public:
    const char* GetNodeName() override { return "#text"; }
    int32_t GetNodeType() override { return TLXML_TEXT_NODE; }
    // 1 for texts made by the parser.
    int32_t GetFlag() const { return m_nFlag; }

private:
    TLXmlText(TLXmlDocument* owner, const char* data, int length, int32_t flag)
        : TLXmlCharacterData(owner, data, length), m_nFlag(flag) {}

    int32_t m_nFlag;

    friend TLXmlText* TLXmlCreateText(TLXmlDocument*, const char*, int, int32_t);
};

class TLXmlComment : public TLXmlCharacterData {
public:
    const char* GetNodeName() override { return "#comment"; }
    int32_t GetNodeType() override { return TLXML_COMMENT_NODE; }

private:
    TLXmlComment(TLXmlDocument* owner, const char* data, int length) : TLXmlCharacterData(owner, data, length) {}

    friend TLXmlComment* TLXmlCreateComment(TLXmlDocument*, const char*, int);
};

// Predicate of the searches.
class TLXmlBaseXPathExpression {
public:
    virtual ~TLXmlBaseXPathExpression() = default;
    virtual bool Evaluate(TLXmlNode* node) = 0;
};

// Accepts the elements whose tag equals the given one exactly.
class TLXmlCheckTagName : public TLXmlBaseXPathExpression {
public:
    explicit TLXmlCheckTagName(const char* tag) : m_strTag(tag) {}
    bool Evaluate(TLXmlNode* node) override;

private:
    CTLString m_strTag;
};

// Visitor of Accept.
class TLXmlBaseXSLTProcessor {
public:
    virtual ~TLXmlBaseXSLTProcessor() = default;
    virtual void Begin(TLXmlNode* node) {}
    virtual void End(TLXmlNode* node) {}
};

// Collects the texts of the text nodes visited.
class TLXmlTextContent : public TLXmlBaseXSLTProcessor {
public:
    void Begin(TLXmlNode* node) override;
    const CTLString& GetText() const { return m_strText; }

private:
    CTLString m_strText;
};

// Node factories (null when out of memory). A length of -1 reads up to the
// zero byte. The new node is not linked anywhere yet.
TLXmlDocument* TLXmlCreateDocument();
TLXmlElement* TLXmlCreateElement(TLXmlDocument* document, const char* tag, int length = -1);
TLXmlText* TLXmlCreateText(TLXmlDocument* document, const char* text, int length = -1, int32_t flag = 0);
TLXmlComment* TLXmlCreateComment(TLXmlDocument* document, const char* text, int length = -1);
// An attribute of element, not yet set on it (SetAttribute makes and sets one).
TLXmlAttr* TLXmlCreateAttribute(TLXmlElement* element, const char* name);

}  // namespace corvane
