// The device-level scenarios, written once and run against each backend that
// reaches devices (see fixtures/device_rig.h): the emulated bus directly, and
// libusb over a USB bus mocked with umockdev with the emulated bus's devices
// behind its nodes. The device functions seeing the bus, a boot and the
// device's return in normal mode, pipes carrying data both ways, a device
// unplugged and plugged back or staying away, stopping a connection under a
// waiting client, and a handle's read ended by a cancel, a close or an unplug.
#include <gtest/gtest.h>

#include <dirent.h>

#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fixtures/device_rig.h"
#include "usb/discovery.h"
#include "zorbel/emulator.h"
#include "zorbel/usb.h"

namespace {

using zorbel::EmulatedDevice;
using zorbel::testing::DeviceRig;
using zorbel::testing::RigMaker;

int thread_count() {
    int n = 0;
    if (DIR* dir = ::opendir("/proc/self/task")) {
        while (dirent* e = ::readdir(dir))
            if (e->d_name[0] != '.') ++n;
        ::closedir(dir);
    }
    return n;
}

class DeviceScenarios : public ::testing::TestWithParam<RigMaker> {
protected:
    void SetUp() override {
        // Some runtimes (ThreadSanitizer's) add a helper thread of their own
        // at the first thread start; let that happen before counting.
        std::thread([] {}).join();
        threads_before = thread_count();
        USBSeqDriver::open_retries.store(10);
        USBSeqDriver::open_retry_pause.store(2);
        std::string unavailable;
        rig = GetParam()(unavailable);
        if (!rig) GTEST_SKIP() << unavailable;
    }

    void TearDown() override {
        // GLib (under umockdev) starts a thread on first use and keeps it for
        // the life of the process: only what a rig of the same kind has made
        // before may stay.
        static std::set<RigMaker> made_before;
        const bool count_threads = rig && !made_before.insert(GetParam()).second;
        rig.reset();
        if (count_threads) {
            EXPECT_EQ(thread_count(), threads_before) << "a thread outlived its connection or bus";
        }
        USBSeqDriver::open_retries.store(10);
        USBSeqDriver::open_retry_pause.store(100);
    }

    static std::string id(char tag) { return DeviceRig::device_id(tag); }
    static std::string hw(char tag) { return DeviceRig::hardware_id(tag); }

