#include "tests/support/corpus_seeds.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace kvotest {

void CheckOrWriteSeeds(const char* target, const Seeds& seeds) {
    if (const char* out = std::getenv("KVO_WRITE_CORPUS")) {
        const std::filesystem::path dir = std::filesystem::path(out) / target;
        std::filesystem::create_directories(dir);
        for (const auto& [file, bytes] : seeds) {
            std::ofstream f(dir / file, std::ios::binary);
            f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        }
        return;
    }
    const char* src = std::getenv("KVO_SOURCE_DIR");
    if (src == nullptr) GTEST_SKIP() << "KVO_SOURCE_DIR not set";
    const std::filesystem::path dir = std::filesystem::path(src) / "tests/fuzz/corpus" / target;
    for (const auto& [file, bytes] : seeds) {
        std::ifstream f(dir / file, std::ios::binary);
        ASSERT_TRUE(f.good()) << target << "/" << file;
        std::vector<uint8_t> got((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        EXPECT_EQ(got, bytes) << target << "/" << file;
    }
}

}  // namespace kvotest
