#include "tests/support/quote_checks.h"

namespace qw {

QfWorkTable WorkTable(const Table& t) {
    QfWorkTable w;
    w.records = t.records;
    w.recordSize = t.recordSize;
    for (const Column& c : t.columns) w.columns.push_back({uint16_t(c.id & 0x7000), c.width});
    return w;
}

bool IsQuoteFileCode(uint32_t rc) {
    for (uint32_t c : {QF_E_NOTQUOTE, QF_E_VERSION, QF_E_INDEX, QF_E_NODATA, QF_E_RANGE, QF_E_NEEDMEMORY, QF_E_NOMEM,
                       QF_E_BADARG, QF_E_NOFIELD, QF_E_FIXED, QF_E_OUTPUT, QF_E_KIND, QF_E_DEC_INPUT, QF_E_DEC_SIZE,
                       QF_E_DEC_4, QF_E_DEC_OTHER, QF_E_CODEDCOLS})
        if (rc == c) return true;
    return false;
}

}  // namespace qw
