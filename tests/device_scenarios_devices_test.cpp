// Device scenarios: the device functions seeing the bus, device numbers, and a
// boot with the device's return in normal mode
// (fixtures/device_scenarios.h), on every backend.
#include "fixtures/device_scenarios.h"

namespace {

using namespace zorbel::testing::scenarios;  // the suite's own helpers

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
    EXPECT_FALSE(zorbel::open_device(DEVICE_KIND_NORMAL, 0));
    EXPECT_FALSE(zorbel::device_present(DEVICE_KIND_BOOT, 0));
}

TEST_P(DeviceScenarios, OneBootAndOneNormalDevice) {
    EmulatedDevice boot = rig_->add_device('A', true);
    ASSERT_TRUE(rig_->add_device('B').valid() && boot.valid());
    // The maker's vendor with another product: counted nowhere.
    ASSERT_TRUE(rig_->add_foreign_device(ZORBEL_USB_VENDOR_ID, 0x0042));
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
    std::u16string wide =
        u"TABC" + std::u16string(1, u'\u00E9') + u"DEFGHIJKxx" + std::u16string(1, u'\u4E2D') + u"234567";
    const Case cases[] = {
        {"C gives 0, unused units ignored", full, 0, "ABCDEFGHIJKL", "1234567"},
        {"other letter keeps the caller's", u"XABCDEFGHIJKLxx1234567", 42, "ABCDEFGHIJKL", "1234567"},
        {"text ending early pads with zeros", u"TAB", 1, "AB", ""},
        {"zero in the middle ends everything",
         // NOLINTNEXTLINE(bugprone-string-literal-with-embedded-nul): the zeros are the case
         u"TABCDEFGHIJKL\0\0"
         u"1234567",
         1, "ABCDEFGHIJKL", ""},
        {"units above 0x7F become ?", wide, 1, "ABC?DEFGHIJK", "?234567"},
        {"empty record", u"", 42, "", ""},
    };
    EmulatedDevice d = rig_->add_device('A');
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
        for (std::size_t i = std::strlen(c.hardware_id); i < sizeof hwid; ++i)
            EXPECT_EQ(hwid[i], 0) << c.name;
        for (std::size_t i = std::strlen(c.id); i < sizeof id; ++i) EXPECT_EQ(id[i], 0) << c.name;
    }
}

TEST_P(DeviceScenarios, DeviceNumbersCountBootModeDevicesFirst) {
    // Device number 1 is the normal-mode device behind a boot-mode one: the
    // connection reads its ID and opens that same device.
    ASSERT_TRUE(rig_->add_device('A', true).valid());
    ASSERT_TRUE(rig_->add_device('B').valid());
    ChanIOControl c;
    EXPECT_FALSE(c.start(0));  // boot mode: no ID, no connection
    ASSERT_TRUE(c.start(1));
    EXPECT_FALSE(claim_free(id('B')));
    XPipe* pipe = c.get_pipe_factory()->new_pipe(pipe_name, 1, 0);
    ASSERT_NE(pipe, nullptr);
    EXPECT_TRUE(pipe->release());
    EXPECT_TRUE(c.stop());
}

TEST_P(DeviceScenarios, BootedDeviceComesBackInNormalModeAndConnects) {
    // The normal-mode device first: the booted one comes back behind it.
    EmulatedDevice other = rig_->add_device('N');
    EmulatedDevice dev = rig_->add_device('A', true);
    ASSERT_TRUE(other.valid() && dev.valid());
    dev.bind(1, zorbel::echo_program());  // runs once booted
    std::vector<unsigned char> bad{1, 2, 3};
    EXPECT_EQ(Boot_Zorbel(0, bad.data(), static_cast<int>(bad.size())), 1);
    EXPECT_EQ(dev.boots(), 0u);
    const char payload[] = "a program for the device";
    std::vector<unsigned char> image = zorbel::make_boot_image(payload, sizeof payload);
    ASSERT_EQ(Boot_Zorbel(0, image.data(), static_cast<int>(image.size())), 0);
    ASSERT_TRUE(rig_->wait_normal_mode(dev, 5000));
    EXPECT_EQ(dev.boots(), 1u);

    // It left the boot class and arrived behind the device already present,
    // with the same hardware ID.
    EXPECT_EQ(Get_Zorbel_State(0), 2);
    EXPECT_EQ(Get_Zorbel_State(1), 2);
    EXPECT_EQ(Get_Zorbel_Count(), 2);
    EXPECT_EQ(Get_Real_Zorbel_Count(), 2);
    EXPECT_EQ(zorbel::walk_usb_hubs().boot, 0);
    char hardware_id[13] = {};
    ASSERT_TRUE(Get_Zorbel_HardwareID(1, hardware_id));
    EXPECT_EQ(std::string(hardware_id), hw('A'));
    EXPECT_EQ(GetOpenIndexForDeviceByHID(hardware_id), 1);
    EXPECT_EQ(Boot_Zorbel(0, image.data(), static_cast<int>(image.size())), -1);

    // Its programs run, and the traffic reaches it and not the other device.
    ChanIOControl c;
    ASSERT_TRUE(c.start(1));
    ASSERT_NO_FATAL_FAILURE(echo_round_trip(c, 5000));
    EXPECT_TRUE(c.stop());
    EXPECT_GT(dev.to_device_stats().bytes, 0u);
    EXPECT_EQ(other.to_device_stats().bytes, 0u);
}

ZORBEL_DEVICE_SCENARIOS_ON_EVERY_BACKEND();

}  // namespace
