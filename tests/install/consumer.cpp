// Uses the installed headers and library as a client program would: the
// umbrella header, names in the global namespace, an exported variable and an
// exported class.
#include <zorbel/zorbel.h>

#include <cstdio>
#include <cstring>

int main() {
    if (std::strcmp(dll_ver, "2.9 07/09/2001") != 0) {
        std::fprintf(stderr, "dll_ver is \"%s\"\n", dll_ver);
        return 1;
    }
    CRC32 crc;
    char check[] = "123456789";
    crc.update(check, 9);
    if (crc.get() != 0xCBF43926u) {
        std::fprintf(stderr, "CRC-32 check value %08lx\n", static_cast<unsigned long>(crc.get()));
        return 1;
    }
    std::puts("consumer: ok");
    return 0;
}
