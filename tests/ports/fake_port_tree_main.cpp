// fake-port-tree: writes a fake sysfs, /dev and /proc tree for the end-to-end
// tests of `marrowlink ports` and `--port auto`.
//
//   fake-port-tree ROOT [--standard] [--rfcomm] [--many N] [--hold NAME=PID:PROGRAM]... [--link NAME=TARGET]...
//                  [--lock NAME=PID:PROGRAM]...
//
//   --standard            the machine of fake_ports_standard()
//   --rfcomm              a connected Bluetooth link, rfcomm0 (fake_port_rfcomm())
//   --many N              N FTDI ports ttyUSB0..ttyUSB<N-1>
//   --hold NAME=PID:PROG  process PID (program PROG) holds dev/NAME
//   --link NAME=TARGET    dev/NAME is a symlink to TARGET (the simulator's pseudo-terminal)
//   --lock NAME=PID:PROG  lock/LCK..NAME names process PID (program PROG), which holds no descriptor;
//                         with PROG empty no such process runs (a stale lock)
#include "fake_port_tree.h"

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

namespace {

int usage()
{
    std::cerr << "usage: fake-port-tree ROOT [--standard] [--rfcomm] [--many N] [--hold NAME=PID:PROGRAM]... "
                 "[--link NAME=TARGET]... [--lock NAME=PID:PROGRAM]...\n";
    return 2;
}

// "NAME=REST" split at the first '='.
bool split_at(const std::string& text, char mark, std::string* left, std::string* right)
{
    const std::size_t at = text.find(mark);
    if (at == std::string::npos || at == 0) {
        return false;
    }
    *left = text.substr(0, at);
    *right = text.substr(at + 1);
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        return usage();
    }
    FakePortTree tree(argv[1]);
    for (int i = 2; i < argc; ++i) {
        const std::string option = argv[i];
        const std::string value = i + 1 < argc ? argv[i + 1] : "";
        std::string name, rest, pid, program;
        bool ok = false;
        if (option == "--standard" || option == "--rfcomm") {
            if (!tree.add_all(option == "--standard" ? fake_ports_standard() : std::vector{fake_port_rfcomm()})) {
                return 1;
            }
            continue;
        }
        if (i + 1 >= argc) {
            return usage();
        }
        ++i;
        if (option == "--many") {
            ok = tree.add_all(fake_ports_many(std::atoi(value.c_str())));
        } else if (option == "--hold" && split_at(value, '=', &name, &rest) && split_at(rest, ':', &pid, &program)) {
            ok = tree.add_holder(std::atoi(pid.c_str()), program, name);
        } else if (option == "--lock" && split_at(value, '=', &name, &rest) && split_at(rest, ':', &pid, &program)) {
            const int lock_pid = std::atoi(pid.c_str());
            ok = tree.add_lock(name, FakePortTree::lock_text(lock_pid)) &&
                 (program.empty() || tree.add_process(lock_pid, program));
        } else if (option == "--link" && split_at(value, '=', &name, &rest)) {
            ok = tree.link_node(name, rest);
        } else {
            return usage();
        }
        if (!ok) {
            return 1;
        }
    }
    return 0;
}
