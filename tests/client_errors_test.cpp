// The modern interface's errors where no backend matters: the error category,
// selectors as people type them, and a device this user may not open (the
// emulated bus's stand-in for a device node without permission).
#include <gtest/gtest.h>

#include "zorbel/client.h"
#include "zorbel/emulator.h"
#include "zorbel/usb.h"

namespace {

using zorbel::errc;

TEST(ClientErrors, CodesCompareEqualToThePortableConditions) {
    struct Case {
        errc code;
        std::errc portable;  // std::errc{} where none fits
    };
    const Case cases[] = {
        {errc::no_such_device, std::errc::no_such_device},
        {errc::busy, std::errc::device_or_resource_busy},
        {errc::permission_denied, std::errc::permission_denied},
        {errc::device_gone, std::errc::no_such_device},
        {errc::timed_out, std::errc::timed_out},
        {errc::cancelled, std::errc::operation_canceled},
        {errc::invalid_argument, std::errc::invalid_argument},
        {errc::io_error, std::errc::io_error},
        {errc::ambiguous_selector, std::errc{}},
        {errc::wrong_mode, std::errc{}},
    };
    for (const Case& k : cases) {
        const std::error_code ec = k.code;
        EXPECT_STREQ(ec.category().name(), "zorbel");
        EXPECT_FALSE(ec.message().empty());
        if (k.portable != std::errc{}) {
            EXPECT_EQ(ec, k.portable) << ec.message();
        }
        EXPECT_NE(ec, std::errc::not_supported) << ec.message();
    }
    const zorbel::Error e(errc::busy, "device 1");
    EXPECT_EQ(e.code(), errc::busy);
    EXPECT_NE(std::string(e.what()).find("device 1"), std::string::npos);
}

TEST(ClientErrors, SelectorsAsTyped) {
    struct Case {
        const char* typed;
        bool number;
        int value;
    };
    const Case cases[] = {
        {"0", true, 0},     {"12", true, 12},      {"123", true, 123},
        {"1234", false, 0}, {"0000001", false, 0}, {"ZB0000000001", false, 0},
        {"1-2", false, 0},  {"", false, 0},        {"-1", false, 0},
    };
    for (const Case& k : cases) {
        zorbel::DeviceSelector s = zorbel::DeviceSelector::parse(k.typed);
        EXPECT_EQ(s.is_number(), k.number) << k.typed;
        if (k.number) {
            EXPECT_EQ(s.number(), k.value) << k.typed;
        } else {
            EXPECT_EQ(s.text(), k.typed);
        }
    }
}

TEST(ClientErrors, ADeviceThatRefusesToOpenIsReportedAsPermissionDenied) {
    zorbel::EmulatedBus bus;
    zorbel::EmulatedDevice device = bus.add_device(bus.add_controller(), 1);
    device.set_open_refused(true);
    EXPECT_TRUE(zorbel::list_devices().empty());  // no number without an open
    std::error_code ec;
    zorbel::connect(0, ec);
    EXPECT_EQ(ec, errc::permission_denied);
    // The classic calls say the same through last_error().
    EXPECT_EQ(Get_Zorbel_State(0), -1);
    EXPECT_EQ(zorbel::last_error(), errc::permission_denied);

    device.set_open_refused(false);
    EXPECT_EQ(zorbel::list_devices().size(), 1U);
    EXPECT_TRUE(zorbel::connect(0));
}

TEST(ClientErrors, NothingAttached) {
    zorbel::EmulatedBus bus;
    std::error_code ec;
    EXPECT_FALSE(zorbel::connect(0, ec));
    EXPECT_EQ(ec, errc::no_such_device);
    try {
        zorbel::connect("ZB0000000001");
        ADD_FAILURE() << "no exception";
    } catch (const zorbel::Error& e) {
        EXPECT_EQ(e.code(), errc::no_such_device);
        EXPECT_NE(std::string(e.what()).find("ZB0000000001"), std::string::npos) << e.what();
    }
    // Objects that hold nothing are safe to use and say so.
    zorbel::Pipe none;
    unsigned char byte = 0;
    EXPECT_EQ(none.read(&byte, 1, std::nullopt, ec), 0U);
    EXPECT_EQ(ec, errc::invalid_argument);
    EXPECT_THROW(none.flush(), zorbel::Error);
    zorbel::Connection closed;
    EXPECT_EQ(closed.pipe(1, "", ec).is_open(), false);
    EXPECT_EQ(ec, errc::cancelled);
    EXPECT_EQ(zorbel::boot(0, nullptr, 0, std::chrono::milliseconds(10), {}, ec).number, -1);
    EXPECT_EQ(ec, errc::no_such_device);
}

}  // namespace
