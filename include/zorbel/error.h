// Why a call failed, as the standard library says it: an error code in the
// library's own category, and the exception that carries one.
//
// The classic functions report failure the way they always have (false, -1 or
// null); zorbel::last_error() then tells the reason, per thread, as errno
// does. The modern API (zorbel/client.h) throws zorbel::Error, or fills a
// std::error_code& in the overloads that take one, as std::filesystem does.
//
//   try {
//       zorbel::Connection c = zorbel::connect("ZB0000000002");
//   } catch (const zorbel::Error& e) {
//       if (e.code() == zorbel::errc::busy) ...  // another program has it
//   }
//
// Each code also compares equal to the portable std::errc condition closest
// to it (busy to device_or_resource_busy, timed_out to timed_out, ...), so
// code that knows only the standard conditions can still test for them.
#ifndef ZORBEL_ERROR_H
#define ZORBEL_ERROR_H

#include <string>
#include <system_error>
#include <type_traits>

#include "zorbel/export.h"

namespace zorbel {

enum class errc {
    no_such_device = 1,      // no attached device matches (or it cannot be seen)
    ambiguous_selector = 2,  // several devices match the selector
    wrong_mode = 3,          // e.g. an image for a device not in its boot loader
    busy = 4,                // another connection, here or in another program, holds it
    permission_denied = 5,   // the device is there but this user may not open it
    device_gone = 6,         // it went away during the call and did not come back
    timed_out = 7,
    cancelled = 8,         // stopped on request (the object closed, an interrupt)
    invalid_argument = 9,  // also an image the device refused as not its own
    io_error = 10,         // the device answered wrongly or a request failed
};

// The library's category: name "zorbel"; messages are short English phrases.
ZORBEL_API const std::error_category& error_category() noexcept;

inline std::error_code make_error_code(errc e) noexcept { return {static_cast<int>(e), error_category()}; }

// The exception the modern API throws: the code says what went wrong, what()
// adds which device or value it was about.
class ZORBEL_API Error : public std::system_error {
public:
    Error(std::error_code code, const std::string& what) : std::system_error(code, what) {}
    Error(errc code, const std::string& what) : std::system_error(make_error_code(code), what) {}
};

// The reason the last classic call on this thread that reported failure
// (false, -1 or null) failed; empty until one has. A call that succeeds leaves
// it as it was, as errno does, so read it right after the failed call.
ZORBEL_API std::error_code last_error() noexcept;

}  // namespace zorbel

namespace std {
template <>
struct is_error_code_enum<zorbel::errc> : true_type {};
}  // namespace std

#endif
