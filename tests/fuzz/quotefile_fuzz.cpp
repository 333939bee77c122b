// Fuzz target over quote-file images: classification, header parse, the
// conversion of every family into the native layout and the native checks.
#include <cstdint>
#include <cstring>
#include <vector>

#include "quote/qf_format.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exactly sized copy, so that any read past the image is caught.
  std::vector<uint8_t> img(data, data + size);
  QfConvertPlan plan;
  if (QF_PlanConversion(img.data(), img.size(), &plan) != 0) return 0;
  if (plan.nativeSize > (64u << 20)) return 0;
  std::vector<uint8_t> buf(std::max<uint64_t>(img.size(), plan.nativeSize));
  if (!img.empty()) std::memcpy(buf.data(), img.data(), img.size());
  uint64_t len = img.size();
  uint32_t rc = 0;
  if (plan.family == QF_FAMILY_COMPACT) rc = QF_ConvertCompact(buf.data(), img.size(), buf.size(), plan, &len);
  else if (plan.family == QF_FAMILY_VARLEN) rc = QF_ConvertVarLen(buf.data(), img.size(), buf.size(), plan, &len);
  if (rc != 0) return 0;
  buf.resize(len);
  QfNativeInfo info;
  if (QF_ParseNative(buf.data(), buf.size(), plan.family != QF_FAMILY_NATIVE, &info) != 0) return 0;
  // Touch every record byte the header vouches for.
  uint64_t area = uint64_t(info.header.count) * info.header.recordSize;
  volatile uint8_t sink = 0;
  for (uint64_t i = 0; i < area; i += 97) sink = sink + buf[info.header.dataOffset + i];
  (void)sink;
  return 0;
}
