// Finding devices: DeviceInfo, list_devices, find_device, boot, wait_for and
// DeviceWatcher.
#include "python/devices.h"

#include <pybind11/stl.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <utility>

#include "python/bindings.h"
#include "python/blocking.h"
#include "python/errors.h"

namespace py = pybind11;

namespace zorbel {
namespace python {

DeviceSelector selector_from(py::handle selector) {
    if (py::isinstance<py::str>(selector)) return DeviceSelector(selector.cast<std::string>());
    if (py::isinstance<py::int_>(selector) && !py::isinstance<py::bool_>(selector))
        return DeviceSelector(selector.cast<int>());
    if (py::isinstance<DeviceInfo>(selector)) {
        const auto& info = selector.cast<const DeviceInfo&>();
        if (!info.hardware_id.empty()) return DeviceSelector(info.hardware_id);
        return DeviceSelector(info.number);
    }
    throw py::type_error(
        "a device is selected by an int (its number) or a str (hardware ID, ID or place), not " +
        std::string(py::str(py::type::handle_of(selector).attr("__name__"))));
}

namespace {

std::optional<DeviceMode> mode_from(const std::optional<std::string>& mode) {
    if (!mode) return std::nullopt;
    if (*mode == "normal") return DeviceMode::normal;
    if (*mode == "boot") return DeviceMode::boot;
    throw py::value_error("mode must be \"normal\", \"boot\" or None, not \"" + *mode + "\"");
}

std::string repr(const DeviceInfo& d) {
    std::string text = "<zorbel.DeviceInfo number=" + std::to_string(d.number) + " mode=" + mode_name(d.mode);
    if (!d.hardware_id.empty()) text += " hardware_id=" + d.hardware_id + " id=" + d.id;
    if (!d.location.empty()) text += " location=" + d.location;
    if (d.in_use) text += " in_use";
    return text + ">";
}

bool same(const DeviceInfo& a, const DeviceInfo& b) {
    return a.number == b.number && a.mode == b.mode && a.type == b.type && a.hardware_id == b.hardware_id &&
           a.id == b.id && a.location == b.location && a.in_use == b.in_use;
}

DeviceInfo boot_device(py::handle selector, py::handle image, double timeout) {
    const DeviceSelector chosen = selector_from(selector);
    const BufferView bytes(image, false);
    const std::optional<std::chrono::milliseconds> limit = to_timeout(timeout);
    SignalCheck signals;
    try {
        py::gil_scoped_release release;
        return boot(chosen, bytes.data(), bytes.size(), limit.value_or(std::chrono::milliseconds::max()),
                    [&](BootStage) { return signals.keep_going(); });
    } catch (const Error&) {
        signals.rethrow_if_interrupted();
        throw;
    }
}

DeviceInfo wait_for_device(py::handle selector, const std::optional<std::string>& mode,
                           std::optional<double> timeout) {
    const DeviceSelector chosen = selector_from(selector);
    const std::optional<DeviceMode> wanted = mode_from(mode);
    const std::optional<std::chrono::milliseconds> limit = to_timeout(timeout);
    SignalCheck signals;
    try {
        py::gil_scoped_release release;
        return wait_for(chosen, wanted, limit, [&] { return signals.keep_going(); });
    } catch (const Error&) {
        signals.rethrow_if_interrupted();
        throw;
    }
}

// A DeviceWatcher whose callbacks are Python callables. They run on the
// watcher's thread with the GIL; closing waits for that thread, so it lets
// the GIL go meanwhile (a callback may be waiting for it).
class PyDeviceWatcher {
public:
    PyDeviceWatcher(py::object on_arrive, py::object on_leave)
        : callbacks_(std::make_unique<Callbacks>(std::move(on_arrive), std::move(on_leave))) {
        Callbacks* c = callbacks_.get();
        auto wrap = [c](const py::object& function) -> DeviceWatcher::Callback {
            if (function.is_none()) return nullptr;
            return [c, f = &function](const DeviceInfo& device) { c->call(*f, device); };
        };
        DeviceWatcher::Callback arrive = wrap(c->on_arrive);
        DeviceWatcher::Callback leave = wrap(c->on_leave);
        py::gil_scoped_release release;  // the first look at the bus
        watcher_ = std::make_unique<DeviceWatcher>(std::move(arrive), std::move(leave));
    }

    ~PyDeviceWatcher() {
        if (watcher_ && callbacks_->running.load() == std::this_thread::get_id()) {
            // Dropped by its own callback: a thread cannot wait for itself, so
            // the watcher and its callables are left to run (and leak) rather
            // than freed under that thread.
            (void)watcher_.release();
            (void)callbacks_.release();
            return;
        }
        try {
            close();
        } catch (...) {  // nothing to tell from a destructor; the watcher is stopped either way
        }
    }
    PyDeviceWatcher(const PyDeviceWatcher&) = delete;
    PyDeviceWatcher& operator=(const PyDeviceWatcher&) = delete;

    void close() {
        if (!watcher_) return;
        if (callbacks_->running.load() == std::this_thread::get_id())
            throw py::value_error("a DeviceWatcher cannot be closed from its own callback");
        std::unique_ptr<DeviceWatcher> watcher = std::move(watcher_);
        py::gil_scoped_release release;
        watcher.reset();
    }

    bool closed() const { return !watcher_; }

