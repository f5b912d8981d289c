// Which options each start call takes (platform.h, platform_children.h); the
// same check for both platforms.
#pragma once

#include "platform/platform.h"

// 1 when process_start takes the options: nothing that only
// process_start_argv knows, so that its start stays as it always was.
int process_options_plain(const ProcessOptions& options);
// 1 when process_start_argv takes them: each stream given a way it can have,
// a path for each file, no port device.
int process_options_argv_valid(const ProcessOptions& options);
