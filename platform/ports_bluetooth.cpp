// Telling a Bluetooth link port from what the system says of it. Plain
// string work, built on every platform so that its tests run anywhere.
#include "platform/platform_ports.h"

#include <cctype>
#include <cstddef>

namespace {

// Windows names devices, enumerators and services in any case.
bool starts_with_any_case(const std::string& text, const char* prefix)
{
    std::size_t i = 0;
    for (; prefix[i] != '\0'; ++i) {
        if (i >= text.size() || std::toupper(static_cast<unsigned char>(text[i])) !=
                                    std::toupper(static_cast<unsigned char>(prefix[i]))) {
            return false;
        }
    }
    return true;
}

bool equal_any_case(const std::string& text, const char* other)
{
    return starts_with_any_case(text, other) && text.size() == std::char_traits<char>::length(other);
}

}  // namespace

bool ports_bluetooth_from_setup(const std::string& hardware_id, const std::string& service)
{
    // The Bluetooth bus enumerator makes the device; the Bluetooth modem
    // driver serves it (outgoing and incoming ports alike).
    return starts_with_any_case(hardware_id, "BTHENUM\\") || equal_any_case(service, "BTHMODEM");
}

bool ports_bluetooth_from_serialcomm(const std::string& kernel_name)
{
    return starts_with_any_case(kernel_name, "\\Device\\BthModem");
}

bool ports_bluetooth_from_tty(const std::string& tty_name)
{
    const std::string stem = "rfcomm";
    return tty_name.size() > stem.size() && tty_name.starts_with(stem) &&
           tty_name.find_first_not_of("0123456789", stem.size()) == std::string::npos;
}
