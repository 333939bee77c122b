#include "framework/tl_fileobj.h"

#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include "framework/tl_alloc.h"
#include "framework/tl_fileutil.h"
#include "framework/tl_sharemem.h"

namespace {

corvane::CTLObject* CreateFileObj() { return new (std::nothrow) corvane::CTLFileObj; }

// The absolute form of a path (0x80020003 when it does not fit 260 bytes).
uint32_t FullPath(const char* name, std::string* out) {
    char full[TL_MAX_PATH];
    uint32_t rc = TL_GetFullPath(full, name);
    if (rc) return rc;
    *out = full;
    return 0;
}

// Copies the whole content of `from`, read from its start, to the position of
// `to`; `from` keeps its position. *copied counts the bytes. 0 or a code.
uint32_t CopyContent(corvane::CTLFileObj* from, corvane::CFileBase* to, uint64_t* copied) {
    *copied = 0;
    const uint64_t n = from->GetLength64();
    if (const uint8_t* block = from->GetBuffer()) {
        // A memory file hands its block over in one write.
        const uint32_t w = to->Write(block, uint32_t(n), 1, 0);
        if (w != n) return w >= 0x80000000u ? w : TL_FILE_E_DISK_FULL;
        *copied = n;
        return 0;
    }
    const uint32_t size = uint32_t(std::clamp<uint64_t>(n, 1, TL_FILE_COPY_CHUNK));
    uint8_t* chunk = static_cast<uint8_t*>(TL_Allocate(size));
    if (chunk == nullptr) return TL_FOBJ_E_NO_MEMORY;
    const uint64_t keep = from->GetPosition();
    from->SeekToBegin();
    uint32_t rc = 0;
    for (;;) {
        const uint32_t got = from->Read(chunk, size);
        if (got == 0) break;
        if (got >= 0x80000000u) {
            rc = got;
            break;
        }
        const uint32_t w = to->Write(chunk, got, 1, 0);
        if (w != got) {
            rc = w >= 0x80000000u ? w : TL_FILE_E_DISK_FULL;
            break;
        }
        *copied += got;
    }
    TL_Free(chunk);
    from->Seek64(int64_t(keep), 0);
    return rc;
}

}  // namespace

