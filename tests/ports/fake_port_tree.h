// A fake sysfs, /dev and /proc tree for the port listing, laid out as Linux
// lays out its own: /sys/class/tty links into /sys/devices, usb-serial ports
// under their USB interface and device, cdc_acm ports on the interface, 8250
// ports on their platform device with a "type", /dev/serial/by-id links and
// /proc/PID/fd links to the nodes a process holds, and UUCP lock files in
// lock/ (the tree's only lock folder). The nodes in dev/ are plain
// files, mode 0660 and, when root builds the tree, of the group dialout as
// udev makes them: nothing here is a real port.
#pragma once

#include "platform/platform_ports.h"

#include <filesystem>
#include <string>
#include <vector>

enum FakePortKind {
    FAKE_USB_SERIAL,       // ttyUSB*: driver on the usb-serial port, USB device two folders up
    FAKE_USB_ACM,          // ttyACM*: cdc_acm on the USB interface
    FAKE_UART,             // ttyS* with a UART found (type 4, 16550A)
    FAKE_UART_PLACEHOLDER, // ttyS* the kernel keeps without a UART (type 0)
    FAKE_VIRTUAL,          // tty1, console: no device behind it
    FAKE_RFCOMM,           // rfcomm* connected: its device is the connection, below a USB Bluetooth controller
};

struct FakePort {
    FakePortKind kind = FAKE_USB_SERIAL;
    std::string name;  // "ttyUSB0"
    std::string driver;
    std::string usb_id;  // "0403:6001"; FAKE_RFCOMM: the Bluetooth controller's
    std::string manufacturer;
    std::string product;
    std::string serial_number;
    bool by_id = true;  // USB ports: a /dev/serial/by-id link
    bool node = true;   // a node in dev/
};

class FakePortTree {
public:
    // Builds under root, which must exist. Every add_* returns false (and says
    // why on stderr) when the tree could not be written.
    explicit FakePortTree(std::string root);

    bool add(const FakePort& port);
    bool add_all(const std::vector<FakePort>& ports);
    // A process that holds dev/NAME open: proc/PID/fd/3, cmdline and comm.
    bool add_holder(int pid, const std::string& program, const std::string& name);
    // dev/NAME becomes a symlink to target (a pseudo-terminal the simulator serves).
    bool link_node(const std::string& name, const std::string& target);
    // lock/LCK..NAME with content as it stands (a pid in ASCII or binary, or
    // anything else); a process PID running program (proc/PID, cmdline and
    // comm, no descriptor) when program is not empty.
    bool add_lock(const std::string& name, const std::string& content);
    bool add_process(int pid, const std::string& program);
    // A lock file's content as programs write it: "%10d\n", or the pid's bytes.
    static std::string lock_text(int pid);
    static std::string lock_binary(int pid);

    PortRoots roots() const;
    std::string node(const std::string& name) const;  // root/dev/NAME
    // The by-id link name a USB port gets: usb-MANUFACTURER_PRODUCT_SERIAL-if00[-port0].
    static std::string by_id_name(const FakePort& port);

private:
    bool add_usb_device(const FakePort& port, std::filesystem::path* interface);

    std::string root_;
    int usb_devices_ = 0;
};

// A fresh folder under /tmp for a tree, searchable by every user (a test may
// look at it as another user), removed with everything in it at the end.
class FakePortFolder {
public:
    FakePortFolder();
    ~FakePortFolder();
    FakePortFolder(const FakePortFolder&) = delete;
    FakePortFolder& operator=(const FakePortFolder&) = delete;
    const std::string& path() const { return path_; }  // empty when it could not be made

private:
    std::string path_;
};

// A machine with one of each: FTDI and Prolific usb-serial, an Arduino on
// cdc_acm, a CH340 without by-id link numbered 10, a real 8250, three
// placeholder ttyS and two virtual consoles.
std::vector<FakePort> fake_ports_standard();
// A connected Bluetooth link, rfcomm0, on an Intel Bluetooth controller.
FakePort fake_port_rfcomm();
// count FTDI usb-serial ports ttyUSB0..ttyUSB<count-1>, each with its own serial.
std::vector<FakePort> fake_ports_many(int count);
