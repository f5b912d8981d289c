// tool_span: put in the tool folder under the name DFUWizard, it runs the real
// stand-in tool (BENCH_TOOL_REAL) with the same arguments, waits for it and
// appends "<start_us> <end_us> <status>" (CLOCK_MONOTONIC microseconds, the
// tool's exit status or 128 + signal) to BENCH_TOOL_SPAN, so that the bench
// knows how long the download tool itself ran. It exits with the tool's code.
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr int TOOL_SPAN_EXEC_FAILED = 127;
constexpr int TOOL_SPAN_SIGNAL_BASE = 128;

std::uint64_t tool_span_now_us()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
}

}  // namespace

int main(int, char** argv)
{
    const char* real = std::getenv("BENCH_TOOL_REAL");
    const char* record = std::getenv("BENCH_TOOL_SPAN");
    if (real == nullptr || record == nullptr) {
        std::fprintf(stderr, "tool_span: BENCH_TOOL_REAL and BENCH_TOOL_SPAN must be set\n");
        return TOOL_SPAN_EXEC_FAILED;
    }
    const std::uint64_t start_us = tool_span_now_us();
    const pid_t child = fork();
    if (child == 0) {
        execv(real, argv);
        _exit(TOOL_SPAN_EXEC_FAILED);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child) {
        return TOOL_SPAN_EXEC_FAILED;
    }
    const std::uint64_t end_us = tool_span_now_us();
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : TOOL_SPAN_SIGNAL_BASE + WTERMSIG(status);
    if (std::FILE* out = std::fopen(record, "a")) {
        std::fprintf(out, "%llu %llu %d\n", static_cast<unsigned long long>(start_us),
                     static_cast<unsigned long long>(end_us), code);
        std::fclose(out);
    }
    return code;
}
