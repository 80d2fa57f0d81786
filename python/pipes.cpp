// Connection and Pipe for Python: context managers over zorbel::Connection
// and zorbel::Pipe whose blocking calls let the GIL go and end on Ctrl-C.
#include <pybind11/stl.h>

#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "python/arguments.h"
#include "python/bindings.h"
#include "python/blocking.h"
#include "python/devices.h"
#include "python/errors.h"
#include "support/mutex.h"
#include "support/thread_annotations.h"

namespace py = pybind11;

namespace zorbel {
namespace python {
namespace {

// Past this a read(size) allocates no more: a read returns what has arrived,
// which is far less, and a huge size must not cost a huge allocation.
constexpr std::size_t kLargestRead = 1 << 20;
// What one step of iteration, or of reading to the end, asks for.
constexpr std::size_t kChunk = 64 * 1024;

// A pipe that Python threads share. zorbel::Pipe wants one thread at a time
// on each side; here one thread may read while another writes (as the echo
// needs), a second reader or writer is refused at once rather than left to
// race, and close() from any thread waits until the calls under way have
// noticed it (they look between two slices of their wait).
class PyPipe {
public:
    PyPipe(Pipe pipe, std::string name)
        : pipe_(std::move(pipe)), number_(pipe_.number()), name_(std::move(name)) {}

    std::size_t write(py::handle data, std::optional<double> timeout) {
        const BufferView bytes(data, false, "data");
        const Use use(*this, kWriting);
        Deadline deadline(timeout);
        std::size_t taken = 0;
        for (;;) {
            std::error_code ec;
            std::size_t n = 0;
            const std::chrono::milliseconds slice = deadline.slice();
            {
                py::gil_scoped_release release;
                n = pipe_.write(bytes.data() + taken, bytes.size() - taken, slice, ec);
            }
            taken += n;
            if (!ec) return taken;
            if (ec != errc::timed_out) raise_write_error(ec, describe("writing to"), taken);
            if (n > 0) deadline.restart();  // the time-out bounds each wait for the device
            check_signals();
            if (closing())
                raise_write_error(errc::cancelled, describe("writing to") + " (closed meanwhile)", taken);
            if (deadline.passed()) raise_write_error(ec, describe("writing to"), taken);
        }
    }

    void flush(std::optional<double> timeout) {
        const Use use(*this, kWriting);
        Deadline deadline(timeout);
        for (;;) {
            std::error_code ec;
            const std::chrono::milliseconds slice = deadline.slice();
            {
                py::gil_scoped_release release;
                pipe_.flush(slice, ec);
            }
            if (!ec) return;
            if (ec != errc::timed_out) raise_error(ec, describe("flushing"));
            check_signals();
            if (closing()) raise_error(errc::cancelled, describe("flushing") + " (closed meanwhile)");
            if (deadline.passed()) raise_error(ec, describe("flushing"));
        }
    }

    // Up to `size` bytes, or (std::nullopt) everything up to the end of the
    // stream.
    py::bytes read(std::optional<std::size_t> size, std::optional<double> timeout) {
        const Use use(*this, kReading);
        if (!size) return read_to_end(timeout);
        const std::size_t capacity = std::min(*size, kLargestRead);
        // Filled in place, as os.read does: the object is ours alone until
        // returned, so the C++ read may write into it without the GIL.
        PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(capacity));
        if (!bytes) throw py::error_already_set();
        auto result = py::reinterpret_steal<py::bytes>(bytes);
        const std::size_t n =
            read_some(reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(bytes)), capacity, timeout);
        if (n != capacity) {
            bytes = result.release().ptr();
            if (_PyBytes_Resize(&bytes, static_cast<Py_ssize_t>(n)) != 0) throw py::error_already_set();
            result = py::reinterpret_steal<py::bytes>(bytes);
        }
        return result;
    }

    std::size_t readinto(py::handle buffer, std::optional<double> timeout) {
        const BufferView into(buffer, true, "buffer");
        const Use use(*this, kReading);
        return read_some(into.data(), into.size(), timeout);
    }

