// The program's arguments and exit statuses, before any port is touched.
#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "fake_fixture.h"
#include "marrowlink_version.h"
#include "tool/app.h"
#include "tool/outcome.h"
#include "tool_run.h"

namespace {

class AppTest : public FakePlatformTest {};

TEST_F(AppTest, HelpAndVersionSucceedAndListTheExitStatuses)
{
    const ToolRun help = run_tool({"--help"});
    EXPECT_EQ(help.status, 0);
    for (const char* text : {"--port", "--json", "--version", " 3  the port could not be opened",
                             " 8  the update finished but a later step failed"}) {
        EXPECT_NE(help.out.find(text), std::string::npos) << text << " missing in:\n" << help.out;
    }
    const ToolRun version = run_tool({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("marrowlink ") + MARROWLINK_VERSION + "\n");
    EXPECT_TRUE(fake_calls_of(FAKE_SERIAL_OPEN).empty()) << "help or version touched a port";
}

TEST_F(AppTest, UsageErrorsEndWithStatusTwoWithoutTouchingAPort)
{
    const std::vector<std::vector<const char*>> cases = {
        {},                          // no command
        {"--no-such-option"},
        {"no-such-command"},
        {"--port"},                  // option without its value
    };
    for (const auto& arguments : cases) {
        const ToolRun run = run_tool(arguments);
        EXPECT_EQ(run.status, 2) << (arguments.empty() ? "(none)" : arguments[0]);
        EXPECT_FALSE(run.err.empty());
    }
    EXPECT_TRUE(fake_calls_of(FAKE_SERIAL_OPEN).empty());
}

TEST_F(AppTest, AFailureIsReportedOnceForPeopleOrAsOneJsonObject)
{
    const ToolFailure failure{ExitStatus::no_adapter, "contacting the adapter on COM4",
                              "no Plug-and-Play reply within 2.8 s", "is the adapter powered?"};
    for (bool json : {false, true}) {
        std::ostringstream out;
        std::ostringstream err;
        Report report(json, out, err);
        report.begin("Waking the adapter on COM4");
        report.fact("port", "COM4");
        report.fact("version", std::string("bad \xff byte"));
        EXPECT_EQ(report.fail(failure), 4);
        if (json) {
            const auto object = nlohmann::json::parse(out.str());
            EXPECT_EQ(object["outcome"], "failed");
            EXPECT_EQ(object["port"], "COM4");
            EXPECT_EQ(object["step"], failure.step);
            EXPECT_EQ(object["reason"], failure.reason);
            EXPECT_EQ(object["hint"], failure.hint);
            EXPECT_EQ(object["exit_status"], 4);
            EXPECT_EQ(err.str(), "");
        } else {
            EXPECT_EQ(out.str(), "Waking the adapter on COM4 ... failed\n");
            EXPECT_EQ(err.str(), "error: contacting the adapter on COM4: no Plug-and-Play reply within 2.8 s\n"
                                 "hint: is the adapter powered?\n");
        }
    }
}

}  // namespace
