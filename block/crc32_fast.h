// Bulk CRC-32 over a run of bytes: the one routine behind CRC32::update(void*,
// n) and the block receiver's running register.
#ifndef ZORBEL_BLOCK_CRC32_FAST_H
#define ZORBEL_BLOCK_CRC32_FAST_H

#include <cstddef>
#include <cstdint>

namespace zorbel {
namespace detail {

// Feeds `n` bytes at `data` into the reflected CRC-32 register `reg` (poly
// 0xEDB88320) and returns the new register. No inversion on either side: the
// caller starts from 0xFFFFFFFF and complements at the end, exactly as with the
// byte-wise table step. The result is bit-identical to feeding the bytes one at
// a time, whichever implementation was built in.
std::uint32_t crc32_update(std::uint32_t reg, const void* data, std::size_t n);

// The portable slicing-by-16 loop, exposed so tests can hold it against the
// accelerated path when both are built.
std::uint32_t crc32_update_portable(std::uint32_t reg, const void* data, std::size_t n);

// Carry-less multiplication folding, built on every x86-64 machine (whether or
// not ISA-L is used) so that tests and benchmarks hold it against the others
// there. Safe to call anywhere: runs shorter than 64 bytes, and every run on a
// CPU without PCLMULQDQ, go through the slicing loop.
bool crc32_folding_available();
std::uint32_t crc32_update_folding(std::uint32_t reg, const void* data, std::size_t n);

// Name of the implementation crc32_update uses, for benchmark reports.
const char* crc32_implementation();

}  // namespace detail
}  // namespace zorbel

#endif