    std::vector<DeviceInfo> devices() const {
        if (!watcher_) raise_closed("the DeviceWatcher is closed");
        return watcher_->devices();
    }

private:
    // Kept apart from the watcher and destroyed after it, with the GIL held:
    // the callables are Python objects.
    struct Callbacks {
        Callbacks(py::object arrive, py::object leave)
            : on_arrive(std::move(arrive)), on_leave(std::move(leave)) {}
        py::object on_arrive;
        py::object on_leave;
        std::atomic<std::thread::id> running{};

        void call(const py::object& function, const DeviceInfo& device) {
            py::gil_scoped_acquire gil;
            running.store(std::this_thread::get_id());
            try {
                function(device);
            } catch (py::error_already_set& e) {
                // Nobody waits for the callback's result: report it as Python
                // reports an exception it cannot raise, and watch on.
                e.discard_as_unraisable("zorbel.DeviceWatcher callback");
            }
            running.store(std::thread::id());
        }
    };

    std::unique_ptr<Callbacks> callbacks_;
    std::unique_ptr<DeviceWatcher> watcher_;
};

}  // namespace

void bind_devices(py::module_& m) {
    py::class_<DeviceInfo>(m, "DeviceInfo",
                           "One attached device as it was when it was listed. Its number is today's\n"
                           "position in the list and can change when devices arrive, leave or boot; its\n"
                           "hardware_id does not.")
        .def_readonly("number", &DeviceInfo::number,
                      "The device number: devices in boot mode first, then those in normal mode.")
        .def_property_readonly(
            "mode", [](const DeviceInfo& d) { return std::string(mode_name(d.mode)); },
            "\"boot\" (waiting in its boot loader) or \"normal\".")
        .def_property_readonly(
            "type", [](const DeviceInfo& d) { return d.type ? std::string(1, d.type) : std::string(); },
            "The type letter (\"T\" or \"C\"); \"\" for a device in boot mode.")
        .def_readonly("hardware_id", &DeviceInfo::hardware_id,
                      "The 12-character hardware ID; \"\" for a device in boot mode.")
        .def_readonly("id", &DeviceInfo::id, "The 7-character ID; \"\" for a device in boot mode.")
        .def_readonly("location", &DeviceInfo::location,
                      "Where it is attached: bus, dash, then the port on each hub (\"1-4.2\"); \"\" when\n"
                      "unknown.")
        .def_readonly("in_use", &DeviceInfo::in_use,
                      "Whether a connection, here or in another program, holds it.")
        .def("__repr__", &repr)
        .def("__eq__", [](const DeviceInfo& a, const DeviceInfo& b) { return same(a, b); })
        .def("__eq__", [](const DeviceInfo&, const py::object&) { return false; });

    m.def(
        "list_devices",
        [] {
            py::gil_scoped_release release;
            return list_devices();
        },
        "The attached devices in device-number order, as a list of DeviceInfo. A device\n"
        "this user may not open is not among them (connect() says so when it is asked\n"
        "for one).");
    m.def(
        "find_device",
        [](py::handle selector) {
            const DeviceSelector chosen = selector_from(selector);
            py::gil_scoped_release release;
            return find_device(chosen);
        },
        py::arg("selector"),
        "The one device the selector names: an int device number, or a str hardware ID,\n"
        "ID or location. NoSuchDeviceError when none matches, InvalidArgumentError when\n"
        "several do, PermissionDeniedError when the match is a device this user may not\n"
        "open.");
    m.def("boot", &boot_device, py::arg("selector"), py::arg("image"), py::arg("timeout") = 30.0,
          "Hands `image` (any bytes-like object; see make_boot_image) to the device in\n"
          "boot mode that `selector` names, waits until it is back in normal mode and\n"
          "returns its DeviceInfo then (its number may have changed). WrongModeError for\n"
          "a device in normal mode, InvalidArgumentError for an image it refused,\n"
          "TimedOutError when it was not back within `timeout` seconds. Ctrl-C ends the\n"
          "wait.");
    m.def("wait_for", &wait_for_device, py::arg("selector"), py::arg("mode") = "normal",
          py::arg("timeout") = py::none(),
          "Waits until `selector` matches a device in `mode` (\"normal\", \"boot\", or None\n"
          "for either) and returns its DeviceInfo. TimedOutError when none did within\n"
          "`timeout` seconds (None: no limit). Ctrl-C ends the wait.");

    py::class_<PyDeviceWatcher>(
        m, "DeviceWatcher",
        "Tells when devices arrive and leave. The callbacks get a DeviceInfo and run\n"
        "one at a time on the watcher's own thread; an exception they raise is\n"
        "reported as unraisable and the watching goes on. They may call the module\n"
        "but not close the watcher. A device that boots leaves in boot mode and\n"
        "arrives in normal mode. Use it with `with`, or close() it: its thread runs\n"
        "until then.")
        .def(py::init<py::object, py::object>(), py::arg("on_arrive") = py::none(),
             py::arg("on_leave") = py::none(),
             "Starts watching. The devices present now are not reported; devices() has\n"
             "them.")
        .def("devices", &PyDeviceWatcher::devices, "The devices as the watcher last saw them.")
        .def("close", &PyDeviceWatcher::close,
             "Stops watching; returns once no callback runs any more. Closing twice is\n"
             "harmless.")
        .def_property_readonly("closed", &PyDeviceWatcher::closed, "Whether close() was called.")
        .def(
            "__enter__", [](py::object self) { return self; }, "Returns the watcher.")
        .def(
            "__exit__", [](PyDeviceWatcher& w, const py::args&) { w.close(); }, "Closes the watcher.");
}

}  // namespace python
}  // namespace zorbel
