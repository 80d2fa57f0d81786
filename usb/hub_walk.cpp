#include "usb/hub_walk.h"

#include <string>

#include "zorbel/usb.h"

namespace zorbel {
namespace {

void walk_hub(host::Backend& backend, const std::string& hub, int tier, BusCounts& counts) {
    int ports = 0;
    if (!backend.hub_port_count(hub, ports)) return;
    for (int port = 1; port <= ports; ++port) {
        host::PortInfo info;
        if (!backend.port_info(hub, port, info)) continue;
        // Only an enumerated device counts: a port that is not connected may
        // still hold the descriptor fields of a device seen before.
        if (info.connected && info.vendor_id == ZORBEL_USB_VENDOR_ID) {
            if (info.product_id == ZORBEL_USB_PRODUCT_BOOT)
                ++counts.boot;
            else if (info.product_id == ZORBEL_USB_PRODUCT_NORMAL)
                ++counts.normal;
        }
        // A hub is descended whatever its port's status says; a hub whose
        // name cannot be read cannot be opened, so its devices stay uncounted.
        if (info.is_hub && tier < kMaxHubTier) {
            std::string child;
            if (backend.port_hub_name(hub, port, child)) walk_hub(backend, child, tier + 1, counts);
        }
    }
}

}  // namespace

BusCounts walk_usb_hubs(host::Backend& backend) {
    BusCounts counts;
    for (int controller = 0; controller <= 9; ++controller) {
        std::string root;
        if (backend.root_hub_name(controller, root)) walk_hub(backend, root, 1, counts);
    }
    return counts;
}

BusCounts walk_usb_hubs() {
    std::shared_ptr<host::Backend> backend = host::current_backend();
    return walk_usb_hubs(*backend);
}

unsigned short count_boot_devices_on_bus() { return walk_usb_hubs().boot; }

}  // namespace zorbel
