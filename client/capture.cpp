// Connection::capture: points the connection's transport at a capture file.
#include <memory>

#include "usb/capture_tap.h"
#include "zorbel/client.h"
#include "zorbel/control.h"
#include "zorbel/usb.h"

namespace zorbel {
namespace {

// The tap of the connection's USB transport; null when it runs over another.
detail::CaptureTap* tap_of(ChanIOControl& control) {
    BlockDriver* engine = control.get_block_driver();
    auto* usb = engine ? dynamic_cast<USBSeqDriver*>(engine->get_seq_driver()) : nullptr;
    return usb ? &usb->capture_tap() : nullptr;
}

}  // namespace

void Connection::capture(const std::string& path) {
    std::error_code ec;
    capture(path, ec);
    if (ec) throw Error(ec, "cannot capture to " + path);
}

void Connection::capture(const std::string& path, std::error_code& ec) {
    detail::CaptureTap* tap = is_open() ? tap_of(classic()) : nullptr;
    if (!tap) {
        ec = make_error_code(errc::invalid_argument);
        return;
    }
    // The old file is completed first, so capturing again to the same path
    // starts it afresh rather than racing its own writer.
    tap->attach(nullptr);
    std::shared_ptr<detail::CaptureFile> file = detail::CaptureFile::open(path, false, ec);
    if (file) tap->attach(std::move(file));
}

void Connection::stop_capture() noexcept {
    if (!is_open()) return;
    if (detail::CaptureTap* tap = tap_of(classic())) tap->attach(nullptr);
}

}  // namespace zorbel
