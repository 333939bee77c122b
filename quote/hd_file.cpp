#include "quote/hd_file.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "framework/tl_alloc.h"
#include "framework/tl_archive.h"

namespace {

constexpr uint32_t kFailed = 0x80020001;
constexpr uint32_t kFlagHighIds = 0x01;

uint16_t Le16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
uint32_t Le32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

template <typename T>
corvane::CTLObject* Create() {
    return new (std::nothrow) T;
}

}  // namespace

HdHeader HD_ReadHeader(const uint8_t* p) {
    HdHeader h;
    const uint32_t w6 = Le32(p + 6);
    const uint16_t w14 = Le16(p + 14);
    h.records = w6 & 0xFFFFFF;
    h.flags = w6 >> 24;
    h.recordSize = Le16(p + 12);
    h.columns = w14 & 0x3FFF;
    h.dataOffset = uint32_t(Le16(p + 10)) | (uint32_t(w14 >> 14) << 16) | (uint32_t(p[5]) << 18);
    return h;
}

int16_t HD_CheckHeader(const uint8_t* p) {
    if (p[0] == 0 || std::memcmp(p, "hd1.", 4) != 0) return HD_HEAD_OTHER;
    const HdHeader h = HD_ReadHeader(p);
    if (h.dataOffset < 1 || h.recordSize < 1 || h.columns < 1) return HD_HEAD_INVALID;
    const uint64_t length = 20 + 4 * uint64_t(h.columns - 1) + ((h.flags & kFlagHighIds) ? 2 * uint64_t(h.columns) : 0);
    return h.dataOffset >= length ? HD_HEAD_VALID : HD_HEAD_INVALID;
}

// ---- class records, registered in this order while the library loads ----

TLRuntimeClass CHdFile::classCHdFile = {
    "CHdFile", int32_t(sizeof(CHdFile)), &Create<CHdFile>, nullptr, &corvane::CTLFileObj::classCTLFileObj, nullptr};
TLRuntimeClass CDataTransFile::classCDataTransFile = {"CDataTransFile",        int32_t(sizeof(CDataTransFile)),
                                                      &Create<CDataTransFile>, nullptr,
                                                      &CHdFile::classCHdFile,  nullptr};
TLRuntimeClass CReadBuffer::classCReadBuffer = {
    "CReadBuffer",     int32_t(sizeof(CReadBuffer)),        &Create<CReadBuffer>,
    &TL_CallSerialize, &corvane::CTLObject::classCTLObject, nullptr};
static TLClassRegistrar s_regDataTransFile(&CDataTransFile::classCDataTransFile);
static TLClassRegistrar s_regHdFile(&CHdFile::classCHdFile);
static TLClassRegistrar s_regReadBuffer(&CReadBuffer::classCReadBuffer);

// ---- CHdFile ----

TLRuntimeClass* CHdFile::GetRuntimeClass() const { return &classCHdFile; }

CHdFile::~CHdFile() { Close(); }

void CHdFile::FreeHead() {
    if (m_bOwnHead) TL_Free(m_pHead);
    m_pHead = nullptr;
    m_nHeadLength = 0;
    m_bOwnHead = false;
}

void CHdFile::ReleaseHead() { FreeHead(); }

uint32_t CHdFile::Close() {
    ReleaseHead();
    return CTLFileObj::Close();
}

uint32_t CHdFile::OpenFailed() {
    Close();
    return kFailed;
}

bool CHdFile::IsDataComplete() {
    if (!CTLFileObj::IsDataComplete() || !IsOpen() || m_pHead == nullptr) return false;
    if (HD_CheckHeader(m_pHead) != HD_HEAD_VALID) return false;
    return HD_ReadHeader(m_pHead).DataEnd() <= GetLength64();
}

