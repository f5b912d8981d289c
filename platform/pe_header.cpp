// The headers of a Windows program: for which processor it is built (a 32-bit
// program needs 32-bit Wine) and whether it opens windows (it then needs a
// display). Read from the file's first bytes, as Windows' loader reads them.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/posix_wine.h"

namespace {

constexpr std::size_t DOS_HEADER_PE_OFFSET_AT = 0x3c;  // e_lfanew
constexpr std::size_t PE_SIGNATURE_BYTES = 4;          // "PE\0\0"
constexpr std::size_t COFF_HEADER_BYTES = 20;
constexpr std::size_t COFF_MACHINE_AT = 0;
constexpr std::size_t COFF_OPTIONAL_SIZE_AT = 16;
constexpr std::size_t COFF_CHARACTERISTICS_AT = 18;
constexpr std::uint16_t COFF_EXECUTABLE_IMAGE = 0x0002;
constexpr std::uint16_t COFF_DLL = 0x2000;
constexpr std::size_t OPTIONAL_MAGIC_AT = 0;
constexpr std::size_t OPTIONAL_SUBSYSTEM_AT = 68;  // the same in PE32 and PE32+
constexpr std::uint16_t OPTIONAL_MAGIC_PE32 = 0x010b;
constexpr std::uint16_t OPTIONAL_MAGIC_PE32_PLUS = 0x020b;

std::uint16_t read16(const unsigned char* at)
{
    return static_cast<std::uint16_t>(at[0] | at[1] << 8);
}

std::uint32_t read32(const unsigned char* at)
{
    return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
           static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

int fail(char* why, std::size_t capacity, const char* text)
{
    std::snprintf(why, capacity, "%s", text);
    return 0;
}

}  // namespace

int pe_header_parse(const unsigned char* bytes, std::size_t count, PeFacts* facts, char* why,
                    std::size_t why_capacity)
{
    if (count < DOS_HEADER_PE_OFFSET_AT + 4 || bytes[0] != 'M' || bytes[1] != 'Z') {
        return fail(why, why_capacity, "it has no DOS header (MZ)");
    }
    const std::uint32_t pe_at = read32(bytes + DOS_HEADER_PE_OFFSET_AT);
    const std::size_t coff_at = static_cast<std::size_t>(pe_at) + PE_SIGNATURE_BYTES;
    const std::size_t optional_at = coff_at + COFF_HEADER_BYTES;
    if (pe_at >= count || optional_at + OPTIONAL_SUBSYSTEM_AT + 2 > count ||
        std::memcmp(bytes + pe_at, "PE\0\0", PE_SIGNATURE_BYTES) != 0) {
        return fail(why, why_capacity, "it has no PE header (an MS-DOS program, or damaged)");
    }
    const std::uint16_t characteristics = read16(bytes + coff_at + COFF_CHARACTERISTICS_AT);
    if ((characteristics & COFF_DLL) != 0 || (characteristics & COFF_EXECUTABLE_IMAGE) == 0) {
        return fail(why, why_capacity, "it is a library (DLL), not a program");
    }
    if (read16(bytes + coff_at + COFF_OPTIONAL_SIZE_AT) < OPTIONAL_SUBSYSTEM_AT + 2) {
        return fail(why, why_capacity, "its optional header is too short");
    }
    const std::uint16_t machine = read16(bytes + coff_at + COFF_MACHINE_AT);
    const std::uint16_t magic = read16(bytes + optional_at + OPTIONAL_MAGIC_AT);
    int bits = 0;
    if (machine == PE_MACHINE_I386 && magic == OPTIONAL_MAGIC_PE32) {
        bits = 32;
    } else if (machine == PE_MACHINE_AMD64 && magic == OPTIONAL_MAGIC_PE32_PLUS) {
        bits = 64;
    } else {
        std::snprintf(why, why_capacity, "it is built for another processor (machine 0x%04x)", machine);
        return 0;
    }
    facts->machine = machine;
    facts->bits = bits;
    facts->subsystem = read16(bytes + optional_at + OPTIONAL_SUBSYSTEM_AT);
    return 1;
}

int pe_header_read(const char* path, PeFacts* facts, char* why, std::size_t why_capacity)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        std::snprintf(why, why_capacity, "it cannot be read: %s", std::strerror(errno));
        return 0;
    }
    unsigned char bytes[PE_HEADER_READ_BYTES];
    std::size_t count = 0;
    while (count < sizeof bytes) {
        const ssize_t got = read(fd, bytes + count, sizeof bytes - count);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            std::snprintf(why, why_capacity, "it cannot be read: %s", std::strerror(errno));
            close(fd);
            return 0;
        }
        if (got == 0) {
            break;
        }
        count += static_cast<std::size_t>(got);
    }
    close(fd);
    return pe_header_parse(bytes, count, facts, why, why_capacity);
}
