// Named shared memory: blocks in shared mappings named "corvane_share_mem_%d",
// whose numbers are handed out through the registry key
// "Software/Tarvenick/corvane/sharememory", so that every process that asks
// for one block name maps the same block; and corvane::CShareMemFileBase, the
// store of a file object opened with store 0x4000.
//
// A block is one mapping: u64 usable size (mapping size - 12), the byte 12
// (distance to the user data), the signature FA FB FC, then the user data,
// zero when the mapping is created. The mapping size is the requested size
// plus 12, rounded up to a multiple of 4096. Callers hold a pointer to the
// user data.
#pragma once

#include <cstdint>

#include "framework/tl_filebase.h"
#include "framework/tl_string.h"

// The shared store's own result: the file to read into a block is empty.
constexpr uint32_t TL_FOBJ_E_EMPTY_FILE = 0x80020022;

// Names and numbers of the block registry.
constexpr char TL_SHAREMEM_KEY[] = "Software/Tarvenick/corvane/sharememory";
constexpr char TL_SHAREMEM_ALLOC_VALUE[] = "__alloc_key__";
constexpr char TL_SHAREMEM_MUTEX[] = "corvane.share.mem.mutex";
constexpr char TL_SHAREMEM_MAPPING_FORMAT[] = "corvane_share_mem_%d";
constexpr uint32_t TL_SHAREMEM_FIRST_NUMBER = 1024;  // "__alloc_key__" of a new key
constexpr uint32_t TL_SHAREMEM_HEAD = 12;

// A block of at least `size` usable bytes. With a name, the block that the
// name's number maps when it is large enough (size 0: whatever size it has);
// otherwise a new block under a new number. Without a name, an unnamed block
// (size 0: null). Null on any failure, which leaves nothing mapped. Holds the
// system-wide mutex "corvane.share.mem.mutex" for the whole call.
void* TL_AllocShareMem(uint64_t size, const char* name);

// Unmaps a block that this process mapped with TL_AllocShareMem; any other
// pointer (null included) is ignored. Numbers stay taken.
void TL_FreeShareMem(void* p);

// The usable size of a block that this process has mapped, 0 for any other
// pointer (null included). Pointers are looked up among this process's views
// before the block's head is read.
uint64_t TL_GetShareMemSize(const void* p);

// The system name of block number n's mapping ("corvane_share_mem_<n>").
corvane::CTLString TL_ShareMemMappingName(uint32_t number);

namespace corvane {

// A file store over a shared block: Open reads a disk file into the block
// named after the file, whose size is fixed (the usable size is the length).
class CShareMemFileBase : public CFileBase {
public:
    CShareMemFileBase() = default;
    ~CShareMemFileBase() override;
    CShareMemFileBase(const CShareMemFileBase&) = delete;
    CShareMemFileBase& operator=(const CShareMemFileBase&) = delete;

    // The mode is not used: the disk file is opened existing and read only,
    // must not be empty (0x80020022), and is read whole into the block named
    // by the file name (0x8002001C when there is none).
    uint32_t Open(const char* name, uint32_t mode) override;
    uint32_t Close() override;
    bool IsOpen() const override { return m_pData != nullptr; }
    uint32_t GetStatus(TLFileStatusRecord* out) override;
    // The 32-bit position moves without bounds (origin 0 start, 1 current,
    // 2 end; any other origin leaves it) and the new position is returned.
    uint32_t Seek(int32_t offset, int origin) override;
    uint64_t GetPosition64() override { return m_nPos; }
    // As Seek, returning 0 like the other stores.
    uint32_t Seek64(int64_t offset, int origin) override;
    // Blocks never change size: 0x80020014.
    uint32_t SetLength64(int64_t length, uint8_t fill) override;
    // The block's usable size.
    uint64_t GetLength64() override { return m_nLength; }
    uint32_t Read(void* buffer, uint32_t size) override;
    // size < 1 gives 0, size x count < 1 0x80020015, a range that passes the
    // length 0x80020014; otherwise the bytes (or the fill byte for null data)
    // are put at the position, which moves past them. Returns size x count.
    uint32_t Write(const void* data, uint32_t size, uint32_t count, uint8_t fill) override;
    // A new store opened on the same file name (which reads the file into the
    // same block again); null when that fails.
    CFileBase* Duplicate() override;
    uint8_t* GetDataBlock() override { return m_pData; }
    // Null when the length asked is below 1, the position is negative as a
    // 32-bit value or nothing remains; else the length is cut to what remains.
    uint8_t* GetDataAt(uint32_t* length) override;
    // Writes the whole usable size to a disk file created anew (the new name,
    // else the own name; 0x80020003 when both are empty).
    uint32_t CopyTo(const char* ownName, const char* newName) override;
    // Closes and opens again on the source name (else the own name).
    uint32_t CopyFromFile(const char* ownName, const char* sourceName) override;
    uint32_t MoveBlock(uint64_t from, uint64_t to, uint64_t length, uint8_t fill) override;
    bool IsMapped() const override { return true; }

private:
    uint8_t* m_pData = nullptr;
    uint32_t m_nLength = 0;
    uint32_t m_nPos = 0;
    uint32_t m_nMode = 0;
    CTLString m_name;  // the file name the block was read from
};

}  // namespace corvane
