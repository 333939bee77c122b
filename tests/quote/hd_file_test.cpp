// HD files, transfer files and read buffers: compact-header files written by
// the test writer opened on disk, in memory, in place and in shared memory,
// their heads kept and written back; hostile heads refused; read buffers
// stored item by item and loaded again, chains included.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "framework/tl_archive.h"
#include "quote/hd_file.h"
#include "simulator/quote_writer.h"
#include "tests/support/archive_writer.h"
#include "tests/support/shared_scope.h"

using kvotest::ArchiveBytes;
using kvotest::operator+;

namespace {

// A compact "hd1.0" image of three records over two columns with a code
// index (flag bit 0 when highIds).
qw::Bytes Image(bool highIds = false, const std::string& version = "hd1.0") {
    qw::Table t = qw::MakeTable({{0x3001, 0, 4}, {0x1005, 0, 8}}, 3);
    for (uint32_t r = 0; r < 3; ++r) {
        qw::SetU32(t, r, 0, 100 + r);
        qw::SetText(t, r, 1, "C" + std::to_string(r));
    }
    t.codes = {{"600000", 0, 2}, {"600001", 2, 1}};
    qw::CompactOptions o;
    o.version = version;
    o.highIds = highIds;
    return qw::CompactImage(t, o);
}

uint32_t DataOffset(const qw::Bytes& img) {
    return uint32_t(img[10] | (img[11] << 8)) | (uint32_t(img[15] >> 6) << 16) | (uint32_t(img[5]) << 18);
}

class HdFileTest : public kvotest::SharedScopeTest {
protected:
    HdFileTest() : SharedScopeTest("kvo_hd") {}
    std::string Put(const std::string& name, const qw::Bytes& b) const {
        const std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
        return path;
    }
};

TEST(HdHeader, CheckVectors) {
    uint8_t h[20] = {'h', 'd', '1', '.', '0'};
    auto set = [&](uint32_t offset, uint16_t size, uint16_t columns, uint8_t flags) {
        h[5] = uint8_t(offset >> 18);
        h[6] = h[7] = h[8] = 0;
        h[9] = flags;
        h[10] = uint8_t(offset);
        h[11] = uint8_t(offset >> 8);
        h[12] = uint8_t(size);
        h[13] = uint8_t(size >> 8);
        h[14] = uint8_t(columns);
        h[15] = uint8_t((columns >> 8) | (((offset >> 16) & 3) << 6));
    };
    // Offset, record size, columns, flags (bit 0: a code index of 12-byte
    // entries), and what the check says.
    const struct {
        uint32_t offset;
        uint16_t size, columns;
        uint8_t flags;
        int result;
    } cases[] = {{20, 4, 1, 0, 0},  {19, 4, 1, 0, -1}, {22, 4, 1, 1, 0}, {21, 4, 1, 1, -1},
                 {40, 0, 1, 0, -1}, {40, 4, 0, 0, -1}, {0, 4, 1, 0, -1}, {0x3FFFFFF, 4, 3, 0, 0}};
    for (const auto& c : cases) {
        set(c.offset, c.size, c.columns, c.flags);
        EXPECT_EQ(HD_CheckHeader(h), c.result) << c.offset;
    }
    EXPECT_EQ(HD_ReadHeader(h).dataOffset, 0x3FFFFFFu);  // every bit of the data offset
    std::memcpy(h, "hd3.0", 5);
    EXPECT_EQ(HD_CheckHeader(h), 1);
    h[0] = 0;
    EXPECT_EQ(HD_CheckHeader(h), 1);
}

TEST_F(HdFileTest, HeadsKeptOnEveryStore) {
    for (bool high : {false, true}) {
        const qw::Bytes img = Image(high);
        const uint32_t offset = DataOffset(img);
        ASSERT_GT(offset, 20u + (high ? 12u : 8u));  // header, then the code index
        const std::string path = Put(high ? "high" : "plain", img);
        // Disk, memory, memory in place (flag 0x10) and a shared block.
        for (uint32_t mode : {0x2001u, 0x3001u, 0x3011u, 0x4001u}) {
            CHdFile f;
            ASSERT_EQ(f.Open(path.c_str(), mode), 0u) << std::hex << mode;
            EXPECT_EQ(f.GetHeaderResult(), 0);
            ASSERT_NE(f.GetHead(), nullptr);
            EXPECT_EQ(f.GetHeadLength(), offset);
            EXPECT_EQ(std::memcmp(f.GetHead(), img.data(), offset), 0);
            const bool inPlace = (f.GetMode() & 0x10) != 0;
            EXPECT_EQ(f.GetHead() == f.GetBuffer(), inPlace) << std::hex << mode;
            EXPECT_TRUE(f.IsDataComplete()) << std::hex << mode;
            f.Close();
            EXPECT_EQ(f.GetHead(), nullptr);
            EXPECT_FALSE(f.IsDataComplete());
        }
        CHdFile m;
        ASSERT_EQ(m.OpenMemory(img.data(), uint32_t(img.size()), 0), 0u);
        EXPECT_EQ(m.GetHeadLength(), offset);
        EXPECT_NE(m.GetHead(), m.GetBuffer());
        EXPECT_TRUE(m.IsDataComplete());
    }
    // Records missing at the end: the file opens, its data is not complete.
    qw::Bytes cut = Image();
    cut.resize(cut.size() - 1);
    CHdFile c;
    ASSERT_EQ(c.Open(Put("cut", cut).c_str(), 0x2001), 0u);
    EXPECT_FALSE(c.IsDataComplete());
}

TEST_F(HdFileTest, OtherFilesShortFilesAndHostileHeads) {
    // Not an "hd1." file: refused, unless flag 0x20 lets it in with the head
    // its own data offset gives.
    const qw::Bytes other = Image(false, "hd3.0");
    const std::string otherPath = Put("other", other);
    CHdFile f;
    EXPECT_EQ(f.Open(otherPath.c_str(), 0x2001), 0x80020001u);
    EXPECT_FALSE(f.IsOpen());
    ASSERT_EQ(f.Open(otherPath.c_str(), 0x2021), 0u);
    EXPECT_EQ(f.GetHeaderResult(), 1);
    EXPECT_EQ(f.GetHeadLength(), DataOffset(other));
    EXPECT_FALSE(f.IsDataComplete());
    f.Close();
    ASSERT_EQ(f.Open(otherPath.c_str(), 0x3031), 0u);  // in place
    EXPECT_EQ(f.GetHead(), f.GetBuffer());
    f.Close();
    EXPECT_EQ(f.OpenMemory(other.data(), uint32_t(other.size()), 0), 0x80020001u);

    // Twelve bytes: open, without a head.
    const qw::Bytes img = Image();
    const std::string shortPath = Put("short", qw::Bytes(img.begin(), img.begin() + 12));
    CHdFile s;
    ASSERT_EQ(s.Open(shortPath.c_str(), 0x2001), 0u);
    EXPECT_EQ(s.GetHead(), nullptr);
    EXPECT_FALSE(s.IsDataComplete());
    s.Close();
    ASSERT_EQ(s.Open(shortPath.c_str(), 0x3001), 0u);
    EXPECT_EQ(s.CopyTo((dir_ + "/out").c_str()), 0x80020001u);  // no head to write back
    EXPECT_EQ(s.SaveAs((dir_ + "/out").c_str()), 0);
    s.Close();
    EXPECT_EQ(s.Open(shortPath.c_str(), 0x3011), 0x80020001u);  // in place needs 20 bytes
    EXPECT_EQ(s.OpenMemory(img.data(), 12, 0), 0x80020001u);

    // A data offset beyond the file: no head is read or allocated past it.
    qw::Bytes far = img;
    far[5] = 0xFF;  // data offset bits 18-25
    const std::string farPath = Put("far", far);
    for (uint32_t mode : {0x2001u, 0x3001u, 0x3011u, 0x4001u}) {
        CHdFile h;
        EXPECT_EQ(h.Open(farPath.c_str(), mode), 0x80020001u) << std::hex << mode;
        EXPECT_FALSE(h.IsOpen());
    }
    CHdFile h;
    EXPECT_EQ(h.OpenMemory(far.data(), uint32_t(far.size()), 0), 0x80020001u);
    // A head shorter than the fixed 20 bytes (accepted as another file): it
    // is still read whole for later checks.
    qw::Bytes tiny = other;
    tiny[10] = 3;
    tiny[11] = 0;
    tiny[15] &= 0x3F;
    tiny[5] = 0;
    CHdFile t;
    ASSERT_EQ(t.Open(Put("tiny", tiny).c_str(), 0x2021), 0u);
    EXPECT_EQ(t.GetHeadLength(), 3u);
    EXPECT_FALSE(t.IsDataComplete());
}

TEST_F(HdFileTest, CopyToWritesTheHeadBack) {
    const qw::Bytes img = Image();
    const uint32_t offset = DataOffset(img);
    qw::Bytes padded = img;
    padded.resize(img.size() + 50, 0x77);  // bytes after the data end
    const std::string path = Put("src", padded);

    CHdFile disk;
    ASSERT_EQ(disk.Open(path.c_str(), 0x2001), 0u);
    EXPECT_EQ(disk.CopyTo((dir_ + "/x").c_str()), 0x80020001u);
    CHdFile ro;
    ASSERT_EQ(ro.Open(path.c_str(), 0x3005), 0u);
    EXPECT_EQ(ro.CopyTo((dir_ + "/x").c_str()), 0x80020001u);

    CHdFile mem;
    ASSERT_EQ(mem.Open(path.c_str(), 0x3001), 0u);
    // The head in the file is spoilt; the kept head puts it right.
    mem.Seek(0, 0);
    mem.Write("zzzz", 4);
    EXPECT_EQ(mem.SaveAs((dir_ + "/copy").c_str()), 1);
    const std::string copy = kvotest::ReadWholeFile(dir_ + "/copy");
    EXPECT_EQ(copy, std::string(img.begin(), img.end()));  // trimmed to the data end
    EXPECT_EQ(mem.GetLength(), img.size());

    // In place, the store cannot shrink: the bytes after the data stay.
    CHdFile fixed;
    ASSERT_EQ(fixed.Open(path.c_str(), 0x3011), 0u);
    EXPECT_EQ(fixed.CopyTo((dir_ + "/fixed").c_str()), 0u);
    EXPECT_EQ(kvotest::ReadWholeFile(dir_ + "/fixed"), std::string(padded.begin(), padded.end()));
    // A head whose records do not fit the store: not written.
    qw::Bytes more = img;
    more[6] = 200;  // record count
    CHdFile big;
    ASSERT_EQ(big.OpenMemory(more.data(), uint32_t(more.size()), 0xFFFFFFFC), 0u);  // fixed copy
    EXPECT_NE(big.CopyTo((dir_ + "/big").c_str()), 0u);
    EXPECT_EQ(offset, big.GetHeadLength());
}

TEST_F(HdFileTest, TransferFilesAndClassRecords) {
    const std::string path = Put("t", Image());
    CDataTransFile t;
    EXPECT_EQ(t.GetTransferState(), nullptr);
    ASSERT_EQ(t.OpenTransfer(path.c_str(), 0x3001), 0u);
    ASSERT_NE(t.GetTransferState(), nullptr);
    for (uint32_t i = 0; i < CDataTransFile::kStateSize; ++i) EXPECT_EQ(t.GetTransferState()[i], 0);
    EXPECT_NE(t.GetHead(), nullptr);
    t.Close();  // releases the head and the state once each
    EXPECT_EQ(t.GetTransferState(), nullptr);
    EXPECT_EQ(t.GetHead(), nullptr);
    EXPECT_EQ(t.Close(), 0u);
    EXPECT_EQ(t.OpenTransfer((dir_ + "/missing").c_str(), 0x3001), 0x80020002u);
    EXPECT_EQ(t.GetTransferState(), nullptr);
    ASSERT_EQ(t.OpenTransfer(path.c_str(), 0x3001), 0u);  // destroyed while open

    // Objects made from the class records.
    for (const TLRuntimeClass* r :
         {&CDataTransFile::classCDataTransFile, &CHdFile::classCHdFile, &CReadBuffer::classCReadBuffer}) {
        corvane::CTLObject* o = TL_CreateObject(r);
        ASSERT_NE(o, nullptr);
        EXPECT_EQ(o->GetRuntimeClass(), r);
        delete o;
    }
    // A clone made from the record keeps a head of its own.
    CHdFile src;
    ASSERT_EQ(src.Open(path.c_str(), 0x3001), 0u);
    corvane::CTLFileObj* clone = src.Clone();
    ASSERT_NE(clone, nullptr);
    auto* hd = dynamic_cast<CHdFile*>(clone);
    ASSERT_NE(hd, nullptr);
    EXPECT_EQ(hd->GetHeadLength(), src.GetHeadLength());
    EXPECT_NE(hd->GetHead(), src.GetHead());
    delete clone;
}

int g_ownersDeleted = 0;
struct Owner : corvane::CTLObject {
    char bytes[8] = "owned";
    ~Owner() override { ++g_ownersDeleted; }
};

ArchiveBytes Store(CReadBuffer& b) {
    corvane::CTLSmartBuffer sink;
    HugeDataArchive ar = HugeDataArchive::StoreTo(&sink);
    b.Serialize(ar);
    const auto* p = reinterpret_cast<const uint8_t*>(sink.GetData());
    return ArchiveBytes(p, p + sink.GetLength());
}

TEST(ReadBuffer, StoredItemByItemAndLoadedAgain) {
    CReadBuffer b;
    b.Append("abc", 3);
    b.m_name = "x";
    EXPECT_EQ(b.m_nValue2, 0xFFFF);
    EXPECT_EQ(Store(b), kvotest::ArchiveReadBuffer("abc", 0, 0xFFFF, 0, "x", false));
    EXPECT_EQ(Store(b), kvotest::ArchiveI32({3}) + kvotest::ArchiveI8({'a', 'b', 'c'}) + kvotest::ArchiveI32({0}) +
                            kvotest::ArchiveI32({0xFFFF}) + kvotest::ArchiveI16({0}) + kvotest::ArchiveText("x") +
                            kvotest::ArchiveI32({0}));

    // A chain of three, one of them empty, one holding an owner's bytes.
    auto* second = new CReadBuffer;
    second->m_name = "second";
    second->m_nValue1 = 7;
    second->m_nValue2 = 0x1234;
    second->m_nValue3 = 0xBEEF;
    auto* third = new CReadBuffer;
    auto* owner = new Owner;
    third->Adopt(owner, owner->bytes, 5);
    third->m_name = "third";
    b.Chain(second);
    b.Chain(third);
    const ArchiveBytes chain = Store(b);
    EXPECT_EQ(chain, kvotest::ArchiveReadBuffer("abc", 0, 0xFFFF, 0, "x", true) +
                         kvotest::ArchiveReadBuffer("", 7, 0x1234, 0xBEEF, "second", true) +
                         kvotest::ArchiveReadBuffer("owned", 0, 0xFFFF, 0, "third", false));

    // Loading resets the buffer (deleting the chain and the owner) first.
    CReadBuffer loaded;
    loaded.Append("old content", 11);
    loaded.m_name = "old";
    loaded.Chain(new CReadBuffer);
    HugeDataArchive in = HugeDataArchive::LoadFrom(chain.data(), uint32_t(chain.size()));
    TL_CallSerialize(&loaded, &in);
    EXPECT_EQ(in.byteCount, chain.size());
    EXPECT_EQ(std::string(loaded.GetData(), loaded.GetLength()), "abc");
    EXPECT_EQ(loaded.m_name, "x");
    ASSERT_NE(loaded.m_pNext, nullptr);
    EXPECT_EQ(loaded.m_pNext->GetLength(), 0u);
    EXPECT_EQ(loaded.m_pNext->m_nValue1, 7u);
    EXPECT_EQ(loaded.m_pNext->m_nValue2, 0x1234);
    EXPECT_EQ(loaded.m_pNext->m_nValue3, 0xBEEF);
    ASSERT_NE(loaded.m_pNext->m_pNext, nullptr);
    EXPECT_EQ(std::string(loaded.m_pNext->m_pNext->GetData(), 5), "owned");
    EXPECT_EQ(loaded.m_pNext->m_pNext->m_pNext, nullptr);
    EXPECT_EQ(g_ownersDeleted, 0);
    b.Reset();
    EXPECT_EQ(g_ownersDeleted, 1);
    EXPECT_EQ(b.m_pNext, nullptr);
    EXPECT_EQ(b.GetLength(), 0u);
}

TEST(ReadBuffer, HostileAndOversizedArchives) {
    // Content longer than an item holds is left out of the stream, which
    // stays readable; loading gives an empty content.
    CReadBuffer big;
    std::string text(70000, 'b');
    big.Append(text.data(), uint32_t(text.size()));
    big.m_name = "big";
    const ArchiveBytes stored = Store(big);
    EXPECT_EQ(stored, kvotest::ArchiveI32({70000}) + kvotest::ArchiveI32({0}) + kvotest::ArchiveI32({0xFFFF}) +
                          kvotest::ArchiveI16({0}) + kvotest::ArchiveText("big") + kvotest::ArchiveI32({0}));
    CReadBuffer back;
    HugeDataArchive in = HugeDataArchive::LoadFrom(stored.data(), uint32_t(stored.size()));
    back.Serialize(in);
    EXPECT_EQ(back.GetLength(), 0u);
    EXPECT_EQ(back.m_name, "big");

    // A stated length without its content, and a huge stated length: nothing
    // is reserved for what is not there.
    const ArchiveBytes lying = kvotest::ArchiveI32({0x7FFFFFFF}) + kvotest::ArchiveI32({1}) + kvotest::ArchiveI32({2}) +
                               kvotest::ArchiveI16({3}) + kvotest::ArchiveText("n") + kvotest::ArchiveI32({0});
    CReadBuffer l;
    in = HugeDataArchive::LoadFrom(lying.data(), uint32_t(lying.size()));
    l.Serialize(in);
    EXPECT_EQ(l.GetLength(), 0u);
    EXPECT_LT(l.GetCapacity(), 4096u);
    EXPECT_EQ(l.m_nValue1, 1u);
    EXPECT_EQ(l.m_nValue3, 3);
    const ArchiveBytes missing = kvotest::ArchiveI32({10});  // and nothing after it
    in = HugeDataArchive::LoadFrom(missing.data(), uint32_t(missing.size()));
    l.Serialize(in);
    EXPECT_EQ(l.GetLength(), 0u);

    // A long chain is built and taken apart link by link.
    ArchiveBytes longChain;
    const ArchiveBytes link = kvotest::ArchiveReadBuffer("", 1, 2, 3, "", true);
    for (int i = 0; i < 50000; ++i) longChain.insert(longChain.end(), link.begin(), link.end());
    CReadBuffer head;
    in = HugeDataArchive::LoadFrom(longChain.data(), uint32_t(longChain.size()));
    head.Serialize(in);
    int links = 0;
    for (const CReadBuffer* b = &head; b != nullptr; b = b->m_pNext) ++links;
    EXPECT_EQ(links, 50001);  // the last asks for one more, which finds nothing
}

}  // namespace