uint32_t CHdFile::Open(const char* name, uint32_t mode) {
    uint32_t rc = CTLFileObj::Open(name, mode);
    if (rc) return rc;
    SeekToBegin();
    const bool acceptOther = (mode & TL_FMODE_LOCK) != 0;
    const uint64_t length = GetLength64();
    if ((m_mode & TL_FMODE_FIXED) && IsMemoryMode()) {
        // The head is the file's own first bytes.
        uint8_t* own = GetBuffer();
        if (own == nullptr || length < HD_HEAD_FIXED) return OpenFailed();
        m_nCheck = HD_CheckHeader(own);
        if (m_nCheck != HD_HEAD_VALID && !(m_nCheck == HD_HEAD_OTHER && acceptOther)) return OpenFailed();
        const uint32_t offset = HD_ReadHeader(own).dataOffset;
        if (offset > length) return OpenFailed();
        m_pHead = own;
        m_nHeadLength = offset;
        m_bOwnHead = false;
        return 0;
    }
    uint8_t fixed[HD_HEAD_FIXED] = {'h', 'd', '1', '.', '0'};
    if (Read(fixed, HD_HEAD_FIXED) != HD_HEAD_FIXED) return 0;  // too short: open without a head
    m_nCheck = HD_CheckHeader(fixed);
    if (m_nCheck != HD_HEAD_VALID && !(m_nCheck == HD_HEAD_OTHER && acceptOther)) return OpenFailed();
    // The head must lie in the file; it is read whole and at least 20 bytes
    // long, so that the header can be checked again from it.
    const uint32_t offset = HD_ReadHeader(fixed).dataOffset;
    if (offset > length) return OpenFailed();
    FreeHead();
    const uint32_t bytes = std::max(offset, HD_HEAD_FIXED);
    m_pHead = static_cast<uint8_t*>(TL_Allocate(bytes));
    if (m_pHead == nullptr) return OpenFailed();
    m_bOwnHead = true;
    m_nHeadLength = offset;
    SeekToBegin();
    if (Read(m_pHead, bytes) != bytes) return OpenFailed();
    return 0;
}

uint32_t CHdFile::OpenMemory(const void* data, uint32_t len, uint32_t cap) {
    uint32_t rc = CTLFileObj::OpenMemory(data, len, cap);
    if (rc) return rc;
    const uint8_t* image = GetBuffer();
    const uint64_t length = GetLength64();
    if (image == nullptr || length < HD_HEAD_FIXED) return OpenFailed();
    m_nCheck = HD_CheckHeader(image);
    const uint32_t offset = HD_ReadHeader(image).dataOffset;
    if (m_nCheck != HD_HEAD_VALID || offset > length) return OpenFailed();
    FreeHead();
    m_pHead = static_cast<uint8_t*>(TL_Allocate(offset));
    if (m_pHead == nullptr) return OpenFailed();
    std::memcpy(m_pHead, image, offset);
    m_bOwnHead = true;
    m_nHeadLength = offset;
    return 0;
}

uint32_t CHdFile::CopyTo(const char* newName) {
    if (!IsOpen() || IsReadOnly() || !IsMemoryMode() || m_pHead == nullptr) return kFailed;
    const uint64_t end = HD_ReadHeader(m_pHead).DataEnd();
    if (end != GetLength64()) {
        // A fixed store cannot shrink, which only leaves bytes after the data;
        // one that cannot hold the data is not written.
        const uint32_t rc = SetLength64(int64_t(std::min<uint64_t>(end, INT64_MAX)), 0);
        if (rc && end > GetLength64()) return rc;
    }
    SeekToBegin();
    if (m_nHeadLength > 0) {
        const uint32_t w = Write(m_pHead, m_nHeadLength);
        if (w != m_nHeadLength) return w >= 0x80000000u ? w : TL_FILE_E_DISK_FULL;
    }
    Flush();
    return CTLFileObj::CopyTo(newName);
}

int CHdFile::SaveAs(const char* name) { return CopyTo(name) == 0 ? 1 : 0; }

// ---- CDataTransFile ----

TLRuntimeClass* CDataTransFile::GetRuntimeClass() const { return &classCDataTransFile; }

// The base destructor reaches only CHdFile's own operations: the transfer
// state goes here.
CDataTransFile::~CDataTransFile() { FreeState(); }

void CDataTransFile::FreeState() {
    TL_Free(m_pState);
    m_pState = nullptr;
}

void CDataTransFile::ReleaseHead() {
    FreeState();
    CHdFile::ReleaseHead();
}

