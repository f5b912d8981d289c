// process_handle_check.exe: the Win32 platform layer's process calls given
// PLATFORM_INVALID_HANDLE, which is what process_open returns when OpenProcess
// fails. Windows takes -1 for GetCurrentProcess(), so a call passed straight
// through would ask about this very program (exit code 259, "still running")
// instead of failing. Run under Wine by tests/e2e/test_win32_platform.py.
// Prints one line per call that misbehaves; exit status 0 when none did.
#include "platform/platform.h"

#include <cstdio>

namespace {

int check(const char* call, int result, std::uint32_t error)
{
    if (result == 0 && error == PLATFORM_ERROR_INVALID_HANDLE) {
        return 1;
    }
    std::printf("%s(PLATFORM_INVALID_HANDLE) returned %d with error %u\n", call, result,
                static_cast<unsigned>(error));
    return 0;
}

}  // namespace

int main()
{
    int passed = 1;
    std::uint32_t code = 0;
    int result = process_exit_code(PLATFORM_INVALID_HANDLE, &code);
    passed &= check("process_exit_code", result, platform_last_error());
    result = process_has_ended(PLATFORM_INVALID_HANDLE);
    passed &= check("process_has_ended", result, platform_last_error());
    result = process_close(PLATFORM_INVALID_HANDLE);
    passed &= check("process_close", result, platform_last_error());
    std::fflush(stdout);
    return passed ? 0 : 1;
}
