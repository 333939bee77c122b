// A tiny shared library linked the way libkvoapi.so is, holding the frame and
// message code, so the build can check that none of it is exported.
#include <cstdint>

#include "protocol/kvo_message.h"

extern "C" __attribute__((visibility("default"))) int KvoProtocolProbe(void) {
    datapacket::PushData push;
    push.set_market(KvoText("USH"));
    push.add_produce_time(1);
    uint8_t frame[64];
    size_t len = 0;
    if (KvoSerializeFrameTo(KVO_PACKET_PUSH_FIRST, push, frame, sizeof frame, &len) != KVO_FRAME_OK) return -1;
    datapacket::PushData back;
    if (KvoParseFrame(frame, len, back) != KVO_FRAME_OK) return -1;
    return back.market() == "USH" ? static_cast<int>(len) : -1;
}
