// The module's exceptions: zorbel.Error (an OSError) and a subclass per
// reason a caller tells apart, and the way C++ failures become them.
#ifndef ZORBEL_PYTHON_ERRORS_H
#define ZORBEL_PYTHON_ERRORS_H

#include <cstddef>
#include <string>
#include <system_error>

namespace zorbel {
namespace python {

// Raises (as pybind11::error_already_set) the exception for `code`, with
// `what` saying what was being done: "reading from pipe 3: timed out". A
// write that took part of its data says how much in the exception's
// characters_written, as Python's own streams do. Needs the GIL.
[[noreturn]] void raise_error(const std::error_code& code, const std::string& what);
[[noreturn]] void raise_write_error(const std::error_code& code, const std::string& what,
                                    std::size_t written);

// ValueError for an operation on a closed object, as Python's files raise.
[[noreturn]] void raise_closed(const std::string& what);

// InvalidArgumentError (a ValueError) with errno EINVAL, for an argument the
// module refuses before the library sees it: `message` says which and why.
[[noreturn]] void raise_invalid_argument(const std::string& message);

}  // namespace python
}  // namespace zorbel

#endif
