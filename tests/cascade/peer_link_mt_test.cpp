// A PeerLink on a socket pair whose far end reads only when the test does.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include "cascade/peer_link.h"
#include "cascade/relay.h"
#include "platform/pl_socket.h"
#include "platform/pl_time.h"

namespace {

using Result = PeerLink::SendResult;

// A link whose socket is full of frames of 4096 bytes (4109 on the wire);
// `bytes` went out or wait in all.
struct FullLink {
    FullLink() {
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        link = std::make_shared<PeerLink>(fds[0], "");
        for (Result r = Result::kSent; r == Result::kSent; bytes += 4109) r = link->Send(chunk, 4096, 4, "test");
    }
    ~FullLink() { pl::CloseSocket(fds[1]); }
    size_t Read() {  // what the peer can read now
        size_t got = 0;
        for (long n = 0; (n = pl::RecvSome(fds[1], buf, sizeof buf)) > 0;) got += size_t(n);
        return got;
    }
    int fds[2] = {-1, -1};
    char chunk[4096] = {'x'}, buf[65536];
    std::shared_ptr<PeerLink> link;
    size_t bytes = 0;
};

TEST(PeerLinkTest, PeerThatTakesTooLittleIsDropped) {
    // A clock reading taken before another thread wrote (the socket sender
    // reads once a pass) is no time-out; the whole time-out without a byte is.
    const uint64_t passStart = pl::TickMs();
    pl::SleepMs(4);
    FullLink f, g, h;
    uint64_t due = 0;
    EXPECT_TRUE(f.link->Flush(passStart, 10000, &due));
    EXPECT_TRUE(f.link->Flush(due - 1, 10000, &due));
    EXPECT_FALSE(f.link->Flush(due, 10000, &due));
    // Up to the limit a frame is queued; a byte more shuts the link.
    const std::string big(kPeerSendQueueLimit - g.link->QueuedBytes() - 13, 'y');
    EXPECT_EQ(g.link->Send(big.data(), uint32_t(big.size()), 4, "test"), Result::kQueued);
    EXPECT_EQ(g.link->Send("z", 1, 4, "test"), Result::kBroken);
    EXPECT_EQ(h.link->SendAndWait("ReqType:101,", 12, 2, 50, "test"), Result::kBroken);
    EXPECT_TRUE(f.link->IsShut() && h.link->IsShut());
}

TEST(PeerLinkTest, CloseWhenSentDrainsFirst) {
    FullLink f;
    ASSERT_EQ(f.link->Send("bye,", 4, 4, "test"), Result::kQueued);
    f.link->CloseWhenSent();
    EXPECT_FALSE(f.link->IsShut());
    size_t got = 0;
    while (f.link->Flush(pl::TickMs(), 10000, nullptr)) got += f.Read();
    EXPECT_EQ(got + f.Read(), f.bytes + 17);  // all of it, then the close
}

TEST(PeerLinkTest, SocketSenderIsWokenAndShutsQueuedLinksWhenStopped) {
    CSocketSend sender;
    sender.m_nWaitTimeout = 60000;  // only a wake-up ends its wait
    int owner = 0;
    ASSERT_TRUE(sender.Attach(&owner));
    pl::SleepMs(10);
    FullLink f;  // listed while the sender waits: it writes on as the peer reads
    size_t got = 0;
    for (int i = 0; i < 2500 && got < f.bytes; ++i, pl::SleepMs(2)) got += f.Read();
    FullLink g;
    sender.Detach(&owner);
    EXPECT_EQ(got, f.bytes);
    EXPECT_TRUE(g.link->IsShut());
}

}  // namespace
