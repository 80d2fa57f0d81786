// The Windows backend over the fake kernel driver, for what the device
// scenarios do not reach: the exact arguments of its device calls, the bus
// walk's edge cases, discovery's failures and a read ended from another
// thread. Built in Windows builds only.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "fixtures/watchdog.h"
#include "usb/hub_walk.h"
#include "usb/windows/testing/fake_kernel_driver.h"
#include "usb/windows/windows_backend.h"
#include "zorbel/emulator.h"
#include "zorbel/usb.h"

namespace {

using zorbel::EmulatedBus;
using zorbel::EmulatedDeviceSettings;
using zorbel::host::OpenFailure;
using zorbel::testing::FakeKernelDriver;
using zorbel::testing::Watchdog;

// The emulated bus below the fake; the Windows backend is used directly and
// never put in force, so the library itself would still reach the bus.
class WindowsBackendTest : public ::testing::Test {
protected:
    EmulatedDeviceSettings settings(char tag, bool boot_mode = false) {
        EmulatedDeviceSettings s;
        s.boot_mode = boot_mode;
        s.hardware_id = std::string("ZBWINDOWS00") + tag;
        return s;
    }

    void TearDown() override {
        EXPECT_EQ(driver_.misuses(), 0);
        EXPECT_EQ(driver_.open_sets(), 0);
    }

