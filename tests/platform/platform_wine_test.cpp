// A Windows download tool through Wine, without Wine: the program headers
// read, where the prefix goes, the order of the tool's choice, the COM port
// mappings and their check, the prefix made once by stand-in wine commands
// (and an older one given the COM ports it lacks), and the launcher's
// hand-shake (a stand-in wine plays the launcher and Wine's mount manager),
// where a port leading elsewhere must keep the tool from starting, and where
// runs at once each have a COM port of their own.
#include "platform/download_tool.h"
#include "platform/platform.h"
#include "platform/posix_wine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <libgen.h>
#include <limits.h>
#include <stdlib.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr std::uint64_t TOOL_END_LIMIT_MS = 5000;

// The headers of a Windows program as a linker writes them: DOS header,
// "PE\0\0" at 0x80, the file header, the optional header's magic and subsystem.
std::vector<unsigned char> pe_bytes(std::uint16_t machine, std::uint16_t magic, std::uint16_t subsystem,
                                    std::uint16_t characteristics = 0x0102)
{
    std::vector<unsigned char> bytes(0x200, 0);
    auto put16 = [&](std::size_t at, std::uint16_t value) {
        bytes[at] = static_cast<unsigned char>(value);
        bytes[at + 1] = static_cast<unsigned char>(value >> 8);
    };
    bytes[0] = 'M';
    bytes[1] = 'Z';
    put16(0x3c, 0x80);
    std::memcpy(bytes.data() + 0x80, "PE\0\0", 4);
    put16(0x84, machine);
    put16(0x84 + 16, magic == 0x10b ? 224 : 240);  // size of the optional header
    put16(0x84 + 18, characteristics);
    put16(0x98, magic);
    put16(0x98 + 68, subsystem);
    return bytes;
}

std::string read_file(const std::string& path)
{
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

void write_file(const std::string& path, const std::string& text, mode_t mode = 0644)
{
    std::ofstream(path) << text;
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
}

void write_program(const std::string& path, const std::vector<unsigned char>& bytes)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
}

class WineTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char folder_template[] = "/tmp/platform_wine_test.XXXXXX";
        ASSERT_NE(mkdtemp(folder_template), nullptr);
        folder = folder_template;
        ASSERT_NE(getcwd(start_folder, sizeof start_folder), nullptr);
        for (const char* name : SAVED) {
            const char* value = getenv(name);
            saved.emplace_back(value != nullptr ? value : "\x01");
        }
    }

    void TearDown() override
    {
        ASSERT_EQ(chdir(start_folder), 0);
        for (std::size_t i = 0; i < saved.size(); ++i) {
            if (saved[i] == "\x01") {
                unsetenv(SAVED[i]);
            } else {
                setenv(SAVED[i], saved[i].c_str(), 1);
            }
        }
        ASSERT_EQ(system(("rm -rf '" + folder + "'").c_str()), 0);
    }

    static constexpr const char* SAVED[] = {"PATH", "XDG_STATE_HOME", "HOME", "DISPLAY", "COM1_DEVICE",
                                            "FAKE_WINE_LOG", "FAKE_COM1_TARGET", "FAKE_EXIT_CODE",
                                            "FAKE_WINEBOOT_FAILS", "FAKE_TOOL_RUNS"};
    std::string folder;
    char start_folder[PATH_MAX] = {};
    std::vector<std::string> saved;
};

