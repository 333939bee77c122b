// Seed corpora of the fuzz targets made by the tests' writers. With
// KVO_WRITE_CORPUS set to a folder the seeds are (re)written into its
// subfolder of the target's name; otherwise the committed corpus in
// tests/fuzz/corpus/<name>/ must hold every seed byte for byte (ctest sets
// KVO_SOURCE_DIR).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace kvotest {

using Seeds = std::map<std::string, std::vector<uint8_t>>;

void CheckOrWriteSeeds(const char* target, const Seeds& seeds);

}  // namespace kvotest
