// The platform's port listing on POSIX (Linux): the ports from sysfs, their
// names and by-id links from /dev, their holders from /proc. Nothing here opens
// a port: opening one raises DTR and RTS, which resets some boards.
//
// Who holds a port is read from the link text of each descriptor in
// /proc/PID/fd, never from a stat() of it: stat follows the link to the open
// file, and a file on a hung network mount would hang the listing.
//
// An rfcomm tty (a Bluetooth link) has a device in sysfs only while it is
// connected: the connection, below the Bluetooth controller. So a bound but
// unconnected /dev/rfcommN, which an open would connect, is not listed, and a
// connected one is listed as a Bluetooth link without the USB facts of the
// controller above it, which say nothing of the remote device.
#include "platform/platform_ports.h"

#include "platform/platform.h"
#include "platform/posix_device.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string_view>
#include <utility>

namespace {

// sysfs attributes and /proc files read here are one short line; longer is cut.
constexpr std::size_t PORT_ATTRIBUTE_MAX_BYTES = 256;
constexpr std::size_t PORT_PATH_MAX_BYTES = 4096;
// A serial-core port whose "type" is 0 (PORT_UNKNOWN) has no UART behind it.
constexpr long PORT_TYPE_UNKNOWN = 0;
// A UUCP lock file holds its owner's pid: ten digits and a line end (HDB
// form), or the pid's four bytes (the older binary form). Anything longer is
// no lock file this code can read, and is not taken as a lock.
constexpr std::size_t PORT_LOCK_MAX_BYTES = 32;
constexpr std::size_t PORT_LOCK_BINARY_BYTES = 4;
// The largest pid Linux hands out (PID_MAX_LIMIT on 64-bit systems).
constexpr long PORT_PID_MAX = 4194304;
// Where a pseudo-terminal's slaves are, and the names its master has.
constexpr std::string_view PTS_FOLDER = "/dev/pts/";
constexpr const char* PTY_MASTER_NAMES[] = {"/dev/ptmx", "/dev/pts/ptmx"};

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

// One node looked for: the texts a descriptor's link in /proc can have for
// it. The kernel writes the path the node has (resolved: /dev/ttyUSB0 for a
// process that opened a by-id link), so the path as named and its real path
// are enough.
struct WantedNode {
    std::vector<std::string> texts;
    long pts_index = -1;  // a pseudo-terminal's slave (/dev/pts/N): N
};

WantedNode wanted_node(const std::string& path)
{
    WantedNode node;
    if (!path.empty() && path[0] == '/') {
        node.texts.push_back(path);
    }
    const std::string real = path_real(path);
    if (!real.empty() && real != path) {
        node.texts.push_back(real);
    }
    const std::string& resolved = real.empty() ? path : real;
    if (resolved.starts_with(PTS_FOLDER)) {
        const char* first = resolved.data() + PTS_FOLDER.size();
        const char* last = resolved.data() + resolved.size();
        long index = -1;
        const auto [end, error] = std::from_chars(first, last, index);
        if (error == std::errc() && end == last && end != first) {
            node.pts_index = index;
        }
    }
    return node;
}

// The pseudo-terminal a master descriptor serves: "tty-index:" in its fdinfo.
long pty_master_index(const std::string& process_folder, const char* fd_name)
{
    const int fd = open((process_folder + "/fdinfo/" + fd_name).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        return -1;
    }
    char buffer[PORT_ATTRIBUTE_MAX_BYTES * 4];
    ssize_t got;
    do {
        got = read(fd, buffer, sizeof buffer - 1);
    } while (got < 0 && errno == EINTR);
    (void)close(fd);
    if (got <= 0) {
        return -1;
    }
    buffer[got] = '\0';
    const char* field = std::strstr(buffer, "tty-index:");
    if (field == nullptr) {
        return -1;
    }
    char* end = nullptr;
    const long index = std::strtol(field + std::strlen("tty-index:"), &end, 10);
    return end != field + std::strlen("tty-index:") ? index : -1;
}

bool pty_master_text(const std::string& text)
{
    for (const char* name : PTY_MASTER_NAMES) {
        if (text == name) {
            return true;
        }
    }
    return false;
}

// Whose descriptors on a node count as holding it.
enum HolderRule {
    HOLDER_ANY,          // every process's (an open was refused: whoever has it is named)
    HOLDER_NOT_FAR_END,  // not the far end's of a pseudo-terminal
};

// For each wanted node, the lowest-numbered process that has it open, found
// by the link text of the descriptors under proc_root/PID/fd; the process
// ignored (this one, or 0 for none) is passed over. With HOLDER_NOT_FAR_END,
// a process that holds a pseudo-terminal's master is that terminal's far end
// (socat, a simulator playing the device), not a program using the port: its
// own descriptors on the slave do not count. Processes this user may not
// look into are passed over too: then the holder stays unknown.
std::vector<PortHolder> holders_find(const std::string& proc_root, const std::vector<WantedNode>& wanted,
                                     pid_t ignored, HolderRule rule)
{
    std::vector<PortHolder> holders(wanted.size());
    std::map<std::string, std::vector<std::size_t>> by_text;
    bool any_pts = false;
    for (std::size_t i = 0; i < wanted.size(); ++i) {
        for (const std::string& text : wanted[i].texts) {
            by_text[text].push_back(i);
        }
        any_pts = any_pts || (rule == HOLDER_NOT_FAR_END && wanted[i].pts_index >= 0);
    }
    if (by_text.empty()) {
        return holders;
    }
    std::vector<std::string> entries;
    (void)folder_names(proc_root, &entries);
    std::vector<pid_t> pids;
    for (const std::string& entry : entries) {
        pid_t pid = 0;
        if (pid_name(entry, &pid) && pid != ignored) {
            pids.push_back(pid);
        }
    }
    std::sort(pids.begin(), pids.end());
    std::vector<bool> held(wanted.size());
    std::vector<long> masters;
    for (const pid_t pid : pids) {
        const std::string process_folder = proc_root + "/" + std::to_string(pid);
        const std::string fd_folder = process_folder + "/fd";
        DIR* folder = opendir(fd_folder.c_str());
        if (folder == nullptr) {
            continue;
        }
        std::fill(held.begin(), held.end(), false);
        masters.clear();
        while (const dirent* entry = readdir(folder)) {
            char target[PORT_PATH_MAX_BYTES];
            if (entry->d_name[0] == '.') {
                continue;
            }
            const ssize_t length = readlinkat(dirfd(folder), entry->d_name, target, sizeof target);
            if (length <= 0 || static_cast<std::size_t>(length) >= sizeof target) {
                continue;
            }
            const std::string text(target, static_cast<std::size_t>(length));
            const auto found = by_text.find(text);
            if (found != by_text.end()) {
                for (const std::size_t i : found->second) {
                    held[i] = true;
                }
            } else if (any_pts && pty_master_text(text)) {
                masters.push_back(pty_master_index(process_folder, entry->d_name));
            }
        }
        (void)closedir(folder);
        for (std::size_t i = 0; i < wanted.size(); ++i) {
            const bool far_end = wanted[i].pts_index >= 0 &&
                                 std::find(masters.begin(), masters.end(), wanted[i].pts_index) != masters.end();
            if (held[i] && !far_end && holders[i].pid == 0) {
                holders[i].pid = pid;
                holders[i].name = process_name(process_folder);
            }
        }
    }
    return holders;
}

// The pid in a UUCP lock file's content: ASCII digits with blanks around
// them, or the binary four bytes. 0 when it is neither.
pid_t lock_pid_parse(const char* data, std::size_t size)
{
    const std::string_view text(data, size);
    const std::size_t first = text.find_first_not_of(" \t");
    const std::size_t last = text.find_last_not_of(" \t\r\n");
    long pid = 0;
    if (first != std::string_view::npos && last != std::string_view::npos && first <= last) {
        const char* begin = data + first;
        const char* end = data + last + 1;
        const auto [stop, error] = std::from_chars(begin, end, pid);
        if (error == std::errc() && stop == end) {
            return pid > 0 && pid <= PORT_PID_MAX ? static_cast<pid_t>(pid) : 0;
        }
    }
    if (size == PORT_LOCK_BINARY_BYTES) {
        std::int32_t binary = 0;
        std::memcpy(&binary, data, sizeof binary);
        return binary > 0 && binary <= PORT_PID_MAX ? static_cast<pid_t>(binary) : 0;
    }
    return 0;
}

// The pid in lock_folder/LCK..NAME, 0 when there is no readable lock there.
pid_t lock_pid_read(const std::string& path)
{
    // O_NONBLOCK: something other than a file there (a FIFO) must not block.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        return 0;
    }
    char buffer[PORT_LOCK_MAX_BYTES];
    ssize_t got;
    do {
        got = read(fd, buffer, sizeof buffer);
    } while (got < 0 && errno == EINTR);
    (void)close(fd);
    if (got <= 0 || static_cast<std::size_t>(got) >= sizeof buffer) {
        return 0;
    }
    return lock_pid_parse(buffer, static_cast<std::size_t>(got));
}

