// Finding devices: DeviceInfo, list_devices, find_device, boot, wait_for and
// DeviceWatcher.
#include "python/devices.h"

#include <pybind11/stl.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <utility>

#include "python/arguments.h"
#include "python/bindings.h"
#include "python/blocking.h"
#include "python/errors.h"

namespace py = pybind11;

namespace zorbel {
namespace python {

DeviceSelector selector_from(SelectorArg selector) {
    const py::handle object = selector.object;
    if (py::isinstance<py::str>(object)) return DeviceSelector(object.cast<std::string>());
    if (py::isinstance<py::int_>(object) && !py::isinstance<py::bool_>(object))
        return DeviceSelector(int_from(IntArg{object}, "selector"));
    if (py::isinstance<DeviceInfo>(object)) {
        const auto& info = object.cast<const DeviceInfo&>();
        if (!info.hardware_id.empty()) return DeviceSelector(info.hardware_id);
        return DeviceSelector(info.number);
    }
    raise_wrong_type("selector",
                     "an int (device number), a str (hardware ID, ID or location) or a DeviceInfo", object);
}

namespace {

std::optional<DeviceMode> mode_from(TextArg value) {
    const std::optional<std::string> mode = text_from(value, "mode");
    if (!mode) return std::nullopt;
    if (*mode == "normal") return DeviceMode::normal;
    if (*mode == "boot") return DeviceMode::boot;
    raise_invalid_argument("mode must be \"normal\", \"boot\" or None, not \"" + *mode + "\"");
}

// Every field, in device-number order first: what equality, ordering,
// hashing, pickling and repr all go by.
py::tuple fields(const DeviceInfo& d) {
    return py::make_tuple(d.number, mode_name(d.mode), d.type ? std::string(1, d.type) : std::string(),
                          d.hardware_id, d.id, d.location, d.in_use);
}

DeviceInfo from_fields(const py::tuple& state) {
    if (state.size() != 7) raise_invalid_argument("a DeviceInfo is restored from 7 fields");
    DeviceInfo d;
    d.number = state[0].cast<int>();
    const auto mode = state[1].cast<std::string>();
    if (mode != "boot" && mode != "normal") raise_invalid_argument("unknown device mode \"" + mode + "\"");
    d.mode = mode == "boot" ? DeviceMode::boot : DeviceMode::normal;
    const auto type = state[2].cast<std::string>();
    d.type = type.empty() ? 0 : type[0];
    d.hardware_id = state[3].cast<std::string>();
    d.id = state[4].cast<std::string>();
    d.location = state[5].cast<std::string>();
    d.in_use = state[6].cast<bool>();
    return d;
}

std::string repr(const DeviceInfo& d) {
    return py::str(
               "zorbel.DeviceInfo(number={!r}, mode={!r}, type={!r}, hardware_id={!r}, id={!r}, "
               "location={!r}, in_use={!r})")
        .format(*fields(d));
}

// A comparison of two DeviceInfo by their fields; NotImplemented for another
// type, so Python tries the other side (and == then is False).
template <int Op>
Comparison compare(const DeviceInfo& a, ObjectArg b) {
    if (!py::isinstance<DeviceInfo>(b.object))
        return Comparison{py::reinterpret_borrow<py::object>(Py_NotImplemented)};
    PyObject* result =
        PyObject_RichCompare(fields(a).ptr(), fields(b.object.cast<const DeviceInfo&>()).ptr(), Op);
    if (!result) throw py::error_already_set();
    return Comparison{py::reinterpret_steal<py::object>(result)};
}

DeviceInfo boot_device(SelectorArg selector, BytesArg image, SecondsArg timeout) {
    const DeviceSelector chosen = selector_from(selector);
    const BufferView bytes(image.object, false, "image");
    const std::optional<std::chrono::milliseconds> limit = to_timeout(seconds_from(timeout, "timeout"));
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

DeviceInfo wait_for_device(SelectorArg selector, TextArg mode, SecondsArg timeout) {
    const DeviceSelector chosen = selector_from(selector);
    const std::optional<DeviceMode> wanted = mode_from(mode);
    const std::optional<std::chrono::milliseconds> limit = to_timeout(seconds_from(timeout, "timeout"));
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
//
// A callback may close the watcher, or drop the last reference to it. Its
// thread cannot wait for itself, so the watcher is then stopped at once (no
// callback runs after that one) and handed to a Python thread that waits for
// the watcher's thread and frees it: Python's own threading module, which
// joins such a thread before the interpreter exits.
class PyDeviceWatcher {
public:
    PyDeviceWatcher(CallbackArg on_arrive, CallbackArg on_leave) {
        py::object arriving = callback_from(on_arrive, "on_arrive");  // checked in the order given
        py::object leaving = callback_from(on_leave, "on_leave");
        state_ = std::make_unique<State>(std::move(arriving), std::move(leaving));
        State* state = state_.get();
        auto wrap = [state](const py::object& function) -> DeviceWatcher::Callback {
            if (!function) return nullptr;
            return [state, f = &function](const DeviceInfo& device) { state->call(*f, device); };
        };
        DeviceWatcher::Callback arrive = wrap(state->on_arrive);
        DeviceWatcher::Callback leave = wrap(state->on_leave);
        py::gil_scoped_release release;  // the first look at the bus
        state->watcher = std::make_unique<DeviceWatcher>(std::move(arrive), std::move(leave));
    }

    ~PyDeviceWatcher() {
        try {
            close();
        } catch (...) {  // nothing to tell from a destructor; the watcher is stopped either way
        }
    }
    PyDeviceWatcher(const PyDeviceWatcher&) = delete;
    PyDeviceWatcher& operator=(const PyDeviceWatcher&) = delete;

    void close() {
        if (!state_) return;
        std::unique_ptr<State> state = std::move(state_);
        state->stopped.store(true);
        if (state->running.load() == std::this_thread::get_id()) {
            close_later(std::move(state));
            return;
        }
        {
            py::gil_scoped_release release;
            state->watcher.reset();
        }
        // The callables go with the GIL held, after the thread that called them.
    }

    bool closed() const { return !state_; }

    std::vector<DeviceInfo> devices() const {
        if (!state_) raise_closed("the DeviceWatcher is closed");
        return state_->watcher->devices();
    }

private:
    // The watcher and its callables, which it calls through pointers: they
    // go together, the watcher (and its thread) first.
    struct State {
        State(py::object arrive, py::object leave)
            : on_arrive(std::move(arrive)), on_leave(std::move(leave)) {}
        py::object on_arrive;
        py::object on_leave;
        std::unique_ptr<DeviceWatcher> watcher;
        std::atomic<std::thread::id> running{};  // the thread inside a callback
        std::atomic<bool> stopped{false};        // closed: call nothing more

        void call(const py::object& function, const DeviceInfo& device) {
            py::gil_scoped_acquire gil;
            if (stopped.load()) return;
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

    // Closes `state` from its own callback (which holds the GIL): a Python
    // thread waits for the watcher's thread, which ends once the callback
    // returns, and then frees both.
    static void close_later(std::unique_ptr<State> state) {
        auto held = std::make_shared<std::unique_ptr<State>>(std::move(state));
        py::cpp_function finish([held] {
            {
                py::gil_scoped_release release;
                (*held)->watcher.reset();
            }
            held->reset();
        });
        try {
            py::module_::import("threading")
                .attr("Thread")(py::arg("target") = finish, py::arg("name") = "zorbel.DeviceWatcher close")
                .attr("start")();
        } catch (...) {
            // No thread to be had (the interpreter is exiting): the watcher
            // is left to its thread, which calls nothing more, rather than
            // freed under it.
            (void)held->release();
            throw;
        }
    }

    std::unique_ptr<State> state_;
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
        .def("__eq__", &compare<Py_EQ>, py::arg("other"), "Whether every field is the same.")
        .def("__ne__", &compare<Py_NE>, py::arg("other"), "Whether some field differs.")
        .def("__lt__", &compare<Py_LT>, py::arg("other"), "Ordered by number, then the other fields.")
        .def("__le__", &compare<Py_LE>, py::arg("other"), "Ordered by number, then the other fields.")
        .def("__gt__", &compare<Py_GT>, py::arg("other"), "Ordered by number, then the other fields.")
        .def("__ge__", &compare<Py_GE>, py::arg("other"), "Ordered by number, then the other fields.")
        .def(
            "__hash__", [](const DeviceInfo& d) { return py::hash(fields(d)); },
            "Hashes the fields, so equal DeviceInfo hash equal (usable in sets and as keys).")
        .def(py::pickle([](const DeviceInfo& d) { return fields(d); }, &from_fields));

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
        [](SelectorArg selector) {
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
        "and close the watcher (no callback runs after that). A device that boots\n"
        "leaves in boot mode and arrives in normal mode. Use it with `with`, or\n"
        "close() it: its thread runs until then.")
        .def(py::init<CallbackArg, CallbackArg>(), py::arg("on_arrive") = py::none(),
             py::arg("on_leave") = py::none(),
             "Starts watching. The devices present now are not reported; devices() has\n"
             "them. TypeError for a callback that is not callable.")
        .def("devices", &PyDeviceWatcher::devices, "The devices as the watcher last saw them.")
        .def("close", &PyDeviceWatcher::close,
             "Stops watching; returns once no callback runs any more (from a callback:\n"
             "at once, and the watcher's thread ends after it). Closing twice is harmless.")
        .def_property_readonly("closed", &PyDeviceWatcher::closed, "Whether close() was called.")
        .def(
            "__enter__", [](PyDeviceWatcher& w) -> PyDeviceWatcher& { return w; },
            py::return_value_policy::reference, "Returns the watcher.")
        .def(
            "__exit__", [](PyDeviceWatcher& w, const py::args&) { w.close(); }, "Closes the watcher.");
}

}  // namespace python
}  // namespace zorbel
