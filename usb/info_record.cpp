#include "usb/info_record.h"

#include <cstring>

namespace zorbel {
namespace detail {
namespace {

// One code unit of the record as an 8-bit character. The device sends ASCII;
// anything beyond it cannot be shown in the callers' 8-bit buffers and would
// otherwise arrive truncated to a random byte, so it becomes '?'.
char unit_to_char(const unsigned char* record, int unit) {
    unsigned int u = record[2 * unit] | (record[2 * unit + 1] << 8);
    return u > 0x7F ? '?' : static_cast<char>(u);
}

}  // namespace

void decode_info_record(const unsigned char (&record)[host::kInfoRecordSize], int* type, char* id,
                        char* hardware_id) {
    // A zero code unit ends the text; what follows counts as empty.
    constexpr int kUnits = host::kInfoRecordSize / 2;
    char text[kUnits] = {};
    for (int i = 0; i < kUnits; ++i) {
        char c = unit_to_char(record, i);
        if (c == 0) break;
        text[i] = c;
    }
    if (type) {
        if (text[0] == 'T')
            *type = 1;
        else if (text[0] == 'C')
            *type = 0;
    }
    if (hardware_id) {
        std::memcpy(hardware_id, text + 1, 12);
        hardware_id[12] = 0;
    }
    if (id) {
        std::memcpy(id, text + 15, 7);
        id[7] = 0;
    }
}

}  // namespace detail
}  // namespace zorbel