    void close() {
        {
            detail::MutexLock lock(mutex_);
            if (closing_) return;
            closing_ = true;
        }
        py::gil_scoped_release release;
        detail::MutexLock lock(mutex_);
        while (busy_[kReading] || busy_[kWriting]) lock.wait(idle_);
        pipe_.close();
    }

    bool closed() {
        detail::MutexLock lock(mutex_);
        return closing_;
    }

    // True, as a file that is open says; ValueError once closed.
    bool usable() {
        if (closed()) raise_closed("pipe " + std::to_string(number_) + " is closed");
        return true;
    }

    bool at_end() {
        detail::MutexLock lock(mutex_);
        return !closing_ && pipe_.at_end();
    }

    int number() const { return number_; }
    const std::string& name() const { return name_; }

private:
    enum Side { kReading = 0, kWriting = 1 };

    // One side of the pipe claimed for one call.
    class Use {
    public:
        Use(PyPipe& pipe, Side side) : pipe_(pipe), side_(side) {
            detail::MutexLock lock(pipe_.mutex_);
            if (pipe_.closing_) raise_closed("pipe " + std::to_string(pipe_.number_) + " is closed");
            if (pipe_.busy_[side_])
                throw std::runtime_error(std::string("another thread is ") +
                                         (side_ == kReading ? "reading from" : "writing to") + " pipe " +
                                         std::to_string(pipe_.number_));
            pipe_.busy_[side_] = true;
        }
        ~Use() {
            detail::MutexLock lock(pipe_.mutex_);
            pipe_.busy_[side_] = false;
            pipe_.idle_.notify_all();
        }
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;

    private:
        PyPipe& pipe_;
        const Side side_;
    };

    py::bytes read_to_end(std::optional<double> timeout) {
        std::string data;
        for (;;) {
            const std::size_t had = data.size();
            data.resize(had + kChunk);
            std::size_t n = 0;
            try {
                n = read_some(reinterpret_cast<unsigned char*>(&data[had]), kChunk, timeout);
            } catch (...) {
                // A time-out or Ctrl-C on the way loses nothing: what came
                // is what the next read returns first. (What was left over
                // from before went out first, so nothing is left of it now.)
                data.resize(had);
                pending_ = std::move(data);
                throw;
            }
            data.resize(had + n);
            if (n == 0) return py::bytes(data);
        }
    }

    std::size_t read_some(unsigned char* into, std::size_t size, std::optional<double> timeout) {
        if (size == 0) return 0;
        if (!pending_.empty()) {
            const std::size_t n = std::min(size, pending_.size());
            std::memcpy(into, pending_.data(), n);
            pending_.erase(0, n);
            return n;
        }
        // One read for the whole wait: a read that timed out would have asked
        // the device for the block again when the next one began, so slices
        // would add a request per slice. The look at the signals and at
        // close() happens between the read's own quiet waits instead.
        SignalCheck signals;
        bool closed_meanwhile = false;
        const std::function<bool()> keep_waiting = [&] {
            if (closing()) {
                closed_meanwhile = true;
                return false;
            }
            return signals.keep_going();
        };
        // A read without a time-out waits as the modern interface does for
        // "no limit": each block asked for once, a lost one asked again soon.
        const std::optional<std::chrono::milliseconds> limit = to_timeout(timeout);
        std::error_code ec;
        std::size_t n = 0;
        {
            py::gil_scoped_release release;
            n = pipe_.read(into, size, limit, keep_waiting, ec);
        }
        if (!ec) return n;
        signals.rethrow_if_interrupted();
        if (closed_meanwhile) raise_error(errc::cancelled, describe("reading from") + " (closed meanwhile)");
        raise_error(ec, describe("reading from"));
    }

    bool closing() {
        detail::MutexLock lock(mutex_);
        return closing_;
    }

    std::string describe(const char* doing) const {
        return std::string(doing) + " pipe " + std::to_string(number_);
    }

