// An operating-system error code as people read it.
#pragma once

#include <cstdint>
#include <string>

// "No such file or directory (error 2)": the system's own text, and the code.
std::string os_error_text(std::uint32_t error);
