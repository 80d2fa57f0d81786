// What the tool accepts as a number of seconds, of bytes, a device number and
// a file name: anything else is refused on the command line with a short
// message (exit 2), never quietly turned into something else (a negative
// byte count into the largest, "nan" seconds into no limit).
#ifndef ZORBEL_TOOL_CHECKS_H
#define ZORBEL_TOOL_CHECKS_H

#include <CLI/CLI.hpp>

namespace zorbel_tool {

// A finite number of seconds from 0.001 to 1000000.
CLI::Validator seconds_check();
// A byte count of at least 1 with an optional suffix k, M, G or T (powers of
// 1024), which it replaces with the plain number; at most 2^62.
CLI::Validator byte_count_transform();
// A device number from 0 (or the selector that -s gave, marked with '@').
CLI::Validator device_number_check();
// A file name that is not empty ("-" names standard input or output).
CLI::Validator file_name_check();

}  // namespace zorbel_tool

#endif
