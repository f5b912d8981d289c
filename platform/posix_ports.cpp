// The platform's port listing on POSIX (Linux): the ports from sysfs, their
// names and by-id links from /dev, their holders from /proc. Nothing here opens
// a port: opening one raises DTR and RTS, which resets some boards.
//
// An rfcomm tty (a Bluetooth link) has a device in sysfs only while it is
// connected: the connection, below the Bluetooth controller. So a bound but
// unconnected /dev/rfcommN, which an open would connect, is not listed, and a
// connected one is listed as a Bluetooth link without the USB facts of the
// controller above it, which say nothing of the remote device.
#include "platform/platform_ports.h"

#include "platform/posix_device.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <utility>

namespace {

// sysfs attributes and /proc files read here are one short line; longer is cut.
constexpr std::size_t PORT_ATTRIBUTE_MAX_BYTES = 256;
constexpr std::size_t PORT_PATH_MAX_BYTES = 4096;
// A serial-core port whose "type" is 0 (PORT_UNKNOWN) has no UART behind it.
constexpr long PORT_TYPE_UNKNOWN = 0;

std::string path_real(const std::string& path)
{
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : std::string();
}

std::string path_base(const std::string& path)
{
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string path_parent(const std::string& path)
{
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
}

// The first line of a small file, without its line end; empty when unreadable.
std::string file_line(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        return std::string();
    }
    char buffer[PORT_ATTRIBUTE_MAX_BYTES];
    ssize_t got;
    do {
        got = read(fd, buffer, sizeof buffer);
    } while (got < 0 && errno == EINTR);
    (void)close(fd);
    if (got <= 0) {
        return std::string();
    }
    std::string line(buffer, static_cast<std::size_t>(got));
    line = line.substr(0, line.find_first_of("\r\n"));
    while (!line.empty() && line.back() == ' ') {
        line.pop_back();
    }
    return line;
}

// The last name of a symlink's target ("ftdi_sio" for .../drivers/ftdi_sio).
std::string link_base(const std::string& path)
{
    char target[PORT_PATH_MAX_BYTES];
    const ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
    if (length <= 0) {
        return std::string();
    }
    return path_base(std::string(target, static_cast<std::size_t>(length)));
}

// The names in a folder, "." and ".." left out; empty when it cannot be read.
int folder_names(const std::string& path, std::vector<std::string>* names)
{
    DIR* folder = opendir(path.c_str());
    if (folder == nullptr) {
        return 0;
    }
    errno = 0;
    while (const dirent* entry = readdir(folder)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            names->emplace_back(entry->d_name);
        }
    }
    const int failed = errno;
    (void)closedir(folder);
    errno = failed;
    return failed == 0 ? 1 : 0;
}

// Name order as people count: the letters first, then the trailing number
// (ttyUSB2 before ttyUSB10).
bool name_before(const std::string& a, const std::string& b)
{
    const std::size_t a_digits = a.find_last_not_of("0123456789") + 1;
    const std::size_t b_digits = b.find_last_not_of("0123456789") + 1;
    const int stems = a.compare(0, a_digits, b, 0, b_digits);
    if (stems != 0) {
        return stems < 0;
    }
    const std::size_t a_number = a.size() - a_digits;
    const std::size_t b_number = b.size() - b_digits;
    if (a_number != b_number) {
        return a_number < b_number;
    }
    return a < b;
}

// The serial-core placeholder ports (ttyS1..ttyS31 on most PCs): a "type"
// attribute that says no UART was found.
bool port_is_placeholder(const std::string& class_entry)
{
    const std::string type = file_line(class_entry + "/type");
    if (type.empty()) {
        return false;
    }
    char* end = nullptr;
    const long value = std::strtol(type.c_str(), &end, 10);
    return end != type.c_str() && *end == '\0' && value == PORT_TYPE_UNKNOWN;
}

