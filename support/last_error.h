// The library's side of zorbel::last_error(): where a failing classic call
// records why it failed.
//
// A record is made only on failure, on the failing thread, so the data path
// pays nothing. The record keeps a detail text beside the code (which device,
// which node), which the modern API puts into the message of its exception.
#ifndef ZORBEL_SUPPORT_LAST_ERROR_H
#define ZORBEL_SUPPORT_LAST_ERROR_H

#include <string>

#include "zorbel/error.h"

namespace zorbel {
namespace detail {

struct Failure {
    errc code{};
    std::string detail;           // may be empty
    const char* fixed = nullptr;  // a text that lives for ever, in place of detail

    std::string text() const { return fixed ? std::string(fixed) : detail; }
};

// Records the reason for this thread's current failure.
void set_last_error(errc code, std::string detail = std::string()) noexcept;

// The same with a text that lives for ever (a literal): allocates nothing,
// for failures on the data path (a read or flush that times out).
void set_last_error_fixed(errc code, const char* text) noexcept;

// This thread's last record (code 0 before any).
const Failure& last_failure() noexcept;

// Forgets this thread's record, so that the next failure is told apart from an
// old one by a caller that looks at the record after a classic call.
void clear_last_error() noexcept;

}  // namespace detail
}  // namespace zorbel

#endif
