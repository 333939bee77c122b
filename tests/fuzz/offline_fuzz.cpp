// Fuzzes the readers of the offline playback files: the bytes are read as
// each of the six CSV files and as "codelist.ini". Whatever they hold, every
// record is filled within its buffer (sized exactly, so an overrun shows), a
// queue record carries the count it holds, and the snapshot queries give one
// record per code. The sample files of examples/offline are seeds too.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "cascade/offline_files.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

const OfflineFile kFiles[] = {OfflineFile::kIndex, OfflineFile::kStock, OfflineFile::kQueue,
                              OfflineFile::kOrder, OfflineFile::kTrans, OfflineFile::kSuperStock};

void Play(OfflineFile file, const uint8_t* data, size_t size, std::string* firstMarket) {
    OfflineCsvReader reader(file);
    reader.OpenMemory(data, size);
    const size_t room = OfflineRecordSize(file);
    uint64_t rows = 0;
    while (reader.NextRow()) {
        Check(reader.RowsRead() == ++rows);
        if (!reader.Usable()) continue;
        if (firstMarket->empty()) *firstMarket = std::string(reader.Field("market"));
        std::vector<unsigned char> record(room);  // exactly the buffer's size
        const size_t length = reader.Fill(record.data());
        Check(length <= room);
        if (file == OfflineFile::kQueue) {
            int32_t n;
            std::memcpy(&n, record.data() + 43, sizeof n);
            Check(n >= 0 && uint32_t(n) <= kOfflineQueueMaxVolumes && length == KvoOrderQueueSize(uint32_t(n)));
        } else {
            Check(length == room);
        }
        Check(record[4] == 0 && record[20] == 0);  // market and code stay terminated
    }
}

void Query(OfflineFile file, const uint8_t* data, size_t size, const std::string& market, const char* codelist) {
    OfflineCsvReader reader(file);
    reader.OpenMemory(data, size);
    std::vector<unsigned char> records;
    const uint32_t n = CollectOfflineSnapshot(reader, market, codelist, kOfflineIndexQueryRows, &records);
    const size_t size1 = OfflineRecordSize(file);
    Check(records.size() == size_t(n) * size1);
    std::set<std::string> codes;
    for (uint32_t i = 0; i < n; ++i) {
        const char* rec = reinterpret_cast<const char*>(records.data()) + size_t(i) * size1;
        char expected[5] = {};
        std::memcpy(expected, market.data(), market.size() < 4 ? market.size() : 4);
        Check(std::memcmp(rec, expected, sizeof expected) == 0);
        codes.insert(std::string(rec + 5, strnlen(rec + 5, 16)));
    }
    // Codes longer than a record holds may share their first 15 characters.
    Check(codes.size() <= n);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string market;
    for (OfflineFile file : kFiles) Play(file, data, size, &market);
    for (const std::string& m : {market, std::string("USHA")}) {
        for (const char* list : {"", "(600000,600036)", "0"}) {
            Query(OfflineFile::kIndex, data, size, m, list);
            Query(OfflineFile::kStock, data, size, m, list);
            Query(OfflineFile::kSuperStock, data, size, m, list);
        }
    }
    OfflineLineReader lines(kOfflineCodelistLineMax);
    lines.OpenMemory(data, size);
    std::string codelist;
    if (FindOfflineCodelist(lines, "USHA", &codelist)) Check(codelist.find('\n') == std::string::npos);
    return 0;
}
