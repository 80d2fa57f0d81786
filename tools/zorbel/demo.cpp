// demo: the library's main job in one command, on an emulated bus, so that it
// runs anywhere: list the devices, boot one, connect, move data through the
// device's programs and check every byte.
#include <cstring>

#include <fmt/format.h>

#include "checks.h"
#include "commands.h"
#include "connection.h"
#include "failure.h"
#include "output.h"
#include "transfer.h"

namespace zorbel_tool {
namespace {

void step(int n, const std::string& what) { fmt::print("\n{}. {}\n", n, what); }

std::string rate_of(const TransferResult& r) {
    return human_rate(r.seconds > 0 ? static_cast<double>(r.bytes) / r.seconds : 0);
}

}  // namespace

void add_demo_command(CLI::App& app, std::vector<Command>& commands) {
    auto megabytes = std::make_shared<int>(4);
    CLI::App* demo = app.add_subcommand(
        "demo", "Run the whole job against an emulated bus: list, boot, connect, transfer and check");
    demo->add_option("--megabytes", *megabytes, "MiB to move through each program")
        ->capture_default_str()
        ->check(whole_number_check(1, 1024, "a number of MiB"));
    commands.push_back(
        {demo,
         [megabytes](Bus& bus, const Globals& g) {
             const std::uint64_t bytes = static_cast<std::uint64_t>(*megabytes) << 20;
             bool show_progress = progress_wanted() && !g.quiet;
             fmt::print(
                 "zorbel demo: an emulated USB bus inside this process, with one device "
                 "waiting in its boot loader and one in normal mode\n");

             step(1, "The attached devices");
             print_device_table(bus.devices());

             step(2, "Boot device 0 with a sample image and wait until it is back in normal mode");
             const char payload[] = "zorbel demo boot image";
             std::vector<unsigned char> image = zorbel::make_boot_image(payload, sizeof payload);
             boot_and_wait(bus, 0, image, "the sample image", 30, false);
             print_device_table(bus.devices());

             // Every device now runs its programs; take the one that was in
             // normal mode from the start.
             const std::string normal_id = "ZB0000000002";
             std::vector<char> hardware_id(normal_id.begin(), normal_id.end());
             hardware_id.push_back('\0');
             int number = GetOpenIndexForDeviceByHID(hardware_id.data());
             if (number < 0) throw Failure(fmt::format("the emulated device {} is missing", normal_id));
             step(3, fmt::format("Connect to device {} (hardware ID {})", number, normal_id));
             Connection connection(bus, number);
             fmt::print("connected\n");

             step(4, fmt::format("Send {} through the echo program on pipe {} and check what "
                                 "comes back",
                                 human_bytes(double(bytes)), kEchoPipe));
             TransferResult echo;
             {
                 Pipe pipe(connection, kEchoPipe);
                 Progress progress("echo", bytes, show_progress);
                 echo = echo_bulk(pipe, bytes, 10, &progress);
             }
             fmt::print("{} came back unchanged in {:.2f} s ({} each way)\n", human_bytes(double(echo.bytes)),
                        echo.seconds, rate_of(echo));

             step(5, fmt::format("Send {} to the sink on pipe {} and compare its checksum",
                                 human_bytes(double(bytes)), kSinkPipe));
             auto tally = bus.sink_tally(normal_id);
             tally->clear();
             TransferResult sent;
             std::uint32_t expected_crc;
             {
                 Pipe pipe(connection, kSinkPipe);
                 Progress progress("sink", bytes, show_progress);
                 TransferOptions options;
                 options.expected = bytes;
                 options.progress = &progress;
                 CRC32 crc;
                 std::uint64_t made = 0;
                 sent = send_stream(
                     pipe,
                     [&](unsigned char* b, std::size_t cap) {
                         auto n = static_cast<std::size_t>(std::min<std::uint64_t>(cap, bytes - made));
                         for (std::size_t k = 0; k < n; ++k) b[k] = zorbel::source_pattern(made + k);
                         crc.update(b, static_cast<unsigned long>(n));
                         made += n;
                         return n;
                     },
                     options);
                 expected_crc = static_cast<std::uint32_t>(crc.get());
             }
             if (!tally->wait_for(bytes, 5000) || tally->bytes() != bytes || tally->crc32() != expected_crc)
                 throw Failure(
                     fmt::format("the sink read {} bytes with CRC-32 {:08x}; expected {} "
                                 "with {:08x}",
                                 tally->bytes(), tally->crc32(), bytes, expected_crc));
             fmt::print("the sink read all {} bytes, CRC-32 {:08x} as sent, in {:.2f} s ({})\n", bytes,
                        expected_crc, sent.seconds, rate_of(sent));

             step(6, fmt::format("Receive {} from the source on pipe {} and check the pattern",
                                 human_bytes(double(bytes)), kSourcePipe));
             TransferResult received;
             {
                 Pipe pipe(connection, kSourcePipe);
                 Progress progress("source", bytes, show_progress);
                 TransferOptions options;
                 options.expected = bytes;
                 options.progress = &progress;
                 std::uint64_t at = 0;
                 received = recv_stream(
                     pipe,
                     [&](const unsigned char* d, std::size_t n) {
                         for (std::size_t k = 0; k < n; ++k, ++at)
                             if (d[k] != zorbel::source_pattern(at))
                                 throw Failure(fmt::format("byte {} from the source is wrong", at));
                     },
                     bytes, options);
             }
             fmt::print("{} arrived in order in {:.2f} s ({})\n", human_bytes(double(received.bytes)),
                        received.seconds, rate_of(received));

             fmt::print("\ndemo complete: every byte checked\n");
             return kExitOk;
         },
         [](EmulationOptions& e) {
             // The demo always brings its own bus, of its own shape; the
             // link and ID options still apply.
             e.enabled = true;
             e.boot_devices = 1;
             e.normal_devices = 1;
         }});
}

}  // namespace zorbel_tool