    // Used without the lock by the calls under way (a reader and a writer at
    // once, as zorbel::Pipe allows); close() changes it only once none is.
    Pipe pipe_;
    const int number_;
    const std::string name_;
    // What a read to the end had gathered when it was stopped, for the next
    // read; used by the thread that holds the reading side only.
    std::string pending_;
    detail::Mutex mutex_;
    std::condition_variable idle_;  // a call has ended
    bool busy_[2] GUARDED_BY(mutex_) = {false, false};
    bool closing_ GUARDED_BY(mutex_) = false;
};

// A connection; Python's GIL serialises every use of connection_ but the
// stopping, which runs on a moved-out copy with the GIL released.
class PyConnection {
public:
    explicit PyConnection(Connection connection)
        : connection_(std::move(connection)), device_(connection_.device()) {}

    std::unique_ptr<PyPipe> pipe(IntArg number_arg, TextArg name_arg) {
        const int number = int_from(number_arg, "number");
        const std::string name = text_from(name_arg, "name").value_or(std::string());
        if (!connection_) raise_closed("the connection is closed");
        return std::make_unique<PyPipe>(connection_.pipe(number, name), name);
    }

    void close() {
        Connection stopping = std::move(connection_);
        py::gil_scoped_release release;
        stopping.close();
    }

    bool closed() const { return !connection_; }
    bool lost() const { return connection_.lost(); }
    const DeviceInfo& device() const { return device_; }

private:
    Connection connection_;
    const DeviceInfo device_;  // kept for after close()
};

}  // namespace

