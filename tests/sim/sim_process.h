// Starting and stopping marrowlink-sim from a C++ test: the simulator runs as
// a child process without the null-modem fixture (it must see the bare pty),
// and a start waits until it has written its ready file.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

inline constexpr int SIM_READY_TIMEOUT_MS = 10000;

// Runs args (args[0] is the simulator's path) and waits for ready_file. 1 with
// *pid set; 0 with the reason in *error (the child is then stopped again).
int sim_process_start(std::vector<std::string> args, const std::string& ready_file, pid_t* pid,
                      std::string* error);
// SIGTERM and wait: the simulator's logs are complete once it has ended.
void sim_process_stop(pid_t* pid);