TEST(PeHeaderTest, BitsAndSubsystemOfWindowsProgramsAndWhyOthersAreNone)
{
    struct Case {
        const char* what;
        std::vector<unsigned char> bytes;
        int bits;          // 0: refused
        std::uint16_t subsystem;
        const char* why;  // part of the refusal
    };
    std::vector<unsigned char> far_header = pe_bytes(0x14c, 0x10b, 3);
    std::vector<unsigned char> cut_short = pe_bytes(0x14c, 0x10b, 3);
    cut_short.resize(0xa0);
    far_header[0x3c] = 0xf0;
    far_header[0x3f] = 0xff;  // e_lfanew 0xff0000f0: far past the bytes, must not wrap
    const Case cases[] = {
        {"32-bit console program", pe_bytes(0x14c, 0x10b, 3), 32, PE_SUBSYSTEM_WINDOWS_CUI, ""},
        {"64-bit windowed program", pe_bytes(0x8664, 0x20b, 2), 64, PE_SUBSYSTEM_WINDOWS_GUI, ""},
        {"library", pe_bytes(0x14c, 0x10b, 2, 0x2102), 0, 0, "library"},
        {"ARM64 program", pe_bytes(0xaa64, 0x20b, 3), 0, 0, "another processor (machine 0xaa64)"},
        {"i386 machine with a PE32+ header", pe_bytes(0x14c, 0x20b, 3), 0, 0, "another processor"},
        {"ELF file", {0x7f, 'E', 'L', 'F', 2, 1, 1, 0}, 0, 0, "no DOS header"},
        {"PE header past the end", far_header, 0, 0, "no PE header"},
        {"cut short in the optional header", cut_short, 0, 0, "no PE header"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PeFacts facts{};
        char why[200] = "";
        EXPECT_EQ(pe_header_parse(c.bytes.data(), c.bytes.size(), &facts, why, sizeof why), c.bits != 0 ? 1 : 0);
        if (c.bits != 0) {
            EXPECT_EQ(facts.bits, c.bits);
            EXPECT_EQ(facts.subsystem, c.subsystem);
        } else {
            EXPECT_NE(std::string(why).find(c.why), std::string::npos) << why;
        }
    }
}

TEST(WineStateFolderTest, XdgStateHomeThenHomeAndNeverARelativePath)
{
    struct Case {
        const char* xdg;
        const char* home;
        const char* expected;  // null: no folder
    };
    const std::string long_home = "/" + std::string(300, 'h');
    const Case cases[] = {
        {"/state", "/home/u", "/state/marrowlink"},
        {nullptr, "/home/u", "/home/u/.local/state/marrowlink"},
        {"", "/home/u", "/home/u/.local/state/marrowlink"},
        {"relative/state", "/home/u", "/home/u/.local/state/marrowlink"},
        {nullptr, "relative", nullptr},
        {nullptr, nullptr, nullptr},
        {nullptr, long_home.c_str(), nullptr},  // does not fit
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.xdg != nullptr ? c.xdg : "(unset)") + ", " + (c.home != nullptr ? c.home : "(unset)"));
        char state[256] = "";
        EXPECT_EQ(wine_state_folder(c.xdg, c.home, state, sizeof state), c.expected != nullptr ? 1 : 0);
        if (c.expected != nullptr) {
            EXPECT_STREQ(state, c.expected);
        }
    }
}

