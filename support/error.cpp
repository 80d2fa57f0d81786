#include <new>

#include "support/last_error.h"

namespace zorbel {
namespace {

class Category final : public std::error_category {
public:
    const char* name() const noexcept override { return "zorbel"; }

    std::string message(int value) const override {
        switch (static_cast<errc>(value)) {
            case errc::no_such_device:
                return "no such device";
            case errc::ambiguous_selector:
                return "the selector matches several devices";
            case errc::wrong_mode:
                return "the device is in the wrong mode";
            case errc::busy:
                return "in use";
            case errc::permission_denied:
                return "permission denied";
            case errc::device_gone:
                return "the device went away";
            case errc::timed_out:
                return "timed out";
            case errc::cancelled:
                return "cancelled";
            case errc::invalid_argument:
                return "invalid argument";
            case errc::io_error:
                return "input/output error";
        }
        return "unknown zorbel error";
    }

    // The portable condition each code stands for, so that a caller who tests
    // against std::errc finds ours too.
    std::error_condition default_error_condition(int value) const noexcept override {
        switch (static_cast<errc>(value)) {
            case errc::no_such_device:
                return std::errc::no_such_device;
            case errc::busy:
                return std::errc::device_or_resource_busy;
            case errc::permission_denied:
                return std::errc::permission_denied;
            case errc::device_gone:
                return std::errc::no_such_device;
            case errc::timed_out:
                return std::errc::timed_out;
            case errc::cancelled:
                return std::errc::operation_canceled;
            case errc::invalid_argument:
                return std::errc::invalid_argument;
            case errc::io_error:
                return std::errc::io_error;
            case errc::ambiguous_selector:
            case errc::wrong_mode:
                break;
        }
        return {value, *this};
    }
};

// This thread's record, in two parts. The code and the fixed text are
// trivially destructible: a thread's first failure on the data path (a
// device program's stream that times out under load, say) then registers
// nothing for the thread's exit, which on Windows allocates (the C++
// runtime's list of thread_local destructors grows by one node), and the
// data path allocates nothing. The detail text is touched only when a text
// is recorded or the record is read (clear_last_error leaves it, and a
// record read with no code gives none).
struct Record {
    errc code{};
    const char* fixed = nullptr;
};
thread_local Record this_thread_record;
thread_local detail::Failure this_thread_failure;  // the detail; handed out whole

}  // namespace

const std::error_category& error_category() noexcept {
    static const Category kCategory;
    return kCategory;
}

std::error_code last_error() noexcept {
    const errc code = this_thread_record.code;
    if (code == errc{}) return {};
    return make_error_code(code);
}

namespace detail {

void set_last_error(errc code, std::string detail) noexcept {
    this_thread_record.code = code;
    // The move cannot throw; the caller built the text (or none).
    this_thread_failure.detail = std::move(detail);
    this_thread_record.fixed = nullptr;
}

void set_last_error_fixed(errc code, const char* text) noexcept {
    this_thread_record.code = code;
    this_thread_record.fixed = text;
}

const Failure& last_failure() noexcept {
    Failure& f = this_thread_failure;
    f.code = this_thread_record.code;
    f.fixed = this_thread_record.fixed;
    if (f.code == errc{}) f.detail.clear();  // cleared since the text was recorded
    return f;
}

void clear_last_error() noexcept { this_thread_record = Record(); }

}  // namespace detail
}  // namespace zorbel
