// Fuzzes the frame check and the message parsers: whatever the bytes, the
// check answers with a code, and a body that parses writes back into a frame
// that parses to the same message. The data buffer of a push or a quota
// answer then goes on as the session sends it on: cut into quote-file
// images, each opened and read by every record converter.
//
// The protobuf runtime reports every text field that is not UTF-8 on
// stderr; hostile bodies are full of them, so its reports are dropped here.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "protocol/kvo_message.h"
#include "tests/support/convert_roads.h"

namespace {

std::unique_ptr<google::protobuf::Message> MessageFor(uint16_t type) {
    using namespace datapacket;
    switch (type) {
    case KVO_PACKET_LOGIN_REQ:
        return std::make_unique<LoginReq>();
    case KVO_PACKET_LOGIN_RSP:
        return std::make_unique<LoginRsp>();
    case KVO_PACKET_GET_CODELIST_REQ:
        return std::make_unique<GetCodelistReq>();
    case KVO_PACKET_GET_CODELIST_RSP:
        return std::make_unique<GetCodelistRsp>();
    case KVO_PACKET_GET_QUOTA_REQ:
        return std::make_unique<GetQuotaReq>();
    case KVO_PACKET_GET_QUOTA_RSP:
        return std::make_unique<GetQuotaRsp>();
    case KVO_PACKET_SUBSCRIBE_REQ:
        return std::make_unique<SubscribeReq>();
    case KVO_PACKET_SUBSCRIBE_RSP:
        return std::make_unique<SubscribeRsp>();
    case KVO_PACKET_HEARTBEAT:
        return std::make_unique<HeartBeat>();
    case KVO_PACKET_ELK_MESSAGE_REQ:
        return std::make_unique<ElkMessageReq>();
    case KVO_PACKET_GATEWAY_NOTIFY:
        return std::make_unique<GatewayNotify>();
    case 30:
        return std::make_unique<ElkMessageRsp>();
    case 31:
        return std::make_unique<TestSpeed>();
    default:
        if (KvoIsPushType(type)) return std::make_unique<PushData>();
        return nullptr;
    }
}

void DropReport(google::protobuf::LogLevel, const char*, int, const std::string&) {}

// The quote data a message carries, when it is a push or a quota answer.
const std::string* DataBuffer(const google::protobuf::Message& m) {
    if (const auto* push = dynamic_cast<const datapacket::PushData*>(&m)) return &push->databuf();
    if (const auto* quota = dynamic_cast<const datapacket::GetQuotaRsp*>(&m)) return &quota->databuf();
    return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    google::protobuf::SetLogHandler(&DropReport);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const KvoPackHeader* h = nullptr;
    uint32_t rc = KvoCheckFrame(data, size, &h);
    if (rc != KVO_FRAME_OK) return 0;
    if (h->GetBodyLength() + KVO_PACK_HEADER_SIZE != size) std::abort();
    std::unique_ptr<google::protobuf::Message> m = MessageFor(h->GetType());
    if (!m) return 0;
    if (KvoParseFrame(data, size, *m) != KVO_FRAME_OK) return 0;
    uint64_t frameSize = KvoMessageFrameSize(*m);
    if (frameSize == 0) std::abort();
    std::string frame(frameSize, '\0');
    size_t written = 0;
    if (KvoSerializeFrameTo(h->GetType(), *m, reinterpret_cast<uint8_t*>(frame.data()), frame.size(), &written) !=
            KVO_FRAME_OK ||
        written != frameSize)
        std::abort();
    std::unique_ptr<google::protobuf::Message> back = MessageFor(h->GetType());
    if (KvoParseFrame(frame.data(), frame.size(), *back) != KVO_FRAME_OK) std::abort();
    if (back->SerializeAsString() != m->SerializeAsString()) std::abort();
    if (const std::string* buf = DataBuffer(*m))
        kvotest::ConvertPayloadEveryWay(reinterpret_cast<const uint8_t*>(buf->data()), buf->size());
    return 0;
}
