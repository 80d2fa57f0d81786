#include <cstring>

#include "block/crc32_fast.h"
#include "zorbel/block.h"

#if defined(ZORBEL_HAVE_ISAL)
#include <isa-l/crc.h>
#endif
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define ZORBEL_CRC32_FOLDING 1
#include <immintrin.h>
#endif

// Entry i is i put through eight steps of the reflected polynomial 0xEDB88320.
// Written out rather than computed so that it is constant data from load time.
const std::uint32_t CRC32::table[256] = {
    0x00000000u, 0x77073096u, 0xEE0E612Cu, 0x990951BAu, 0x076DC419u, 0x706AF48Fu, 0xE963A535u, 0x9E6495A3u,
    0x0EDB8832u, 0x79DCB8A4u, 0xE0D5E91Eu, 0x97D2D988u, 0x09B64C2Bu, 0x7EB17CBDu, 0xE7B82D07u, 0x90BF1D91u,
    0x1DB71064u, 0x6AB020F2u, 0xF3B97148u, 0x84BE41DEu, 0x1ADAD47Du, 0x6DDDE4EBu, 0xF4D4B551u, 0x83D385C7u,
    0x136C9856u, 0x646BA8C0u, 0xFD62F97Au, 0x8A65C9ECu, 0x14015C4Fu, 0x63066CD9u, 0xFA0F3D63u, 0x8D080DF5u,
    0x3B6E20C8u, 0x4C69105Eu, 0xD56041E4u, 0xA2677172u, 0x3C03E4D1u, 0x4B04D447u, 0xD20D85FDu, 0xA50AB56Bu,
    0x35B5A8FAu, 0x42B2986Cu, 0xDBBBC9D6u, 0xACBCF940u, 0x32D86CE3u, 0x45DF5C75u, 0xDCD60DCFu, 0xABD13D59u,
    0x26D930ACu, 0x51DE003Au, 0xC8D75180u, 0xBFD06116u, 0x21B4F4B5u, 0x56B3C423u, 0xCFBA9599u, 0xB8BDA50Fu,
    0x2802B89Eu, 0x5F058808u, 0xC60CD9B2u, 0xB10BE924u, 0x2F6F7C87u, 0x58684C11u, 0xC1611DABu, 0xB6662D3Du,
    0x76DC4190u, 0x01DB7106u, 0x98D220BCu, 0xEFD5102Au, 0x71B18589u, 0x06B6B51Fu, 0x9FBFE4A5u, 0xE8B8D433u,
    0x7807C9A2u, 0x0F00F934u, 0x9609A88Eu, 0xE10E9818u, 0x7F6A0DBBu, 0x086D3D2Du, 0x91646C97u, 0xE6635C01u,
    0x6B6B51F4u, 0x1C6C6162u, 0x856530D8u, 0xF262004Eu, 0x6C0695EDu, 0x1B01A57Bu, 0x8208F4C1u, 0xF50FC457u,
    0x65B0D9C6u, 0x12B7E950u, 0x8BBEB8EAu, 0xFCB9887Cu, 0x62DD1DDFu, 0x15DA2D49u, 0x8CD37CF3u, 0xFBD44C65u,
    0x4DB26158u, 0x3AB551CEu, 0xA3BC0074u, 0xD4BB30E2u, 0x4ADFA541u, 0x3DD895D7u, 0xA4D1C46Du, 0xD3D6F4FBu,
    0x4369E96Au, 0x346ED9FCu, 0xAD678846u, 0xDA60B8D0u, 0x44042D73u, 0x33031DE5u, 0xAA0A4C5Fu, 0xDD0D7CC9u,
    0x5005713Cu, 0x270241AAu, 0xBE0B1010u, 0xC90C2086u, 0x5768B525u, 0x206F85B3u, 0xB966D409u, 0xCE61E49Fu,
    0x5EDEF90Eu, 0x29D9C998u, 0xB0D09822u, 0xC7D7A8B4u, 0x59B33D17u, 0x2EB40D81u, 0xB7BD5C3Bu, 0xC0BA6CADu,
    0xEDB88320u, 0x9ABFB3B6u, 0x03B6E20Cu, 0x74B1D29Au, 0xEAD54739u, 0x9DD277AFu, 0x04DB2615u, 0x73DC1683u,
    0xE3630B12u, 0x94643B84u, 0x0D6D6A3Eu, 0x7A6A5AA8u, 0xE40ECF0Bu, 0x9309FF9Du, 0x0A00AE27u, 0x7D079EB1u,
    0xF00F9344u, 0x8708A3D2u, 0x1E01F268u, 0x6906C2FEu, 0xF762575Du, 0x806567CBu, 0x196C3671u, 0x6E6B06E7u,
    0xFED41B76u, 0x89D32BE0u, 0x10DA7A5Au, 0x67DD4ACCu, 0xF9B9DF6Fu, 0x8EBEEFF9u, 0x17B7BE43u, 0x60B08ED5u,
    0xD6D6A3E8u, 0xA1D1937Eu, 0x38D8C2C4u, 0x4FDFF252u, 0xD1BB67F1u, 0xA6BC5767u, 0x3FB506DDu, 0x48B2364Bu,
    0xD80D2BDAu, 0xAF0A1B4Cu, 0x36034AF6u, 0x41047A60u, 0xDF60EFC3u, 0xA867DF55u, 0x316E8EEFu, 0x4669BE79u,
    0xCB61B38Cu, 0xBC66831Au, 0x256FD2A0u, 0x5268E236u, 0xCC0C7795u, 0xBB0B4703u, 0x220216B9u, 0x5505262Fu,
    0xC5BA3BBEu, 0xB2BD0B28u, 0x2BB45A92u, 0x5CB36A04u, 0xC2D7FFA7u, 0xB5D0CF31u, 0x2CD99E8Bu, 0x5BDEAE1Du,
    0x9B64C2B0u, 0xEC63F226u, 0x756AA39Cu, 0x026D930Au, 0x9C0906A9u, 0xEB0E363Fu, 0x72076785u, 0x05005713u,
    0x95BF4A82u, 0xE2B87A14u, 0x7BB12BAEu, 0x0CB61B38u, 0x92D28E9Bu, 0xE5D5BE0Du, 0x7CDCEFB7u, 0x0BDBDF21u,
    0x86D3D2D4u, 0xF1D4E242u, 0x68DDB3F8u, 0x1FDA836Eu, 0x81BE16CDu, 0xF6B9265Bu, 0x6FB077E1u, 0x18B74777u,
    0x88085AE6u, 0xFF0F6A70u, 0x66063BCAu, 0x11010B5Cu, 0x8F659EFFu, 0xF862AE69u, 0x616BFFD3u, 0x166CCF45u,
    0xA00AE278u, 0xD70DD2EEu, 0x4E048354u, 0x3903B3C2u, 0xA7672661u, 0xD06016F7u, 0x4969474Du, 0x3E6E77DBu,
    0xAED16A4Au, 0xD9D65ADCu, 0x40DF0B66u, 0x37D83BF0u, 0xA9BCAE53u, 0xDEBB9EC5u, 0x47B2CF7Fu, 0x30B5FFE9u,
    0xBDBDF21Cu, 0xCABAC28Au, 0x53B39330u, 0x24B4A3A6u, 0xBAD03605u, 0xCDD70693u, 0x54DE5729u, 0x23D967BFu,
    0xB3667A2Eu, 0xC4614AB8u, 0x5D681B02u, 0x2A6F2B94u, 0xB40BBE37u, 0xC30C8EA1u, 0x5A05DF1Bu, 0x2D02EF8Du,
};

