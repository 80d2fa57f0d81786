// Its own program: the shutdown switch is process-wide and cannot be undone.
#include <gtest/gtest.h>

#include <chrono>

#include "block/testing/recording_transport.h"
#include "zorbel/channel.h"

using zorbel::testing::RecordingTransport;

TEST(ChannelShutdown, FetchAndFlushGiveUpAtOnceOnceTheProcessIsFinishing) {
    RecordingTransport transport;
    BlockDriver engine("", &transport);
    engine.link_check.store(false);
    ChannelInput in(&engine, 1);
    ChannelOutput out(&engine, 2);
    out.write_byte(1);
    Synchro::finish();

    // Every wait now fails at once; a fetch that went on asking would flood
    // the link with requests for ~24 days.
    const auto start = std::chrono::steady_clock::now();
    unsigned char buf[4];
    EXPECT_EQ(in.read(buf, sizeof buf), 0);
    EXPECT_EQ(in.read_byte(), -1);
    EXPECT_FALSE(out.flush());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(transport.transfer_count(), 0u);
}
