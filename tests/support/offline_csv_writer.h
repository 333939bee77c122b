// Writer of the offline playback files for tests and for the sample set:
// "codelist.ini" and the six CSV files, written from the files' description.
//
// A CSV file is a header line of column names separated by "," and one line
// per row, the row's values in the header's order; the file is UTF-8, while
// the records carry GBK texts, so the row builders convert the texts of a
// record (codename) from GBK to UTF-8. Numbers are written without scaling,
// doubles in their shortest exact form.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "include/kvo_records.h"

namespace kvotest {

// Values of one row by column name, and fields written after the last
// header column (the queue's volumes after the first).
struct CsvRow {
    std::map<std::string, std::string> values;
    std::vector<std::string> after;
};

class CsvWriter {
public:
    explicit CsvWriter(std::vector<std::string> header) : m_header(std::move(header)) {}

    // A row: its values in header order (a column without a value stays
    // empty), then its `after` fields.
    void Add(const CsvRow& row);
    // A line as it stands.
    void AddRaw(std::string line) { m_lines.push_back(std::move(line)); }

    // The file: the header and the rows, each line ended by "\n" ("\r\n"
    // with crlf), with `prefix` before the header (a byte-order mark).
    std::string Text() const;
    bool Write(const std::string& path) const;

    bool crlf = false;
    std::string prefix;

private:
    std::vector<std::string> m_header;
    std::vector<std::string> m_lines;
};

// The columns of each file in the order the format lists them (order.csv
// puts "type", which may be empty, before "side"; queue.csv ends with
// "volume").
std::vector<std::string> IndexCsvColumns();
std::vector<std::string> StockCsvColumns();
std::vector<std::string> SuperStockCsvColumns();
std::vector<std::string> OrderCsvColumns();
std::vector<std::string> TransCsvColumns();
std::vector<std::string> QueueCsvColumns();

// A row holding every column of the file from a record.
CsvRow IndexCsvRow(const TickIndex& r);
CsvRow StockCsvRow(const TickStock& r);
CsvRow SuperStockCsvRow(const SuperStock& r);
CsvRow OrderCsvRow(const OrderData& r);
CsvRow TransCsvRow(const Transaction& r);
// The record's head and its show_number volumes (the first under "volume",
// the others after it).
CsvRow QueueCsvRow(const OrderQueue& head, const std::vector<int32_t>& volumes);

// A double in its shortest form that reads back to the same value.
std::string CsvNumber(double v);

// Writes a whole file; false when it cannot be written.
bool WriteTextFile(const std::string& path, const std::string& text);

}  // namespace kvotest
