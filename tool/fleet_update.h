// marrowlink update --port A --port B ... (or --port all): several adapters
// updated at once. Each adapter's update runs in a child process of its own
// (this program: marrowlink update --port P --json --no-wait), in a folder of
// its own with a copy of the DFUWizard folder, so that the one-port layers stay
// as they are and one adapter's crash or hang stays its own. The parent shows
// the progress, passes interrupts on, and ends with one summary.
#pragma once

#include <string>

#include "tool/command.h"

// --jobs: the most adapters updated at once that people may ask for.
inline constexpr int FLEET_JOBS_MAX = 1024;

struct FleetOptions {
    int jobs = 0;  // --jobs N: at most N at once; 0: all
    bool no_wait = false;
    std::string backup;  // --backup with {port}
    bool overwrite = false;
};

// How many adapters run at once: asked (--jobs; 0: all), but no more than
// tool_at_once when that is not 0 (a download tool through Wine: one per COM
// port of its prefix). 0: all.
int fleet_jobs_at_once(int asked, int tool_at_once);

// Runs the update of every adapter named (context.ports) and returns the exit
// status: 0 when every adapter was updated, ExitStatus::fleet when at least
// one was not, usage (nothing started), no_adapter (--port all, none
// answered), interrupted.
int fleet_update_run(ToolContext& context, const FleetOptions& options);
