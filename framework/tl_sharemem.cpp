#include "framework/tl_sharemem.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <new>

#include "framework/tl_fileutil.h"
#include "framework/tl_registry.h"
#include "framework/tl_sync.h"
#include "platform/pl_never_destroyed.h"
#include "platform/pl_shared.h"

namespace {

constexpr uint8_t kSignature[3] = {0xFA, 0xFB, 0xFC};
constexpr uint64_t kPage = 4096;
// Largest request whose mapping size (plus head, rounded to a page) fits.
constexpr uint64_t kMaxRequest = UINT64_MAX - TL_SHAREMEM_HEAD - kPage;

// The process-wide state: the system-wide mutex held for each allocation,
// the registry key (opened by the first named allocation), and every view
// this process mapped, by start address, under its own lock.
struct ShareState {
    corvane::CMutex mutex{0, TL_SHAREMEM_MUTEX};
    corvane::CTLRegistry registry;
    corvane::CCriticalSection viewLock;
    std::map<const uint8_t*, pl::SharedMapping> views;
};

// Built while the library loads and never destroyed: blocks may still be
// freed by threads while the process exits. Nothing touches the file system
// before the first allocation.
pl::NeverDestroyed<ShareState> g_share;

uint64_t LoadU64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

// A mapped view whose head is a block head that fits the mapping.
bool HeadValid(const pl::SharedMapping& m) {
    if (m.size < TL_SHAREMEM_HEAD) return false;
    const uint8_t* h = m.view;
    if (h[8] != TL_SHAREMEM_HEAD || std::memcmp(h + 9, kSignature, 3) != 0) return false;
    return LoadU64(h) <= m.size - TL_SHAREMEM_HEAD;
}

// The user data of a new view, entered in the view map.
void* Adopt(const pl::SharedMapping& m) {
    corvane::CTLSingleLock lock(&g_share->viewLock, 1);
    g_share->views[m.view] = m;
    return m.view + TL_SHAREMEM_HEAD;
}

// Creates block number n (0: unnamed) with a mapping of mapSize bytes.
void* Create(uint32_t number, uint64_t mapSize) {
    pl::SharedMapping m;
    corvane::CTLString name;
    if (number != 0) name = TL_ShareMemMappingName(number);
    // A mapping that already exists under the name is not this block: refused.
    if (pl::CreateSharedMapping(number ? name.GetString() : nullptr, mapSize, &m) != pl::kSharedOk) return nullptr;
    const uint64_t usable = mapSize - TL_SHAREMEM_HEAD;
    std::memcpy(m.view, &usable, 8);
    m.view[8] = TL_SHAREMEM_HEAD;
    std::memcpy(m.view + 9, kSignature, 3);
    return Adopt(m);
}

// Opens the key (with creation) when needed and makes sure "__alloc_key__"
// holds a number, so that a key that is new, or was emptied meanwhile,
// starts at 1024.
bool PrepareKey() {
    corvane::CTLRegistry& reg = g_share->registry;
    if (reg.GetKey() == nullptr && reg.Open(TL_KeyCurrentUser(), TL_SHAREMEM_KEY, TL_REG_CREATE) != 0) return false;
    uint32_t last = 0;
    if (reg.GetDword(TL_SHAREMEM_ALLOC_VALUE, &last) != 0 || last == 0) {
        if (reg.SetDword(TL_SHAREMEM_ALLOC_VALUE, TL_SHAREMEM_FIRST_NUMBER) != 0) return false;
        reg.Flush();
    }
    return true;
}

// Hands out the next number to the block name; 0 on failure.
uint32_t NextNumber(const char* name) {
    corvane::CTLRegistry& reg = g_share->registry;
    uint32_t last = 0;
    if (reg.GetDword(TL_SHAREMEM_ALLOC_VALUE, &last) != 0 || last == 0 || last == UINT32_MAX) return 0;
    const uint32_t n = last + 1;
    if (reg.SetDword(TL_SHAREMEM_ALLOC_VALUE, n) != 0 || reg.SetDword(name, n) != 0) return 0;
    reg.Flush();
    return n;
}

}  // namespace

corvane::CTLString TL_ShareMemMappingName(uint32_t number) {
    corvane::CTLString s;
    s.Format(TL_SHAREMEM_MAPPING_FORMAT, int(number));
    return s;
}

