// The platform's port listing on Windows: the COM ports SetupAPI knows (by
// their device interface, then by the Ports class), then any others named in
// HARDWARE\DEVICEMAP\SERIALCOMM. Windows tells neither who holds a port nor
// which group may open it: a port another program has open refuses CreateFile
// with ERROR_ACCESS_DENIED, and that is reported as busy.
//
// Only an open tells a port's state, and an open pulses DTR and RTS: the
// ports are opened only when the caller asks (PORT_CHECK_OPEN, for a probe).
// Opening a port to check it can block: a "Standard Serial over Bluetooth
// link" port connects to its remote device first, for tens of seconds when
// that device is away. Such ports are not opened, and every other open is
// given up after PORT_CHECK_OPEN_TIMEOUT_MS.
#include "platform/platform_ports.h"
#include "platform/win32_open_within.h"

#include <windows.h>

#include <setupapi.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

namespace {

// GUID_DEVINTERFACE_COMPORT and GUID_DEVCLASS_PORTS, spelled out so that no
// initguid.h dance is needed.
const GUID PORTS_INTERFACE_GUID = {0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};
const GUID PORTS_CLASS_GUID = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

// Registry strings and device properties read here are short; longer are cut.
constexpr DWORD PORT_TEXT_MAX_BYTES = 512;

std::string text_of(const char* buffer, DWORD size)
{
    return std::string(buffer, strnlen(buffer, size));
}

std::string device_property(HDEVINFO set, SP_DEVINFO_DATA* info, DWORD property)
{
    char buffer[PORT_TEXT_MAX_BYTES] = {};
    DWORD type = 0;
    if (!SetupDiGetDeviceRegistryPropertyA(set, info, property, &type, reinterpret_cast<BYTE*>(buffer),
                                           sizeof buffer - 2, nullptr)) {
        return std::string();
    }
    // REG_MULTI_SZ (the hardware ids): the first string.
    return text_of(buffer, sizeof buffer);
}

std::string registry_text(HKEY key, const char* value)
{
    char buffer[PORT_TEXT_MAX_BYTES] = {};
    DWORD type = 0;
    DWORD size = sizeof buffer - 1;
    if (RegQueryValueExA(key, value, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS ||
        type != REG_SZ) {
        return std::string();
    }
    return text_of(buffer, size);
}

bool is_com_name(const std::string& name)
{
    return name.size() > 3 && name.compare(0, 3, "COM") == 0 &&
           name.find_first_not_of("0123456789", 3) == std::string::npos;
}

// "USB\VID_0403&PID_6001\..." or "FTDIBUS\VID_0403+PID_6001+...": "0403:6001".
std::string usb_id_of(const std::string& hardware_id)
{
    const std::size_t vendor = hardware_id.find("VID_");
    const std::size_t product = hardware_id.find("PID_");
    if (vendor == std::string::npos || product == std::string::npos || vendor + 8 > hardware_id.size() ||
        product + 8 > hardware_id.size()) {
        return std::string();
    }
    std::string id = hardware_id.substr(vendor + 4, 4) + ":" + hardware_id.substr(product + 4, 4);
    std::transform(id.begin(), id.end(), id.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return id;
}

PortInfo port_named(const std::string& name)
{
    PortInfo port;
    port.name = name;
    port.device_path = "\\\\.\\" + name;
    return port;
}

bool port_listed(const std::vector<PortInfo>& ports, const std::string& name)
{
    return std::any_of(ports.begin(), ports.end(), [&](const PortInfo& port) { return port.name == name; });
}

void ports_from_setup(const GUID& guid, DWORD flags, std::vector<PortInfo>* ports)
{
    HDEVINFO set = SetupDiGetClassDevsA(&guid, nullptr, nullptr, flags);
    if (set == INVALID_HANDLE_VALUE) {
        return;
    }
    for (DWORD index = 0;; ++index) {
        SP_DEVINFO_DATA info{};
        info.cbSize = sizeof info;
        if (!SetupDiEnumDeviceInfo(set, index, &info)) {
            break;
        }
        HKEY key = SetupDiOpenDevRegKey(set, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) {
            continue;
        }
        const std::string name = registry_text(key, "PortName");
        (void)RegCloseKey(key);
        // The Ports class holds printer ports too.
        if (!is_com_name(name) || port_listed(*ports, name)) {
            continue;
        }
        PortInfo port = port_named(name);
        port.description = device_property(set, &info, SPDRP_FRIENDLYNAME);
        port.manufacturer = device_property(set, &info, SPDRP_MFG);
        port.driver = device_property(set, &info, SPDRP_SERVICE);
        const std::string hardware_id = device_property(set, &info, SPDRP_HARDWAREID);
        port.usb_id = usb_id_of(hardware_id);
        port.bluetooth_link = ports_bluetooth_from_setup(hardware_id, port.driver);
        ports->push_back(std::move(port));
    }
    (void)SetupDiDestroyDeviceInfoList(set);
}

void ports_from_serialcomm(std::vector<PortInfo>* ports)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return;
    }
    for (DWORD index = 0;; ++index) {
        char value_name[PORT_TEXT_MAX_BYTES] = {};
        DWORD value_name_size = sizeof value_name;
        char data[PORT_TEXT_MAX_BYTES] = {};
        DWORD data_size = sizeof data - 1;
        DWORD type = 0;
        const LONG result = RegEnumValueA(key, index, value_name, &value_name_size, nullptr, &type,
                                          reinterpret_cast<BYTE*>(data), &data_size);
        if (result == ERROR_NO_MORE_ITEMS) {
            break;
        }
        const std::string name = text_of(data, data_size);
        if (result != ERROR_SUCCESS || type != REG_SZ || !is_com_name(name) || port_listed(*ports, name)) {
            continue;
        }
        PortInfo port = port_named(name);
        port.description = text_of(value_name, value_name_size);  // "\Device\Serial0"
        port.bluetooth_link = ports_bluetooth_from_serialcomm(port.description);
        ports->push_back(std::move(port));
    }
    (void)RegCloseKey(key);
}

int com_number(const std::string& name)
{
    return std::atoi(name.c_str() + 3);
}

// As the updater opens a port: read and write, no sharing.
PlatformHandle port_check_open(const char* device_path)
{
    return reinterpret_cast<PlatformHandle>(CreateFileA(device_path, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

}  // namespace

int ports_list(const PortRoots&, std::vector<PortInfo>* ports)
{
    if (ports == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    ports->clear();
    ports_from_setup(PORTS_INTERFACE_GUID, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE, ports);
    ports_from_setup(PORTS_CLASS_GUID, DIGCF_PRESENT, ports);
    ports_from_serialcomm(ports);
    std::sort(ports->begin(), ports->end(),
              [](const PortInfo& a, const PortInfo& b) { return com_number(a.name) < com_number(b.name); });
    return 1;
}

int ports_check(const PortRoots& roots, const std::vector<PortInfo>& ports, PortCheckMode mode,
                std::vector<PortState>* states)
{
    if (states == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    states->assign(ports.size(), PortState{});
    for (std::size_t i = 0; i < ports.size(); ++i) {
        PortState& state = (*states)[i];
        if (ports[i].bluetooth_link) {
            state.access = PORT_NOT_CHECKED;
            continue;
        }
        // Only an open tells whether a COM port is free, and each open pulses
        // DTR and RTS, which resets some boards: a plain listing leaves them be.
        if (mode == PORT_CHECK_LOOK) {
            state.access = PORT_NOT_OPENED;
            continue;
        }
        PlatformHandle handle = PLATFORM_INVALID_HANDLE;
        int timed_out = 0;
        if (port_open_within(port_check_open, ports[i].device_path.c_str(), PORT_CHECK_OPEN_TIMEOUT_MS, &handle,
                             &timed_out)) {
            (void)CloseHandle(reinterpret_cast<HANDLE>(handle));
        } else if (timed_out) {
            state.access = PORT_TIMED_OUT;
            state.os_error = GetLastError();
        } else {
            port_open_diagnose(roots, ports[i].device_path.c_str(), GetLastError(), &state);
        }
    }
    return 1;
}

int port_holder_find(const PortRoots&, const char*, PortState* state)
{
    // A COM port that another program has open refuses CreateFile itself
    // (ERROR_ACCESS_DENIED), before the driver moves any line.
    *state = PortState{};
    return 0;
}

void port_open_diagnose(const PortRoots&, const char*, std::uint32_t os_error, PortState* state)
{
    *state = PortState{};
    state->os_error = os_error;
    switch (os_error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        state->access = PORT_MISSING;
        return;
    // A COM port another program has open refuses every other open this way.
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        state->access = PORT_BUSY;
        return;
    default:
        state->access = PORT_FAILED;
        return;
    }
}

int port_device_identity(const char* device_path, char* identity, std::size_t capacity)
{
    // "\\\\.\\" is only the device namespace's prefix: the name is the port.
    static const char DEVICE_PREFIX[] = "\\\\.\\";
    const char* name = device_path;
    if (name == nullptr) {
        return 0;
    }
    if (std::strncmp(name, DEVICE_PREFIX, sizeof DEVICE_PREFIX - 1) == 0) {
        name += sizeof DEVICE_PREFIX - 1;
    }
    const std::size_t length = std::strlen(name);
    if (length >= capacity) {
        return 0;
    }
    for (std::size_t i = 0; i <= length; ++i) {
        identity[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(name[i])));
    }
    return 1;
}
