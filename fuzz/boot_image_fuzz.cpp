// Arbitrary boot images into the emulated boot loader's check: whatever a
// client hands Boot_Zorbel reaches it, so it must take any length and any
// bytes, and accept exactly the images that carry their own CRC trailer.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "zorbel/emulator.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The image exactly as given, in a buffer of its own size so a read past
    // its end shows.
    std::vector<unsigned char> image(data, data + size);
    bool valid = zorbel::boot_image_valid(image.empty() ? nullptr : image.data(), image.size());

    // The same bytes taken as a payload always make a valid image, and one
    // flipped bit anywhere in it makes an invalid one (CRC-32 finds every
    // single-bit error).
    std::vector<unsigned char> wrapped = zorbel::make_boot_image(data, size);
    if (!zorbel::boot_image_valid(wrapped.data(), wrapped.size())) std::abort();
    if (size > 0) {
        std::size_t at = data[0] % wrapped.size();
        wrapped[at] ^= static_cast<unsigned char>(1u << (data[size - 1] % 8));
        if (zorbel::boot_image_valid(wrapped.data(), wrapped.size())) std::abort();
    }
    // A valid image stays valid when unwrapped and wrapped again.
    if (valid) {
        std::vector<unsigned char> again = zorbel::make_boot_image(image.data() + 4, image.size() - 8);
        if (again != image) std::abort();
    }
    return 0;
}
