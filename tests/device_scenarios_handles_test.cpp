// Device scenarios: a connection's state flags and device claim, and a
// handle's read ended by a cancel, a close or an unplug
// (fixtures/device_scenarios.h), on every backend.
#include "fixtures/device_scenarios.h"

namespace {

using namespace zorbel::testing::scenarios;  // the suite's own helpers

// --- a handle on the device -------------------------------------------------

TEST_P(DeviceScenarios, StateFlagsFollowStartAndStop) {
    ASSERT_TRUE(rig_->add_device('A').valid());
    ChanIOControl c;
    EXPECT_TRUE(c.stopped());
    EXPECT_TRUE(c.stop());  // never started
    EXPECT_TRUE(c.was_stopped(1));
    EXPECT_FALSE(c.start(3));  // no such device
    EXPECT_TRUE(c.stopped());

    ASSERT_TRUE(c.start(0));
    EXPECT_TRUE(c.started());
    EXPECT_TRUE(c.was_started(100));
    EXPECT_FALSE(c.was_started(0));  // 0 never waits
    EXPECT_FALSE(c.was_stopped(1));
    EXPECT_FALSE(claim_free(id('A')));

    EXPECT_TRUE(c.stop());
    EXPECT_TRUE(c.stopped());
    EXPECT_TRUE(c.was_stopped(1));
    EXPECT_FALSE(c.was_started(1));
    EXPECT_TRUE(claim_free(id('A')));

    ASSERT_TRUE(c.start(0));  // a stopped connection starts again
    EXPECT_TRUE(c.stop());
}

TEST_P(DeviceScenarios, OneDeviceOneConnectionWithinAProcess) {
    ASSERT_TRUE(rig_->add_device('A').valid());
    ASSERT_TRUE(rig_->add_device('B').valid());
    ChanIOControl a, b, c;
    ASSERT_TRUE(a.start(0));
    EXPECT_FALSE(a.start(0));  // held by itself
    EXPECT_FALSE(b.start(0));
    // A running connection keeps its device and claim whatever it is asked.
    EXPECT_FALSE(a.start(1));
    EXPECT_TRUE(claim_free(id('B')));
    ASSERT_TRUE(b.start(1));
    EXPECT_FALSE(c.start(0));

    EXPECT_TRUE(a.stop());
    EXPECT_TRUE(c.start(0));
    c.stop();
    b.stop();
}

TEST_P(DeviceScenarios, FailedOpenGivesTheClaimBack) {
    ASSERT_TRUE(rig_->add_device('A').valid());
    USBSeqDriver::open_retries.store(0);  // the ID reads, every open attempt is used up
    ChanIOControl c;
    EXPECT_FALSE(c.start(0));
    EXPECT_TRUE(c.stopped());
    EXPECT_TRUE(claim_free(id('A')));
    EXPECT_TRUE(c.stop());
}

TEST_P(DeviceScenarios, DestroyingARunningConnectionStopsIt) {
    EmulatedDevice dev = rig_->add_device('A');
    ASSERT_TRUE(dev.valid());
    dev.bind(1, zorbel::echo_program());
    {
        ChanIOControl c;
        ASSERT_TRUE(c.start(0));
        ASSERT_NO_FATAL_FAILURE(echo_round_trip(c, 600));
    }
    EXPECT_TRUE(claim_free(id('A')));
    ChanIOControl again;
    EXPECT_TRUE(again.start(0));
}

TEST_P(DeviceScenarios, CancelAndCloseEndReads) {
    EmulatedDevice dev = rig_->add_device('A');
    ASSERT_TRUE(dev.valid());
    // A source answers only when asked: until then nothing comes to read.
    dev.bind(3, zorbel::source_program(512));
    // Closing is shown on a device of its own that stays silent: what the
    // first device's engine still sends once the host engine below has gone
    // would end a later raw read on it.
    ASSERT_TRUE(rig_->add_device('B').valid());
    auto handle = open_normal(0);
    ASSERT_TRUE(handle);
    unsigned char buf[1000];

    // A cancel before the read is not lost; it is used up by that read.
    handle->cancel_read();
    EXPECT_EQ(handle->read(buf, sizeof buf), -1);
    // A cancel from another thread ends a read that waits for data.
    auto read = std::async(std::launch::async, [&] { return handle->read(buf, sizeof buf); });
    EXPECT_EQ(read.wait_for(std::chrono::milliseconds(20)), std::future_status::timeout);
    handle->cancel_read();
    EXPECT_EQ(read.get(), -1);
    {
        // The handle still carries blocks both ways (the host's requests
        // out, the source's block in); the engine closes it when it goes.
        zorbel::testing::HostEngine host(handle);
        ChanInput source(&host.engine, 6);
        source.set_timeout(20000);
        const std::vector<unsigned char> got = receive(source, 512);
        ASSERT_EQ(got.size(), 512u);
        for (size_t k = 0; k < got.size(); ++k) ASSERT_EQ(got[k], zorbel::source_pattern(k)) << k;
    }

    // Closing one handle leaves another's read alone; closing its own ends it.
    handle = open_normal(1);
    auto other = open_normal(1);
    ASSERT_TRUE(handle && other);
    read = std::async(std::launch::async, [&] { return handle->read(buf, sizeof buf); });
    other->close();
    EXPECT_EQ(read.wait_for(std::chrono::milliseconds(20)), std::future_status::timeout);
    handle->close();
    EXPECT_EQ(read.get(), -1);
    handle->close();  // again: harmless
    const unsigned char byte = 1;
    EXPECT_EQ(handle->write(&byte, 1), -1);
    EXPECT_EQ(handle->read(buf, sizeof buf), -1);
    unsigned char record[zorbel::host::kInfoRecordSize];
    EXPECT_FALSE(handle->get_info(record));
    // The device itself is still there for the next open.
    auto again = open_normal(1);
    ASSERT_TRUE(again);
    EXPECT_EQ(hardware_id_of(*again), hw('B'));
}

TEST_P(DeviceScenarios, UnplugEndsAReadUnderWayAndEveryLaterRequest) {
    EmulatedDevice a = rig_->add_device('A');
    ASSERT_TRUE(a.valid());
    ASSERT_TRUE(rig_->add_device('B').valid());
    auto handle = open_normal(0);
    ASSERT_TRUE(handle);
    EXPECT_EQ(hardware_id_of(*handle), hw('A'));
    unsigned char buf[1000] = {};
    auto read = std::async(std::launch::async, [&] { return handle->read(buf, sizeof buf); });
    EXPECT_EQ(read.wait_for(std::chrono::milliseconds(20)), std::future_status::timeout);
    rig_->unplug(a);
    EXPECT_EQ(read.get(), -1);

    unsigned char record[zorbel::host::kInfoRecordSize];
    EXPECT_EQ(handle->read(buf, sizeof buf), -1);
    EXPECT_EQ(handle->write(buf, 8), -1);
    EXPECT_FALSE(handle->get_info(record));
    // It left the list, and the device behind it moved up.
    EXPECT_EQ(Get_Zorbel_Count(), 1);
    EXPECT_FALSE(open_normal(1));
    auto first = open_normal(0);
    ASSERT_TRUE(first);
    EXPECT_EQ(hardware_id_of(*first), hw('B'));

    // Back in: present again, behind the other, through a new handle only.
    ASSERT_TRUE(rig_->plug(a));
    EXPECT_EQ(handle->write(buf, 8), -1);
    auto again = open_normal(1);
    ASSERT_TRUE(again);
    EXPECT_EQ(hardware_id_of(*again), hw('A'));
}

ZORBEL_DEVICE_SCENARIOS_ON_EVERY_BACKEND();

}  // namespace