// The prefix as Wine's mount manager leaves it: dosdevices/com1 leads to the
// link the Ports value names (or, in a new prefix, to /dev/ttyS0).
TEST_F(WineTest, Com1MustLeadToTheChosenDeviceThroughThePrefixsLink)
{
    const std::string prefix = folder + "/prefix";
    const std::string device = folder + "/pts7";    // stands for the adapter's port
    const std::string console = folder + "/ttyS0";  // stands for the machine's console
    const std::string by_id = folder + "/by-id-adapter";
    ASSERT_EQ(system(("mkdir -p '" + prefix + "/dosdevices'").c_str()), 0);
    write_file(device, "");
    write_file(console, "");
    ASSERT_EQ(symlink(device.c_str(), by_id.c_str()), 0);
    const std::string com1 = prefix + "/dosdevices/com1";
    struct Case {
        const char* what;
        std::string dos_target;  // where dosdevices/com1 leads
        const char* mapped;      // the device the run maps (null: none)
        const char* checked;     // the device the run chose
        int ok;
        const char* why;
    };
    const std::string own_link = prefix + "/marrowlink-com1";
    const Case cases[] = {
        {"mapped to the chosen device", own_link, device.c_str(), device.c_str(), 1, ""},
        {"chosen by a link to it", own_link, by_id.c_str(), device.c_str(), 1, ""},
        {"not mapped (after a run)", own_link, nullptr, device.c_str(), 0, "leads nowhere"},
        {"Wine's own mapping of a new prefix", console, device.c_str(), device.c_str(), 0, "ttyS0, not to"},
        {"another device mapped", own_link, console.c_str(), device.c_str(), 0, "ttyS0, not to"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        unlink(com1.c_str());
        ASSERT_EQ(symlink(c.dos_target.c_str(), com1.c_str()), 0);
        ASSERT_EQ(wine_port_unmap(prefix.c_str(), 1), 1);
        char why[512] = "";
        if (c.mapped != nullptr) {
            ASSERT_EQ(wine_port_map(prefix.c_str(), 1, c.mapped, why, sizeof why), 1) << why;
        }
        EXPECT_EQ(wine_port_check(prefix.c_str(), 1, c.checked, why, sizeof why), c.ok);
        EXPECT_NE(std::string(why).find(c.why), std::string::npos) << why;
    }
    // A device that is not there is never mapped.
    char why[512] = "";
    EXPECT_EQ(wine_port_map(prefix.c_str(), 1, (folder + "/gone").c_str(), why, sizeof why), 0);
}

TEST_F(WineTest, NativeToolInTheFolderThenTheExeThroughWineThenPath)
{
    const std::string tool_folder = folder + "/DFUWizard";
    const std::string on_path = folder + "/bin";
    ASSERT_EQ(mkdir(tool_folder.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(on_path.c_str(), 0755), 0);
    setenv("PATH", on_path.c_str(), 1);
    // The port the tool is given is asked for from inside the folder, as the update asks.
    ASSERT_EQ(chdir(tool_folder.c_str()), 0);
    setenv("COM1_DEVICE", "/dev/pts/7", 1);
    struct Case {
        const char* what;
        int native;            // DFUWizard in the folder: 0 none, 1 a program, 2 a file that is not executable
        int exe;               // DFUWizard.exe in the folder
        int path;              // DFUWizard on the PATH
        int kind;
    };
    const Case cases[] = {
        {"all three", 1, 1, 1, DOWNLOAD_TOOL_NATIVE_FOLDER},
        {"the .exe and one on the PATH", 0, 1, 1, DOWNLOAD_TOOL_WINE_FOLDER},
        {"a DFUWizard that is no program beside the .exe", 2, 1, 0, DOWNLOAD_TOOL_WINE_FOLDER},
        {"only on the PATH", 0, 0, 1, DOWNLOAD_TOOL_NATIVE_PATH},
        {"none", 0, 0, 0, DOWNLOAD_TOOL_NONE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        unlink((tool_folder + "/DFUWizard").c_str());
        unlink((tool_folder + "/DFUWizard.exe").c_str());
        unlink((on_path + "/DFUWizard").c_str());
        if (c.native != 0) {
            write_file(tool_folder + "/DFUWizard", "#!/bin/sh\n", c.native == 1 ? 0755 : 0644);
        }
        if (c.exe != 0) {
            write_program(tool_folder + "/DFUWizard.exe", pe_bytes(0x8664, 0x20b, 3));
        }
        if (c.path != 0) {
            write_file(on_path + "/DFUWizard", "#!/bin/sh\n", 0755);
        }
        DownloadToolChoice choice{};
        ASSERT_EQ(download_tool_choose(tool_folder.c_str(), "DFUWizard", &choice), 1);
        EXPECT_EQ(choice.kind, c.kind) << choice.path;
        ProcessToolPort port{};
        ASSERT_EQ(process_tool_port("DFUWizard", "\\\\.\\COM1", "COM1", &port), 1);
        const int wine = c.kind == DOWNLOAD_TOOL_WINE_FOLDER;
        EXPECT_STREQ(port.device, wine ? "/dev/pts/7" : "");
        ASSERT_EQ(process_tool_port("DFUWizard", "/dev/ttyUSB0", "/dev/ttyUSB0", &port), 1);
        EXPECT_STREQ(port.name, wine ? "COM1" : "/dev/ttyUSB0");
        EXPECT_STREQ(port.device, wine ? "/dev/ttyUSB0" : "");
    }
}

TEST_F(WineTest, LauncherBesideTheProgramOrInLibexecAnd32BitWineByItsLibraries)
{
    const std::string bin = folder + "/usr/bin";
    const std::string libexec = folder + "/usr/libexec/marrowlink";
    ASSERT_EQ(system(("mkdir -p '" + bin + "' '" + libexec + "' '" + folder + "/wine32/i386-windows'").c_str()), 0);
    char path[PATH_MAX] = "";
    EXPECT_EQ(wine_launcher_find(bin.c_str(), path, sizeof path), 0);
    write_file(libexec + "/" + WINE_LAUNCHER_NAME, "MZ");
    ASSERT_EQ(wine_launcher_find(bin.c_str(), path, sizeof path), 1);
    EXPECT_EQ(std::string(path), bin + "/../libexec/marrowlink/" + WINE_LAUNCHER_NAME);
    write_file(bin + "/" + WINE_LAUNCHER_NAME, "MZ");
    ASSERT_EQ(wine_launcher_find(bin.c_str(), path, sizeof path), 1);
    EXPECT_EQ(std::string(path), bin + "/" + WINE_LAUNCHER_NAME);

    const std::string wine32 = folder + "/wine32";
    const char* folders[] = {"/nonexistent/wine", wine32.c_str(), nullptr};
    EXPECT_EQ(wine_has_32_bit("/usr/bin/wine", folders), 0);
    write_file(wine32 + "/i386-windows/ntdll.dll", "MZ");
    EXPECT_EQ(wine_has_32_bit("/usr/bin/wine", folders), 1);
}

// Stand-in wine and wineserver commands: they log each call with the
// variables Wine reads, make a prefix's files as wineboot and reg would, and
// play marrowlink-wine-launcher.exe and Wine's mount manager.
constexpr char FAKE_WINE[] = R"SH(#!/bin/sh
echo "wine $* | prefix=$WINEPREFIX display=${DISPLAY-unset} overrides=$WINEDLLOVERRIDES arch=${WINEARCH-unset}" >> "$FAKE_WINE_LOG"
# The launcher waits up to 3 s for the file $1, else reports $2 and ends with exit status $3.
status_file=$2
wait_for() {
    i=0
    while [ ! -e "$1" ]; do
        sleep 0.01; i=$((i + 1))
        [ $i -gt 300 ] && { echo "$2" >> "$status_file"; exit "$3"; }
    done
}
case "$1" in
wineboot)
    [ -n "$FAKE_WINEBOOT_FAILS" ] && exit 1
    mkdir -p "$WINEPREFIX/dosdevices" && : > "$WINEPREFIX/system.reg" ;;
reg)
    printf '[Software\\\\Wine\\\\Ports] 1\n"%s"="%s"\n' "$5" "$9" >> "$WINEPREFIX/system.reg" ;;
*marrowlink-wine-launcher.exe)
    sed -n 's/^"COM\([0-9]*\)"="\(.*\)"$/\1 \2/p' "$WINEPREFIX/system.reg" | while read -r n link; do
        ln -sfn "$link" "$WINEPREFIX/dosdevices/com$n"
    done
    [ -n "$FAKE_COM1_TARGET" ] && ln -sfn "$FAKE_COM1_TARGET" "$WINEPREFIX/dosdevices/com1"
    echo ready >> "$2"
    wait_for "$3" "failed go 1460" 1
    echo "tool $5" >> "$FAKE_WINE_LOG"
    echo "started 32" >> "$2"
    if [ -n "$FAKE_TOOL_RUNS" ]; then
        wait_for "$3.stop" "exit 0" 0
        echo "tool stopped" >> "$FAKE_WINE_LOG"
        echo "exit 137" >> "$2"
        exit 0
    fi
    echo "exit ${FAKE_EXIT_CODE:-0}" >> "$2" ;;
