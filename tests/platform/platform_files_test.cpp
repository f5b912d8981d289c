// Whole-file writes on POSIX: an existing file is never replaced unless asked
// (and then keeps its permission bits), also where renameat2 or hard links
// are refused, and the check of a target before any work.
#include "platform/posix_files.h"

#include <gtest/gtest.h>
#include <grp.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

// The user the read-only folder test drops to when run as root.
constexpr uid_t NOBODY_ID = 65534;

// Steps that refuse as a file system without renameat2 or hard links does
// (0: the system's own), and a count of plain renames.
int rename_noreplace_error = 0;
int hard_link_error = 0;
int rename_over_calls = 0;
const FileMoveSteps REFUSING_STEPS{
    [](const char* from, const char* to) {
        errno = rename_noreplace_error;
        return errno != 0 ? -1 : file_move_steps_native().rename_noreplace(from, to);
    },
    [](const char* from, const char* to) {
        errno = hard_link_error;
        return errno != 0 ? -1 : file_move_steps_native().hard_link(from, to);
    },
    [](const char* from, const char* to) {
        ++rename_over_calls;
        return file_move_steps_native().rename_over(from, to);
    },
};

class FilesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char folder_template[] = "/tmp/platform_files_test.XXXXXX";
        ASSERT_NE(mkdtemp(folder_template), nullptr);
        folder = folder_template;
        ASSERT_EQ(chmod(folder.c_str(), 0755), 0);  // nobody walks in too
        saved_mask = umask(022);
    }
    void TearDown() override
    {
        umask(saved_mask);
        std::filesystem::remove_all(folder);
    }
    void make_file(const std::string& path, mode_t mode)
    {
        std::ofstream(path) << "old";
        ASSERT_EQ(chmod(path.c_str(), mode), 0);
    }
    static std::string read(const std::string& path)
    {
        std::ifstream in(path);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    static mode_t mode_of(const std::string& path)
    {
        struct stat there {};
        return stat(path.c_str(), &there) == 0 ? there.st_mode & 07777 : 0;
    }
    // Names in the folder: a temporary file left behind shows here.
    std::ptrdiff_t entries() const
    {
        return std::distance(std::filesystem::directory_iterator(folder), std::filesystem::directory_iterator());
    }
    std::string folder;
    mode_t saved_mask = 0;
};

TEST_F(FilesTest, AnExistingFileIsReplacedOnlyWhenAskedWhateverTheFileSystemLacks)
{
    struct Row {
        const char* name;
        int rename_noreplace_error;
        int hard_link_error;
        mode_t old_mode;  // 0: no file there before
        FileExisting existing;
        FileProblem problem;
        mode_t mode_after;
        int rename_over_calls;  // 1 without replacing: the check-then-rename fallback
    };
    const Row rows[] = {
        {"new file", 0, 0, 0, FILE_KEEP_EXISTING, FILE_PROBLEM_NONE, 0644, 0},
        {"existing file kept", 0, 0, 0640, FILE_KEEP_EXISTING, FILE_PROBLEM_EXISTS, 0640, 0},
        {"replaced file's mode kept", 0, 0, 0604, FILE_REPLACE_EXISTING, FILE_PROBLEM_NONE, 0604, 1},
        {"no renameat2 flag: link refuses", EINVAL, 0, 0640, FILE_KEEP_EXISTING, FILE_PROBLEM_EXISTS, 0640, 0},
        {"no hard links (vfat): check refuses", EINVAL, EPERM, 0640, FILE_KEEP_EXISTING, FILE_PROBLEM_EXISTS, 0640, 0},
        {"no hard links: check, rename", ENOSYS, EOPNOTSUPP, 0, FILE_KEEP_EXISTING, FILE_PROBLEM_NONE, 0644, 1},
        {"link fails otherwise: no weaker way", EINVAL, EIO, 0, FILE_KEEP_EXISTING, FILE_PROBLEM_WRITE, 0, 0},
    };
    const std::string path = folder + "/backup.txt";
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::filesystem::remove(path);
        if (row.old_mode != 0) {
            make_file(path, row.old_mode);
        }
        rename_noreplace_error = row.rename_noreplace_error;
        hard_link_error = row.hard_link_error;
        rename_over_calls = 0;
        char why[256] = "";
        FileProblem problem = FILE_PROBLEM_WRITE;
        const int ok =
            file_write_whole_with(REFUSING_STEPS, path.c_str(), "new", 3, row.existing, &problem, why, sizeof why);
        EXPECT_EQ(ok, row.problem == FILE_PROBLEM_NONE ? 1 : 0) << why;
        EXPECT_EQ(problem, row.problem) << why;
        EXPECT_EQ(read(path), ok ? "new" : row.old_mode != 0 ? "old" : "");
        EXPECT_EQ(mode_of(path), row.mode_after);
        EXPECT_EQ(rename_over_calls, row.rename_over_calls);
        EXPECT_EQ(entries(), ok || row.old_mode != 0 ? 1 : 0) << "a temporary file was left behind";
        if (row.problem == FILE_PROBLEM_EXISTS) {
            EXPECT_EQ(std::string(why), "will not replace " + path + ": File exists");
        }
    }
}

