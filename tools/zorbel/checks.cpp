#include "checks.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace zorbel_tool {

CLI::Validator seconds_check() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            char* end = nullptr;
            errno = 0;
            const double v = std::strtod(text.c_str(), &end);
            if (text.empty() || end == text.c_str() || *end != '\0' || errno != 0 || !std::isfinite(v) ||
                v < 0.001 || v > 1e6)
                return "'" + text.substr(0, 20) + "' is not a number of seconds from 0.001 to 1000000";
            return std::string();
        },
        "SECONDS");
}

CLI::Validator byte_count_transform() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            const std::string bad =
                "'" + text.substr(0, 24) + "' is not a byte count from 1 (suffixes k, M, G, T)";
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
            constexpr std::uint64_t kMost = std::uint64_t{1} << 62;
            if (n == 0 || n > (kMost >> shift)) return bad;
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
            const bool digits = !text.empty() && text.size() <= 6 &&
                                text.find_first_not_of("0123456789") == std::string::npos;
            return digits ? std::string() : "'" + text.substr(0, 20) + "' is not a device number (0, 1, ...)";
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