esac
)SH";
constexpr char FAKE_WINESERVER[] = "#!/bin/sh\necho \"wineserver $*\" >> \"$FAKE_WINE_LOG\"\n";

class WinePrefixTest : public WineTest {
protected:
    void SetUp() override
    {
        WineTest::SetUp();
        // The real launcher is found beside the test program, when this build has one.
        char program[PATH_MAX];
        const ssize_t length = readlink("/proc/self/exe", program, sizeof program - 1);
        ASSERT_GT(length, 0);
        program[length] = '\0';
        char launcher[PATH_MAX];
        if (!wine_launcher_find(dirname(program), launcher, sizeof launcher)) {
            GTEST_SKIP() << "this build has no " << WINE_LAUNCHER_NAME << " (no mingw-w64 compiler)";
        }
        const std::string bin = folder + "/bin";
        ASSERT_EQ(mkdir(bin.c_str(), 0755), 0);
        write_file(bin + "/wine", FAKE_WINE, 0755);
        write_file(bin + "/wineserver", FAKE_WINESERVER, 0755);
        setenv("PATH", (bin + ":/usr/bin:/bin").c_str(), 1);
        setenv("XDG_STATE_HOME", (folder + "/state").c_str(), 1);
        setenv("DISPLAY", ":7", 1);
        setenv("FAKE_WINE_LOG", (folder + "/wine-calls.log").c_str(), 1);
        state = folder + "/state/marrowlink";
        prefix = state + "/wine";
        made = " | prefix=" + prefix + " display=unset overrides=mscoree,mshtml= arch=win64";
        ASSERT_EQ(mkdir((folder + "/DFUWizard").c_str(), 0755), 0);
        write_program(folder + "/DFUWizard/DFUWizard.exe", pe_bytes(0x8664, 0x20b, 3));
    }

