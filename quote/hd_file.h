// File objects over compact-header quote files of the "hd1." family that
// keep the file's head (every byte before the record data: header, column
// table, high halves of the field ids, code index) and can write it back;
// CDataTransFile also holds a transfer-state block; CReadBuffer is a named
// byte buffer that chains to further buffers and serialises itself through
// the typed archive.
//
// Compact header (16 bytes, then 4 bytes per column):
//   0  5 bytes version text ("hd1.0")
//   5  u8  data offset bits 18-25
//   6  u32 bits 0-23 record count, bits 24-31 flag byte
//   10 u16 data offset bits 0-15
//   12 u16 record size
//   14 u16 bits 0-13 column count, bits 14-15 data offset bits 16-17
#pragma once

#include <cstdint>

#include "framework/tl_buffer.h"
#include "framework/tl_fileobj.h"
#include "framework/tl_string.h"

// Results of the header check.
constexpr int16_t HD_HEAD_VALID = 0;
constexpr int16_t HD_HEAD_OTHER = 1;  // not an "hd1." file
constexpr int16_t HD_HEAD_INVALID = -1;
constexpr uint32_t HD_HEAD_FIXED = 20;  // bytes read for the header check

// The fields of a compact header at p (at least 16 bytes).
struct HdHeader {
    uint32_t dataOffset = 0;
    uint32_t records = 0;
    uint32_t recordSize = 0;
    uint32_t columns = 0;
    uint32_t flags = 0;
    uint64_t DataEnd() const { return uint64_t(dataOffset) + uint64_t(records) * recordSize; }
};
HdHeader HD_ReadHeader(const uint8_t* p);

// The header check of the 20 bytes at p: 1 when the version text is empty or
// does not begin "hd1."; -1 when the data offset, record size or column
// count is below 1, or the data offset lies inside the header
// (16 + 4 x columns, plus 2 x columns with flag bit 0); else 0.
int16_t HD_CheckHeader(const uint8_t* p);

class CHdFile : public corvane::CTLFileObj {
public:
    CHdFile() = default;
    ~CHdFile() override;

    TLRuntimeClass* GetRuntimeClass() const override;
    static TLRuntimeClass classCHdFile;

    // Open, a head kept that passes the header check, and the data end
    // within the file.
    bool IsDataComplete() override;
    // Opens the file (the base open's code is returned as it is) and keeps its
    // head. Flag 0x10 on a file in memory keeps the file's own bytes as the
    // head; flag 0x20 also accepts a file that is no "hd1." file. A file
    // shorter than 20 bytes opens without a head. Any other failure closes the
    // file and gives 0x80020001.
    uint32_t Open(const char* name, uint32_t mode) override;
    // The base OpenMemory, then a copy of the image's head; 0x80020001 (and
    // closed) for an image that fails the header check or is shorter than 20
    // bytes or than its head.
    uint32_t OpenMemory(const void* data, uint32_t len, uint32_t cap) override;
    uint32_t Close() override;
    // Writes the head back over the start of a file in memory (not read only),
    // its length set to the data end first, then the content to the disk file
    // of the new name (the kept name when empty). 0x80020001 for a file that
    // is not open, read only, on disk, or without a head.
    uint32_t CopyTo(const char* newName) override;

    // Hooks for derived classes; nothing here (0).
    virtual uint32_t Prepare() { return 0; }
    virtual uint32_t Complete() { return 0; }
    // 1 when CopyTo of the name's full path succeeds, else 0.
    virtual int SaveAs(const char* name);
    // Lets go of the head: a copy is freed, the file's own bytes forgotten.
    virtual void ReleaseHead();

    int16_t GetHeaderResult() const { return m_nCheck; }
    const uint8_t* GetHead() const { return m_pHead; }
    uint32_t GetHeadLength() const { return m_nHeadLength; }

protected:
    // Frees an owned head and forgets any; not virtual, so derived state stays.
    void FreeHead();

private:
    uint32_t OpenFailed();

    int16_t m_nCheck = HD_HEAD_OTHER;
    uint8_t* m_pHead = nullptr;  // the kept head, or null
    uint32_t m_nHeadLength = 0;  // data-offset bytes of head
    bool m_bOwnHead = false;     // m_pHead is a copy (TL_Allocate)
};

class CDataTransFile : public CHdFile {
public:
    static constexpr uint32_t kStateSize = 12;

    CDataTransFile() = default;
    ~CDataTransFile() override;

    TLRuntimeClass* GetRuntimeClass() const override;
    static TLRuntimeClass classCDataTransFile;

    uint32_t Close() override;
    void ReleaseHead() override;
    // CHdFile::Open; on success a zero-filled transfer state is made when
    // there is none.
    virtual uint32_t OpenTransfer(const char* name, uint32_t mode);

    uint8_t* GetTransferState() const { return m_pState; }

private:
    void FreeState();
    uint8_t* m_pState = nullptr;
};

class CReadBuffer : public corvane::CTLSmartBuffer {
public:
    CReadBuffer() = default;
    ~CReadBuffer() override;

    TLRuntimeClass* GetRuntimeClass() const override;
    static TLRuntimeClass classCReadBuffer;

    // Storing: length, content, the three values, the name and whether a
    // next buffer follows, then the next buffer's items, along the chain.
    // Loading resets first and builds the chain again. Archive failures are
    // not reported; a buffer keeps what was read.
    void Serialize(HugeDataArchive& ar) override;

    // Empties the buffer and deletes the rest of the chain (and an owner).
    void Reset();

    // Shows `len` bytes that belong to `owner`, which the buffer now owns and
    // deletes when it is reset.
    void Adopt(corvane::CTLObject* owner, char* data, uint32_t len);

    // Appends `next` (owned) at the end of the chain.
    void Chain(CReadBuffer* next);

    corvane::CTLString m_name;
    corvane::CTLObject* m_pOwner = nullptr;
    uint32_t m_nValue1 = 0;
    uint16_t m_nValue2 = 0xFFFF;
    uint16_t m_nValue3 = 0;
    CReadBuffer* m_pNext = nullptr;

private:
    void StoreOne(HugeDataArchive& ar);
    bool LoadOne(HugeDataArchive& ar);
};
