// Writing a whole file so that it is never seen half written: the field
// tool's store backups.
#pragma once

#include <cstddef>

// Writes size bytes of data to path through a new temporary file in the same
// folder, flushed to the disk, then renamed over path (replacing a file that
// is there). path afterwards holds either its old content (or nothing) or
// all of data, even when the program is stopped midway. 1 on success; 0 with
// a one-line reason in why (the temporary file is removed).
int file_write_whole(const char* path, const void* data, std::size_t size, char* why, std::size_t why_size);
