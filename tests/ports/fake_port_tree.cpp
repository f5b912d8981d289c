#include "fake_port_tree.h"

#include <grp.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <system_error>

namespace fs = std::filesystem;

namespace {

const char* const USB_HOST_FOLDER = "sys/devices/pci0000:00/0000:00:14.0/usb1";
const char* const UART_DEVICE_FOLDER = "sys/devices/platform/serial8250";
const char* const VIRTUAL_FOLDER = "sys/devices/virtual/tty";
// The port type serial-core reports: 4 is a 16550A, 0 no UART at all.
const char* const UART_TYPE_FOUND = "4";
const char* const UART_TYPE_NONE = "0";

bool fail(const std::string& what, const std::error_code& error)
{
    std::cerr << "fake port tree: " << what << ": " << error.message() << "\n";
    return false;
}

bool write_file(const fs::path& path, const std::string& text)
{
    std::error_code error;
    fs::create_directories(path.parent_path(), error);
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << text;
    file.close();
    if (!file) {
        return fail("cannot write " + path.string(), std::make_error_code(std::errc::io_error));
    }
    return true;
}

bool make_folder(const fs::path& path)
{
    std::error_code error;
    fs::create_directories(path, error);
    return error ? fail("cannot make " + path.string(), error) : true;
}

// A device node as udev leaves it: read and write for root and the group
// dialout (when there is one and the tree is root's to give away).
bool make_node(const fs::path& path)
{
    if (!write_file(path, "")) {
        return false;
    }
    const group* dialout = getgrnam("dialout");
    if (geteuid() == 0 && dialout != nullptr && chown(path.c_str(), 0, dialout->gr_gid) != 0) {
        return fail("cannot give " + path.string() + " to dialout", std::error_code(errno, std::generic_category()));
    }
    std::error_code error;
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                              fs::perms::group_write, error);
    return error ? fail("cannot set the mode of " + path.string(), error) : true;
}

// A symlink at root/link to root/target, relative as the kernel and udev make them.
bool make_link(const fs::path& root, const fs::path& link, const fs::path& target)
{
    std::error_code error;
    fs::create_directories((root / link).parent_path(), error);
    fs::remove(root / link, error);
    fs::create_symlink(target.lexically_relative(link.parent_path()), root / link, error);
    return error ? fail("cannot link " + link.string(), error) : true;
}

std::string underscored(std::string text)
{
    for (char& c : text) {
        if (c == ' ' || c == '/') {
            c = '_';
        }
    }
    return text;
}

}  // namespace

FakePortFolder::FakePortFolder()
{
    char pattern[] = "/tmp/marrowlink-ports-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        fail("cannot make a folder", std::error_code(errno, std::generic_category()));
        return;
    }
    std::error_code error;
    fs::permissions(pattern, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                 fs::perms::others_read | fs::perms::others_exec, error);
    path_ = error ? std::string() : std::string(pattern);
}

FakePortFolder::~FakePortFolder()
{
    std::error_code ignored;
    if (!path_.empty()) {
        fs::remove_all(path_, ignored);
    }
}

FakePortTree::FakePortTree(std::string root) : root_(std::move(root))
{
}

std::string FakePortTree::by_id_name(const FakePort& port)
{
    std::string name = "usb-" + underscored(port.manufacturer) + "_" + underscored(port.product);
    if (!port.serial_number.empty()) {
        name += "_" + port.serial_number;
    }
    return name + (port.kind == FAKE_USB_ACM ? "-if00" : "-if00-port0");
}

// A USB device with the port's ids and strings; *interface is its first
// interface's folder, relative to the root.
bool FakePortTree::add_usb_device(const FakePort& port, fs::path* interface)
{
    const fs::path root(root_);
    const std::string usb_name = "1-" + std::to_string(++usb_devices_);
    const fs::path usb_device = fs::path(USB_HOST_FOLDER) / usb_name;
    *interface = usb_device / (usb_name + ":1.0");
    const std::size_t colon = port.usb_id.find(':');
    return write_file(root / usb_device / "idVendor", port.usb_id.substr(0, colon) + "\n") &&
           write_file(root / usb_device / "idProduct", port.usb_id.substr(colon + 1) + "\n") &&
           write_file(root / usb_device / "manufacturer", port.manufacturer + "\n") &&
           write_file(root / usb_device / "product", port.product + "\n") &&
           (port.serial_number.empty() || write_file(root / usb_device / "serial", port.serial_number + "\n"));
}

