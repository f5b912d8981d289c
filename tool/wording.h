// Words for numbers and bytes in the lines people read: times, bytes from the
// line, BCCMD statuses and varids by name. Shared by every file that explains
// something (reasons.cpp, open_reason.cpp, port_survey.cpp), and depending on
// none of them.
#pragma once

#include <cstdint>
#include <string>

// A time for people: "2.8 s".
std::string reason_seconds(std::uint32_t milliseconds);
// Bytes from the line as text people can read: printable characters as they
// are, others as \xNN.
std::string reason_shown_bytes(const std::uint8_t* bytes, int count);
// A BCCMD status and varid by name ("ERROR (0x0008)", "BUILD_ID (varid
// 0x2819)"), from the names the trace decoder uses too (bccmd_names.h).
std::string reason_bccmd_status(std::uint16_t status);
std::string reason_varid(std::uint16_t varid);
// "0x01f9".
std::string reason_hex16(std::uint16_t value);
