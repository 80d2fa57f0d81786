// The device functions and the bus walk on emulated buses, for what needs the
// emulated bus's own fixtures. What holds on every backend is in
// device_scenarios_*_test.cpp.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "usb/discovery.h"
#include "usb/hub_walk.h"
#include "zorbel/emulator.h"
#include "zorbel/usb.h"

namespace {

using zorbel::EmulatedBus;
using zorbel::EmulatedDevice;
using zorbel::EmulatedDeviceSettings;

EmulatedDeviceSettings normal(const char* hardware_id, const char* id = "0000001") {
    EmulatedDeviceSettings s;
    s.hardware_id = hardware_id;
    s.id = id;
    return s;
}

EmulatedDeviceSettings boot(const char* hardware_id) {
    EmulatedDeviceSettings s = normal(hardware_id);
    s.boot_mode = true;
    return s;
}

TEST(DeviceFunctions, FailingDevicesCountAsAbsent) {
    EmulatedBus bus;
    int root = bus.add_controller();
    EmulatedDevice mute = bus.add_device(root, 1, normal("ZB00000000A1"));
    EmulatedDevice fine = bus.add_device(root, 2, normal("ZB00000000A2", "0000002"));
    EmulatedDevice shut = bus.add_device(root, 3, normal("ZB00000000A3"));
    mute.set_info_fails(true);
    shut.set_open_refused(true);

    // The refused device is on the bus but opens nowhere.
    EXPECT_EQ(Get_Real_Zorbel_Count(), 3);
    EXPECT_EQ(Get_Zorbel_Count(), 2);
    EXPECT_EQ(Get_Zorbel_State(1), 2);
    EXPECT_EQ(Get_Zorbel_State(2), -1);

    int type = 9;
    char id[8] = "keep";
    char hwid[13] = "keep";
    EXPECT_FALSE(Get_Zorbel_Info(0, &type, id, hwid));
    EXPECT_EQ(type, 9);
    EXPECT_STREQ(hwid, "keep");
    // The lookup skips the device that does not answer.
    char wanted[] = "ZB00000000A2";
    EXPECT_EQ(GetOpenIndexForDeviceByHID(wanted), 1);
    char refused[] = "ZB00000000A3";
    EXPECT_EQ(GetOpenIndexForDeviceByHID(refused), -1);
}

TEST(DeviceFunctions, OnlyIndicesZeroToThreeAreLookedAt) {
    EmulatedBus bus;
    int root = bus.add_controller(8);
    std::vector<EmulatedDevice> devices;
    for (int i = 0; i < 5; ++i) {
        std::string hw = "ZB000000000" + std::to_string(i);
        devices.push_back(bus.add_device(root, i + 1, normal(hw.c_str())));
    }
    bus.add_device(root, 6, boot("ZB00000000B0"));
    EXPECT_EQ(Get_Real_Zorbel_Count(), 6);
    EXPECT_EQ(Get_Zorbel_Count(), 5);  // the boot-mode one plus four normal
    EXPECT_EQ(Get_Zorbel_State(4), 2);
    EXPECT_EQ(Get_Zorbel_State(5), -1);
    char third[] = "ZB0000000002";
    char fourth[] = "ZB0000000003";
    EXPECT_EQ(GetOpenIndexForDeviceByHID(third), 3);
    // Device number 4 exists but the lookup never goes above 3.
    EXPECT_EQ(GetOpenIndexForDeviceByHID(fourth), -1);
    // A connection still opens what it is given.
    EXPECT_TRUE(zorbel::open_device(DEVICE_KIND_NORMAL, 4));
}

TEST(DeviceFunctions, RegisterFunctionsKeepNothing) {
    auto proc = [](int) { FAIL() << "never called"; };
    EXPECT_EQ(Register_Zorbel_Connect_proc(proc), -1);
    EXPECT_EQ(Register_Zorbel_Disconnect_proc(proc), -1);
    EXPECT_EQ(Register_Zorbel_Connect_proc(nullptr), -1);
    EXPECT_EQ(Register_Zorbel_Disconnect_proc(nullptr), -1);
}

TEST(BootZorbel, BadArgumentsAndMissingDevicesAreRefusedWithoutRequest) {
    EmulatedBus bus;
    EmulatedBus::Demo demo = bus.add_demo();
    std::vector<unsigned char> image = zorbel::make_boot_image("x", 1);
    int size = static_cast<int>(image.size());
    EXPECT_EQ(Boot_Zorbel(0, image.data(), -1), -1);
    EXPECT_EQ(Boot_Zorbel(0, nullptr, 10), -1);
    EXPECT_EQ(Boot_Zorbel(1, image.data(), size), -1);  // no second boot-mode device
    EXPECT_EQ(Boot_Zorbel(-1, image.data(), size), -1);
    EXPECT_EQ(demo.boot.boots(), 0u);
    EXPECT_TRUE(demo.boot.boot_mode());
}

TEST(BootZorbel, RefusedImages) {
    EmulatedBus bus;
    EmulatedBus::Demo demo = bus.add_demo();
    std::vector<unsigned char> good = zorbel::make_boot_image("payload", 7);
    std::vector<unsigned char> bad_crc = good;
    bad_crc[5] ^= 1;
    std::vector<unsigned char> bad_magic = good;
    bad_magic[0] = 'Y';
    std::vector<unsigned char> cut(good.begin(), good.end() - 1);
    struct Case {
        const char* name;
        void* image;
        int size;
    };
    const Case cases[] = {
        {"empty, no image", nullptr, 0},
        {"empty", good.data(), 0},
        {"damaged", bad_crc.data(), static_cast<int>(bad_crc.size())},
        {"foreign", bad_magic.data(), static_cast<int>(bad_magic.size())},
        {"truncated", cut.data(), static_cast<int>(cut.size())},
    };
    for (const Case& c : cases) EXPECT_EQ(Boot_Zorbel(0, c.image, c.size), 1) << c.name;
    EXPECT_EQ(demo.boot.boots(), 0u);
    EXPECT_EQ(Get_Zorbel_State(0), 1);
}

TEST(BootZorbel, HandleOfTheBootModeIncarnationFailsAfterTheBoot) {
    EmulatedBus bus;
    EmulatedDevice d = bus.add_device(bus.add_controller(), 1, boot("ZB0000000001"));
    d.set_boot_delay(0);
    auto handle = zorbel::open_device(DEVICE_KIND_BOOT, 0);
    ASSERT_TRUE(handle);
    unsigned char byte = 0;
    EXPECT_EQ(handle->write(&byte, 1), -1);  // no data path in boot mode
    unsigned char record[zorbel::host::kInfoRecordSize];
    EXPECT_FALSE(handle->get_info(record));
    std::vector<unsigned char> image = zorbel::make_boot_image("x", 1);
    ASSERT_EQ(handle->boot(image.data(), static_cast<unsigned>(image.size())), 0);
    ASSERT_TRUE(d.wait_normal_mode(5000));
    EXPECT_EQ(handle->boot(image.data(), static_cast<unsigned>(image.size())), -1);
    auto normal_handle = zorbel::open_device(DEVICE_KIND_NORMAL, 0);
    ASSERT_TRUE(normal_handle);
    EXPECT_TRUE(normal_handle->get_info(record));
    EXPECT_EQ(normal_handle->boot(image.data(), static_cast<unsigned>(image.size())), -1);
}

// --- the bus walk ------------------------------------------------------------

TEST(HubWalk, CountsWhatIsConnectedWithTheRightIds) {
    EmulatedBus bus;
    int root0 = bus.add_controller(4, 0);
    int root9 = bus.add_controller(2, 9);  // numbers need not be contiguous
    int hub_a = bus.add_hub(root0, 1);
    int hub_b = bus.add_hub(hub_a, 4);  // two external hubs chained
    bus.add_device(hub_b, 2, normal("ZB0000000001"));
    bus.add_device(root9, 2, boot("ZB0000000002"));
    // Zorbel's vendor with another product, another vendor with Zorbel's
    // products, and a port that holds the right IDs but is not connected.
    bus.add_foreign_device(root0, 2, ZORBEL_USB_VENDOR_ID, 0x0042);
    bus.add_foreign_device(hub_a, 1, 0x1234, ZORBEL_USB_PRODUCT_NORMAL);
    bus.add_foreign_device(hub_a, 2, 0x1234, ZORBEL_USB_PRODUCT_BOOT);
    bus.add_unconnected_port(root0, 3, ZORBEL_USB_VENDOR_ID, ZORBEL_USB_PRODUCT_NORMAL);
    bus.add_unconnected_port(hub_b, 1, ZORBEL_USB_VENDOR_ID, ZORBEL_USB_PRODUCT_BOOT);

    zorbel::BusCounts counts = zorbel::walk_usb_hubs();
    EXPECT_EQ(counts.boot, 1);
    EXPECT_EQ(counts.normal, 1);
    EXPECT_EQ(zorbel::count_boot_devices_on_bus(), 1);
    EXPECT_EQ(Get_Real_Zorbel_Count(), 2);
}

TEST(HubWalk, HubsWhoseNameCannotBeReadAreNotDescended) {
    EmulatedBus bus;
    int root = bus.add_controller(3);
    int hidden = bus.add_hub(root, 1, 4, false);
    int below = bus.add_hub(hidden, 1);
    bus.add_device(hidden, 2, normal("ZB0000000001"));
    bus.add_device(below, 1, boot("ZB0000000002"));
    int unreadable_root = bus.add_controller(2, -1, false);
    bus.add_device(unreadable_root, 1, normal("ZB0000000003"));
    bus.add_device(root, 2, normal("ZB0000000004"));

    zorbel::BusCounts counts = zorbel::walk_usb_hubs();
    EXPECT_EQ(counts.normal, 1);
    EXPECT_EQ(counts.boot, 0);
    // The device functions still see every device they can open.
    EXPECT_EQ(Get_Zorbel_State(0), 1);
    EXPECT_EQ(Get_Zorbel_Count(), 3);  // the walk counts no boot-mode device
}

TEST(HubWalk, StopsAtTheTierLimit) {
    EmulatedBus bus;
    int hub = bus.add_controller(2);
    // A device beside every hub of a chain far longer than USB allows.
    for (int depth = 0; depth < 12; ++depth) {
        bus.add_device(hub, 2, normal(("ZB" + std::to_string(1000000000 + depth)).c_str()));
        hub = bus.add_hub(hub, 1, 2);
    }
    // Root hub (tier 1) and external hubs on tiers 2 to 6: six hubs walked.
    EXPECT_EQ(zorbel::walk_usb_hubs().normal, zorbel::kMaxHubTier);
}

// A bus whose every hub names itself as the hub on its port 1.
class CyclicBackend : public zorbel::host::Backend {
public:
    std::shared_ptr<zorbel::host::DeviceHandle> open(int, int, zorbel::host::OpenFailure& failure) override {
        failure = zorbel::host::OpenFailure::no_device;
        return nullptr;
    }
    std::string location(int, int) override { return std::string(); }
    bool root_hub_name(int controller, std::string& hub) override {
        hub = "loop";
        return controller == 0;
    }
    bool hub_port_count(const std::string&, int& ports) override {
        ports = 2;
        return true;
    }
    bool port_info(const std::string&, int port, zorbel::host::PortInfo& info) override {
        ++queries;
        info.connected = true;
        info.vendor_id = ZORBEL_USB_VENDOR_ID;
        info.product_id = port == 1 ? 0x0009 : ZORBEL_USB_PRODUCT_BOOT;
        info.is_hub = port == 1;
        return true;
    }
    bool port_hub_name(const std::string& hub, int, std::string& name) override {
        name = hub;
        return true;
    }
    int queries = 0;
};

TEST(HubWalk, CycleEndsAtTheTierLimit) {
    CyclicBackend backend;
    zorbel::BusCounts counts = zorbel::walk_usb_hubs(backend);
    EXPECT_EQ(counts.boot, zorbel::kMaxHubTier);
    EXPECT_EQ(backend.queries, 2 * zorbel::kMaxHubTier);
}

// --- selection of the backend ------------------------------------------------

TEST(DeviceHost, NewestBusWinsAndGivesWayWhenDestroyed) {
    EmulatedBus outer;
    outer.add_demo();
    EXPECT_EQ(Get_Real_Zorbel_Count(), 2);
    {
        EmulatedBus inner;
        EXPECT_EQ(Get_Real_Zorbel_Count(), 0);
        inner.add_device(inner.add_controller(), 1, normal("ZB0000000009"));
        EXPECT_EQ(Get_Zorbel_Count(), 1);
    }
    EXPECT_EQ(Get_Real_Zorbel_Count(), 2);
    // A handle outlives its bus: every request on it fails.
    auto handle = zorbel::open_device(DEVICE_KIND_NORMAL, 0);
    ASSERT_TRUE(handle);
    {
        EmulatedBus inner;  // pushed and removed again, outer keeps its devices
    }
    unsigned char record[zorbel::host::kInfoRecordSize];
    EXPECT_TRUE(handle->get_info(record));
}

TEST(DeviceFunctions, SafeFromSeveralThreadsWhileDevicesComeAndGo) {
    EmulatedBus bus;
    EmulatedBus::Demo demo = bus.add_demo();
    std::atomic<bool> stop{false};
    std::thread churn([&] {
        while (!stop.load()) {
            demo.normal.unplug();
            demo.normal.plug();
        }
    });
    std::vector<std::thread> askers;
    for (int t = 0; t < 3; ++t) {
        askers.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                int state = Get_Zorbel_State(1);
                EXPECT_TRUE(state == 2 || state == -1) << state;
                char hwid[13];
                if (Get_Zorbel_HardwareID(1, hwid)) {
                    EXPECT_STREQ(hwid, "ZB0000000002");
                }
                int count = Get_Zorbel_Count();
                EXPECT_TRUE(count == 1 || count == 2) << count;
                EXPECT_EQ(Get_Zorbel_State(0), 1);
            }
        });
    }
    for (auto& t : askers) t.join();
    stop.store(true);
    churn.join();
}

}  // namespace
