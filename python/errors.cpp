// zorbel.Error derives from OSError, so `except OSError` catches the library's
// failures as it catches those of files and sockets; the subclasses also
// derive from the built-in exception a Python programmer expects for the same
// reason (TimeoutError, PermissionError, ValueError), so code that knows only
// those still works.
#include "python/errors.h"

#include <pybind11/pybind11.h>

#include <cerrno>

#include "python/bindings.h"
#include "zorbel/error.h"

namespace py = pybind11;

namespace zorbel {
namespace python {
namespace {

// The classes, created once with the module and kept for the life of the
// process (a module's types outlive every use of them).
struct ExceptionTypes {
    PyObject* error = nullptr;
    PyObject* no_such_device = nullptr;
    PyObject* busy = nullptr;
    PyObject* wrong_mode = nullptr;
    PyObject* permission_denied = nullptr;
    PyObject* device_gone = nullptr;
    PyObject* timed_out = nullptr;
    PyObject* invalid_argument = nullptr;
    PyObject* cancelled = nullptr;
};

ExceptionTypes& types() {
    static ExceptionTypes kept;
    return kept;
}

PyObject* new_type(py::module_& m, const char* name, const char* doc, py::tuple bases) {
    const std::string qualified = std::string("zorbel.") + name;
    PyObject* type = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, bases.ptr(), nullptr);
    if (!type) throw py::error_already_set();
    m.add_object(name, py::reinterpret_borrow<py::object>(type));
    return type;
}

PyObject* type_for(const std::error_code& code) {
    const ExceptionTypes& t = types();
    if (code.category() != error_category()) return t.error;
    switch (static_cast<errc>(code.value())) {
        case errc::no_such_device:
            return t.no_such_device;
        case errc::busy:
            return t.busy;
        case errc::wrong_mode:
            return t.wrong_mode;
        case errc::permission_denied:
            return t.permission_denied;
        case errc::device_gone:
            return t.device_gone;
        case errc::timed_out:
            return t.timed_out;
        case errc::invalid_argument:
        case errc::ambiguous_selector:
            return t.invalid_argument;
        case errc::cancelled:
            return t.cancelled;
        case errc::io_error:
            break;
    }
    return t.error;
}

// The errno of the portable condition nearest to `code`, as OSError users
// test it. The library names no condition for a selector that matches several
// devices (a refused argument, as its exception says) nor for a device in the
// wrong mode (the call is not supported in the mode it is in); anything else
// without one is an input/output error.
int errno_for(const std::error_code& code) {
    if (code.category() == error_category()) {
        switch (static_cast<errc>(code.value())) {
            case errc::ambiguous_selector:
                return EINVAL;
            case errc::wrong_mode:
                return EOPNOTSUPP;
            default:
                break;
        }
    }
    const std::error_condition condition = code.default_error_condition();
    return condition.category() == std::generic_category() ? condition.value() : EIO;
}

// Sets the Python error for `code`: errno is the nearest portable one and
// strerror the whole message ("[Errno 16] <message>", as OSError says it).
void set_error(const std::error_code& code, const std::string& message, const std::size_t* written) {
    py::handle type = type_for(code);
    py::object exception = type(errno_for(code), message);
    if (written) exception.attr("characters_written") = *written;
    PyErr_SetObject(type.ptr(), exception.ptr());
}

}  // namespace

void raise_error(const std::error_code& code, const std::string& what) {
    set_error(code, what + ": " + code.message(), nullptr);
    throw py::error_already_set();
}

void raise_write_error(const std::error_code& code, const std::string& what, std::size_t written) {
    set_error(code, what + ": " + code.message(), &written);
    throw py::error_already_set();
}

void raise_closed(const std::string& what) { throw py::value_error(what); }

void raise_invalid_argument(const std::string& message) {
    set_error(make_error_code(errc::invalid_argument), message, nullptr);
    throw py::error_already_set();
}

void bind_errors(py::module_& m) {
    ExceptionTypes& t = types();
    py::object os_error = py::reinterpret_borrow<py::object>(PyExc_OSError);
    t.error = new_type(m, "Error",
                       "A call to the device failed. The message says what was being done and why;\n"
                       "errno holds the closest portable error number (EBUSY, ETIMEDOUT, ...). The\n"
                       "subclasses name the reasons a caller may want to tell apart.",
                       py::make_tuple(os_error));
    py::object error = py::reinterpret_borrow<py::object>(t.error);
    auto derived = [&](const char* name, const char* doc, PyObject* builtin = nullptr) {
        py::tuple bases = builtin ? py::make_tuple(error, py::reinterpret_borrow<py::object>(builtin))
                                  : py::make_tuple(error);
        return new_type(m, name, doc, bases);
    };
    t.no_such_device = derived("NoSuchDeviceError", "No attached device matches the selector.");
    t.busy = derived("BusyError",
                     "The device is held by another connection (in this program or another), or\n"
                     "the pipe number is open already on this connection.");
    t.wrong_mode = derived("WrongModeError",
                           "The device is in the wrong mode: a connection needs it in normal mode,\n"
                           "boot() needs it in its boot loader.");
    t.permission_denied = derived("PermissionDeniedError",
                                  "The device is attached but this user may not open it (see the udev rule).",
                                  PyExc_PermissionError);
    t.device_gone = derived("DeviceGoneError", "The device went away during the call and did not come back.");
    t.timed_out = derived("TimedOutError",
                          "Nothing happened within the time-out. Also a TimeoutError. Nothing is lost:\n"
                          "a read that timed out read nothing, and a flush or write may be repeated\n"
                          "(a write's characters_written says how much it took).",
                          PyExc_TimeoutError);
    t.invalid_argument = derived("InvalidArgumentError",
                                 "An argument the library refused: a pipe number outside 1..125, an image\n"
                                 "the boot loader refused, a selector that matches several devices. Also a\n"
                                 "ValueError.",
                                 PyExc_ValueError);
    t.cancelled = derived("CancelledError",
                          "The call was stopped on request: the pipe or connection was closed (on\n"
                          "another thread) while it waited.");

    // By value: pybind11 takes a plain function pointer of that type.
    py::register_exception_translator(
        [](std::exception_ptr thrown) {  // NOLINT(performance-unnecessary-value-param)
            try {
                if (thrown) std::rethrow_exception(thrown);
            } catch (const Error& e) {
                set_error(e.code(), e.what(), nullptr);
            }
        });
}

}  // namespace python
}  // namespace zorbel
