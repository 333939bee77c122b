// The gateway simulator's own faults and timing, seen from a plain socket
// client: the frames it records, late and wrong answers, closing, resetting,
// stalling, and refusing connections while it does not listen.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "datapacket.pro.pb.h"
#include "tests/support/frame_writer.h"
#include "tests/support/gateway_sim.h"
#include "tests/support/net_wait.h"

using kvotest::GatewaySim;
using kvotest::SimAnswer;

namespace {

// Reads what arrives within ms (until the peer closes or resets).
std::string ReadFor(int fd, int ms, int* lastResult = nullptr) {
    std::string got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    int r = 0;
    while (std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 10) <= 0) continue;
        char buf[4096];
        r = static_cast<int>(::recv(fd, buf, sizeof buf, 0));
        if (r <= 0) break;
        got.append(buf, static_cast<size_t>(r));
    }
    if (lastResult) *lastResult = r;
    return got;
}

std::string SubscribeFrame(uint32_t instid) {
    datapacket::SubscribeReq req;
    req.set_instid(instid);
    return kvotest::GatewayMessageFrame(kvotest::kSimSubscribeReq, req);
}

void SendAll(int fd, const std::string& bytes) {
    ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
}

}  // namespace

TEST(GatewaySim, RecordsAndAnswersAsScripted) {
    GatewaySim sim;
    ASSERT_TRUE(sim.Start());
    const int fd = kvotest::ConnectToLoopback(sim.Port());
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(sim.WaitForAccepted(1, 5000));

    // A frame in pieces, a stray byte and a frame with flags: all recorded
    // as read, the faults counted.
    const std::string frame = SubscribeFrame(41);
    SendAll(fd, frame.substr(0, 5));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    SendAll(fd, frame.substr(5) + "x" + kvotest::GatewayFrame(kvotest::kSimEcho, "e", 1));
    ASSERT_TRUE(sim.WaitForFrames(kvotest::kSimEcho, 1, 5000));
    EXPECT_EQ(sim.BadBytes(), 1u);
    EXPECT_EQ(sim.FlagViolations(), 1u);
    auto answers = kvotest::SplitGatewayStream(ReadFor(fd, 200));
    ASSERT_EQ(answers.size(), 1u);
    datapacket::SubscribeRsp rsp;
    ASSERT_TRUE(rsp.ParseFromString(answers[0].substr(11)));
    EXPECT_EQ(rsp.instid(), 41u);

    // Late, under another id, with a raw body.
    SimAnswer a;
    a.delayMs = 300;
    a.instidDelta = 5;
    a.rawBody = std::string("\x20\x07", 2);
    sim.SetAnswer(kvotest::kSimSubscribeReq, a);
    const auto t0 = std::chrono::steady_clock::now();
    SendAll(fd, SubscribeFrame(42));
    EXPECT_EQ(ReadFor(fd, 150), "");
    answers = kvotest::SplitGatewayStream(ReadFor(fd, 1000));
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(300));
    EXPECT_EQ(answers[0].substr(11), std::string("\x20\x07", 2));

    // Silent, then heartbeats answered and not.
    sim.SetSilent(true);
    SendAll(fd, SubscribeFrame(43));
    EXPECT_EQ(ReadFor(fd, 100), "");
    sim.SetSilent(false);
    SendAll(fd, kvotest::GatewayFrame(kvotest::kSimHeartbeat, "\x08\xd0\x0f"));
    EXPECT_EQ(ReadFor(fd, 200), kvotest::HeartbeatAnswerFrame());
    sim.SetAnswerHeartbeats(false);
    SendAll(fd, kvotest::GatewayFrame(kvotest::kSimHeartbeat, "\x08\xd0\x0f"));
    EXPECT_EQ(ReadFor(fd, 100), "");
    EXPECT_EQ(sim.CountOfType(kvotest::kSimHeartbeat), 2u);

    // Answering by closing.
    SimAnswer close;
    close.mode = SimAnswer::kClose;
    sim.SetAnswer(kvotest::kSimSubscribeReq, close);
    SendAll(fd, SubscribeFrame(44));
    int last = 1;
    EXPECT_EQ(ReadFor(fd, 2000, &last), "");
    EXPECT_EQ(last, 0);  // FIN
    ::close(fd);
    EXPECT_TRUE(sim.WaitForPeerClose(0, 5000));
}

TEST(GatewaySim, ResetStallAndListening) {
    GatewaySim sim;
    ASSERT_TRUE(sim.Start());
    const uint16_t port = sim.Port();
    int fd = kvotest::ConnectToLoopback(port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(sim.WaitForAccepted(1, 5000));

    // Stalled: nothing is read until it ends.
    sim.SetStalled(true);
    SendAll(fd, kvotest::GatewayFrame(kvotest::kSimEcho, "a"));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(sim.CountOfType(kvotest::kSimEcho), 0u);
    sim.SetStalled(false);
    EXPECT_TRUE(sim.WaitForFrames(kvotest::kSimEcho, 1, 5000));

    // Reset: the client's read fails with a reset.
    sim.Reset(0);
    int last = 1;
    ReadFor(fd, 2000, &last);
    EXPECT_LT(last, 0);
    EXPECT_EQ(errno, ECONNRESET);
    EXPECT_FALSE(sim.IsOpen(0));
    ::close(fd);

    // Not listening: connects are refused; listening again on the same port.
    sim.StopListening();
    EXPECT_LT(kvotest::ConnectToLoopback(port), 0);
    ASSERT_TRUE(sim.ResumeListening());
    EXPECT_EQ(sim.Port(), port);
    fd = kvotest::ConnectToLoopback(port);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(sim.WaitForAccepted(2, 5000));
    EXPECT_TRUE(sim.Write(1, kvotest::EchoFrame("hello")));
    EXPECT_EQ(ReadFor(fd, 200), kvotest::EchoFrame("hello"));
    ::close(fd);
}
