#include "tool/wording.h"

#include <cstdio>

#include "bccmd/bccmd_names.h"
#include "trace/trace_decode.h"

std::string reason_seconds(std::uint32_t milliseconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", milliseconds / 1000.0);
    return text;
}

std::string reason_shown_bytes(const std::uint8_t* bytes, int count)
{
    return count > 0 ? trace_text(bytes, static_cast<std::size_t>(count)) : std::string();
}

std::string reason_hex16(std::uint16_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%04x", static_cast<unsigned>(value));
    return text;
}

std::string reason_bccmd_status(std::uint16_t status)
{
    const char* name = bccmd_status_name(status);
    return name != nullptr ? std::string(name) + " (" + reason_hex16(status) + ")" : reason_hex16(status);
}

std::string reason_varid(std::uint16_t varid)
{
    const char* name = bccmd_varid_name(varid);
    const std::string number = "varid " + reason_hex16(varid);
    return name != nullptr ? std::string(name) + " (" + number + ")" : number;
}