namespace corvane {

TLRuntimeClass CTLFileObj::classCTLFileObj = {"CTLFileObj", int32_t(sizeof(CTLFileObj)), CreateFileObj,
                                              nullptr,      &CTLObject::classCTLObject,  nullptr};
static TLClassRegistrar s_regFileObj(&CTLFileObj::classCTLFileObj);

TLRuntimeClass* CTLFileObj::GetRuntimeClass() const { return &classCTLFileObj; }

CTLFileObj::~CTLFileObj() { Close(); }

CTLFileObj* CTLFileObj::NewOfSameClass() const {
    CTLObject* o = TL_CreateObject(GetRuntimeClass());
    auto* f = dynamic_cast<CTLFileObj*>(o);
    if (f == nullptr) delete o;
    return f;
}

bool CTLFileObj::IsDataComplete() { return true; }

bool CTLFileObj::IsMemoryMode() const {
    uint32_t store = m_mode & TL_FMODE_STORE_MASK;
    return store == TL_FMODE_MEMORY || store == TL_FMODE_SHARED;
}

uint32_t CTLFileObj::Open(const char* name, uint32_t mode) {
    if (IsOpen()) return TL_FOBJ_E_ALREADY_OPEN;
    Close();  // leftovers of an earlier failed open
    std::string full;
    if (name != nullptr && *name != 0) {
        uint32_t rc = FullPath(name, &full);
        if (rc) return rc;
    }
    CFileBase* file = nullptr;
    switch (mode & TL_FMODE_STORE_MASK) {
    case TL_FMODE_DISK:
    case TL_FMODE_DISK2:
        file = new (std::nothrow) CDiskFile;
        break;
    case TL_FMODE_MEMORY:
        file = new (std::nothrow) CMemFileBase;
        break;
    case TL_FMODE_SHARED:
        // A shared block never changes size.
        file = new (std::nothrow) CShareMemFileBase;
        mode |= TL_FMODE_FIXED;
        break;
    default:
        return TL_FOBJ_E_UNSUPPORTED;
    }
    if (file == nullptr) return TL_FOBJ_E_NO_MEMORY;
    uint32_t rc = file->Open(full.c_str(), mode);
    if (rc) {
        delete file;
        return rc;
    }
    m_file = file;
    m_mode = mode;
    m_name = full.c_str();
    return 0;
}

uint32_t CTLFileObj::OpenMemoryToFill(uint32_t len) {
    if (IsOpen()) return TL_FOBJ_E_ALREADY_OPEN;
    Close();
    auto* mem = new (std::nothrow) CMemFileBase;
    if (mem == nullptr) return TL_FOBJ_E_NO_MEMORY;
    return AdoptMemory(mem, mem->OpenToFill(len), TL_FMODE_MEMORY);
}

uint32_t CTLFileObj::AdoptMemory(CMemFileBase* mem, uint32_t rc, uint32_t mode) {
    if (rc) {
        delete mem;
        return rc;
    }
    mem->SetFlags(mode);
    m_file = mem;
    m_mode = mode;
    return 0;
}

uint32_t CTLFileObj::OpenMemory(const void* data, uint32_t len, uint32_t cap) {
    if (IsOpen()) return TL_FOBJ_E_ALREADY_OPEN;
    Close();
    auto* mem = new (std::nothrow) CMemFileBase;
    if (mem == nullptr) return TL_FOBJ_E_NO_MEMORY;
    uint32_t mode = TL_FMODE_MEMORY;
    uint32_t rc;
    if (cap == TL_FILE_CAP_COPY_OBJECT) {
        auto* other = static_cast<CTLFileObj*>(const_cast<void*>(data));
        const uint64_t n = other != nullptr && other->IsOpen() ? other->GetLength64() : 0;
        uint64_t copied = 0;
        if (other == nullptr || !other->IsOpen()) {
            rc = TL_FILE_E_INVALID_FILE;
        } else if (n > 0xFFFFFFFFull - TL_FILE_BLOCK_HEAD) {
            rc = TL_FOBJ_E_BAD_SIZE;
        } else if ((rc = mem->OpenMemory(nullptr, 0, uint32_t(n), false)) == 0) {
            rc = CopyContent(other, mem, &copied);
            mem->Seek64(0, 0);
        }
    } else if (cap == TL_FILE_CAP_ATTACH) {
        mode |= TL_FMODE_FIXED;
        rc = mem->OpenMemory(data, len, len, true);
    } else {
        if (cap == TL_FILE_CAP_FIXED_COPY) mode |= TL_FMODE_FIXED;
        if (int32_t(cap) < 0) cap = 0;
        if (data == nullptr && len > 0)
            rc = TL_FILE_E_GENERIC;
        else
            rc = mem->OpenMemory(data, len, cap, false);
    }
    return AdoptMemory(mem, rc, mode);
}

uint32_t CTLFileObj::Reopen() {
    if (m_name.IsEmpty()) return TL_FILE_E_BAD_PATH;
    CTLString name = m_name;
    uint32_t mode = m_mode;
    Close();
    return Open(name.GetString(), mode);
}

uint32_t CTLFileObj::Seek(int32_t offset, int origin) { return Seek64(offset, origin); }

uint32_t CTLFileObj::Seek64(int64_t offset, int origin) {
    if (!IsOpen()) return TL_FOBJ_E_NOT_OPEN;
    return m_file->Seek64(offset, origin);
}

uint32_t CTLFileObj::SetLength(uint32_t length, uint8_t fill) { return SetLength64(int64_t(length), fill); }

uint32_t CTLFileObj::SetLength64(int64_t length, uint8_t fill) {
    if (!IsOpen()) return TL_FOBJ_E_NOT_OPEN;
    if (IsReadOnly()) return TL_FOBJ_E_READ_ONLY;
    if (IsFixed()) return TL_FOBJ_E_FIXED;
    return m_file->SetLength64(length, fill);
}

uint32_t CTLFileObj::GetLength() { return IsOpen() ? m_file->GetLength() : TL_FOBJ_E_NOT_OPEN; }

uint64_t CTLFileObj::GetLength64() { return IsOpen() ? m_file->GetLength64() : 0; }

uint64_t CTLFileObj::GetPosition() { return IsOpen() ? m_file->GetPosition64() : 0; }

uint32_t CTLFileObj::Read(void* buffer, uint32_t size) {
    if (!IsOpen()) return TL_FOBJ_E_NOT_OPEN;
    if (buffer == nullptr) return TL_FOBJ_E_NULL_BUFFER;
    return m_file->Read(buffer, size);
}

uint32_t CTLFileObj::Write(const void* data, uint32_t size, int32_t count, uint8_t fill) {
    if (!IsOpen()) return TL_FOBJ_E_NOT_OPEN;
    if (IsReadOnly()) return TL_FOBJ_E_READ_ONLY;
    if (count < 1) count = 1;
    // A fixed store keeps its size: writes must end within it. The shared
    // store answers for its block itself.
    if (IsFixed() && (m_mode & TL_FMODE_STORE_MASK) != TL_FMODE_SHARED) {
        uint64_t end = m_file->GetPosition64() + uint64_t(size) * uint64_t(count);
        if (end > m_file->GetLength64()) return TL_FOBJ_E_FIXED;
    }
    return m_file->Write(data, size, uint32_t(count), fill);
}

uint32_t CTLFileObj::Insert(const void* data, int32_t size, int32_t count, uint8_t fill) {
    if (!IsOpen()) return TL_FOBJ_E_NOT_OPEN;
    if (IsReadOnly()) return TL_FOBJ_E_READ_ONLY;
    if (count < 1) count = 1;
    const int64_t n = int64_t(size) * count;
    if (n > INT32_MAX || n < -int64_t(INT32_MAX)) return TL_FOBJ_E_BAD_SIZE;
    if (n == 0) return 0;
    if (IsFixed()) return TL_FOBJ_E_FIXED;
    const uint64_t pos = m_file->GetPosition64();
    const uint64_t len = m_file->GetLength64();
    if (pos > len) return TL_FOBJ_E_RANGE;
    if (n > 0) {
        // Copy the data first: it may point into this file's own block.
        std::vector<uint8_t> bytes;
        try {
            if (data) bytes.assign(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + n);
        } catch (const std::bad_alloc&) {
            return TL_FOBJ_E_NO_MEMORY;
        }
        uint32_t rc = m_file->SetLength64(int64_t(len + uint64_t(n)), fill);
        if (rc) return rc;
        rc = m_file->MoveBlock(pos, pos + uint64_t(n), len - pos, fill);
        if (rc) return rc;
        m_file->Seek64(int64_t(pos), 0);
        rc = m_file->Write(data ? bytes.data() : nullptr, uint32_t(n), 1, fill);
        return rc == uint32_t(n) ? 0 : rc;
    }
    const uint64_t cut = uint64_t(-n);
    if (cut > len - pos) return TL_FOBJ_E_RANGE;
    uint32_t rc = m_file->MoveBlock(pos + cut, pos, len - pos - cut, fill);
    if (rc) return rc;
    rc = m_file->SetLength64(int64_t(len - cut), fill);
    if (rc) return rc;
    return m_file->Seek64(int64_t(pos), 0);
}

uint32_t CTLFileObj::MoveRange(int64_t offset, uint32_t length, uint8_t fill) {
    if (!IsOpen()) return TL_FOBJ_E_NOT_OPEN;
    if (IsReadOnly()) return TL_FOBJ_E_READ_ONLY;
    const int64_t from = int64_t(m_file->GetPosition64());
    const int64_t len = int64_t(m_file->GetLength64());
    // The offset is checked before it is added: any 64-bit value may arrive.
    if (from > len || offset < -from || offset > len - from) return TL_FOBJ_E_RANGE;
    const int64_t to = from + offset;
    if (from + int64_t(length) > len || to + int64_t(length) > len) return TL_FOBJ_E_RANGE;
    return m_file->MoveBlock(uint64_t(from), uint64_t(to), length, fill);
}

uint32_t CTLFileObj::Flush() {
    if (!IsOpen()) return TL_FOBJ_E_NOT_OPEN;
    if (IsReadOnly()) return TL_FOBJ_E_READ_ONLY;
    return m_file->Flush();
}

CTLFileObj* CTLFileObj::Duplicate() {
    if (!IsOpen()) return nullptr;
    CTLFileObj* d = NewOfSameClass();
    if (d == nullptr) return nullptr;
    d->m_file = m_file->Duplicate();
    if (d->m_file == nullptr) {
        delete d;
        return nullptr;
    }
    d->m_mode = m_mode;
    d->m_name = m_name;
    return d;
}

uint32_t CTLFileObj::Close() {
    if (m_file != nullptr) {
        m_file->Close();
        delete m_file;
        m_file = nullptr;
    }
    return 0;
}

uint32_t CTLFileObj::CopyTo(const char* newName) {
    if (!IsOpen()) return TL_FOBJ_E_NOT_OPEN;
    bool hasNew = newName != nullptr && *newName != 0;
    if (!hasNew && m_name.IsEmpty()) return TL_FILE_E_BAD_PATH;
    std::string full;
    if (hasNew) {
        uint32_t rc = FullPath(newName, &full);
        if (rc) return rc;
    } else {
        full = m_name.GetString();
    }
    return m_file->CopyTo(m_name.GetString(), full.c_str());
}

uint32_t CTLFileObj::CopyFromFile(const char* sourceName) {
    if (!IsOpen()) return TL_FOBJ_E_NOT_OPEN;
    if (IsReadOnly()) return TL_FOBJ_E_READ_ONLY;
    std::string full;
    if (sourceName != nullptr && *sourceName != 0) {
        uint32_t rc = FullPath(sourceName, &full);
        if (rc) return rc;
    }
    return m_file->CopyFromFile(m_name.GetString(), full.c_str());
}

uint32_t CTLFileObj::CopyFrom(CTLFileObj* other) {
    if (other == nullptr || !other->IsOpen()) return TL_FILE_E_INVALID_FILE;
    if (!IsOpen()) return TL_FOBJ_E_NOT_OPEN;
    if (other == this) return uint32_t(GetLength64());
    uint32_t rc = SetLength64(0);
    if (rc) return rc;
    SeekToBegin();
    uint64_t total = 0;
    rc = CopyContent(other, m_file, &total);
    if (rc) return rc;
    return uint32_t(std::min<uint64_t>(total, 0x7FFFFFFF));
}

uint32_t CTLFileObj::AttachTo(CTLFileObj* other) {
    if (IsOpen()) return TL_FOBJ_E_ALREADY_OPEN;
    if (other == nullptr || !other->IsOpen()) return TL_FILE_E_INVALID_FILE;
    // The length is not used with this capacity; a non-zero one keeps
    // subclasses that refuse empty images content.
    uint64_t n = other->GetLength64();
    return OpenMemory(other, uint32_t(std::clamp<uint64_t>(n, 1, 0xFFFFFFFFu)), TL_FILE_CAP_COPY_OBJECT);
}

CTLFileObj* CTLFileObj::Clone() {
    if (!IsOpen()) return nullptr;
    CTLFileObj* c = NewOfSameClass();
    if (c == nullptr) return nullptr;
    if (c->AttachTo(this) != 0) {
        delete c;
        return nullptr;
    }
    return c;
}

CTLFileObj* CTLFileObj::OpenNew(const char* name, uint32_t mode) {
    CTLFileObj* n = NewOfSameClass();
    if (n == nullptr) return nullptr;
    if (n->Open(name, mode ? mode : m_mode) != 0) {
        delete n;
        return nullptr;
    }
    return n;
}

uint8_t* CTLFileObj::GetBuffer() { return IsOpen() ? m_file->GetDataBlock() : nullptr; }

uint8_t* CTLFileObj::GetDataAt(uint32_t* length) { return IsOpen() ? m_file->GetDataAt(length) : nullptr; }

uint32_t CTLFileObj::GetStatus(TLFileStatusRecord* out) {
    if (!IsOpen()) return TL_FOBJ_E_NOT_OPEN;
    return m_file->GetStatus(out);
}

}  // namespace corvane
