// Fuzzes the cascade frame reader, the message readers and the relay
// dispatcher. The first byte chooses the size of the pieces in which the rest
// arrives; whatever the bytes, the reader cuts the same frames as when fed at
// once, every body ends with a zero, and every pointer a message reader hands
// out lies inside the body it read. Messages that read well are built again
// and read the same; dispatched to a local and a remote subscriber of the
// first record's market, the local one gets records it can read whole and
// the remote one messages that read back.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cascade/peer_frame.h"
#include "cascade/peer_message.h"
#include "cascade/relay.h"
#include "session/subscription_registry.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

// Reads every byte of a range, so that AddressSanitizer sees an overread.
unsigned Touch(const char* p, size_t n) {
    unsigned sum = 0;
    for (size_t i = 0; i < n; ++i) sum += static_cast<unsigned char>(p[i]);
    return sum;
}

std::vector<PeerFrame> Cut(const uint8_t* data, size_t size, size_t piece, uint32_t* error) {
    PeerFrameReader reader(1u << 20);
    *error = kPeerOk;
    for (size_t at = 0; at < size && *error == kPeerOk; at += piece)
        *error = reader.Feed(data + at, size - at < piece ? size - at : piece);
    std::vector<PeerFrame> frames;
    PeerFrame f;
    while (reader.Next(&f)) frames.push_back(std::move(f));
    return frames;
}

size_t g_touched = 0;

int32_t TouchRecords(void*, const void* records, uint32_t count, const PushTiming* timing) {
    Check(records != nullptr && timing != nullptr && count > 0);
    g_touched += Touch(static_cast<const char*>(records), 21) + Touch(reinterpret_cast<const char*>(timing), 24);
    return 0;
}

void Dispatch(const char* body, size_t len, const PeerDataMessage& m) {
    SubscriptionRegistry registry;
    const std::string key = RecordSubscriptionKey(uint32_t(m.reqType), m.records);
    registry.AddKeys(WholeMarketKeyOf(key), 0);
    registry.AddKeys(key, 9);
    RelayRoute route;
    route.registry = &registry;
    route.slots.fnctickindex = route.slots.fnctickstock = route.slots.fncorderqueue = &TouchRecords;
    route.slots.fncorderdata = route.slots.fnctransacton = route.slots.fncsuperstock = &TouchRecords;
    size_t sent = 0;
    route.send = [&](Subscriber s, PeerBlock&& out) {
        Check(s == 9);
        PeerDataMessage back;
        Check(ReadPeerDataMessage(out.Data(), out.Size(), &back) == kPeerOk && back.reqType == m.reqType);
        ++sent;
    };
    Check(DispatchPacket(body, len, route) == kPeerOk);
    // A code holding "," or ":" cannot be named by a key text; any other
    // record key names exactly the subscriber that holds it.
    const std::vector<std::string> named = ExpandSubscriptionKeys(key);
    Check(sent <= 1 && (sent == 1 || named.size() != 1 || named[0] != key));
}

void ReadMessage(const PeerFrame& f) {
    const char* body = f.body.Data();
    const size_t len = f.body.Size();
    Check(body[len] == '\0');
    int32_t reqType = 0;
    CheckPeerMessage(body, len, &reqType);
    const std::string_view text = PeerMessageText(body, len);
    Check(text.data() == body && text.size() <= len);

    PeerDataMessage m;
    if (ReadPeerDataMessage(body, len, &m) == kPeerOk) {
        Check(m.records > body && m.size <= len);
        Check(m.records + uint64_t(m.count) * m.recordLength == reinterpret_cast<const char*>(m.timing));
        Check(reinterpret_cast<const char*>(m.timing) + kPeerTimingSize == body + m.size);
        Touch(m.records, m.size - size_t(m.records - body));
        Dispatch(body, len, m);
        PeerBlock again = BuildPeerDataMessage(m.reqType, m.records, m.count, m.timing);
        Check(!again.Empty());
        PeerDataMessage back;
        Check(ReadPeerDataMessage(again.Data(), again.Size(), &back) == kPeerOk);
        Check(back.count == m.count && back.recordLength == m.recordLength);
        Check(std::memcmp(back.records, m.records, size_t(m.count) * m.recordLength) == 0);
        if (m.reqType != kPeerOrderQueue) {
            // The records in reverse order, as a relay picks them.
            std::vector<uint32_t> picks;
            for (uint32_t i = m.count; i > 0 && picks.size() < 64; --i) picks.push_back(i - 1);
            PeerBlock part = BuildPeerDataSubset(m, picks.data(), picks.size());
            Check(!part.Empty());
            Check(ReadPeerDataMessage(part.Data(), part.Size(), &back) == kPeerOk && back.count == picks.size());
            Check(std::memcmp(back.records, m.records + size_t(picks[0]) * m.recordLength, m.recordLength) == 0);
        }
    }
    PeerAnswer a;
    if (ReadPeerAnswer(body, len, &a) == kPeerOk) {
        Check(a.payload >= body && a.payload + a.payloadLength <= body + len && a.forwardLength <= len);
        Touch(a.payload, a.payloadLength);
        PeerBlock again = BuildPeerAnswer(a.reqType, a.id, a.payload, a.payloadLength, a.count);
        // Keys are found anywhere in the text, so only ids of the GUID form
        // (hex digits and "-") are sure to read back the same.
        if (!again.Empty() && a.id.find_first_not_of("0123456789abcdef-") == std::string::npos) {
            PeerAnswer back;
            Check(ReadPeerAnswer(again.Data(), again.Size(), &back) == kPeerOk);
            Check(back.payloadLength == a.payloadLength && back.count == a.count);
        }
    }
    PeerSubscribeRequest sub;
    PeerLoginRequest login;
    PeerLoginAnswer answer;
    PeerQuery query;
    ReadPeerSubscribeRequest(text, &sub);
    ReadPeerLoginRequest(text, &login);
    ReadPeerLoginAnswer(text, &answer);
    ReadPeerQuery(text, &query);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t piece = 1 + data[0] % 97;
    ++data;
    --size;
    uint32_t wholeError = 0, pieceError = 0;
    const std::vector<PeerFrame> whole = Cut(data, size, size == 0 ? 1 : size, &wholeError);
    const std::vector<PeerFrame> pieces = Cut(data, size, piece, &pieceError);
    Check(wholeError == pieceError && whole.size() == pieces.size());
    for (size_t i = 0; i < whole.size(); ++i) {
        Check(whole[i].type == pieces[i].type && whole[i].body.View() == pieces[i].body.View());
        ReadMessage(whole[i]);
        // A body framed again reads back unchanged.
        uint32_t len = static_cast<uint32_t>(whole[i].body.Size());
        char* frame = BuildPeerFrame(whole[i].body.Data(), &len, whole[i].type);
        if (frame == nullptr) {
            Check(whole[i].body.Data()[0] == '\0');
            continue;
        }
        uint32_t error = 0;
        const std::vector<PeerFrame> back = Cut(reinterpret_cast<const uint8_t*>(frame), len, len, &error);
        std::free(frame);
        Check(error == kPeerOk && back.size() == 1 && back[0].body.View() == whole[i].body.View());
    }
    return 0;
}
