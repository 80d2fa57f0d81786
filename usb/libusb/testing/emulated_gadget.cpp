#include "usb/libusb/testing/emulated_gadget.h"

#include <cstring>

#include "usb/libusb/usb_mapping.h"
#include "zorbel/usb.h"

namespace zorbel {
namespace testing {

EmulatedGadget::EmulatedGadget(Opener o, std::function<std::shared_ptr<Gadget>()> b)
    : open_(std::move(o)), booted_(std::move(b)) {}

EmulatedGadget::~EmulatedGadget() { unplugged(); }

std::shared_ptr<host::DeviceHandle> EmulatedGadget::device() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (ended_) return nullptr;
    if (!handle_) {
        handle_ = open_();
        // The bulk IN pump starts with the first request: a host talks to a
        // device before it reads from it.
        if (handle_) pumping_ = std::thread(&EmulatedGadget::pump, this, handle_);
    }
    return handle_;
}

void EmulatedGadget::pump(std::shared_ptr<host::DeviceHandle> h) {
    unsigned char buf[1000];
    for (;;) {
        const long n = h->read(buf, sizeof buf);
        if (n <= 0) return;  // closed or unplugged
        send_in(buf, static_cast<std::size_t>(n));
    }
}

void EmulatedGadget::unplugged() {
    std::thread joining;
    std::shared_ptr<host::DeviceHandle> h;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ended_ = true;
        h = handle_;
        joining.swap(pumping_);
    }
    if (h) h->close();  // ends the pump's read
    if (joining.joinable()) joining.join();
}

bool EmulatedGadget::control(const ControlSetup& s, std::vector<unsigned char>& data) {
    if (s.request_type == usbmap::kVendorIn && s.request == usbmap::kRequestGetInfo) {
        auto h = device();
        unsigned char record[host::kInfoRecordSize];
        if (!h || !h->get_info(record)) return false;
        data.assign(record, record + sizeof record);
        return true;
    }
    if (s.request_type == usbmap::kVendorOut && s.request == usbmap::kRequestBootBegin) {
        expected_ = s.value | static_cast<std::size_t>(s.index) << 16;
        image_.clear();
        return true;
    }
    if (s.request_type == usbmap::kVendorIn && s.request == usbmap::kRequestBootStatus) {
        auto h = device();
        if (!h || image_.size() != expected_) return false;
        const int result = h->boot(image_.data(), static_cast<unsigned int>(image_.size()));
        if (result < 0) return false;
        data.assign(1, static_cast<unsigned char>(result));
        if (result == 0 && booted_) reenumerate(booted_(), ZORBEL_USB_PRODUCT_NORMAL, 1);
        return true;
    }
    return false;
}

void EmulatedGadget::bulk_out(const unsigned char* data, std::size_t len) {
    if (expected_ > image_.size()) {  // a boot image on its way
        image_.insert(image_.end(), data, data + len);
        return;
    }
    auto h = device();
    for (std::size_t at = 0; h && at < len; at += 4096) {
        const unsigned int n = static_cast<unsigned int>(std::min<std::size_t>(4096, len - at));
        if (h->write(data + at, n) != static_cast<long>(n)) return;
    }
}

std::shared_ptr<host::DeviceHandle> open_emulated(const std::shared_ptr<host::Backend>& emulated, int kind,
                                                  const std::string& hardware_id) {
    for (int i = 0;; ++i) {
        host::OpenFailure failure;
        auto h = emulated->open(kind, i, failure);
        if (!h) return nullptr;
        if (kind != DEVICE_KIND_NORMAL) return h;
        unsigned char r[host::kInfoRecordSize];
        if (!h->get_info(r)) continue;
        std::string id;
        for (int k = 1; k <= 12; ++k) id += static_cast<char>(r[2 * k]);
        if (id == hardware_id) return h;
    }
}

}  // namespace testing
}  // namespace zorbel
