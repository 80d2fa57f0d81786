// The libusb backend against a USB bus mocked with umockdev, with small test
// gadgets behind the nodes: discovery order across buses and hub tiers, the
// transfer sizes, the interface claim, the boot request's size fields and the
// bus walk. Cancelling, closing and unplugging under a read, and everything
// above the handle, run on this backend in device_scenarios_*_test.cpp.
//
// The harness puts umockdev's preload library in front of the program (it
// re-executes it); the tests skip when umockdev is not installed.
#include <gtest/gtest.h>

#if defined(ZORBEL_HAVE_LIBUSB) && defined(ZORBEL_HAVE_UMOCKDEV)

#include <chrono>
#include <thread>
#include <vector>

#include "usb/libusb/libusb_backend.h"
#include "usb/libusb/testing/umockdev_bus.h"
#include "usb/libusb/usb_mapping.h"
#include "zorbel/usb.h"

namespace {

using zorbel::host::DeviceHandle;
using zorbel::host::LibusbBackend;
using zorbel::host::OpenFailure;
using zorbel::host::PortInfo;
using zorbel::testing::ControlSetup;
using zorbel::testing::Gadget;
using zorbel::testing::UmockdevBus;

// The information record: type letter, hardware ID, two unused units, ID.
std::vector<unsigned char> record(const std::string& hardware_id, const std::string& id) {
    std::string text = "C" + hardware_id + "  " + id;
    text.resize(22, '\0');
    std::vector<unsigned char> r;
    for (char c : text) {
        r.push_back(static_cast<unsigned char>(c));
        r.push_back(0);
    }
    return r;
}

// A normal-mode device that sends back every byte it receives.
class Loopback : public Gadget {
public:
    explicit Loopback(std::string hardware_id) : info_(record(hardware_id, "ID00001")) {}
    bool control(const ControlSetup& s, std::vector<unsigned char>& data) override {
        if (s.request_type != zorbel::usbmap::kVendorIn || s.request != zorbel::usbmap::kRequestGetInfo)
            return false;
        data = info_;
        return true;
    }
    void bulk_out(const unsigned char* data, std::size_t len) override { send_in(data, len); }

private:
    std::vector<unsigned char> info_;
};

// A device in its boot loader: takes an image that starts with "ZB" and then
// re-enumerates as a normal-mode device with the same hardware ID.
class BootLoader : public Gadget {
public:
    explicit BootLoader(std::string id) : hardware_id_(std::move(id)) {}
    bool control(const ControlSetup& s, std::vector<unsigned char>& data) override {
        if (s.request == zorbel::usbmap::kRequestBootBegin) {
            expected_ = s.value | static_cast<std::size_t>(s.index) << 16;
            image_.clear();
            return true;
        }
        if (s.request != zorbel::usbmap::kRequestBootStatus) return false;
        const bool good =
            image_.size() == expected_ && image_.size() >= 2 && image_[0] == 'Z' && image_[1] == 'B';
        data.assign(1, good ? 0 : 1);
        if (good) reenumerate(std::make_shared<Loopback>(hardware_id_), ZORBEL_USB_PRODUCT_NORMAL, 5);
        return true;
    }
    void bulk_out(const unsigned char* data, std::size_t len) override {
        image_.insert(image_.end(), data, data + len);
    }

private:
    std::string hardware_id_;
    std::size_t expected_ = 0;
    std::vector<unsigned char> image_;
};

std::string hardware_id_of(DeviceHandle& h) {
    unsigned char r[zorbel::host::kInfoRecordSize];
    if (!h.get_info(r)) return "";
    std::string id;
    for (int i = 1; i <= 12; ++i) id += static_cast<char>(r[2 * i]);
    return id;
}

class LibusbBackendTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!UmockdevBus::preload_active()) GTEST_SKIP() << "umockdev preload not in force";
        bus_ = std::make_unique<UmockdevBus>();
        // bus 1: 4 ports; a hub at 1-2 with a hub at 1-2.3 below it; bus 2.
        const std::string root1 = bus_->add_root_hub(1, 4);
        const std::string root2 = bus_->add_root_hub(2, 2);
        const std::string hub = bus_->add_hub(root1, 2, 4);
        const std::string deep = bus_->add_hub(hub, 3, 2);
        bus_->add_device(root2, 1, ZORBEL_USB_VENDOR_ID, ZORBEL_USB_PRODUCT_NORMAL,
                         std::make_shared<Loopback>("HW0000000003"));
        bus_->add_device(deep, 1, ZORBEL_USB_VENDOR_ID, ZORBEL_USB_PRODUCT_NORMAL,
                         std::make_shared<Loopback>("HW0000000002"));
        bus_->add_device(root1, 1, ZORBEL_USB_VENDOR_ID, ZORBEL_USB_PRODUCT_NORMAL,
                         std::make_shared<Loopback>("HW0000000001"));
        bus_->add_device(hub, 1, ZORBEL_USB_VENDOR_ID, ZORBEL_USB_PRODUCT_BOOT,
                         std::make_shared<BootLoader>("HWBOOT000001"));
        bus_->add_device(root1, 3, ZORBEL_USB_VENDOR_ID, 0x0042);       // another product
        bus_->add_device(root1, 4, 0x1234, ZORBEL_USB_PRODUCT_NORMAL);  // another vendor
        backend_ = std::make_unique<LibusbBackend>();
    }
    void TearDown() override {
        backend_.reset();
        bus_.reset();
    }

    std::unique_ptr<UmockdevBus> bus_;
    std::unique_ptr<LibusbBackend> backend_;
    OpenFailure failure_ = OpenFailure::none;
};

