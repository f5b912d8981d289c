#include "tool/port_choice.h"

#include <cctype>
#include <filesystem>
#include <system_error>

#include "platform/platform.h"
#include "tool/outcome.h"

namespace {

[[noreturn]] void port_choice_refuse(const std::string& text, const std::string& why)
{
    throw ToolFailure{ExitStatus::usage, "--port " + text, why,
                      "name the port as COMn (COM1, COM12) or by its device path (/dev/ttyUSB0); "
                      "marrowlink ports lists the serial ports"};
}

// "COM" in any case, then digits only: the number, else 0.
unsigned long port_choice_com_number(const std::string& text)
{
    if (text.size() <= 3 || text.size() > 3 + 9) {
        return 0;
    }
    for (std::size_t i = 0; i < 3; ++i) {
        if (std::toupper(static_cast<unsigned char>(text[i])) != "COM"[i]) {
            return 0;
        }
    }
    unsigned long number = 0;
    for (std::size_t i = 3; i < text.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) {
            return 0;
        }
        number = number * 10 + static_cast<unsigned long>(text[i] - '0');
    }
    return number;
}

// A path named from the current folder, made whole: update opens the port, and
// the download tool is given its name, inside the DFUWizard folder. Any other
// path ("/dev/ttyUSB0", "\\\\.\\COM5", "C:\\...") as it is.
std::string port_choice_whole_path(const std::string& path)
{
    if (path[0] == '/' || path[0] == '\\' || std::filesystem::path(path).is_absolute()) {
        return path;
    }
    std::error_code error;
    const std::filesystem::path whole = std::filesystem::absolute(path, error);
    return error ? path : whole.string();
}

// The Win32 device namespace prefix ("\\\\.\\COM5") and the DOS device colon
// ("COM5:") around a COM name, which people copy from other tools: "COM5"
// is left. Any other text as it is.
std::string port_choice_com_bare(const std::string& text)
{
    static const std::string DEVICE_PREFIX = "\\\\.\\";
    std::string bare = text.starts_with(DEVICE_PREFIX) ? text.substr(DEVICE_PREFIX.size()) : text;
    if (bare.size() > 4 && bare.back() == ':') {
        bare.pop_back();
    }
    return bare;
}

bool port_choice_looks_like_com(const std::string& text)
{
    return text.size() > 3 && std::toupper(static_cast<unsigned char>(text[0])) == 'C' &&
           std::toupper(static_cast<unsigned char>(text[1])) == 'O' &&
           std::toupper(static_cast<unsigned char>(text[2])) == 'M' &&
           std::isdigit(static_cast<unsigned char>(text[3]));
}

}  // namespace

ToolPort port_choice_parse(const std::string& text)
{
    if (text.empty()) {
        port_choice_refuse(text, "the port name is empty");
    }
    if (text.find_first_of(" \t") != std::string::npos) {
        port_choice_refuse(text, "a port name with blanks cannot be passed to the download tool");
    }
    // The download tool's command line is quoted with them: one inside would end the quote.
    if (text.find('"') != std::string::npos) {
        port_choice_refuse(text, "a port name with a quotation mark (\") cannot be passed to the download tool");
    }
    const std::string com = port_choice_com_bare(text);
    if (port_choice_looks_like_com(com)) {
        const unsigned long number = port_choice_com_number(com);
        if (number == 0 || number > TOOL_COM_NUMBER_MAX) {
            port_choice_refuse(text, "COM ports are numbered from 1 to " + std::to_string(TOOL_COM_NUMBER_MAX));
        }
        const std::string name = "COM" + std::to_string(number);
        return ToolPort{"\\\\.\\" + name, name};
    }
    const std::string path = port_choice_whole_path(text);
    if (path.find_first_of(" \t") != std::string::npos) {
        port_choice_refuse(text, "its whole path, " + path + ", has blanks and cannot be passed to the download tool");
    }
    if (path.size() >= SERIAL_DEVICE_PATH_MAX_BYTES) {
        port_choice_refuse(text.substr(0, 40) + "...", "the device path is longer than " +
                                                           std::to_string(SERIAL_DEVICE_PATH_MAX_BYTES - 1) +
                                                           " characters");
    }
    return ToolPort{path, path};
}
