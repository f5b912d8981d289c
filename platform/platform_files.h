// Writing a whole file so that it is never seen half written, and never
// replaces a file unless asked to: the field tool's store backups.
//
// Same contract on POSIX (posix_files.cpp) and Windows (win32_files.cpp):
// 1 on success; 0 with a one-line reason for people in why (the operating
// system's own error text included) and, when problem is not null, what kind
// of failure it was. Nothing here prints.
#pragma once

#include <cstddef>
#include <cstdio>

// What a write does with a file already at its path.
enum FileExisting {
    FILE_KEEP_EXISTING,     // refuse: the write fails with FILE_PROBLEM_EXISTS
    FILE_REPLACE_EXISTING,  // replace it; the new file keeps the old one's permission bits
};

// Why a check or a write failed.
enum FileProblem {
    FILE_PROBLEM_NONE,
    FILE_PROBLEM_EXISTS,  // a file is at the path and FILE_KEEP_EXISTING was asked
    FILE_PROBLEM_FOLDER,  // the path's folder does not take a new file (missing, not a
                          // folder, no write permission, read-only), or the path is a folder
    FILE_PROBLEM_WRITE,   // writing, flushing or moving the file into place failed
};

// Writes size bytes of data to path through a new temporary file in the same
// folder, flushed to the disk, then moved into place. path afterwards holds
// either its old content (or nothing) or all of data, even when the program
// is stopped midway; the temporary file is removed on failure.
//
// FILE_KEEP_EXISTING: the move never replaces a file that is at path when it
// happens; such a file is left as it was (content and permissions).
//   POSIX: renameat2(RENAME_NOREPLACE); where the kernel or the file system
//   does not have it, link() then unlink() of the temporary name; where the
//   file system has no hard links either (vfat, some network file systems),
//   a check that path does not exist just before a plain rename(), which
//   only a file made in between those two calls can slip past.
//   Windows: MoveFileExA without MOVEFILE_REPLACE_EXISTING.
// FILE_REPLACE_EXISTING: the move replaces a file at path.
//   POSIX: the new file takes the old regular file's permission bits.
//   Windows: MoveFileExA(MOVEFILE_REPLACE_EXISTING); the new file has the
//   attributes and security of the temporary file, as any new file in the
//   folder, so there is nothing more to carry over.
int file_write_whole(const char* path, const void* data, std::size_t size, FileExisting existing,
                     FileProblem* problem, char* why, std::size_t why_size);

// Tells before any work is done whether file_write_whole(path, ..., existing)
// can succeed: fails with FILE_PROBLEM_EXISTS when a file is at path and
// FILE_KEEP_EXISTING is asked, and with FILE_PROBLEM_FOLDER when path is a
// folder or its folder does not take a new file. The folder is tried by
// creating and removing a uniquely named temporary file in it, so that every
// reason the system has (missing, not a folder, permissions, a read-only
// file system) is found. Nothing is left behind. Windows also fails
// (FILE_PROBLEM_WRITE) for a read-only file that FILE_REPLACE_EXISTING would
// replace: MoveFileExA cannot replace one.
int file_target_check(const char* path, FileExisting existing, FileProblem* problem, char* why,
                      std::size_t why_size);

// fopen(path, mode) for a file no child process may inherit (close-on-exec on
// POSIX, not inheritable on Windows): the download tool is started while the
// field tool's trace file is open. mode is fopen's ("wb"). Null with the
// system's error on failure.
std::FILE* file_open_private(const char* path, const char* mode);
