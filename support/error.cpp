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

thread_local detail::Failure this_thread_failure;

}  // namespace

const std::error_category& error_category() noexcept {
    static const Category kCategory;
    return kCategory;
}

std::error_code last_error() noexcept {
    const detail::Failure& f = this_thread_failure;
    if (f.code == errc{}) return {};
    return make_error_code(f.code);
}

namespace detail {

void set_last_error(errc code, std::string detail) noexcept {
    this_thread_failure.code = code;
    // The move cannot throw; the caller built the text (or none).
    this_thread_failure.detail = std::move(detail);
    this_thread_failure.fixed = nullptr;
}

void set_last_error_fixed(errc code, const char* text) noexcept {
    this_thread_failure.code = code;
    this_thread_failure.fixed = text;
}

const Failure& last_failure() noexcept { return this_thread_failure; }

void clear_last_error() noexcept {
    this_thread_failure.code = errc{};
    this_thread_failure.detail.clear();
    this_thread_failure.fixed = nullptr;
}

}  // namespace detail
}  // namespace zorbel