    std::vector<std::string> wine_calls() const
    {
        std::vector<std::string> calls;
        std::istringstream lines(read_file(folder + "/wine-calls.log"));
        for (std::string line; std::getline(lines, line);) {
            calls.push_back(line);
        }
        return calls;
    }

    static void notice(void* context, const char* prefix, std::uint64_t estimated_bytes)
    {
        static_cast<std::vector<std::string>*>(context)->push_back(std::string(prefix) + " " +
                                                                   std::to_string(estimated_bytes));
    }

    int prepare(std::vector<std::string>* notices, DownloadToolStatus* status) const
    {
        return download_tool_prepare((folder + "/DFUWizard").c_str(), "DFUWizard", notice, notices, status);
    }

    // What wine_calls() logs when COM<first> to the last port are added to
    // the prefix: "wine reg add ... /v COMn ..." each, then the wait for the server.
    std::vector<std::string> ports_added_calls(int first) const
    {
        std::vector<std::string> calls;
        for (int com = first; com <= WINE_COM_PORTS; ++com) {
            const std::string n = std::to_string(com);
            calls.push_back("wine reg add HKLM\\Software\\Wine\\Ports /v COM" + n + " /t REG_SZ /d " + prefix +
                            "/marrowlink-com" + n + " /f" + made);
        }
        calls.push_back("wineserver -w");
        return calls;
    }

    // Another run's hold on COM<com>: its lock, taken at once (one still held
    // fails the test instead of waiting). Its descriptor, or -1.
    int hold_port(int com) const
    {
        char path[PATH_MAX];
        const int fd =
            wine_port_lock_path(state.c_str(), com, path, sizeof path) ? open(path, O_RDWR | O_CREAT, 0600) : -1;
        EXPECT_TRUE(fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0) << "COM" << com << " is held already";
        return fd;
    }

    // wine_port_check's verdict: "" when COM<com> leads to device, else why not.
    std::string port_check(int com, const std::string& device) const
    {
        char why[512] = "";
        return wine_port_check(prefix.c_str(), com, device.c_str(), why, sizeof why) == 1 ? ""
                                                                                          : std::string("no: ") + why;
    }

    std::string state;   // the state folder: Wine's log, the port locks, the prefix
    std::string prefix;
    std::string made;    // the environment of a call that makes or changes the prefix, as logged
};

std::string marker_for(const std::string& prefix, int ports)
{
    std::string text;
    for (int com = 1; com <= ports; ++com) {
        text += "COM" + std::to_string(com) + "=" + prefix + "/marrowlink-com" + std::to_string(com) + "\n";
    }
    return text;
}

TEST_F(WinePrefixTest, PrefixIsMadeOnceWithoutDisplayOrDialogsAndEachComPortNamesItsOwnLink)
{
    std::vector<std::string> notices;
    DownloadToolStatus status{};
    ASSERT_EQ(prepare(&notices, &status), 1) << status.text;
    EXPECT_EQ(notices, std::vector<std::string>{prefix + " 700000000"});
    EXPECT_EQ(status.prefix_created, 1);
    EXPECT_EQ(status.wine_ports, WINE_COM_PORTS);
    std::vector<std::string> expected = ports_added_calls(1);
    expected.insert(expected.begin(), "wine wineboot -i" + made);
    EXPECT_EQ(wine_calls(), expected);
    EXPECT_EQ(read_file(prefix + "/marrowlink-prefix"), marker_for(prefix, WINE_COM_PORTS));
    EXPECT_EQ(wine_prefix_ports(prefix.c_str()), WINE_COM_PORTS);

    // Made: the next run finds it and says nothing.
    notices.clear();
    ASSERT_EQ(prepare(&notices, &status), 1) << status.text;
    EXPECT_TRUE(notices.empty());
    EXPECT_EQ(status.prefix_created, 0);
    EXPECT_EQ(wine_calls().size(), expected.size());
}