// The live process that holds a UUCP lock on the node at path (LCK..ttyUSB0
// for /dev/ttyUSB0 and for a link to it), other than the one ignored. A lock
// whose process has ended (no proc_root/PID) is stale and does not count.
PortHolder lock_holder_find(const PortRoots& roots, const std::string& path, pid_t ignored)
{
    if (path.empty()) {
        return PortHolder{};
    }
    std::vector<std::string> names{path_base(path)};
    const std::string real_name = path_base(path_real(path));
    if (!real_name.empty() && real_name != names.front()) {
        names.push_back(real_name);
    }
    for (const std::string& folder : roots.locks) {
        for (const std::string& name : names) {
            const pid_t pid = lock_pid_read(folder + "/LCK.." + name);
            const std::string process_folder = roots.proc + "/" + std::to_string(pid);
            if (pid != 0 && pid != ignored && access(process_folder.c_str(), F_OK) == 0) {
                return PortHolder{pid, file_line(process_folder + "/comm")};
            }
        }
    }
    return PortHolder{};
}

// Whether the node at path is a terminal, the only kind of device that can be
// a port: a tty sysfs lists (in a fake tree too), or a character device that
// sysfs does not place in another class (a pseudo-terminal's slave has no
// sysfs entry). /dev/null, which every daemon holds, and a plain file are
// not: their open fails on its own, as no serial port.
bool node_is_terminal(const PortRoots& roots, const std::string& path)
{
    const std::string real = path_real(path);
    if (real.empty()) {
        return false;
    }
    if (access((roots.sys + "/class/tty/" + path_base(real)).c_str(), F_OK) == 0) {
        return true;
    }
    struct stat status {};
    if (stat(real.c_str(), &status) != 0 || !S_ISCHR(status.st_mode)) {
        return false;
    }
    const std::string entry = roots.sys + "/dev/char/" + std::to_string(major(status.st_rdev)) + ":" +
                              std::to_string(minor(status.st_rdev));
    if (access(entry.c_str(), F_OK) != 0) {
        return true;
    }
    return link_base(entry + "/subsystem") == "tty";
}

