// The boot images an emulated boot-mode device accepts: a magic at the front
// and a CRC-32 trailer, so that an empty, truncated or damaged image is
// refused the way a boot loader refuses an image it cannot verify.
#include <cstring>

#include "zorbel/block.h"
#include "zorbel/emulator.h"

namespace zorbel {
namespace {

constexpr unsigned char kMagic[4] = {'Z', 'B', 'I', 'M'};
constexpr std::size_t kTrailerSize = 4;

std::uint32_t crc_of(const unsigned char* data, std::size_t size) {
    CRC32 crc;
    crc.update(const_cast<unsigned char*>(data), static_cast<unsigned long>(size));
    return static_cast<std::uint32_t>(crc.get());
}

}  // namespace

std::vector<unsigned char> make_boot_image(const void* payload, std::size_t size) {
    if (!payload) size = 0;
    std::vector<unsigned char> image(sizeof kMagic + size + kTrailerSize);
    std::memcpy(image.data(), kMagic, sizeof kMagic);
    if (size) std::memcpy(image.data() + sizeof kMagic, payload, size);
    std::size_t body = sizeof kMagic + size;
    std::uint32_t crc = crc_of(image.data(), body);
    for (std::size_t i = 0; i < kTrailerSize; ++i)
        image[body + i] = static_cast<unsigned char>(crc >> (24 - 8 * i));
    return image;
}

bool boot_image_valid(const void* image, std::size_t size) {
    if (!image || size < sizeof kMagic + kTrailerSize) return false;
    const unsigned char* bytes = static_cast<const unsigned char*>(image);
    if (std::memcmp(bytes, kMagic, sizeof kMagic) != 0) return false;
    std::size_t body = size - kTrailerSize;
    std::uint32_t stored = 0;
    for (std::size_t i = 0; i < kTrailerSize; ++i) stored = (stored << 8) | bytes[body + i];
    return stored == crc_of(bytes, body);
}

}  // namespace zorbel