// A prefix of an older marrowlink maps COM1 only: the other ports are added
// when no run holds any port (the change restarts Wine's server, which would
// end a running tool); while one does, the prefix is used as it is.
TEST_F(WinePrefixTest, OlderPrefixGetsItsOtherComPortsWhenNoRunHoldsOne)
{
    std::vector<std::string> notices;
    DownloadToolStatus status{};
    ASSERT_EQ(prepare(&notices, &status), 1) << status.text;
    struct Case {
        const char* what;
        int com1_held;  // another run has COM1
        int ports;      // what the prefix maps afterwards
        int code;
    };
    const Case cases[] = {
        {"a run has COM1: left as it is", 1, 1, DOWNLOAD_TOOL_BUSY},
        {"no run: the others added", 0, WINE_COM_PORTS, DOWNLOAD_TOOL_OK},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        write_file(prefix + "/marrowlink-prefix", marker_for(prefix, 1));
        write_file(prefix + "/system.reg",
                   "[Software\\\\Wine\\\\Ports] 1\n\"COM1\"=\"" + prefix + "/marrowlink-com1\"\n");
        ASSERT_EQ(wine_prefix_ports(prefix.c_str()), 1);
        const int held = c.com1_held ? hold_port(1) : -1;
        const std::size_t calls_before = wine_calls().size();
        EXPECT_EQ(prepare(&notices, &status), c.code == DOWNLOAD_TOOL_OK ? 1 : 0);
        EXPECT_EQ(status.code, c.code) << status.text;
        EXPECT_EQ(status.wine_ports, c.ports);
        EXPECT_EQ(wine_prefix_ports(prefix.c_str()), c.ports);
        std::vector<std::string> calls = wine_calls();
        calls.erase(calls.begin(), calls.begin() + static_cast<long>(calls_before));
        EXPECT_EQ(calls, c.ports > 1 ? ports_added_calls(2) : std::vector<std::string>{});
        if (held >= 0) {
            close(held);
        }
    }
    EXPECT_EQ(notices.size(), 1u) << "the prefix was never made again";
}

TEST_F(WinePrefixTest, HalfMadePrefixIsMadeAgainAndAFolderNotOursIsLeftAlone)
{
    std::vector<std::string> notices;
    DownloadToolStatus status{};
    setenv("FAKE_WINEBOOT_FAILS", "1", 1);
    EXPECT_EQ(prepare(&notices, &status), 0);
    EXPECT_EQ(status.code, DOWNLOAD_TOOL_PREFIX_FAILED);
    EXPECT_NE(std::string(status.text).find("wineboot -i failed: it ended with exit status 1"), std::string::npos) << status.text;

    unsetenv("FAKE_WINEBOOT_FAILS");
    ASSERT_EQ(prepare(&notices, &status), 1) << status.text;
    EXPECT_EQ(notices.size(), 2u);

    ASSERT_EQ(system(("rm -rf '" + prefix + "' && mkdir '" + prefix + "' && touch '" + prefix + "/mine'").c_str()),
              0);
    EXPECT_EQ(prepare(&notices, &status), 0);
    EXPECT_NE(std::string(status.text).find("not made by marrowlink"), std::string::npos) << status.text;
    EXPECT_EQ(read_file(prefix + "/mine"), "");
}

TEST_F(WinePrefixTest, WhyWineCannotRunTheTool)
{
    struct Case {
        const char* what;
        std::vector<unsigned char> tool;
        const char* path;     // PATH
        const char* display;  // null: unset
        int code;
    };
    const std::string bin = folder + "/bin:/usr/bin:/bin";
    const Case cases[] = {
        {"no wine on the PATH", pe_bytes(0x8664, 0x20b, 3), "/nonexistent", ":7", DOWNLOAD_TOOL_NO_WINE},
        {"a windowed tool without a display", pe_bytes(0x8664, 0x20b, 2), bin.c_str(), nullptr,
         DOWNLOAD_TOOL_NO_DISPLAY},
        {"a windowed tool with one", pe_bytes(0x8664, 0x20b, 2), bin.c_str(), ":7", DOWNLOAD_TOOL_OK},
        {"not a program", {'M', 'Z', 0, 0}, bin.c_str(), ":7", DOWNLOAD_TOOL_NOT_A_PROGRAM},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        write_program(folder + "/DFUWizard/DFUWizard.exe", c.tool);
        setenv("PATH", c.path, 1);
        if (c.display != nullptr) {
            setenv("DISPLAY", c.display, 1);
        } else {
            unsetenv("DISPLAY");
        }
        std::vector<std::string> notices;
        DownloadToolStatus status{};
        EXPECT_EQ(prepare(&notices, &status), c.code == DOWNLOAD_TOOL_OK ? 1 : 0);
        EXPECT_EQ(status.code, c.code) << status.text;
    }
    // A 32-bit tool needs 32-bit Wine, which this machine may or may not have.
    setenv("PATH", bin.c_str(), 1);
    write_program(folder + "/DFUWizard/DFUWizard.exe", pe_bytes(0x14c, 0x10b, 3));
    DownloadToolStatus status{};
    std::vector<std::string> notices;
    if (!wine_has_32_bit((folder + "/bin/wine").c_str(), nullptr)) {
        EXPECT_EQ(prepare(&notices, &status), 0);
        EXPECT_EQ(status.code, DOWNLOAD_TOOL_NO_WINE32) << status.text;
    }
}

