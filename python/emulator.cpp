// The emulated bus for Python: a process's own devices, for scripts and their
// tests without hardware.
#include <pybind11/stl.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "python/arguments.h"
#include "python/bindings.h"
#include "python/blocking.h"
#include "python/errors.h"
#include "zorbel/emulator.h"

namespace py = pybind11;

namespace zorbel {
namespace python {
namespace {

// A bus that can be closed before it is collected, so that a `with` block
// ends it at a known point (gives way to the bus or USB that was there).
class PyBus {
public:
    PyBus() {
        py::gil_scoped_release release;
        bus_ = std::make_unique<EmulatedBus>();
    }
    ~PyBus() {
        try {
            close();
        } catch (...) {  // nothing to tell from a destructor; the bus is gone either way
        }
    }
    PyBus(const PyBus&) = delete;
    PyBus& operator=(const PyBus&) = delete;

    // Destruction unplugs every device and joins their threads; none of them
    // needs the GIL, but a thread of the program may be blocked on them.
    void close() {
        std::unique_ptr<EmulatedBus> bus = std::move(bus_);
        if (!bus) return;
        py::gil_scoped_release release;
        bus.reset();
    }

    bool closed() const { return !bus_; }

    EmulatedBus& bus() {
        if (!bus_) raise_closed("the EmulatedBus is closed");
        return *bus_;
    }

private:
    std::unique_ptr<EmulatedBus> bus_;
};

// A device program as Python holds it: made by echo_program() and the rest,
// handed to EmulatedDevice.bind().
struct ProgramHandle {
    DeviceProgram program;
};

py::bytes to_bytes(const std::vector<unsigned char>& data) {
    return py::bytes(reinterpret_cast<const char*>(data.data()), data.size());
}

}  // namespace

void bind_emulator(py::module_& m) {
    py::class_<ProgramHandle>(m, "DeviceProgram",
                              "A program for a pipe of an emulated device: echo_program(), sink_program()\n"
                              "or source_program(); see EmulatedDevice.bind().")
        .def("__repr__", [](const ProgramHandle&) { return std::string("<zorbel.DeviceProgram>"); });

    py::class_<SinkTally, std::shared_ptr<SinkTally>>(
        m, "SinkTally",
        "What sink programs have read: the byte count and the CRC-32 of those bytes in order.")
        .def(py::init<>(), "An empty tally, for sink_program().")
        .def_property_readonly("bytes", &SinkTally::bytes, "Bytes read so far.")
        .def_property_readonly("crc32", &SinkTally::crc32,
                               "The CRC-32 of every byte read, in order (as zlib.crc32 computes it).")
        .def(
            "wait_for",
            [](const SinkTally& tally, std::uint64_t count, double timeout) {
                const auto limit = to_timeout(timeout).value_or(std::chrono::hours(24 * 365));
                py::gil_scoped_release release;
                return tally.wait_for(count, static_cast<unsigned long>(limit.count()));
            },
            py::arg("count"), py::arg("timeout"),
            "Waits until at least `count` bytes were read; False after `timeout` seconds.")
        .def("clear", &SinkTally::clear, "Starts counting again from nothing.");

    py::class_<EmulatedDevice>(
        m, "EmulatedDevice",
        "One device of an EmulatedBus. It stays usable after it is unplugged and after\n"
        "its bus is closed (operations then do nothing).")
        .def_property_readonly("valid", &EmulatedDevice::valid, "Whether it names a device.")
        .def_property_readonly("plugged", &EmulatedDevice::plugged, "Whether it is on the bus.")
        .def_property_readonly("boot_mode", &EmulatedDevice::boot_mode,
                               "Whether it waits in its boot loader.")
        .def_property_readonly("hardware_id", &EmulatedDevice::hardware_id, "Its 12-character hardware ID.")
        .def_property_readonly("boots", &EmulatedDevice::boots, "How many boot images it has accepted.")
        .def_property_readonly(
            "transfers_to_device", [](const EmulatedDevice& d) { return d.to_device_stats().transfers; },
            "How many transfers the host has sent it (blocks and requests): what calls\n"
            "cost on the link.")
        .def(
            "unplug",
            [](EmulatedDevice& d) {
                py::gil_scoped_release release;
                d.unplug();
            },
            "Pulls it out: open connections' reads fail and they look for it again for a\n"
            "few seconds (then their pipes fail with DeviceGoneError). A device in normal\n"
            "mode runs on meanwhile. Harmless when unplugged.")
        .def(
            "plug",
            [](EmulatedDevice& d, std::optional<int> hub, std::optional<int> port) {
                if (hub.has_value() != port.has_value())
                    throw py::value_error("give both hub and port, or neither");
                py::gil_scoped_release release;
                return hub ? d.plug(*hub, *port) : d.plug();
            },
            py::arg("hub") = py::none(), py::arg("port") = py::none(),
            "Plugs it in again at its last port, or at `hub`/`port`; it is listed behind\n"
            "the devices present. False when the port is taken or absent.")
        .def(
            "reset",
            [](EmulatedDevice& d) {
                py::gil_scoped_release release;
                return d.reset();
            },
            "Restarts a device in normal mode: it leaves and arrives again, and its\n"
            "programs start afresh. False when it is not plugged in normal mode.")
        .def(
            "bind",
            [](EmulatedDevice& d, int pipe, std::optional<ProgramHandle> program) {
                if (pipe < 1 || pipe > 125) throw py::value_error("pipe numbers run from 1 to 125");
                d.bind(pipe, program ? program->program : DeviceProgram());
            },
            py::arg("pipe"), py::arg("program"),
            "Runs `program` (from echo_program() and the like) for the next pipe with this\n"
            "number, and for each one after it; None unbinds (a pipe then stays\n"
            "unanswered).")
        .def("set_open_refused", &EmulatedDevice::set_open_refused, py::arg("refused"),
             "Makes it refuse to open, as a device this user has no permission for.")
        .def("set_info_fails", &EmulatedDevice::set_info_fails, py::arg("fails"),
             "Makes its information request fail.")
        .def("set_boot_delay", &EmulatedDevice::set_boot_delay, py::arg("ms"),
             "The time from an accepted image to normal mode, for later boots.")
        .def(
            "wait_normal_mode",
            [](const EmulatedDevice& d, double timeout) {
                const auto limit = to_timeout(timeout).value_or(std::chrono::hours(24 * 365));
                py::gil_scoped_release release;
                return d.wait_normal_mode(static_cast<unsigned long>(limit.count()));
            },
            py::arg("timeout"), "Whether it is in normal mode within `timeout` seconds.")
        .def("__repr__", [](const EmulatedDevice& d) {
            return "<zorbel.EmulatedDevice " + d.hardware_id() + (d.plugged() ? "" : " (unplugged)") + ">";
        });

    py::class_<PyBus> bus(m, "EmulatedBus",
                          "An emulated USB bus inside this process. While it is open, everything in the\n"
                          "module that looks for devices sees its devices and nothing else (the newest\n"
                          "bus wins); closing it, or leaving its `with` block, unplugs them and gives way\n"
                          "to what was there before:\n"
                          "\n"
                          "    with zorbel.EmulatedBus() as bus:\n"
                          "        demo = bus.add_demo()\n"
                          "        print(zorbel.list_devices())\n");
    py::class_<EmulatedBus::Demo>(bus, "Demo", "The devices add_demo() made.")
        .def_readonly("boot", &EmulatedBus::Demo::boot, "Device 0, in boot mode: hardware ID ZB0000000001.")
        .def_readonly("normal", &EmulatedBus::Demo::normal,
                      "Device 1, in normal mode: hardware ID ZB0000000002, ID 0000002.")
        .def_readonly("sink", &EmulatedBus::Demo::sink, "The SinkTally both devices' pipe 2 adds to.");
    bus.def(py::init<>(), "A new, empty bus, at once this process's device host.")
        .def(
            "add_demo", [](PyBus& b) { return b.bus().add_demo(); },
            "The demo devices, on an empty bus: on a 4-port hub, a device in boot mode\n"
            "(device 0, ZB0000000001) and one in normal mode (device 1, ZB0000000002). Both\n"
            "run echo on pipe 1, a sink on pipe 2 and an endless source on pipe 3 (the boot\n"
            "mode one once booted). Returns them as an EmulatedBus.Demo.")
        .def(
            "add_controller",
            [](PyBus& b, int ports, int number) { return b.bus().add_controller(ports, number); },
            py::arg("ports") = 4, py::arg("number") = -1,
            "A host controller (number 0..9, -1: the lowest free) with a root hub of\n"
            "`ports` ports; returns the hub, or -1.")
        .def(
            "add_hub",
            [](PyBus& b, int hub, int port, int ports) { return b.bus().add_hub(hub, port, ports); },
            py::arg("hub"), py::arg("port"), py::arg("ports") = 4,
            "An external hub on a free port; returns it, or -1.")
        .def(
            "add_device",
            [](PyBus& b, int hub, int port, bool boot_mode, const std::string& type,
               const std::string& hardware_id, const std::string& id, unsigned int boot_delay_ms) {
                if (type.size() != 1) throw py::value_error("type is one letter");
                EmulatedDeviceSettings settings;
                settings.boot_mode = boot_mode;
                settings.type = type[0];
                settings.hardware_id = hardware_id;
                settings.id = id;
                settings.boot_delay_ms = boot_delay_ms;
                return b.bus().add_device(hub, port, settings);
            },
            py::arg("hub"), py::arg("port"), py::kw_only(), py::arg("boot_mode") = false,
            py::arg("type") = "T", py::arg("hardware_id") = "ZB0000000001", py::arg("id") = "0000001",
            py::arg("boot_delay_ms") = 5,
            "A device, plugged in at once at `hub`/`port`, with no programs yet (see\n"
            "EmulatedDevice.bind()). The returned EmulatedDevice is not valid when the port\n"
            "is taken or absent.")
        .def(
            "set_claim_scope", [](PyBus& b, const std::string& scope) { b.bus().set_claim_scope(scope); },
            py::arg("scope"),
            "Shares device claims with buses of other processes given the same scope, as\n"
            "programs sharing one real device do (by default they are this process's own).")
        .def("close", &PyBus::close,
             "Unplugs every device and gives way to the bus or USB that was there before.\n"
             "Close connections to its devices first. Closing twice is harmless.")
        .def_property_readonly("closed", &PyBus::closed, "Whether close() was called.")
        .def(
            "__enter__", [](PyBus& b) -> PyBus& { return b; }, py::return_value_policy::reference,
            "Returns the bus.")
        .def(
            "__exit__", [](PyBus& b, const py::args&) { b.close(); }, "Closes the bus.");

    m.def(
        "echo_program", [] { return ProgramHandle{echo_program()}; },
        "Sends back every byte it reads, in order (holding up to 64 KiB the host has\n"
        "not read yet).");
    m.def(
        "sink_program",
        [](std::shared_ptr<SinkTally> tally) { return ProgramHandle{sink_program(std::move(tally))}; },
        py::arg("tally"), "Reads everything and adds it to `tally`; sends nothing.");
    m.def(
        "source_program", [](std::uint64_t length) { return ProgramHandle{source_program(length)}; },
        py::arg("length") = 0, "Sends `length` bytes of the source pattern (0: without end), then idles.");
    m.def("source_pattern", &source_pattern, py::arg("k"),
          "Byte k of a source's stream: (k + 7 * (k >> 9)) & 0xFF.");
    m.def(
        "source_bytes",
        [](std::uint64_t offset, std::size_t count) {
            std::vector<unsigned char> data(count);
            for (std::size_t i = 0; i < count; ++i) data[i] = source_pattern(offset + i);
            return to_bytes(data);
        },
        py::arg("offset"), py::arg("count"), "`count` bytes of a source's stream from byte `offset`.");
    m.def(
        "make_boot_image",
        [](BytesArg payload) {
            const BufferView bytes(payload.object, false, "payload");
            return to_bytes(make_boot_image(bytes.data(), bytes.size()));
        },
        py::arg("payload"),
        "A boot image that an emulated device in boot mode accepts, around `payload`\n"
        "(any bytes-like object): b\"ZBIM\", the payload, then the CRC-32 of both.");
}

}  // namespace python
}  // namespace zorbel
