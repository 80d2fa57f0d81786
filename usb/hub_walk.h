// The bus walk: counts the Zorbel devices physically connected to USB,
// whatever they are bound to, by looking at every port of every hub below
// every host controller and comparing the vendor and product IDs.
//
// Thread-safety: no state; any thread, also while a connection is open. The
// counters belong to one walk.
#ifndef ZORBEL_USB_HUB_WALK_H
#define ZORBEL_USB_HUB_WALK_H

#include <cstdint>

#include "usb/host.h"

namespace zorbel {

struct BusCounts {
    std::uint16_t boot = 0;    // vendor 0x0B66, product 0x0040
    std::uint16_t normal = 0;  // vendor 0x0B66, product 0x0041
};

// USB allows seven tiers: the root hub is tier 1 and devices may sit on tier
// 7, so external hubs occupy tiers 2 to 6 at most. The walk descends no
// deeper, which also ends a walk over a bus whose hub names form a cycle.
constexpr int kMaxHubTier = 6;

// Host controllers 0 to 9, each from its root hub down.
BusCounts walk_usb_hubs(host::Backend& backend);
// The same over the backend in force.
BusCounts walk_usb_hubs();

unsigned short count_boot_devices_on_bus();

}  // namespace zorbel

#endif
