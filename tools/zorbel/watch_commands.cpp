// wait and watch: a device's arrival, and every arrival and departure.
#include <chrono>
#include <cstdio>
#include <mutex>
#include <optional>
#include <thread>

#include <fmt/format.h>

#include "checks.h"
#include "commands.h"
#include "failure.h"
#include "output.h"

namespace zorbel_tool {
namespace {

std::string device_line(const zorbel::DeviceInfo& d) {
    std::string line = fmt::format("device {} in {} mode", d.number, zorbel::mode_name(d.mode));
    if (!d.hardware_id.empty()) line += fmt::format(", hardware ID {}, ID {}", d.hardware_id, d.id);
    if (!d.location.empty()) line += fmt::format(", at {}", d.location);
    return line;
}

}  // namespace

zorbel::DeviceSelector selector_of(const std::string& device) {
    if (device.size() > 1 && device[0] == '@') return zorbel::DeviceSelector::parse(device.substr(1));
    if (device.empty()) throw Failure("no device named: give its number or -s SELECTOR", kExitUsage);
    return zorbel::DeviceSelector(std::stoi(device));
}

int device_number(const std::string& device) {
    const zorbel::DeviceSelector selector = selector_of(device);
    if (selector.is_number()) return selector.number();
    try {
        return zorbel::find_device(selector).number;
    } catch (const zorbel::Error& e) {
        fail_with(e, selector.text());
    }
}

void add_watch_commands(CLI::App& app, std::vector<Command>& commands) {
    {
        struct Options {
            std::string device;
            std::string mode;
            double timeout_s = 0;
            bool json = false;
        };
        auto o = std::make_shared<Options>();
        CLI::App* wait = app.add_subcommand("wait", "Wait until a device is there (in a mode, if given)");
        wait->add_option("N", o->device, "Device number (or -s SELECTOR)")->check(device_number_check());
        wait->add_option("--mode", o->mode, "Wait for this mode")->check(CLI::IsMember({"boot", "normal"}));
        wait->add_option("--timeout", o->timeout_s, "Seconds to wait (default: no limit)")
            ->check(seconds_check());
        wait->add_flag("--json", o->json, "Print JSON for scripts");
        commands.push_back(
            {wait, [o](Bus&, const Globals&) {
                 const zorbel::DeviceSelector selector = selector_of(o->device);
                 std::optional<zorbel::DeviceMode> mode;
                 if (!o->mode.empty())
                     mode = o->mode == "boot" ? zorbel::DeviceMode::boot : zorbel::DeviceMode::normal;
                 std::optional<std::chrono::milliseconds> timeout;
                 if (o->timeout_s > 0)
                     timeout = std::chrono::milliseconds(static_cast<long long>(o->timeout_s * 1000));
                 std::error_code ec;
                 const zorbel::DeviceInfo found = zorbel::wait_for(
                     selector, mode, timeout, [] { return !interrupted(); }, ec);
                 if (ec == zorbel::errc::cancelled)
                     throw Failure("interrupted while waiting", interrupted_status());
                 if (ec == zorbel::errc::timed_out)
                     throw Failure(
                         fmt::format("{} was not there within {:g} s", selector.describe(), o->timeout_s));
                 if (ec) throw Failure(fmt::format("{}: {}", selector.describe(), ec.message()));
                 if (o->json)
                     fmt::print("{{\"schema\": 1, \"device\": {}}}\n", device_json(entry_of(found)));
                 else
                     fmt::print("{} is there\n", device_line(found));
                 return kExitOk;
             }});
    }
    {
        auto json = std::make_shared<bool>(false);
        CLI::App* watch = app.add_subcommand(
            "watch", "Print a line for each device that arrives or leaves, until interrupted");
        watch->add_flag("--json", *json, "One JSON object a line, for scripts");
        commands.push_back({watch, [json](Bus&, const Globals&) {
                                std::mutex out;  // the callbacks run on the watcher's thread
                                auto report = [&out, json](const char* event, const zorbel::DeviceInfo& d) {
                                    std::lock_guard<std::mutex> lock(out);
                                    if (*json)
                                        fmt::print("{{\"schema\": 1, \"event\": \"{}\", \"device\": {}}}\n",
                                                   event, device_json(entry_of(d)));
                                    else
                                        fmt::print("{}: {}\n", event, device_line(d));
                                    std::fflush(stdout);  // a script reads line by line
                                };
                                zorbel::DeviceWatcher watcher(
                                    [&](const zorbel::DeviceInfo& d) { report("arrive", d); },
                                    [&](const zorbel::DeviceInfo& d) { report("leave", d); });
                                // Waiting for a signal, not for data: a short nap between
                                // looks at the flag the handler raises costs nothing.
                                while (!interrupted())
                                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                                return interrupted_status();
                            }});
    }
}

}  // namespace zorbel_tool
