// zorbel: the command-line face of the library. Lists devices, boots them,
// and moves bytes over their pipes; --emulate runs any of it against an
// emulated bus inside the process, so that everything works without hardware.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <system_error>
#include <vector>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "bus.h"
#include "checks.h"
#include "commands.h"
#include "console.h"
#include "failure.h"
#include "output.h"

using namespace zorbel_tool;

namespace {

void add_global_options(CLI::App& app, Globals& g) {
    app.add_flag("-q,--quiet", g.quiet, "No progress and no summaries, only results and errors");
    // Taken off the line before parsing (see run_tool); declared for --help,
    // and for the forms it does not take off ("-sX"), which then fail as
    // an N that is not a device number.
    app.add_option("-s,--device", g.device,
                   "The device, in place of its number N: a number, hardware ID, ID or bus place (1-4.2)");
    const char* group = "Emulation";
    EmulationOptions& e = g.emulation;
    app.add_flag(
           "--emulate", e.enabled,
           "Use an emulated bus inside this process instead of the USB bus: device 0 in boot mode, device 1 "
           "in normal mode, with echo on pipe 1, a sink on pipe 2 and a source on pipe 3")
        ->group(group);
    app.add_option("--boot-devices", e.boot_devices, "Emulated devices in boot mode (numbered first)")
        ->capture_default_str()
        ->check(whole_number_check(0, 4, "a number of devices"))
        ->group(group);
    app.add_option("--normal-devices", e.normal_devices, "Emulated devices in normal mode")
        ->capture_default_str()
        ->check(whole_number_check(0, 4, "a number of devices"))
        ->group(group);
    app.add_option("--link-delay-us", e.delay_us,
                   "Delay of every transfer on the emulated link, in microseconds")
        ->capture_default_str()
        ->check(whole_number_check(0, 10000000, "a number of microseconds"))
        ->group(group);
    app.add_option("--link-bandwidth", e.bandwidth,
                   "Bytes per second of each direction of the link (0: unlimited)")
        ->capture_default_str()
        ->check(decimal_check(0, 1e12, "a number of bytes per second"))
        ->group(group);
    app.add_option("--corrupt-rate", e.corrupt_rate,
                   "Probability that the link flips each byte it carries (per byte, not per transfer)")
        ->capture_default_str()
        ->check(decimal_check(0, 1, "a probability"))
        ->group(group);
    app.add_option("--drop-rate", e.drop_rate, "Probability that the link loses a whole transfer")
        ->capture_default_str()
        ->check(decimal_check(0, 1, "a probability"))
        ->group(group);
    app.add_option("--duplicate-rate", e.duplicate_rate,
                   "Probability that the link delivers a transfer twice")
        ->capture_default_str()
        ->check(decimal_check(0, 1, "a probability"))
        ->group(group);
    app.add_option("--seed", e.seed, "Seed of the link's random faults")
        ->capture_default_str()
        ->check(whole_number_check(0, UINT64_MAX, "a seed"))
        ->group(group);
    app.add_option(
           "--claim-scope", e.claim_scope,
           "Share device claims with other processes whose emulated bus has this scope, as programs "
           "sharing one real device do (by default an emulated device is claimed within this process only)")
        ->check(CLI::Validator(
            [](std::string& v) {
                return v.size() <= 48 ? std::string() : std::string("at most 48 characters");
            },
            "TEXT"))
        ->group(group);
    app.add_option("--boot-delay-ms", e.boot_delay_ms, "How long an emulated device takes to boot")
        ->capture_default_str()
        ->check(whole_number_check(0, 3600000, "a number of milliseconds"))
        ->group(group);
    app.add_option("--arrive-after-ms", e.arrive_after_ms,
                   "Emulated devices in normal mode arrive this long after the start (to see wait and watch)")
        ->check(whole_number_check(0, 3600000, "a number of milliseconds"))
        ->group(group);
    app.add_option("--leave-after-ms", e.leave_after_ms,
                   "Emulated devices in normal mode leave this long after the start")
        ->check(whole_number_check(0, 3600000, "a number of milliseconds"))
        ->group(group);
    app.add_option("--unplug-after", e.unplug_after,
                   "Unplug the device once a transfer has moved this many bytes (to see a device go away)")
        ->transform(byte_count_transform())
        ->group(group);
}

// A failure as the user sees it: one line on standard error and, in --json
// mode, the same as a JSON object on standard output, so that a script that
// reads the output always gets JSON. A failure without a line (a closed
// output pipe) ends quietly.
int report_failure(bool json, const std::string& where, const std::string& message, int status,
                   const std::string& code) {
    std::fflush(stdout);
    if (message.empty()) return status;
    fmt::print(stderr, "{}: {}\n", where, message);
    if (json) {
        std::printf("{\"schema\": 1, \"error\": {\"code\": %s, \"message\": %s}%s}\n",
                    json_string(code).c_str(), json_string(message).c_str(),
                    status > 128 ? ", \"interrupted\": true" : "");
        std::fflush(stdout);
    }
    return status;
}

// A mistake on the command line, naming the help page to read; CLI11's own
// text would take two lines.
int usage_error(const CLI::App& app, const CLI::ParseError& e, bool json) {
    std::string where = "zorbel";
    for (const CLI::App* sub : app.get_subcommands()) where += " " + sub->get_name();
    std::string what = e.what();
    // An unknown word where the subcommand belongs is left over, not parsed.
    if (app.get_subcommands().empty() && !app.remaining().empty())
        what = "unknown command '" + app.remaining().front() + "'";
    while (!what.empty() && (what.back() == '\n' || what.back() == '.')) what.pop_back();
    return report_failure(json, "zorbel", fmt::format("{}; see '{} --help'", what, where), kExitUsage,
                          "usage");
}

// What stdio still holds for standard output goes out now, and a write that
// failed, then or before, is never reported as success: a reader that went
// away ends the tool quietly with the status a shell shows for SIGPIPE, any
// other failure is one line and a failed status.
int finish_output(const std::string& command, int status) {
    const bool flushed = std::fflush(stdout) == 0;
    if (flushed && !std::ferror(stdout)) return status;
    if (flushed) errno = EIO;  // an earlier write failed, and its reason is gone
    if (reader_went_away()) return broken_pipe_status();
    fmt::print(stderr, "zorbel {}: writing standard output failed: {}\n", command, std::strerror(errno));
    return kExitFailed;
}

}  // namespace

