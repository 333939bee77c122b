#include "protocol/kvo_message.h"

#include <climits>

uint64_t KvoMessageFrameSize(const google::protobuf::MessageLite& message) {
    uint64_t body = message.ByteSizeLong();
    // SerializeToArray takes an int length.
    if (body > KVO_PACK_MAX_BODY || body > uint64_t(INT_MAX)) return 0;
    return body + KVO_PACK_HEADER_SIZE;
}

namespace {

// Writes the frame of `message`, `frame` bytes long, into out. The message's
// cached sizes must be current (KvoMessageFrameSize just ran).
void WriteFrame(uint16_t type, const google::protobuf::MessageLite& message, uint8_t* out, uint64_t frame) {
    uint32_t body = static_cast<uint32_t>(frame - KVO_PACK_HEADER_SIZE);
    KvoWriteHeader(out, type, body);
    if (body > 0) message.SerializeWithCachedSizesToArray(out + KVO_PACK_HEADER_SIZE);
}

}  // namespace

uint32_t KvoSerializeFrameTo(uint16_t type, const google::protobuf::MessageLite& message, uint8_t* out, size_t capacity,
                             size_t* written) {
    if (written) *written = 0;
    uint64_t frame = KvoMessageFrameSize(message);
    if (frame == 0) return KVO_FRAME_E_TOO_LARGE;
    if (!out || capacity < frame) return KVO_FRAME_E_ARGUMENT;
    WriteFrame(type, message, out, frame);
    if (written) *written = static_cast<size_t>(frame);
    return KVO_FRAME_OK;
}

uint32_t KvoSerializeFrame(uint16_t type, const google::protobuf::MessageLite& message, corvane::CTLSmartBuffer& out) {
    uint64_t frame = KvoMessageFrameSize(message);
    if (frame == 0 || uint64_t(out.GetLength()) + frame > 0xFFFFFFFFull) return KVO_FRAME_E_TOO_LARGE;
    char* dest = out.Extend(static_cast<uint32_t>(frame));
    if (!dest) return KVO_FRAME_E_NO_MEMORY;
    WriteFrame(type, message, reinterpret_cast<uint8_t*>(dest), frame);
    return KVO_FRAME_OK;
}

uint32_t KvoParseBody(const void* body, size_t len, google::protobuf::MessageLite& message) {
    if (!body && len > 0) return KVO_FRAME_E_ARGUMENT;
    if (len > size_t(INT_MAX)) return KVO_FRAME_E_TOO_LARGE;
    if (len == 0) {
        message.Clear();
        return KVO_FRAME_OK;
    }
    return message.ParseFromArray(body, static_cast<int>(len)) ? KVO_FRAME_OK : KVO_FRAME_E_PARSE;
}

uint32_t KvoParseFrame(const void* frame, size_t len, google::protobuf::MessageLite& message, uint16_t* type) {
    const KvoPackHeader* h = nullptr;
    uint32_t rc = KvoCheckFrame(frame, len, &h);
    if (rc != KVO_FRAME_OK) return rc;
    if (type) *type = h->GetType();
    return KvoParseBody(h->GetBody(), h->GetBodyLength(), message);
}