class WineRunTest : public WinePrefixTest {
protected:
    void SetUp() override
    {
        WinePrefixTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        device = folder + "/pts7";
        write_file(device, "");
        ASSERT_EQ(chdir((folder + "/DFUWizard").c_str()), 0);
    }

    // The tool's command line as the update writes it, naming port.
    static std::string command_line(const std::string& port)
    {
        return "DFUWizard /upload /download Marrowlink_1_2_10.dfu /serial " + port + " /auto /exit";
    }

    static int start(const std::string& command, const std::string& port_device, ProcessInfo* info)
    {
        ProcessOptions options{};
        options.port_device = port_device.c_str();
        return process_start(command.c_str(), info, &options);
    }

    // The update's run on device naming COM1: the tool's exit code, or -1.
    std::int64_t run_tool() const
    {
        ProcessInfo info{};
        return start(command_line("COM1"), device, &info) ? static_cast<std::int64_t>(end_of(info)) : -1;
    }

    // The start on the device on, its port named as process_tool_port says
    // (*named). 1: started.
    static int start_on(const std::string& on, ProcessInfo* info, std::string* named)
    {
        ProcessToolPort port{};
        if (!process_tool_port("DFUWizard", on.c_str(), on.c_str(), &port)) {
            return 0;
        }
        *named = port.name;
        return start(command_line(port.name), port.device, info);
    }

    static std::uint32_t end_of(const ProcessInfo& info)
    {
        const std::uint64_t began = clock_ms();
        while (!process_has_ended(info.process) && clock_ms() - began < TOOL_END_LIMIT_MS) {
            sleep_ms(5);
        }
        std::uint32_t code = 0;
        EXPECT_EQ(process_exit_code(info.process, &code), 1);
        EXPECT_EQ(process_close(info.process), 1);
        return code;
    }

    std::vector<std::string> tool_calls() const
    {
        std::vector<std::string> tools;
        for (const std::string& call : wine_calls()) {
            if (call.rfind("tool ", 0) == 0) {
                tools.push_back(call);
            }
        }
        std::sort(tools.begin(), tools.end());
        return tools;
    }

    std::string wine_log() const { return read_file(state + "/wine.log"); }

    std::string device;
};

TEST_F(WineRunTest, ToolRunsOnTheMappedPortAndItsWholeExitCodeComesBack)
{
    setenv("FAKE_EXIT_CODE", "256", 1);
    EXPECT_EQ(run_tool(), 256) << wine_log();
    EXPECT_EQ(tool_calls(), std::vector<std::string>{"tool " + command_line("COM1")});
    // The mapping is gone once the tool has ended: COM1 leads nowhere.
    const std::string check = port_check(1, device);
    EXPECT_NE(check.find("leads nowhere"), std::string::npos) << check;
    setenv("FAKE_EXIT_CODE", "0", 1);
    EXPECT_EQ(run_tool(), 0);  // the run's lock was let go
}

// Ending a tool under Wine: killing its launcher would leave the Windows
// program running, so the launcher is asked to end it, and the code of a
// killed process comes back.
TEST_F(WineRunTest, ATerminatedToolIsEndedByItsLauncher)
{
    setenv("FAKE_TOOL_RUNS", "1", 1);
    ProcessInfo info{};
    ASSERT_EQ(start(command_line("COM1"), device, &info), 1) << wine_log();
    EXPECT_EQ(process_terminate(info.process), 1);
    EXPECT_EQ(end_of(info), PROCESS_TERMINATED_EXIT_CODE);
    const std::vector<std::string> calls = wine_calls();
    EXPECT_NE(std::find(calls.begin(), calls.end(), "tool stopped"), calls.end());
}

