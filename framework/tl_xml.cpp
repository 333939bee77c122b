#include "framework/tl_xml.h"

#include <cstring>
#include <new>
#include <string>
#include <unordered_map>

#include "framework/tl_alloc.h"

namespace corvane {
namespace {

bool IsContainer(TLXmlNode* node) {
    const int32_t type = node->GetNodeType();
    return type == TLXML_ELEMENT_NODE || type == TLXML_DOCUMENT_NODE;
}

int TextLength(const char* text, int length) {
    if (text == nullptr) return 0;
    if (length >= 0) return length;
    const size_t n = std::strlen(text);
    return n > static_cast<size_t>(CTLString::kMaxLength) ? CTLString::kMaxLength : static_cast<int>(n);
}

// The next node after node in document order within root's subtree (root
// itself first visited by the caller); null at the end.
TLXmlNode* NextInSubtree(TLXmlNode* node, TLXmlNode* root) {
    if (TLXmlNode* child = node->GetFirstChild()) return child;
    while (node != root) {
        if (TLXmlNode* next = node->GetNextSibling()) return next;
        node = node->GetParentNode();
        if (node == nullptr) return nullptr;
    }
    return nullptr;
}

bool IsAncestorOrSelf(TLXmlNode* candidate, TLXmlNode* node) {
    for (TLXmlNode* p = node; p != nullptr; p = p->GetParentNode()) {
        if (p == candidate) return true;
    }
    return false;
}

}  // namespace

void* TLXmlHeapObject::operator new(std::size_t size) noexcept {
    if (size > 0xFFFFFFFFu) return nullptr;
    return TL_Allocate(static_cast<uint32_t>(size));
}

void TLXmlHeapObject::operator delete(void* p) noexcept { TL_Free(p); }

// ---- TLXmlNode --------------------------------------------------------------

TLXmlNode::~TLXmlNode() = default;

TLXmlNodeList* TLXmlNode::GetChildNodes() { return nullptr; }
TLXmlNode* TLXmlNode::GetFirstChild() { return nullptr; }
TLXmlNode* TLXmlNode::GetLastChild() { return nullptr; }
const char* TLXmlNode::GetLocalName() { return ""; }
const char* TLXmlNode::GetNodeName() { return ""; }
const char* TLXmlNode::GetNodeValue() { return ""; }
TLXmlDocument* TLXmlNode::GetOwnerDocument() { return m_pOwnerDocument; }
TLXmlNode* TLXmlNode::GetParentNode() { return m_pParent; }
CTLString TLXmlNode::GetTextContent() { return CTLString(); }
TLXmlNode* TLXmlNode::GetPreviousSibling() { return m_pPrev; }
TLXmlNode* TLXmlNode::GetNextSibling() { return m_pNext; }
bool TLXmlNode::AppendChild(TLXmlNode*) { return false; }
TLXmlNode* TLXmlNode::CloneNode(bool) { return nullptr; }
bool TLXmlNode::HasAttributes() { return false; }
bool TLXmlNode::HasChildNodes() { return false; }
bool TLXmlNode::InsertBefore(TLXmlNode*, TLXmlNode*) { return false; }
bool TLXmlNode::IsEqualNode(TLXmlNode*) { return false; }
bool TLXmlNode::IsSameNode(TLXmlNode* node) { return node == this; }
TLXmlNode* TLXmlNode::RemoveChild(TLXmlNode*) { return nullptr; }
TLXmlNode* TLXmlNode::ReplaceChild(TLXmlNode*, TLXmlNode*) { return nullptr; }

void TLXmlNode::SelectNodes(TLXmlBaseXPathExpression* predicate, TLXmlNodeList* out) {
    if (predicate == nullptr || out == nullptr) return;
    for (TLXmlNode* n = this; n != nullptr; n = NextInSubtree(n, this)) {
        if (predicate->Evaluate(n)) out->Append(n);
    }
}

TLXmlNodeList* TLXmlNode::SelectNodesList(TLXmlBaseXPathExpression* predicate) {
    TLXmlNodeList* list = new TLXmlNodeList(false);
    if (list != nullptr) SelectNodes(predicate, list);
    return list;
}

TLXmlNode* TLXmlNode::SelectSingleNode(TLXmlBaseXPathExpression* predicate) {
    if (predicate == nullptr) return nullptr;
    for (TLXmlNode* n = this; n != nullptr; n = NextInSubtree(n, this)) {
        if (predicate->Evaluate(n)) return n;
    }
    return nullptr;
}

void TLXmlNode::Accept(TLXmlBaseXSLTProcessor* processor) {
    if (processor == nullptr) return;
    TLXmlNode* node = this;
    processor->Begin(node);
    for (;;) {
        if (TLXmlNode* child = node->GetFirstChild()) {
            node = child;
            processor->Begin(node);
            continue;
        }
        // No children left to enter: end nodes until one has a next sibling.
        for (;;) {
            processor->End(node);
            if (node == this) return;
            if (TLXmlNode* next = node->GetNextSibling()) {
                node = next;
                processor->Begin(node);
                break;
            }
            node = node->GetParentNode();
        }
    }
}

void TLXmlNode::Release() {
    if (m_pParent != nullptr) m_pParent->RemoveChild(this);
    m_pParent = m_pPrev = m_pNext = nullptr;
    DestroyChain(this);
}

void TLXmlNode::DestroyChain(TLXmlNode* chain) {
    while (chain != nullptr) {
        TLXmlNode* node = chain;
        chain = node->m_pNext;
        if (IsContainer(node)) {
            TLXmlSupportChildrenNode::PushChildren(static_cast<TLXmlSupportChildrenNode*>(node), chain);
        }
        node->m_pParent = node->m_pPrev = node->m_pNext = nullptr;
        delete node;
    }
}

// ---- TLXmlNodeList ----------------------------------------------------------

TLXmlNodeList::~TLXmlNodeList() {
    if (m_bOwning) {
        TLXmlNode* chain = nullptr;
        for (uint32_t i = 0; i < m_nCount; ++i) {
            TLXmlNode* n = m_pNodes[i];
            n->m_pParent = n->m_pPrev = nullptr;
            n->m_pNext = chain;
            chain = n;
        }
        m_nCount = 0;
        TLXmlNode::DestroyChain(chain);
    }
    TL_Free(m_pNodes);
}

bool TLXmlNodeList::Insert(uint32_t index, TLXmlNode* node) {
    if (index > m_nCount) return false;
    if (m_nCount == m_nCapacity) {
        const uint64_t grown = m_nCapacity == 0 ? 8 : static_cast<uint64_t>(m_nCapacity) * 2;
        const uint64_t bytes = grown * sizeof(TLXmlNode*);
        if (bytes > 0xFFFFFFFFu) return false;
        void* block = TL_Reallocate(m_pNodes, static_cast<uint32_t>(bytes));
        if (block == nullptr) return false;
        m_pNodes = static_cast<TLXmlNode**>(block);
        m_nCapacity = static_cast<uint32_t>(grown);
    }
    std::memmove(m_pNodes + index + 1, m_pNodes + index, (m_nCount - index) * sizeof(TLXmlNode*));
    m_pNodes[index] = node;
    ++m_nCount;
    return true;
}

void TLXmlNodeList::RemoveAt(uint32_t index) {
    if (index >= m_nCount) return;
    std::memmove(m_pNodes + index, m_pNodes + index + 1, (m_nCount - index - 1) * sizeof(TLXmlNode*));
    --m_nCount;
}

int64_t TLXmlNodeList::IndexOf(const TLXmlNode* node) const {
    for (uint32_t i = 0; i < m_nCount; ++i) {
        if (m_pNodes[i] == node) return i;
    }
    return -1;
}

// ---- TLXmlSupportChildrenNode ----------------------------------------------

TLXmlSupportChildrenNode::~TLXmlSupportChildrenNode() {
    TLXmlNode* chain = nullptr;
    PushChildren(this, chain);
    DestroyChain(chain);
}

void TLXmlSupportChildrenNode::PushChildren(TLXmlSupportChildrenNode* node, TLXmlNode*& chain) {
    TLXmlNodeList* list = node->m_pChildren;
    if (list == nullptr) return;
    node->m_pChildren = nullptr;
    for (uint32_t i = 0; i < list->m_nCount; ++i) {
        TLXmlNode* child = list->m_pNodes[i];
        child->m_pNext = chain;
        chain = child;
    }
    list->m_nCount = 0;
    delete list;
}

TLXmlNode* TLXmlSupportChildrenNode::GetFirstChild() { return m_pChildren != nullptr ? m_pChildren->Item(0) : nullptr; }

TLXmlNode* TLXmlSupportChildrenNode::GetLastChild() {
    if (m_pChildren == nullptr || m_pChildren->GetLength() == 0) return nullptr;
    return m_pChildren->Item(m_pChildren->GetLength() - 1);
}

bool TLXmlSupportChildrenNode::MayTake(TLXmlNode*, TLXmlNode*) { return true; }

bool TLXmlSupportChildrenNode::Acceptable(TLXmlNode* node) {
    if (node == nullptr || node->GetOwnerDocument() != GetOwnerDocument()) return false;
    const int32_t type = node->GetNodeType();
    if (type == TLXML_DOCUMENT_NODE || type == TLXML_ATTRIBUTE_NODE) return false;
    // A node cannot go below itself. Only a node with children can be an
    // ancestor, so building a tree never walks up it.
    if (node == this) return false;
    return !node->HasChildNodes() || !IsAncestorOrSelf(node, this);
}

bool TLXmlSupportChildrenNode::EnsureChildren() {
    if (m_pChildren == nullptr) m_pChildren = new TLXmlNodeList(true);
    return m_pChildren != nullptr;
}

void TLXmlSupportChildrenNode::Relink(uint32_t index) {
    TLXmlNode* node = m_pChildren->Item(index);
    TLXmlNode* prev = index > 0 ? m_pChildren->Item(index - 1) : nullptr;
    TLXmlNode* next = m_pChildren->Item(index + 1);
    node->m_pParent = this;
    node->m_pPrev = prev;
    node->m_pNext = next;
    if (prev != nullptr) prev->m_pNext = node;
    if (next != nullptr) next->m_pPrev = node;
}

bool TLXmlSupportChildrenNode::AppendChild(TLXmlNode* node) {
    if (!Acceptable(node) || !MayTake(node, nullptr) || !EnsureChildren()) return false;
    // A node still linked elsewhere is moved, never linked twice.
    if (node->m_pParent != nullptr) node->m_pParent->RemoveChild(node);
    if (!m_pChildren->Append(node)) return false;
    Relink(m_pChildren->GetLength() - 1);
    ChildAdded(node);
    return true;
}

bool TLXmlSupportChildrenNode::InsertBefore(TLXmlNode* node, TLXmlNode* ref) {
    if (ref == nullptr || ref->m_pParent != this || node == ref) return false;
    if (!Acceptable(node) || !MayTake(node, nullptr)) return false;
    if (node->m_pParent != nullptr) node->m_pParent->RemoveChild(node);
    const int64_t index = m_pChildren->IndexOf(ref);
    if (index < 0 || !m_pChildren->Insert(static_cast<uint32_t>(index), node)) return false;
    Relink(static_cast<uint32_t>(index));
    ChildAdded(node);
    return true;
}

TLXmlNode* TLXmlSupportChildrenNode::RemoveChild(TLXmlNode* child) {
    if (child == nullptr || child->m_pParent != this || m_pChildren == nullptr) return nullptr;
    const int64_t index = m_pChildren->IndexOf(child);
    if (index < 0) return nullptr;
    if (child->m_pPrev != nullptr) child->m_pPrev->m_pNext = child->m_pNext;
    if (child->m_pNext != nullptr) child->m_pNext->m_pPrev = child->m_pPrev;
    m_pChildren->RemoveAt(static_cast<uint32_t>(index));
    child->m_pParent = child->m_pPrev = child->m_pNext = nullptr;
    ChildRemoved(child);
    return child;
}

TLXmlNode* TLXmlSupportChildrenNode::ReplaceChild(TLXmlNode* node, TLXmlNode* old) {
    if (old == nullptr || old->m_pParent != this || node == old) return nullptr;
    if (!Acceptable(node) || !MayTake(node, old)) return nullptr;
    if (node->m_pParent != nullptr) node->m_pParent->RemoveChild(node);
    const int64_t index = m_pChildren->IndexOf(old);
    if (index < 0) return nullptr;
    m_pChildren->SetAt(static_cast<uint32_t>(index), node);
    old->m_pParent = old->m_pPrev = old->m_pNext = nullptr;
    Relink(static_cast<uint32_t>(index));
    ChildRemoved(old);
    ChildAdded(node);
    return old;
}

TLXmlNodeList* TLXmlSupportChildrenNode::DetachChildNodes() {
    TLXmlNodeList* list = m_pChildren;
    m_pChildren = nullptr;
    if (list != nullptr) {
        for (uint32_t i = 0; i < list->GetLength(); ++i) list->Item(i)->m_pParent = nullptr;
    }
    return list;
}

// ---- TLXmlElement -----------------------------------------------------------

struct TLXmlElement::AttrIndex {
    std::unordered_map<std::string, TLXmlAttr*> byName;
};

TLXmlElement::TLXmlElement(TLXmlDocument* owner, const char* tag, int length)
    : TLXmlSupportChildrenNode(owner), m_strTag(tag, length) {}

TLXmlElement::~TLXmlElement() {
    if (m_pAttrIndex != nullptr) {
        for (auto& entry : m_pAttrIndex->byName) delete entry.second;
        delete m_pAttrIndex;
    }
    if (m_pAttrList != nullptr) m_pAttrList->Release();
}

CTLString TLXmlElement::GetTextContent() {
    TLXmlTextContent collector;
    Accept(&collector);
    return collector.GetText();
}

bool TLXmlElement::HasAttributes() { return m_pAttrIndex != nullptr && !m_pAttrIndex->byName.empty(); }

TLXmlAttr* TLXmlElement::GetAttributeNode(const char* name) {
    if (name == nullptr || m_pAttrIndex == nullptr) return nullptr;
    auto it = m_pAttrIndex->byName.find(name);
    return it == m_pAttrIndex->byName.end() ? nullptr : it->second;
}

const char* TLXmlElement::GetAttribute(const char* name) {
    TLXmlAttr* attr = GetAttributeNode(name);
    return attr != nullptr ? attr->GetValue().GetString() : "";
}

bool TLXmlElement::SetAttribute(const char* name, const char* value) {
    if (name == nullptr) return false;
    TLXmlAttr* attr = GetAttributeNode(name);
    if (attr == nullptr) {
        if (m_pAttrIndex == nullptr) m_pAttrIndex = new (std::nothrow) AttrIndex;
        if (m_pAttrList == nullptr) m_pAttrList = new TLXmlNodeList(false);
        if (m_pAttrIndex == nullptr || m_pAttrList == nullptr) return false;
        attr = TLXmlCreateAttribute(this, name);
        if (attr == nullptr) return false;
        if (!m_pAttrList->Append(attr)) {
            delete attr;
            return false;
        }
        m_pAttrIndex->byName.emplace(name, attr);
    }
    attr->SetValue(value);
    return true;
}

void TLXmlElement::ForgetAttribute(TLXmlAttr* attr) {
    if (m_pAttrIndex == nullptr) return;
    auto it = m_pAttrIndex->byName.find(attr->GetName().str());
    if (it == m_pAttrIndex->byName.end() || it->second != attr) return;
    m_pAttrIndex->byName.erase(it);
    const int64_t index = m_pAttrList->IndexOf(attr);
    if (index >= 0) m_pAttrList->RemoveAt(static_cast<uint32_t>(index));
}

TLXmlNodeList* TLXmlElement::GetElementsByTagName(const char* tag) {
    TLXmlNode* first = GetFirstChild();
    if (first == nullptr) return nullptr;
    TLXmlNodeList* list = new TLXmlNodeList(false);
    if (list == nullptr) return nullptr;
    TLXmlCheckTagName check(tag);
    for (TLXmlNode* n = first; n != nullptr; n = NextInSubtree(n, this)) {
        if (check.Evaluate(n)) list->Append(n);
    }
    return list;
}

// ---- TLXmlDocument ----------------------------------------------------------

TLXmlDocument::TLXmlDocument() : TLXmlSupportChildrenNode(nullptr) { m_pOwnerDocument = this; }

void TLXmlDocument::SetDeclaration(const char* version, const char* encoding, int32_t standalone) {
    m_strVersion = version != nullptr ? version : "1.0";
    m_strEncoding = encoding != nullptr ? encoding : "utf-8";
    m_nStandalone = standalone;
}

bool TLXmlDocument::MayTake(TLXmlNode* node, TLXmlNode* replacing) {
    if (node->GetNodeType() != TLXML_ELEMENT_NODE) return true;
    return m_pDocumentElement == nullptr || m_pDocumentElement == node || m_pDocumentElement == replacing;
}

void TLXmlDocument::ChildAdded(TLXmlNode* node) {
    if (node->GetNodeType() == TLXML_ELEMENT_NODE) m_pDocumentElement = static_cast<TLXmlElement*>(node);
}

void TLXmlDocument::ChildRemoved(TLXmlNode* node) {
    if (node == m_pDocumentElement) m_pDocumentElement = nullptr;
}

TLXmlNodeList* TLXmlDocument::DetachChildNodes() {
    m_pDocumentElement = nullptr;
    return TLXmlSupportChildrenNode::DetachChildNodes();
}

// ---- TLXmlAttr --------------------------------------------------------------

TLXmlAttr::TLXmlAttr(TLXmlElement* element, const char* name)
    : TLXmlNode(element != nullptr ? element->GetOwnerDocument() : nullptr),
      m_strName(name),
      m_pOwnerElement(element) {}

void TLXmlAttr::Release() {
    if (m_pOwnerElement != nullptr) m_pOwnerElement->ForgetAttribute(this);
    delete this;
}

// ---- Predicates and processors ---------------------------------------------

bool TLXmlCheckTagName::Evaluate(TLXmlNode* node) {
    return node != nullptr && node->GetNodeType() == TLXML_ELEMENT_NODE &&
           static_cast<TLXmlElement*>(node)->GetTagName() == m_strTag;
}

void TLXmlTextContent::Begin(TLXmlNode* node) {
    if (node->GetNodeType() == TLXML_TEXT_NODE) m_strText += static_cast<TLXmlText*>(node)->GetData();
}

// ---- Factories --------------------------------------------------------------

TLXmlDocument* TLXmlCreateDocument() { return new TLXmlDocument(); }

TLXmlElement* TLXmlCreateElement(TLXmlDocument* document, const char* tag, int length) {
    return new TLXmlElement(document, tag, TextLength(tag, length));
}

TLXmlText* TLXmlCreateText(TLXmlDocument* document, const char* text, int length, int32_t flag) {
    return new TLXmlText(document, text, TextLength(text, length), flag);
}

TLXmlComment* TLXmlCreateComment(TLXmlDocument* document, const char* text, int length) {
    return new TLXmlComment(document, text, TextLength(text, length));
}

TLXmlAttr* TLXmlCreateAttribute(TLXmlElement* element, const char* name) {
    if (name == nullptr) return nullptr;
    return new TLXmlAttr(element, name);
}

}  // namespace corvane
