// Names for the numbers of a BCCMD message, for people reading a trace or a
// report: the varids this system uses and the status codes a chip answers.
#pragma once

#include <cstdint>

// "BUILD_ID", "COLD_RESET", "PS_DEFRAG_RESET", "PS"; null for any other varid.
const char* bccmd_varid_name(std::uint16_t varid);

// Status codes of a response.
inline constexpr std::uint16_t BCCMD_STATUS_OK = 0x0000;
inline constexpr std::uint16_t BCCMD_STATUS_NO_SUCH_VARID = 0x0001;
inline constexpr std::uint16_t BCCMD_STATUS_TOO_BIG = 0x0002;
inline constexpr std::uint16_t BCCMD_STATUS_NO_VALUE = 0x0003;
inline constexpr std::uint16_t BCCMD_STATUS_BAD_REQUEST = 0x0004;
inline constexpr std::uint16_t BCCMD_STATUS_ERROR = 0x0008;

// "OK", "NO_SUCH_VARID", "TOO_BIG", "NO_VALUE", "BAD_REQUEST", "ERROR"; null
// for a code without a name.
const char* bccmd_status_name(std::uint16_t status);

// "get", "response", "set"; null for another type.
const char* bccmd_type_name(std::uint16_t type);
