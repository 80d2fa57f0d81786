// Arguments as the module's functions take them: the object Python passed,
// converted here rather than by pybind11, so that a wrong one is refused the
// way Python's own functions refuse it. A value of the wrong type is a
// TypeError that names the parameter ("number must be an int, not str"), a
// number out of range an InvalidArgumentError (also a ValueError), and no
// message names a type of the C++ side. The signatures pybind11 writes show
// the types the stub gives ("selector: int | str | DeviceInfo").
#ifndef ZORBEL_PYTHON_ARGUMENTS_H
#define ZORBEL_PYTHON_ARGUMENTS_H

#include <pybind11/pybind11.h>

#include <optional>
#include <string>

namespace zorbel {
namespace python {

// An argument as Python passed it (borrowed for the call); `Kind::name` is
// its type as signatures show it.
template <typename Kind>
struct Arg {
    pybind11::handle object;
};

struct IntKind {
    static constexpr auto name = pybind11::detail::const_name("int");
};
struct SizeKind {
    static constexpr auto name = pybind11::detail::const_name("int | None");
};
struct SecondsKind {
    static constexpr auto name = pybind11::detail::const_name("float | None");
};
struct TextKind {
    static constexpr auto name = pybind11::detail::const_name("str | None");
};
struct SelectorKind {
    static constexpr auto name = pybind11::detail::const_name("int | str | DeviceInfo");
};
struct BytesKind {
    static constexpr auto name = pybind11::detail::const_name("bytes");
};
struct WritableBytesKind {
    static constexpr auto name = pybind11::detail::const_name("bytearray");
};
struct CallbackKind {
    static constexpr auto name = pybind11::detail::const_name("Callable[[DeviceInfo], object] | None");
};

struct ObjectKind {
    static constexpr auto name = pybind11::detail::const_name("object");
};

using IntArg = Arg<IntKind>;
using SizeArg = Arg<SizeKind>;
using SecondsArg = Arg<SecondsKind>;
using TextArg = Arg<TextKind>;
using SelectorArg = Arg<SelectorKind>;
using BytesArg = Arg<BytesKind>;
using WritableBytesArg = Arg<WritableBytesKind>;
using CallbackArg = Arg<CallbackKind>;
using ObjectArg = Arg<ObjectKind>;

// What a rich comparison returns: a bool, or NotImplemented for an operand
// of another type (which signatures do not show).
struct Comparison {
    pybind11::object result;
};

// An int (or anything with __index__) that fits a C int.
int int_from(IntArg value, const char* parameter);

// A size to read: None or a negative int means "all of it"
// (std::nullopt); a huge one is clamped, as it only bounds the result.
std::optional<std::size_t> size_from(SizeArg value);

// Seconds, None for no limit; a negative or NaN value is refused.
std::optional<double> seconds_from(SecondsArg value, const char* parameter);

// A str, or std::nullopt for None.
std::optional<std::string> text_from(TextArg value, const char* parameter);

// A callable, or None (empty object).
pybind11::object callback_from(CallbackArg value, const char* parameter);

// TypeError "<parameter> must be <expected>, not <type of value>".
[[noreturn]] void raise_wrong_type(const char* parameter, const char* expected, pybind11::handle value);

}  // namespace python
}  // namespace zorbel

namespace pybind11 {
namespace detail {

// Takes any object: the function converts it and says what is wrong with it.
template <typename Kind>
struct type_caster<zorbel::python::Arg<Kind>> {
    PYBIND11_TYPE_CASTER(zorbel::python::Arg<Kind>, Kind::name);
    bool load(handle source, bool) {
        value.object = source;
        return true;
    }
    static handle cast(const zorbel::python::Arg<Kind>& argument, return_value_policy, handle) {
        return argument.object.inc_ref();
    }
};

template <>
struct type_caster<zorbel::python::Comparison> {
    PYBIND11_TYPE_CASTER(zorbel::python::Comparison, const_name("bool"));
    bool load(handle, bool) { return false; }  // a result only
    static handle cast(zorbel::python::Comparison comparison, return_value_policy, handle) {
        return comparison.result.release();
    }
};

}  // namespace detail
}  // namespace pybind11

#endif
