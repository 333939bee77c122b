// Fuzz target over push payloads as the push workers see them: the payload
// is cut into images, the single-image handler converts each with the
// data-type id chosen by the first input byte, and the batch handler
// converts them together and delivers them to host callbacks that read
// every record.
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "session/datafeed_manager.h"
#include "session/push_workers.h"

namespace {

volatile uint32_t g_sink;

int32_t OnRecords(void*, const void* records, uint32_t count, const PushTiming* timing) {
    const auto* p = static_cast<const uint8_t*>(records);
    // The first and last byte of every record of the smallest kind (69
    // bytes) at least: reads past the array are caught.
    for (uint32_t i = 0; i < count; ++i) g_sink = g_sink + p[size_t(i) * 69] + p[size_t(i) * 69 + 68];
    g_sink = g_sink + uint32_t(timing->send_time);
    return 0;
}

int32_t OnQueue(void*, const void* records, uint32_t count, const PushTiming*) {
    const auto* q = static_cast<const OrderQueue*>(records);
    if (count == 1) {
        const int32_t n = q->show_number;
        for (int32_t i = 0; i < n; ++i) g_sink = g_sink + uint32_t(KvoOrderQueueVolume(q, uint32_t(i)));
    }
    return 0;
}

// One session for the whole run: its threads stay idle (nothing connects).
CDatafeedSDKManager& Session() {
    static CDatafeedSDKManager* session = [] {
        InstanceConfig cfg{};
        InstanceConfig_SetDefaults(&cfg);
        cfg.m_altdataclass = 1;
        cfg.m_sortpush = 1;
        cfg.fnctickindex = cfg.fnctickstock = cfg.fnctransacton = cfg.fncorderdata = &OnRecords;
        cfg.fncfivelevel = cfg.fncsuperstock = &OnRecords;
        cfg.fncorderqueue = &OnQueue;
        return new CDatafeedSDKManager(&cfg, nullptr, "SH");
    }();
    return *session;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint32_t id = data[0] % 14;  // 13: an id without a conversion
    // An exactly sized copy of the payload, so that any read past it is
    // caught.
    std::vector<uint8_t> payload(data + 1, data + size);
    std::vector<std::pair<uint32_t, uint32_t>> pieces;
    CutQuoteImages(payload.data(), uint32_t(payload.size()), &pieces);
    std::vector<PushImage> images;
    for (const auto& [offset, length] : pieces) {
        std::vector<uint8_t> image(payload.begin() + offset, payload.begin() + offset + length);
        Session().ProcessPushFile(id, image.data(), uint32_t(image.size()), 0, 1, 0, 20250428093005250ull);
        PushImage p;
        p.data = payload.data() + offset;
        p.length = length;
        p.id = id;
        images.push_back(p);
    }
    Session().ProcessPushFiles(images, 1, 2, 3, 20250428093005250ull);
    Session().Converted().indexList.Clear();
    Session().Converted().stockList.Clear();
    Session().Converted().superStockList.Clear();
    return 0;
}