void state_busy(const PortHolder& holder, PortState* state)
{
    state->access = PORT_BUSY;
    state->os_error = EBUSY;
    state->holder_pid = static_cast<std::uint32_t>(holder.pid);
    state->holder_name = holder.name;
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

int ports_check(const PortRoots& roots, const std::vector<PortInfo>& ports, PortCheckMode,
                std::vector<PortState>* states)
{
    if (states == nullptr) {
        errno = EINVAL;
        return 0;
    }
    states->assign(ports.size(), PortState{});
    // One pass over /proc for all ports: every node that exists is looked for.
    std::vector<WantedNode> wanted;
    std::vector<std::string> wanted_path;
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
            wanted.push_back(wanted_node(path));
            wanted_path.push_back(path);
            wanted_port.push_back(i);
        }
    }
    const std::vector<PortHolder> holders = holders_find(roots.proc, wanted, 0, HOLDER_NOT_FAR_END);
    for (std::size_t k = 0; k < holders.size(); ++k) {
        const PortHolder holder = holders[k].pid != 0 ? holders[k] : lock_holder_find(roots, wanted_path[k], 0);
        if (holder.pid != 0) {
            state_busy(holder, &(*states)[wanted_port[k]]);
        }
    }
    return 1;
}

int port_holder_find(const PortRoots& roots, const char* device_path, PortState* state)
{
    *state = PortState{};
    const std::string path = device_resolved(device_path != nullptr ? device_path : "");
    if (path.empty() || !node_is_terminal(roots, path)) {
        return 0;
    }
    const pid_t self = getpid();
    PortHolder holder = holders_find(roots.proc, {wanted_node(path)}, self, HOLDER_NOT_FAR_END).front();
    if (holder.pid == 0) {
        holder = lock_holder_find(roots, path, self);
    }
    if (holder.pid == 0) {
        return 0;
    }
    state_busy(holder, state);
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
        // This process is named too: a second open of a port it holds is refused as well.
        PortHolder holder = holders_find(roots.proc, {wanted_node(path)}, 0, HOLDER_ANY).front();
        if (holder.pid == 0) {
            holder = lock_holder_find(roots, path, 0);
        }
        state->holder_pid = static_cast<std::uint32_t>(holder.pid);
        state->holder_name = holder.name;
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

int port_device_identity(const char* device_path, char* identity, std::size_t capacity)
{
    char resolved[SERIAL_DEVICE_PATH_MAX_BYTES];
    if (device_path == nullptr || !serial_device_path(device_path, resolved, sizeof resolved)) {
        return 0;
    }
    const std::string real = path_real(resolved);
    const std::string& chosen = real.empty() ? std::string(resolved) : real;
    if (chosen.size() >= capacity) {
        errno = ENAMETOOLONG;
        return 0;
    }
    std::memcpy(identity, chosen.c_str(), chosen.size() + 1);
    return 1;
}
