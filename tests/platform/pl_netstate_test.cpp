// The network-state probe: the system's answer on this machine and the
// injected probe behind IsNetworkAlive with its three outcomes.
#include <gtest/gtest.h>

#include "platform/pl_netstate.h"

TEST(NetState, ProbeDecidesIsNetworkAlive) {
    // The machine's own list can be read (whatever it holds).
    EXPECT_NE(pl::QueryNetworkState(), pl::NetworkState::kError);
    const pl::NetworkState system = pl::QueryNetworkState();
    int error = -1;
    EXPECT_EQ(pl::IsNetworkAlive(&error), system == pl::NetworkState::kAlive);
    EXPECT_EQ(error, 0);

    struct Row {
        pl::NetworkState state;
        bool alive;
        bool error;
    };
    const Row rows[] = {{pl::NetworkState::kAlive, true, false},
                        {pl::NetworkState::kNoConnectivity, false, false},
                        {pl::NetworkState::kError, false, true}};
    for (const Row& row : rows) {
        pl::SetNetworkStateProbe([&] { return row.state; });
        error = -1;
        EXPECT_EQ(pl::IsNetworkAlive(&error), row.alive);
        EXPECT_EQ(error != 0, row.error);
        EXPECT_EQ(pl::IsNetworkAlive(), row.alive);
    }
    const pl::NetworkStateProbe previous = pl::SetNetworkStateProbe(nullptr);
    EXPECT_TRUE(previous != nullptr);
    EXPECT_EQ(pl::IsNetworkAlive(&error), system == pl::NetworkState::kAlive);
}
