// Fuzzes the record converters behind the quote-file reader: the input is a
// payload of quote-file images (the first starting at the first byte, in any
// family; later ones where a version text starts, as push processing cuts
// them). Every image is opened with CHQuoteFile and read by every converter,
// data-type ids 0 to 12, pushed and snapshot forms, through one session, so
// descriptor caches filled by one image serve or are refilled by the next.
// Whatever the bytes, nothing is read outside an image or a record, and
// everything handed to the host is as long as it says with terminated texts.
#include <cstddef>
#include <cstdint>

#include "tests/support/convert_roads.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kvotest::ConvertPayloadEveryWay(data, size, true);
    return 0;
}
