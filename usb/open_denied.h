// Whether the last attempt to open a device failed for want of permission.
//
// On Linux a user reaches a USB device node only when a udev rule grants it
// (the library installs one: 70-zorbel.rules). Without the rule the device is
// listed but refuses to open, which to the device functions looks exactly
// like "no device". The command-line tool asks here to tell the user about
// the rule instead of reporting an empty bus.
//
// Thread-safety: process-wide and lock-free; with opens racing on several
// threads the answer describes one of the latest.
#ifndef ZORBEL_USB_OPEN_DENIED_H
#define ZORBEL_USB_OPEN_DENIED_H

namespace zorbel {
namespace host {

// True when the most recent device open made by a backend was refused for
// lack of permission; false after an open that succeeded or failed otherwise.
bool last_open_denied();

// Called by backends after each open attempt.
void note_open_result(bool denied);

}  // namespace host
}  // namespace zorbel

#endif
