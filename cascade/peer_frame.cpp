#include "cascade/peer_frame.h"

#include <algorithm>
#include <cstring>

namespace {

void PutU32(char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<char>((v >> (8 * i)) & 0xFFu);
}

uint32_t GetU32(const unsigned char* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

}  // namespace

char* BuildPeerFrame(const char* text, uint32_t* length, uint32_t type) {
    if (text == nullptr || length == nullptr || text[0] == '\0') return nullptr;
    const uint64_t n = *length == kPeerTextLength ? std::strlen(text) : *length;
    if (n > kPeerMaxBody) return nullptr;
    char* frame = static_cast<char*>(std::calloc(n + kPeerFrameOverhead, 1));
    if (frame == nullptr) return nullptr;
    PutU32(frame, kPeerFrameMagic);
    PutU32(frame + 4, type);
    PutU32(frame + 8, static_cast<uint32_t>(n));
    std::memcpy(frame + kPeerFrameHeaderSize, text, n);
    *length = static_cast<uint32_t>(n + kPeerFrameOverhead);
    return frame;
}

PeerBlock PeerBlock::Allocate(size_t size) {
    PeerBlock block;
    if (size == SIZE_MAX) return block;
    block.m_data.reset(static_cast<char*>(std::calloc(size + 1, 1)));
    if (block.m_data) block.m_size = size;
    return block;
}

char* PeerBlock::Release() {
    m_size = 0;
    return m_data.release();
}

uint32_t PeerFrameReader::CheckHeader() {
    m_current.magic = GetU32(m_header);
    m_current.type = GetU32(m_header + 4);
    m_current.length = GetU32(m_header + 8);
    if (m_current.magic != kPeerFrameMagic) return kPeerErrBadMagic;
    if (!IsAcceptedPeerFrameType(m_current.type)) return kPeerErrBadType;
    if (m_current.length > m_maxBody) return kPeerErrTooLarge;
    // The block holds the body and the terminator; the terminator's place is
    // overwritten with a zero once the frame is complete.
    m_body = PeerBlock::Allocate(m_current.length);
    if (m_body.Empty()) return kPeerErrNoMemory;
    return kPeerOk;
}

uint32_t PeerFrameReader::Feed(const void* data, size_t size) {
    if (m_error != kPeerOk) return m_error;
    const unsigned char* p = static_cast<const unsigned char*>(data);
    while (size > 0) {
        if (m_have < kPeerFrameHeaderSize) {
            const size_t take = std::min(size, kPeerFrameHeaderSize - m_have);
            std::memcpy(m_header + m_have, p, take);
            m_have += take;
            p += take;
            size -= take;
            if (m_have < kPeerFrameHeaderSize) break;
            if ((m_error = CheckHeader()) != kPeerOk) return m_error;
        }
        // Body and terminator: length + 1 bytes after the header.
        const size_t frameBytes = kPeerFrameHeaderSize + size_t(m_current.length) + 1;
        const size_t take = std::min(size, frameBytes - m_have);
        const size_t at = m_have - kPeerFrameHeaderSize;
        // The terminator byte is read and not kept: the block ends with a zero.
        const size_t bodyTake = at < m_current.length ? std::min<size_t>(take, m_current.length - at) : 0;
        if (bodyTake > 0) std::memcpy(m_body.Data() + at, p, bodyTake);
        m_have += take;
        p += take;
        size -= take;
        if (m_have < frameBytes) break;
        m_body.Data()[m_current.length] = '\0';
        if (m_current.length == 0) {
            ++m_emptyFrames;
            m_body = PeerBlock();
        } else {
            m_frames.push_back(PeerFrame{m_current.type, std::move(m_body)});
        }
        m_have = 0;
    }
    return kPeerOk;
}

bool PeerFrameReader::Next(PeerFrame* out) {
    if (m_frames.empty()) return false;
    *out = std::move(m_frames.front());
    m_frames.pop_front();
    return true;
}

uint64_t PeerFrameReader::Missing() const {
    if (m_have < kPeerFrameHeaderSize) return kPeerFrameHeaderSize - m_have;
    return kPeerFrameHeaderSize + uint64_t(m_current.length) + 1 - m_have;
}

void PeerFrameReader::Reset() {
    m_error = kPeerOk;
    m_have = 0;
    m_body = PeerBlock();
    m_frames.clear();
}
