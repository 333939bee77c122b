#include "tests/support/peer_writer.h"

#include <initializer_list>

namespace kvotest {

namespace {

// The words one after another, each in `bytes` little-endian bytes.
std::string LeWords(std::initializer_list<uint64_t> words, int bytes) {
    std::string out;
    for (uint64_t v : words)
        for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    return out;
}

}  // namespace

std::string PeerHeaderBytes(uint32_t magic, uint32_t type, uint32_t bodyLength) {
    return LeWords({magic, type, bodyLength}, 4);
}

std::string PeerFrameBytes(uint32_t type, std::string_view body, char terminator) {
    std::string f = PeerHeaderBytes(kPeerMagic, type, static_cast<uint32_t>(body.size()));
    f.append(body);
    f.push_back(terminator);
    return f;
}

std::string PeerTimingBytes(uint64_t produce, uint64_t send, uint64_t receive) {
    return LeWords({produce, send, receive}, 8);
}

std::string PeerDataBody(int reqType, uint32_t count, std::string_view records, std::string_view timing) {
    std::string b = "ReqType:" + std::to_string(reqType) + ",TickCount:" + std::to_string(count) + ",|||";
    b.append(records).append(timing);
    return b;
}

std::string PeerOrderQueueBody(std::string_view record, std::string_view timing) {
    std::string b = "ReqType:3,strTextLength:" + std::to_string(record.size()) + ",TickCount:1,|||";
    b.append(record).append(timing);
    return b;
}

std::string PeerAnswerBody(int reqType, std::string_view id, uint32_t count, std::string_view payload) {
    std::string b = "strTextLength:" + std::to_string(payload.size()) + ",id:" + std::string(id) +
                    ",ReqType:" + std::to_string(reqType) + ",TickCount:" + std::to_string(count) + ",|||";
    b.append(payload);
    return b;
}

std::string PeerRecords(uint32_t n, uint32_t size, const std::string& codePrefix) {
    std::string out;
    for (uint32_t i = 0; i < n; ++i) {
        std::string r(size, static_cast<char>('A' + i % 26));
        const std::string head = std::string("USHA", 4) + '\0';
        std::string code = codePrefix + std::to_string(i);
        code.resize(16, '\0');
        r.replace(0, 5, head);
        if (size >= 21) r.replace(5, 16, code);
        out += r;
    }
    return out;
}

}  // namespace kvotest
