// Calls that block, made from Python: the GIL released while they wait, and
// Ctrl-C noticed while they do.
//
// A read waits in one C++ call, which asks a keep-going check (SignalCheck)
// between its own quiet waits: the device is asked nothing more for those
// looks. Writes and flushes wait for the device to ask, which costs nothing
// on the link, so they wait with the GIL released in slices of kSlice, and
// between two slices the GIL is taken back to run Python's signal handlers;
// slicing loses nothing there (a write or flush that timed out carries on
// where it stopped). Either way Ctrl-C (KeyboardInterrupt) ends a blocked call
// within about a slice. Calls that take a callback asked now and then (boot,
// wait_for) check for signals in that callback.
#ifndef ZORBEL_PYTHON_BLOCKING_H
#define ZORBEL_PYTHON_BLOCKING_H

#include <pybind11/pybind11.h>

#include <chrono>
#include <cstddef>
#include <optional>

namespace zorbel {
namespace python {

// The longest wait without a look at the signals: well under the 200 ms in
// which Ctrl-C should end a call.
constexpr std::chrono::milliseconds kSlice(50);

// A time-out given in seconds (None: no limit) as the C++ calls take it.
// InvalidArgumentError for a negative or NaN value; infinity is no limit.
std::optional<std::chrono::milliseconds> to_timeout(std::optional<double> seconds);

// When a call's time-out ends, and how long its next slice may wait.
class Deadline {
public:
    explicit Deadline(std::optional<double> seconds);
    // kSlice, or what is left of the time-out when that is less (0 once it
    // has passed: the C++ call then waits as briefly as it can).
    std::chrono::milliseconds slice() const;
    bool passed() const;
    // Starts the time-out again, after progress (it bounds each wait, not
    // the whole call).
    void restart();

private:
    using Clock = std::chrono::steady_clock;
    std::optional<std::chrono::milliseconds> timeout_;
    Clock::time_point end_;
};

// Runs Python's pending signal handlers; throws error_already_set when one
// raised (KeyboardInterrupt for Ctrl-C). Needs the GIL.
void check_signals();

// A keep-going callback for a C++ call made with the GIL released: it takes
// the GIL only to run the signal handlers, and says stop when one raised.
// The caller, holding the GIL again, then raises that exception with
// rethrow_if_interrupted. Used on the calling thread only.
class SignalCheck {
public:
    bool keep_going();
    // Throws error_already_set when keep_going saw a handler raise.
    void rethrow_if_interrupted() const;

private:
    bool interrupted_ = false;
};

// A bytes-like object's memory, held (and so kept from moving or shrinking)
// for as long as this lives: writes send it and reads fill it without a copy.
// TypeError naming `parameter` for an object that is not bytes-like,
// BufferError for one that is not contiguous or (when `writable`) is
// read-only.
class BufferView {
public:
    BufferView(pybind11::handle object, bool writable, const char* parameter);
    ~BufferView();
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;

    unsigned char* data() const { return static_cast<unsigned char*>(view_.buf); }
    std::size_t size() const { return static_cast<std::size_t>(view_.len); }

private:
    Py_buffer view_{};
};

}  // namespace python
}  // namespace zorbel

#endif
