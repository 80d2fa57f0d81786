// The platform backend of a build without a USB library: no devices, no host
// controllers. Only the emulated bus shows devices then.
#include "usb/platform.h"

namespace zorbel {
namespace host {
namespace {

class NoDevices final : public Backend {
public:
    std::shared_ptr<DeviceHandle> open(int, int, OpenFailure& failure) override {
        failure = OpenFailure::no_device;
        return nullptr;
    }
    std::string location(int, int) override { return std::string(); }
    bool root_hub_name(int, std::string&) override { return false; }
    bool hub_port_count(const std::string&, int&) override { return false; }
    bool port_info(const std::string&, int, PortInfo&) override { return false; }
    bool port_hub_name(const std::string&, int, std::string&) override { return false; }
};

}  // namespace

std::shared_ptr<Backend> make_platform_backend() { return std::make_shared<NoDevices>(); }

}  // namespace host
}  // namespace zorbel
