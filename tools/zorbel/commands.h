// The subcommands. Each adds itself to the command line and leaves a runner
// that main() calls once the line is parsed and the bus is in place.
#ifndef ZORBEL_TOOL_COMMANDS_H
#define ZORBEL_TOOL_COMMANDS_H

#include <functional>
#include <vector>

#include <CLI/CLI.hpp>

#include "bus.h"

namespace zorbel_tool {

struct Globals {
    EmulationOptions emulation;
    bool quiet = false;
    std::string device;  // see main.cpp: -s is moved into the command's N
};

struct Command {
    CLI::App* app;
    std::function<int(Bus& bus, const Globals& globals)> run;
    // Changes the emulated bus before it is built (may be empty).
    std::function<void(EmulationOptions& emulation)> shape_bus = nullptr;
};

void add_device_commands(CLI::App& app, std::vector<Command>& commands);
void add_transfer_commands(CLI::App& app, std::vector<Command>& commands);
void add_demo_command(CLI::App& app, std::vector<Command>& commands);
void add_watch_commands(CLI::App& app, std::vector<Command>& commands);
// `zorbel capture FILE`, and the --capture option every command takes.
void add_capture_command(CLI::App& app, std::vector<Command>& commands);

// The device a command names, from its N argument: a device number, or
// "@SELECTOR" where -s SELECTOR was given (a number, hardware ID, ID or bus
// place; main() moves it there). A usage failure when there is none.
zorbel::DeviceSelector selector_of(const std::string& device);
// The device ZORBEL_DEVICE names, for a command given neither N nor -s;
// empty when it is not set.
std::string default_device();
// Its device number now; a Failure saying why when no device matches.
int device_number(const std::string& device);

// Shared by the commands and the demo.
void print_device_table(const std::vector<DeviceEntry>& devices);
// A device as the JSON object every --json output uses.
std::string device_json(const DeviceEntry& e);
// Hands `image` to boot-mode device `number` and waits until it is back in
// normal mode; returns it as it is then (its number may have changed).
zorbel::DeviceInfo boot_and_wait(Bus& bus, int number, const std::vector<unsigned char>& image,
                                 const std::string& image_name, double timeout_s, bool quiet);

}  // namespace zorbel_tool

#endif
