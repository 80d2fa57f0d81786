// wait and watch: a device's arrival, and every arrival and departure.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include <fmt/format.h>

#include "checks.h"
#include "commands.h"
#include "console.h"
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

std::string default_device() {
    const char* value = std::getenv("ZORBEL_DEVICE");
    return value ? value : "";
}

zorbel::DeviceSelector selector_of(const std::string& device) {
    if (device.size() > 1 && device[0] == '@') return zorbel::DeviceSelector::parse(device.substr(1));
    if (device.empty()) {
        const std::string fallback = default_device();
        if (!fallback.empty()) return zorbel::DeviceSelector::parse(fallback);
        throw Failure("no device named: give its number or -s SELECTOR (or set ZORBEL_DEVICE)", kExitUsage);
    }
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
        wait->add_option("N", o->device, "Device number (or -s SELECTOR, or ZORBEL_DEVICE)")
            ->check(device_number_check());
        wait->add_option("--mode", o->mode, "Wait for this mode")->check(CLI::IsMember({"boot", "normal"}));
        wait->add_option("--timeout", o->timeout_s, "Seconds to wait (default: no limit)")
            ->check(seconds_check());
        wait->add_flag("--json", o->json, "Print JSON for scripts");
        commands.push_back(
            {wait, [o](Bus&, const Globals& g) {
                 const zorbel::DeviceSelector selector = selector_of(o->device);
                 // A device that is there in the other mode: said at once, since
                 // the wait may be long, and again if it ends the wait.
                 const auto in_other_mode = [&]() -> std::string {
                     std::error_code look;
                     const zorbel::DeviceInfo now = zorbel::find_device(selector, look);
                     if (look || o->mode.empty() || zorbel::mode_name(now.mode) == o->mode) return "";
                     return fmt::format("{} is there in {} mode", selector.describe(),
                                        zorbel::mode_name(now.mode));
                 };
                 const std::string other = in_other_mode();
                 if (!other.empty() && !g.quiet)
                     fmt::print(stderr, "zorbel wait: {}; waiting for it in {} mode\n", other, o->mode);
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
                 if (ec == zorbel::errc::timed_out) {
                     const std::string still = in_other_mode();
                     throw Failure(still.empty() ? fmt::format("{} was not there within {:g} s",
                                                               selector.describe(), o->timeout_s)
                                                 : fmt::format("{}, and not in {} mode within {:g} s", still,
                                                               o->mode, o->timeout_s),
                                   kExitFailed, "timed_out");
                 }
                 if (ec)
                     throw Failure(fmt::format("{}: {}", selector.describe(), ec.message()), kExitFailed,
                                   error_code_name(ec));
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
        commands.push_back(
            {watch, [json](Bus&, const Globals&) {
                 std::mutex out;  // the callbacks run on the watcher's thread
                 std::atomic<int> write_error{0};
                 auto report = [&](const char* event, const zorbel::DeviceInfo& d) {
                     std::lock_guard<std::mutex> lock(out);
                     if (write_error.load() != 0) return;
                     try {
                         if (*json)
                             fmt::print("{{\"schema\": 1, \"event\": \"{}\", \"device\": {}}}\n", event,
                                        device_json(entry_of(d)));
                         else
                             fmt::print("{}: {}\n", event, device_line(d));
                         // A script reads line by line.
                         if (std::fflush(stdout) != 0) write_error.store(errno ? errno : EIO);
                     } catch (const std::system_error& e) {
                         write_error.store(e.code().value() ? e.code().value() : EIO);
                     }
                 };
                 zorbel::DeviceWatcher watcher([&](const zorbel::DeviceInfo& d) { report("arrive", d); },
                                               [&](const zorbel::DeviceInfo& d) { report("leave", d); });
                 // Waiting for a signal, or for the reader of the output
                 // to go: a short nap between looks costs nothing.
                 while (!interrupted() && write_error.load() == 0 && !reader_gone(1))
                     std::this_thread::sleep_for(std::chrono::milliseconds(20));
                 if (interrupted()) return interrupted_status();
                 errno = write_error.load() ? write_error.load() : EPIPE;
                 if (reader_went_away()) throw Failure("", broken_pipe_status());
                 throw Failure(fmt::format("writing standard output failed: {}", std::strerror(errno)));
             }});
    }
}

}  // namespace zorbel_tool
