// What the tool accepts as a number: one parser for counts, byte sizes,
// seconds and rates, with the same rules and the same message everywhere.
// Numbers are written in decimal (no sign, no 0x, no exponent, no nan or
// inf); anything else, or a number out of range, is refused on the command
// line with "'TEXT' is not WHAT from LOW to HIGH" (exit 2), never quietly
// turned into something else (a negative byte count into the largest, "nan"
// seconds into no limit).
#ifndef ZORBEL_TOOL_CHECKS_H
#define ZORBEL_TOOL_CHECKS_H

#include <cstdint>
#include <string>

#include <CLI/CLI.hpp>

namespace zorbel_tool {

// A whole number from `low` to `high`; `what` names it ("a pipe number").
CLI::Validator whole_number_check(std::uint64_t low, std::uint64_t high, const std::string& what);
// A decimal number, fractions allowed, from `low` to `high`.
CLI::Validator decimal_check(double low, double high, const std::string& what);
// A number of seconds from 0.001 to 1000000.
CLI::Validator seconds_check();
// A byte count from 1 to `most` with an optional suffix k, M, G or T
// (powers of 1024), which it replaces with the plain number.
CLI::Validator byte_count_transform(std::uint64_t most = std::uint64_t{1} << 62);
// A device number from 0 (or the selector that -s gave, marked with '@').
CLI::Validator device_number_check();
// A file name that is not empty ("-" names standard input or output).
CLI::Validator file_name_check();

}  // namespace zorbel_tool

#endif