void bind_pipes(py::module_& m) {
    // Pipe first: Connection.pipe's signature names it.
    py::class_<PyPipe> pipe(m, "Pipe",
                            "One byte stream to a program on the device (see Connection.pipe()), used as\n"
                            "a binary file: read(), readinto(), write(), iteration by chunks. Bytes\n"
                            "written collect and leave in blocks; flush() returns once the device has\n"
                            "them all. One thread may read while another writes. Closing it, or leaving\n"
                            "its `with` block, releases it, which ends the stream for the device. It keeps\n"
                            "its Connection alive.");
    py::class_<PyConnection> connection(
        m, "Connection",
        "A running connection to one device in normal mode (see connect()). Closing\n"
        "it, or leaving its `with` block, gives the device back; pipes still open then\n"
        "fail with CancelledError. Its pipes may be used on different threads at once.");

    connection
        .def("pipe", &PyConnection::pipe, py::arg("number"), py::arg("name") = py::none(),
             // The pipe holds on to its connection, as a cursor does to its database:
             // connect(1).pipe(1) works though nothing else keeps the connection.
             py::keep_alive<0, 1>(),
             "Opens pipe `number` (1..125), a byte stream to the program on the device that\n"
             "serves that number, optionally named. BusyError when this connection has it\n"
             "open already, InvalidArgumentError for a number out of range.")
        .def("close", &PyConnection::close,
             "Stops the connection and gives the device back. Calls blocked in its pipes on\n"
             "other threads end with CancelledError. Closing twice is harmless.")
        .def_property_readonly("closed", &PyConnection::closed, "Whether close() was called.")
        .def_property_readonly("lost", &PyConnection::lost,
                               "Whether the device went away and did not come back: every pipe then\n"
                               "fails with DeviceGoneError.")
        .def_property_readonly("device", &PyConnection::device,
                               "The DeviceInfo of the device as it was when the connection started.")
        .def("__repr__",
             [](const PyConnection& c) {
                 return "<zorbel.Connection to " + c.device().hardware_id + (c.closed() ? " (closed)>" : ">");
             })
        .def(
            "__enter__", [](PyConnection& c) -> PyConnection& { return c; },
            py::return_value_policy::reference, "Returns the connection.")
        .def(
            "__exit__", [](PyConnection& c, const py::args&) { c.close(); }, "Closes the connection.");

    pipe.def(
            "write",
            [](PyPipe& p, BytesArg data, SecondsArg timeout) {
                return p.write(data.object, seconds_from(timeout, "timeout"));
            },
            py::arg("data"), py::arg("timeout") = py::none(),
            "Writes all of `data`, any bytes-like object (bytes, bytearray, memoryview,\n"
            "array, ...), without copying it first, and returns its length. Full blocks\n"
            "leave as the device asks for them; call flush() to send the rest. `timeout`\n"
            "(seconds, None: no limit) bounds each wait for the device: TimedOutError\n"
            "then, whose characters_written says how much was taken (do not send that\n"
            "again).")
        .def(
            "flush", [](PyPipe& p, SecondsArg timeout) { p.flush(seconds_from(timeout, "timeout")); },
            py::arg("timeout") = py::none(),
            "Sends what is buffered and waits until the device confirms it. TimedOutError\n"
            "after `timeout` seconds (nothing is lost: flush again to carry on).")
        .def(
            "read",
            [](PyPipe& p, SizeArg size, SecondsArg timeout) {
                return p.read(size_from(size), seconds_from(timeout, "timeout"));
            },
            py::arg("size") = -1, py::arg("timeout") = py::none(),
            "Waits until at least one byte has arrived and returns what there is, up to\n"
            "`size` bytes; b\"\" at the end of the stream (the device closed the pipe).\n"
            "Without `size` (or with None or a negative one) it reads to the end of the\n"
            "stream. TimedOutError when nothing came within `timeout` seconds (None: no\n"
            "limit); nothing is lost then (what a read to the end had gathered comes\n"
            "first from the next read).")
        .def(
            "readinto",
            [](PyPipe& p, WritableBytesArg buffer, SecondsArg timeout) {
                return p.readinto(buffer.object, seconds_from(timeout, "timeout"));
            },
            py::arg("buffer"), py::arg("timeout") = py::none(),
            "As read(), into any writable bytes-like object (bytearray, memoryview, array,\n"
            "...); returns the number of bytes placed at its start, 0 at the end of the\n"
            "stream.")
        .def(
            "__iter__", [](PyPipe& p) -> PyPipe& { return p; }, py::return_value_policy::reference,
            "Iterates over the stream in chunks, as they arrive, until its end.")
        .def(
            "__next__",
            [](PyPipe& p) {
                py::bytes chunk = p.read(kChunk, std::nullopt);
                if (PyBytes_GET_SIZE(chunk.ptr()) == 0) throw py::stop_iteration();
                return chunk;
            },
            "The next chunk of the stream; StopIteration at its end.")
        .def(
            "readable", [](PyPipe& p) { return p.usable(); }, "True: a pipe reads (ValueError once closed).")
        .def(
            "writable", [](PyPipe& p) { return p.usable(); }, "True: a pipe writes (ValueError once closed).")
        .def("close", &PyPipe::close,
             "Releases the pipe, after the calls under way on other threads have ended (they\n"
             "end with CancelledError within a moment). Closing twice is harmless.")
        .def_property_readonly("closed", &PyPipe::closed, "Whether close() was called.")
        .def_property_readonly("at_end", &PyPipe::at_end,
                               "Whether the device closed the pipe: nothing more will arrive.")
        .def_property_readonly("number", &PyPipe::number, "The pipe number, 1..125.")
        .def_property_readonly("name", &PyPipe::name, "The name it was opened with (\"\" for none).")
        .def("__repr__",
             [](PyPipe& p) {
                 return "<zorbel.Pipe " + std::to_string(p.number()) + (p.closed() ? " (closed)>" : ">");
             })
        .def(
            "__enter__", [](PyPipe& p) -> PyPipe& { return p; }, py::return_value_policy::reference,
            "Returns the pipe.")
        .def(
            "__exit__", [](PyPipe& p, const py::args&) { p.close(); }, "Closes the pipe.");

    m.def(
        "connect",
        [](SelectorArg selector) {
            const DeviceSelector chosen = selector_from(selector);
            Connection connection;
            {
                py::gil_scoped_release release;
                connection = connect(chosen);
            }
            return std::make_unique<PyConnection>(std::move(connection));
        },
        py::arg("selector"),
        "Claims and starts the device `selector` names (an int device number, or a str\n"
        "hardware ID or ID) and returns the Connection, a context manager:\n"
        "\n"
        "    with zorbel.connect(\"ZB0000000002\") as device, device.pipe(1) as pipe:\n"
        "        pipe.write(b\"hello\")\n"
        "\n"
        "NoSuchDeviceError, WrongModeError for a device in boot mode, BusyError when\n"
        "another connection holds it, PermissionDeniedError.");
}

}  // namespace python
}  // namespace zorbel