TEST_F(LibusbBackendTest, ListsEachKindByBusThenPortPath) {
    EXPECT_EQ(backend_->count(DEVICE_KIND_NORMAL), 3);
    EXPECT_EQ(backend_->count(DEVICE_KIND_BOOT), 1);
    const char* order[] = {"HW0000000001", "HW0000000002", "HW0000000003"};
    for (int i = 0; i < 3; ++i) {
        auto h = backend_->open(DEVICE_KIND_NORMAL, i, failure_);
        ASSERT_NE(h, nullptr) << i;
        EXPECT_EQ(hardware_id_of(*h), order[i]);
    }
    EXPECT_EQ(backend_->open(DEVICE_KIND_NORMAL, 3, failure_), nullptr);
    EXPECT_EQ(backend_->open(DEVICE_KIND_NORMAL, -1, failure_), nullptr);
    EXPECT_NE(backend_->open(DEVICE_KIND_BOOT, 0, failure_), nullptr);
    EXPECT_NE(backend_->open(7, 0, failure_), nullptr);  // any other kind means boot
    EXPECT_EQ(backend_->open(DEVICE_KIND_BOOT, 1, failure_), nullptr);
}

TEST_F(LibusbBackendTest, CarriesBytesBothWays) {
    auto h = backend_->open(DEVICE_KIND_NORMAL, 0, failure_);
    ASSERT_NE(h, nullptr);
    for (unsigned size : {1u, 511u, 512u, 1000u, 4096u}) {
        std::vector<unsigned char> out(size);
        for (unsigned i = 0; i < size; ++i) out[i] = static_cast<unsigned char>(i * 7 + size);
        ASSERT_EQ(h->write(out.data(), size), static_cast<long>(size));
        std::vector<unsigned char> in;
        unsigned char buf[1000];
        while (in.size() < size) {
            const long n = h->read(buf, sizeof buf);
            ASSERT_GT(n, 0);
            in.insert(in.end(), buf, buf + n);
        }
        EXPECT_EQ(in, out) << size;
    }
    const unsigned char byte = 1;
    EXPECT_EQ(h->write(&byte, 0), -1);
    std::vector<unsigned char> big(4097);
    EXPECT_EQ(h->write(big.data(), 4097), -1);
}

TEST_F(LibusbBackendTest, OneHandleMovesBulkDataOthersStillAskForInformation) {
    auto first = backend_->open(DEVICE_KIND_NORMAL, 0, failure_);
    auto second = backend_->open(DEVICE_KIND_NORMAL, 0, failure_);
    ASSERT_TRUE(first && second);
    // Both answer vendor requests before any of them moved data...
    EXPECT_EQ(hardware_id_of(*first), "HW0000000001");
    const unsigned char byte = 0x11;
    unsigned char buf[16];
    ASSERT_EQ(first->write(&byte, 1), 1);
    ASSERT_EQ(first->read(buf, sizeof buf), 1);
    // ...and after: only the data path is held by the first handle.
    EXPECT_EQ(hardware_id_of(*second), "HW0000000001");
    EXPECT_EQ(second->write(&byte, 1), -1);
    first->close();
    ASSERT_EQ(second->write(&byte, 1), 1);
    EXPECT_EQ(second->read(buf, sizeof buf), 1);
}