static int run_tool(int argc, char** argv) {
    CLI::App app{"zorbel: talk to Zorbel handhelds over USB, or to emulated ones (--emulate)"};
    app.name("zorbel");
    app.require_subcommand(1);
    // Windows would take "/path" for an option; every option starts with "-".
    app.allow_windows_style_options(false);
    app.fallthrough();  // global options may also follow the subcommand
    Globals globals;
    add_global_options(app, globals);
    app.set_version_flag("--version", fmt::format("zorbel {} (library {})", ZORBEL_TOOL_VERSION, dll_ver));
    const std::string fallback = default_device();
    app.footer(fmt::format(
        "Environment: ZORBEL_DEVICE names the device of a command given neither N nor -s{}; "
        "ZORBEL_DEBUG (error, warning, info or debug; 0 or off for none) turns on the library's log.",
        fallback.empty() ? "" : " (now " + fallback + ")"));
    int verbosity = 0;
    app.add_flag("-v,--verbose", verbosity,
                 "Show what the library does on standard error (twice: in detail)");
    std::vector<Command> commands;
    add_device_commands(app, commands);
    add_transfer_commands(app, commands);
    add_demo_command(app, commands);
    add_watch_commands(app, commands);
    add_capture_command(app, commands);
    CLI::App* help = app.add_subcommand("help", "Show this help, or a command's: zorbel help COMMAND");
    std::string help_topic;
    help->add_option("COMMAND", help_topic, "The command to explain");

    // -s SELECTOR (also -sSELECTOR, --device SELECTOR, --device=SELECTOR,
    // anywhere on the line) names the device in place of the number: it
    // becomes the command's first positional, as "@SELECTOR", so the other
    // positionals keep their places.
    std::vector<std::string> words(argv + 1, argv + argc);
    std::vector<std::string> line{argv[0]};
    std::string selector;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& w = words[i];
        if (w == "--") {
            line.insert(line.end(), words.begin() + static_cast<std::ptrdiff_t>(i), words.end());
            break;
        }
        if ((w == "-s" || w == "--device") && i + 1 < words.size()) {
            selector = words[++i];
        } else if (w.rfind("--device=", 0) == 0) {
            selector = w.substr(9);
        } else if (w.size() > 2 && w.rfind("-s", 0) == 0) {
            selector = w.substr(2);
        } else {
            line.push_back(w);
        }
    }
    // In --json mode every outcome is JSON on standard output, errors too.
    const bool json = std::find(words.begin(), words.end(), "--json") != words.end();
    const auto command = std::find_if(line.begin() + 1, line.end(), [&](const std::string& w) {
        return w == "help" || std::any_of(commands.begin(), commands.end(),
                                          [&](const Command& c) { return c.app->get_name() == w; });
    });
    const bool takes_device =
        command != line.end() &&
        (*command == "info" || *command == "boot" || *command == "send" || *command == "recv" ||
         *command == "echo" || *command == "bench" || *command == "wait");
    const auto naming = [&](const std::string& device) {
        std::vector<std::string> named = line;
        named.insert(named.begin() + (command - line.begin()) + 1, "@" + device);
        return named;
    };
    const auto parse = [&](std::vector<std::string> l) {
        std::vector<char*> parsed_argv;
        parsed_argv.reserve(l.size());
        for (std::string& w : l) parsed_argv.push_back(&w[0]);
        app.parse(static_cast<int>(parsed_argv.size()), parsed_argv.data());
    };
    std::vector<std::string> first = line;
    if (!selector.empty() && command != line.end() && *command == "help") {
        // Help about a command: the device does not matter.
    } else if (!selector.empty() && !takes_device) {
        return report_failure(json, "zorbel",
                              "-s names a device, but this command takes none; see 'zorbel --help'",
                              kExitUsage, "usage");
    } else if (!selector.empty()) {
        first = naming(selector);
    }

    try {
        try {
            parse(first);
        } catch (const CLI::ParseError& e) {
            // ZORBEL_DEVICE names the device when the line gives neither N nor
            // -s: the line is read with N first, and without it when that
            // fails ("recv 3 out.bin" is pipe 3 of that device).
            if (!selector.empty() || !takes_device || default_device().empty() || e.get_exit_code() == 0)
                throw;
            const std::exception_ptr with_n = std::current_exception();
            try {
                parse(naming(default_device()));
            } catch (const CLI::ParseError&) {
                std::rethrow_exception(with_n);
            }
        }
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ExtrasError& e) {
        // "-s 1 info 1": the selector took N's place, so N is left over.
        if (selector.empty()) return usage_error(app, e, json);
        std::string where = "zorbel";
        for (const CLI::App* sub : app.get_subcommands()) where += " " + sub->get_name();
        return report_failure(json, "zorbel", fmt::format("give N or -s, not both; see '{} --help'", where),
                              kExitUsage, "usage");
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);
        return usage_error(app, e, json);
    }

    if (help->parsed()) {
        if (help_topic.empty()) {
            fmt::print("{}", app.help());
            return kExitOk;
        }
        for (const Command& c : commands)
            if (c.app->get_name() == help_topic) {
                fmt::print("{}", c.app->help());
                return kExitOk;
            }
        fmt::print(stderr, "zorbel: no command '{}'; see 'zorbel --help'\n", help_topic);
        return kExitUsage;
    }

    if (verbosity > 0) {
        // The library's log on standard error, as the library words it.
        zorbel::set_log_handler(verbosity > 1 ? zorbel::LogLevel::debug : zorbel::LogLevel::info,
                                [](zorbel::LogLevel level, const std::string& message) {
                                    fmt::print(stderr, "zorbel: {}: {}\n", zorbel::log_level_name(level),
                                               message);
                                });
    }

    prepare_standard_streams();
    install_interrupt_handler();
    for (const Command& c : commands) {
        if (!c.app->parsed()) continue;
        const std::string name = c.app->get_name();
        try {
            EmulationOptions emulation = globals.emulation;
            if (c.shape_bus) c.shape_bus(emulation);
            Bus bus(emulation);
            return finish_output(name, c.run(bus, globals));
        } catch (const Failure& f) {
            return report_failure(json, "zorbel " + name, f.what(), f.status(), f.code());
        } catch (const std::system_error& e) {
            // fmt reports a failed write to standard output so.
            if (std::ferror(stdout)) {
                errno = e.code().value();
                if (reader_went_away()) return broken_pipe_status();
                fmt::print(stderr, "zorbel {}: writing standard output failed: {}\n", name,
                           e.code().message());
                return kExitFailed;
            }
            return report_failure(json, "zorbel " + name,
                                  fmt::format("unexpected failure: {}; please report it", e.what()),
                                  kExitFailed, "failed");
        } catch (const std::exception& e) {
            return report_failure(json, "zorbel " + name,
                                  fmt::format("unexpected failure: {}; please report it", e.what()),
                                  kExitFailed, "failed");
        }
    }
    return kExitUsage;
}

// Whatever escapes a command (running out of memory while setting up, say)
// still ends in one line and a failed status, never in an abort.
int main(int argc, char** argv) {
    try {
        return run_tool(argc, argv);
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "zorbel: unexpected failure: %s\n", e.what());
    } catch (...) {
        std::fflush(stdout);
        std::fprintf(stderr, "zorbel: unexpected failure\n");
    }
    return 1;
}
