#include "python/blocking.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "python/arguments.h"
#include "python/errors.h"

namespace py = pybind11;

namespace zorbel {
namespace python {

std::optional<std::chrono::milliseconds> to_timeout(std::optional<double> seconds) {
    if (!seconds || std::isinf(*seconds)) return std::nullopt;
    if (std::isnan(*seconds) || *seconds < 0)
        raise_invalid_argument("timeout must be None or a non-negative number of seconds");
    // Rounded up, so a short time-out still waits, and capped where a wait
    // would outlast any program anyway (a year).
    const double ms = std::min(std::ceil(*seconds * 1000.0), 365.0 * 24 * 3600 * 1000);
    return std::chrono::milliseconds(static_cast<std::chrono::milliseconds::rep>(ms));
}

Deadline::Deadline(std::optional<double> seconds) : timeout_(to_timeout(seconds)) { restart(); }

void Deadline::restart() {
    if (timeout_) end_ = Clock::now() + *timeout_;
}

std::chrono::milliseconds Deadline::slice() const {
    if (!timeout_) return kSlice;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end_ - Clock::now());
    return std::clamp(left, std::chrono::milliseconds(0), kSlice);
}

bool Deadline::passed() const { return timeout_ && Clock::now() >= end_; }

void check_signals() {
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

bool SignalCheck::keep_going() {
    if (interrupted_) return false;
    py::gil_scoped_acquire gil;
    // The exception the handler raised stays set on this thread's state until
    // rethrow_if_interrupted takes it.
    interrupted_ = PyErr_CheckSignals() != 0;
    return !interrupted_;
}

void SignalCheck::rethrow_if_interrupted() const {
    if (interrupted_) throw py::error_already_set();
}

BufferView::BufferView(py::handle object, bool writable, const char* parameter) {
    // What is no buffer at all is told by the parameter's name; a buffer that
    // does not fit (not contiguous, read-only) keeps Python's BufferError.
    if (!PyObject_CheckBuffer(object.ptr()))
        raise_wrong_type(parameter, writable ? "a writable bytes-like object" : "a bytes-like object",
                         object);
    if (PyObject_GetBuffer(object.ptr(), &view_, writable ? PyBUF_WRITABLE : PyBUF_SIMPLE) != 0)
        throw py::error_already_set();
}

BufferView::~BufferView() { PyBuffer_Release(&view_); }

}  // namespace python
}  // namespace zorbel
