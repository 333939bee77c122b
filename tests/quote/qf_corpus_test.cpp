// The seed corpus of the quote-file fuzz target: one image of each family
// and block kind, made by the test writer. With KVO_WRITE_CORPUS set to a
// folder this test (re)writes the files there; otherwise it checks that the
// committed corpus holds every seed byte for byte.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

#include "tests/support/quote_writer.h"

namespace {

std::map<std::string, qw::Bytes> Seeds() {
  qw::Table t = qw::MakeTable({{0x1001, 0, 8}, {0x7002, 0, 4}, {0x3003, 0, 4}, {0x0004, 0, 8}, {0x2005, 0, 6}}, 6);
  for (uint32_t r = 0; r < 6; ++r) {
    qw::SetText(t, r, 0, r < 3 ? "60000011" : "60003622");
    qw::SetU32(t, r, 1, 0x10000000u + 5000 + r);
    qw::SetU32(t, r, 2, r * 300);
    qw::SetU64(t, r, 3, 0x0800000000000000ull | r);
    qw::SetText(t, r, 4, r % 2 ? "abc" : "abcdef");
  }
  qw::SetAbsent(t, 4, 1);
  t.codes = {{"60000011", 0, 3}, {"60003622", 3, 3}};
  std::map<std::string, qw::Bytes> s;
  s["native_index"] = qw::NativeImage(t);
  qw::Table plain = t;
  plain.codes.clear();
  s["native_plain"] = qw::NativeImage(plain);
  for (const char* v : {"hd1.0", "hd3.0", "hd3.1", "hd5.0", "hd5.1"}) {
    qw::CompactOptions o;
    o.version = v;
    s[std::string("compact_") + v] = qw::CompactImage(t, o);
  }
  qw::CompactOptions high;
  high.highIds = true;
  qw::Table th = t;
  th.columns[0].id |= 0x20000;
  s["compact_high_ids"] = qw::CompactImage(th, high);
  s["hq6_raw"] = qw::Hq6Image(t, 0);
  s["hq6_snappy"] = qw::Hq6Image(t, 0x10);
  s["hq6_snappy_noindex"] = qw::Hq6Image(plain, 0x10);
  return s;
}

TEST(QfCorpus, SeedsMatchTheWriter) {
  const char* out = std::getenv("KVO_WRITE_CORPUS");
  if (out != nullptr) {
    std::filesystem::create_directories(out);
    for (const auto& [name, bytes] : Seeds()) {
      std::ofstream f(std::filesystem::path(out) / name, std::ios::binary);
      f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    }
    return;
  }
  const char* src = std::getenv("KVO_SOURCE_DIR");
  if (src == nullptr) GTEST_SKIP() << "KVO_SOURCE_DIR not set";
  std::filesystem::path dir = std::filesystem::path(src) / "tests/fuzz/corpus/quotefile";
  for (const auto& [name, bytes] : Seeds()) {
    std::ifstream f(dir / name, std::ios::binary);
    ASSERT_TRUE(f.good()) << name;
    qw::Bytes got((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    EXPECT_EQ(got, bytes) << name;
  }
}

}  // namespace
