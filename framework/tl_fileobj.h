// corvane::CTLFileObj: the file object that the system holds, over one
// corvane::CFileBase store chosen by bits 12-15 of the open mode (0x2000 and
// 0x5000 disk, 0x3000 memory, 0x4000 a shared block read from the named file,
// which adds flag 0x10). Every operation returns 0x80020017 when no
// store is open, unless said otherwise.
#pragma once

#include <cstdint>

#include "framework/tl_filebase.h"
#include "framework/tl_object.h"
#include "framework/tl_string.h"

// OpenMemory capacities with a meaning of their own.
constexpr uint32_t TL_FILE_CAP_COPY_OBJECT = 0xFFFFFFFE;  // `data` is a CTLFileObj* to copy
constexpr uint32_t TL_FILE_CAP_ATTACH = 0xFFFFFFFD;       // use `data` in place (fixed)
constexpr uint32_t TL_FILE_CAP_FIXED_COPY = 0xFFFFFFFC;   // copy into a fixed block of `len`
// Chunk of CopyFrom.
constexpr uint32_t TL_FILE_COPY_CHUNK = 0x100000;

namespace corvane {

class CTLFileObj : public CTLObject {
public:
    CTLFileObj() = default;
    ~CTLFileObj() override;
    CTLFileObj(const CTLFileObj&) = delete;
    CTLFileObj& operator=(const CTLFileObj&) = delete;

    TLRuntimeClass* GetRuntimeClass() const override;
    static TLRuntimeClass classCTLFileObj;

    virtual bool IsDataComplete();
    // 0x80020016 when open. An empty name stays empty; otherwise it is made
    // absolute (0x80020003 past 260 characters).
    virtual uint32_t Open(const char* name, uint32_t mode);
    // A memory store over a copy of `data` (or see the TL_FILE_CAP_ values).
    virtual uint32_t OpenMemory(const void* data, uint32_t len, uint32_t cap);
    virtual uint32_t Reopen();
    virtual uint32_t Seek(int32_t offset, int origin);
    virtual uint32_t Seek64(int64_t offset, int origin);
    virtual uint32_t SetLength(uint32_t length, uint8_t fill = 0);
    virtual uint32_t SetLength64(int64_t length, uint8_t fill = 0);
    virtual uint32_t GetLength();
    virtual uint64_t GetLength64();
    virtual uint32_t Read(void* buffer, uint32_t size);
    virtual uint32_t Write(const void* data, uint32_t size, int32_t count = 1, uint8_t fill = 0);
    // Inserts size x count bytes at the position (a negative size removes).
    virtual uint32_t Insert(const void* data, int32_t size, int32_t count = 1, uint8_t fill = 0);
    // Moves `length` bytes from the position to position + offset.
    virtual uint32_t MoveRange(int64_t offset, uint32_t length, uint8_t fill = 0);
    virtual uint32_t Flush();
    virtual CTLFileObj* Duplicate();
    virtual uint32_t Close();
    virtual uint32_t CopyTo(const char* newName);
    virtual uint32_t CopyFromFile(const char* sourceName);
    // Empties this file and copies the other's content in; the bytes copied.
    virtual uint32_t CopyFrom(CTLFileObj* other);
    virtual uint32_t AttachTo(CTLFileObj* other);
    virtual CTLFileObj* Clone();
    virtual CTLFileObj* OpenNew(const char* name, uint32_t mode);

    bool IsOpen() const { return m_file != nullptr && m_file->IsOpen(); }
    bool IsMemoryMode() const;
    uint32_t SeekToBegin() { return Seek64(0, 0); }
    uint64_t GetPosition();
    uint8_t* GetBuffer();
    // Pointer at the position; *length (in: wanted) is clamped to what remains.
    uint8_t* GetDataAt(uint32_t* length);
    const char* GetFullPath() const { return m_name.GetString(); }
    uint32_t GetMode() const { return m_mode; }
    // Whether the memory block is a mapping rather than a heap block.
    bool IsMapped() const { return m_file != nullptr && m_file->IsMapped(); }
    uint32_t GetStatus(TLFileStatusRecord* out);

protected:
    // A new object of this object's class (from its class record).
    CTLFileObj* NewOfSameClass() const;
    bool IsReadOnly() const { return (m_mode & TL_FMODE_READONLY) != 0; }
    bool IsFixed() const { return (m_mode & TL_FMODE_FIXED) != 0; }
    CFileBase* Store() const { return m_file; }
    // A memory store of `len` bytes that the caller fills whole before
    // anything reads them (they are not zero-filled first).
    uint32_t OpenMemoryToFill(uint32_t len);
    // Takes mem as this object's store in mode when rc is 0; else frees it.
    uint32_t AdoptMemory(CMemFileBase* mem, uint32_t rc, uint32_t mode);

    uint32_t m_mode = 0;
    CTLString m_name;
    CFileBase* m_file = nullptr;
};

}  // namespace corvane
