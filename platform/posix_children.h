// posix_process.cpp's child table for posix_children.cpp, so that the
// children of process_start_argv are process handles like any other.
#pragma once

#include "platform/platform.h"

// Spawns program with argv, the options' group and standard_fds as the
// child's 0, 1 and 2 (-1: as the options say), and records the child: its
// handle in info->process and id in info->process_id. 0 with errno on failure.
int process_child_start(const char* program, char* const* argv, const ProcessOptions& options,
                        const int* standard_fds, ProcessInfo* info);
// 1: the process has ended (reaped, exit code kept). 0: it runs. -1: not a
// process handle, or waitpid failed (errno).
int process_child_ended(PlatformHandle process);
