// Decoding of the device information record, apart from the request that
// fetches it: the record comes from the device, so its decoding must take any
// 44 bytes, and keeping it separate lets it be fed arbitrary bytes directly.
#ifndef ZORBEL_USB_INFO_RECORD_H
#define ZORBEL_USB_INFO_RECORD_H

#include "usb/host.h"

namespace zorbel {
namespace detail {

// Turns the record's 22 UTF-16LE code units into the caller's outputs: the
// type letter ('T' sets 1, 'C' sets 0, anything else leaves *type alone), the
// 12-character hardware ID and the 7-character ID, each zero-terminated and
// zero-padded where the text ends early (13 and 8 bytes written). Any output
// may be null. Units above 0x7F become '?'.
void decode_info_record(const unsigned char (&record)[host::kInfoRecordSize], int* type, char* id,
                        char* hardware_id);

}  // namespace detail
}  // namespace zorbel

#endif
