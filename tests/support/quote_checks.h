// Helpers shared by the quote-file tests that bridge the test writer and the
// reader: the decoders' work table for a written table, and whether a result
// is one of the quote-file codes.
#pragma once

#include <cstdint>

#include "quote/qf_format.h"
#include "simulator/quote_writer.h"

namespace qw {

// The column work table a decoder gets for table t.
QfWorkTable WorkTable(const Table& t);

// True when rc is one of the quote-file reader's own codes.
bool IsQuoteFileCode(uint32_t rc);

}  // namespace qw
