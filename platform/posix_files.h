// POSIX only: the steps that move a finished temporary file into place, so
// that the platform tests can make the no-replace rename and hard links
// refuse, as a file system without them does, and see the fallbacks taken.
#pragma once

#include "platform/platform_files.h"

#include <cstddef>

// Each step returns 0, or -1 with errno set, as the system calls do.
struct FileMoveSteps {
    // renameat2(from, to, RENAME_NOREPLACE)
    int (*rename_noreplace)(const char* from, const char* to);
    int (*hard_link)(const char* from, const char* to);
    // rename(), replacing what is at to
    int (*rename_over)(const char* from, const char* to);
};

// The system's own steps, as file_write_whole uses them.
FileMoveSteps file_move_steps_native();

// file_write_whole with the given steps.
int file_write_whole_with(const FileMoveSteps& steps, const char* path, const void* data, std::size_t size,
                          FileExisting existing, FileProblem* problem, char* why, std::size_t why_size);
