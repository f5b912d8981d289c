// The machine's serial ports: listing them, telling whether this user can
// open each one now, and why an open failed.
//
// Linux reads the ports from sysfs (/sys/class/tty), their names from /dev and
// who holds a port from /proc; the three roots are parameters so that tests
// can point them at a fake tree. Windows asks SetupAPI for the COM ports and
// falls back to HARDWARE\DEVICEMAP\SERIALCOMM; it ignores the roots.
//
// Same contract as platform.h: 1 success, 0 failure with the OS error left
// for platform_last_error(). Nothing here prints.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct PortRoots {
    std::string sys = "/sys";
    std::string dev = "/dev";
    std::string proc = "/proc";
};

// One serial port. Fields the system does not tell are empty.
struct PortInfo {
    std::string name;           // as printed and passed on: "/dev/ttyUSB0", "COM5"
    std::string device_path;    // what serial_open takes: the path, or "\\\\.\\COM5"
    std::string driver;         // "ftdi_sio", "cdc_acm", "serial8250"; Windows: the driver's service
    std::string description;    // Windows: the device's friendly name
    std::string usb_id;         // "0403:6001" for a USB device
    std::string manufacturer;   // the USB device's strings
    std::string product;
    std::string serial_number;
    std::string by_id;          // Linux: the /dev/serial/by-id link that names it
};

enum PortAccess {
    PORT_FREE,        // nothing keeps this user from opening it now
    PORT_BUSY,        // another program has it open
    PORT_DENIED,      // this user may not open it
    PORT_MISSING,     // no such port
    PORT_NOT_SERIAL,  // something else answers to that name (a file, /dev/null)
    PORT_FAILED,      // the open failed for another reason: os_error
};

struct PortState {
    PortAccess access = PORT_FREE;
    std::uint32_t os_error = 0;  // the error behind busy, denied, missing or failed
    std::uint32_t holder_pid = 0;  // busy: the process that holds it; 0 when the system cannot tell
    std::string holder_name;
    std::string group;  // denied (POSIX): the group that may open the device
};

// Every serial port that has hardware behind it, in name order (ttyACM0,
// ttyS4, ttyUSB2, ttyUSB10; COM3, COM12). Virtual consoles, pseudo-terminals
// and the placeholder ports the kernel keeps for UARTs it did not find are
// left out.
int ports_list(const PortRoots& roots, std::vector<PortInfo>* ports);

// Whether this user can open each port now, one state per port. Linux looks
// without opening (an open raises DTR and RTS, which resets some boards): the
// device node, its permissions against this user's, and the processes in
// /proc that hold it. Windows opens and closes each port as the updater would.
int ports_check(const PortRoots& roots, const std::vector<PortInfo>& ports, std::vector<PortState>* states);

// Why serial_open(device_path) failed with os_error (platform_last_error()
// right after it): missing, busy (with the holder when the system can tell),
// denied (with the device's group), not a serial port, or failed.
void port_open_diagnose(const PortRoots& roots, const char* device_path, std::uint32_t os_error, PortState* state);