// The USB device above a port's device in the sysfs tree, if any: the first
// folder up that has idVendor and idProduct.
void port_describe_usb(const std::string& sys_real, const std::string& device_real, PortInfo* port)
{
    for (std::string folder = device_real; folder.size() > sys_real.size(); folder = path_parent(folder)) {
        const std::string vendor = file_line(folder + "/idVendor");
        const std::string product_id = file_line(folder + "/idProduct");
        if (!vendor.empty() && !product_id.empty()) {
            port->usb_id = vendor + ":" + product_id;
            port->manufacturer = file_line(folder + "/manufacturer");
            port->product = file_line(folder + "/product");
            port->serial_number = file_line(folder + "/serial");
            return;
        }
    }
}

// /dev/serial/by-id: each link's target (resolved) to the link's own path.
std::map<std::string, std::string> by_id_links(const std::string& dev_root)
{
    std::map<std::string, std::string> links;
    const std::string folder = dev_root + "/serial/by-id";
    std::vector<std::string> names;
    (void)folder_names(folder, &names);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        const std::string link = folder + "/" + name;
        const std::string target = path_real(link);
        if (!target.empty()) {
            links.emplace(target, link);
        }
    }
    return links;
}

struct FileId {
    dev_t device;
    ino_t inode;
};

bool file_id_of(const std::string& path, FileId* id)
{
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
        return false;
    }
    *id = FileId{status.st_dev, status.st_ino};
    return true;
}

bool pid_name(const std::string& name, pid_t* pid)
{
    if (name.empty() || name.size() > 9 || name.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    *pid = static_cast<pid_t>(std::strtol(name.c_str(), nullptr, 10));
    return *pid > 0;
}

// A process's name: the last part of its program path as started (argv[0]),
// which the kernel does not cut at 15 characters as it does "comm".
std::string process_name(const std::string& process_folder)
{
    std::string command = file_line(process_folder + "/cmdline");
    command = command.substr(0, command.find('\0'));
    const std::size_t cut = command.find_last_of("/\\");
    if (cut != std::string::npos) {
        command = command.substr(cut + 1);
    }
    return command.empty() ? file_line(process_folder + "/comm") : command;
}

struct PortHolder {
    pid_t pid = 0;
    std::string name;
};

// For each wanted file, the lowest-numbered process that has it open, found by
// the descriptors under proc_root/PID/fd. Processes this user may not look
// into are passed over: then the holder stays unknown.
std::vector<PortHolder> holders_find(const std::string& proc_root, const std::vector<FileId>& wanted)
{
    std::vector<PortHolder> holders(wanted.size());
    std::vector<std::string> entries;
    (void)folder_names(proc_root, &entries);
    std::vector<pid_t> pids;
    for (const std::string& entry : entries) {
        pid_t pid = 0;
        if (pid_name(entry, &pid)) {
            pids.push_back(pid);
        }
    }
    std::sort(pids.begin(), pids.end());
    for (const pid_t pid : pids) {
        const std::string process_folder = proc_root + "/" + std::to_string(pid);
        const std::string fd_folder = process_folder + "/fd";
        DIR* folder = opendir(fd_folder.c_str());
        if (folder == nullptr) {
            continue;
        }
        while (const dirent* entry = readdir(folder)) {
            struct stat status {};
            if (entry->d_name[0] == '.' || fstatat(dirfd(folder), entry->d_name, &status, 0) != 0) {
                continue;
            }
            for (std::size_t i = 0; i < wanted.size(); ++i) {
                if (holders[i].pid == 0 && status.st_dev == wanted[i].device && status.st_ino == wanted[i].inode) {
                    holders[i].pid = pid;
                    holders[i].name = process_name(process_folder);
                }
            }
        }
        (void)closedir(folder);
    }
    return holders;
}

std::string group_of(const std::string& path)
{
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
        return std::string();
    }
    group entry {};
    group* found = nullptr;
    char buffer[PORT_PATH_MAX_BYTES];
    if (getgrgid_r(status.st_gid, &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr) {
        return std::to_string(status.st_gid);
    }
    return found->gr_name;
}

std::string device_resolved(const char* device_path)
{
    char path[PORT_PATH_MAX_BYTES];
    return serial_device_path(device_path, path, sizeof path) ? std::string(path) : std::string();
}

}  // namespace