    EmulatedBus bus_;
    FakeKernelDriver driver_{zorbel::host::current_backend()};
    zorbel::host::WindowsBackend backend_;
};

std::vector<unsigned char> bytes_of(const GUID& guid) {
    const auto* p = reinterpret_cast<const unsigned char*>(&guid);
    return std::vector<unsigned char>(p, p + sizeof guid);
}

// SetupAPI's own record sizes: 28 and 5 in a 32-bit program.
constexpr DWORD kInterfaceDataSize = sizeof(void*) == 8 ? 32 : 28;
constexpr DWORD kDetailSize = sizeof(void*) == 8 ? 8 : 5;

TEST_F(WindowsBackendTest, DiscoveryAndRequestsPassTheDriversCodesFlagsAndSizes) {
    const int root = bus_.add_controller(4, 0);
    bus_.add_device(root, 1, settings('A'));
    zorbel::EmulatedDevice loader = bus_.add_device(root, 2, settings('B', true));
    ASSERT_TRUE(loader.valid());

    OpenFailure failure;
    auto normal = backend_.open(DEVICE_KIND_NORMAL, 0, failure);
    ASSERT_TRUE(normal);
    EXPECT_EQ(failure, OpenFailure::none);
    FakeKernelDriver::Log log = driver_.log();
    ASSERT_EQ(log.class_devs.size(), 1u);
    EXPECT_EQ(bytes_of(log.class_devs[0].guid),
              (std::vector<unsigned char>{0xD6, 0x56, 0x67, 0xB6, 0x53, 0xC2, 0xB1, 0x43, 0xA0, 0x65, 0x80,
                                          0x91, 0x3E, 0xC5, 0xAC, 0x72}));
    EXPECT_EQ(log.class_devs[0].flags, 0x12u);
    EXPECT_TRUE(log.class_devs[0].enumerator_null);
    ASSERT_EQ(log.interfaces.size(), 1u);
    EXPECT_EQ(log.interfaces[0].cb_size, kInterfaceDataSize);
    EXPECT_EQ(log.interfaces[0].index, 0u);
    // The size first, with no record; then the record of that size.
    ASSERT_EQ(log.details.size(), 2u);
    EXPECT_EQ(log.details[0].cb_size, 0u);
    EXPECT_EQ(log.details[0].buffer_size, 0u);
    EXPECT_EQ(log.details[1].cb_size, kDetailSize);
    // The presence test without flags, then the open for overlapped I/O.
    ASSERT_EQ(log.opens.size(), 2u);
    for (const auto& open : log.opens) {
        EXPECT_EQ(open.path, log.opens[0].path);
        EXPECT_EQ(open.access, 0xC0000000u);
        EXPECT_EQ(open.share, 3u);
        EXPECT_EQ(open.disposition, 3u);
        EXPECT_TRUE(open.plain);
    }
    EXPECT_EQ(log.opens[0].flags, 0u);
    EXPECT_EQ(log.opens[1].flags, 0x40000000u);
    EXPECT_EQ(log.details[1].buffer_size, 4 + log.opens[0].path.size() + 1);

    driver_.clear_log();
    const unsigned char block[3] = {1, 2, 3};
    EXPECT_EQ(normal->write(block, sizeof block), 3);
    unsigned char record[zorbel::host::kInfoRecordSize];
    ASSERT_TRUE(normal->get_info(record));
    EXPECT_EQ(record[2], 'Z');
    normal->cancel_read();  // the read below then ends at once, without a request
    unsigned char buf[1000];
    EXPECT_EQ(normal->read(buf, sizeof buf), -1);
    auto reading = std::async(std::launch::async, [&] { return normal->read(buf, sizeof buf); });
    while (driver_.log().requests.size() < 3) std::this_thread::yield();
    normal->close();
    EXPECT_EQ(reading.get(), -1);
    log = driver_.log();
    ASSERT_EQ(log.requests.size(), 3u);
    EXPECT_EQ(log.requests[0].code, 0x2200A4u);
    EXPECT_EQ(log.requests[0].in_size, 3u);
    EXPECT_EQ(log.requests[0].out_size, 3u);
    EXPECT_EQ(log.requests[1].code, 0x22010Cu);
    EXPECT_EQ(log.requests[1].in_size, 44u);
    EXPECT_EQ(log.requests[1].out_size, 44u);
    EXPECT_EQ(log.requests[2].code, 0x2200A0u);
    EXPECT_EQ(log.requests[2].in_size, 1000u);
    EXPECT_EQ(log.requests[2].out_size, 1000u);
    for (const auto& request : log.requests) EXPECT_TRUE(request.overlapped);
    ASSERT_FALSE(log.result_waits.empty());
    for (bool wait : log.result_waits) EXPECT_TRUE(wait);

    driver_.clear_log();
    auto boot = backend_.open(DEVICE_KIND_BOOT, 0, failure);
    ASSERT_TRUE(boot);
    const std::vector<unsigned char> image = zorbel::make_boot_image("x", 1);
    EXPECT_EQ(boot->boot(image.data(), 3), 1);  // cut short: refused
    EXPECT_EQ(boot->boot(image.data(), static_cast<unsigned>(image.size())), 0);
    log = driver_.log();
    ASSERT_EQ(log.class_devs.size(), 1u);
    EXPECT_EQ(bytes_of(log.class_devs[0].guid),
              (std::vector<unsigned char>{0xDF, 0x3F, 0x87, 0x00, 0xA8, 0x61, 0xD1, 0x11, 0xAA, 0x5E, 0x00,
                                          0xC0, 0x4F, 0xB1, 0x72, 0x8B}));
    ASSERT_EQ(log.opens.size(), 2u);
    EXPECT_EQ(log.opens[1].flags, 0u);  // a boot loader is not read
    ASSERT_EQ(log.requests.size(), 2u);
    EXPECT_EQ(log.requests[1].code, 0x22003Cu);
    EXPECT_EQ(log.requests[1].in_size, image.size());
    EXPECT_EQ(log.requests[1].out_size, 0u);
    EXPECT_FALSE(log.requests[1].overlapped);
    boot->close();
    EXPECT_EQ(driver_.open_handles(), 0);
}

TEST_F(WindowsBackendTest, TheBusWalkAsksTheUsbStackAsItExpects) {
    const int root = bus_.add_controller(2, 0);
    const int hub = bus_.add_hub(root, 1, 3);
    bus_.add_device(hub, 2, settings('A'));
    const zorbel::BusCounts counts = zorbel::walk_usb_hubs(backend_);
    EXPECT_EQ(counts.normal, 1);
    const FakeKernelDriver::Log log = driver_.log();
    // Every controller name is tried, for writing and shared writing.
    std::vector<std::string> controllers;
    for (const auto& open : log.opens) {
        EXPECT_EQ(open.access, 0x40000000u) << open.path;
        EXPECT_EQ(open.share, 2u) << open.path;
        EXPECT_EQ(open.disposition, 3u) << open.path;
        EXPECT_EQ(open.flags, 0u) << open.path;
        if (open.path.compare(0, 7, "\\\\.\\HCD") == 0) controllers.push_back(open.path);
    }
    EXPECT_EQ(controllers.size(), 10u);
    EXPECT_EQ(controllers.front(), "\\\\.\\HCD0");
    EXPECT_EQ(controllers.back(), "\\\\.\\HCD9");
    // The root hub's name: the 6-byte probe, then the size it reported.
    ASSERT_GE(log.requests.size(), 2u);
    EXPECT_EQ(log.requests[0].code, 0x220408u);
    EXPECT_EQ(log.requests[0].out_size, 6u);
    EXPECT_EQ(log.requests[1].code, 0x220408u);
    EXPECT_GT(log.requests[1].out_size, 6u);
    int node = 0, connection = 0, name_probe = 0, name = 0;
    for (const auto& request : log.requests) {
        EXPECT_FALSE(request.overlapped);
        if (request.path.compare(0, 7, "\\\\.\\HCD") == 0) continue;
        if (request.code == 0x220408u && request.in_size == 76u && request.out_size == 76u) ++node;
        if (request.code == 0x22040Cu && request.in_size == 365u && request.out_size == 365u) ++connection;
        if (request.code == 0x220414u && request.in_size == 10u && request.out_size == 10u) ++name_probe;
        if (request.code == 0x220414u && request.in_size > 10u && request.in_size == request.out_size) ++name;
    }
    EXPECT_EQ(node, 2);        // each hub once
    EXPECT_EQ(connection, 5);  // each port once
    EXPECT_EQ(name_probe, 1);  // the one port with a hub
    EXPECT_EQ(name, 1);
    EXPECT_EQ(driver_.open_handles(), 0);
}

TEST(WindowsBusWalk, CountsWhatTheHubsReport) {
    struct Case {
        const char* what;
        std::function<void(EmulatedBus&)> build;
        int boot;
        int normal;
        const char* normal_location;  // where a lone normal-mode device is
    };
    const auto device = [](EmulatedBus& bus, int hub, int port, char tag, bool boot_mode = false) {
        EmulatedDeviceSettings s;
        s.boot_mode = boot_mode;
        s.hardware_id = std::string("ZBWALKCASE0") + tag;
        ASSERT_TRUE(bus.add_device(hub, port, s).valid());
    };
    const Case cases[] = {
        {"no controller", [](EmulatedBus&) {}, 0, 0, ""},
        {"a product of the maker that is neither mode",
         [&](EmulatedBus& bus) {
             const int root = bus.add_controller(2, 0);
             bus.add_foreign_device(root, 1, ZORBEL_USB_VENDOR_ID, 0x0042);
             device(bus, root, 2, 'A');
         },
         0, 1, "1-2"},
        {"behind two chained hubs, on a later controller",
         [&](EmulatedBus& bus) {
             const int root = bus.add_controller(4, 3);
             const int outer = bus.add_hub(root, 4, 4);
             const int inner = bus.add_hub(outer, 2, 4);
             device(bus, inner, 3, 'A');
             device(bus, inner, 1, 'B', true);
         },
         1, 1, "4-4.2.3"},
        {"a port not connected with the right IDs",
         [&](EmulatedBus& bus) {
             const int root = bus.add_controller(2, 0);
             bus.add_unconnected_port(root, 1, ZORBEL_USB_VENDOR_ID, ZORBEL_USB_PRODUCT_NORMAL);
         },
         0, 0, ""},
        {"a hub whose name cannot be read",
         [&](EmulatedBus& bus) {
             const int root = bus.add_controller(2, 0);
             const int hidden = bus.add_hub(root, 1, 4, false);
             device(bus, hidden, 1, 'A');
             device(bus, root, 2, 'B', true);
         },
         1, 0, ""},
        {"a controller whose root hub has no name",
         [&](EmulatedBus& bus) {
             const int hidden = bus.add_controller(2, 0, false);
             device(bus, hidden, 1, 'A');
             const int root = bus.add_controller(2, 9);
             device(bus, root, 2, 'B');
         },
         0, 1, ""},
        {"two devices of a kind",
         [&](EmulatedBus& bus) {
             const int root = bus.add_controller(2, 0);
             device(bus, root, 1, 'A');
             device(bus, root, 2, 'B');
         },
         0, 2, "1-1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EmulatedBus bus;
        FakeKernelDriver driver(zorbel::host::current_backend());
        zorbel::host::WindowsBackend backend;
        c.build(bus);
        const zorbel::BusCounts counts = zorbel::walk_usb_hubs(backend);
        EXPECT_EQ(counts.boot, c.boot);
        EXPECT_EQ(counts.normal, c.normal);
        EXPECT_EQ(backend.location(DEVICE_KIND_NORMAL, 0), c.normal_location);
        EXPECT_EQ(driver.misuses(), 0);
        EXPECT_EQ(driver.open_handles(), 0);
    }
}

TEST_F(WindowsBackendTest, DiscoveryFailsWithTheReasonTheSystemGives) {
    const int root = bus_.add_controller(4, 0);
    zorbel::EmulatedDevice device = bus_.add_device(root, 1, settings('A'));
    OpenFailure failure;
    EXPECT_FALSE(backend_.open(DEVICE_KIND_NORMAL, 1, failure));  // beyond the list
    EXPECT_EQ(failure, OpenFailure::no_device);
    EXPECT_FALSE(backend_.open(DEVICE_KIND_BOOT, 0, failure));
    EXPECT_EQ(failure, OpenFailure::no_device);
    EXPECT_FALSE(backend_.open(DEVICE_KIND_NORMAL, -1, failure));
    EXPECT_EQ(failure, OpenFailure::no_device);

    // Listed, but the open is refused: absent for the caller, who is told why.
    device.set_open_refused(true);
    driver_.clear_log();
    EXPECT_FALSE(backend_.open(DEVICE_KIND_NORMAL, 0, failure));
    EXPECT_EQ(failure, OpenFailure::permission_denied);
    EXPECT_EQ(driver_.log().opens.size(), 1u);  // the presence test alone
    device.set_open_refused(false);

    const struct {
        DWORD error;
        OpenFailure failure;
    } errors[] = {
        {ERROR_FILE_NOT_FOUND, OpenFailure::no_device},
        {ERROR_ACCESS_DENIED, OpenFailure::permission_denied},
        {ERROR_SHARING_VIOLATION, OpenFailure::busy},
        {ERROR_GEN_FAILURE, OpenFailure::io_error},
    };
    for (const auto& e : errors) {
        SCOPED_TRACE(e.error);
        driver_.set_open_error(e.error);
        EXPECT_FALSE(backend_.open(DEVICE_KIND_NORMAL, 0, failure));
        EXPECT_EQ(failure, e.failure);
    }
    driver_.set_open_error(0);
    EXPECT_TRUE(backend_.open(DEVICE_KIND_NORMAL, 0, failure));
    EXPECT_EQ(driver_.open_handles(), 0);  // the handle went with its last owner
}

TEST_F(WindowsBackendTest, ACancelFromAnotherThreadEndsTheReadAndIsNeverLost) {
    const int root = bus_.add_controller(4, 0);
    bus_.add_device(root, 1, settings('A'));
    OpenFailure failure;
    auto handle = backend_.open(DEVICE_KIND_NORMAL, 0, failure);
    ASSERT_TRUE(handle);
    unsigned char buf[1000];
    {
        Watchdog watchdog(std::chrono::seconds(20), "a read the driver has, cancelled");
        auto reading = std::async(std::launch::async, [&] { return handle->read(buf, sizeof buf); });
        // The request is with the driver when the cancel comes, so the cancel
        // reaches it there (CancelIoEx on the reader's request).
        while (driver_.log().requests.empty()) std::this_thread::yield();
        handle->cancel_read();
        EXPECT_EQ(reading.get(), -1);
        EXPECT_EQ(driver_.log().cancels, 1);
    }
    {
        // Wherever the cancel falls in the read's start, the read ends.
        Watchdog watchdog(std::chrono::seconds(60), "reads cancelled as they start");
        for (int round = 0; round < 200; ++round) {
            auto reading = std::async(std::launch::async, [&] { return handle->read(buf, sizeof buf); });
            if (round % 2) std::this_thread::yield();
            handle->cancel_read();
            ASSERT_EQ(reading.get(), -1) << round;
        }
    }
    handle->close();
    EXPECT_EQ(driver_.open_handles(), 0);
}

}  // namespace
