// list, info and boot: what is attached, and bringing a device out of its
// boot loader.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include <fmt/format.h>

#include "byte_files.h"
#include "checks.h"
#include "commands.h"
#include "failure.h"
#include "output.h"

namespace zorbel_tool {
namespace {

std::string json_or_null(const DeviceEntry& e, const std::string& value) {
    return e.boot_mode || !e.info_read ? "null" : json_string(value);
}

// The most a boot image may be: the library takes one in a single request
// of at most this many bytes.
constexpr std::uint64_t kLargestImage = INT_MAX;

// A boot image, whole, as the boot loader takes it in one request ("-":
// standard input). Its size is checked before anything is read, so a wrong
// file fails at once instead of after minutes and gigabytes; the read shows
// progress on a terminal, and a signal ends it.
std::vector<unsigned char> read_image(const std::string& path, std::uint64_t max_size, bool show_progress) {
    InputFile in(path);
    const std::uint64_t most = std::min(max_size, kLargestImage);
    const auto too_large = [&](const std::string& size) {
        return Failure(fmt::format(
            "{} is {}more than a boot image may be ({}){}", in.name(), size,
            human_bytes(static_cast<double>(most)),
            most < max_size ? ": the library takes no more" : "; raise --max-size if it really is one"));
    };
    if (in.size() > most) throw too_large(human_bytes(static_cast<double>(in.size())) + ", ");
    Progress progress("reading " + in.name(), in.size(), show_progress);
    std::vector<unsigned char> data;
    data.reserve(static_cast<std::size_t>(in.size()));
    std::vector<unsigned char> chunk(64 * 1024);
    try {
        for (;;) {
            const std::size_t n = in.read(chunk.data(), chunk.size());
            if (n == 0) break;
            // A FIFO or device node tells no size; its length is checked as it comes.
            if (data.size() + n > most) throw too_large("");
            data.insert(data.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(n));
            progress.update(data.size());
        }
    } catch (const Failure& f) {
        if (!interrupted()) throw;
        throw Failure(fmt::format("interrupted while reading {}", in.name()), f.status());
    }
    progress.finish();
    return data;
}

}  // namespace

std::string device_json(const DeviceEntry& e) {
    return fmt::format(
        R"({{"number": {}, "mode": "{}", "type": {}, "hardware_id": {}, "id": {}, "location": {}, "in_use": {}}})",
        e.number, e.mode_name(), e.type < 0 ? "null" : json_string(e.type_letter()),
        json_or_null(e, e.hardware_id), json_or_null(e, e.id),
        e.location.empty() ? "null" : json_string(e.location), e.in_use ? "true" : "false");
}

void print_device_table(const std::vector<DeviceEntry>& devices) {
    fmt::print("{:<7} {:<7} {:<5} {:<13} {:<8} {:<9} {}\n", "DEVICE", "MODE", "TYPE", "HARDWARE ID", "ID",
               "LOCATION", "IN USE");
    for (const DeviceEntry& e : devices) {
        bool known = !e.boot_mode && e.info_read;
        fmt::print("{:<7} {:<7} {:<5} {:<13} {:<8} {:<9} {}\n", e.number, e.mode_name(), e.type_letter(),
                   known ? e.hardware_id : "-", known ? e.id : "-", e.location.empty() ? "-" : e.location,
                   e.in_use ? "yes" : "no");
    }
}

zorbel::DeviceInfo boot_and_wait(Bus& bus, int number, const std::vector<unsigned char>& image,
                                 const std::string& image_name, double timeout_s, bool quiet) {
    DeviceEntry device = bus.device(number);
    if (!device.boot_mode)
        throw Failure(fmt::format(
            "device {} is in normal mode already; only a device in boot mode takes an image", number));
    // The device leaves its boot loader and comes back as a normal-mode
    // device; the library finds it again by its place and hardware ID.
    Progress progress(fmt::format("device {} is restarting ...", number), 0, progress_wanted() && !quiet,
                      Progress::Kind::wait);
    bool cancelled = false;
    zorbel::DeviceInfo booted;
    try {
        booted = zorbel::boot(number, image.data(), image.size(),
                              std::chrono::milliseconds(static_cast<long long>(timeout_s * 1000)),
                              [&](zorbel::BootStage stage) {
                                  if (interrupted()) {
                                      cancelled = true;
                                      return false;
                                  }
                                  if (stage == zorbel::BootStage::restarting) progress.update(0);
                                  return true;
                              });
    } catch (const zorbel::Error& e) {
        if (cancelled)
            throw Failure("interrupted while waiting for the device to restart", interrupted_status());
        if (e.code() == zorbel::errc::invalid_argument)
            throw Failure(fmt::format("device {} refused {}: it is not a boot image for this device", number,
                                      image_name),
                          kExitFailed, "invalid_argument");
        if (e.code() == zorbel::errc::timed_out)
            throw Failure(
                fmt::format("device {} took the image but was not back in normal mode within {:g} s; "
                            "check the device, or allow longer with --timeout",
                            number, timeout_s),
                kExitFailed, "timed_out");
        fail_with(e, number);
    }
    progress.finish();
    if (!quiet)
        fmt::print("device {} booted; it is back in normal mode as device {} (hardware ID {})\n", number,
                   booted.number, booted.hardware_id);
    return booted;
}

void add_device_commands(CLI::App& app, std::vector<Command>& commands) {
    {
        auto json = std::make_shared<bool>(false);
        CLI::App* list = app.add_subcommand("list", "List the attached devices");
        list->add_flag("--json", *json, "Print JSON for scripts");
        commands.push_back(
            {list, [json](Bus& bus, const Globals&) {
                 std::vector<DeviceEntry> devices = bus.devices();
                 int count = Get_Zorbel_Count();
                 int on_bus = Get_Real_Zorbel_Count();
                 if (*json) {
                     std::string items;
                     for (const DeviceEntry& e : devices)
                         items += (items.empty() ? "" : ", ") + device_json(e);
                     fmt::print("{{\"schema\": 1, \"devices\": [{}], \"count\": {}, \"bus_count\": {}}}\n",
                                items, count, on_bus);
                 } else if (devices.empty()) {
                     fmt::print("no device attached (on the USB bus: {})\n", on_bus);
                 } else {
                     print_device_table(devices);
                     fmt::print("{} device{} (counted: {}, on the USB bus: {})\n", devices.size(),
                                devices.size() == 1 ? "" : "s", count, on_bus);
                 }
                 // A device this user may not open has no number; the
                 // library says so for the first number past the list.
                 if (Get_Zorbel_State(static_cast<int>(devices.size())) < 0 &&
                     zorbel::last_error() == zorbel::errc::permission_denied)
                     fmt::print(stderr,
                                "zorbel: note: a device is attached that this user may not "
                                "open: install the udev rule (sudo cp usb/udev/70-zorbel.rules "
                                "/etc/udev/rules.d/ && sudo udevadm control --reload), then "
                                "plug the device in again\n");
                 return kExitOk;
             }});
    }
    {
        struct Options {
            int number = 0;
            std::string device;  // N as given; number is resolved from it
            bool json = false;
        };
        auto o = std::make_shared<Options>();
        CLI::App* info = app.add_subcommand("info", "Show one device in full");
        info->add_option("N", o->device, "Device number (see 'zorbel list')")
            ->required()
            ->check(device_number_check());
        info->add_flag("--json", o->json, "Print JSON for scripts");
        commands.push_back(
            {info, [o](Bus& bus, const Globals&) {
                 o->number = device_number(o->device);
                 DeviceEntry e = bus.device(o->number);
                 int boot_count = bus.boot_count();
                 int kind_index = e.boot_mode ? e.number : e.number - boot_count;
                 if (!e.boot_mode && !e.info_read)
                     throw Failure(
                         fmt::format("device {} did not answer the information request; "
                                     "unplug it, plug it in again and retry",
                                     e.number));
                 if (o->json) {
                     fmt::print("{{\"schema\": 1, \"device\": {}, \"kind_index\": {}}}\n", device_json(e),
                                kind_index);
                     return kExitOk;
                 }
                 fmt::print("device {}\n", e.number);
                 fmt::print("  mode         {}\n", e.mode_name());
                 fmt::print("  index        {} among {}-mode devices\n", kind_index, e.mode_name());
                 if (e.boot_mode) {
                     fmt::print("  (a device in boot mode reports no identity until it is booted)\n");
                 } else {
                     fmt::print("  type         {}\n", e.type_letter());
                     fmt::print("  hardware ID  {}\n", e.hardware_id);
                     fmt::print("  ID           {}\n", e.id);
                 }
                 fmt::print("  location     {}\n", e.location.empty() ? "-" : e.location);
                 fmt::print("  in use       {}\n", e.in_use ? "yes" : "no");
                 return kExitOk;
             }});
    }
    {
        struct Options {
            int number = 0;
            std::string device;  // N as given; number is resolved from it
            std::string image;
            double timeout_s = 30;
            std::uint64_t max_size = 64 << 20;
            bool json = false;
        };
        auto o = std::make_shared<Options>();
        CLI::App* boot =
            app.add_subcommand("boot", "Hand a boot image to a device in boot mode and wait for it");
        boot->add_option("N", o->device, "Device number of a boot-mode device")
            ->required()
            ->check(device_number_check());
        boot->add_option("IMAGE", o->image, "The boot image file; - for standard input")
            ->required()
            ->check(file_name_check());
        boot->add_flag("--json", o->json, "Print the booted device as JSON for scripts");
        boot->add_option("--max-size", o->max_size,
                         "The largest image to hand over (suffixes k, M, G; at most 2G, all that the "
                         "library takes)")
            ->capture_default_str()
            ->transform(byte_count_transform(std::uint64_t{1} << 31));
        boot->add_option("--timeout", o->timeout_s,
                         "Seconds to wait for the device to come back in normal mode")
            ->capture_default_str()
            ->check(seconds_check());
        commands.push_back({boot, [o](Bus& bus, const Globals& g) {
                                o->number = device_number(o->device);
                                bus.device(o->number);  // a missing device is named before the file
                                std::vector<unsigned char> image =
                                    read_image(o->image, o->max_size, progress_wanted() && !g.quiet);
                                const zorbel::DeviceInfo booted = boot_and_wait(
                                    bus, o->number, image, is_stdio(o->image) ? "standard input" : o->image,
                                    o->timeout_s, g.quiet || o->json);
                                if (o->json) {
                                    DeviceEntry e = entry_of(booted);
                                    fmt::print("{{\"schema\": 1, \"device\": {}, \"was\": {}}}\n",
                                               device_json(e), o->number);
                                }
                                return kExitOk;
                            }});
    }
}

}  // namespace zorbel_tool
