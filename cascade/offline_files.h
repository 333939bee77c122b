// The files of offline playback: "codelist.ini" and six CSV files, one per
// data class, in the folder that KvoStartOfflineDebug names.
//
// A file's name is the folder text with the file name appended unchanged (no
// separator is put between them), so the folder text ends with "/".
//
// "codelist.ini": lines of market "=" code list, read as bytes; a line that
// holds "#" anywhere, or no "=", is skipped; nothing is trimmed; the first
// line of a market wins; a line longer than 199,999 characters ends the file.
//
// CSV files: the first line is the header, column names separated by ","
// (used as they are: no code-page conversion, no byte-order mark removal);
// a name that occurs twice counts at its later position. Every further line
// is a data row, converted from UTF-8 to the ANSI code page (GBK), then cut
// at every "," (no quoting; empty inner fields count, a "," at the end adds
// no field, an empty line has none). A row is used when it has at least as
// many fields as the header has distinct names (queue.csv: one fewer);
// others are passed over. Values are read by column name; a column that the
// header lacks leaves its record field zero. A line longer than 4,999
// characters (its line end not counted) ends the file as if it ended there.
//
// Conversions: texts are cut to their field (market 4 characters, code 15,
// OrderData side 5, one-character fields 1) and zero-filled; codename keeps
// its first 20 characters (no terminator when it fills the field), status its
// first 8; integers and doubles are read as atoi and atof read them, in the
// "C" locale, saturated; numbers carry no scaling.
//
// queue.csv: the header names only the first volume column, "volume"; a row
// carries show_number volumes in that column and the ones after it. The
// count is kept within 0..101 (the record buffer is 451 bytes) and within the
// fields the row has from "volume" on, and the record carries the count it
// really holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "include/kvo_records.h"

enum class OfflineFile { kIndex, kStock, kQueue, kOrder, kTrans, kSuperStock };

inline constexpr size_t kOfflineCsvLineMax = 4999;
inline constexpr size_t kOfflineCodelistLineMax = 199999;
inline constexpr uint32_t kOfflineQueueMaxVolumes = 101;
inline constexpr size_t kOfflineQueueRecordMax = KVO_ORDERQUEUE_HEAD_SIZE + 4 * kOfflineQueueMaxVolumes;  // 451
// Rows a snapshot query examines at most.
inline constexpr uint64_t kOfflineIndexQueryRows = 300;
inline constexpr uint64_t kOfflineStockQueryRows = 3000;
inline constexpr uint64_t kOfflineSuperStockQueryRows = 3000;

inline constexpr char kOfflineCodelistFile[] = "codelist.ini";

// "index.csv", "stock.csv", "queue.csv", "order.csv", "trans.csv",
// "superstock.csv".
const char* OfflineFileName(OfflineFile file);
// The host data class of a file's records (1 index ... 6 super stock).
uint32_t OfflineDataClass(OfflineFile file);
// Bytes of a record buffer of the file (a queue record: 451 at most).
size_t OfflineRecordSize(OfflineFile file);

// Lines of a file or of bytes in memory: a line ends at "\n", and a "\r"
// before it is dropped; a last line without "\n" counts.
class OfflineLineReader {
public:
    enum Result { kLine, kEnd, kTooLong };

    explicit OfflineLineReader(size_t maxLine) : m_maxLine(maxLine) {}
    ~OfflineLineReader();
    OfflineLineReader(const OfflineLineReader&) = delete;
    OfflineLineReader& operator=(const OfflineLineReader&) = delete;

    // False when the file cannot be opened.
    bool OpenFile(const std::string& path);
    // Reads size bytes at data, which must stay valid while reading.
    void OpenMemory(const void* data, size_t size);

    // The next line into *line. kTooLong when the line is longer than the
    // maximum: reading stops there, and every later call answers kEnd.
    Result Next(std::string* line);

private:
    bool Refill();

    size_t m_maxLine;
    std::FILE* m_file = nullptr;
    const char* m_data = nullptr;
    size_t m_pos = 0;
    size_t m_end = 0;
    std::vector<char> m_buffer;
    bool m_done = false;
};

// The code list of a market in "codelist.ini" read from lines: the text after
// the "=" of the first line whose text before its first "=" is the market.
bool FindOfflineCodelist(OfflineLineReader& lines, std::string_view market, std::string* codelist);

// How one column goes into a record (offline_files.cpp).
struct OfflineColumnRule;