uint32_t CDataTransFile::Close() {
    ReleaseHead();
    return CHdFile::Close();
}

uint32_t CDataTransFile::OpenTransfer(const char* name, uint32_t mode) {
    const uint32_t rc = CHdFile::Open(name, mode);
    if (rc == 0 && m_pState == nullptr) {
        m_pState = static_cast<uint8_t*>(TL_Allocate(kStateSize));
        if (m_pState != nullptr) std::memset(m_pState, 0, kStateSize);
    }
    return rc;
}

// ---- CReadBuffer ----

TLRuntimeClass* CReadBuffer::GetRuntimeClass() const { return &classCReadBuffer; }

CReadBuffer::~CReadBuffer() { Reset(); }

void CReadBuffer::Reset() {
    if (m_pOwner != nullptr) {
        DropBorrowed();
        delete m_pOwner;
        m_pOwner = nullptr;
    }
    Free();
    // The chain is taken apart link by link: a chain read from an archive may
    // be long.
    CReadBuffer* next = m_pNext;
    m_pNext = nullptr;
    while (next != nullptr) {
        CReadBuffer* after = next->m_pNext;
        next->m_pNext = nullptr;
        delete next;
        next = after;
    }
    m_name.Empty();
    m_nValue1 = 0;
    m_nValue2 = 0xFFFF;
    m_nValue3 = 0;
}

void CReadBuffer::Adopt(corvane::CTLObject* owner, char* data, uint32_t len) {
    if (m_pOwner != nullptr) {
        DropBorrowed();
        delete m_pOwner;
    }
    Free();
    m_pOwner = owner;
    Borrow(data, len);
}

void CReadBuffer::Chain(CReadBuffer* next) {
    CReadBuffer* last = this;
    while (last->m_pNext != nullptr) last = last->m_pNext;
    last->m_pNext = next;
}

void CReadBuffer::StoreOne(HugeDataArchive& ar) {
    using corvane::CHugeData;
    const uint32_t length = m_nUsed;
    CHugeData::WriteInt32(ar, &length, 1);
    // Content longer than one item holds is left out: the length then tells a
    // reader that the content did not come along.
    if (length > 0 && length <= TL_AR_MAX_PAYLOAD) CHugeData::WriteBytes(ar, m_pData, length);
    CHugeData::WriteInt32(ar, &m_nValue1, 1);
    const uint32_t value2 = m_nValue2;
    CHugeData::WriteInt32(ar, &value2, 1);
    CHugeData::WriteInt16(ar, &m_nValue3, 1);
    CHugeData::WriteString(ar, m_name.GetString());
    const uint32_t more = m_pNext != nullptr ? 1 : 0;
    CHugeData::WriteInt32(ar, &more, 1);
}

bool CReadBuffer::LoadOne(HugeDataArchive& ar) {
    using corvane::CHugeData;
    uint32_t length = 0;
    CHugeData::ReadInt32(ar, &length, 1);
    // A length beyond one item cannot be read: nothing is reserved for it.
    if (length > 0 && length <= TL_AR_MAX_PAYLOAD && SetLength(int(length)) != nullptr) {
        if (CHugeData::ReadBytes(ar, m_pData, length) != 0) SetLength(0);
    }
    CHugeData::ReadInt32(ar, &m_nValue1, 1);
    uint32_t value2 = m_nValue2;
    CHugeData::ReadInt32(ar, &value2, 1);
    m_nValue2 = uint16_t(value2);
    CHugeData::ReadInt16(ar, &m_nValue3, 1);
    CHugeData::ReadString(ar, m_name);
    uint32_t more = 0;
    CHugeData::ReadInt32(ar, &more, 1);
    return more != 0;
}

void CReadBuffer::Serialize(HugeDataArchive& ar) {
    if (!ar.IsLoading()) {
        for (CReadBuffer* b = this; b != nullptr; b = b->m_pNext) b->StoreOne(ar);
        return;
    }
    Reset();
    for (CReadBuffer* b = this; b->LoadOne(ar);) {
        auto* next = new (std::nothrow) CReadBuffer;
        if (next == nullptr) return;
        b->m_pNext = next;
        b = next;
    }
}
