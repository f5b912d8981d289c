// --port PORT: which serial port a command talks to, and how it is named.
#pragma once

#include <string>

// "COMn" on any platform (Windows opens it as "\\\\.\\COMn", so COM10 and above
// work; Linux resolves it as the updater does: $COMn_DEVICE, else
// /dev/ttyS<n-1>), or a device path (/dev/ttyUSB0, /dev/serial/by-id/...).
// A path named from the current folder is made whole: update opens the port,
// and the download tool is given its name, inside the DFUWizard folder, where
// the path as typed would lead nowhere.
struct ToolPort {
    std::string device_path;  // what serial_open gets: "\\\\.\\COM5" or "/dev/ttyUSB0"
    std::string name;         // what is printed and passed to the download tool: "COM5" or "/dev/ttyUSB0"
};

inline constexpr char TOOL_DEFAULT_PORT[] = "COM1";
// COMn with n from 1 to this: every port number a system hands out, with
// room; longer numbers are typing errors.
inline constexpr unsigned long TOOL_COM_NUMBER_MAX = 9999999;

// The port named by text; "\\\\.\\COM5" and "COM5:", any case, name COM5 as
// "COM5" does. Throws ToolFailure (usage) for a name that cannot be a port:
// empty, COM0 or a COM number above TOOL_COM_NUMBER_MAX, a blank (the download
// tool's command line is split on blanks, so also in a path made whole), a
// quotation mark, or a path too long for serial_open.
ToolPort port_choice_parse(const std::string& text);