CRC32::CRC32() : crc(0xFFFFFFFFu) {}

void CRC32::init() { crc = 0xFFFFFFFFu; }

void CRC32::update(unsigned char b) { crc = table[(crc ^ b) & 0xFFu] ^ (crc >> 8); }

// Low byte first: the word is fed as it lies in little-endian memory, which is
// the reverse of the order in which words travel on the wire.
void CRC32::update(unsigned short w) {
    update(static_cast<unsigned char>(w & 0xFFu));
    update(static_cast<unsigned char>(w >> 8));
}

void CRC32::update(void* data, unsigned long n) {
    if (data == nullptr || n == 0) return;
    crc = zorbel::detail::crc32_update(crc, data, n);
}

unsigned long CRC32::get() { return ~crc; }

namespace zorbel {
namespace detail {
namespace {

// slice[k][b] is the register contribution of byte b followed by k zero bytes,
// so sixteen input bytes cost sixteen independent table loads instead of a
// chain of sixteen dependent ones. Computed by the compiler.
struct SlicingTables {
    std::uint32_t slice[16][256];
};

constexpr SlicingTables make_slicing_tables() {
    SlicingTables t{};
    for (std::uint32_t b = 0; b < 256; ++b) {
        std::uint32_t c = b;
        for (int i = 0; i < 8; ++i) c = (c >> 1) ^ ((c & 1u) ? 0xEDB88320u : 0u);
        t.slice[0][b] = c;
    }
    for (int k = 1; k < 16; ++k)
        for (int b = 0; b < 256; ++b) {
            std::uint32_t prev = t.slice[k - 1][b];
            t.slice[k][b] = (prev >> 8) ^ t.slice[0][prev & 0xFFu];
        }
    return t;
}

constexpr SlicingTables kSlicing = make_slicing_tables();

inline std::uint64_t load_le64(const unsigned char* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    return v;
}

}  // namespace

// Twelve of the sixteen lookups do not depend on the register, so they are
// summed first; only the four that take the register's bytes sit on the
// chain from one sixteen-byte step to the next.
std::uint32_t crc32_update_portable(std::uint32_t reg, const void* data, std::size_t n) {
    const auto* p = static_cast<const unsigned char*>(data);
    const auto& s = kSlicing.slice;
    while (n >= 16) {
        const std::uint64_t lo = load_le64(p);
        const std::uint64_t hi = load_le64(p + 8);
        const std::uint32_t rest =
            s[11][(lo >> 32) & 0xFF] ^ s[10][(lo >> 40) & 0xFF] ^ s[9][(lo >> 48) & 0xFF] ^ s[8][lo >> 56] ^
            s[7][hi & 0xFF] ^ s[6][(hi >> 8) & 0xFF] ^ s[5][(hi >> 16) & 0xFF] ^ s[4][(hi >> 24) & 0xFF] ^
            s[3][(hi >> 32) & 0xFF] ^ s[2][(hi >> 40) & 0xFF] ^ s[1][(hi >> 48) & 0xFF] ^ s[0][hi >> 56];
        const std::uint32_t a = static_cast<std::uint32_t>(lo) ^ reg;
        reg = (s[15][a & 0xFF] ^ s[14][(a >> 8) & 0xFF]) ^ (s[13][(a >> 16) & 0xFF] ^ s[12][a >> 24]) ^ rest;
        p += 16;
        n -= 16;
    }
    while (n-- > 0) reg = s[0][(reg ^ *p++) & 0xFFu] ^ (reg >> 8);
    return reg;
}

#if defined(ZORBEL_CRC32_FOLDING)

namespace {

// One lane moved forward by the distance its constants encode, and the next
// 16 bytes added in.
__attribute__((target("pclmul,sse4.1"))) inline __m128i fold(__m128i x, __m128i k, __m128i next) {
    __m128i lo = _mm_clmulepi64_si128(x, k, 0x00);
    __m128i hi = _mm_clmulepi64_si128(x, k, 0x11);
    return _mm_xor_si128(_mm_xor_si128(hi, lo), next);
}

// Carry-less multiplication folding (the method of Intel's white paper on CRC
// computation with PCLMULQDQ): the bulk path on x86-64 machines without ISA-L.
// Four 128-bit lanes are folded 64 bytes at a time, then folded into one,
// reduced to 64 and then 32 bits with a Barrett step. The constants are
// x^k mod P for the fold distances, in the bit-reflected domain of P =
// 0x104C11DB7, and the Barrett pair (P' and mu). Works on the raw register;
// needs n >= 64 and takes whole 16-byte blocks only, the caller does the rest.
__attribute__((target("pclmul,sse4.1"))) std::uint32_t crc32_fold(std::uint32_t reg, const unsigned char* p,
                                                                  std::size_t n) {
    const __m128i k1k2 = _mm_set_epi64x(0x01c6e41596, 0x0154442bd4);
    const __m128i k3k4 = _mm_set_epi64x(0x00ccaa009e, 0x01751997d0);
    const __m128i k5k0 = _mm_set_epi64x(0x0000000000, 0x0163cd6124);
    const __m128i poly = _mm_set_epi64x(0x01f7011641, 0x01db710641);

    __m128i x1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 0x00));
    __m128i x2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 0x10));
    __m128i x3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 0x20));
    __m128i x4 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 0x30));
    x1 = _mm_xor_si128(x1, _mm_cvtsi32_si128(static_cast<int>(reg)));
    p += 64;
    n -= 64;

    while (n >= 64) {
        x1 = fold(x1, k1k2, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 0x00)));
        x2 = fold(x2, k1k2, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 0x10)));
        x3 = fold(x3, k1k2, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 0x20)));
        x4 = fold(x4, k1k2, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 0x30)));
        p += 64;
        n -= 64;
    }
    x1 = fold(x1, k3k4, x2);
    x1 = fold(x1, k3k4, x3);
    x1 = fold(x1, k3k4, x4);
    while (n >= 16) {
        x1 = fold(x1, k3k4, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
        p += 16;
        n -= 16;
    }

    // 128 bits to 64.
    const __m128i low32 = _mm_setr_epi32(~0, 0, ~0, 0);
    x2 = _mm_clmulepi64_si128(x1, k3k4, 0x10);
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2);
    x2 = _mm_srli_si128(x1, 4);
    x1 = _mm_and_si128(x1, low32);
    x1 = _mm_xor_si128(_mm_clmulepi64_si128(x1, k5k0, 0x00), x2);

    // Barrett reduction to 32 bits.
    x2 = _mm_and_si128(x1, low32);
    x2 = _mm_clmulepi64_si128(x2, poly, 0x10);
    x2 = _mm_and_si128(x2, low32);
    x2 = _mm_clmulepi64_si128(x2, poly, 0x00);
    x1 = _mm_xor_si128(x1, x2);
    return static_cast<std::uint32_t>(_mm_extract_epi32(x1, 1));
}

