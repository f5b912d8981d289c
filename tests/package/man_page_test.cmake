# The manual page generator (packaging/man_page.cmake) on a stub program with two
# subcommands: each gets a section of its own with its --help kept verbatim, but
# for the exit statuses, which the program's own help has shown already.
#   cmake -DHELP2MAN=path -DWORK=folder -P man_page_test.cmake
cmake_minimum_required(VERSION 3.25)
set(here "${CMAKE_CURRENT_LIST_DIR}")
file(MAKE_DIRECTORY "${WORK}")
file(WRITE "${WORK}/stub.h2m" "[SEE ALSO]\n.BR marrowlink (1)\n")
execute_process(COMMAND "${CMAKE_COMMAND}" -DPROGRAM=${here}/stub_program.sh -DHELP2MAN=${HELP2MAN}
                        -DNAME=stub -DINCLUDE=${WORK}/stub.h2m -DOUTPUT=${WORK}/stub.1
                        -P ${here}/../../packaging/man_page.cmake
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "man_page.cmake failed (${result})")
endif()
file(READ "${WORK}/stub.1" page)
set(failures 0)
foreach(expected
        ".SH \"COMMAND: PROBE\"\n.nf\nContact the adapter\nUsage: stub probe [OPTIONS]\n\\&.starts like a request\n  --chip   also a \\\\ backslash\n.fi\n"
        ".SH \"COMMAND: STORE-BACKUP\"\n.nf\nBack up the store\n"
        ".SH \"SEE ALSO\"\n.BR marrowlink (1)")
    string(FIND "${page}" "${expected}" at)
    if(at EQUAL -1)
        message(SEND_ERROR "missing in the page:\n${expected}\n--- page:\n${page}")
        math(EXPR failures "${failures} + 1")
    endif()
endforeach()
message(STATUS "manual page generator: ${failures} failed")
