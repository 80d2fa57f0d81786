#include "python/arguments.h"

#include <climits>
#include <cmath>

#include "python/errors.h"

namespace py = pybind11;

namespace zorbel {
namespace python {

void raise_wrong_type(const char* parameter, const char* expected, py::handle value) {
    const std::string type = py::str(py::type::handle_of(value).attr("__name__"));
    throw py::type_error(std::string(parameter) + " must be " + expected + ", not " + type);
}

int int_from(IntArg value, const char* parameter) {
    if (!PyIndex_Check(value.object.ptr())) raise_wrong_type(parameter, "an int", value.object);
    const auto number = py::reinterpret_steal<py::object>(PyNumber_Index(value.object.ptr()));
    if (!number) throw py::error_already_set();
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
    if (n == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow != 0 || n < INT_MIN || n > INT_MAX)
        raise_invalid_argument(std::string(parameter) + " " + std::string(py::str(number)) +
                               " is out of range");
    return static_cast<int>(n);
}

std::optional<std::size_t> size_from(SizeArg value) {
    if (value.object.is_none()) return std::nullopt;
    if (!PyIndex_Check(value.object.ptr())) raise_wrong_type("size", "an int or None", value.object);
    // Clamped rather than refused: the size only bounds what a read returns.
    const Py_ssize_t n = PyNumber_AsSsize_t(value.object.ptr(), nullptr);
    if (n == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (n < 0) return std::nullopt;
    return static_cast<std::size_t>(n);
}

std::optional<double> seconds_from(SecondsArg value, const char* parameter) {
    if (value.object.is_none()) return std::nullopt;
    // Numbers only: PyFloat_AsDouble would take any object with __float__,
    // but a str or bytes is no number of seconds.
    if (!PyFloat_Check(value.object.ptr()) && !PyIndex_Check(value.object.ptr()) &&
        !PyNumber_Check(value.object.ptr()))
        raise_wrong_type(parameter, "a number of seconds or None", value.object);
    const double seconds = PyFloat_AsDouble(value.object.ptr());
    if (seconds == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    if (std::isnan(seconds) || seconds < 0)
        raise_invalid_argument(std::string(parameter) +
                               " must be None or a non-negative number of seconds, not " +
                               std::string(py::repr(value.object)));
    return seconds;
}

std::optional<std::string> text_from(TextArg value, const char* parameter) {
    if (value.object.is_none()) return std::nullopt;
    if (!PyUnicode_Check(value.object.ptr())) raise_wrong_type(parameter, "a str or None", value.object);
    return value.object.cast<std::string>();
}

py::object callback_from(CallbackArg value, const char* parameter) {
    if (value.object.is_none()) return py::object();
    if (!PyCallable_Check(value.object.ptr())) raise_wrong_type(parameter, "callable or None", value.object);
    return py::reinterpret_borrow<py::object>(value.object);
}

}  // namespace python
}  // namespace zorbel