// One CSV file of playback, read row by row.
class OfflineCsvReader {
public:
    explicit OfflineCsvReader(OfflineFile file);

    // Opens the file at path (the folder text with the file name) and reads
    // its header; false when it cannot be opened.
    bool OpenFile(const std::string& path);
    // The same over bytes in memory, which must stay valid while reading.
    void OpenMemory(const void* data, size_t size);

    // Reads the next data row; false at the end of the file (or at a line
    // that is too long). A row that is read but too short is still a row:
    // Usable() tells.
    bool NextRow();
    bool Usable() const { return m_usable; }
    // The row's field of a column, empty when the header or the row lacks it.
    std::string_view Field(std::string_view column) const;

    // Writes the row's values into a record buffer of OfflineRecordSize bytes
    // (fields without a column are left as they are) and returns the
    // record's length (a queue record: 47 + 4 * its count).
    size_t Fill(void* record) const;

    OfflineFile File() const { return m_file; }
    // Distinct column names of the header.
    size_t HeaderColumns() const { return m_columns.size(); }
    // Data rows read so far, used or not.
    uint64_t RowsRead() const { return m_rows; }
    // True when reading ended at a line longer than the maximum.
    bool StoppedAtLongLine() const { return m_tooLong; }

private:
    struct Bound {
        const OfflineColumnRule* rule;
        size_t column;
    };

    void ReadHeader();
    std::string_view At(size_t column) const;

    OfflineFile m_file;
    OfflineLineReader m_lines;
    std::unordered_map<std::string, size_t> m_columns;
    std::vector<Bound> m_bound;        // the file's rules whose column the header has
    size_t m_volumeColumn = SIZE_MAX;  // queue.csv: first volume column
    size_t m_showColumn = SIZE_MAX;    // queue.csv: show_number
    std::string m_raw;
    std::string m_row;
    std::vector<std::string_view> m_fields;
    uint64_t m_rows = 0;
    bool m_usable = false;
    bool m_tooLong = false;
};

// Answers a snapshot query from an opened reader: rows of the market (exact)
// whose code occurs in the code list (any code when the list has 2 characters
// or fewer), among the first maxRows rows; one record per code, in the order
// codes first appear, each filled by every later row of its code in turn.
// The records are appended to *records; returns their number.
uint32_t CollectOfflineSnapshot(OfflineCsvReader& reader, std::string_view market, std::string_view codelist,
                                uint64_t maxRows, std::vector<unsigned char>* records);

// Snapshot queries over the folder's files: malloc blocks that the host frees
// with KvoFreeMem. Null, with the out value unwritten, when the file cannot
// be opened or nothing matches.
char* LoadOfflineCodelist(const std::string& folder, const char* market, uint32_t* length);
TickIndex* LoadOfflineTickIndex(const std::string& folder, const char* market, const char* codelist, uint32_t* count);
TickStock* LoadOfflineTickStock(const std::string& folder, const char* market, const char* codelist, uint32_t* count);
SuperStock* LoadOfflineSuperStock(const std::string& folder, const char* market, const char* codelist, uint32_t* count);

// Whether a file of the folder opens for reading, as playback opens it.
bool OfflineFileOpens(const std::string& folder, OfflineFile file);

// Playback: hands every used row of a file, unfiltered, to the sink as one
// record (the buffer is reused for the next row); a sink that returns false
// ends the reading. Returns the number of records handed on, or -1 when the
// file cannot be opened, which is logged at level 2 as
// "OfflineDebug:File Open Fail,path:%s". A line too long, which ends the
// reading, is logged at level 2 too, once.
using OfflineRecordSink = std::function<bool(const void* record, size_t length)>;
int64_t PlayOfflineFile(OfflineFile file, const std::string& folder, const OfflineRecordSink& sink);
int64_t PlayOfflineIndex(const std::string& folder, const OfflineRecordSink& sink);
int64_t PlayOfflineStock(const std::string& folder, const OfflineRecordSink& sink);
int64_t PlayOfflineQueue(const std::string& folder, const OfflineRecordSink& sink);
int64_t PlayOfflineOrder(const std::string& folder, const OfflineRecordSink& sink);
int64_t PlayOfflineTrans(const std::string& folder, const OfflineRecordSink& sink);
int64_t PlayOfflineSuperStock(const std::string& folder, const OfflineRecordSink& sink);