bool cpu_has_clmul() { return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1"); }

// Asked once, when the library is loaded, not on every bulk update. A call
// from another static constructor before this one reads false and takes the
// slicing loop: the same result, only slower.
const bool kFoldingAvailable = cpu_has_clmul();

}  // namespace

bool crc32_folding_available() { return kFoldingAvailable; }

std::uint32_t crc32_update_folding(std::uint32_t reg, const void* data, std::size_t n) {
    const auto* p = static_cast<const unsigned char*>(data);
    if (n < 64 || !crc32_folding_available()) return crc32_update_portable(reg, p, n);
    std::size_t whole = n & ~static_cast<std::size_t>(15);
    reg = crc32_fold(reg, p, whole);
    return crc32_update_portable(reg, p + whole, n - whole);
}

#else

bool crc32_folding_available() { return false; }

std::uint32_t crc32_update_folding(std::uint32_t reg, const void* data, std::size_t n) {
    return crc32_update_portable(reg, data, n);
}

#endif

#if defined(ZORBEL_HAVE_ISAL)

// ISA-L's gzip CRC takes and returns the finished (complemented) value, as
// zlib's crc32() does; our callers keep the raw register, so complement on the
// way in and out. It picks the fastest kernel for the CPU (carry-less
// multiplication folding where available) when first called.
std::uint32_t crc32_update(std::uint32_t reg, const void* data, std::size_t n) {
    if (n == 0) return reg;
    return ~crc32_gzip_refl(~reg, static_cast<const unsigned char*>(data), n);
}

const char* crc32_implementation() { return "isa-l"; }

#else

// Folding where the CPU has it, the slicing loop otherwise and for short runs.
std::uint32_t crc32_update(std::uint32_t reg, const void* data, std::size_t n) {
    return crc32_update_folding(reg, data, n);
}

const char* crc32_implementation() { return crc32_folding_available() ? "pclmul-folding" : "slicing-by-16"; }

#endif

}  // namespace detail
}  // namespace zorbel
