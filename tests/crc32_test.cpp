// CRC-32: the constant table, the check value, and the bulk update against the
// byte-wise table step for every length, alignment and split.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "block/crc32_fast.h"
#include "zorbel/block.h"

namespace {

std::uint32_t bytewise(const unsigned char* p, std::size_t n) {
    CRC32 crc;
    for (std::size_t i = 0; i < n; ++i) crc.update(p[i]);
    return static_cast<std::uint32_t>(crc.get());
}

std::vector<unsigned char> random_bytes(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<unsigned char> v(n);
    for (auto& b : v) b = static_cast<unsigned char>(rng());
    return v;
}

}  // namespace

TEST(Crc32, TableIsTheReflectedIeeeTable) {
    EXPECT_EQ(CRC32::table[0], 0u);
    EXPECT_EQ(CRC32::table[1], 0x77073096u);
    EXPECT_EQ(CRC32::table[128], 0xEDB88320u);
    EXPECT_EQ(CRC32::table[255], 0x2D02EF8Du);
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ ((c & 1u) ? 0xEDB88320u : 0u);
        ASSERT_EQ(CRC32::table[i], c) << i;
    }
}

TEST(Crc32, CheckValueWordOrderAndEmptyUpdates) {
    char text[] = "123456789";
    CRC32 crc;
    crc.update(text, 9);
    EXPECT_EQ(crc.get(), 0xCBF43926ul);
    EXPECT_EQ(crc.get(), 0xCBF43926ul);  // get() leaves the register alone
    crc.update(nullptr, 5);
    crc.update(text, 0);
    EXPECT_EQ(crc.get(), 0xCBF43926ul);
    crc.init();
    EXPECT_EQ(crc.get(), 0ul);

    CRC32 by_word, by_byte;
    by_word.update(static_cast<unsigned short>(0x3231));  // low byte '1' first
    by_byte.update(static_cast<unsigned char>('1'));
    by_byte.update(static_cast<unsigned char>('2'));
    EXPECT_EQ(by_word.get(), by_byte.get());
}

// Every length up to a few thousand, at every start offset modulo 16, whole
// and split at a point that moves with the length: the path in use, the
// folding loop and the portable loop must all agree with the table, bit for bit.
TEST(Crc32, BulkMatchesBytewiseForAllLengthsAlignmentsAndSplits) {
    auto data = random_bytes(3200, 1);
    for (std::size_t n = 0; n <= 3000; n += (n < 300 ? 1 : 37)) {
        for (std::size_t offset = 0; offset < 16; offset += (n < 300 ? 1 : 5)) {
            const unsigned char* p = data.data() + offset;
            std::uint32_t want = bytewise(p, n);
            CRC32 whole;
            whole.update(const_cast<unsigned char*>(p), n);
            ASSERT_EQ(whole.get(), want) << "n=" << n << " offset=" << offset;
            ASSERT_EQ(~zorbel::detail::crc32_update_portable(0xFFFFFFFFu, p, n), want);
            ASSERT_EQ(~zorbel::detail::crc32_update_folding(0xFFFFFFFFu, p, n), want) << "n=" << n;
            std::size_t cut = (n * 7 + offset) % (n + 1);
            CRC32 split;
            split.update(const_cast<unsigned char*>(p), cut);
            split.update(const_cast<unsigned char*>(p + cut), n - cut);
            ASSERT_EQ(split.get(), want) << "n=" << n << " cut=" << cut;
        }
    }
}

TEST(Crc32, RawRegisterCarriesAcrossCalls) {
    auto data = random_bytes(1000, 2);
    std::uint32_t reg = 0x12345678u;  // any register, not just the initial one
    std::uint32_t stepped = reg;
    for (unsigned char b : data) stepped = CRC32::table[(stepped ^ b) & 0xFF] ^ (stepped >> 8);
    std::uint32_t bulk = zorbel::detail::crc32_update(reg, data.data(), 400);
    bulk = zorbel::detail::crc32_update(bulk, data.data() + 400, 600);
    EXPECT_EQ(bulk, stepped);
    EXPECT_EQ(zorbel::detail::crc32_update(reg, data.data(), 0), reg);
}
