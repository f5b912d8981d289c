# Makes a manual page with help2man from a program's --help and --version:
#   cmake -DPROGRAM=path -DHELP2MAN=path -DNAME=text -DINCLUDE=file.h2m -DOUTPUT=page.1 -P man_page.cmake
# INCLUDE holds the sections --help does not give. When the program lists subcommands (a
# "Subcommands:" block of "  NAME  text" lines, as CLI11 prints), each one's
# --help becomes a section of its own, so a new command joins the page by itself;
# blocks the program's own help already shows (the exit statuses) appear once.
execute_process(COMMAND "${PROGRAM}" --help OUTPUT_VARIABLE help RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "${PROGRAM} --help failed (${result})")
endif()

set(includes --include "${INCLUDE}")
set(commands_file "${OUTPUT}.commands.h2m")
file(REMOVE "${commands_file}")
string(REGEX MATCHALL "\n[A-Z][^\n]*:\n(  [^\n]*\n)+" shared_blocks "${help}")
list(FILTER shared_blocks EXCLUDE REGEX "^\nOptions:")
if(help MATCHES "\nSubcommands:\n((  [^\n]*\n)+)")
    string(REGEX MATCHALL "\n  [a-z][a-z0-9-]*" names "\n${CMAKE_MATCH_1}")
    foreach(name IN LISTS names)
        string(STRIP "${name}" name)
        execute_process(COMMAND "${PROGRAM}" ${name} --help OUTPUT_VARIABLE command_help RESULT_VARIABLE result)
        if(NOT result EQUAL 0)
            message(FATAL_ERROR "${PROGRAM} ${name} --help failed (${result})")
        endif()
        foreach(block IN LISTS shared_blocks)
            string(REPLACE "${block}" "\n" command_help "${command_help}")
        endforeach()
        string(STRIP "${command_help}" command_help)
        # Verbatim in the page: groff's escape character doubled, lines kept as they are.
        string(REPLACE "\\" "\\\\" command_help "${command_help}")
        string(REGEX REPLACE "\n([.'])" "\n\\\\&\\1" command_help "\n${command_help}")
        string(SUBSTRING "${command_help}" 1 -1 command_help)
        file(APPEND "${commands_file}" "[COMMAND: ${name}]\n.nf\n${command_help}\n.fi\n\n")
    endforeach()
endif()

if(EXISTS "${commands_file}")
    list(APPEND includes --include "${commands_file}")
endif()
execute_process(COMMAND "${HELP2MAN}" --no-info --no-discard-stderr "--name=${NAME}" ${includes}
                        "--output=${OUTPUT}" "${PROGRAM}"
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "help2man failed for ${PROGRAM} (${result})")
endif()