void* TL_AllocShareMem(uint64_t size, const char* name) {
    if (size > kMaxRequest) return nullptr;
    const uint64_t mapSize = size == 0 ? 0 : (size + TL_SHAREMEM_HEAD + kPage - 1) / kPage * kPage;
    corvane::CTLSingleLock lock(&g_share->mutex, 1);
    if (!lock.IsLocked()) return nullptr;
    if (name == nullptr || *name == 0) {
        // The unnamed mapping of size 0 cannot be opened.
        return size == 0 ? nullptr : Create(0, mapSize);
    }
    if (!PrepareKey()) return nullptr;
    uint32_t number = 0;
    if (g_share->registry.GetDword(name, &number) != 0) number = 0;
    if (number == 0) {
        if (size == 0) return nullptr;
        number = NextNumber(name);
        return number == 0 ? nullptr : Create(number, mapSize);
    }
    pl::SharedMapping m;
    if (pl::OpenSharedMapping(TL_ShareMemMappingName(number).GetString(), &m) != pl::kSharedOk) {
        return size == 0 ? nullptr : Create(number, mapSize);
    }
    if (!HeadValid(m)) {
        // Not a block: the name cannot be served.
        pl::CloseSharedMapping(&m);
        return nullptr;
    }
    if (size == 0 || LoadU64(m.view) >= size) return Adopt(m);
    // Too small: a new number; processes that hold the old block keep it.
    pl::CloseSharedMapping(&m);
    number = NextNumber(name);
    return number == 0 ? nullptr : Create(number, mapSize);
}

void TL_FreeShareMem(void* p) {
    if (p == nullptr) return;
    const uint8_t* start = static_cast<const uint8_t*>(p) - TL_SHAREMEM_HEAD;
    pl::SharedMapping m;
    {
        corvane::CTLSingleLock lock(&g_share->viewLock, 1);
        auto it = g_share->views.find(start);
        if (it == g_share->views.end()) return;
        m = it->second;
        g_share->views.erase(it);
    }
    pl::CloseSharedMapping(&m);
}

uint64_t TL_GetShareMemSize(const void* p) {
    if (p == nullptr) return 0;
    const uint8_t* start = static_cast<const uint8_t*>(p) - TL_SHAREMEM_HEAD;
    corvane::CTLSingleLock lock(&g_share->viewLock, 1);
    auto it = g_share->views.find(start);
    if (it == g_share->views.end() || !HeadValid(it->second)) return 0;
    return LoadU64(start);
}

