#include "usb/libusb/sysfs_walk.h"

#include <dirent.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <vector>

namespace zorbel {
namespace host {
namespace sysfs {

namespace {

// Hub names come back from callers; only names of the shapes above are
// accepted, so no name can lead out of the devices folder.
bool valid_name(const std::string& name) {
    if (name.empty() || name.size() > 64 || name[0] == '.') return false;
    return name.find_first_not_of("usb0123456789-.") == std::string::npos;
}

bool read_text(const std::string& path, std::string& text) {
    std::ifstream in(path);
    if (!in) return false;
    std::getline(in, text);
    return !in.bad() && !text.empty();
}

bool read_number(const std::string& path, int base, long& value) {
    std::string text;
    if (!read_text(path, text)) return false;
    char* end = nullptr;
    value = std::strtol(text.c_str(), &end, base);
    return end != text.c_str();
}

// The entry of the device at `port` of `hub`: "usb3" port 2 is "3-2",
// "3-2" port 4 is "3-2.4".
std::string child_name(const std::string& hub, int port) {
    if (hub.compare(0, 3, "usb") == 0) return hub.substr(3) + "-" + std::to_string(port);
    return hub + "." + std::to_string(port);
}

bool is_hub(const std::string& dir) {
    long device_class = 0;
    long children = 0;
    if (read_number(dir + "/bDeviceClass", 16, device_class) && device_class == 9) return true;
    return read_number(dir + "/maxchild", 10, children) && children > 0;
}

}  // namespace

bool root_hub_name(const std::string& root, int controller, std::string& hub) {
    if (controller < 0 || controller > 9) return false;
    DIR* dir = opendir(root.c_str());
    if (dir == nullptr) return false;
    std::vector<long> buses;
    while (dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.size() < 4 || name.compare(0, 3, "usb") != 0) continue;
        if (name.find_first_not_of("0123456789", 3) != std::string::npos) continue;
        buses.push_back(std::strtol(name.c_str() + 3, nullptr, 10));
    }
    closedir(dir);
    std::sort(buses.begin(), buses.end());
    if (static_cast<std::size_t>(controller) >= buses.size()) return false;
    hub = "usb" + std::to_string(buses[controller]);
    return true;
}

bool hub_port_count(const std::string& root, const std::string& hub, int& ports) {
    if (!valid_name(hub)) return false;
    long children = 0;
    if (!read_number(root + "/" + hub + "/maxchild", 10, children)) return false;
    if (children < 0 || children > 255) return false;
    ports = static_cast<int>(children);
    return true;
}

bool port_info(const std::string& root, const std::string& hub, int port, PortInfo& info) {
    int ports = 0;
    if (!hub_port_count(root, hub, ports) || port < 1 || port > ports) return false;
    const std::string dir = root + "/" + child_name(hub, port);
    long vendor = 0;
    long product = 0;
    info = PortInfo();
    if (!read_number(dir + "/idVendor", 16, vendor) || !read_number(dir + "/idProduct", 16, product))
        return true;  // nothing enumerated at this port
    info.connected = true;
    info.vendor_id = static_cast<std::uint16_t>(vendor);
    info.product_id = static_cast<std::uint16_t>(product);
    info.is_hub = is_hub(dir);
    return true;
}

bool port_hub_name(const std::string& root, const std::string& hub, int port, std::string& name) {
    PortInfo info;
    if (!port_info(root, hub, port, info) || !info.connected || !info.is_hub) return false;
    name = child_name(hub, port);
    return true;
}

}  // namespace sysfs
}  // namespace host
}  // namespace zorbel
