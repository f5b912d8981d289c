// Several adapters at once, the parts that need no child: the ports each once
// with their short names and files, the live table cut to the console, the
// progress lines read whole, and a probing child's answer read back.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "tool/fleet_ports.h"
#include "tool/fleet_probe.h"
#include "tool/fleet_progress.h"
#include "tool/fleet_update.h"
#include "tool/fleet_view.h"
#include "tool/outcome.h"

namespace {

TEST(FleetPorts, EachPortOnceWithItsShortNameAndFiles)
{
    EXPECT_TRUE(fleet_requested({"COM1", "COM2"}));
    EXPECT_TRUE(fleet_requested({"all"}));
    EXPECT_FALSE(fleet_requested({"COM1"}));
    EXPECT_FALSE(fleet_requested({}));
    EXPECT_EQ(fleet_port_leaf(port_choice_parse("/dev/serial/by-id/usb-FTDI-port0")), "usb-FTDI-port0");
    EXPECT_EQ(fleet_port_leaf(port_choice_parse("com5")), "COM5");

    struct {
        const char* what;
        std::vector<std::string> names;
        bool refused;
    } cases[] = {
        {"distinct", {"/dev/ttyUSB0", "/dev/ttyUSB1", "COM5"}, false},
        {"one device twice", {"COM5", "\\\\.\\COM5"}, true},
        {"the same short name", {"/dev/ttyUSB0", "/tmp/ttyUSB0"}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<ToolPort> ports;
        for (const std::string& name : c.names) {
            ports.push_back(port_choice_parse(name));
        }
        bool refused = false;
        try {
            fleet_ports_check_distinct(ports);
        } catch (const ToolFailure& failure) {
            refused = true;
            EXPECT_EQ(failure.status, ExitStatus::usage);
        }
        EXPECT_EQ(refused, c.refused);
    }
    EXPECT_EQ(fleet_file_for("--backup", "/x/before-{port}-{port}.txt", "ttyUSB0"), "/x/before-ttyUSB0-ttyUSB0.txt");
    EXPECT_EQ(fleet_file_for("--trace", "", "ttyUSB0"), "");
    EXPECT_THROW(fleet_file_for("--backup", "before.txt", "ttyUSB0"), ToolFailure);
    // Windows opens a device for these names, whatever their extension.
    EXPECT_THROW(fleet_file_for("--backup", "{port}.txt", "COM5"), ToolFailure);
    EXPECT_THROW(fleet_file_for("--trace", "/x/{port}", "COM5"), ToolFailure);
    EXPECT_NE(fleet_file_for("--backup", "{port}-before.txt", "COM5").find("COM5-before.txt"), std::string::npos);
    EXPECT_NE(fleet_file_for("--backup", "{port}.txt", "COM10"), "") << "COM10 names no device";
}

// Through Wine no more adapters run at once than the prefix has COM ports:
// the others wait rather than fail at their tool's start.
TEST(FleetPorts, AtMostOneAdapterPerComPortOfWinesPrefixRunsAtOnce)
{
    // {--jobs (0: all), the tool's bound (0: none), adapters at once}
    const int cases[][3] = {{0, 0, 0}, {3, 0, 3}, {0, 8, 8}, {3, 8, 3}, {20, 8, 8}, {5, 1, 1}};
    for (const auto& c : cases) {
        EXPECT_EQ(fleet_jobs_at_once(c[0], c[1]), c[2]) << c[0] << " asked, " << c[1] << " at once";
    }
}

TEST(FleetView, TheTableFitsItsWidthAndLinesArePrefixedWhole)
{
    std::ostringstream out;
    FleetView table(out, FleetView::TABLE, 60);
    const std::vector<FleetRow> rows = {{"ttyUSB0", "download tool running", 0, std::string(80, 'x')},
                                        {"ttyUSB1", "restoring configuration", 500, "Update successful !"}};
    table.draw(rows, 61000);
    std::istringstream drawn(out.str());
    int lines = 0;
    for (std::string line; std::getline(drawn, line); ++lines) {
        const std::size_t text = line.find("\x1b[2K");
        ASSERT_NE(text, std::string::npos) << line;
        EXPECT_LE(line.size() - text - 4, 59u) << "cut to one column short of the width";
    }
    EXPECT_EQ(lines, 3);
    EXPECT_NE(out.str().find("1:01"), std::string::npos) << "the time in the phase";
    const std::size_t first = out.str().size();
    table.draw(rows, 61050);
    EXPECT_EQ(out.str().size(), first) << "not drawn again within a tenth of a second";
    table.draw(rows, 61200);
    EXPECT_EQ(out.str().size(), first) << "nothing changed: nothing written";
    table.draw(rows, 62000);
    EXPECT_EQ(out.str().substr(first, 4), "\x1b[3F") << "back up over the header and two rows";

    std::ostringstream plain;
    FleetView lines_view(plain, FleetView::LINES, 80);
    lines_view.line("ttyUSB0", "Update Wizard started succefully");
    lines_view.draw(rows, 99999, true);
    EXPECT_EQ(plain.str(), "ttyUSB0: Update Wizard started succefully\n");
}

TEST(FleetProgress, OnlyWholeLinesAreReadAndEachOnce)
{
    const std::string path = ::testing::TempDir() + "fleet_progress_test.jsonl";
    std::remove(path.c_str());
    FileLines lines(path);
    EXPECT_TRUE(lines.next().empty()) << "no file yet";
    {
        FleetProgressWriter writer(path);
        writer.phase(FLEET_PHASE_CONTACTING);
    }
    std::ofstream(path, std::ios::app) << "{\"phase\":\"down";  // a line still being written
    const std::vector<std::string> first = lines.next();
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(fleet_progress_phase(first[0]), FLEET_PHASE_CONTACTING);
    std::ofstream(path, std::ios::app) << "load tool running\"}\r\nnot json\n";
    const std::vector<std::string> second = lines.next();
    ASSERT_EQ(second.size(), 2u);
    EXPECT_EQ(fleet_progress_phase(second[0]), FLEET_PHASE_DOWNLOAD);
    EXPECT_EQ(fleet_progress_phase(second[1]), "");
    EXPECT_TRUE(lines.next().empty());
    std::remove(path.c_str());
}

TEST(FleetProbe, AProbingChildsAnswerReadsBackAndNonsenseIsRefused)
{
    PortFinding found;
    found.probe = {true, true, true, "QXZ4702", "Marrowlink QXZ4702"};
    found.state.access = PORT_BUSY;
    found.state.holder_pid = 4121;
    found.state.holder_name = "minicom";
    PortFinding read;
    ASSERT_TRUE(fleet_probe_result_read(nlohmann::json::parse(fleet_probe_result_json(found).dump()), &read));
    EXPECT_EQ(read.probe.text, "Marrowlink QXZ4702");
    EXPECT_TRUE(read.probe.marrowlink);
    EXPECT_EQ(read.state.access, PORT_BUSY);
    EXPECT_EQ(read.state.holder_name, "minicom");
    for (const char* nonsense : {"{}", "{\"probe\":1,\"state\":{}}",
                                 "{\"probe\":{\"tried\":true,\"answered\":1},\"state\":{}}"}) {
        EXPECT_FALSE(fleet_probe_result_read(nlohmann::json::parse(nonsense), &read)) << nonsense;
    }
    nlohmann::json out_of_range = fleet_probe_result_json(found);
    out_of_range["state"]["access"] = 99;
    EXPECT_FALSE(fleet_probe_result_read(out_of_range, &read));
}

}  // namespace
