// Fuzz target over HD files: the image opened in memory (copied, and in
// place through a file), on disk with and without flag 0x20, as a transfer
// file, and its head checked and written back into memory.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "quote/hd_file.h"

namespace {

volatile uint32_t g_sink;

// A scratch file in the temporary folder holding the image; removed when
// the input is done.
struct Scratch {
    explicit Scratch(const std::vector<uint8_t>& img) {
        const char* dir = getenv("TMPDIR");
        std::string tmpl = std::string(dir && *dir ? dir : "/tmp") + "/kvo_hdfuzz_XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        const int fd = mkstemp(buf.data());
        if (fd < 0) return;
        path = buf.data();
        ok = img.empty() || write(fd, img.data(), img.size()) == ssize_t(img.size());
        close(fd);
    }
    ~Scratch() {
        if (!path.empty()) unlink(path.c_str());
    }
    std::string path;
    bool ok = false;
};

void Look(CHdFile& f) {
    g_sink = g_sink + (f.IsDataComplete() ? 1 : 0) + f.GetHeadLength();
    if (const uint8_t* h = f.GetHead()) g_sink = g_sink + h[0] + h[f.GetHeadLength() > 0 ? f.GetHeadLength() - 1 : 0];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> img(data, data + size);
    {
        CHdFile f;
        if (f.OpenMemory(img.data(), uint32_t(img.size()), 0) == 0) Look(f);
    }
    const Scratch file(img);
    if (!file.ok) return 0;
    for (uint32_t mode : {0x2001u, 0x2021u, 0x3001u, 0x3011u, 0x3031u}) {
        CHdFile f;
        if (f.Open(file.path.c_str(), mode) != 0) continue;
        Look(f);
        // Writing the head back changes only the memory image (the copy's name
        // is refused as a folder); files stating huge data ends are left alone.
        if ((mode & 0xF000) == 0x3000 && f.GetHead() && HD_ReadHeader(f.GetHead()).DataEnd() <= (1u << 24))
            g_sink = g_sink + f.CopyTo("/");
    }
    CDataTransFile t;
    if (t.OpenTransfer(file.path.c_str(), 0x3021) == 0) Look(t);
    return 0;
}