int ports_list(const PortRoots& roots, std::vector<PortInfo>* ports)
{
    if (ports == nullptr) {
        errno = EINVAL;
        return 0;
    }
    ports->clear();
    const std::string class_folder = roots.sys + "/class/tty";
    std::vector<std::string> names;
    if (!folder_names(class_folder, &names)) {
        return 0;
    }
    std::sort(names.begin(), names.end(), name_before);
    const std::string sys_real = path_real(roots.sys);
    const std::map<std::string, std::string> by_id = by_id_links(roots.dev);
    for (const std::string& name : names) {
        const std::string entry = class_folder + "/" + name;
        // Virtual consoles and pseudo-terminals have no device behind them.
        const std::string device = path_real(entry + "/device");
        if (device.empty() || port_is_placeholder(entry)) {
            continue;
        }
        PortInfo port;
        port.name = roots.dev + "/" + name;
        port.device_path = port.name;
        port.driver = link_base(entry + "/device/driver");
        port.bluetooth_link = ports_bluetooth_from_tty(name);
        if (!port.bluetooth_link) {
            port_describe_usb(sys_real, device, &port);
        }
        const auto link = by_id.find(path_real(port.name));
        if (link != by_id.end()) {
            port.by_id = link->second;
        }
        ports->push_back(std::move(port));
    }
    return 1;
}

int ports_check(const PortRoots& roots, const std::vector<PortInfo>& ports, std::vector<PortState>* states)
{
    if (states == nullptr) {
        errno = EINVAL;
        return 0;
    }
    states->assign(ports.size(), PortState{});
    // One pass over /proc for all ports: every node that exists is looked for.
    std::vector<FileId> wanted;
    std::vector<std::size_t> wanted_port;
    for (std::size_t i = 0; i < ports.size(); ++i) {
        PortState& state = (*states)[i];
        const std::string path = device_resolved(ports[i].device_path.c_str());
        FileId id{};
        if (path.empty() || !file_id_of(path, &id)) {
            // A folder on the way this user may not search hides the node.
            state.access = errno == EACCES ? PORT_DENIED : PORT_MISSING;
            state.os_error = static_cast<std::uint32_t>(errno);
        } else if (faccessat(AT_FDCWD, path.c_str(), R_OK | W_OK, AT_EACCESS) != 0) {
            state.os_error = static_cast<std::uint32_t>(errno);
            state.access = errno == EACCES || errno == EPERM ? PORT_DENIED : PORT_FAILED;
            state.group = group_of(path);
        } else {
            wanted.push_back(id);
            wanted_port.push_back(i);
        }
    }
    const std::vector<PortHolder> holders = holders_find(roots.proc, wanted);
    for (std::size_t k = 0; k < holders.size(); ++k) {
        if (holders[k].pid != 0) {
            PortState& state = (*states)[wanted_port[k]];
            state.access = PORT_BUSY;
            state.os_error = EBUSY;
            state.holder_pid = static_cast<std::uint32_t>(holders[k].pid);
            state.holder_name = holders[k].name;
        }
    }
    return 1;
}

void port_open_diagnose(const PortRoots& roots, const char* device_path, std::uint32_t os_error, PortState* state)
{
    *state = PortState{};
    state->os_error = os_error;
    const std::string path = device_resolved(device_path != nullptr ? device_path : "");
    switch (os_error) {
    case ENOENT:
    case ENOTDIR:
    case ENODEV:
    case ENXIO:
        state->access = PORT_MISSING;
        return;
    case EACCES:
    case EPERM:
        state->access = PORT_DENIED;
        state->group = group_of(path);
        return;
    case EBUSY: {
        state->access = PORT_BUSY;
        FileId id{};
        if (file_id_of(path, &id)) {
            const PortHolder holder = holders_find(roots.proc, {id}).front();
            state->holder_pid = static_cast<std::uint32_t>(holder.pid);
            state->holder_name = holder.name;
        }
        return;
    }
    // serial_open's first terminal call on a file or a non-tty device.
    case ENOTTY:
        state->access = PORT_NOT_SERIAL;
        return;
    default:
        state->access = PORT_FAILED;
        return;
    }
}