    int threads_before = 0;
    std::unique_ptr<DeviceRig> rig;
};

// --- the device functions ---------------------------------------------------

TEST_P(DeviceScenarios, NothingAttached) {
    EXPECT_EQ(Get_Zorbel_Count(), 0);
    EXPECT_EQ(Get_Real_Zorbel_Count(), 0);
    for (int n : {-1, 0, 1, 3, 4, 100}) EXPECT_EQ(Get_Zorbel_State(n), -1) << n;
    int type = 7;
    char id[8] = "keep";
    char hwid[13] = "keep";
    EXPECT_FALSE(Get_Zorbel_Info(0, &type, id, hwid));
    EXPECT_EQ(type, 7);
    EXPECT_STREQ(id, "keep");
    EXPECT_FALSE(Get_Zorbel_HardwareID(0, hwid));
    EXPECT_FALSE(Get_Zorbel_ID(0, id));
    char wanted[] = "ZB0000000001";
    EXPECT_EQ(GetOpenIndexForDeviceByHID(wanted), -1);
    EXPECT_EQ(GetOpenIndexForDeviceByHID(nullptr), -1);
    EXPECT_FALSE(zorbel::open_device(DEVICE_KIND_NORMAL, 0, true));
    EXPECT_FALSE(zorbel::device_present(DEVICE_KIND_BOOT, 0));
}

TEST_P(DeviceScenarios, OneBootAndOneNormalDevice) {
    EmulatedDevice boot = rig->add_device('A', true);
    ASSERT_TRUE(rig->add_device('B').valid() && boot.valid());
    // The maker's vendor with another product: counted nowhere.
    ASSERT_TRUE(rig->add_foreign_device(ZORBEL_USB_VENDOR_ID, 0x0042));
    EXPECT_EQ(Get_Zorbel_Count(), 2);
    EXPECT_EQ(Get_Real_Zorbel_Count(), 2);
    EXPECT_EQ(Get_Zorbel_State(0), 1);
    EXPECT_EQ(Get_Zorbel_State(1), 2);
    EXPECT_EQ(Get_Zorbel_State(2), -1);

    int type = 5;
    char id[8];
    char hwid[13];
    ASSERT_TRUE(Get_Zorbel_Info(1, &type, id, hwid));
    EXPECT_EQ(type, 1);
    EXPECT_EQ(std::string(id), this->id('B'));
    EXPECT_EQ(std::string(hwid), hw('B'));

    // The boot-mode device answers no information request.
    type = 5;
    std::strcpy(id, "keep");
    EXPECT_FALSE(Get_Zorbel_Info(0, &type, id, hwid));
    EXPECT_EQ(type, 5);
    EXPECT_STREQ(id, "keep");

    char by_hw[13];
    ASSERT_TRUE(Get_Zorbel_HardwareID(1, by_hw));
    EXPECT_EQ(std::string(by_hw), hw('B'));
    char by_id[8];
    ASSERT_TRUE(Get_Zorbel_ID(1, by_id));
    EXPECT_EQ(std::string(by_id), this->id('B'));

    std::string present = hw('B');
    std::string booting = hw('A');
    std::string prefix = present.substr(0, 11);
    EXPECT_EQ(GetOpenIndexForDeviceByHID(&present[0]), 1);
    EXPECT_EQ(GetOpenIndexForDeviceByHID(&booting[0]), -1);
    EXPECT_EQ(GetOpenIndexForDeviceByHID(&prefix[0]), -1);

    // Any non-zero kind is the boot class.
    EXPECT_TRUE(zorbel::device_present(DEVICE_KIND_BOOT, 0));
    EXPECT_TRUE(zorbel::device_present(7, 0));
    EXPECT_TRUE(zorbel::device_present(-1, 0));
    EXPECT_FALSE(zorbel::device_present(DEVICE_KIND_BOOT, 1));
    EXPECT_FALSE(zorbel::device_present(DEVICE_KIND_NORMAL, -1));
}

TEST_P(DeviceScenarios, InformationRecordDecoding) {
    struct Case {
        const char* name;
        std::u16string units;
        int type;  // expected; the caller sets 42
        const char* hardware_id;
        const char* id;
    };
    const std::u16string full = u"CABCDEFGHIJKLxx1234567";
    std::u16string wide = u"TABC" + std::u16string(1, u'\u00E9') + u"DEFGHIJKxx" +
                          std::u16string(1, u'\u4E2D') + u"234567";
    const Case cases[] = {
        {"C gives 0, unused units ignored", full, 0, "ABCDEFGHIJKL", "1234567"},
        {"other letter keeps the caller's", u"XABCDEFGHIJKLxx1234567", 42, "ABCDEFGHIJKL", "1234567"},
        {"text ending early pads with zeros", u"TAB", 1, "AB", ""},
        {"zero in the middle ends everything", u"TABCDEFGHIJKL\0\0" u"1234567", 1, "ABCDEFGHIJKL", ""},
        {"units above 0x7F become ?", wide, 1, "ABC?DEFGHIJK", "?234567"},
        {"empty record", u"", 42, "", ""},
    };
    EmulatedDevice d = rig->add_device('A');
    ASSERT_TRUE(d.valid());
    for (const Case& c : cases) {
        d.set_info_record(c.units);  // read afresh by every request
        int type = 42;
        char id[8];
        char hwid[13];
        std::memset(id, 'z', sizeof id);
        std::memset(hwid, 'z', sizeof hwid);
        ASSERT_TRUE(Get_Zorbel_Info(0, &type, id, hwid)) << c.name;
        EXPECT_EQ(type, c.type) << c.name;
        EXPECT_STREQ(hwid, c.hardware_id) << c.name;
        EXPECT_STREQ(id, c.id) << c.name;
        // Padded with zeros to the full width, not just terminated.
        for (std::size_t i = std::strlen(c.hardware_id); i < sizeof hwid; ++i) EXPECT_EQ(hwid[i], 0) << c.name;
        for (std::size_t i = std::strlen(c.id); i < sizeof id; ++i) EXPECT_EQ(id[i], 0) << c.name;
    }
}

INSTANTIATE_TEST_SUITE_P(Emulated, DeviceScenarios, ::testing::Values(&zorbel::testing::make_emulated_rig));
INSTANTIATE_TEST_SUITE_P(Libusb, DeviceScenarios, ::testing::Values(&zorbel::testing::make_libusb_rig));

}  // namespace