TEST_F(WineRunTest, Com1LeadingToAnotherDeviceKeepsTheToolFromStarting)
{
    const std::string console = folder + "/ttyS0";
    write_file(console, "");
    setenv("FAKE_COM1_TARGET", console.c_str(), 1);
    EXPECT_EQ(run_tool(), -1);
    EXPECT_TRUE(tool_calls().empty());
    const std::string log = wine_log();
    EXPECT_NE(log.find("COM1 of the prefix is not the chosen port"), std::string::npos) << log;
    EXPECT_NE(log.find("the download tool was not started"), std::string::npos) << log;
    // Nothing is left mapped, and the next run may go.
    char link[PATH_MAX];
    ASSERT_EQ(wine_port_link(prefix.c_str(), 1, link, sizeof link), 1);
    EXPECT_EQ(access(link, F_OK), -1);
    unsetenv("FAKE_COM1_TARGET");
    EXPECT_EQ(run_tool(), 0);
}

// Two runs at once (two adapters of a fleet): each has a COM port of its
// own, its tool's command line names it, and it leads to that run's device
// while the other's leads to the other device.
TEST_F(WineRunTest, TwoRunsAtOnceEachHaveTheirOwnComPort)
{
    const std::string devices[] = {device, folder + "/pts8"};
    write_file(devices[1], "");
    setenv("FAKE_TOOL_RUNS", "1", 1);
    ProcessInfo runs[2] = {};
    for (int run = 0; run < 2; ++run) {
        std::string named;
        ASSERT_EQ(start_on(devices[run], &runs[run], &named), 1) << wine_log();
        EXPECT_EQ(named, "COM" + std::to_string(run + 1));
    }
    for (int run = 0; run < 2; ++run) {
        EXPECT_EQ(port_check(run + 1, devices[run]), "");
    }
    EXPECT_EQ(tool_calls(), (std::vector<std::string>{"tool " + command_line("COM1"), "tool " + command_line("COM2")}));

    // A third tool told a port that is not its own never starts.
    const std::string third = folder + "/pts9";
    write_file(third, "");
    ProcessToolPort port{};
    ASSERT_EQ(process_tool_port("DFUWizard", third.c_str(), third.c_str(), &port), 1);
    EXPECT_STREQ(port.name, "COM3");
    ProcessInfo wrong{};
    EXPECT_EQ(start(command_line("COM1"), port.device, &wrong), 0);
    EXPECT_NE(wine_log().find("does not name COM3"), std::string::npos);
    EXPECT_EQ(wine_port_busy(state.c_str(), 3), 0) << "COM3 was given up";

    for (const ProcessInfo& run : runs) {
        EXPECT_EQ(process_terminate(run.process), 1);
    }
    // Both ended as killed, both mappings gone, both ports free.
    for (int run = 0; run < 2; ++run) {
        EXPECT_EQ(end_of(runs[run]), PROCESS_TERMINATED_EXIT_CODE);
        EXPECT_NE(port_check(run + 1, devices[run]), "");
        EXPECT_EQ(wine_port_busy(state.c_str(), run + 1), 0);
    }
}

// Other runs have every COM port: no port for this one (the update then
// fails to start its tool, as before with COM1 taken), until one is let go.
TEST_F(WineRunTest, EveryComPortTakenRefusesTheRunUntilOneIsFree)
{
    ASSERT_EQ(run_tool(), 0) << wine_log();  // the prefix is made
    std::vector<int> held;
    for (int com = 1; com <= WINE_COM_PORTS; ++com) {
        held.push_back(hold_port(com));
    }
    std::vector<std::string> notices;
    DownloadToolStatus status{};
    EXPECT_EQ(prepare(&notices, &status), 0);
    EXPECT_EQ(status.code, DOWNLOAD_TOOL_BUSY);
    EXPECT_NE(std::string(status.text).find("every COM port of the prefix " + prefix + " (COM1 to COM8)"),
              std::string::npos) << status.text;
    ProcessToolPort port{};
    EXPECT_EQ(process_tool_port("DFUWizard", device.c_str(), device.c_str(), &port), 0);
    EXPECT_EQ(errno, EBUSY);
    close(held[4]);
    held.erase(held.begin() + 4);
    ASSERT_EQ(process_tool_port("DFUWizard", device.c_str(), device.c_str(), &port), 1);
    EXPECT_STREQ(port.name, "COM5");
    EXPECT_EQ(wine_port_release(port.device), 1);
    for (int fd : held) {
        close(fd);
    }
}

}  // namespace