bool FakePortTree::add(const FakePort& port)
{
    const fs::path root(root_);
    fs::path device;  // what class/tty/NAME/device points at, relative to root
    fs::path class_device;
    switch (port.kind) {
    case FAKE_USB_SERIAL:
    case FAKE_USB_ACM: {
        fs::path interface;
        if (!add_usb_device(port, &interface)) {
            return false;
        }
        const char* bus = port.kind == FAKE_USB_ACM ? "sys/bus/usb/drivers" : "sys/bus/usb-serial/drivers";
        device = port.kind == FAKE_USB_ACM ? interface : interface / port.name;
        if (!make_folder(root / bus / port.driver) || !make_folder(root / device) ||
            !make_link(root, device / "driver", fs::path(bus) / port.driver)) {
            return false;
        }
        class_device = device / "tty" / port.name;
        break;
    }
    case FAKE_UART:
    case FAKE_UART_PLACEHOLDER:
        device = UART_DEVICE_FOLDER;
        class_device = device / "tty" / port.name;
        if (!make_folder(root / "sys/bus/platform/drivers/serial8250") ||
            !make_link(root, device / "driver", "sys/bus/platform/drivers/serial8250") ||
            !write_file(root / class_device / "type",
                        std::string(port.kind == FAKE_UART ? UART_TYPE_FOUND : UART_TYPE_NONE) + "\n")) {
            return false;
        }
        break;
    case FAKE_VIRTUAL:
        class_device = fs::path(VIRTUAL_FOLDER) / port.name;
        break;
    case FAKE_RFCOMM: {
        fs::path interface;
        if (!add_usb_device(port, &interface)) {
            return false;
        }
        device = interface / "bluetooth/hci0/hci0:256";
        class_device = device / "tty" / port.name;
        break;
    }
    }
    if (!make_folder(root / class_device) || !write_file(root / class_device / "dev", "188:0\n") ||
        (!device.empty() && !make_link(root, class_device / "device", device)) ||
        !make_link(root, fs::path("sys/class/tty") / port.name, class_device)) {
        return false;
    }
    if (port.node && !make_node(root / "dev" / port.name)) {
        return false;
    }
    const bool usb = port.kind == FAKE_USB_SERIAL || port.kind == FAKE_USB_ACM;
    if (usb && port.by_id &&
        !make_link(root, fs::path("dev/serial/by-id") / by_id_name(port), fs::path("dev") / port.name)) {
        return false;
    }
    return true;
}

bool FakePortTree::add_all(const std::vector<FakePort>& ports)
{
    for (const FakePort& port : ports) {
        if (!add(port)) {
            return false;
        }
    }
    return true;
}

bool FakePortTree::add_holder(int pid, const std::string& program, const std::string& name)
{
    const fs::path process = fs::path(root_) / "proc" / std::to_string(pid);
    std::error_code error;
    fs::create_directories(process / "fd", error);
    fs::create_symlink(node(name), process / "fd" / "3", error);
    if (error) {
        return fail("cannot make the holder's descriptor", error);
    }
    return add_process(pid, program);
}

bool FakePortTree::add_process(int pid, const std::string& program)
{
    const fs::path process = fs::path(root_) / "proc" / std::to_string(pid);
    const std::string base = fs::path(program).filename().string();
    // The kernel cuts comm at 15 characters; cmdline keeps the whole argv[0].
    return write_file(process / "cmdline", program + std::string(1, '\0')) &&
           write_file(process / "comm", base.substr(0, 15) + "\n");
}

bool FakePortTree::add_lock(const std::string& name, const std::string& content)
{
    return write_file(fs::path(root_) / "lock" / ("LCK.." + name), content);
}

std::string FakePortTree::lock_text(int pid)
{
    char text[16];
    std::snprintf(text, sizeof text, "%10d\n", pid);
    return text;
}

std::string FakePortTree::lock_binary(int pid)
{
    const std::int32_t value = pid;
    return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

bool FakePortTree::link_node(const std::string& name, const std::string& target)
{
    std::error_code error;
    fs::remove(node(name), error);
    fs::create_directories(fs::path(node(name)).parent_path(), error);
    fs::create_symlink(target, node(name), error);
    return error ? fail("cannot link " + node(name), error) : true;
}

PortRoots FakePortTree::roots() const
{
    return PortRoots{root_ + "/sys", root_ + "/dev", root_ + "/proc", {root_ + "/lock"}};
}

std::string FakePortTree::node(const std::string& name) const
{
    return root_ + "/dev/" + name;
}

std::vector<FakePort> fake_ports_standard()
{
    return {
        {FAKE_VIRTUAL, "tty0", "", "", "", "", "", false, true},
        {FAKE_VIRTUAL, "tty1", "", "", "", "", "", false, true},
        {FAKE_UART, "ttyS0", "serial8250", "", "", "", "", false, true},
        {FAKE_UART_PLACEHOLDER, "ttyS1", "serial8250", "", "", "", "", false, true},
        {FAKE_UART_PLACEHOLDER, "ttyS2", "serial8250", "", "", "", "", false, true},
        {FAKE_UART_PLACEHOLDER, "ttyS3", "serial8250", "", "", "", "", false, true},
        {FAKE_USB_SERIAL, "ttyUSB0", "ftdi_sio", "0403:6001", "FTDI", "FT232R USB UART", "A10K2F3Q", true, true},
        {FAKE_USB_SERIAL, "ttyUSB1", "pl2303", "067b:2303", "Prolific Technology Inc.", "USB-Serial Controller", "",
         true, true},
        {FAKE_USB_SERIAL, "ttyUSB10", "ch341-uart", "1a86:7523", "QinHeng Electronics", "USB Serial", "", false, true},
        {FAKE_USB_ACM, "ttyACM0", "cdc_acm", "2341:0043", "Arduino (www.arduino.cc)", "Arduino Uno", "7543331", true,
         true},
    };
}

FakePort fake_port_rfcomm()
{
    return {FAKE_RFCOMM, "rfcomm0", "", "8087:0a2b", "Intel Corp.", "Bluetooth wireless interface", "", false, true};
}

std::vector<FakePort> fake_ports_many(int count)
{
    std::vector<FakePort> ports;
    for (int i = 0; i < count; ++i) {
        ports.push_back({FAKE_USB_SERIAL, "ttyUSB" + std::to_string(i), "ftdi_sio", "0403:6001", "FTDI",
                         "FT232R USB UART", "A1" + std::to_string(1000 + i), true, true});
    }
    return ports;
}
