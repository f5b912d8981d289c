#include "tool/os_error.h"

#include "platform/platform.h"

std::string os_error_text(std::uint32_t error)
{
    char text[PLATFORM_ERROR_TEXT_BYTES];
    platform_error_text(error, text, sizeof text);
    return std::string(text) + " (error " + std::to_string(error) + ")";
}
