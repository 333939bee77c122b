// A client sink with the gateway packet filter against a loopback test
// gateway: whole frames arrive one per callback, frames go out unchanged,
// a peer that closes mid-frame delivers no partial frame, and the link is
// released by the check thread.
#include "framework/net/tl_netengine.h"
#include "framework/net/tl_packfilter.h"
#include "framework/net/tl_socketlink.h"
#include "simulator/frame_writer.h"
#include "tests/support/loopback_server.h"
#include "tests/support/net_recorder.h"
#include "tests/support/net_wait.h"

#include <gtest/gtest.h>

#include <random>

#include "protocol/kvo_filter.h"

using namespace corvane;
using kvotest::NetEvents;
using kvotest::RecordingClient;

namespace {

// A plain frame cutter written from the frame layout (u32 magic, u32 total
// length, u16 type, u8 flags, little-endian): one frame per Unpack call, as
// the sink expects of a gateway filter.
class PlainFrameFilter : public CTLPackFilter {
public:
    int Unpack(int, ITLConnection*, const void* data, uint32_t length, CTLNetBufferList& out) override {
        if (data && length) m_held.append(static_cast<const char*>(data), length);
        kvotest::GatewayHeaderFields h;
        if (!kvotest::ReadGatewayHeader(m_held, &h)) return 2;
        if (h.magic != kvotest::kGatewayMagic || h.totalLength < kvotest::kGatewayHeaderSize) {
            m_held.clear();
            return -1;
        }
        if (m_held.size() < h.totalLength) return 2;
        out.AppendBlock(m_held.data(), h.totalLength);
        m_held.erase(0, h.totalLength);
        return 1;
    }
    int Pack(const void* data, uint32_t length, uint32_t, CTLSendBuffer& buf) override {
        return buf.AppendBlock(data, length);
    }
    CTLPackFilter* Clone() override { return new PlainFrameFilter; }
    CTLPackFilter* Reset() override {
        m_held.clear();
        return this;
    }

private:
    std::string m_held;
};

// The engine's own check thread runs: it releases the closed links.
class GatewayLinkTest : public kvotest::LoopbackEngineTest {
public:
    GatewayLinkTest() : LoopbackEngineTest(true) {}
    // Connects a buffer-list sink with a fresh gateway filter.
    template <typename F>
    void Connect() {
        client = std::make_unique<RecordingClient>(true);
        client->SetFilter(new F, 0x2);
        ASSERT_EQ(0, client->Connect("127.0.0.1", server.Port()));
        ASSERT_TRUE(server.WaitForConnections(1, 5000));
        ASSERT_TRUE(client->WaitFor([](NetEvents& e) { return !e.connects.empty(); }));
    }
    template <typename F>
    void FramesArriveWhole();
    template <typename F>
    void PeerCloseMidFrame();
};

template <typename F>
void GatewayLinkTest::FramesArriveWhole() {
    Connect<F>();
    std::mt19937 rng(7);
    std::vector<std::string> frames;
    std::vector<size_t> sizes = {0, 1, 100, 4085, 4086, 5000, 70000, 3, 250000, 12};
    for (size_t i = 0; i < sizes.size(); ++i)
        frames.push_back(kvotest::GatewayFrame(static_cast<uint16_t>(20 + i), kvotest::PatternBody(sizes[i], 100 + i)));
    const std::string stream = kvotest::JoinStream(frames);
    // Uneven pieces, so frames are split and joined across reads.
    size_t off = 0;
    while (off < stream.size()) {
        size_t n = std::min<size_t>(stream.size() - off, 1 + rng() % 9000);
        ASSERT_TRUE(server.Send(0, stream.substr(off, n)));
        off += n;
    }
    ASSERT_TRUE(client->WaitFor([&](NetEvents& e) { return e.blockSizes.size() >= frames.size(); }, 10000));
    client->Get<int>([&](NetEvents& e) {
        EXPECT_EQ(frames.size(), e.blockSizes.size());
        for (uint32_t n : e.listSizes) EXPECT_EQ(1u, n);  // one frame per callback
        EXPECT_EQ(stream, e.data);
        size_t pos = 0;
        for (size_t i = 0; i < frames.size() && i < e.blockSizes.size(); ++i) {
            EXPECT_EQ(frames[i].size(), e.blockSizes[i]) << "frame " << i;
            pos += e.blockSizes[i];
        }
        EXPECT_EQ(stream.size(), pos);
        return 0;
    });
    // Two frames in one read give two callbacks.
    const std::string two = kvotest::GatewayFrame(16, "a") + kvotest::GatewayFrame(16, "bb");
    ASSERT_TRUE(server.Send(0, two));
    ASSERT_TRUE(client->WaitFor([&](NetEvents& e) { return e.blockSizes.size() >= frames.size() + 2; }));
    client->Get<int>([&](NetEvents& e) {
        EXPECT_EQ(std::vector<uint32_t>({12, 13}),
                  std::vector<uint32_t>(e.blockSizes.begin() + frames.size(), e.blockSizes.end()));
        EXPECT_EQ(stream + two, e.data);
        return 0;
    });
    // A frame sent by the client leaves unchanged.
    const std::string out = kvotest::GatewayFrame(1, kvotest::PatternBody(9000, 3));
    EXPECT_GT(client->Send(out.data(), static_cast<uint32_t>(out.size()), 0), 0);
    ASSERT_TRUE(server.WaitForBytes(0, out.size(), 5000));
    EXPECT_EQ(out, server.Received(0));
}

template <typename F>
void GatewayLinkTest::PeerCloseMidFrame() {
    Connect<F>();
    const std::string whole = kvotest::GatewayFrame(20, kvotest::PatternBody(300, 1));
    const std::string cut = kvotest::GatewayFrame(21, kvotest::PatternBody(5000, 2)).substr(0, 2000);
    ASSERT_TRUE(server.Send(0, whole + cut));
    ASSERT_TRUE(client->WaitFor([](NetEvents& e) { return !e.blockSizes.empty(); }));
    server.Close(0);
    ASSERT_TRUE(client->WaitFor([](NetEvents& e) { return !e.disconnects.empty(); }));
    client->Get<int>([&](NetEvents& e) {
        EXPECT_EQ(TL_NET_REASON_PEER_CLOSED, e.disconnects[0]);
        EXPECT_EQ(1u, e.blockSizes.size());
        EXPECT_EQ(whole, e.data);
        return 0;
    });
    // The check thread releases the closed link.
    kvotest::Eventually([] { return TL_NetLinkCount() == 0; }, 3000);
    EXPECT_EQ(0u, TL_NetLinkCount());
}

TEST_F(GatewayLinkTest, FramesArriveWholeAndLeaveUnchanged) { FramesArriveWhole<CKvoFilter>(); }

TEST_F(GatewayLinkTest, PeerCloseMidFrameDeliversNoPartialFrame) { PeerCloseMidFrame<CKvoFilter>(); }

// The same roads with the plain frame cutter, so the sink's side of the
// filter protocol is checked whatever the gateway filter's state.
TEST_F(GatewayLinkTest, PlainCutterFramesArriveWhole) { FramesArriveWhole<PlainFrameFilter>(); }

TEST_F(GatewayLinkTest, PlainCutterPeerCloseMidFrame) { PeerCloseMidFrame<PlainFrameFilter>(); }

}  // namespace