namespace corvane {

CShareMemFileBase::~CShareMemFileBase() { Close(); }

uint32_t CShareMemFileBase::Open(const char* name, uint32_t mode) {
    if (m_pData != nullptr) return TL_FOBJ_E_ALREADY_OPEN;
    CDiskFile disk;
    uint32_t rc = disk.Open(name, TL_FMODE_DISK | TL_FMODE_EXISTING | TL_FMODE_READONLY);
    if (rc) return rc;
    const uint64_t len = disk.GetLength64();
    if (len == 0) return TL_FOBJ_E_EMPTY_FILE;
    // The store's length is 32-bit: the usable size of the block must fit.
    if (len > 0xFFFFFFFFull - kPage) return TL_FOBJ_E_BAD_SIZE;
    auto* block = static_cast<uint8_t*>(TL_AllocShareMem(len, name));
    if (block == nullptr) return TL_FOBJ_E_NO_MEMORY;
    const uint32_t got = disk.Read(block, uint32_t(len));
    if (got != len) {
        TL_FreeShareMem(block);
        return got >= 0x80000000u ? got : TL_FOBJ_E_MOVE_IO;
    }
    m_pData = block;
    m_nLength = uint32_t(std::min<uint64_t>(TL_GetShareMemSize(block), 0xFFFFFFFFu));
    m_nPos = 0;
    m_nMode = mode;
    m_name = name;
    return 0;
}

uint32_t CShareMemFileBase::Close() {
    if (m_pData != nullptr) TL_FreeShareMem(m_pData);
    m_pData = nullptr;
    m_nLength = 0;
    m_nPos = 0;
    return 0;
}

uint32_t CShareMemFileBase::GetStatus(TLFileStatusRecord* out) {
    if (m_pData == nullptr) return TL_FOBJ_E_NOT_OPEN;
    *out = TLFileStatusRecord{};
    out->length = m_nLength;
    return 0;
}

uint32_t CShareMemFileBase::Seek(int32_t offset, int origin) {
    Seek64(offset, origin);
    return m_nPos;
}

uint32_t CShareMemFileBase::Seek64(int64_t offset, int origin) {
    if (m_pData == nullptr) return TL_FOBJ_E_NOT_OPEN;
    // No bounds: the position wraps like the 32-bit value it is.
    if (origin == 0)
        m_nPos = uint32_t(offset);
    else if (origin == 1)
        m_nPos = uint32_t(int64_t(m_nPos) + offset);
    else if (origin == 2)
        m_nPos = uint32_t(int64_t(m_nLength) + offset);
    return 0;
}

uint32_t CShareMemFileBase::SetLength64(int64_t, uint8_t) { return TL_FOBJ_E_UNSUPPORTED; }

uint32_t CShareMemFileBase::Read(void* buffer, uint32_t size) {
    if (m_pData == nullptr) return TL_FOBJ_E_NOT_OPEN;
    const uint64_t len = m_nLength;
    if (m_nPos >= len) return 0;
    const uint32_t n = uint32_t(std::min<uint64_t>(size, len - m_nPos));
    if (n) std::memcpy(buffer, m_pData + m_nPos, n);
    m_nPos += n;
    return n;
}

uint32_t CShareMemFileBase::Write(const void* data, uint32_t size, uint32_t count, uint8_t fill) {
    if (m_pData == nullptr) return TL_FOBJ_E_NOT_OPEN;
    if (int32_t(size) < 1) return 0;
    const uint64_t total = uint64_t(size) * count;
    if (total < 1) return TL_FOBJ_E_BAD_SIZE;
    // Blocks never grow: the answer of SetLength.
    if (uint64_t(m_nPos) + total > m_nLength) return SetLength64(int64_t(uint64_t(m_nPos) + total), fill);
    uint8_t* at = m_pData + m_nPos;
    if (data == nullptr) {
        std::memset(at, fill, total);
    } else {
        const uint8_t* src = static_cast<const uint8_t*>(data);
        for (uint32_t i = 0; i < count; ++i) std::memmove(at + uint64_t(i) * size, src + uint64_t(i) * size, size);
    }
    m_nPos += uint32_t(total);
    return uint32_t(total);
}

CFileBase* CShareMemFileBase::Duplicate() {
    if (m_pData == nullptr) return nullptr;
    auto* d = new (std::nothrow) CShareMemFileBase;
    if (d == nullptr) return nullptr;
    if (d->Open(m_name.GetString(), m_nMode) != 0) {
        delete d;
        return nullptr;
    }
    return d;
}

uint8_t* CShareMemFileBase::GetDataAt(uint32_t* length) {
    const uint64_t len = m_nLength;
    if (m_pData == nullptr || length == nullptr || int32_t(*length) < 1 || int32_t(m_nPos) < 0 || m_nPos >= len) {
        if (length) *length = 0;
        return nullptr;
    }
    *length = uint32_t(std::min<uint64_t>(*length, len - m_nPos));
    return m_pData + m_nPos;
}

uint32_t CShareMemFileBase::CopyTo(const char* ownName, const char* newName) {
    const char* name = (newName && *newName) ? newName : ownName;
    if (name == nullptr || *name == 0) return TL_FILE_E_BAD_PATH;
    if (m_pData == nullptr) return TL_FOBJ_E_NOT_OPEN;
    CDiskFile disk;
    uint32_t rc = disk.Open(name, TL_FMODE_DISK | TL_FMODE_CREATE);
    if (rc) return rc;
    const uint32_t len = uint32_t(m_nLength);
    const uint32_t w = disk.Write(m_pData, len, 1, 0);
    if (w != len) return w >= 0x80000000u ? w : TL_FILE_E_DISK_FULL;
    return disk.Close();
}

uint32_t CShareMemFileBase::CopyFromFile(const char* ownName, const char* sourceName) {
    const char* name = (sourceName && *sourceName) ? sourceName : ownName;
    if (name == nullptr || *name == 0) return TL_FILE_E_BAD_PATH;
    const CTLString keep = name;  // the own name may be this store's own text
    const uint32_t mode = m_nMode;
    Close();
    return Open(keep.GetString(), mode);
}

uint32_t CShareMemFileBase::MoveBlock(uint64_t from, uint64_t to, uint64_t length, uint8_t fill) {
    if (m_pData == nullptr) return TL_FOBJ_E_NOT_OPEN;
    return TL_MoveBytes(m_pData, m_nLength, from, to, length, fill);
}

}  // namespace corvane
