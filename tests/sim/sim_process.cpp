#include "sim_process.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

int sim_process_start(std::vector<std::string> args, const std::string& ready_file, pid_t* pid,
                      std::string* error)
{
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);

    *pid = fork();
    if (*pid < 0) {
        *error = "fork failed";
        return 0;
    }
    if (*pid == 0) {
        unsetenv("LD_PRELOAD");  // the simulator must see the bare pty
        execv(argv[0], argv.data());
        _exit(127);
    }
    struct stat st;
    for (int waited = 0; stat(ready_file.c_str(), &st) != 0; waited += 10) {
        int status = 0;
        if (waitpid(*pid, &status, WNOHANG) != 0) {
            *pid = -1;
            *error = "marrowlink-sim ended";
            return 0;
        }
        if (waited >= SIM_READY_TIMEOUT_MS) {
            sim_process_stop(pid);
            *error = "marrowlink-sim did not come up";
            return 0;
        }
        usleep(10000);
    }
    return 1;
}

void sim_process_stop(pid_t* pid)
{
    if (*pid > 0) {
        kill(*pid, SIGTERM);
        int status = 0;
        waitpid(*pid, &status, 0);
        *pid = -1;
    }
}
