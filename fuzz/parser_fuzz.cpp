// Arbitrary lines and character sets into the command-line parser: every
// getter, in every order, on whatever a client might hand it.
#include <cstdint>
#include <string>
#include <vector>

#include "zorbel/support.h"

namespace {

// Splits the input at the first three NUL bytes: separators, prefixes,
// suffixes, then the line. Missing parts use the defaults.
std::vector<std::string> split(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> parts(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0 && parts.size() < 4) {
            parts.emplace_back();
        } else if (data[i] != 0) {
            parts.back().push_back(static_cast<char>(data[i]));
        }
    }
    return parts;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> parts = split(data, size);
    std::string line = parts.back();
    std::string sep = parts.size() > 1 ? parts[0] : std::string(" \t\n");
    std::string pre = parts.size() > 2 ? parts[1] : std::string("$");
    std::string suf = parts.size() > 3 ? parts[2] : std::string("=");

    std::vector<char> out(line.size() + 2);
    XParser parser(line.data(), sep.data(), pre.data(), suf.data());
    parser.get_command(out.data());
    for (unsigned n = parser.get_first_modifier(out.data()); n; n = parser.get_next_modifier(out.data()))
        parser.get_mod_value(out.data());
    int params = 0;
    for (unsigned n = parser.get_first_param(out.data()); n && params < 10000;
         n = parser.get_next_param(out.data()))
        ++params;
    XParser fresh(line.data(), sep.data(), pre.data(), suf.data());
    fresh.delete_modifiers(out.data());
    XParser copy(fresh);
    copy = parser;
    copy.set_line(nullptr);
    copy.get_command(out.data());
    return 0;
}
