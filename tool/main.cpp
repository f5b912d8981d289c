// marrowlink: the field tool. Everything but the process's entry is in
// tool_main (app.cpp), so that tests run the same program on the fake platform.
#include <iostream>

#include "tool/app.h"
#include "tool/child_run.h"

int main(int argc, char** argv)
{
    return tool_main(argc, argv, std::cout, std::cerr, child_run_self());
}
