#include "checks.h"

#include <cerrno>
#include <cstdlib>

#include <fmt/format.h>

namespace zorbel_tool {
namespace {

std::string refusal(const std::string& text, const std::string& what, const std::string& range) {
    return fmt::format("'{}' is not {} from {}", text.substr(0, 24), what, range);
}

bool all_digits(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// Digits, with at most one point among or before them.
bool decimal_syntax(const std::string& text) {
    const std::size_t point = text.find('.');
    if (point == std::string::npos) return all_digits(text);
    const std::string whole = text.substr(0, point);
    const std::string fraction = text.substr(point + 1);
    return (whole.empty() || all_digits(whole)) && all_digits(fraction);
}

// 2^31 as "2G": the largest suffix that divides the count exactly.
std::string with_suffix(std::uint64_t n) {
    static const char* const kSuffixes[] = {"", "k", "M", "G", "T"};
    int s = 0;
    while (s < 4 && n >= 1024 && n % 1024 == 0) {
        n /= 1024;
        ++s;
    }
    return std::to_string(n) + kSuffixes[s];
}

}  // namespace

CLI::Validator whole_number_check(std::uint64_t low, std::uint64_t high, const std::string& what) {
    return CLI::Validator(
        [=](std::string& text) -> std::string {
            const std::string range = fmt::format("{} to {}", low, high);
            if (!all_digits(text) || text.size() > 20) return refusal(text, what, range);
            errno = 0;
            const std::uint64_t n = std::strtoull(text.c_str(), nullptr, 10);
            if (errno != 0 || n < low || n > high) return refusal(text, what, range);
            return std::string();
        },
        "NUMBER");
}

CLI::Validator decimal_check(double low, double high, const std::string& what) {
    return CLI::Validator(
        [=](std::string& text) -> std::string {
            const std::string range = fmt::format("{:.15g} to {:.15g}", low, high);
            if (!decimal_syntax(text) || text.size() > 40) return refusal(text, what, range);
            const double v = std::strtod(text.c_str(), nullptr);
            if (v < low || v > high) return refusal(text, what, range);
            return std::string();
        },
        "NUMBER");
}

CLI::Validator seconds_check() {
    CLI::Validator check = decimal_check(0.001, 1e6, "a number of seconds");
    check.description("SECONDS");
    return check;
}

CLI::Validator byte_count_transform(std::uint64_t most) {
    return CLI::Validator(
        [most](std::string& text) -> std::string {
            std::string bad = fmt::format("'{}' is not a byte count from 1 to {} (suffixes k, M, G, T)",
                                          text.substr(0, 24), with_suffix(most));
            std::size_t digits = 0;
            while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
            if (digits == 0 || digits > 19) return bad;
            std::string suffix = text.substr(digits);
            if (!suffix.empty() && (suffix.back() == 'B' || suffix.back() == 'b')) suffix.pop_back();
            if (suffix.size() == 2 && (suffix[1] == 'i' || suffix[1] == 'I')) suffix.pop_back();
            int shift = 0;
            if (suffix == "k" || suffix == "K") {
                shift = 10;
            } else if (suffix == "m" || suffix == "M") {
                shift = 20;
            } else if (suffix == "g" || suffix == "G") {
                shift = 30;
            } else if (suffix == "t" || suffix == "T") {
                shift = 40;
            } else if (!suffix.empty()) {
                return bad;
            }
            const std::uint64_t n = std::strtoull(text.substr(0, digits).c_str(), nullptr, 10);
            if (n == 0 || n > (most >> shift)) return bad;
            text = std::to_string(n << shift);
            return std::string();
        },
        "BYTES");
}

CLI::Validator device_number_check() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            // "@..." is what -s SELECTOR became (see main.cpp).
            if (text.size() > 1 && text[0] == '@') return std::string();
            if (all_digits(text) && text.size() <= 6) return std::string();
            return refusal(text, "a device number", "0 to 999999");
        },
        "N");
}

CLI::Validator file_name_check() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            return text.empty() ? "an empty file name names no file (use - for standard input or output)"
                                : std::string();
        },
        "FILE");
}

}  // namespace zorbel_tool
