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

// The device a command names: -s SELECTOR when given (a number, hardware ID,
// ID or bus place), else the positional number; a usage failure for neither.
zorbel::DeviceSelector selector_of(int number, const std::string& device);

// Shared by the commands and the demo.
void print_device_table(const std::vector<DeviceEntry>& devices);
// Hands `image` to boot-mode device `number` and waits until it is back in
// normal mode; returns its new device number.
int boot_and_wait(Bus& bus, int number, const std::vector<unsigned char>& image,
                  const std::string& image_name, double timeout_s, bool quiet);

}  // namespace zorbel_tool

#endif