TEST_F(FilesTest, TheTargetCheckTriesTheFolderAndLeavesNothing)
{
    make_file(folder + "/backup.txt", 0640);
    make_file(folder + "/plain", 0644);
    struct Row {
        const char* name;
        std::string path;
        FileExisting existing;
        std::string why;  // empty: the check passes
        FileProblem problem;
    };
    const Row rows[] = {
        {"new file", folder + "/new.txt", FILE_KEEP_EXISTING, "", FILE_PROBLEM_NONE},
        {"existing file", folder + "/backup.txt", FILE_KEEP_EXISTING,
         "will not replace " + folder + "/backup.txt: File exists", FILE_PROBLEM_EXISTS},
        {"missing folder", folder + "/nope/new.txt", FILE_KEEP_EXISTING,
         "cannot create a file in " + folder + "/nope: No such file or directory", FILE_PROBLEM_FOLDER},
        {"a file for the folder", folder + "/plain/new.txt", FILE_REPLACE_EXISTING,
         "cannot create a file in " + folder + "/plain: Not a directory", FILE_PROBLEM_FOLDER},
        {"a folder for the file", folder + "/", FILE_REPLACE_EXISTING, "cannot write " + folder + "/: Is a directory",
         FILE_PROBLEM_FOLDER},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        char why[256] = "";
        FileProblem problem = FILE_PROBLEM_WRITE;
        EXPECT_EQ(file_target_check(row.path.c_str(), row.existing, &problem, why, sizeof why), row.why.empty());
        EXPECT_EQ(std::string(why), row.why);
        EXPECT_EQ(problem, row.problem);
        EXPECT_EQ(entries(), 2) << "the check left a file behind";
    }
}

// Whether the check refuses a folder without write permission, saying why.
bool read_only_refused(const std::string& read_only)
{
    char why[256] = "";
    FileProblem problem = FILE_PROBLEM_NONE;
    file_target_check((read_only + "/new.txt").c_str(), FILE_KEEP_EXISTING, &problem, why, sizeof why);
    return problem == FILE_PROBLEM_FOLDER &&
           std::string(why) == "cannot create a file in " + read_only + ": Permission denied";
}

TEST_F(FilesTest, AFolderWithoutWritePermissionIsRefused)
{
    const std::string read_only = folder + "/read-only";
    ASSERT_EQ(mkdir(read_only.c_str(), 0555), 0);
    if (geteuid() != 0) {
        EXPECT_TRUE(read_only_refused(read_only));
        return;
    }
    // Permission bits do not stop root: the check runs as nobody.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const bool nobody = setgroups(0, nullptr) == 0 && setgid(NOBODY_ID) == 0 && setuid(NOBODY_ID) == 0;
        _exit(!nobody ? 2 : read_only_refused(read_only) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 2) {
        GTEST_SKIP() << "running as root without the right to become nobody: the read-only folder is not checked";
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "not refused as nobody";
}

}  // namespace
