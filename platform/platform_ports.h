// The machine's serial ports: listing them, telling whether this user can
// open each one now, and why an open failed.
//
// Linux reads the ports from sysfs (/sys/class/tty), their names from /dev,
// who holds a port from /proc and who locked it from the UUCP lock folders;
// the roots are parameters so that tests can point them at a fake tree.
// Windows asks SetupAPI for the COM ports and falls back to
// HARDWARE\DEVICEMAP\SERIALCOMM; it ignores the roots.
//
// Same contract as platform.h: 1 success, 0 failure with the OS error left
// for platform_last_error(). Nothing here prints.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct PortRoots {
    std::string sys = "/sys";
    std::string dev = "/dev";
    std::string proc = "/proc";
    // Where programs leave UUCP lock files (LCK..ttyUSB0): /var/lock is the
    // traditional place, /run/lock where it leads on current systems; both are
    // read, for a system where they are apart.
    std::vector<std::string> locks = {"/var/lock", "/run/lock"};
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
    // A port the system makes for a Bluetooth connection (Windows' "Standard
    // Serial over Bluetooth link", Linux's rfcomm): opening it may connect to
    // the remote device, which can take tens of seconds. It is never a wired
    // adapter's port.
    bool bluetooth_link = false;
};

enum PortAccess {
    PORT_FREE,        // nothing keeps this user from opening it now
    PORT_BUSY,        // another program has it open
    PORT_DENIED,      // this user may not open it
    PORT_MISSING,     // no such port
    PORT_NOT_SERIAL,  // something else answers to that name (a file, /dev/null)
    PORT_FAILED,      // the open failed for another reason: os_error
    PORT_NOT_CHECKED, // Windows: a Bluetooth link port, not opened (that would connect)
    PORT_TIMED_OUT,   // Windows: the open did not finish within PORT_CHECK_OPEN_TIMEOUT_MS
    PORT_NOT_OPENED,  // Windows: not opened (PORT_CHECK_LOOK), so its state is not known
};

// What ports_check may do to learn a port's state.
enum PortCheckMode {
    PORT_CHECK_LOOK,  // open no port: an open raises DTR and RTS, which resets some boards
    PORT_CHECK_OPEN,  // Windows: open and close each wired port, as the updater would
};

// How long ports_check waits for one port to open before it gives the open
// up. A wired port (a UART, a USB-serial driver starting its device) opens in
// well under a second; 2 s leaves room for a busy machine, and a listing with
// a stuck port still ends sooner than one probe takes.
inline constexpr std::uint32_t PORT_CHECK_OPEN_TIMEOUT_MS = 2000;

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
// without opening, whatever the mode: the device node, its permissions
// against this user's, the processes in /proc that hold it and a UUCP lock
// of a live process. Windows can only tell by opening: with PORT_CHECK_OPEN
// it opens and closes each port as the updater would, giving each open up
// after PORT_CHECK_OPEN_TIMEOUT_MS; with PORT_CHECK_LOOK every wired port is
// PORT_NOT_OPENED. A Bluetooth link port is never opened (PORT_NOT_CHECKED).
int ports_check(const PortRoots& roots, const std::vector<PortInfo>& ports, PortCheckMode mode,
                std::vector<PortState>* states);

// Whether a program other than this one has the port open now, or holds a
// UUCP lock on it, before this program opens it: an open that succeeds
// beside such a program (one that took no flock() and set no TIOCEXCL, as a
// terminal program or a script may) would put the adapter's wake-up into that
// program's session. Only a terminal is looked at (a tty in sysfs, or a
// character device sysfs places in no other class, as a pseudo-terminal): a
// file or another device (/dev/null, which daemons hold) is no port, and its
// open fails on its own. 1 with *state PORT_BUSY and the holder (the process
// with a descriptor on the node, else the live process of the lock); 0 when
// no other program holds it (*state is then PORT_FREE). Linux reads /proc
// and the lock folders; a process that holds a pseudo-terminal's master is
// its far end (the program playing the device: socat, a simulator), and its
// descriptors on the slave do not count, here and in ports_check. Windows
// returns 0 (a COM port that another program has open refuses the open
// itself, before any line moves).
int port_holder_find(const PortRoots& roots, const char* device_path, PortState* state);

// Why serial_open(device_path) failed with os_error (platform_last_error()
// right after it): missing, busy (with the holder when the system can tell),
// denied (with the device's group), not a serial port, or failed.
void port_open_diagnose(const PortRoots& roots, const char* device_path, std::uint32_t os_error, PortState* state);

// Whether a port is a Bluetooth link, from what the system says of it (pure:
// the same on every platform, so that tests run anywhere). Windows: the
// device's first hardware id ("BTHENUM\{00001101-...}") or its driver's
// service ("BTHMODEM"), any case; for a port that only SERIALCOMM names, its
// kernel device ("\Device\BthModem0"). Linux: the tty's name ("rfcomm0").
bool ports_bluetooth_from_setup(const std::string& hardware_id, const std::string& service);
bool ports_bluetooth_from_serialcomm(const std::string& kernel_name);
bool ports_bluetooth_from_tty(const std::string& tty_name);

// Where a port name leads, for telling two names of one device apart: on
// POSIX the device's real path ("\\\\.\\COMn" resolved as serial_open
// resolves it, links followed; the path as resolved when it does not exist),
// on Windows the COM name in capitals ("\\\\.\\com5" and "COM5" are
// "COM5"). 1: written. 0: it does not fit.
int port_device_identity(const char* device_path, char* identity, std::size_t capacity);
