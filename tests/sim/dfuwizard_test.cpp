// The stand-in download tool: what it records, when it refuses COM1, and the
// exit it was told to make.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct ToolRun {
    int status;
    long elapsed_ms;
};

long monotonic_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

class DfuWizardTest : public testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/dfuwizard_test_XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        folder = name;
        com1 = folder + "/com1";
        record = folder + "/record.log";
        std::ofstream(com1).put('\n');
        env = {"DFUWIZARD_RECORD=" + record, "COM1_DEVICE=" + com1, "DFUWIZARD_RUN_MS=0"};
    }
    void TearDown() override {
        unlink(com1.c_str());
        unlink(record.c_str());
        rmdir(folder.c_str());
    }

    ToolRun run(const std::vector<std::string>& args) {
        std::vector<char*> argv = {const_cast<char*>("DFUWizard")};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);
        const long start = monotonic_ms();
        const pid_t pid = fork();
        if (pid == 0) {
            execve(DFUWIZARD_PATH, argv.data(), envp.data());
            _exit(127);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        return {status, monotonic_ms() - start};
    }

    std::vector<std::string> recorded() {
        std::ifstream in(record);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    std::string folder;
    std::string com1;
    std::string record;
    std::vector<std::string> env;
};

TEST_F(DfuWizardTest, RecordsItsCommandLineAndExitsWithTheChosenCode) {
    ToolRun r = run({"/upload", "/download", "Marrowlink_1_2_10.dfu", "/serial", "COM1", "/auto", "/exit"});
    ASSERT_TRUE(WIFEXITED(r.status));
    EXPECT_EQ(WEXITSTATUS(r.status), 0);
    env.push_back("DFUWIZARD_EXIT_CODE=7");
    r = run({"/x"});
    ASSERT_TRUE(WIFEXITED(r.status));
    EXPECT_EQ(WEXITSTATUS(r.status), 7);
    env.back() = "DFUWIZARD_EXIT_CODE=-1";  // Linux keeps the low 8 bits
    r = run({});
    EXPECT_EQ(WEXITSTATUS(r.status), 255);
    EXPECT_EQ(recorded(), (std::vector<std::string>{
                              "DFUWizard /upload /download Marrowlink_1_2_10.dfu /serial COM1 /auto /exit",
                              "DFUWizard /x", "DFUWizard"}));
}

TEST_F(DfuWizardTest, RunsForTheChosenTime) {
    env[2] = "DFUWIZARD_RUN_MS=250";
    const ToolRun r = run({});
    EXPECT_GE(r.elapsed_ms, 250);
    EXPECT_LT(r.elapsed_ms, 5000);
}

TEST_F(DfuWizardTest, RefusesACom1ThatIsLockedOrMissing) {
    const int holder = open(com1.c_str(), O_RDWR);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);  // as the updater holds its open port
    env.push_back("DFUWIZARD_EXIT_CODE=0");
    ToolRun r = run({"/serial", "COM1"});
    ASSERT_TRUE(WIFEXITED(r.status));
    EXPECT_EQ(WEXITSTATUS(r.status), 90);
    close(holder);
    r = run({"/serial", "COM1"});
    EXPECT_EQ(WEXITSTATUS(r.status), 0);

    unlink(com1.c_str());
    r = run({"/serial", "COM1"});
    EXPECT_EQ(WEXITSTATUS(r.status), 90);

    const std::vector<std::string> lines = recorded();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "DFUWizard /serial COM1");
    EXPECT_EQ(lines[1].rfind("DFUWizard: COM1 not free: ", 0), 0u);
    EXPECT_EQ(lines[2], "DFUWizard /serial COM1");
    EXPECT_EQ(lines[4].rfind("DFUWizard: COM1 not free: cannot open", 0), 0u);
}

// marrowlink update names its port after "/serial": COMn or a device path.
TEST_F(DfuWizardTest, ChecksThePortNamedOnItsCommandLine) {
    const std::string other = folder + "/other";
    std::ofstream(other).put('\n');
    const int holder = open(com1.c_str(), O_RDWR);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);  // COM1 is taken; the named port is not
    env.push_back("COM5_DEVICE=" + other);
    struct {
        std::string port;
        int status;
    } cases[] = {{other, 0}, {"COM5", 0}, {"COM1", 90}, {folder + "/missing", 90}};
    for (const auto& c : cases) {
        EXPECT_EQ(WEXITSTATUS(run({"/serial", c.port, "/auto"}).status), c.status) << c.port;
    }
    close(holder);
    unlink(other.c_str());
    const std::vector<std::string> lines = recorded();
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[3].rfind("DFUWizard: COM1 not free: ", 0), 0u);
    EXPECT_EQ(lines[5].rfind("DFUWizard: " + folder + "/missing not free: cannot open", 0), 0u);
}

TEST_F(DfuWizardTest, CanDieByASignal) {
    env.push_back("DFUWIZARD_KILL_SELF=1");
    const ToolRun r = run({});
    ASSERT_TRUE(WIFSIGNALED(r.status));
    EXPECT_EQ(WTERMSIG(r.status), SIGKILL);
}

}  // namespace
