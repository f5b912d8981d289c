// What store restore checks before it writes anything: the file whole (every
// line that cannot be used, with its number), then against the chip: a key
// that changes how the host reaches the chip and whose value in the file
// differs from the chip's needs --force, and a file taken from other firmware
// gets a warning.
#pragma once

#include <string>

#include "tool/outcome.h"
#include "tool/store_file.h"

class StoreSession;

// Throws a usage ToolFailure naming every problem line, or for a file with no key.
void store_restore_check_file(Report& report, const std::string& file, const StoreFileContents& contents);

// On the open link, before the first write. Throws a usage ToolFailure (the
// sentence store set gives) when a guarded key would change without force.
void store_restore_check_chip(Report& report, const std::string& file, const StoreFileContents& contents,
                              const StoreSession& session, bool force);
