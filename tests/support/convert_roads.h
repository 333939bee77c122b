// The roads quote data take from a push payload or a query answer to the
// host, for fuzzing and tests: the payload cut into quote-file images, each
// image opened with CHQuoteFile and read by every record converter (data-type
// ids 0 to 12, pushed and snapshot forms) the way push processing and the
// snapshot queries read it. What a host would receive is checked as the host
// would use it; a fault aborts the process (fuzz targets) after a message
// on stderr.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace kvotest {

// One image of a payload: its first byte and its length.
using ImageSpan = std::pair<const uint8_t*, size_t>;

// Cuts a payload into images at every start of a version text ("h", then
// "q" or "d", then "6" or "1", ".", "0") with four bytes after it, as push
// processing does: an image runs up to the next start or the payload's end;
// bytes before the first start are skipped. With firstAtStart the first
// image begins at the payload's first byte whatever it holds (images of any
// family, for the converter fuzz target).
std::vector<ImageSpan> CutQuoteImages(const uint8_t* data, size_t len, bool firstAtStart = false);

// What one payload gave.
struct RoadCounts {
    uint32_t opened = 0;     // images that opened with records
    uint64_t delivered = 0;  // records handed to host callbacks, blocks and lists
};

// Converts every image of the payload with every converter, the images one
// after another through one session (so descriptor caches are filled by one
// image and used or refilled by the next, as on a push worker).
RoadCounts ConvertPayloadEveryWay(const uint8_t* data, size_t len, bool firstAtStart = false);

}  // namespace kvotest