TEST_F(LibusbBackendTest, BootHandsOverTheImageAndTheDeviceComesBackNormal) {
    auto boot = backend_->open(DEVICE_KIND_BOOT, 0, failure_);
    ASSERT_NE(boot, nullptr);
    const std::vector<unsigned char> bad{'X', 'Y', 'Z'};
    EXPECT_EQ(boot->boot(bad.data(), bad.size()), 1);
    EXPECT_EQ(boot->boot(nullptr, 0), 1);
    EXPECT_EQ(boot->boot(nullptr, 5), -1);
    std::vector<unsigned char> image(70000, 0xA5);  // spans the 16-bit size field
    image[0] = 'Z';
    image[1] = 'B';
    EXPECT_EQ(boot->boot(image.data(), image.size()), 0);
    boot.reset();
    bus_->settle();
    for (int i = 0; i < 200 && backend_->count(DEVICE_KIND_NORMAL) != 4; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(backend_->count(DEVICE_KIND_BOOT), 0);
    ASSERT_EQ(backend_->count(DEVICE_KIND_NORMAL), 4);
    // 1-2.1 sorts after 1-1 and before 1-2.3.1.
    auto booted = backend_->open(DEVICE_KIND_NORMAL, 1, failure_);
    ASSERT_NE(booted, nullptr);
    EXPECT_EQ(hardware_id_of(*booted), "HWBOOT000001");
}

TEST_F(LibusbBackendTest, WalksControllersHubsAndPorts) {
    std::string hub;
    ASSERT_TRUE(backend_->root_hub_name(0, hub));
    EXPECT_EQ(hub, "usb1");
    ASSERT_TRUE(backend_->root_hub_name(1, hub));
    EXPECT_EQ(hub, "usb2");
    EXPECT_FALSE(backend_->root_hub_name(2, hub));
    EXPECT_FALSE(backend_->root_hub_name(-1, hub));

    int ports = 0;
    ASSERT_TRUE(backend_->hub_port_count("usb1", ports));
    EXPECT_EQ(ports, 4);

    struct Case {
        const char* hub;
        int port;
        bool readable, connected;
        std::uint16_t vendor, product;
        bool is_hub;
    } cases[] = {
        {"usb1", 1, true, true, ZORBEL_USB_VENDOR_ID, ZORBEL_USB_PRODUCT_NORMAL, false},
        {"usb1", 2, true, true, 0x05E3, 0x0608, true},
        {"usb1", 3, true, true, ZORBEL_USB_VENDOR_ID, 0x0042, false},
        {"usb1", 4, true, true, 0x1234, ZORBEL_USB_PRODUCT_NORMAL, false},
        {"usb1", 5, false, false, 0, 0, false},
        {"usb2", 2, true, false, 0, 0, false},
        {"1-2", 1, true, true, ZORBEL_USB_VENDOR_ID, ZORBEL_USB_PRODUCT_BOOT, false},
        {"1-2", 2, true, false, 0, 0, false},
        {"1-2.3", 1, true, true, ZORBEL_USB_VENDOR_ID, ZORBEL_USB_PRODUCT_NORMAL, false},
        {"../usb1", 1, false, false, 0, 0, false},
        {"9-9", 1, false, false, 0, 0, false},
    };
    for (const Case& c : cases) {
        PortInfo info;
        ASSERT_EQ(backend_->port_info(c.hub, c.port, info), c.readable) << c.hub << " " << c.port;
        if (!c.readable) continue;
        EXPECT_EQ(info.connected, c.connected) << c.hub << " " << c.port;
        EXPECT_EQ(info.vendor_id, c.vendor) << c.hub << " " << c.port;
        EXPECT_EQ(info.product_id, c.product) << c.hub << " " << c.port;
        EXPECT_EQ(info.is_hub, c.is_hub) << c.hub << " " << c.port;
    }
    std::string name;
    ASSERT_TRUE(backend_->port_hub_name("usb1", 2, name));
    EXPECT_EQ(name, "1-2");
    ASSERT_TRUE(backend_->port_hub_name("1-2", 3, name));
    EXPECT_EQ(name, "1-2.3");
    EXPECT_FALSE(backend_->port_hub_name("usb1", 1, name));  // a device, not a hub
    EXPECT_FALSE(backend_->port_hub_name("usb2", 2, name));  // nothing there
}

}  // namespace

#else

TEST(LibusbBackendTest, NeedsLibusbAndUmockdev) { GTEST_SKIP() << "built without libusb-1.0 or umockdev"; }

#endif
