// Arbitrary device information records into their decoding: a device (or a
// faulty driver) decides every byte of the record, and the callers' buffers
// are fixed at 13 and 8 bytes, so no record may write past them or leave them
// unterminated.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "usb/info_record.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    unsigned char record[zorbel::host::kInfoRecordSize] = {};
    if (size) std::memcpy(record, data, size < sizeof record ? size : sizeof record);

    // Guard bytes around each output catch a write past its end even without
    // a sanitizer.
    char hardware_id[13 + 2];
    char id[8 + 2];
    std::memset(hardware_id, 0x5A, sizeof hardware_id);
    std::memset(id, 0x5A, sizeof id);
    int type = 7;
    zorbel::detail::decode_info_record(record, &type, id + 1, hardware_id + 1);
    if (hardware_id[0] != 0x5A || hardware_id[14] != 0x5A || id[0] != 0x5A || id[9] != 0x5A) std::abort();
    if (hardware_id[13] != 0 || id[8] != 0 || std::strlen(hardware_id + 1) > 12 || std::strlen(id + 1) > 7)
        std::abort();
    if (type != 7 && type != 0 && type != 1) std::abort();
    // Every output may be left out.
    zorbel::detail::decode_info_record(record, nullptr, nullptr, nullptr);
    return 0;
}
